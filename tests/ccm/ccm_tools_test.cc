// Address resolution: the preference rules on crafted resolver lists, numeric, bracketed and
// "localhost" names (no DNS involved), conversions back to text, and the address log lines.
#include "qm7/ccm/ccm_tools.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"
#include "resolver_internal.h"

namespace {

using qm7::test::Entries;

// A resolver result list built from address texts, in the given order.
class CraftedList {
 public:
  explicit CraftedList(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
      auto& storage = addrs_.emplace_back();
      addrinfo& node = nodes_.emplace_back();
      node.ai_addr = reinterpret_cast<sockaddr*>(&storage);
      const bool six = text.find(':') != std::string::npos;
      node.ai_family = six ? AF_INET6 : AF_INET;
      node.ai_addrlen = six ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      storage.ss_family = static_cast<sa_family_t>(node.ai_family);
      void* where = six ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr)
                        : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&storage)->sin_addr);
      EXPECT_EQ(inet_pton(node.ai_family, text.c_str(), where), 1) << text;
    }
    for (size_t i = 0; i + 1 < nodes_.size(); ++i) nodes_[i].ai_next = &nodes_[i + 1];
  }
  const addrinfo* head() const { return nodes_.empty() ? nullptr : &nodes_.front(); }

 private:
  std::deque<sockaddr_storage> addrs_;  // deque: elements never move
  std::deque<addrinfo> nodes_;
};

TEST(AddressChoice, RoutableAddressOfThePreferredFamilyElseTheFirstAndTheAddressLog) {
  constexpr int k4 = CCM_PREFER_IPV4, k6 = CCM_PREFER_IPV6;
  const struct {
    std::vector<std::string> list;
    int options;
    const char* chosen;
  } cases[] = {
      {{"fe80::1", "10.0.0.5"}, k4, "10.0.0.5"},
      {{"fe80::1", "10.0.0.5"}, k6, "10.0.0.5"},
      {{"2001:db8::5", "10.0.0.5"}, k4, "10.0.0.5"},
      {{"2001:db8::5", "10.0.0.5"}, k6, "2001:db8::5"},
      {{"2001:db8::5", "10.0.0.5"}, k4 | k6, "2001:db8::5"},
      {{"2001:db8::5", "10.0.0.5"}, 0, "2001:db8::5"},
      {{"10.0.0.5", "2001:db8::5"}, k6, "2001:db8::5"},
      {{"10.0.0.5", "2001:db8::5"}, k4 | k6, "10.0.0.5"},
      {{"127.0.0.1", "::1", "fe80::2", "2001:db8::7", "10.9.8.7"}, k6, "2001:db8::7"},
      // Loopback and link-local only as a last resort: then the first entry.
      {{"::1", "127.0.0.1"}, k4, "::1"},
      {{"FE80::abcd", "127.0.0.1"}, k4, "fe80::abcd"},
      {{"127.0.0.1", "127.0.0.2"}, k4, "127.0.0.2"},  // other loopback addresses count
      {{}, k4, "<none>"},
  };
  for (const auto& c : cases) {
    CraftedList list(c.list);
    const addrinfo* entry = qm7::ccm_detail::choose_address(list.head(), c.options);
    char text[64] = "<none>";
    if (entry != nullptr) {
      ccm_address2string(reinterpret_cast<const sockaddr_in6*>(entry->ai_addr), text, sizeof text);
    }
    EXPECT_STREQ(text, c.chosen) << c.list.size() << " entries, options " << c.options;
  }
  // The address log: one line per address, IPv6 in brackets.
  qm7::test::LogCapture log;
  CraftedList list({"fe80::1", "10.0.0.5"});
  qm7::ccm_detail::log_address_list("agent", list.head());
  ccm_error_t err;
  EXPECT_EQ(ccm_log_all_ip("::1", &err), 0);
  EXPECT_EQ(
      log.entries(),
      (Entries{{2000066, "agent|[fe80::1]"}, {2000066, "agent|10.0.0.5"}, {2000066, "::1|[::1]"}}));
  log.clear();
  EXPECT_EQ(ccm_log_all_ip("qm7-no-such-host.invalid", &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
  EXPECT_TRUE(log.entries().empty());
}

TEST(Hostname2Address, NumericBracketedLocalhostAndFailures) {
  sockaddr_in6 addr;
  ccm_error_t err;
  for (const char* form : {"::1", "[::1]", "  [::1]  ", "[ ::1 ]"}) {
    std::memset(&addr, 0xEE, sizeof addr);
    std::memset(&err, 0x55, sizeof err);
    ASSERT_EQ(ccm_hostname2address(form, CCM_PREFER_IPV4, &addr, &err), 0) << form;
    EXPECT_EQ(addr.sin6_family, AF_INET6);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&addr.sin6_addr));
    EXPECT_EQ(addr.sin6_port, 0);
    EXPECT_EQ(err.msgnr, 0);
    EXPECT_STREQ(err.msginsert, "");
  }
  // An IPv4 result writes only the IPv4 part; the rest is zero.
  std::memset(&addr, 0xEE, sizeof addr);
  ASSERT_EQ(ccm_hostname2address("10.0.0.5", CCM_PREFER_IPV4, &addr, &err), 0);
  sockaddr_in v4;
  std::memcpy(&v4, &addr, sizeof v4);
  EXPECT_EQ(v4.sin_family, AF_INET);
  EXPECT_EQ(v4.sin_addr.s_addr, inet_addr("10.0.0.5"));
  const auto* bytes = reinterpret_cast<const unsigned char*>(&addr);
  EXPECT_EQ(std::string(bytes + sizeof v4, bytes + sizeof addr),
            std::string(sizeof addr - sizeof v4, '\0'));

  char text[64];
  ASSERT_EQ(ccm_hostname2address("localhost", CCM_PREFER_IPV4, &addr, &err), 0);
  ASSERT_EQ(ccm_address2string(&addr, text, sizeof text), 0);
  EXPECT_TRUE(std::string(text) == "127.0.0.1" || std::string(text) == "::1") << text;

  EXPECT_EQ(ccm_hostname2address("qm7-no-such-host.invalid", CCM_PREFER_IPV4, &addr, &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
  // The resolver's own code and text, not errno's "0(Success)".
  EXPECT_EQ(std::string(err.msginsert).rfind("getaddrinfo|-", 0), 0u) << err.msginsert;
  EXPECT_EQ(std::string(err.msginsert).find("Success"), std::string::npos) << err.msginsert;
  EXPECT_EQ(addr.sin6_family, 0);         // cleared even on failure
  const std::string long_name(600, 'a');  // cut to the work buffer, never overrun
  for (const char* bad : {"[]", long_name.c_str(), static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(ccm_hostname2address(bad, CCM_PREFER_IPV4, &addr, &err), -1);
  }
  EXPECT_EQ(ccm_hostname2address("10.0.0.5", CCM_PREFER_IPV4, nullptr, &err),
            -1);  // no result area
}

TEST(AddressText, ShortBuffersAndBrackets) {
  sockaddr_in6 six{};
  six.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::5", &six.sin6_addr);
  char text[64];
  EXPECT_EQ(ccm_address2string(&six, text, sizeof text), 0);
  EXPECT_STREQ(text, "2001:db8::5");
  char tiny[5] = "xxxx";
  EXPECT_EQ(ccm_address2string(&six, tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "");
  sockaddr_in6 four{};
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = inet_addr("192.0.2.1");
  std::memcpy(&four, &v4, sizeof v4);
  EXPECT_EQ(ccm_address2string(&four, text, 9), -1);  // "192.0.2.1" needs 10 bytes
  EXPECT_EQ(ccm_address2string(&four, text, 10), 0);
  EXPECT_STREQ(text, "192.0.2.1");
  EXPECT_EQ(ccm_address2string(nullptr, text, sizeof text), -1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ccm_address2string(&four, text, 0), -1);
  EXPECT_EQ(ccm_address2string(&four, nullptr, sizeof text), -1);

  char out[64];
  const char v4text[] = "10.0.0.5", bracketed[] = "[::1]";
  EXPECT_EQ(ccm_addressformatted(v4text, out), v4text);
  EXPECT_EQ(ccm_addressformatted(bracketed, out), bracketed);
  EXPECT_EQ(ccm_addressformatted("fe80::1", out), out);
  EXPECT_STREQ(out, "[fe80::1]");
  char exact[6];  // strlen("a:b") + 3: exactly the room promised
  EXPECT_STREQ(ccm_addressformatted("a:b", exact), "[a:b]");
  EXPECT_EQ(ccm_addressformatted(nullptr, out), nullptr);
}

TEST(HostQueries, Ipv6SupportAndOwnAddress) {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd >= 0) close(fd);
  ccm_error_t err{};
  EXPECT_EQ(ccm_check_ipv6_support(&err), fd >= 0 ? 0 : -1);
  EXPECT_EQ(err.msgnr, fd >= 0 ? 0 : 2000102);
  // The local host's addresses depend on the machine: an address text or a reported failure.
  char out[64];
  if (ccm_getmyIP(CCM_PREFER_IPV6, out, &err) == 0) {
    unsigned char a[16];
    EXPECT_TRUE(inet_pton(AF_INET, out, a) == 1 || inet_pton(AF_INET6, out, a) == 1) << out;
  } else {
    EXPECT_EQ(err.msgnr, 2000102);
  }
}

}  // namespace
