// Bodies, their check and the sender's window (see traffic.h).
#include "traffic.h"

#include <cstdio>
#include <cstring>

namespace qm7::bench::ccm {

std::vector<unsigned char> body_pattern(size_t len) {
  std::vector<unsigned char> p(len);
  for (size_t i = 0; i < len; ++i) p[i] = static_cast<unsigned char>((i * 131 + 7) % 251);
  return p;
}

void write_body(unsigned char* dst, const std::vector<unsigned char>& pattern, unsigned seq) {
  std::memcpy(dst, pattern.data(), pattern.size());
  if (pattern.size() >= sizeof seq) std::memcpy(dst, &seq, sizeof seq);
}

std::string check_body(const unsigned char* body, size_t len,
                       const std::vector<unsigned char>& pattern, unsigned seq,
                       unsigned full_every) {
  char text[128];
  if (len != pattern.size()) {
    std::snprintf(text, sizeof text, "message %u: %zu bytes instead of %zu", seq, len,
                  pattern.size());
    return text;
  }
  if (len < sizeof seq) return {};
  unsigned got;
  std::memcpy(&got, body, sizeof got);
  if (got != seq) {
    std::snprintf(text, sizeof text, "message %u arrived as number %u", seq, got);
    return text;
  }
  if (seq % full_every == 0 &&
      std::memcmp(body + sizeof seq, pattern.data() + sizeof seq, len - sizeof seq) != 0) {
    std::snprintf(text, sizeof text, "message %u: body bytes differ", seq);
    return text;
  }
  return {};
}

void Window::before_send() {
  if (limit_ <= 0 || sent_.load() - released_.load() < limit_ || abandoned_.load()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_.store(true);
  cv_.wait(lock, [this] { return sent_.load() - released_.load() <= limit_ / 2 || abandoned_; });
  waiting_.store(false);
}

void Window::released() {
  released_.fetch_add(1);
  if (waiting_.load() && sent_.load() - released_.load() <= limit_ / 2) {
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_one();
  }
}

void Window::abandon() {
  abandoned_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_one();
}

}  // namespace qm7::bench::ccm
