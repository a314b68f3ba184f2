// Internal: the reader's count of the frames it delivered during one receive call, announced
// with one write of that many wake-up bytes (qm7::ccm::wakeup_processor_times) on the way out.
#ifndef QM7_SRC_CCM_WAKEUP_BATCH_H_
#define QM7_SRC_CCM_WAKEUP_BATCH_H_

#include "qm7/ccm/context.h"

namespace qm7::ccm {

// Announces the messages a reader appends to recvq with one write when it is destroyed.
class PendingWakeups {
 public:
  explicit PendingWakeups(ccm_context_t* ccm) : ccm_(ccm) {}
  ~PendingWakeups() { wakeup_processor_times(ccm_, count_); }
  PendingWakeups(const PendingWakeups&) = delete;
  PendingWakeups& operator=(const PendingWakeups&) = delete;
  void add() { ++count_; }

 private:
  ccm_context_t* ccm_;
  int count_ = 0;
};

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_WAKEUP_BATCH_H_
