// The accept pacing of the network thread: how many connections a readable listening channel
// gives in one pass, and the short pause of every listening channel after an accept failed for
// want of descriptors or memory. The pause lives in the context (accept_paused_until), so each
// context keeps its own. Internal to the channel manager.
#ifndef QM7_SRC_CCM_ACCEPT_H_
#define QM7_SRC_CCM_ACCEPT_H_

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"

namespace qm7::ccm {

// Takes the connections waiting on the listening channel `ch`, up to max_accept_per_pass: a burst
// of connections needs few passes, and the channels already served still get their turn in each.
// The first failure ends it; "would block" just means the queue is empty; a failure for want of
// descriptors or memory starts the pause. Network thread.
void accept_waiting(ccm_context_t* ccm, ccm_channel_t* ch, ccm_error_t* ccmerr);

// Whether listening channels sit out the current pass. Network thread.
bool accept_paused(const ccm_context_t* ccm);

// Milliseconds left of the pause (0 when it is just ending), or -1 when there is none. The pass
// waits no longer, so queued connections are taken as soon as they may be. Network thread.
long long accept_pause_left_ms(const ccm_context_t* ccm);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_ACCEPT_H_
