// The flow-control decisions the network thread takes at the start of each select pass: whether
// a channel is read while its own output waits, and whether any channel is read while the
// processor thread has not taken what was received. The counting rules are in flow_control.h.
#include "flow_control.h"

#include "qm7/runtime/trace.h"
#include "test_point.h"

namespace qm7::ccm {

OutputState output_state(ccm_context_t* ccm, ccm_channel_t* ch) {
  ccmch_queue_lock(ccm, ch);
  const bool pending = ch->sendq.head != nullptr;
  const size_t queued = ch->sendq_bytes;
  ccmch_queue_unlock(ccm, ch);
  const bool was = ch->read_paused != 0;
  const bool now = stays_paused(was, queued, ccm->max_queued_output);
  if (now && !was) {
    QM7_TRACE("%s:      channel(chID=%d) not read: %zu bytes queued", "ccm_network_select", ch->ID,
              queued);
  } else if (was && !now) {
    QM7_TRACE("%s:      channel(chID=%d) read again: %zu bytes queued", "ccm_network_select",
              ch->ID, queued);
  }
  ch->read_paused = now ? 1 : 0;
  return {pending, !now};
}

bool reading_allowed(ccm_context_t* ccm) {
  ccm_queue_lock(ccm);
  const size_t waiting = ccm->recvq_bytes;
  const bool was = ccm->recv_paused != 0;
  const bool now = stays_paused(was, waiting, ccm->max_queued_input);
  ccm->recv_paused = now ? 1 : 0;
  ccm_queue_unlock(ccm);
  testing::point("recv_pause_decided");
  if (now && !was) {
    QM7_TRACE("%s:      no channel read: %zu bytes wait for the processor", "ccm_network_select",
              waiting);
  }
  return !now;
}

}  // namespace qm7::ccm
