// The channel writer: puts the queued messages of one channel on its socket, in queue order and
// as far as the socket takes them without blocking, several small messages in one send call. Runs
// on the network thread only; the channel's queue_lock is held only while the head of the queue is
// read or moved on, never across a send call or the release of a message. The messages one send
// call completes leave the queue in one step and go back to the pool in one more.
#include "qm7/ccm/writer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "flow_control.h"
#include "msg_pool.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

namespace {

ccm_msg_t* queue_head(ccm_context_t* ccm, ccm_channel_t* ch) {
  ccmch_queue_lock(ccm, ch);
  ccm_msg_t* head = ch->sendq.head;
  ccmch_queue_unlock(ccm, ch);
  return head;
}

// Takes the `count` messages at the head of the queue off it in one step, gives them back to the
// pool in one more and returns the new head. The queue helper keeps the tail right, so a later
// append never links to a released message. Written messages are counted in the same step, so
// the host's output query never sees one gone and not counted. They go back at once, not at the
// end of the call: a sender on the other processor allocates its next messages meanwhile.
ccm_msg_t* drop_heads(ccm_context_t* ccm, ccm_channel_t* ch, int count, bool written) {
  ccm_msg_queue_t done = {nullptr, nullptr};
  ccmch_queue_lock(ccm, ch);
  for (int i = 0; i < count; ++i) {
    ccm_msg_t* m = ccm_queue_pop(&ch->sendq);
    if (m == nullptr) break;
    qm7::ccm::uncount_queued(ch, m);
    if (written) ++ch->out_written;
    ccm_queue_append(&done, m);
  }
  ccm_msg_t* next = ch->sendq.head;
  ccmch_queue_unlock(ccm, ch);
  qm7::ccm::msg_free_batch(ccm, done.head);
  return next;
}

// Messages one send call gathers at most.
constexpr int kGatherMax = 64;

// The trace of one send call: each message it carries and the bytes offered.
void trace_piece(ccm_channel_t* ch, const ccm_msg_t* msg, const struct iovec* iov, int parts) {
  const char* fn = "ccm_write_channel";
  for (int i = 0; i < parts; ++i, msg = msg->nxt) {
    __trace_text(0, "%s:      msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X),pos=%d", fn,
                 static_cast<const void*>(msg), msg->ID, static_cast<void*>(msg->msg_start),
                 msg->len, msg->pos, static_cast<unsigned>(msg->flag), msg->pos);
    trcdump(iov[i].iov_base, static_cast<int>(iov[i].iov_len),
            "sendmsg() to channel(%p,s=%d/chID=%d,%s,flag=%.8X)", static_cast<void*>(ch), ch->s,
            ch->ID, ch->name, static_cast<unsigned>(ccm_flag_get(&ch->flag)));
  }
}

// One send call; EINTR is retried here so that callers see data, "would block" or a failure.
ssize_t send_piece(int s, struct msghdr* mh) {
  ssize_t rslt;
  do {
    errno = 0;
    // MSG_NOSIGNAL: a peer that has closed yields EPIPE instead of a SIGPIPE that would end the
    // host process.
    rslt = sendmsg(s, mh, MSG_NOSIGNAL);
  } while (rslt < 0 && errno == EINTR);
  return rslt;
}

}  // namespace

int ccm_write_channel(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* /*ccmerr*/) {
  QM7_TRACE("%s(channel(%p,s=%d/chID=%d,%s,flag=%.8X)) -->", __func__, static_cast<void*>(ccmch),
            ccmch->s, ccmch->ID, ccmch->name, static_cast<unsigned>(ccm_flag_get(&ccmch->flag)));
  ccm_msg_t* msg = queue_head(ccm, ccmch);
  while (msg != nullptr) {
    if (msg->pos < 0 || msg->len < 0 || msg->pos > msg->len) {
      // Sending from such a position would read outside the message: drop it unsent.
      if (trc_level()) trcdump(msg, static_cast<int>(CCM_MSG_HEADER_SIZE), "invalid CCMMSG");
      QM7_TRACE("%s:      invalid position, message dropped", __func__);
      msg = drop_heads(ccm, ccmch, 1, false);
      continue;
    }
    // One send call takes the head message from its position and, behind it, as many whole
    // queued messages as fit in the piece: a stream carries them back to back anyway, and one
    // call for many small messages saves a system call for each. A message with control data
    // goes alone, so its passed descriptors travel with its own bytes only.
    struct iovec iov[kGatherMax];
    ccm_msg_t* piece[kGatherMax];
    int parts = 0;
    size_t amount = 0;
    ccmch_queue_lock(ccm, ccmch);  // the links behind the head; appenders touch only the tail
    for (ccm_msg_t* m = msg; m != nullptr && parts < kGatherMax && amount < CCM_SEND_CHUNK;
         m = m->nxt) {
      if (m != msg && (m->control_len != 0 || m->pos != 0 || m->len < 0)) break;
      const size_t take = std::min(static_cast<size_t>(m->len - m->pos), CCM_SEND_CHUNK - amount);
      piece[parts] = m;
      iov[parts++] = {m->msg_start + m->pos, take};
      amount += take;
      if (msg->control_len != 0) break;
    }
    ccmch_queue_unlock(ccm, ccmch);
    if (trc_level()) {
      trace_piece(ccmch, msg, iov, parts);
    }
    struct msghdr mh = {};
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<size_t>(parts);
    if (msg->control_len != 0) {
      mh.msg_control = msg->control_data;
      mh.msg_controllen = msg->control_len > sizeof(msg->control_data) ? sizeof(msg->control_data)
                                                                       : msg->control_len;
      if (trc_level())
        trcdump(msg->control_data, static_cast<int>(mh.msg_controllen), "control data");
    }
    ccmch->timestamp_last_io = time(nullptr);
    QM7_TRACE("%s:         send(len=%d) -->", __func__, static_cast<int>(amount));
    const ssize_t rslt = send_piece(ccmch->s, &mh);
    const int err = errno;
    QM7_TRACE("%s:         sendmsg(...) <-- (rslt=%d,errno=%d)", __func__, static_cast<int>(rslt),
              err);
    if (rslt < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
      QM7_TRACE("%s <-- (WouldBlock,pos=%d)", __func__, msg->pos);
      return 0;
    }
    if (rslt < 0) {
      ccmch->msgnr = CCM_MSGNR_SEND_FAILED;
      snprintf(ccmch->msginsert, sizeof(ccmch->msginsert), "%d(%s)|%s(%d/ID=%d)|", err,
               strerror(err), ccmch->name, ccmch->s, ccmch->ID);
      ccm_channel_delete(ccm, ccmch);
      QM7_TRACE("%s <-- (socket send() error)", __func__);
      return -1;
    }
    // The bytes taken complete the messages in queue order; the first one not completed keeps
    // its new position at the head. The completed ones leave the queue together.
    size_t sent = static_cast<size_t>(rslt);
    int completed = 0;
    for (int i = 0; i < parts; ++i) {
      ccm_msg_t* m = piece[i];
      const size_t got = std::min(sent, iov[i].iov_len);
      m->pos += static_cast<int>(got);
      sent -= got;
      QM7_TRACE("%s:      pos = %d, len = %d", __func__, m->pos, m->len);
      if (m->pos < m->len) break;
      ++completed;
    }
    if (completed > 0) msg = drop_heads(ccm, ccmch, completed, true);
    if (static_cast<size_t>(rslt) < amount) break;  // the socket is full
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}
