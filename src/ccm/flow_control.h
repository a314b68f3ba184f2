// Flow control of a channel's output: what a queued message counts against the context's
// max_queued_output. A peer that sends but never reads makes the host queue answers it never
// takes; counting them lets the network thread stop reading that peer before they bloat the
// process, and read it again once it has taken enough of them.
#ifndef QM7_SRC_CCM_FLOW_CONTROL_H_
#define QM7_SRC_CCM_FLOW_CONTROL_H_

#include <cstddef>

#include "qm7/ccm/channel.h"
#include "qm7/ccm/msg.h"

namespace qm7::ccm {

// The memory a queued message holds: its header, the headroom in front of its data, and its
// bytes. A small answer counts about a kilobyte, not its 80 bytes on the wire, as that is what
// it costs the process while it waits.
inline size_t queued_cost(const ccm_msg_t* msg) {
  return CCM_MSG_HEADER_SIZE + CCM_MSG_HEADROOM +
         (msg->len > 0 ? static_cast<size_t>(msg->len) : 0);
}

// Under the channel's queue_lock, as the message joins, resp. leaves, the channel's sendq.
inline void count_queued(ccm_channel_t* ch, const ccm_msg_t* msg) {
  ch->sendq_bytes += queued_cost(msg);
}
inline void uncount_queued(ccm_channel_t* ch, const ccm_msg_t* msg) {
  const size_t cost = queued_cost(msg);
  ch->sendq_bytes = ch->sendq_bytes > cost ? ch->sendq_bytes - cost : 0;
}

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_FLOW_CONTROL_H_
