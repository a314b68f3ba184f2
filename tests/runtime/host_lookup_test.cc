// Host lookup without DNS: dotted addresses, "localhost" from the hosts file, a name under the
// reserved .invalid domain that can never resolve, and the socket buffer queries.
#include "qm7/runtime/host_lookup.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "qm7/runtime/trace.h"
#include "support/stdout_capture.h"

namespace {

constexpr char kNoSuchHost[] = "qm7-no-such-host.invalid";

bool is_resolver_text(const std::string& text) {
  return text == "HOST_NOT_FOUND" || text == "TRY_AGAIN" || text == "NO_RECOVERY" ||
         text == "NO_DATA" || text == "????";
}

TEST(HostLookup, ResolverErrorTexts) {
  char buf[32];
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, HOST_NOT_FOUND), "HOST_NOT_FOUND");
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, TRY_AGAIN), "TRY_AGAIN");
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, NO_RECOVERY), "NO_RECOVERY");
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, NO_DATA), "NO_DATA");
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, 0), "????");
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, 5), "????");
  EXPECT_STREQ(getHerrnoString(buf, sizeof buf, -1), "????");
  char small[5];
  EXPECT_STREQ(getHerrnoString(small, sizeof small, HOST_NOT_FOUND), "HOST");
}

TEST(HostLookup, DottedAddressIsCopiedWithoutLookup) {
  char out[32];
  std::memset(out, 'x', sizeof out);
  errno = 1234;
  EXPECT_EQ(GetHostAddrTh("127.0.0.1", out, sizeof out), out);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(errno, 1234);  // a dotted address leaves errno alone

  char tiny[6];
  GetHostAddrTh("10.20.30.40", tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "10.20");  // cut to the room given
}

TEST(HostLookup, NameIsResolvedAndErrorsGoToErrno) {
  char out[32];
  errno = 99;
  GetHostAddrTh("localhost", out, sizeof out);
  EXPECT_EQ(errno, 0);
  EXPECT_STREQ(out, "127.0.0.1");

  // The all-ones address is the invalid-address value, so it is looked up as a name.
  trcFlag = 1;
  qm7_test::StdoutCapture capture;
  GetHostAddrTh("255.255.255.255", out, sizeof out);
  const int lookup_errno = errno;
  const std::string trace = capture.Take();
  trcFlag = 0;
  EXPECT_EQ(trace.find("with inet_addr() call"), std::string::npos) << trace;
  EXPECT_NE(trace.find("gethostbyname("), std::string::npos) << trace;
  if (lookup_errno != 0) {
    EXPECT_TRUE(is_resolver_text(out)) << out;
  } else {
    EXPECT_STREQ(out, "255.255.255.255");  // a hosts file may name the broadcast address
  }

  GetHostAddrTh(kNoSuchHost, out, sizeof out);
  EXPECT_NE(errno, 0);
  EXPECT_TRUE(is_resolver_text(out)) << out;

  GetHostAddrTh("", out, sizeof out);
  EXPECT_EQ(errno, HOST_NOT_FOUND);
  EXPECT_STREQ(out, "HOST_NOT_FOUND");
}

TEST(HostLookup, ReverseLookup) {
  char name[256];
  errno = 5;
  GetHostNameTh("127.0.0.1", name, sizeof name);
  EXPECT_EQ(errno, 0);
  EXPECT_GT(std::strlen(name), 0u);  // the hosts file names 127.0.0.1

  errno = 5;
  GetHostNameTh("some.host.name", name, sizeof name);
  EXPECT_EQ(errno, 0);
  EXPECT_STREQ(name, "some.host.name");  // not dotted: taken as the name

  char tiny[4];
  GetHostNameTh("abcdefgh", tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "abc");
}

TEST(HostLookup, VerifyHostDefWithAddressAndPort) {
  char host[64], ip[32];
  qm7_error err;
  std::memset(&err, 0x7F, sizeof err);
  EXPECT_EQ(verifyHostDef("10.1.2.3:2300", host, sizeof host, ip, sizeof ip, &err), 2300);
  EXPECT_STREQ(ip, "10.1.2.3");
  EXPECT_EQ(err.qm_msgnr, 0);
  // Whether 10.1.2.3 has a name depends on the host: either a name, or result 1 with the text.
  if (err.qm_result == 0) {
    EXPECT_EQ(err.qm_errno, 0);
    EXPECT_STREQ(err.qm_msgInsert, "");
  } else {
    EXPECT_EQ(err.qm_result, 1);
    EXPECT_NE(err.qm_errno, 0);
    EXPECT_STREQ(host, "");
    EXPECT_TRUE(is_resolver_text(err.qm_msgInsert)) << err.qm_msgInsert;
  }
}

TEST(HostLookup, VerifyHostDefWithName) {
  char host[64], ip[32];
  qm7_error err;
  EXPECT_EQ(verifyHostDef("localhost", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_STREQ(host, "localhost");
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(err.qm_result, 0);

  EXPECT_EQ(verifyHostDef("localhost:x12", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_EQ(verifyHostDef("localhost:7:8", host, sizeof host, ip, sizeof ip, &err), 7);
  EXPECT_STREQ(host, "localhost");

  const std::string def = std::string(kNoSuchHost) + ":4711";
  EXPECT_EQ(verifyHostDef(def.c_str(), host, sizeof host, ip, sizeof ip, &err), 4711);
  EXPECT_EQ(err.qm_result, -1);
  EXPECT_NE(err.qm_errno, 0);
  EXPECT_TRUE(is_resolver_text(err.qm_msgInsert)) << err.qm_msgInsert;
  EXPECT_STREQ(host, kNoSuchHost);
  EXPECT_STREQ(ip, "");
}

TEST(HostLookup, VerifyHostDefBoundsItsInput) {
  // 300 characters: only the first 255 are looked at, and nothing overruns.
  std::string def(300, 'h');
  def += ":99";
  char host[512], ip[32];
  qm7_error err;
  EXPECT_EQ(verifyHostDef(def.c_str(), host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_EQ(std::strlen(host), 255u);
  EXPECT_EQ(err.qm_result, -1);

  char small_host[4], small_ip[4];
  EXPECT_EQ(
      verifyHostDef("localhost:1", small_host, sizeof small_host, small_ip, sizeof small_ip, &err),
      1);
  EXPECT_STREQ(small_host, "loc");
  EXPECT_STREQ(small_ip, "127");
  EXPECT_EQ(verifyHostDef("127.0.0.1:2", nullptr, 0, nullptr, 0, nullptr), 2);
}

TEST(HostLookup, TraceLinesOfADottedAddress) {
  trcFlag = 1;
  qm7_test::StdoutCapture capture;
  char out[32];
  GetHostAddrTh("127.0.0.1", out, sizeof out);
  const std::string text = capture.Take();
  trcFlag = 0;
  EXPECT_NE(text.find(" - GetHostAddrTh(host=127.0.0.1) -->\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" - GetHostAddrTh <-- (ip=127.0.0.1, with inet_addr() call)\n"),
            std::string::npos)
      << text;
}

TEST(HostLookup, TwoThreadsLookUpAtOnce) {
  auto worker = [](bool* ok) {
    for (int i = 0; i < 50; ++i) {
      char out[32], host[64], ip[32];
      qm7_error err;
      GetHostAddrTh("localhost", out, sizeof out);
      if (errno != 0 || std::strcmp(out, "127.0.0.1") != 0) *ok = false;
      if (verifyHostDef("localhost:1", host, sizeof host, ip, sizeof ip, &err) != 1 ||
          std::strcmp(ip, "127.0.0.1") != 0)
        *ok = false;
    }
  };
  bool ok1 = true, ok2 = true;
  std::thread a(worker, &ok1), b(worker, &ok2);
  a.join();
  b.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

TEST(HostLookup, SocketBufferSizes) {
  EXPECT_EQ(GetRecvSocketBuffer(0), 0);
  EXPECT_EQ(GetSendSocketBuffer(0), 0);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int want = 0;
  socklen_t len = sizeof want;
  ASSERT_EQ(getsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &want, &len), 0);
  EXPECT_EQ(GetRecvSocketBuffer(sv[0]), want);
  ASSERT_EQ(getsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &want, &len), 0);
  errno = 77;
  EXPECT_EQ(GetSendSocketBuffer(sv[0]), want);
  EXPECT_EQ(errno, 0);
  close(sv[0]);
  close(sv[1]);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_EQ(GetRecvSocketBuffer(pipe_fds[0]), 0);  // not a socket: the query fails
  EXPECT_EQ(GetSendSocketBuffer(pipe_fds[1]), 0);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_EQ(GetRecvSocketBuffer(-1), 0);
}

}  // namespace
