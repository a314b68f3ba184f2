// A minimal agent on raw sockets for the report benchmark (see quick_agent.h). Each step waits
// with a bound, so a client that stops half-way costs the benchmark seconds, never a hang.
#include "quick_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qm7::bench {
namespace {

constexpr int kStepMillis = 5000;  // bound of each wait on a client
constexpr size_t kHeaderSize = 48;
constexpr size_t kReportFrameSize = 339;  // header, addressing elements, the 276-byte record

// The frames qm7-agent-sim sends: the greeting (a native frame with a data element of key 4)
// and its answer to a record (a NAT frame whose body is a bare record header, msgnr 0).
constexpr unsigned char kGreeting[] =
    "00000063QM7:global001NAT                        \x04\x0dQM7-AGENT-SIM";
constexpr unsigned char kAnswer[] =
    "00000073QM7:global001NAT                        \xff\x14\x00\x00\x00"
    "MELD    03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00";
static_assert(sizeof(kGreeting) - 1 == 63 && sizeof(kAnswer) - 1 == 73);

bool wait_readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  int rc;
  while ((rc = poll(&p, 1, kStepMillis)) < 0 && errno == EINTR) {
  }
  return rc > 0;
}

// Reads exactly len bytes; false on end of input, error or a stalled client.
bool read_exact(int fd, unsigned char* at, size_t len) {
  while (len > 0) {
    if (!wait_readable(fd)) return false;
    const ssize_t n = read(fd, at, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool write_all(int fd, const unsigned char* at, size_t len) {
  while (len > 0) {
    const ssize_t n = send(fd, at, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

quick_agent::quick_agent() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    return;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
}

quick_agent::~quick_agent() {
  if (thread_.joinable()) {
    const char byte = 'S';
    while (write(stop_pipe_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) close(fd);
  }
}

std::string quick_agent::last_problem() const {
  std::lock_guard<std::mutex> hold(problem_lock_);
  return problem_;
}

void quick_agent::fail(const std::string& why) {
  {
    std::lock_guard<std::mutex> hold(problem_lock_);
    problem_ = why;
  }
  bad_.fetch_add(1);
}

void quick_agent::serve() {
  for (;;) {
    struct pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    if (p[0].revents == 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    handle(fd);
    close(fd);
  }
}

void quick_agent::handle(int fd) {
  if (!write_all(fd, kGreeting, sizeof(kGreeting) - 1))
    return fail("the greeting could not go out");
  unsigned char frame[kReportFrameSize];
  if (!read_exact(fd, frame, kHeaderSize)) return fail("no frame header after the greeting");
  const std::string length_text(reinterpret_cast<const char*>(frame), 8);
  const unsigned long length = strtoul(length_text.c_str(), nullptr, 10);
  if (length != kReportFrameSize) return fail("a frame of " + length_text + " bytes, not 339");
  if (memcmp(frame + 21, "NAT", 3) != 0) return fail("a frame that is not NAT");
  if (!read_exact(fd, frame + kHeaderSize, kReportFrameSize - kHeaderSize)) {
    return fail("the frame ended early");
  }
  if (memcmp(frame + 63, "MELD    ", 8) != 0) return fail("the frame carries no job record");
  good_.fetch_add(1);
  if (!write_all(fd, kAnswer, sizeof(kAnswer) - 1)) return;
  // Wait for the client to close (it reads the answer and ends), so its connection never
  // overlaps the next client's.
  unsigned char rest[256];
  while (wait_readable(fd)) {
    const ssize_t n = read(fd, rest, sizeof(rest));
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
}

}  // namespace qm7::bench
