// Starting, ending and checking qm7-agent-sim. Its output goes to unlinked files rather than a
// pipe, so the benchmark needs no reader while it measures and the simulator never waits on one.
#include "sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace agent_bench {
namespace {

using clock_type = std::chrono::steady_clock;

int unlinked_file() {
  char path[] = "/tmp/qm7-bench-agent-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd >= 0) unlink(path);
  return fd;
}

std::string read_all(int fd) {
  std::string text;
  char buf[65536];
  off_t at = 0;
  ssize_t n;
  while ((n = pread(fd, buf, sizeof(buf), at)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return text;
}

double cpu_seconds_of(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

sim_process::sim_process(const std::string& program, long count) : count_(count) {
  static int serial = 0;
  port_file_ =
      "/tmp/qm7-bench-agent-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".port";
  unlink(port_file_.c_str());
  out_fd_ = unlinked_file();
  err_fd_ = unlinked_file();
  if (out_fd_ < 0 || err_fd_ < 0) return;
  const std::string count_text = std::to_string(count);
  std::vector<std::string> args = {program,    "--port",  "0",       "--port-file",
                                   port_file_, "--count", count_text};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd_, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd_, 2);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  // The simulator writes the file whole under another name and renames it.
  const auto until = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < until) {
    std::ifstream in(port_file_);
    int port = 0;
    if (in >> port && port > 0) {
      port_ = port;
      break;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    pause_ms(1);
  }
}

sim_process::~sim_process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
  unlink(port_file_.c_str());
}

bool sim_process::finish_and_check(int first_job, double seconds, std::string* why) {
  if (pid_ <= 0) {
    *why = "qm7-agent-sim did not start";
    return false;
  }
  const pid_t pid = pid_;
  pid_ = -1;
  int status = 0;
  const auto until = clock_type::now() + std::chrono::duration<double>(seconds);
  pid_t done = 0;
  rusage usage{};
  while ((done = wait4(pid, &status, WNOHANG, &usage)) == 0 && clock_type::now() < until) {
    pause_ms(1);
  }
  cpu_seconds_ = cpu_seconds_of(usage);
  if (done != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  const std::string out = read_all(out_fd_);
  const std::string err = read_all(err_fd_);
  if (done != pid) {
    *why = "qm7-agent-sim did not end after its --count reports";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = "qm7-agent-sim ended with status " + std::to_string(status);
  } else if (!err.empty()) {
    *why = "qm7-agent-sim wrote on standard error: " + err.substr(0, err.find('\n'));
  }
  if (!why->empty()) return false;

  std::vector<int> seen(count_, 0);
  long lines = 0, strangers = 0;
  std::size_t at = out.find('\n');  // the first line names the port
  while (at != std::string::npos && at + 1 < out.size()) {
    const std::size_t end = out.find('\n', at + 1);
    const std::string line = out.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    at = end;
    ++lines;
    if (line.rfind("job-end job=", 0) != 0) {
      ++strangers;
      continue;
    }
    const long job = strtol(line.c_str() + 12, nullptr, 10);
    if (job < first_job || job >= first_job + count_) {
      ++strangers;
    } else {
      ++seen[job - first_job];
    }
  }
  long missing = 0, twice = 0;
  for (int n : seen) {
    if (n == 0) ++missing;
    if (n > 1) ++twice;
  }
  if (missing == 0 && twice == 0 && strangers == 0) return true;
  *why = "qm7-agent-sim printed " + std::to_string(lines) + " report lines for " +
         std::to_string(count_) + " reports: " + std::to_string(missing) + " missing, " +
         std::to_string(twice) + " more than once, " + std::to_string(strangers) +
         " not of this round";
  return false;
}

}  // namespace agent_bench
