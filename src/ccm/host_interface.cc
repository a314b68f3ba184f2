// The host interface of a running context: the output state of a channel, its unread input, its
// close, its addresses, the decoding of the network thread's notices and the join of that thread.
// Every call reaches a channel through a look-up, which holds channel_lock and so keeps the channel
// and its socket from being destroyed while it is looked at.
#include "qm7/ccm/host_interface.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "output_state.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/recv.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"
#include "test_point.h"

namespace qm7::ccm {

namespace testing {
std::atomic<Hook> hook{nullptr};
}  // namespace testing

bool addressed_to(const ccm_msg_t* msg, const ccm_channel_t* ch) {
  if (msg->addr.dst_ID != 0) return msg->addr.dst_ID == ch->ID;
  if (strncmp(msg->addr.dst_addr, "*CP", 3) == 0) return strcmp(ch->name, "*SERVER") == 0;
  return strncmp(msg->addr.dst_addr, ch->name, sizeof(msg->addr.dst_addr)) == 0;
}

void read_output_state(ccm_context_t* ccm, ccm_channel_t* ch, ccm_output_state_t* state) {
  *state = {};
  // The dispatcher moves a message from the context's queues to the channel's sendq while it
  // holds both locks, so with both held here a message is counted exactly once.
  ccm_queue_lock(ccm);
  for (const ccm_msg_queue_t* q : {&ccm->sendq, &ccm->msgq_2dispatch}) {
    for (const ccm_msg_t* m = q->head; m != nullptr; m = m->nxt) {
      if (addressed_to(m, ch)) ++state->queued;
    }
  }
  ccmch_queue_lock(ccm, ch);
  for (const ccm_msg_t* m = ch->sendq.head; m != nullptr; m = m->nxt) ++state->queued;
  state->written = ch->out_written;
  ccmch_queue_unlock(ccm, ch);
  ccm_queue_unlock(ccm);
  int unacked = 0;
  if (ch->s >= 0 && ioctl(ch->s, SIOCOUTQ, &unacked) == 0 && unacked > 0) state->unacked = unacked;
}

}  // namespace qm7::ccm

namespace {

// The live channel with the ID (>= 1) or else the name; returns with channel_lock held.
ccm_channel_t* find(ccm_context_t* ccm, int ID, const char* name) {
  ccm_channel_t* ch = ID >= 1 ? ccm_channel_getbyID(ccm, ID) : nullptr;
  if (ch == nullptr && name != nullptr) ch = ccm_channel_getbyName(ccm, name);
  return ch;
}

void endpoint_of(const struct sockaddr_storage& sa, ccm_endpoint_t* out) {
  struct sockaddr_in6 a6;
  memset(&a6, 0, sizeof(a6));
  memcpy(&a6, &sa, sa.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  if (ccm_address2string(&a6, out->addr, sizeof(out->addr)) != 0) out->addr[0] = '\0';
  out->port = ntohs(sa.ss_family == AF_INET6 ? a6.sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&a6)->sin_port);
}

bool is_notice(const ccm_msg_t* msg, const char* type, size_t min_len) {
  return ccm_msg_is_internal(msg) && msg->len >= static_cast<int>(min_len) &&
         strncmp(reinterpret_cast<const char*>(msg->msg_start), type, IPCMSG_TYPE_NAME_LEN) == 0;
}

}  // namespace

int ccm_channel_output(ccm_context_t* ccm, int ID, ccm_output_state_t* state) {
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, ID);
  if (ch == nullptr) return -1;
  qm7::ccm::read_output_state(ccm, ch, state);
  ccm_channel_unlock(ccm);
  return 0;
}

int ccm_channel_input_pending(ccm_context_t* ccm, int ID) {
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, ID);
  if (ch == nullptr) return -1;
  int waiting = 0;
  int rc = ch->s >= 0 && ioctl(ch->s, FIONREAD, &waiting) == 0 ? (waiting > 0 ? 1 : 0) : -1;
  if (rc == 0) {
    ccm_queue_lock(ccm);
    for (const ccm_msg_t* m = ccm->recvq.head; m != nullptr && rc == 0; m = m->nxt) {
      if (m->addr.src_ID == ID && !ccm_msg_is_internal(m)) rc = 1;
    }
    // What the processor thread took in its last step and has not handed out yet counts too.
    const int next = std::atomic_ref<int>(ccm->recv_batch_next).load(std::memory_order_acquire);
    for (int i = next; i < ccm->recv_batch_len && rc == 0; ++i) {
      if (ccm->recv_batch_ids[i] == ID) rc = 1;
    }
    ccm_queue_unlock(ccm);
  }
  ccm_channel_unlock(ccm);
  return rc;
}

int ccm_channel_close(ccm_context_t* ccm, int ID, int how, int bound_ms) {
  QM7_TRACE("%s(ID=%d,how=%d,bound_ms=%d) -->", __func__, ID, how, bound_ms);
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, ID);
  if (ch == nullptr) {
    QM7_TRACE("%s <-- (no such channel)", __func__);
    return -1;
  }
  if (how == CCM_CLOSE_ABORT) {
    ccm_flag_set(&ch->flag, CCM_FLAG_ABORT);
    ccm_channel_delete(ccm, ch);
  } else if (!ccm_flag_test(&ch->flag, CCM_FLAG_CLOSING)) {
    // Written before the flag that publishes it; only the network thread reads it, after the flag.
    ch->close_deadline = qm7::monotonic_ms() + (bound_ms > 0 ? bound_ms : 0);
    ccm_flag_set(&ch->flag, CCM_FLAG_CLOSING);
  }
  ccm_channel_unlock(ccm);
  ccm_wakeup_network(ccm);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ccm_channel_endpoints(ccm_context_t* ccm, int ID, const char* name, ccm_endpoint_t* local,
                          ccm_endpoint_t* peer) {
  ccm_channel_t* ch = find(ccm, ID, name);
  if (ch == nullptr) return -1;
  int rc = 0;
  struct sockaddr_storage sa;
  socklen_t len = sizeof(sa);
  if (local != nullptr) {
    *local = {};
    memset(&sa, 0, sizeof(sa));
    if (getsockname(ch->s, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
      endpoint_of(sa, local);
    } else {
      rc = -1;
    }
  }
  if (peer != nullptr) {
    *peer = {};
    if (ch->type != CCM_TYPE_LISTEN) {
      StringCopy(peer->addr, sizeof(peer->addr), ch->addr);
      peer->port = ch->port;
    }
  }
  ccm_channel_unlock(ccm);
  return rc;
}

int ccm_close_notice_info(const ccm_msg_t* ccmmsg, ccm_close_info_t* info) {
  if (!is_notice(ccmmsg, IPCMSG_CHANNEL_CLOSE, sizeof(ipcmsg_channel_close_t))) return -1;
  // The record sits in the message's data area, which is not aligned for it: copy it out.
  ipcmsg_channel_close_t rec;
  memcpy(static_cast<void*>(&rec), ccmmsg->msg_start, sizeof(rec));
  *info = {};
  info->ID = rec.ccmch.ID;
  info->type = rec.ccmch.type;
  info->msgnr = rec.ccmch.msgnr;
  memcpy(info->msginsert, rec.ccmch.msginsert, sizeof(info->msginsert) - 1);
  info->output = rec.output;
  return 0;
}

int ccm_notice_channel_ID(const ccm_msg_t* ccmmsg) {
  if (is_notice(ccmmsg, IPCMSG_CHANNEL_ACCEPT, sizeof(ipcmsg_channel_accept_t))) {
    int id;
    memcpy(&id, ccmmsg->msg_start + offsetof(ipcmsg_channel_accept_t, ID), sizeof(id));
    return id;
  }
  ccm_close_info_t info;
  return ccm_close_notice_info(ccmmsg, &info) == 0 ? info.ID : -1;
}

int ccm_thread_join(ccm_context_t* ccm) {
  if (ccm == nullptr || ccm->thread_joinable == 0) return 0;
  pthread_join(ccm->thread, nullptr);
  ccm->thread_joinable = 0;
  return 0;
}
