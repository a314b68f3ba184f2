// Time in the network loop: the deadlines a pass checks for each channel (a graceful close, a
// connect that has not completed, a connection that completes no frame), and the end of a
// connect. The select pass waits no longer than the nearest of these deadlines.
#ifndef QM7_SRC_CCM_CHANNEL_TIMERS_H_
#define QM7_SRC_CCM_CHANNEL_TIMERS_H_

#include "qm7/ccm/channel.h"

namespace qm7::ccm {

// Checks the deadlines of the live channel `ch` at `now` (monotonic ms). Deletes the channel when
// one has passed, or when a graceful close has nothing left to write; otherwise lowers `*nearest`
// to its next deadline. Returns false when the channel was deleted. Network thread.
bool check_channel_timers(ccm_context_t* ccm, ccm_channel_t* ch, long long now, long long* nearest);

// Called when a channel whose connect was pending turns writable: the connect has ended. A
// failed connect, or one that reached the channel's own socket (local and peer address the
// same, which a connect to a free port of the ephemeral range can do), ends the channel with a
// refused connection. Network thread.
void finish_connect(ccm_context_t* ccm, ccm_channel_t* ch);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_CHANNEL_TIMERS_H_
