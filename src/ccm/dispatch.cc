// The dispatcher of the network thread: hands every message that the send paths queued on the
// context's sendq to the send queue of its destination channel, at the start of each pass.
// Lock order: channel_lock (from the lookup) before the channel's queue_lock; the context's
// queue_lock is taken alone, only to detach, take or put back messages.
#include <cstring>

#include "flow_control.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/thread.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

namespace {

ccm_msg_t* next_to_dispatch(ccm_context_t* ccm) {
  ccm_queue_lock(ccm);
  ccm_msg_t* msg = ccm_queue_pop(&ccm->msgq_2dispatch);
  ccm_queue_unlock(ccm);
  return msg;
}

// Finds the destination; on success channel_lock is held.
ccm_channel_t* find_destination(ccm_context_t* ccm, ccm_msg_t* msg) {
  // A "*CP" address travels on the wire already; the message itself leaves on the channel to
  // the server.
  if (strncmp(msg->addr.dst_addr, "*CP", 3) == 0) {
    StringCopy(msg->addr.dst_addr, sizeof(msg->addr.dst_addr), "*SERVER");
  }
  if (msg->addr.dst_ID != 0) return ccm_channel_getbyID(ccm, msg->addr.dst_ID);
  return ccm_channel_getbyName(ccm, msg->addr.dst_addr);
}

}  // namespace

int ccm_dispatch_send_messages(ccm_context_t* ccm) {
  // From here on a send writes its wake-up byte: what is queued before is taken below.
  qm7::ccm::network_pass_begins(ccm);
  ccm_queue_lock(ccm);
  while (ccm_msg_t* m = ccm_queue_pop(&ccm->sendq)) ccm_queue_append(&ccm->msgq_2dispatch, m);
  ccm_queue_unlock(ccm);

  int count = 0;
  ccm_msg_queue_t keep = {nullptr, nullptr};
  while (ccm_msg_t* msg = next_to_dispatch(ccm)) {
    ++count;
    QM7_TRACE("%s:        ==> msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)", __func__,
              static_cast<void*>(msg), msg->ID, static_cast<void*>(msg->msg_start), msg->len,
              msg->pos, static_cast<unsigned>(msg->flag));
    ccm_channel_t* ch = find_destination(ccm, msg);
    if (ch == nullptr) {
      if (msg->flag & CCM_MSGFLAG_KEEP) {
        ccm_queue_append(&keep, msg);
      } else {
        ccm_msg_free(ccm, msg);
      }
      continue;
    }
    QM7_TRACE("%s:      send to the partner (name : '%s' function : '%s', call back :'%08X')",
              __func__, ch->name, msg->addr.dst_name, static_cast<unsigned>(msg->addr.dst_ID));
    msg->pATctx = ch->pATctx;
    if (ccm_flag_test(&ch->flag, CCM_FLAG_MARK_NAT) && msg->type == CCM_MSGTYPE_NAT) {
      msg->flag |= CCM_MSGFLAG_MARK_NAT;
    }
    ccmch_queue_lock(ccm, ch);
    ccm_queue_append(&ch->sendq, msg);
    qm7::ccm::count_queued(ch, msg);
    ccmch_queue_unlock(ccm, ch);
    ccm_channel_unlock(ccm);
  }

  // Messages kept for a destination that may still appear wait on sendq for the next pass,
  // ahead of what was queued meanwhile; no wake-up is written, so they cause no busy passes.
  if (keep.head != nullptr) {
    ccm_queue_lock(ccm);
    keep.tail->nxt = ccm->sendq.head;
    if (ccm->sendq.head == nullptr) ccm->sendq.tail = keep.tail;
    ccm->sendq.head = keep.head;
    ccm_queue_unlock(ccm);
  }
  QM7_TRACE("%s <-- (number of dispatched messages = %d)", __func__, count);
  return 0;
}
