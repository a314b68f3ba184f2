// The message pool's batch operations for the network thread. The thread reads and writes many
// messages in one pass; taking the context's queue_lock once for every message it allocates for a
// frame or frees after writing would meet the host's threads on that lock for each of them. These
// take blocks from the pool and give them back a batch at a time, and the messages they hand out
// are on no queue (not msgq_inuse): the caller owns them until it puts them on a queue or frees
// them, so handing them over needs no unlink. The free list, nof_freemsg, the message IDs and the
// pool's limits are the same as for ccm_msg_alloc and ccm_msg_free. Internal to the channel
// manager.
#ifndef QM7_SRC_CCM_MSG_POOL_H_
#define QM7_SRC_CCM_MSG_POOL_H_

#include "qm7/ccm/context.h"
#include "qm7/ccm/msg.h"

namespace qm7::ccm {

// Up to `count` standard messages in one step, appended to *out: new IDs in order, headers clear,
// msg_start = buffer1 + 256, len 0. Returns how many it got; fewer only when memory ran out (3301
// in ccmerr, as ccm_msg_alloc). Any thread.
int msg_alloc_batch(ccm_context_t* ccm, int count, ccm_msg_queue_t* out, ccm_error_t* ccmerr);

// As ccm_msg_alloc_huge, but the message is on no queue. Any thread.
ccm_msg_t* msg_alloc_owned(ccm_context_t* ccm, int size, ccm_error_t* ccmerr);

// Returns the messages of `chain` (linked through nxt; on no queue, msgq_inuse included) to the
// pool in one step, as ccm_msg_free would one by one. Any thread. A null chain is ignored.
void msg_free_batch(ccm_context_t* ccm, ccm_msg_t* chain);

// The same under a queue_lock the caller holds, so that a batch goes back in the step that hands
// other messages over. Blocks that leave the pool are linked into *release; the caller passes
// them to release_blocks after it has released the lock (the heap is not called under it).
void msg_free_batch_locked(ccm_context_t* ccm, ccm_msg_t* chain, ccm_msg_t** release);
void release_blocks(ccm_msg_t* chain);

// Gives back to the heap the standard blocks kept beyond the free list that no allocation needed
// since the last trim, when a trim is due at `now` (CLOCK_MONOTONIC ms). Returns when the next one
// is due, or -1 when no such block is kept: the network thread waits no longer than that, so an
// idle context releases what a burst left within two intervals. Network thread.
long long msg_pool_trim(ccm_context_t* ccm, long long now);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_MSG_POOL_H_
