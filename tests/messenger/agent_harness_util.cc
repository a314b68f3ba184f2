// The harness of the messenger's agent tests: children started with fork and exec and awaited
// through a pidfd, the simulator's output read through a pipe, and a raw-socket agent served by
// one poll() thread.
#include "agent_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace agent_test {
namespace {

std::string TempPath(const char* tag) {
  char path[] = "/tmp/qm7_agent_test_XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  return std::string(path) + "." + tag;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<char*> ArgvOf(const std::string& program, const std::vector<std::string>& args,
                          std::vector<std::string>* storage) {
  storage->clear();
  storage->push_back(program);
  storage->insert(storage->end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : *storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(char** argv, int out_fd, int err_fd, const spawn_options& opts) {
  int null_in = open("/dev/null", O_RDONLY);
  dup2(null_in, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  // Only what the test asks for is inherited: the runner's own descriptors would otherwise
  // count against a descriptor limit and shift the numbers the child gets.
  close_range(3, ~0U, 0);
  if (opts.nofile_limit > 0) {
    struct rlimit rl = {static_cast<rlim_t>(opts.nofile_limit),
                        static_cast<rlim_t>(opts.nofile_limit)};
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  for (int fd = 3; fd < opts.fill_fds_to; ++fd) {
    int n = open("/dev/null", O_RDONLY);
    if (n >= 0 && n != fd) {
      dup2(n, fd);
      close(n);
    }
  }
  execv(argv[0], argv);
  _exit(127);
}

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Waits at most `seconds` for the pidfd to become readable (the child ended).
bool WaitPidfd(int pidfd, double seconds) {
  struct pollfd p = {pidfd, POLLIN, 0};
  int ms = static_cast<int>(seconds * 1000);
  for (;;) {
    int r = poll(&p, 1, ms);
    if (r >= 0) return r > 0;
    if (errno != EINTR) return false;
  }
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

child::child(const std::string& program, const std::vector<std::string>& args,
             const spawn_options& opts)
    : out_path_(TempPath("out")), err_path_(TempPath("err")) {
  std::vector<std::string> storage;
  std::vector<char*> argv = ArgvOf(program, args, &storage);
  int out_fd = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err_fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  start_ = std::chrono::steady_clock::now();
  pid_ = fork();
  if (pid_ == 0) ExecChild(argv.data(), out_fd, err_fd, opts);
  close(out_fd);
  close(err_fd);
  if (pid_ > 0) pidfd_ = PidfdOpen(pid_);
}

child::~child() {
  if (!waited_ && pid_ > 0) Wait(0);
  if (pidfd_ >= 0) close(pidfd_);
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
}

run_result child::Wait(double limit_seconds) {
  run_result r;
  r.pid = pid_;
  if (pid_ <= 0 || waited_) return r;
  if (pidfd_ < 0 || !WaitPidfd(pidfd_, limit_seconds)) kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  waited_ = true;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  r.exit_code = ExitCodeOf(status);
  r.out = ReadFile(out_path_);
  r.err = ReadFile(err_path_);
  return r;
}

run_result RunMessenger(const std::vector<std::string>& args, double limit_seconds,
                        const spawn_options& opts) {
  child c(BinPath("qm_jpmd"), args, opts);
  return c.Wait(limit_seconds);
}

sim_process::sim_process(std::vector<std::string> args) : err_path_(TempPath("simerr")) {
  std::vector<std::string> storage;
  std::vector<char*> argv = ArgvOf(BinPath("qm7-agent-sim"), args, &storage);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  int err_fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) ExecChild(argv.data(), pipe_fds[1], err_fd, spawn_options{});
  close(pipe_fds[1]);
  close(err_fd);
  out_fd_ = pipe_fds[0];
  std::string first;
  if (ReadLine(&first, 20)) {
    const size_t at = first.find("port");
    if (at != std::string::npos) {
      size_t digits = first.find_first_of("0123456789", at);
      if (digits != std::string::npos) port_ = atoi(first.c_str() + digits);
    }
  }
}

sim_process::~sim_process() {
  if (pid_ > 0 && !exited_) Stop();
  if (out_fd_ >= 0) close(out_fd_);
  unlink(err_path_.c_str());
}

bool sim_process::ReadLine(std::string* line, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    const double left =
        std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0 || out_fd_ < 0) return false;
    struct pollfd p = {out_fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[4096];
    ssize_t n = read(out_fd_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

int sim_process::WaitExit(double seconds) {
  if (exited_ || pid_ <= 0) return exit_code_;
  int pidfd = PidfdOpen(pid_);
  if (pidfd < 0 || !WaitPidfd(pidfd, seconds)) kill(pid_, SIGKILL);
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exited_ = true;
  exit_code_ = ExitCodeOf(status);
  return exit_code_;
}

int sim_process::Stop() {
  if (!exited_ && pid_ > 0) kill(pid_, SIGTERM);
  return WaitExit(10);
}

std::string sim_process::Stderr() const { return ReadFile(err_path_); }

frame MakeFrame(const std::vector<unsigned char>& body) {
  frame f(48, ' ');
  char head[64];
  snprintf(head, sizeof(head), "%08zuQM7:global001NAT", body.size() + 48);
  memcpy(f.data(), head, strlen(head));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

frame GreetingFrame() { return MakeFrame({0x04, 0x03, 'A', 'G', 'T'}); }

frame OtherFrame() { return MakeFrame({0xFF, 0x04, 0x00, 0x00, 0x00, 'N', 'O', 'P', 'E'}); }

raw_agent::raw_agent(std::function<conn_mode(int)> mode, bool ipv6) : mode_(std::move(mode)) {
  listen_fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof(ss));
  socklen_t len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(*a);
  }
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&ss), len);
  listen(listen_fd_, 64);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &len);
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] { Serve(); });
}

raw_agent::~raw_agent() {
  if (thread_.joinable()) {
    (void)!write(stop_pipe_[1], "x", 1);
    thread_.join();
  }
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void raw_agent::Serve() {
  struct conn {
    int fd;
    int index;
    conn_mode mode;
    std::vector<unsigned char> buf;
  };
  std::vector<conn> conns;
  auto send_all = [](int fd, const frame& f) { (void)!send(fd, f.data(), f.size(), MSG_NOSIGNAL); };
  for (;;) {
    std::vector<pollfd> fds = {{stop_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (auto& c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      conn& c = conns[i - 2];
      unsigned char chunk[65536];
      ssize_t n = recv(c.fd, chunk, sizeof(chunk), 0);
      std::lock_guard<std::mutex> lock(mu_);
      conn_log& log = logs_[c.index];
      if (n <= 0) {
        log.peer_closed = true;
        log.closed = std::chrono::steady_clock::now();
        close(c.fd);
        c.fd = -1;
      } else {
        c.buf.insert(c.buf.end(), chunk, chunk + n);
        while (c.buf.size() >= 48) {
          const size_t len =
              strtoul(std::string(c.buf.begin(), c.buf.begin() + 8).c_str(), nullptr, 10);
          if (len < 48) {
            c.buf.clear();
            break;
          }
          if (c.buf.size() < len) break;
          log.frames.emplace_back(c.buf.begin(), c.buf.begin() + static_cast<long>(len));
          c.buf.erase(c.buf.begin(), c.buf.begin() + static_cast<long>(len));
          if (!log.got_frame) {
            log.got_frame = true;
            log.first_frame = std::chrono::steady_clock::now();
            if (c.mode == conn_mode::greet_and_answer) send_all(c.fd, OtherFrame());
          }
        }
      }
      cv_.notify_all();
    }
    std::erase_if(conns, [](const conn& c) { return c.fd < 0; });
    if (fds[1].revents) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      const int index = static_cast<int>(logs_.size());
      conn_log log;
      log.accepted = std::chrono::steady_clock::now();
      const conn_mode m = mode_(index);
      if (m == conn_mode::refuse) {
        log.peer_closed = true;
        log.closed = log.accepted;
        close(fd);
      } else {
        if (m == conn_mode::greet_and_answer || m == conn_mode::greet_only) {
          send_all(fd, GreetingFrame());
        }
        if (m == conn_mode::other_first || m == conn_mode::other_then_close) {
          send_all(fd, OtherFrame());
        }
        if (m == conn_mode::other_then_close) {
          log.peer_closed = true;
          log.closed = log.accepted;
          close(fd);
        } else {
          conns.push_back({fd, index, m, {}});
        }
      }
      logs_.push_back(log);
      cv_.notify_all();
    }
  }
  for (auto& c : conns) close(c.fd);
}

bool raw_agent::WaitFor(const std::function<bool(const std::vector<conn_log>&)>& pred,
                        double seconds) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return pred(logs_); });
}

std::vector<conn_log> raw_agent::Logs() {
  std::lock_guard<std::mutex> lock(mu_);
  return logs_;
}

int UnusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int CountLines(const std::string& text, const std::string& needle) {
  int count = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace agent_test
