// Internal: the reader's wake-up of the processor thread for the frames of one receive call,
// written once on the way out: one byte "P" when a frame found recvq empty, none otherwise.
#ifndef QM7_SRC_CCM_WAKEUP_BATCH_H_
#define QM7_SRC_CCM_WAKEUP_BATCH_H_

#include "qm7/ccm/context.h"

namespace qm7::ccm {

// Writes the wake-up byte, if one is due, when it is destroyed.
class PendingWakeups {
 public:
  explicit PendingWakeups(ccm_context_t* ccm) : ccm_(ccm) {}
  ~PendingWakeups() {
    if (due_) ccm_wakeup_processor(ccm_);
  }
  PendingWakeups(const PendingWakeups&) = delete;
  PendingWakeups& operator=(const PendingWakeups&) = delete;
  void add() { due_ = true; }

 private:
  ccm_context_t* ccm_;
  bool due_ = false;
};

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_WAKEUP_BATCH_H_
