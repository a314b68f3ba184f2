// Delivery accounting shared by the host queries, the channel's destruction and the timers:
// which queued messages are addressed to a channel, and the channel's whole output state.
#ifndef QM7_SRC_CCM_OUTPUT_STATE_H_
#define QM7_SRC_CCM_OUTPUT_STATE_H_

#include "qm7/ccm/channel.h"
#include "qm7/ccm/host_interface.h"
#include "qm7/runtime/datetime.h"

namespace qm7::ccm {

// Whether the dispatcher would hand `msg` to `ch`: by ID when the message has one, else by the
// channel's name ("*CP..." addresses leave on "*SERVER").
bool addressed_to(const ccm_msg_t* msg, const ccm_channel_t* ch);

// The output state of `ch`: the messages on the context's sendq and dispatch list addressed to
// it, those on its own sendq, what it has written and what its socket holds unacknowledged.
// Takes the context's queue_lock, then the channel's. The caller keeps the channel alive (holds
// channel_lock, or is the network thread).
void read_output_state(ccm_context_t* ccm, ccm_channel_t* ch, ccm_output_state_t* state);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_OUTPUT_STATE_H_
