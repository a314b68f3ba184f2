// What both sides of the throughput benchmark share: the body every message carries (a sequence
// number in its first four bytes, then a fixed pattern), the check the receiver applies to each
// body, and the window that bounds how many messages a sender has in flight.
#ifndef QM7_BENCH_CCM_TRAFFIC_H_
#define QM7_BENCH_CCM_TRAFFIC_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace qm7::bench::ccm {

// The pattern bytes of a body of `len` bytes; bytes 0 to 3 are overwritten with the sequence
// number by write_body.
std::vector<unsigned char> body_pattern(size_t len);

// Writes body number `seq` into `dst` (pattern.size() bytes).
void write_body(unsigned char* dst, const std::vector<unsigned char>& pattern, unsigned seq);

// Checks a received body: its length, its sequence number, and every `full_every`-th body
// byte for byte. Returns an empty string when it is right, else what is wrong.
std::string check_body(const unsigned char* body, size_t len,
                       const std::vector<unsigned char>& pattern, unsigned seq,
                       unsigned full_every);

// At most `limit` messages between the sender's send and the receiver's release. A sender that
// reaches the limit sleeps until the receiver has brought it down to half, so neither side
// spins and the receiver wakes the sender only while it actually waits. A limit of 0 or less
// never holds the sender back (a burst).
class Window {
 public:
  explicit Window(long limit) : limit_(limit) {}
  void before_send();  // sender thread; may block
  void sent() { sent_.fetch_add(1); }
  void released();  // receiver thread
  void abandon();   // receiver gave up: never block the sender again

 private:
  const long limit_;
  std::atomic<long> sent_{0};
  std::atomic<long> released_{0};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> abandoned_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
};

// One timed round: seconds from the first send to the last receive, seconds the sending loop
// took, or a failure text.
struct RoundResult {
  double seconds = 0;
  double send_seconds = 0;
  std::string failure;
};

}  // namespace qm7::bench::ccm

#endif
