// The message pool of a context: hands out message blocks (a header and a data area of two
// halves), recycles standard-size blocks through a free list of at most 64, and gives every
// allocation a new message ID. All pool state is guarded by the context's queue_lock.
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

// A block of the header and a data area of two halves of `size` bytes. Only the header and the
// headroom in front of msg_start are cleared: the data area behind them is the owner's to fill
// (a block from the free list keeps old data bytes too, so no caller may expect zeros there),
// and clearing 64 KiB and more for a message of a few hundred bytes would cost the time and
// the page faults of touching every page of it.
ccm_msg_t* new_block(int size) {
  void* block = malloc(CCM_MSG_HEADER_SIZE + 2 * static_cast<size_t>(size));
  if (block != nullptr) memset(block, 0, CCM_MSG_HEADER_SIZE + CCM_MSG_HEADROOM);
  return static_cast<ccm_msg_t*>(block);
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
  // A large block never comes from the free list, so it is allocated (and zero-filled) before
  // the lock is taken: the other thread's queue operations do not wait for it.
  ccm_msg_t* msg = size == CCM_MSG_STD_SIZE ? nullptr : new_block(size);
  ccm_queue_lock(ccm);
  if (size == CCM_MSG_STD_SIZE) {
    if (ccm->msg_freeq.head != nullptr) {
      msg = ccm_queue_pop(&ccm->msg_freeq);
      --ccm->nof_freemsg;
    } else {
      msg = new_block(size);
    }
  }
  if (msg == nullptr) {
    qm7::ccm::set_no_memory(ccmerr, "CCMMSG", CCM_MODULE_CCMMSG, __LINE__);
    ccm_queue_unlock(ccm);
    QM7_TRACE("%s <-- (malloc error, message queue)", __func__);
    return nullptr;
  }
  // Only the header is cleared: a reused message keeps the old bytes of its data area.
  memset(static_cast<void*>(msg), 0, CCM_MSG_HEADER_SIZE);
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
    release = ccmmsg;
  }
  ccm_queue_unlock(ccm);
  // The block is on no list now; giving it back to the heap needs no lock.
  free(release);
  QM7_TRACE("%s <-- (%s)", __func__, outcome);
  return 0;
}
