// One epoll loop over all open exchanges. A connection is watched for input only: a connect
// that fails shows as an error or hang-up event, and the greeting shows that it succeeded, so no
// exchange needs a change of its interest set unless its report does not fit the socket at once.
#include "load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "frames.h"

namespace agent_bench {
namespace {

using clock_type = std::chrono::steady_clock;

enum class phase { greeting, sending, answer };

struct exchange {
  int fd = -1;
  long index = 0;  // report number within the round
  phase at = phase::greeting;
  clock_type::time_point opened;
  std::size_t have = 0;  // bytes of the frame being read, or of the report already written
  unsigned char buf[kMaxFrame];
};

class generator {
 public:
  generator(int port, int connections, long reports, int first_job, double limit)
      : reports_(reports), first_job_(first_job), limit_(limit), slots_(connections) {
    memset(&addr_, 0, sizeof(addr_));
    addr_.sin_family = AF_INET;
    addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr_.sin_port = htons(static_cast<uint16_t>(port));
    result_.answers.assign(reports, 0);
  }

  load_result run();

 private:
  void open_next(exchange* x);
  void fail(exchange* x, const char* what, int err);
  void finish(exchange* x);
  void on_event(exchange* x, uint32_t events);
  bool read_frame(exchange* x, bool* complete);
  void send_report(exchange* x);

  const long reports_;
  const int first_job_;
  const double limit_;
  std::vector<exchange> slots_;
  sockaddr_in addr_;
  int epfd_ = -1;
  long started_ = 0;
  long open_ = 0;
  report_frames frames_;
  load_result result_;
  std::vector<double> durations_ms_;
};

void generator::open_next(exchange* x) {
  while (started_ < reports_) {
    x->index = started_++;
    x->opened = clock_type::now();
    x->at = phase::greeting;
    x->have = 0;
    x->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (x->fd < 0) {
      fail(x, "socket", errno);
      continue;
    }
    if (connect(x->fd, reinterpret_cast<sockaddr*>(&addr_), sizeof(addr_)) != 0 &&
        errno != EINPROGRESS) {
      fail(x, "connect", errno);
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = x;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, x->fd, &ev) != 0) {
      fail(x, "epoll_ctl", errno);
      continue;
    }
    ++open_;
    return;
  }
}

void generator::fail(exchange* x, const char* what, int err) {
  ++result_.failed;
  if (result_.first_failure.empty()) {
    result_.first_failure = "report " + std::to_string(first_job_ + x->index) + ": " + what;
    if (err != 0) result_.first_failure += std::string(": ") + strerror(err);
  }
  if (x->fd >= 0) {
    close(x->fd);  // also leaves the epoll set
    x->fd = -1;
  }
}

void generator::finish(exchange* x) {
  ++result_.answered;
  ++result_.answers[x->index];
  durations_ms_.push_back(
      std::chrono::duration<double, std::milli>(clock_type::now() - x->opened).count());
  close(x->fd);
  x->fd = -1;
}

// Reads what is there of the current frame. False when the exchange broke off (it is failed).
bool generator::read_frame(exchange* x, bool* complete) {
  *complete = false;
  for (;;) {
    const std::size_t want = x->have < kHeaderSize ? kHeaderSize : frame_length(x->buf);
    if (want == 0) {
      fail(x, "not a frame header", 0);
      return false;
    }
    if (x->have == want) {
      *complete = true;
      return true;
    }
    const ssize_t n = read(x->fd, x->buf + x->have, want - x->have);
    if (n > 0) {
      x->have += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    fail(x, n == 0 ? "closed before the frame was complete" : "read", n == 0 ? 0 : errno);
    return false;
  }
}

void generator::send_report(exchange* x) {
  unsigned char frame[kReportFrameSize];
  frames_.build(first_job_ + static_cast<int>(x->index), frame);
  while (x->have < kReportFrameSize) {
    const ssize_t n = write(x->fd, frame + x->have, kReportFrameSize - x->have);
    if (n > 0) {
      x->have += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      epoll_event ev{};
      ev.events = EPOLLOUT;
      ev.data.ptr = x;
      epoll_ctl(epfd_, EPOLL_CTL_MOD, x->fd, &ev);
      x->at = phase::sending;
      return;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      fail(x, "write", errno);
      return;
    }
  }
  if (x->at == phase::sending) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = x;
    epoll_ctl(epfd_, EPOLL_CTL_MOD, x->fd, &ev);
  }
  x->at = phase::answer;
  x->have = 0;
}

void generator::on_event(exchange* x, uint32_t events) {
  if (x->at == phase::sending) {
    if (events & (EPOLLERR | EPOLLHUP)) {
      fail(x, "connection lost while sending", 0);
    } else {
      send_report(x);
    }
  } else {
    bool complete = false;
    if (!read_frame(x, &complete) || !complete) {
      if (x->fd >= 0 && (events & (EPOLLERR | EPOLLHUP)) && !(events & EPOLLIN)) {
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(x->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        fail(x, "connection failed", err);
      }
    } else if (x->at == phase::greeting) {
      x->have = 0;
      send_report(x);
    } else {
      finish(x);
    }
  }
  if (x->fd < 0) {
    --open_;
    open_next(x);
  }
}

load_result generator::run() {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) {
    result_.failed = reports_;
    result_.first_failure = std::string("epoll_create1: ") + strerror(errno);
    return result_;
  }
  const auto start = clock_type::now();
  for (exchange& x : slots_) open_next(&x);
  std::vector<epoll_event> events(slots_.size());
  while (open_ > 0) {
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    if (elapsed > limit_) {
      result_.failed += reports_ - started_;  // never started
      started_ = reports_;                    // and nothing new: what is open fails
      for (exchange& x : slots_) {
        if (x.fd >= 0) fail(&x, "no answer within the time limit", 0);
      }
      break;
    }
    const int n = epoll_wait(epfd_, events.data(), static_cast<int>(events.size()), 1000);
    for (int i = 0; i < n; ++i) {
      on_event(static_cast<exchange*>(events[i].data.ptr), events[i].events);
    }
  }
  result_.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  close(epfd_);
  if (!durations_ms_.empty()) {
    std::sort(durations_ms_.begin(), durations_ms_.end());
    result_.p99_ms = durations_ms_[(durations_ms_.size() - 1) * 99 / 100];
    result_.max_ms = durations_ms_.back();
  }
  return result_;
}

}  // namespace

load_result run_load(int port, int connections, long reports, int first_job, double limit_seconds) {
  generator g(port, connections, reports, first_job, limit_seconds);
  return g.run();
}

}  // namespace agent_bench
