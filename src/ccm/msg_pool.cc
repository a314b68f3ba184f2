// The message pool of a context: hands out message blocks (a header and a data area of two
// halves), recycles standard-size blocks through a free list of at most 64, and gives every
// allocation a new message ID. All pool state is guarded by the context's queue_lock.
//
// Below the pool, the blocks it releases (standard ones beyond the free list, and large ones) are
// kept for a while in msg_spareq instead of going back to the heap at once: the heap returns the
// memory of large freed blocks to the system, and every block made from it again faults in each
// page it touches (a 100 000-byte message: 25 page faults per message on each side). A spare
// block is a block, not a message: it has no ID and does not count in nof_freemsg.
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

}  // namespace

ccm_msg_t* ccm_msg_alloc(ccm_context_t* ccm, ccm_error_t* ccmerr) {
  return ccm_msg_alloc_huge(ccm, CCM_MSG_STD_SIZE, ccmerr);
}

ccm_msg_t* ccm_msg_alloc_huge(ccm_context_t* ccm, int size, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(size=%d) -->", __func__, size);
  if (ccm == nullptr || size < kMinSize || size > kMaxSize) {
    qm7::ccm::set_no_memory(ccmerr, "CCMMSG", CCM_MODULE_CCMMSG, __LINE__);
    QM7_TRACE("%s <-- (malloc error, message queue)", __func__);
    return nullptr;
  }
  ccm_queue_lock(ccm);
  ccm_msg_t* msg = nullptr;
  size_t clear = CCM_MSG_HEADER_SIZE + CCM_MSG_HEADROOM;
  if (size == CCM_MSG_STD_SIZE && ccm->msg_freeq.head != nullptr) {
    msg = ccm_queue_pop(&ccm->msg_freeq);
    --ccm->nof_freemsg;
    clear = CCM_MSG_HEADER_SIZE;  // a reused message keeps the old bytes of its data area
  } else {
    msg = take_spare(ccm, size);
  }
  if (msg == nullptr) {
    // A new block is made outside the lock: the other thread's queue operations do not wait.
    ccm_queue_unlock(ccm);
    msg = static_cast<ccm_msg_t*>(malloc(block_bytes(size)));
    ccm_queue_lock(ccm);
  }
  if (msg == nullptr) {
    qm7::ccm::set_no_memory(ccmerr, "CCMMSG", CCM_MODULE_CCMMSG, __LINE__);
    ccm_queue_unlock(ccm);
    QM7_TRACE("%s <-- (malloc error, message queue)", __func__);
    return nullptr;
  }
  // Only the header and the headroom of a block that was no message a moment ago are cleared:
  // the data area behind them is the owner's to fill, and clearing 64 KiB and more for a message
  // of a few hundred bytes would cost the time and the page faults of touching all of it.
  memset(static_cast<void*>(msg), 0, clear);
  memcpy(msg->eyec, kMessageEyec, sizeof(msg->eyec));
  msg->ID = ccm->unique_msg_ID++;
  msg->size = size;
  msg->buffer1 = msg->buffer;
  msg->buffer2 = msg->buffer1 + size;
  msg->msg_start = msg->buffer1 + CCM_MSG_HEADROOM;
  ccm_queue_push_front(&ccm->msgq_inuse, msg);
  ccm_queue_unlock(ccm);
  QM7_TRACE("%s <-- (msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X))", __func__,
            static_cast<void*>(msg), msg->ID, static_cast<void*>(msg->msg_start), msg->len,
            msg->pos, static_cast<unsigned>(msg->flag));
  return msg;
}

int ccm_msg_free(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  if (ccm == nullptr || ccmmsg == nullptr) return 0;
  QM7_TRACE("%s(msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)) -->", __func__,
            static_cast<void*>(ccmmsg), ccmmsg->ID, static_cast<void*>(ccmmsg->msg_start),
            ccmmsg->len, ccmmsg->pos, static_cast<unsigned>(ccmmsg->flag));
  ccm_queue_lock(ccm);
  ccm_queue_unlink(&ccm->msgq_inuse, ccmmsg);
  ccmmsg->nxt = nullptr;
  const char* outcome;
  ccm_msg_t* release = nullptr;
  if (ccmmsg->size == CCM_MSG_STD_SIZE && ccm->nof_freemsg < CCM_MSG_FREEQ_MAX) {
    ccm_queue_push_front(&ccm->msg_freeq, ccmmsg);
    ++ccm->nof_freemsg;
    outcome = "put back to freeq";
  } else {
    outcome = ccmmsg->size == CCM_MSG_STD_SIZE ? "normal message freed" : "huge message is freed";
    if (!keep_spare(ccm, ccmmsg)) release = ccmmsg;
  }
  ccm_queue_unlock(ccm);
  // A block on no list is given back to the heap without the lock.
  free(release);
  QM7_TRACE("%s <-- (%s)", __func__, outcome);
  return 0;
}
