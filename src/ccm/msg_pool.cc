// The message pool of a context: hands out message blocks (a header and a data area of two
// halves), recycles standard-size blocks through a free list of at most 64, and gives every
// allocation a new message ID. All pool state is guarded by the context's queue_lock. The host's
// calls take and give back one message under the lock; the network thread's batch operations
// (msg_pool.h) one batch.
//
// Below the pool, the blocks it releases are kept for a while instead of going back to the heap
// at once: the heap returns the memory of freed blocks to the system, and every block made from
// it again faults in each page it touches (a 100 000-byte message: 25 page faults per message on
// each side; a burst of small messages that outruns the free list, one or two per message).
// Large blocks wait in msg_spareq, up to 64 blocks and 8 MiB. Standard blocks wait in
// msg_std_spareq as long as allocations draw on them: a trim once a second gives back those that
// none needed since the trim before, so a steady stream keeps its blocks and an idle context
// returns what a burst left. A spare block is a block, not a message: it has no ID and does not
// count in nof_freemsg.
#include "msg_pool.h"

#include <malloc.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "error_util.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/msg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr char kMessageEyec[] = "##CCM#MESSAGE###";
static_assert(sizeof(kMessageEyec) == 17);

// The smallest size whose data area still holds the headroom in front of msg_start.
constexpr int kMinSize = CCM_MSG_HEADROOM / 2;
constexpr int kMaxSize = static_cast<int>((INT_MAX - CCM_MSG_HEADER_SIZE) / 2);

// Bounds of msg_spareq: 8 MiB or 64 blocks, enough for a steady stream of 100 000-byte
// messages with a window of 64 in flight to be served without page faults, and little beside
// the memory the heap would keep anyway.
constexpr size_t kSpareBytesMax = 8u << 20;
constexpr int kSpareBlocksMax = 64;

// Bound of msg_std_spareq: what a burst of thousands of small messages has in flight at once.
// The blocks were all in use at the same moment, so keeping them adds nothing to the peak; the
// trim returns them once the burst is over. Pages a block never touched are not resident.
constexpr int kStdSpareMax = 8192;
constexpr long long kTrimIntervalMs = 1000;

// The network thread's batches are at most this long.
constexpr int kBatchMax = 64;

size_t block_bytes(int size) { return CCM_MSG_HEADER_SIZE + 2 * static_cast<size_t>(size); }

// A spare block that holds `size` and wastes at most half of itself, unlinked; or null. Under
// queue_lock.
ccm_msg_t* take_spare(ccm_context_t* ccm, int size) {
  const size_t need = block_bytes(size);
  for (ccm_msg_t* b = ccm->msg_spareq.head; b != nullptr; b = b->nxt) {
    const size_t have = malloc_usable_size(b);
    if (have < need || have / 2 > need) continue;
    ccm_queue_unlink(&ccm->msg_spareq, b);
    --ccm->nof_spare;
    ccm->spare_bytes -= have;
    return b;
  }
  return nullptr;
}

// Keeps a released block in msg_spareq (the most recent first: its pages are the most likely to
// be warm), when the bounds allow. Under queue_lock.
bool keep_spare(ccm_context_t* ccm, ccm_msg_t* block) {
  const size_t have = malloc_usable_size(block);
  if (ccm->nof_spare >= kSpareBlocksMax || ccm->spare_bytes + have > kSpareBytesMax) return false;
  ccm_queue_push_front(&ccm->msg_spareq, block);
  ++ccm->nof_spare;
  ccm->spare_bytes += have;
  return true;
}

// A block taken from the pool, and how much of it to clear: a message of the free list keeps
// the old bytes of its data area; a block that was no message a moment ago gets a clean
// headroom too.
struct Taken {
  ccm_msg_t* msg;
  size_t clear;
};

constexpr size_t kClearMessage = CCM_MSG_HEADER_SIZE;
constexpr size_t kClearBlock = CCM_MSG_HEADER_SIZE + CCM_MSG_HEADROOM;

// A block for a message of `size` from the free list or a spare list, unlinked; msg null when
// there is none. Under queue_lock.
Taken take_block(ccm_context_t* ccm, int size) {
  if (size != CCM_MSG_STD_SIZE) return {take_spare(ccm, size), kClearBlock};
  if (ccm_msg_t* msg = ccm_queue_pop(&ccm->msg_freeq)) {
    --ccm->nof_freemsg;
    return {msg, kClearMessage};
  }
  ccm_msg_t* block = ccm_queue_pop(&ccm->msg_std_spareq);
  if (block != nullptr) {
    --ccm->nof_std_spare;
    if (ccm->nof_std_spare < ccm->std_spare_low) ccm->std_spare_low = ccm->nof_std_spare;
  }
  return {block, kClearBlock};
}

// Puts a message back: a standard one on the free list while it holds fewer than 64, else on a
// spare list while its bound allows. Returns the block when it leaves the pool (the caller
// releases it outside the lock), else null; *outcome says which for the trace. Under queue_lock.
ccm_msg_t* put_back(ccm_context_t* ccm, ccm_msg_t* msg, const char** outcome) {
  msg->nxt = nullptr;
  if (msg->size != CCM_MSG_STD_SIZE) {
    *outcome = "huge message is freed";
    return keep_spare(ccm, msg) ? nullptr : msg;
  }
  if (ccm->nof_freemsg < CCM_MSG_FREEQ_MAX) {
    ccm_queue_push_front(&ccm->msg_freeq, msg);
    ++ccm->nof_freemsg;
    *outcome = "put back to freeq";
    return nullptr;
  }
  *outcome = "normal message freed";
  if (ccm->nof_std_spare >= kStdSpareMax) return msg;
  ccm_queue_push_front(&ccm->msg_std_spareq, msg);  // the most recent first: the warmest
  ++ccm->nof_std_spare;
  return nullptr;
}

// Makes `msg` a fresh message of `size` with `ID`: header (and headroom) cleared but for its link,
// eye-catcher, buffers, msg_start behind the headroom. The link is left alone, so that a message
// already on msgq_inuse is made outside the lock: a walk of that list reads the links only. Only
// the header and the headroom are cleared: the data area behind them is the owner's to fill, and
// clearing 64 KiB and more for a message of a few hundred bytes would cost the time and the page
// faults of touching all of it.
void init_message(ccm_msg_t* msg, int size, size_t clear, unsigned long ID) {
  constexpr size_t kLink = offsetof(ccm_msg_t, nxt);
  constexpr size_t kBehindLink = kLink + sizeof(msg->nxt);
  auto* bytes = reinterpret_cast<unsigned char*>(msg);
  memset(bytes, 0, kLink);
  memset(bytes + kBehindLink, 0, clear - kBehindLink);
  memcpy(msg->eyec, kMessageEyec, sizeof(msg->eyec));
  msg->ID = ID;
  msg->size = size;
  msg->buffer1 = msg->buffer;
  msg->buffer2 = msg->buffer1 + size;
  msg->msg_start = msg->buffer1 + CCM_MSG_HEADROOM;
}

void trace_alloc_entry(int size) { QM7_TRACE("%s(size=%d) -->", "ccm_msg_alloc_huge", size); }

void trace_alloc_exit(const ccm_msg_t* msg) {
  QM7_TRACE("%s <-- (msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X))", "ccm_msg_alloc_huge",
            static_cast<const void*>(msg), msg->ID, static_cast<void*>(msg->msg_start), msg->len,
            msg->pos, static_cast<unsigned>(msg->flag));
}

void trace_alloc_failed() {
  QM7_TRACE("%s <-- (malloc error, message queue)", "ccm_msg_alloc_huge");
}

void trace_free_entry(const ccm_msg_t* msg) {
  QM7_TRACE("%s(msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)) -->", "ccm_msg_free",
            static_cast<const void*>(msg), msg->ID, static_cast<void*>(msg->msg_start), msg->len,
            msg->pos, static_cast<unsigned>(msg->flag));
}

// One message of `size`; on msgq_inuse when `on_inuse`, else on no queue.
ccm_msg_t* alloc_one(ccm_context_t* ccm, int size, bool on_inuse, ccm_error_t* ccmerr) {
  trace_alloc_entry(size);
  if (ccm == nullptr || size < kMinSize || size > kMaxSize) {
    qm7::ccm::set_no_memory(ccmerr, "CCMMSG", CCM_MODULE_CCMMSG, __LINE__);
    trace_alloc_failed();
    return nullptr;
  }
  ccm_queue_lock(ccm);
  Taken t = take_block(ccm, size);
  if (t.msg == nullptr) {
    // A new block is made outside the lock: the other thread's queue operations do not wait.
    ccm_queue_unlock(ccm);
    t.msg = static_cast<ccm_msg_t*>(malloc(block_bytes(size)));
    ccm_queue_lock(ccm);
  }
  if (t.msg == nullptr) {
    qm7::ccm::set_no_memory(ccmerr, "CCMMSG", CCM_MODULE_CCMMSG, __LINE__);
    ccm_queue_unlock(ccm);
    trace_alloc_failed();
    return nullptr;
  }
  const unsigned long ID = ccm->unique_msg_ID++;
  if (on_inuse) {
    ccm_queue_push_front(&ccm->msgq_inuse, t.msg);
  } else {
    t.msg->nxt = nullptr;
  }
  ccm_queue_unlock(ccm);
  // The header is cleared outside the lock: its lines are mostly cold, and the other thread's
  // queue operations would wait for them.
  init_message(t.msg, size, t.clear, ID);
  trace_alloc_exit(t.msg);
  return t.msg;
}

}  // namespace

namespace qm7::ccm {

int msg_alloc_batch(ccm_context_t* ccm, int count, ccm_msg_queue_t* out, ccm_error_t* ccmerr) {
  if (count > kBatchMax) count = kBatchMax;
  Taken got[kBatchMax];
  unsigned long ids[kBatchMax];
  int n = 0;
  ccm_queue_lock(ccm);
  for (; n < count; ++n) {
    got[n] = take_block(ccm, CCM_MSG_STD_SIZE);
    if (got[n].msg == nullptr) break;
    ids[n] = ccm->unique_msg_ID++;
  }
  ccm_queue_unlock(ccm);
  if (n < count) {
    // The rest is made outside the lock, and numbered in one more step.
    const int pooled = n;
    for (; n < count; ++n) {
      got[n] = {static_cast<ccm_msg_t*>(malloc(block_bytes(CCM_MSG_STD_SIZE))), kClearBlock};
      if (got[n].msg == nullptr) break;
    }
    if (n > pooled) {
      ccm_queue_lock(ccm);
      for (int i = pooled; i < n; ++i) ids[i] = ccm->unique_msg_ID++;
      ccm_queue_unlock(ccm);
    }
    if (n < count) set_no_memory(ccmerr, "CCMMSG", CCM_MODULE_CCMMSG, __LINE__);
  }
  for (int i = 0; i < n; ++i) {
    trace_alloc_entry(CCM_MSG_STD_SIZE);
    init_message(got[i].msg, CCM_MSG_STD_SIZE, got[i].clear, ids[i]);
    ccm_queue_append(out, got[i].msg);
    trace_alloc_exit(got[i].msg);
  }
  if (n < count) trace_alloc_failed();
  return n;
}

ccm_msg_t* msg_alloc_owned(ccm_context_t* ccm, int size, ccm_error_t* ccmerr) {
  return alloc_one(ccm, size, false, ccmerr);
}

void msg_free_batch_locked(ccm_context_t* ccm, ccm_msg_t* chain, ccm_msg_t** release) {
  while (chain != nullptr) {
    ccm_msg_t* next = chain->nxt;
    trace_free_entry(chain);
    const char* outcome;
    if (ccm_msg_t* gone = put_back(ccm, chain, &outcome)) {
      gone->nxt = *release;
      *release = gone;
    }
    QM7_TRACE("%s <-- (%s)", "ccm_msg_free", outcome);
    chain = next;
  }
}

void release_blocks(ccm_msg_t* chain) {
  while (chain != nullptr) {
    ccm_msg_t* next = chain->nxt;
    free(chain);
    chain = next;
  }
}

void msg_free_batch(ccm_context_t* ccm, ccm_msg_t* chain) {
  if (chain == nullptr) return;
  ccm_msg_t* release = nullptr;
  ccm_queue_lock(ccm);
  msg_free_batch_locked(ccm, chain, &release);
  ccm_queue_unlock(ccm);
  release_blocks(release);
}

long long msg_pool_trim(ccm_context_t* ccm, long long now) {
  ccm_msg_t* release = nullptr;
  ccm_queue_lock(ccm);
  if (ccm->nof_std_spare == 0) {
    ccm->std_spare_trim_at = 0;
  } else if (ccm->std_spare_trim_at == 0) {
    ccm->std_spare_trim_at = now + kTrimIntervalMs;
    ccm->std_spare_low = ccm->nof_std_spare;
  } else if (now >= ccm->std_spare_trim_at) {
    // The blocks no allocation reached since the last trim are the oldest ones, at the tail.
    const int keep = ccm->nof_std_spare - ccm->std_spare_low;
    if (keep == 0) {
      release = ccm_queue_take_all(&ccm->msg_std_spareq);
    } else {
      ccm_msg_t* last = ccm->msg_std_spareq.head;
      for (int i = 1; i < keep; ++i) last = last->nxt;
      release = last->nxt;
      last->nxt = nullptr;
      ccm->msg_std_spareq.tail = last;
    }
    ccm->nof_std_spare = keep;
    ccm->std_spare_low = keep;
    ccm->std_spare_trim_at = keep > 0 ? now + kTrimIntervalMs : 0;
  }
  const long long next = ccm->std_spare_trim_at != 0 ? ccm->std_spare_trim_at : -1;
  ccm_queue_unlock(ccm);
  release_blocks(release);
  return next;
}

}  // namespace qm7::ccm

ccm_msg_t* ccm_msg_alloc(ccm_context_t* ccm, ccm_error_t* ccmerr) {
  return alloc_one(ccm, CCM_MSG_STD_SIZE, true, ccmerr);
}

ccm_msg_t* ccm_msg_alloc_huge(ccm_context_t* ccm, int size, ccm_error_t* ccmerr) {
  return alloc_one(ccm, size, true, ccmerr);
}

int ccm_msg_free(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  if (ccm == nullptr || ccmmsg == nullptr) return 0;
  trace_free_entry(ccmmsg);
  ccm_queue_lock(ccm);
  ccm_queue_unlink(&ccm->msgq_inuse, ccmmsg);
  const char* outcome;
  ccm_msg_t* release = put_back(ccm, ccmmsg, &outcome);
  ccm_queue_unlock(ccm);
  // A block on no list is given back to the heap without the lock.
  free(release);
  QM7_TRACE("%s <-- (%s)", __func__, outcome);
  return 0;
}
