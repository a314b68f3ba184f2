// The dispatcher of the network thread: hands every message that the send paths queued on the
// context's sendq to the send queue of its destination channel, at the start of each pass.
// Lock order: channel_lock (from the lookup), then the context's queue_lock, then the channel's
// queue_lock; a run of messages for one channel moves under both queue locks in one step.
#include <cstring>

#include "flow_control.h"
#include "msg_pool.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/thread.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"
#include "test_point.h"
#include "wakeup.h"

namespace {

// Where a message is going, read under the context's queue_lock (the host's output queries
// read the same fields under it). A "*CP" address travels on the wire already; the message
// itself leaves on the channel to the server.
struct Destination {
  int ID;
  char name[64];
};

Destination destination_of(ccm_msg_t* msg) {
  if (strncmp(msg->addr.dst_addr, "*CP", 3) == 0) {
    StringCopy(msg->addr.dst_addr, sizeof(msg->addr.dst_addr), "*SERVER");
  }
  Destination d{msg->addr.dst_ID, {}};
  StringCopy(d.name, sizeof(d.name), msg->addr.dst_addr);
  return d;
}

bool same_destination(const Destination& a, const Destination& b) {
  return a.ID == b.ID && (a.ID != 0 || strncmp(a.name, b.name, sizeof(a.name)) == 0);
}

// Finds the destination; on success channel_lock is held.
ccm_channel_t* find_destination(ccm_context_t* ccm, const Destination& d) {
  if (d.ID != 0) return ccm_channel_getbyID(ccm, d.ID);
  return ccm_channel_getbyName(ccm, d.name);
}

void trace_message(const ccm_msg_t* msg) {
  __trace_text(0, "%s:        ==> msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)",
               "ccm_dispatch_send_messages", static_cast<const void*>(msg), msg->ID,
               static_cast<void*>(msg->msg_start), msg->len, msg->pos,
               static_cast<unsigned>(msg->flag));
}

// Moves the head of msgq_2dispatch and the messages behind it that go to the same channel onto
// that channel's sendq, in one step under both queue locks: a message is always on one queue
// that the host's output query reads. Returns how many moved.
int move_to_channel(ccm_context_t* ccm, ccm_channel_t* ch, const Destination& d) {
  int moved = 0;
  const bool mark = ccm_flag_test(&ch->flag, CCM_FLAG_MARK_NAT) != 0;
  ccm_queue_lock(ccm);
  ccmch_queue_lock(ccm, ch);
  for (ccm_msg_t* msg; (msg = ccm->msgq_2dispatch.head) != nullptr;) {
    if (moved > 0 && !same_destination(destination_of(msg), d)) break;
    ccm_queue_pop(&ccm->msgq_2dispatch);
    if (trc_level()) {
      trace_message(msg);
      __trace_text(0,
                   "%s:      send to the partner (name : '%s' function : '%s', call back :'%08X')",
                   "ccm_dispatch_send_messages", ch->name, msg->addr.dst_name,
                   static_cast<unsigned>(msg->addr.dst_ID));
    }
    msg->pATctx = ch->pATctx;
    if (mark && msg->type == CCM_MSGTYPE_NAT) msg->flag |= CCM_MSGFLAG_MARK_NAT;
    ccm_queue_append(&ch->sendq, msg);
    qm7::ccm::count_queued(ch, msg);
    ++moved;
  }
  ccmch_queue_unlock(ccm, ch);
  ccm_queue_unlock(ccm);
  return moved;
}

}  // namespace

int ccm_dispatch_send_messages(ccm_context_t* ccm) {
  // From here on a send writes its wake-up byte: what is queued before is taken below.
  qm7::ccm::network_pass_begins(ccm);
  ccm_queue_lock(ccm);
  if (ccm->msgq_2dispatch.head == nullptr) {
    ccm->msgq_2dispatch = ccm->sendq;
    ccm->sendq = {nullptr, nullptr};
  } else {
    while (ccm_msg_t* m = ccm_queue_pop(&ccm->sendq)) ccm_queue_append(&ccm->msgq_2dispatch, m);
  }
  ccm_queue_unlock(ccm);

  int count = 0;
  // Messages kept for a destination that may still appear go back on sendq, in their order and
  // ahead of what was queued meanwhile; no wake-up is written, so they cause no busy passes.
  // Those without a destination go back to the pool together at the end.
  ccm_msg_t* last_kept = nullptr;
  ccm_msg_queue_t dropped = {nullptr, nullptr};
  for (;;) {
    ccm_queue_lock(ccm);
    ccm_msg_t* head = ccm->msgq_2dispatch.head;
    const Destination d = head != nullptr ? destination_of(head) : Destination{};
    ccm_queue_unlock(ccm);
    if (head == nullptr) break;
    qm7::ccm::testing::point("dispatch_found_head");
    ccm_channel_t* ch = find_destination(ccm, d);
    if (ch != nullptr) {
      count += move_to_channel(ccm, ch, d);
      ccm_channel_unlock(ccm);
      continue;
    }
    ++count;
    ccm_queue_lock(ccm);
    ccm_queue_pop(&ccm->msgq_2dispatch);
    if (trc_level()) trace_message(head);
    const bool keep = (head->flag & CCM_MSGFLAG_KEEP) != 0;
    if (keep) {
      if (last_kept == nullptr) {
        ccm_queue_push_front(&ccm->sendq, head);
      } else {
        head->nxt = last_kept->nxt;
        last_kept->nxt = head;
        if (ccm->sendq.tail == last_kept) ccm->sendq.tail = head;
      }
      last_kept = head;
    }
    if (!keep) ccm_queue_append(&dropped, head);
    ccm_queue_unlock(ccm);
  }
  qm7::ccm::msg_free_batch(ccm, dropped.head);
  QM7_TRACE("%s <-- (number of dispatched messages = %d)", __func__, count);
  return 0;
}
