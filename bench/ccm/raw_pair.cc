// The reference of the throughput benchmark: a sender thread and a receiver thread on blocking
// TCP sockets over 127.0.0.1, carrying frames of the same framing as the channel manager (the
// 48-byte protocol header with the 8-digit length, then the body bytes). The sender writes
// each frame with one call; the receiver reads the header, then the body the length announces.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "pairs.h"
#include "qm7/runtime/protocol_header.h"

namespace qm7::bench::ccm {
namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly `n` bytes; false on end of file, error or a 10-second silence.
bool read_all(int s, unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t got = recv(s, p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Writes both pieces whole; false on an error.
bool write_all(int s, struct iovec* iov, int cnt) {
  while (cnt > 0) {
    struct msghdr mh = {};
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<size_t>(cnt);
    ssize_t put = sendmsg(s, &mh, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    while (cnt > 0 && static_cast<size_t>(put) >= iov->iov_len) {
      put -= static_cast<ssize_t>(iov->iov_len);
      ++iov;
      --cnt;
    }
    if (cnt > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + put;
      iov->iov_len -= static_cast<size_t>(put);
    }
  }
  return true;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

RawPair::~RawPair() {
  close_fd(sender_);
  close_fd(receiver_);
}

std::string RawPair::open() {
  int l = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t sl = sizeof sa;
  if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&sa), &sl) != 0) {
    close_fd(l);
    return "raw listen failed";
  }
  sender_ = socket(AF_INET, SOCK_STREAM, 0);
  if (sender_ < 0 || connect(sender_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close_fd(l);
    return "raw connect failed";
  }
  receiver_ = accept(l, nullptr, nullptr);
  close_fd(l);
  if (receiver_ < 0) return "raw accept failed";
  struct timeval tv = {10, 0};  // a lost frame ends the round instead of hanging it
  setsockopt(receiver_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return "";
}

RoundResult RawPair::round(unsigned count, size_t body_len, unsigned full_every) {
  const std::vector<unsigned char> pattern = body_pattern(body_len);
  RoundResult result;
  Clock::time_point last_receive;

  std::thread receiver([&] {
    std::vector<unsigned char> body(body_len + 1);
    unsigned char header[qm7::protocol::kHeaderSize];
    for (unsigned seq = 0; seq < count; ++seq) {
      if (!read_all(receiver_, header, sizeof header)) {
        result.failure = "raw header " + std::to_string(seq) + " did not arrive";
        break;
      }
      const int frame = GetProtocolLength(header);
      const long len = static_cast<long>(frame) - static_cast<long>(sizeof header);
      if (len < 0 || static_cast<size_t>(len) > body.size()) {
        result.failure = "raw frame " + std::to_string(seq) + " has a bad length";
        break;
      }
      if (!read_all(receiver_, body.data(), static_cast<size_t>(len))) {
        result.failure = "raw body " + std::to_string(seq) + " did not arrive";
        break;
      }
      std::string wrong =
          check_body(body.data(), static_cast<size_t>(len), pattern, seq, full_every);
      if (!wrong.empty()) {
        result.failure = wrong;
        break;
      }
    }
    last_receive = Clock::now();
  });

  std::vector<unsigned char> body(body_len);
  unsigned char header[qm7::protocol::kHeaderSize];
  const auto first_send = Clock::now();
  for (unsigned seq = 0; seq < count; ++seq) {
    CrProtocolHeader(header);
    SetProtocolLength(header, static_cast<int>(sizeof header + body_len));
    write_body(body.data(), pattern, seq);
    struct iovec iov[2] = {{header, sizeof header}, {body.data(), body_len}};
    if (!write_all(sender_, iov, 2)) {
      result.failure = "raw send failed";
      break;
    }
  }
  const auto last_send = Clock::now();
  receiver.join();
  if (result.failure.empty()) {
    result.seconds = std::chrono::duration<double>(last_receive - first_send).count();
    result.send_seconds = std::chrono::duration<double>(last_send - first_send).count();
  }
  return result;
}

}  // namespace qm7::bench::ccm
