// The look-up of the agent's host against resolver stubs (no network): its bound when the
// resolver never answers, the resolver's own code and text in the insert, and the printable
// form of foreign text on standard error.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "../../src/ccm/resolver_internal.h"
#include "../../src/messenger/printable.h"
#include "messenger/harness.h"

namespace {

using qm7::ccm::resolve_bounded;

std::mutex g_mu;
std::condition_variable g_cv;
bool g_release = false, g_returned = false;

// A name server that never answers: the resolver returns only when the test lets it.
int Hanging(const char*, const char*, const addrinfo* hints, addrinfo**) {
  if ((hints->ai_flags & AI_NUMERICHOST) != 0) return EAI_NONAME;
  std::unique_lock<std::mutex> lock(g_mu);
  g_cv.wait(lock, [] { return g_release; });
  g_returned = true;
  g_cv.notify_all();
  return EAI_AGAIN;
}
int NoName(const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; }
int SystemError(const char*, const char*, const addrinfo* hints, addrinfo**) {
  if ((hints->ai_flags & AI_NUMERICHOST) != 0) return EAI_NONAME;
  errno = EMFILE;
  return EAI_SYSTEM;
}

// A name that resolves to `Text`: the list getaddrinfo gives for that address text.
template <const char* Text>
int Resolves(const char*, const char*, const addrinfo* hints, addrinfo** res) {
  if ((hints->ai_flags & AI_NUMERICHOST) != 0) return EAI_NONAME;
  addrinfo numeric = *hints;
  numeric.ai_flags = AI_NUMERICHOST;
  return getaddrinfo(Text, nullptr, &numeric, res);
}
constexpr char kV4[] = "10.1.2.3";
constexpr char kLinkLocal[] = "fe80::1%1";

TEST(AgentAddress, LookUpIsBoundedAndReportsTheResolversOwnError) {
  const struct {
    const char* host;
    qm7::ccm::resolver_fn resolve;
    int rc;
    std::string result;  // the address, or the error insert
    double max_s;
  } cases[] = {
      {"agent.example", Hanging, -1, "getaddrinfo|no answer within 1 seconds", 1.8},
      {"agent.example", NoName, -1, "getaddrinfo|-2(Name or service not known)", 1},
      {"agent.example", SystemError, -1, "getaddrinfo|24(Too many open files)", 1},
      {" [::1] ", getaddrinfo, 0, "::1", 1},  // an address text needs no thread
      {"agent.example", Resolves<kV4>, 0, "10.1.2.3", 1},
      {"agent.example", Resolves<kLinkLocal>, 0, "fe80::1%1", 1},  // keeps its scope
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    ccm_error_t err = {};
    std::string address;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.rc, resolve_bounded(c.host, 1, &address, &err, c.resolve));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(qm7_test::UnderValgrind() || took.count() < c.max_s) << took.count();
    EXPECT_EQ(c.result, c.rc == 0 ? address : std::string(err.msginsert));
    EXPECT_EQ(c.rc == 0 ? 0 : 2000102, err.msgnr);
  }
  // The abandoned look-up still ends, and frees what it was given, once the resolver returns.
  std::unique_lock<std::mutex> lock(g_mu);
  g_release = true;
  g_cv.notify_all();
  EXPECT_TRUE(g_cv.wait_for(lock, std::chrono::seconds(10), [] { return g_returned; }));
}

TEST(Printable, KeepsPrintableAsciiAndEscapesEveryOtherByte) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"port 4711: a-Z ~\\", "port 4711: a-Z ~\\"},
      {"\x1b[2J\rforged\n", "\\x1B[2J\\x0Dforged\\x0A"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x7f\x80\xc3\xa9\xff", "\\x7F\\x80\\xC3\\xA9\\xFF"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, qm7::detail::printable(c.in));
}

}  // namespace
