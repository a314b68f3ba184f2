// The minimal agent's loop. Each connection's state is its descriptor's slot in a table: the
// bytes of the frame read so far. The greeting and the answer are written whole at once; both
// are far smaller than an empty socket's send buffer.
#include "minimal_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "frames.h"

namespace agent_bench {
namespace {

struct slot {
  std::size_t have = 0;
  unsigned char buf[kMaxFrame];
};

// The child's whole life; returns its exit status.
int serve(int listen_fd, long reports, int result_fd) {
  const bytes greeting = greeting_frame();
  const bytes answer = answer_frame();
  const int epfd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listen_fd;
  if (epfd < 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, listen_fd, &ev) != 0) return 1;
  std::vector<slot> slots;
  long answered = 0;
  int idle_seconds = 0;
  epoll_event events[256];
  while (answered < reports) {
    const int n = epoll_wait(epfd, events, 256, 1000);
    if (n == 0 && ++idle_seconds >= 60) return 1;
    if (n > 0) idle_seconds = 0;
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listen_fd) {
        int s;
        while ((s = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          if (static_cast<std::size_t>(s) >= slots.size()) slots.resize(s + 64);
          slots[s].have = 0;
          if (write(s, greeting.data(), greeting.size()) != static_cast<ssize_t>(greeting.size())) {
            close(s);
            continue;
          }
          epoll_event cev{};
          cev.events = EPOLLIN;
          cev.data.fd = s;
          if (epoll_ctl(epfd, EPOLL_CTL_ADD, s, &cev) != 0) close(s);
        }
        continue;
      }
      slot& c = slots[fd];
      bool done = false;
      for (;;) {
        const std::size_t want = c.have < kHeaderSize ? kHeaderSize : frame_length(c.buf);
        if (want == 0) {
          done = true;  // not a frame: drop the connection
          break;
        }
        if (c.have == want) {
          if (write(fd, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size())) {
            ++answered;
          }
          done = true;
          break;
        }
        const ssize_t got = read(fd, c.buf + c.have, want - c.have);
        if (got > 0) {
          c.have += static_cast<std::size_t>(got);
        } else {
          done = got == 0 || (errno != EAGAIN && errno != EINTR);
          break;
        }
      }
      if (done) close(fd);
    }
  }
  return write(result_fd, &answered, sizeof(answered)) == sizeof(answered) ? 0 : 1;
}

}  // namespace

bool start_minimal_agent(long reports, minimal_agent* agent) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  int pipe_fds[2];
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      pipe2(pipe_fds, O_CLOEXEC) != 0) {
    close(fd);
    return false;
  }
  const int one = 1;
  ioctl(fd, FIONBIO, &one);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fd);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    _exit(serve(fd, reports, pipe_fds[1]));
  }
  close(fd);
  close(pipe_fds[1]);
  agent->pid = pid;
  agent->port = ntohs(a.sin_port);
  agent->result_fd = pipe_fds[0];
  return true;
}

long finish_minimal_agent(minimal_agent* agent, double seconds) {
  long answered = -1;
  pollfd p = {agent->result_fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(seconds * 1000)) == 1 &&
      read(agent->result_fd, &answered, sizeof(answered)) != sizeof(answered)) {
    answered = -1;
  }
  if (p.revents == 0) kill(agent->pid, SIGKILL);
  int status = 0;
  rusage u{};
  while (wait4(agent->pid, &status, 0, &u) < 0 && errno == EINTR) {
  }
  agent->cpu_seconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) answered = -1;
  close(agent->result_fd);
  agent->result_fd = -1;
  agent->pid = -1;
  return answered;
}

}  // namespace agent_bench
