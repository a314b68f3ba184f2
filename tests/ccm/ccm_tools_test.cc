// Address resolution: the preference rules on crafted resolver lists, resolution of numeric
// addresses, bracketed forms and "localhost" (no DNS involved), conversions back to text, and
// the address log lines.
#include "qm7/ccm/ccm_tools.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "qm7/runtime/trace.h"
#include "support/stdout_capture.h"

namespace {

// A resolver result list built from address texts, in the given order.
class CraftedList {
 public:
  explicit CraftedList(std::vector<std::string> texts) {
    for (const std::string& text : texts) {
      auto& storage = addrs_.emplace_back();
      addrinfo& node = nodes_.emplace_back();
      node.ai_socktype = SOCK_STREAM;
      node.ai_addr = reinterpret_cast<sockaddr*>(&storage);
      if (text.find(':') != std::string::npos) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &sa->sin6_addr), 1) << text;
        node.ai_family = AF_INET6;
        node.ai_addrlen = sizeof(sockaddr_in6);
      } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &sa->sin_addr), 1) << text;
        node.ai_family = AF_INET;
        node.ai_addrlen = sizeof(sockaddr_in);
      }
    }
    for (std::size_t i = 0; i + 1 < nodes_.size(); ++i) nodes_[i].ai_next = &nodes_[i + 1];
  }
  const addrinfo* head() const { return nodes_.empty() ? nullptr : &nodes_.front(); }

 private:
  std::deque<sockaddr_storage> addrs_;  // deque: elements never move
  std::deque<addrinfo> nodes_;
};

std::string chosen(const std::vector<std::string>& texts, int options) {
  CraftedList list(texts);
  const addrinfo* entry = qm7::ccm_detail::choose_address(list.head(), options);
  if (entry == nullptr) return "<none>";
  char text[64];
  EXPECT_EQ(
      ccm_address2string(reinterpret_cast<const sockaddr_in6*>(entry->ai_addr), text, sizeof text),
      0);
  return text;
}

TEST(AddressChoice, RoutableAddressOfThePreferredFamilyWins) {
  EXPECT_EQ(chosen({"fe80::1", "10.0.0.5"}, CCM_PREFER_IPV4), "10.0.0.5");
  EXPECT_EQ(chosen({"fe80::1", "10.0.0.5"}, CCM_PREFER_IPV6), "10.0.0.5");  // first candidate

  EXPECT_EQ(chosen({"2001:db8::5", "10.0.0.5"}, CCM_PREFER_IPV4), "10.0.0.5");
  EXPECT_EQ(chosen({"2001:db8::5", "10.0.0.5"}, CCM_PREFER_IPV6), "2001:db8::5");
  EXPECT_EQ(chosen({"2001:db8::5", "10.0.0.5"}, CCM_PREFER_IPV4 | CCM_PREFER_IPV6), "2001:db8::5");
  EXPECT_EQ(chosen({"2001:db8::5", "10.0.0.5"}, 0), "2001:db8::5");

  EXPECT_EQ(chosen({"10.0.0.5", "2001:db8::5"}, CCM_PREFER_IPV4), "10.0.0.5");
  EXPECT_EQ(chosen({"10.0.0.5", "2001:db8::5"}, CCM_PREFER_IPV6), "2001:db8::5");
  EXPECT_EQ(chosen({"10.0.0.5", "2001:db8::5"}, CCM_PREFER_IPV4 | CCM_PREFER_IPV6), "10.0.0.5");

  EXPECT_EQ(chosen({"2001:db8::5"}, CCM_PREFER_IPV4), "2001:db8::5");
  EXPECT_EQ(chosen({"127.0.0.1", "::1", "fe80::2", "2001:db8::7", "10.9.8.7"}, CCM_PREFER_IPV6),
            "2001:db8::7");
}

TEST(AddressChoice, LoopbackAndLinkLocalOnlyAsALastResort) {
  EXPECT_EQ(chosen({"127.0.0.1"}, CCM_PREFER_IPV4), "127.0.0.1");
  EXPECT_EQ(chosen({"::1", "127.0.0.1"}, CCM_PREFER_IPV4), "::1");  // the first entry
  EXPECT_EQ(chosen({"FE80::abcd", "127.0.0.1"}, CCM_PREFER_IPV4), "fe80::abcd");
  // Other loopback addresses are not in the pass-over list: they count as candidates.
  EXPECT_EQ(chosen({"127.0.0.1", "127.0.0.2"}, CCM_PREFER_IPV4), "127.0.0.2");
  EXPECT_EQ(chosen({}, CCM_PREFER_IPV4), "<none>");
}

TEST(Hostname2Address, NumericAndBracketedFormsResolveAlike) {
  for (const char* form : {"::1", "[::1]", "  [::1]  ", "[ ::1 ]"}) {
    sockaddr_in6 addr;
    std::memset(&addr, 0xEE, sizeof addr);
    ccm_error_t err;
    std::memset(&err, 0x55, sizeof err);
    ASSERT_EQ(ccm_hostname2address(form, CCM_PREFER_IPV4, &addr, &err), 0) << form;
    EXPECT_EQ(addr.sin6_family, AF_INET6) << form;
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&addr.sin6_addr)) << form;
    EXPECT_EQ(addr.sin6_port, 0);
    EXPECT_EQ(err.xerrno, 0);
    EXPECT_EQ(err.msgnr, 0);
    EXPECT_STREQ(err.msginsert, "");
  }
}

TEST(Hostname2Address, IPv4ResultWritesOnlyTheIPv4Part) {
  sockaddr_in6 addr;
  std::memset(&addr, 0xEE, sizeof addr);
  ccm_error_t err;
  ASSERT_EQ(ccm_hostname2address("10.0.0.5", CCM_PREFER_IPV4, &addr, &err), 0);
  sockaddr_in v4;
  std::memcpy(&v4, &addr, sizeof v4);
  EXPECT_EQ(v4.sin_family, AF_INET);
  EXPECT_EQ(v4.sin_addr.s_addr, inet_addr("10.0.0.5"));
  const auto* bytes = reinterpret_cast<const unsigned char*>(&addr);
  for (std::size_t i = sizeof(sockaddr_in); i < sizeof addr; ++i) {
    EXPECT_EQ(bytes[i], 0) << "byte " << i;
  }
  char text[64];
  EXPECT_EQ(ccm_address2string(&addr, text, sizeof text), 0);
  EXPECT_STREQ(text, "10.0.0.5");
}

TEST(Hostname2Address, LocalhostAndFailures) {
  sockaddr_in6 addr;
  ccm_error_t err;
  ASSERT_EQ(ccm_hostname2address("localhost", CCM_PREFER_IPV4, &addr, &err), 0);
  char text[64];
  ASSERT_EQ(ccm_address2string(&addr, text, sizeof text), 0);
  EXPECT_TRUE(std::string(text) == "127.0.0.1" || std::string(text) == "::1") << text;

  EXPECT_EQ(ccm_hostname2address("qm7-no-such-host.invalid", CCM_PREFER_IPV4, &addr, &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
  EXPECT_EQ(std::string(err.msginsert).rfind("getaddrinfo|", 0), 0u) << err.msginsert;
  EXPECT_EQ(addr.sin6_family, 0);  // cleared even on failure

  EXPECT_EQ(ccm_hostname2address("[]", CCM_PREFER_IPV4, &addr, &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);

  // A name longer than the work buffer is cut, never overrun.
  const std::string long_name(600, 'a');
  EXPECT_EQ(ccm_hostname2address(long_name.c_str(), CCM_PREFER_IPV4, &addr, &err), -1);
  EXPECT_EQ(ccm_hostname2address(nullptr, CCM_PREFER_IPV4, &addr, &err), -1);
}

TEST(Hostname2Address, TraceNamesTheChoice) {
  trcFlag = 1;
  qm7_test::StdoutCapture capture;
  sockaddr_in6 addr;
  ccm_error_t err;
  ccm_hostname2address("[::1]", CCM_PREFER_IPV4, &addr, &err);
  const std::string out = capture.Take();
  trcFlag = 0;
  EXPECT_NE(out.find(" - ccm_hostname2address(hostname=[::1]) -->\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" - ccm_hostname2address:      hostname without brackets=::1\n"),
            std::string::npos);
  EXPECT_NE(out.find(", family=10, addrstr=::1\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" - ccm_hostname2address <-- (OK,family=10,address=::1)\n"), std::string::npos)
      << out;
}

TEST(Address2String, FamiliesAndShortBuffers) {
  sockaddr_in6 six{};
  six.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::5", &six.sin6_addr);
  char text[64];
  EXPECT_EQ(ccm_address2string(&six, text, sizeof text), 0);
  EXPECT_STREQ(text, "2001:db8::5");

  char tiny[5];
  std::memset(tiny, 'x', sizeof tiny);
  EXPECT_EQ(ccm_address2string(&six, tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "");

  sockaddr_in6 four{};
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = inet_addr("192.0.2.1");
  std::memcpy(&four, &v4, sizeof v4);
  EXPECT_EQ(ccm_address2string(&four, text, sizeof text), 0);
  EXPECT_STREQ(text, "192.0.2.1");
  EXPECT_EQ(ccm_address2string(&four, text, 9), -1);  // "192.0.2.1" needs 10 bytes
  EXPECT_EQ(ccm_address2string(&four, text, 10), 0);

  EXPECT_EQ(ccm_address2string(nullptr, text, sizeof text), -1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ccm_address2string(&four, text, 0), -1);
}

TEST(AddressFormatted, BracketsOnlyForIPv6Texts) {
  char out[64];
  const char v4[] = "10.0.0.5";
  EXPECT_EQ(ccm_addressformatted(v4, out), v4);
  const char name[] = "agent.example";
  EXPECT_EQ(ccm_addressformatted(name, out), name);
  const char bracketed[] = "[::1]";
  EXPECT_EQ(ccm_addressformatted(bracketed, out), bracketed);
  EXPECT_EQ(ccm_addressformatted("fe80::1", out), out);
  EXPECT_STREQ(out, "[fe80::1]");
  char exact[6];  // strlen("a:b") + 3: exactly the room promised
  EXPECT_STREQ(ccm_addressformatted("a:b", exact), "[a:b]");
  EXPECT_EQ(ccm_addressformatted(nullptr, out), nullptr);
}

std::vector<std::string>* g_logged = nullptr;
int capture_logger(int msgnr, const char* insert) {
  if (g_logged != nullptr) g_logged->push_back(std::to_string(msgnr) + " " + insert);
  return 0;
}

class LogAllIp : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = default_logger;
    g_logged = &logged_;
    __log_set_logger(capture_logger);
  }
  void TearDown() override {
    __log_set_logger(saved_);
    g_logged = nullptr;
  }
  std::vector<std::string> logged_;
  logger_function_t* saved_ = nullptr;
};

TEST_F(LogAllIp, OneMessagePerAddressInOrderWithBrackets) {
  CraftedList list({"fe80::1", "10.0.0.5", "2001:db8::5"});
  qm7::ccm_detail::log_address_list("agent", list.head());
  EXPECT_EQ(logged_, (std::vector<std::string>{"2000066 agent|[fe80::1]", "2000066 agent|10.0.0.5",
                                               "2000066 agent|[2001:db8::5]"}));
}

TEST_F(LogAllIp, ResolvesAndReportsFailures) {
  ccm_error_t err;
  EXPECT_EQ(ccm_log_all_ip("::1", &err), 0);
  EXPECT_EQ(logged_, (std::vector<std::string>{"2000066 ::1|[::1]"}));
  logged_.clear();
  EXPECT_EQ(ccm_log_all_ip("127.0.0.1", &err), 0);
  EXPECT_EQ(logged_, (std::vector<std::string>{"2000066 127.0.0.1|127.0.0.1"}));
  logged_.clear();
  EXPECT_EQ(ccm_log_all_ip("qm7-no-such-host.invalid", &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
  EXPECT_TRUE(logged_.empty());
}

TEST(Ipv6Support, AgreesWithTheSocketLayer) {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  const int expected = fd >= 0 ? 0 : -1;
  if (fd >= 0) close(fd);
  ccm_error_t err{};
  EXPECT_EQ(ccm_check_ipv6_support(&err), expected);
  if (expected == 0) {
    EXPECT_EQ(err.msgnr, 0);
  } else {
    EXPECT_EQ(err.msgnr, 2000102);
    EXPECT_EQ(std::string(err.msginsert).rfind("socket(AF_INET6/IPv6)|", 0), 0u);
  }
}

TEST(GetMyIp, AddressTextOrAReportedFailure) {
  // The local host's addresses depend on the machine; only the contract is checked.
  char out[64];
  std::memset(out, 'x', sizeof out);
  ccm_error_t err;
  if (ccm_getmyIP(CCM_PREFER_IPV6, out, &err) == 0) {
    in6_addr a6;
    in_addr a4;
    EXPECT_TRUE(inet_pton(AF_INET, out, &a4) == 1 || inet_pton(AF_INET6, out, &a6) == 1) << out;
    EXPECT_EQ(err.msgnr, 0);
  } else {
    EXPECT_EQ(err.msgnr, 2000102);
  }
}

TEST(Hostname2Address, TwoThreadsResolveAtOnce) {
  auto worker = [](const char* name, int family, bool* ok) {
    for (int i = 0; i < 100; ++i) {
      sockaddr_in6 addr;
      ccm_error_t err;
      if (ccm_hostname2address(name, CCM_PREFER_IPV4, &addr, &err) != 0 ||
          addr.sin6_family != family)
        *ok = false;
    }
  };
  bool ok1 = true, ok2 = true;
  std::thread a(worker, "[::1]", AF_INET6, &ok1), b(worker, "127.0.0.1", AF_INET, &ok2);
  a.join();
  b.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

}  // namespace
