// The life of a channel record: creation with a new ID, chaining onto channel_newq, marking as
// deleted, destruction (failure and close log lines, CHANNEL_CLOSE notice, release of queues,
// buffers, user context and socket), and the two bulk destructions of shutdown and of the
// network thread's pass.
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel_text.h"
#include "error_util.h"
#include "flow_control.h"
#include "lock_init.h"
#include "output_state.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/recv.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr char kChannelEyec[] = "##CCM#CHANNEL###";
static_assert(sizeof(kChannelEyec) == 17);

// Posts the CHANNEL_CLOSE notice of a channel about to be destroyed. Without a message the
// notice is skipped.
void post_close_notice(ccm_context_t* ccm, const ccm_channel_t* ch) {
  ccm_msg_t* msg = ccm_msg_alloc(ccm, nullptr);
  if (msg == nullptr) return;
  static_assert(sizeof(ipcmsg_channel_close_t) <= 2 * CCM_MSG_STD_SIZE - CCM_MSG_HEADROOM);
  ipcmsg_channel_close_t rec;
  memset(static_cast<void*>(&rec), 0, sizeof(rec));
  StringCopy(rec.head.msgtype, sizeof(rec.head.msgtype), IPCMSG_CHANNEL_CLOSE);
  memcpy(static_cast<void*>(&rec.ccmch), ch, sizeof(rec.ccmch));
  if (ch->cuc != nullptr) memcpy(static_cast<void*>(&rec.cuc), ch->cuc, CCM_CUC_FIXED_SIZE);
  // What never left, or left and was not acknowledged, as the channel goes: a host whose
  // channel is gone judges its messages by this.
  qm7::ccm::read_output_state(ccm, const_cast<ccm_channel_t*>(ch), &rec.output);
  memcpy(msg->msg_start, &rec, sizeof(rec));
  msg->len = static_cast<int>(sizeof(rec));
  send_IPC_internal(ccm, msg);
}

void log_close(const ccm_channel_t* ch) {
  switch (ch->type) {
    case CCM_TYPE_SILENT:
      break;
    case CCM_TYPE_LISTEN:
      __log(CCM_MSGNR_CHANNEL_CLOSED, "s=%d,ID=%d|%s", ch->s, ch->ID, "*LISTEN");
      break;
    case CCM_TYPE_SERVER:
    case CCM_TYPE_CP:
      __log(CCM_MSGNR_SERVER_CLOSED, "%.64s(s=%d,ID=%d)", ch->name, ch->s, ch->ID);
      break;
    case CCM_TYPE_AGENT:
      __log(CCM_MSGNR_AGENT_CLOSED, "%.64s(s=%d,ID=%d)", ch->name, ch->s, ch->ID);
      break;
    default:
      __log(CCM_MSGNR_CHANNEL_CLOSED, "s=%d,ID=%d|%.64s", ch->s, ch->ID, ch->name);
      break;
  }
}

void free_messages(ccm_context_t* ccm, ccm_msg_t* msg) {
  while (msg != nullptr) {
    ccm_msg_t* next = msg->nxt;
    msg->nxt = nullptr;
    ccm_msg_free(ccm, msg);
    msg = next;
  }
}

// Closes the channel's socket without waiting. Connect and accept set a 60-second linger, with
// which close() would block the network thread, and with it every other channel, for as long as
// a peer does not take the unsent bytes. A peer that is gone (its receive or send failed) gets an
// abortive close, which drops what it can no longer take, and so does a channel closed with
// CCM_CLOSE_ABORT; a socket still set to linger for a
// time hands its unsent bytes to the kernel instead, which sends them on after the close. An
// abortive close the host program asked for (linger on with time 0) stays as it is.
void close_without_waiting(ccm_channel_t* ch) {
  const bool peer_gone = ch->msgnr == CCM_MSGNR_RECV_FAILED || ch->msgnr == CCM_MSGNR_SEND_FAILED ||
                         ccm_flag_test(&ch->flag, CCM_FLAG_ABORT);
  struct linger lg = {0, 0};
  socklen_t len = sizeof(lg);
  if (peer_gone) {
    lg = {1, 0};
    setsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  } else if (getsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, &len) == 0 && lg.l_onoff != 0 &&
             lg.l_linger > 0) {
    lg = {0, 0};
    setsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  }  // not a socket: nothing lingers
  qm7::ccm::close_fd(ch->s);
}

}  // namespace

int ccm_channel_new_entry(ccm_context_t* ccm, ccm_channel_t** ccmch, ccm_error_t* ccmerr) {
  QM7_TRACE("%s() -->", __func__);
  auto* ch = static_cast<ccm_channel_t*>(calloc(1, sizeof(ccm_channel_t)));
  if (ch == nullptr) {
    qm7::ccm::set_no_memory(ccmerr, "CREATE_CHANNEL", CCM_MODULE_CCM, __LINE__);
    QM7_TRACE("%s <-- (calloc error, message queue)", __func__);
    return -1;
  }
  memcpy(ch->eyec, kChannelEyec, sizeof(ch->eyec));
  ch->s = -1;
  qm7::ccm::init_lock(&ch->queue_lock);
  ccm_channel_lock(ccm);
  ch->ID = ccm->unique_channel_ID++;
  ccm_channel_unlock(ccm);
  snprintf(ch->name, sizeof(ch->name), "*ID%d", ch->ID);
  *ccmch = ch;
  QM7_TRACE("%s <-- (channel=%p)", __func__, static_cast<void*>(ch));
  return 0;
}

int ccm_channel_chain(ccm_context_t* ccm, ccm_channel_t* ccmch) {
  QM7_TRACE("%s(ccm=%p,channel=(%p,%d,%.64s)) -->", __func__, static_cast<void*>(ccm),
            static_cast<void*>(ccmch), ccmch->ID, ccmch->name);
  char eyec[32];
  snprintf(eyec, sizeof(eyec), "#CCMSOCK%.8d", ccmch->ID);
  memcpy(ccmch->eyec, eyec, sizeof(ccmch->eyec));
  ccm_channel_lock(ccm);
  ccm_queue_append(&ccm->channel_newq, ccmch);
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ccm_channel_delete(ccm_context_t* ccm, ccm_channel_t* ccmch) {
  QM7_TRACE("%s(ccm=%p,channel=(%p,%d,%.64s)) -->", __func__, static_cast<void*>(ccm),
            static_cast<void*>(ccmch), ccmch->ID, ccmch->name);
  ccm_flag_set(&ccmch->flag, CCM_FLAG_DELETED);
  ccm_flag_set(&ccm->flag, CCM_CTX_DELETED);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ccm_channel_emptying_msg_queue(ccm_context_t* ccm, ccm_channel_t* ccmch) {
  ccmch_queue_lock(ccm, ccmch);
  ccm_msg_t* send = ccm_queue_take_all(&ccmch->sendq);
  ccmch->sendq_bytes = 0;
  ccm_msg_t* recv = ccm_queue_take_all(&ccmch->recvq);
  ccmch_queue_unlock(ccm, ccmch);
  ccm_queue_lock(ccm);
  qm7::ccm::count_partial(ccm, ccmch, 0);  // its frame still arriving goes with recvq
  ccm_queue_unlock(ccm);
  // Freed after the channel's lock is released: the pool takes the context's queue_lock.
  free_messages(ccm, send);
  free_messages(ccm, recv);
  return 0;
}

int ccm_channel_destroy(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* /*ccmerr*/) {
  QM7_TRACE("%s(%s) -->", __func__, qm7::ccm::channel_short(ccmch).c_str());
  if (ccmch->msgnr != 0) {
    __log(ccmch->msgnr, "%.*s", static_cast<int>(sizeof(ccmch->msginsert)), ccmch->msginsert);
  }
  log_close(ccmch);
  if (ccmch->type != CCM_TYPE_PASSIVE && ccmch->type != CCM_TYPE_SILENT) {
    post_close_notice(ccm, ccmch);
  }
  ccm_channel_emptying_msg_queue(ccm, ccmch);
  free(ccmch->recv_buffer);
  free(ccmch->send_buffer);
  free(ccmch->cuc);
  if (ccmch->s >= 0) {
    QM7_TRACE("%s:      closing socket = %d", __func__, ccmch->s);
    close_without_waiting(ccmch);
    ccmch->s = -1;
  }
  QM7_TRACE("%s:      destroy queue lock = %p", __func__, static_cast<void*>(&ccmch->queue_lock));
  pthread_mutex_destroy(&ccmch->queue_lock);
  memset(static_cast<void*>(ccmch), 0, sizeof(*ccmch));
  free(ccmch);
  QM7_TRACE("%s <-- (destroyed)", __func__);
  return 0;
}

int ccm_channel_closeall(ccm_context_t* ccm) {
  if (ccm == nullptr) {
    QM7_TRACE("%s <-- (ccm == null)", __func__);
    return 0;
  }
  QM7_TRACE("%s() -->", __func__);
  ccm_channel_lock(ccm);
  ccm_channel_t* ch = ccm_queue_take_all(&ccm->channelq);
  while (ch != nullptr) {
    ccm_channel_t* next = ch->nxt;
    ch->nxt = nullptr;
    ccm_channel_destroy(ccm, ch, nullptr);
    ch = next;
  }
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ccm_destroy_deleted_channels(ccm_context_t* ccm) {
  QM7_TRACE("%s() -->", __func__);
  ccm_channel_queue_t deleted = {nullptr, nullptr};
  int count = 0;
  ccm_channel_lock(ccm);
  ccm_channel_t* ch = ccm_queue_take_all(&ccm->channelq);
  while (ch != nullptr) {
    ccm_channel_t* next = ch->nxt;
    if (ccm_flag_test(&ch->flag, CCM_FLAG_DELETED)) {
      ccm_queue_append(&deleted, ch);
      ++count;
    } else {
      ccm_queue_append(&ccm->channelq, ch);
    }
    ch = next;
  }
  ccm_flag_clear(&ccm->flag, CCM_CTX_DELETED);
  ccm_channel_unlock(ccm);

  while ((ch = ccm_queue_pop(&deleted)) != nullptr) {
    QM7_TRACE("%s:      %s", __func__, qm7::ccm::channel_long(ch).c_str());
    // A descriptor is freed: a connection that found none may be accepted in the next pass.
    if (ch->s >= 0) ccm->accept_paused_until = 0;
    ccm_channel_destroy(ccm, ch, nullptr);
  }
  QM7_TRACE("%s <-- (number of deleted channels = %d)", __func__, count);
  return 0;
}
