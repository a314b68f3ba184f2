// The two sides the throughput benchmark compares, each a connected sender and receiver in this
// process over 127.0.0.1 that live across rounds: two channel-manager contexts (each with its
// network thread), and a raw pair of blocking sockets carrying the same framing.
#ifndef QM7_BENCH_CCM_PAIRS_H_
#define QM7_BENCH_CCM_PAIRS_H_

#include <string>

#include "qm7/ccm.h"
#include "traffic.h"

namespace qm7::bench::ccm {

// Context `to` listens, context `from` connects; `from` sends NAT messages addressed as the
// messenger addresses its report (channel ID, name "JPAKTJ_R") and a thread takes them off
// `to`'s receive queue.
class CcmPair {
 public:
  CcmPair() = default;
  ~CcmPair();
  CcmPair(const CcmPair&) = delete;
  CcmPair& operator=(const CcmPair&) = delete;

  // Opens both contexts, starts their threads and connects them. Empty on success.
  std::string open();
  // Has each context hold `count` messages for `body_len` bytes at once, then frees them: its
  // pool has then met the deepest queue a round of that many messages can build. Empty on
  // success.
  std::string hold(unsigned count, size_t body_len);
  // Sends `count` messages of `body_len` bytes with at most `window` in flight (no bound when
  // 0); every `full_every`-th body is checked byte for byte.
  RoundResult round(unsigned count, size_t body_len, long window, unsigned full_every);

 private:
  ccm_host_context_t host_{3, nullptr};
  ccm_context_t* to_ = nullptr;
  ccm_context_t* from_ = nullptr;
  int channel_ = 0;  // ID of the connection on the sending side
};

// The reference: blocking sockets, one send call per frame (48-byte header with the 8-digit
// length, then the body), the receiver reading the header and then the body.
class RawPair {
 public:
  RawPair() = default;
  ~RawPair();
  RawPair(const RawPair&) = delete;
  RawPair& operator=(const RawPair&) = delete;

  std::string open();
  RoundResult round(unsigned count, size_t body_len, unsigned full_every);

 private:
  int sender_ = -1;
  int receiver_ = -1;
};

}  // namespace qm7::bench::ccm

#endif
