// Host lookup without DNS: dotted addresses, "localhost" from the hosts file, a name under the
// reserved .invalid domain that can never resolve, and the socket buffer queries.
#include "qm7/runtime/host_lookup.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "qm7/runtime/trace.h"
#include "support/stdout_capture.h"

// A resolver that fails without an error number of its own while g_fail_rc is set: the test
// program's gethostbyname_r comes before the C library's, which it calls otherwise.
std::atomic<int> g_fail_rc{-1};
std::atomic<int> g_fail_herr{0};

extern "C" int gethostbyname_r(const char* name, hostent* entry, char* buf, size_t len,
                               hostent** result, int* h_errnop) {
  if (g_fail_rc >= 0) {
    *result = nullptr;
    *h_errnop = g_fail_herr;
    return g_fail_rc;
  }
  using fn = int (*)(const char*, hostent*, char*, size_t, hostent**, int*);
  static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "gethostbyname_r"));
  return real(name, entry, buf, len, result, h_errnop);
}

namespace {

constexpr char kNoSuchHost[] = "qm7-no-such-host.invalid";

bool is_resolver_text(const std::string& text) {
  return text == "HOST_NOT_FOUND" || text == "TRY_AGAIN" || text == "NO_RECOVERY" ||
         text == "NO_DATA" || text == "????";
}

TEST(HostLookup, AddressesNamesAndErrorTexts) {
  char buf[32], small[5];
  const char* texts[] = {"????", "HOST_NOT_FOUND", "TRY_AGAIN", "NO_RECOVERY", "NO_DATA", "????"};
  for (int herr = 0; herr < 6; ++herr) EXPECT_STREQ(getHerrnoString(buf, 32, herr), texts[herr]);
  EXPECT_STREQ(getHerrnoString(small, sizeof small, HOST_NOT_FOUND), "HOST");

  errno = 1234;
  EXPECT_EQ(GetHostAddrTh("127.0.0.1", buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "127.0.0.1");
  EXPECT_EQ(errno, 1234);  // a dotted address is copied without a lookup
  GetHostAddrTh("10.20.30.40", small, sizeof small);
  EXPECT_STREQ(small, "10.2");
  GetHostAddrTh("localhost", buf, sizeof buf);
  EXPECT_EQ(errno, 0);
  EXPECT_STREQ(buf, "127.0.0.1");
  GetHostAddrTh(kNoSuchHost, buf, sizeof buf);
  EXPECT_NE(errno, 0);
  EXPECT_TRUE(is_resolver_text(buf)) << buf;
  GetHostAddrTh("", buf, sizeof buf);
  EXPECT_EQ(errno, HOST_NOT_FOUND);
  EXPECT_STREQ(buf, "HOST_NOT_FOUND");

  char name[256];
  errno = 5;
  GetHostNameTh("127.0.0.1", name, sizeof name);
  EXPECT_EQ(errno, 0);
  EXPECT_GT(std::strlen(name), 0u);     // the hosts file names 127.0.0.1
  GetHostNameTh("abcdefgh", small, 4);  // not dotted: taken as the name
  EXPECT_STREQ(small, "abc");
}

TEST(HostLookup, AllOnesAddressIsLookedUpAsAName) {
  // 255.255.255.255 is the invalid-address value of the dotted-address parser.
  trcFlag = 1;
  qm7_test::StdoutCapture capture;
  char out[32];
  GetHostAddrTh("127.0.0.1", out, sizeof out);
  GetHostAddrTh("255.255.255.255", out, sizeof out);
  const int lookup_errno = errno;
  const std::string trace = capture.Take();
  trcFlag = 0;
  EXPECT_NE(trace.find(" - GetHostAddrTh(host=127.0.0.1) -->\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" - GetHostAddrTh <-- (ip=127.0.0.1, with inet_addr() call)\n"),
            std::string::npos);
  EXPECT_NE(trace.find("gethostbyname("), std::string::npos);
  EXPECT_EQ(trace.find("(ip=255.255.255.255, with inet_addr"), std::string::npos);
  EXPECT_TRUE(lookup_errno != 0 ? is_resolver_text(out) : std::string(out) == "255.255.255.255")
      << out;  // a hosts file may name the broadcast address
}

TEST(HostLookup, VerifyHostDefSplitsThePortAndBoundsItsAreas) {
  char host[512], ip[32];
  qm7_error err;
  std::memset(&err, 0x7F, sizeof err);
  EXPECT_EQ(verifyHostDef("10.1.2.3:2300", host, sizeof host, ip, sizeof ip, &err), 2300);
  EXPECT_STREQ(ip, "10.1.2.3");
  EXPECT_EQ(err.qm_msgnr, 0);
  if (err.qm_result != 0) {  // 10.1.2.3 may have no name here: result 1 and the text
    EXPECT_EQ(err.qm_result, 1);
    EXPECT_TRUE(is_resolver_text(err.qm_msgInsert)) << err.qm_msgInsert;
  }
  EXPECT_EQ(verifyHostDef("localhost", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_STREQ(host, "localhost");
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(err.qm_result, 0);
  EXPECT_EQ(verifyHostDef("localhost:x12", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_EQ(verifyHostDef("localhost:7:8", host, sizeof host, ip, sizeof ip, &err), 7);

  const std::string def = std::string(kNoSuchHost) + ":4711";
  EXPECT_EQ(verifyHostDef(def.c_str(), host, sizeof host, ip, sizeof ip, &err), 4711);
  EXPECT_EQ(err.qm_result, -1);
  EXPECT_TRUE(is_resolver_text(err.qm_msgInsert)) << err.qm_msgInsert;
  EXPECT_STREQ(host, kNoSuchHost);
  EXPECT_STREQ(ip, "");

  // Only the first 255 characters are looked at, and the areas are never overrun.
  const std::string long_def = std::string(300, 'h') + ":99";
  EXPECT_EQ(verifyHostDef(long_def.c_str(), host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_EQ(std::strlen(host), 255u);
  char small_host[4], small_ip[4];
  EXPECT_EQ(verifyHostDef("localhost:1", small_host, 4, small_ip, 4, &err), 1);
  EXPECT_EQ(std::string(small_host) + small_ip, "loc127");
  EXPECT_EQ(verifyHostDef("127.0.0.1:2", nullptr, 0, nullptr, 0, nullptr), 2);
}

TEST(HostLookup, ResolverFailureWithoutAnErrorNumber) {
  // Each: what gethostbyname_r returns and leaves in h_errno; the error number then reported.
  const struct {
    int rc, herr, reported;
  } cases[] = {{EAGAIN, NETDB_INTERNAL, EAGAIN}, {0, 0, ENOENT}, {0, TRY_AGAIN, TRY_AGAIN}};
  for (const auto& c : cases) {
    g_fail_rc = c.rc;
    g_fail_herr = c.herr;
    char out[32], host[64], ip[32];
    qm7_error err;
    GetHostAddrTh("agent.example", out, sizeof out);
    const int reported = errno;
    verifyHostDef("agent.example:7", host, sizeof host, ip, sizeof ip, &err);
    g_fail_rc = -1;
    const std::string text = c.herr > 0 ? "TRY_AGAIN" : "";  // no "????" for a missing number
    EXPECT_EQ(reported, c.reported);
    EXPECT_EQ(out, text);
    EXPECT_EQ(err.qm_result, -1);
    EXPECT_EQ(err.qm_errno, c.reported);
    EXPECT_EQ(err.qm_msgInsert, text);
    EXPECT_STREQ(ip, "");
  }
}

TEST(HostLookup, TwoThreadsLookUpAtOnce) {
  auto worker = [](bool* ok) {
    for (int i = 0; i < 50; ++i) {
      char out[32], host[64], ip[32];
      qm7_error err;
      GetHostAddrTh("localhost", out, sizeof out);
      *ok = *ok && errno == 0 && std::strcmp(out, "127.0.0.1") == 0;
      *ok = *ok && verifyHostDef("localhost:1", host, sizeof host, ip, sizeof ip, &err) == 1 &&
            std::strcmp(ip, "127.0.0.1") == 0;
    }
  };
  bool ok1 = true, ok2 = true;
  std::thread a(worker, &ok1), b(worker, &ok2);
  a.join();
  b.join();
  EXPECT_TRUE(ok1 && ok2);
}

TEST(HostLookup, SocketBufferSizes) {
  int sv[2], rcv = 40000, snd = 90000;
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  // Different sizes for the two buffers, so that each query is seen to ask its own one.
  ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv), 0);
  ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd), 0);
  socklen_t len = sizeof rcv;
  ASSERT_EQ(getsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &rcv, &len), 0);
  ASSERT_EQ(getsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &snd, &len), 0);
  ASSERT_NE(rcv, snd);
  EXPECT_EQ(GetRecvSocketBuffer(sv[0]), rcv);
  errno = 77;
  EXPECT_EQ(GetSendSocketBuffer(sv[0]), snd);
  EXPECT_EQ(errno, 0);
  close(sv[0]);
  close(sv[1]);
  // A descriptor that is not an open socket gives 0; standard input is never asked.
  EXPECT_EQ(GetRecvSocketBuffer(-1), 0);
  EXPECT_EQ(GetRecvSocketBuffer(0), 0);
}

}  // namespace
