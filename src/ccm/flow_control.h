// Flow control: what a queued message counts against the context's max_queued_output on a
// channel's sendq and against its max_queued_input on recvq, and what frames still arriving count
// against its max_partial_input. A peer that sends but never reads makes the host queue answers
// it never takes, a peer that sends faster than the host takes its messages fills recvq, and a
// peer that announces long frames without finishing them holds their bytes; counting all three
// lets the network thread stop reading before they bloat the process, and read again once enough
// of them are gone. The decisions a select pass takes from these counts are declared here too
// (flow_control.cc).
#ifndef QM7_SRC_CCM_FLOW_CONTROL_H_
#define QM7_SRC_CCM_FLOW_CONTROL_H_

#include <cstddef>

#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/msg.h"

namespace qm7::ccm {

// The memory a queued message holds: its whole block, header and data area. Less would be
// wrong once blocks are recycled: the allocator hands out blocks that were written all over
// before, so a small answer keeps as much memory resident as a large one while it waits.
inline size_t queued_cost(const ccm_msg_t* msg) {
  return CCM_MSG_HEADER_SIZE + 2 * static_cast<size_t>(msg->size > 0 ? msg->size : 0);
}

// The rule of both bounds: reading stops once `queued` passes `bound` and starts again once it is
// below half of it, so that it does not toggle with every message; a bound of 0 never stops it.
// Returns whether reading stays stopped, given whether it was.
inline bool stays_paused(bool paused, size_t queued, size_t bound) {
  if (bound == 0) return false;
  return paused ? queued >= bound / 2 : queued > bound;
}

// Under the channel's queue_lock, as the message joins, resp. leaves, the channel's sendq.
inline void count_queued(ccm_channel_t* ch, const ccm_msg_t* msg) {
  ch->sendq_bytes += queued_cost(msg);
}
inline void uncount_queued(ccm_channel_t* ch, const ccm_msg_t* msg) {
  const size_t cost = queued_cost(msg);
  ch->sendq_bytes = ch->sendq_bytes > cost ? ch->sendq_bytes - cost : 0;
}

// Appends a received message or notice to the context's recvq and counts it (the processor
// thread uncounts what it takes, recvq.cc). The caller holds the context's queue_lock.
inline void recvq_append(ccm_context_t* ccm, ccm_msg_t* msg) {
  ccm_queue_append(&ccm->recvq, msg);
  ccm->recvq_bytes += queued_cost(msg);
}

// The channel now holds `held` bytes of a frame still arriving: its count and the context's
// total follow. The caller holds the context's queue_lock, or no other thread runs.
inline void count_partial(ccm_context_t* ccm, ccm_channel_t* ch, size_t held) {
  ccm->partial_bytes = ccm->partial_bytes - ch->partial_bytes + held;
  ch->partial_bytes = held;
}

// The decisions of one select pass (flow_control.cc). Network thread.

// Whether a channel has output to write, and whether it is read in this pass.
struct OutputState {
  bool pending;
  bool read;
};

// A channel whose queued output has passed max_queued_output is not read until the queue is below
// half of it: a peer that sends without reading stops being read instead of growing the process,
// and nothing queued is dropped. Half, so that reading does not toggle with every message
// written. Takes the channel's queue_lock; records the decision in the channel's read_paused.
OutputState output_state(ccm_context_t* ccm, ccm_channel_t* ch);

// Whether the channels are read in this pass: not while the messages waiting for the processor
// thread are above max_queued_input, until they are below half. Decided and recorded (recv_paused)
// under the context's queue_lock, where the processor thread takes messages and reads the flag,
// so a drain that comes after the decision sees the pause and wakes this thread.
bool reading_allowed(ccm_context_t* ccm);

// Whether the channels holding a frame still arriving may be read now: by the rule of
// stays_paused over the context's partial_bytes and max_partial_input, decided and recorded
// under queue_lock. `*room` (may be null) gets how many bytes such frames may still take before
// the bound is reached; SIZE_MAX without a bound. Network thread.
bool partial_input_open(ccm_context_t* ccm, size_t* room);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_FLOW_CONTROL_H_
