// Shared measurement and reporting for the qm7 benchmarks.
#include "bench_common.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "spawn_protocol.h"

namespace qm7::bench {

std::string own_dir() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  char* slash = strrchr(self, '/');
  if (slash == nullptr) return ".";
  *slash = '\0';
  return self;
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

Paired alternate(int rounds, const std::function<double()>& a, const std::function<double()>& b) {
  Paired out;
  for (int i = 0; i < rounds; ++i) {
    if (i % 2 == 0) {
      out.a.push_back(a());
      out.b.push_back(b());
    } else {
      out.b.push_back(b());
      out.a.push_back(a());
    }
  }
  return out;
}

namespace {

// The spawner process that forks the measured programs (see spawn_main.cc), started on first
// use and ended when this program exits. All of it is guarded by spawner_lock.
std::mutex spawner_lock;
int spawner_fd = -1;
pid_t spawner_pid = -1;
bool spawner_tried = false;

void stop_spawner() {
  std::lock_guard<std::mutex> hold(spawner_lock);
  if (spawner_fd >= 0) close(spawner_fd);  // end of input ends the spawner
  spawner_fd = -1;
  if (spawner_pid > 0) waitpid(spawner_pid, nullptr, 0);
  spawner_pid = -1;
}

// qm7-bench-spawn beside this program.
std::string spawner_path() { return own_dir() + "/qm7-bench-spawn"; }

// Starts the spawner once; false when it cannot run (then children are forked from here).
bool spawner_ready() {
  if (spawner_fd >= 0) return true;
  if (spawner_tried) return false;
  spawner_tried = true;
  const std::string path = spawner_path();
  if (path.empty() || access(path.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench: %s not found; peak RSS figures include this program's own\n",
            path.c_str());
    return false;
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pair[0]);
    close(pair[1]);
    return false;
  }
  if (pid == 0) {
    // The spawner's end becomes descriptor 3, without close-on-exec.
    if (dup2(pair[1], 3) < 0) _exit(127);
    execl(path.c_str(), path.c_str(), "3", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pair[1]);
  spawner_fd = pair[0];
  spawner_pid = pid;
  atexit(stop_spawner);
  return true;
}

bool send_all(int fd, const void* data, size_t len) {
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

bool receive_all(int fd, void* data, size_t len) {
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

// Asks the spawner to run argv; false when the spawner is gone or the request is unusable.
bool spawn_through_spawner(const std::vector<std::string>& argv, bool keep_stdout, ChildRun* run) {
  std::string request(1, keep_stdout ? '\1' : '\0');
  for (const auto& arg : argv) request.append(arg.c_str(), arg.size() + 1);
  if (argv.empty() || argv.size() > kSpawnMaxArgs || request.size() > kSpawnMaxRequest) {
    return false;
  }
  const uint32_t len = static_cast<uint32_t>(request.size());
  spawn_reply reply{};
  if (!send_all(spawner_fd, &len, sizeof(len)) ||
      !send_all(spawner_fd, request.data(), request.size()) ||
      !receive_all(spawner_fd, &reply, sizeof(reply)) || reply.started == 0) {
    return false;
  }
  run->wall_ms = reply.wall_ms;
  run->max_rss_kb = reply.max_rss_kb;
  run->exit_status = reply.exit_status;
  return true;
}

// The fallback: fork from this process (peak RSS then includes this process's own).
ChildRun fork_here(const std::vector<std::string>& argv, bool keep_stdout) {
  std::vector<char*> args;
  std::vector<std::string> copy = argv;
  for (auto& s : copy) args.push_back(s.data());
  args.push_back(nullptr);
  ChildRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    if (!keep_stdout) {
      const int null_fd = open("/dev/null", O_WRONLY);
      if (null_fd >= 0) dup2(null_fd, 1);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  run.max_rss_kb = usage.ru_maxrss;
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

ChildRun run_child(const std::vector<std::string>& argv, bool keep_stdout) {
  if (argv.empty()) return ChildRun{};
  std::lock_guard<std::mutex> hold(spawner_lock);
  if (!spawner_ready()) return fork_here(argv, keep_stdout);
  ChildRun run;
  if (!spawn_through_spawner(argv, keep_stdout, &run)) {
    fprintf(stderr, "bench: the spawner could not run %s\n", argv[0].c_str());
  }
  return run;
}

void heading(const std::string& text) { printf("== %s\n", text.c_str()); }

bool compare(const std::string& what, double figure, double reference, const std::string& unit,
             Goal kind, double goal_ratio) {
  const double ratio = reference > 0 ? figure / reference : 0;
  bool met = true;
  char goal[48] = "no goal";
  if (goal_ratio > 0) {
    met = kind == Goal::at_most ? ratio <= goal_ratio : ratio >= goal_ratio;
    snprintf(goal, sizeof(goal), "goal %s %.2f", kind == Goal::at_most ? "<=" : ">=", goal_ratio);
  }
  printf("  %s: %.3f %s vs reference %.3f %s: ratio %.2f (%s): %s\n", what.c_str(), figure,
         unit.c_str(), reference, unit.c_str(), ratio, goal, met ? "met" : "NOT MET");
  fflush(stdout);
  return met;
}

void figure(const std::string& what, double value, const std::string& unit) {
  printf("  %s: %.3f %s\n", what.c_str(), value, unit.c_str());
  fflush(stdout);
}

}  // namespace qm7::bench
