// qm7-bench-spawn: starts the programs a benchmark measures, on its behalf, and reports each
// one's wall time, peak resident set and exit status. It exists because a child's peak RSS as
// wait4 reports it is the larger of its own and that of the process it was forked from: forked
// from the benchmark (which carries its agent thread, its samples and the C++ runtime), every
// child would seem to be at least as big as the benchmark. Forked from this small program, the
// figure is the child's own. It uses only the C library, so it stays small.
//
// Protocol on the stream socket given as argv[1] (see bench_common.cc): a request is a 4-byte
// length, then that many bytes: a flag byte (1: keep standard output) and the arguments, each
// NUL-terminated. The answer is one spawn_reply. End of input ends the program. A program that
// has not ended after kSpawnLimitSeconds is killed (its exit status is then -1).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "spawn_protocol.h"

namespace {

volatile sig_atomic_t alarm_rang = 0;

void on_alarm(int) { alarm_rang = 1; }

bool read_full(int fd, void* data, size_t len) {
  auto* p = static_cast<char*>(data);
  while (len > 0) {
    const ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool write_full(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

double now_ms() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Runs one request; the reply's `started` is 0 when the arguments were unusable or fork failed.
qm7::bench::spawn_reply run(char* payload, uint32_t len) {
  qm7::bench::spawn_reply reply{};
  reply.exit_status = -1;
  if (len < 2 || payload[len - 1] != '\0') return reply;
  const bool keep_stdout = payload[0] == 1;
  char* args[qm7::bench::kSpawnMaxArgs + 1];
  int argc = 0;
  for (uint32_t at = 1; at < len && argc < qm7::bench::kSpawnMaxArgs;) {
    args[argc++] = payload + at;
    while (payload[at] != '\0') ++at;
    ++at;
  }
  args[argc] = nullptr;

  // A program that hangs is killed after kSpawnLimitSeconds, so a benchmark always ends.
  alarm(qm7::bench::kSpawnLimitSeconds);
  const double start = now_ms();
  const pid_t pid = fork();
  if (pid < 0) {
    alarm(0);
    return reply;
  }
  if (pid == 0) {
    if (!keep_stdout) {
      const int null_fd = open("/dev/null", O_WRONLY);
      if (null_fd >= 0) dup2(null_fd, 1);
    }
    // The measured program starts with standard input, output and error only.
    close_range(3, ~0U, 0);
    execv(args[0], args);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) break;
    if (alarm_rang) kill(pid, SIGKILL);
  }
  reply.wall_ms = now_ms() - start;
  alarm(0);
  alarm_rang = 0;
  reply.max_rss_kb = usage.ru_maxrss;
  reply.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  reply.started = 1;
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  struct sigaction action {};
  action.sa_handler = on_alarm;  // no SA_RESTART: the alarm interrupts wait4
  sigaction(SIGALRM, &action, nullptr);
  const int fd = atoi(argv[1]);
  static char payload[qm7::bench::kSpawnMaxRequest];
  for (;;) {
    uint32_t len = 0;
    if (!read_full(fd, &len, sizeof(len)) || len > sizeof(payload)) return 0;
    if (!read_full(fd, payload, len)) return 0;
    const qm7::bench::spawn_reply reply = run(payload, len);
    if (!write_full(fd, &reply, sizeof(reply))) return 0;
  }
}
