// The main thread's view of the agent connection. The network thread owns every socket; the
// main thread only looks at the agent's socket under channel_lock, which keeps the channel
// (and so its descriptor) from being destroyed meanwhile.
#include "agent_channel.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "qm7/ccm/connect.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/recv.h"
#include "qm7/messenger/context.h"
#include "qm7/runtime/trace.h"

namespace qm7::detail {
namespace {

// A message taken off the receive queue without a wait leaves its wake-up byte in the pipe, and
// the next wait would return at once with nothing. While the queue is empty, such bytes
// announce nothing and are dropped. The producer appends before it writes its byte, so a byte
// read here never belongs to a message that is not yet on the queue.
void drop_stale_wakeups() {
  for (;;) {
    ccm_queue_lock(::ccm);
    const bool empty = ::ccm->recvq.head == nullptr;
    ccm_queue_unlock(::ccm);
    struct pollfd p = {::ccm->processor_wakeup[0], POLLIN, 0};
    if (!empty || poll(&p, 1, 0) <= 0) return;
    char byte;
    if (read(::ccm->processor_wakeup[0], &byte, 1) != 1) return;
  }
}

}  // namespace

int receive_until(run_clock::time_point deadline, ccm_error_t* ccmerr) {
  ccmmsg = nullptr;
  for (;;) {
    // The channel manager is asked only when something is queued, so that a wait made of many
    // short ones (and its trace) costs nothing while nothing arrives.
    drop_stale_wakeups();
    ccm_queue_lock(::ccm);
    const bool queued = ::ccm->recvq.head != nullptr;
    ccm_queue_unlock(::ccm);
    if (queued) {
      const int got = ccm_receive_message(::ccm, 0, &ccmmsg, ccmerr);
      if (got != 0) return got;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - run_clock::now()).count();
    if (left <= 0) return 0;
    struct pollfd p = {::ccm->processor_wakeup[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) < 0) return 0;  // a signal ends it as a time-out
  }
}

int receive_on(int channel, run_clock::time_point deadline, ccm_error_t* ccmerr) {
  for (;;) {
    const int got = receive_until(deadline, ccmerr);
    if (got != 1 || channel_of(ccmmsg) == channel) return got;
    QM7_TRACE("%s:      message of an earlier connection ignored", "main");
    ccm_msg_free(::ccm, ccmmsg);
    ccmmsg = nullptr;
  }
}

bool is_close_notice(const ccm_msg_t* msg, size_t min_len) {
  return ccm_msg_is_internal(msg) && msg->len >= static_cast<int>(min_len) &&
         strncmp(reinterpret_cast<const char*>(msg->msg_start), IPCMSG_CHANNEL_CLOSE,
                 IPCMSG_TYPE_NAME_LEN) == 0;
}

int channel_of(const ccm_msg_t* msg) {
  if (is_close_notice(msg, sizeof(ipcmsg_channel_close_t))) {
    int id;
    memcpy(&id,
           msg->msg_start + offsetof(ipcmsg_channel_close_t, ccmch) + offsetof(ccm_channel_t, ID),
           sizeof(id));
    return id;
  }
  return msg->addr.src_ID;
}

std::string close_reason(const ccm_msg_t* msg) {
  if (msg->len < static_cast<int>(sizeof(ipcmsg_channel_close_t))) {
    return "the connection was closed";
  }
  // The record sits in the message's data area, which is not aligned for it: copy it out.
  ccm_channel_t closed;
  memcpy(&closed, msg->msg_start + offsetof(ipcmsg_channel_close_t, ccmch), sizeof(closed));
  closed.msginsert[sizeof(closed.msginsert) - 1] = '\0';
  if (closed.msgnr == 0) return "the agent closed the connection";
  char text[1200];
  snprintf(text, sizeof(text), "the connection failed: %s (message %d)", closed.msginsert,
           closed.msgnr);
  return text;
}

// Messages only move forward (sendq, dispatch list, channel sendq, written), so looking at the
// context's queues before the channel's never misses one in transit.
record_progress look_at_record(int agentID) {
  record_progress p;
  ccm_queue_lock(::ccm);
  p.queued = ::ccm->sendq.head != nullptr || ::ccm->msgq_2dispatch.head != nullptr;
  ccm_queue_unlock(::ccm);
  ccm_channel_t* ch = ccm_channel_getbyID(::ccm, agentID);  // returns with channel_lock held
  if (ch == nullptr) {
    p.gone = true;
    return p;
  }
  ccmch_queue_lock(::ccm, ch);
  p.queued = p.queued || ch->sendq.head != nullptr;
  ccmch_queue_unlock(::ccm, ch);
  int unsent = 0;
  if (ch->s >= 0 && ioctl(ch->s, SIOCOUTQ, &unsent) == 0) p.unsent = unsent;
  ccm_channel_unlock(::ccm);
  return p;
}

void end_connection(int agentID, bool abort) {
  ccm_channel_t* ch = ccm_channel_getbyID(::ccm, agentID);  // returns with channel_lock held
  if (ch == nullptr) return;
  ccm_error_t unused;
  ccm_set_linger(::ccm, ch, abort ? 1 : 0, 0, &unused);
  ccm_channel_unlock(::ccm);
}

}  // namespace qm7::detail
