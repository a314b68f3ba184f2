// The messenger tests' harness: children started with fork and exec and reaped within a bound,
// the simulator's output read through a pipe, a raw-socket agent served by one poll() thread,
// and the text helpers.
#include "messenger/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>

#include "qm7/ccm/ipcmsg.h"

namespace qm7_test {
namespace {

using clock_type = std::chrono::steady_clock;

// A new empty file in /tmp, its path in `path`; the open descriptor (close-on-exec).
int OpenTemp(std::string* path) {
  char name[] = "/tmp/qm7_msg_test_XXXXXX";
  const int fd = mkostemp(name, O_CLOEXEC);
  *path = name;
  return fd;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whole milliseconds left until `seconds` after `start`, rounded up; 0 when none.
int RemainingMs(clock_type::time_point start, double seconds) {
  const auto until = start + std::chrono::duration<double>(seconds);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock_type::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Forks and execs `program`; in the child only async-signal-safe calls run.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int in_fd, int out_fd,
            int err_fd, const spawn_options& opts) {
  Argv argv(args, program);
  setenv("TZ", "UTC0", 1);  // local and UTC times are then one text
  const pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY), 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  // The runner's own descriptors would count against a descriptor limit and shift the
  // numbers the child gets.
  close_range(3, ~0U, 0);
  if (opts.broken_stdout) signal(SIGPIPE, SIG_DFL);
  if (opts.nofile_limit > 0) {
    const struct rlimit rl = {static_cast<rlim_t>(opts.nofile_limit),
                              static_cast<rlim_t>(opts.nofile_limit)};
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  for (int fd = 3; fd < opts.fill_fds_to; ++fd) {
    const int n = open("/dev/null", O_RDONLY);
    if (n >= 0 && n != fd) {
      dup2(n, fd);
      close(n);
    }
  }
  execv(argv.argv()[0], argv.argv());
  _exit(127);
}

// Reaps `pid`, killing it after `seconds`; the wait status. Polled, as valgrind offers neither
// pidfd_open nor a SIGCHLD that a poll() could wait for without a handler of its own.
int Reap(pid_t pid, double seconds) {
  const auto start = clock_type::now();
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (RemainingMs(start, seconds) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(1000);
  }
  return status;
}

// A socket bound to port 0 of the loopback address; its port in `*port`.
int BindLoopback(bool ipv6, int* port) {
  sockaddr_in6 a6 = {};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  sockaddr_in a4 = {};
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* a = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
  socklen_t len = ipv6 ? sizeof(a6) : sizeof(a4);
  const int fd = socket(a->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bind(fd, a, len);
  getsockname(fd, a, &len);
  *port = ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
  return fd;
}

}  // namespace

Argv::Argv(std::vector<std::string> args, const std::string& program) : args_(std::move(args)) {
  args_.insert(args_.begin(), program);
  for (std::string& arg : args_) pointers_.push_back(arg.data());
  pointers_.push_back(nullptr);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

int CountLines(const std::string& text, const std::string& needle) {
  int count = 0;
  for (const std::string& line : SplitLines(text)) count += line.find(needle) != std::string::npos;
  return count;
}

std::string MaskVolatile(const std::string& text) {
  static const std::regex tid("^[0-9A-F]{8,16}(?=         )", std::regex::multiline);
  static const std::regex date(R"(\d\d\.\d\d\.\d{4} / \d\d:\d\d:\d\d)");
  static const std::regex xdat(R"(\d{8}/\d{6}\.\d{3})");
  std::string out = std::regex_replace(text, tid, "TID");
  out = std::regex_replace(out, date, "DD.MM.YYYY / hh:mm:ss");
  return std::regex_replace(out, xdat, "YYYYMMDD/hhmmss.mmm");
}

child::child(const std::string& program, const std::vector<std::string>& args,
             const spawn_options& opts) {
  int out_fd = OpenTemp(&out_path_);
  int pipe_fds[2];
  if (opts.lines && pipe2(pipe_fds, O_CLOEXEC) == 0) {
    // Room for a whole test's lines: a child must not block on output the test reads later.
    fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20);
    close(out_fd);
    out_fd = pipe_fds[1];
    out_pipe_ = pipe_fds[0];
  } else if (opts.broken_stdout && pipe2(pipe_fds, O_CLOEXEC) == 0) {
    close(pipe_fds[0]);
    close(out_fd);
    out_fd = pipe_fds[1];
  }
  int err_fd = OpenTemp(&err_path_);
  if (opts.unread_stderr && pipe2(pipe_fds, O_CLOEXEC) == 0) {
    fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
    close(err_fd);
    err_fd = pipe_fds[1];
    unread_err_ = pipe_fds[0];
  }
  int in_fd = -1;
  if (!opts.input.empty()) {
    in_fd = OpenTemp(&in_path_);
    (void)!write(in_fd, opts.input.data(), opts.input.size());
    lseek(in_fd, 0, SEEK_SET);
  }
  start_ = clock_type::now();
  pid_ = Spawn(program, args, in_fd, out_fd, err_fd, opts);
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) close(fd);
  }
}

child::~child() {
  if (!waited_ && pid_ > 0) {
    kill(pid_, SIGTERM);
    Wait(10);
  }
  for (int fd : {out_pipe_, unread_err_}) {
    if (fd >= 0) close(fd);
  }
  for (const std::string& path : {out_path_, err_path_, in_path_}) {
    if (!path.empty()) unlink(path.c_str());
  }
}

std::string child::ErrSoFar() const { return ReadFile(err_path_); }

run_result child::Wait(double limit_seconds) {
  run_result r;
  r.pid = pid_;
  if (pid_ <= 0 || waited_) return r;
  const int status = Reap(pid_, limit_seconds);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  waited_ = true;
  r.seconds = std::chrono::duration<double>(clock_type::now() - start_).count();
  r.out = out_pipe_ >= 0 ? buffer_ : ReadFile(out_path_);
  r.err = ReadFile(err_path_);
  return r;
}

bool child::ReadLine(std::string* line, double seconds) {
  const auto start = clock_type::now();
  for (;;) {
    const size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    const int ms = RemainingMs(start, seconds);
    struct pollfd p = {out_pipe_, POLLIN, 0};
    if (ms == 0 || out_pipe_ < 0 || poll(&p, 1, ms) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(out_pipe_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

run_result RunProgram(const std::string& name, const std::vector<std::string>& args,
                      const spawn_options& opts, double limit_seconds) {
  return child(BinPath(name), args, opts).Wait(limit_seconds);
}

std::vector<run_result> RunMessengers(const std::vector<std::vector<std::string>>& args,
                                      const std::vector<spawn_options>& opts) {
  std::vector<run_result> results;
  std::vector<std::unique_ptr<child>> running;
  for (size_t i = 0; i < args.size(); ++i) {
    running.push_back(std::make_unique<child>(BinPath("qm_jpmd"), args[i],
                                              i < opts.size() ? opts[i] : spawn_options{}));
    if (!UnderValgrind() && i + 1 < args.size()) continue;
    for (auto& c : running) results.push_back(c->Wait());
    running.clear();
  }
  return results;
}

sim_process::sim_process(const std::vector<std::string>& args, int nofile_limit, bool unread_stderr)
    : child(BinPath("qm7-agent-sim"), args,
            {.input = "",
             .lines = true,
             .nofile_limit = nofile_limit,
             .unread_stderr = unread_stderr}) {
  std::string first;
  if (ReadLine(&first, 20)) {
    const size_t digits = first.find_first_of("0123456789", first.find("port"));
    if (digits != std::string::npos) port_ = atoi(first.c_str() + digits);
  }
}

std::vector<std::string> sim_process::To(const std::vector<std::string>& args) const {
  std::vector<std::string> all = {"IPA=127.0.0.1", "PNR=" + std::to_string(port_), "TIMEOUT=2",
                                  "WAIT=1"};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

frame MakeFrame(const std::vector<unsigned char>& body, const char* protocol) {
  frame f(48, ' ');
  char head[64];
  snprintf(head, sizeof(head), "%08zuQM7:global001%s", body.size() + 48, protocol);
  memcpy(f.data(), head, strlen(head));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

frame GreetingFrame() { return MakeFrame({0x04, 0x03, 'A', 'G', 'T'}); }

frame ForgedCloseFrame() {
  // What the channel manager posts when a connection breaks, with a failure text that would
  // clear a terminal and forge a line of its own if it were printed as it stands.
  ipcmsg_channel_close_t notice;
  memset(&notice, 0, sizeof(notice));
  strcpy(notice.head.msgtype, IPCMSG_CHANNEL_CLOSE);
  notice.ccmch.ID = 1;
  notice.ccmch.msgnr = 2002036;
  strcpy(notice.ccmch.msginsert, "\x1b[2J\rqm_jpmd: report delivered OK\n\xff");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&notice);
  return MakeFrame(std::vector<unsigned char>(bytes, bytes + sizeof(notice)), "IPC");
}

frame OtherFrame() { return MakeFrame({0xFF, 0x04, 0x00, 0x00, 0x00, 'N', 'O', 'P', 'E'}); }

raw_agent::raw_agent(std::function<conn_mode(int)> mode, bool ipv6, int rcvbuf)
    : mode_(std::move(mode)) {
  listen_fd_ = BindLoopback(ipv6, &port_);
  if (rcvbuf > 0) setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  listen(listen_fd_, 64);
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
  std::vector<int> kept;  // greet_and_keep connections the messenger has closed
  auto send_all = [](int fd, const frame& f) { (void)!send(fd, f.data(), f.size(), MSG_NOSIGNAL); };
  // Closes `fd`, with a reset when `abort`, and notes the close in `log`.
  auto end_conn = [](int fd, conn_log& log, bool abort) {
    const struct linger zero = {1, 0};
    if (abort) setsockopt(fd, SOL_SOCKET, SO_LINGER, &zero, sizeof(zero));
    close(fd);
    log.peer_closed = true;
    log.closed = clock_type::now();
  };
  for (;;) {
    std::vector<pollfd> fds = {{stop_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const conn& c : conns) {
      fds.push_back({c.fd, c.mode == conn_mode::greet_never_read ? short{0} : short{POLLIN}, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      conn& c = conns[i - 2];
      conn_log& log = logs_[c.index];
      unsigned char chunk[65536];
      const bool reset = c.mode == conn_mode::greet_then_reset ||
                         (c.mode == conn_mode::greet_nudge_reset && c.index % 3 == 1);
      ssize_t n = c.mode == conn_mode::greet_never_read
                      ? 0
                      : recv(c.fd, chunk, reset ? 1 : sizeof(chunk), 0);
      if (reset && n > 0) {
        const struct linger abort = {1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        n = 0;
      }
      if (n <= 0) {
        log.peer_closed = true;
        log.closed = clock_type::now();
        if (c.mode == conn_mode::greet_and_keep) {
          kept.push_back(c.fd);
        } else {
          close(c.fd);
        }
        c.fd = -1;
        continue;
      }
      c.buf.insert(c.buf.end(), chunk, chunk + n);
      while (c.buf.size() >= 48) {
        const size_t len =
            strtoul(std::string(c.buf.begin(), c.buf.begin() + 8).c_str(), nullptr, 10);
        if (len < 48) c.buf.clear();
        if (len < 48 || c.buf.size() < len) break;
        log.frames.emplace_back(c.buf.begin(), c.buf.begin() + static_cast<long>(len));
        c.buf.erase(c.buf.begin(), c.buf.begin() + static_cast<long>(len));
        if (log.frames.size() > 1) continue;
        log.first_frame = clock_type::now();
        if (c.mode == conn_mode::greet_and_answer || c.mode == conn_mode::greet_and_keep) {
          send_all(c.fd, OtherFrame());
        }
        if (c.mode == conn_mode::greet_and_answer_unknown_subkeys) {
          std::vector<unsigned char> body;
          for (int i = 0; i < 800; ++i) {  // 125 sub-keys 0 of length 0 in each trailer
            body.insert(body.end(), {0xFD, 250, 0});
            body.resize(body.size() + 250, 0);
          }
          const frame answer = OtherFrame();
          body.insert(body.end(), answer.begin() + 48, answer.end());
          send_all(c.fd, MakeFrame(body));
        }
        if (c.mode == conn_mode::greet_then_nudge && conns.front().index == 0) {
          send_all(conns.front().fd, OtherFrame());
        }
        if (c.mode == conn_mode::greet_nudge_reset) {
          end_conn(c.fd, log, true);
          c.fd = -1;
          break;
        }
      }
    }
    std::erase_if(conns, [](const conn& c) { return c.fd < 0; });
    const int fd = fds[1].revents ? accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd >= 0) {
      const int index = static_cast<int>(logs_.size());
      const conn_mode m = mode_(index);
      logs_.emplace_back().accepted = clock_type::now();
      if (m == conn_mode::other_first || m == conn_mode::other_then_close) {
        send_all(fd, OtherFrame());
      } else if (m == conn_mode::forged_close) {
        send_all(fd, ForgedCloseFrame());
      } else if (m == conn_mode::greet_nudge_reset) {
        frame both = GreetingFrame();
        const frame other = OtherFrame();
        both.insert(both.end(), other.begin(), other.end());
        send_all(fd, both);
      } else if (m != conn_mode::silent) {
        send_all(fd, GreetingFrame());
      }
      if (m == conn_mode::other_then_close || m == conn_mode::greet_then_close ||
          (m == conn_mode::greet_nudge_reset && index % 3 == 0)) {
        end_conn(fd, logs_.back(), m == conn_mode::greet_nudge_reset);
      } else {
        conns.push_back({fd, index, m, {}});
      }
    }
    cv_.notify_all();
  }
  for (const conn& c : conns) close(c.fd);
  for (int fd : kept) close(fd);
}

std::vector<conn_log> raw_agent::Logs(const std::function<bool(const std::vector<conn_log>&)>& done,
                                      double seconds) {
  std::unique_lock<std::mutex> lock(mu_);
  if (done) cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done(logs_); });
  return logs_;
}

bool UnderValgrind() {
  const char* preload = getenv("LD_PRELOAD");
  return preload != nullptr && strstr(preload, "vgpreload") != nullptr;
}

}  // namespace qm7_test
