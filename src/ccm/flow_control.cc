// The flow-control decisions the network thread takes at the start of each select pass: whether
// a channel is read while its own output waits, whether any channel is read while the processor
// thread has not taken what was received, and whether the channels holding a frame still
// arriving are read. The counting rules are in flow_control.h.
#include "flow_control.h"

#include <cstdint>

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

bool partial_input_open(ccm_context_t* ccm, size_t* room) {
  ccm_queue_lock(ccm);
  const size_t held = ccm->partial_bytes;
  const size_t bound = ccm->max_partial_input;
  const bool was = ccm->partial_paused != 0;
  const bool now = stays_paused(was, held, bound);
  ccm->partial_paused = now ? 1 : 0;
  ccm_queue_unlock(ccm);
  if (now != was) {
    QM7_TRACE("%s:      channels with a partial frame %s: %zu bytes held", "ccm_network_select",
              now ? "not read" : "read again", held);
  }
  if (room != nullptr) *room = bound == 0 ? SIZE_MAX : held < bound ? bound - held : 0;
  return !now;
}

}  // namespace qm7::ccm
