// The processor side of a context: taking received messages and notices off recvq, the bounded
// wait on the processor wake-up pipe, and the path on which internal IPC notices are posted.
// The processor thread takes what recvq holds in one step (up to CCM_RECV_BATCH_MAX messages) and
// hands the messages out one at a time without a lock. One byte "P" is written for a message that
// finds the queue empty, and one byte read per wait; a message found on the queue is taken without
// reading a byte, so a later wait may return at once.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "error_util.h"
#include "flow_control.h"
#include "output_state.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/host_interface.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/recv.h"
#include "qm7/runtime/trace.h"
#include "wakeup.h"

namespace {

std::atomic_ref<int> handed_out(ccm_context_t* ccm) {
  return std::atomic_ref<int>(ccm->recv_batch_next);
}

// Moves the head of recvq, up to CCM_RECV_BATCH_MAX messages, into the processor thread's batch
// and records their channels. Under queue_lock; the batch is empty. A batch no longer counts
// against max_queued_input, so it holds at most a quarter of that bound (or its first message):
// the input held in all stays within 1.25 times the bound, whatever the frames' sizes.
void take_batch(ccm_context_t* ccm) {
  const size_t bound = ccm->max_queued_input > 0 ? ccm->max_queued_input / 4 : SIZE_MAX;
  int n = 0;
  size_t bytes = 0;
  ccm_msg_t* last = nullptr;
  for (ccm_msg_t* m = ccm->recvq.head; m != nullptr && n < CCM_RECV_BATCH_MAX; m = m->nxt) {
    const size_t cost = qm7::ccm::queued_cost(m);
    if (n > 0 && bytes + cost > bound) break;
    ccm->recv_batch_ids[n++] = ccm_msg_is_internal(m) ? 0 : m->addr.src_ID;
    bytes += cost;
    last = m;
  }
  ccm->recv_batch_len = n;
  handed_out(ccm).store(0, std::memory_order_relaxed);
  if (n == 0) return;
  ccm->recv_batch = {ccm->recvq.head, last};
  ccm->recvq.head = last->nxt;
  if (ccm->recvq.head == nullptr) ccm->recvq.tail = nullptr;
  last->nxt = nullptr;
  ccm->recvq_bytes = ccm->recvq_bytes > bytes ? ccm->recvq_bytes - bytes : 0;
}

// The next message for the processor thread: from its batch, or from a batch taken now.
ccm_msg_t* take_head(ccm_context_t* ccm) {
  if (ccm->recv_batch.head == nullptr) {
    ccm_queue_lock(ccm);
    take_batch(ccm);
    // The network thread decides and records its pause under this lock too, so either it saw
    // the queue already drained, or the flag read here is its decision: no wake-up is lost.
    const bool wake = ccm->recv_batch.head != nullptr && ccm->recv_paused != 0 &&
                      ccm->recvq_bytes < ccm->max_queued_input / 2;
    ccm_queue_unlock(ccm);
    // The network thread stopped reading while recvq was full and waits only on its other
    // events: tell it that there is room again.
    if (wake) ccm_wakeup_network(ccm);
  }
  ccm_msg_t* msg = ccm_queue_pop(&ccm->recv_batch);
  if (msg != nullptr) {
    auto next = handed_out(ccm);
    next.store(next.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  return msg;
}

void report_wait_error(ccm_error_t* ccmerr, int fd, int err) {
  qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "select(processor_wakeup(%d))|%d-%s", fd, err,
                      strerror(err));
}

}  // namespace

int ccm_receive_message(ccm_context_t* ccm, int stimeout, ccm_msg_t** ccmmsg, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  ccm_msg_t* msg = take_head(ccm);
  if (msg == nullptr) {
    if (ccm_wait_processor(ccm, stimeout, ccmerr) != 0) {
      *ccmmsg = nullptr;
      QM7_TRACE("%s <-- (waiting condition error)", __func__);
      return -1;
    }
    msg = take_head(ccm);
  }
  *ccmmsg = msg;
  if (msg == nullptr) {
    QM7_TRACE("%s <-- (empty queue)", __func__);
    return 0;
  }
  QM7_TRACE("%s <-- (OK(ccmmsg=%p))", __func__, static_cast<void*>(msg));
  return 1;
}

int ccm_receive_wait(ccm_context_t* ccm, int timeout_ms, ccm_msg_t** ccmmsg, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(ccm=%p,timeout_ms=%d) -->", __func__, static_cast<void*>(ccm), timeout_ms);
  *ccmmsg = nullptr;
  const int fd = ccm->processor_wakeup[0];
  if (timeout_ms < 0 || fd < 0) {
    const int err = timeout_ms < 0 ? EINVAL : EBADF;
    report_wait_error(ccmerr, fd, err);
    QM7_TRACE("%s <-- (select error: %d-%s)", __func__, err, strerror(err));
    return -1;
  }
  const long long deadline = qm7::monotonic_ms() + timeout_ms;
  for (;;) {
    ccm_msg_t* msg = take_head(ccm);
    if (msg == nullptr) {
      // Bytes left by messages taken without a wait announce nothing. A producer appends before
      // it writes its byte, so after the drain the queue is looked at once more: a message
      // whose byte was drained is found there, and any later one writes a byte of its own.
      qm7::ccm::drain_wakeups(fd);
      msg = take_head(ccm);
    }
    if (msg != nullptr) {
      *ccmmsg = msg;
      QM7_TRACE("%s <-- (OK(ccmmsg=%p))", __func__, static_cast<void*>(msg));
      return 1;
    }
    const long long left = deadline - qm7::monotonic_ms();
    if (left <= 0) {
      QM7_TRACE("%s <-- (timeout)", __func__);
      return 0;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left)) < 0) {
      const int err = errno;
      if (err == EINTR) {
        QM7_TRACE("%s <-- (interrupted)", __func__);
        return CCM_WAIT_INTERRUPTED;
      }
      report_wait_error(ccmerr, fd, err);
      QM7_TRACE("%s <-- (select error: %d-%s)", __func__, err, strerror(err));
      return -1;
    }
  }
}

int ccm_wait_processor(ccm_context_t* ccm, int stimeout, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  const int fd = ccm->processor_wakeup[0];
  // poll waits on this one descriptor whatever its number (a 1024-bit select set could not hold
  // a descriptor of 1024 or more). A negative time-out is refused, as select refuses it, rather
  // than waiting forever; so is a wait on a pipe that does not exist.
  if (stimeout < 0 || fd < 0) {
    int err = stimeout < 0 ? EINVAL : EBADF;
    report_wait_error(ccmerr, fd, err);
    QM7_TRACE("%s <-- (select error: %d-%s)", __func__, err, strerror(err));
    return -1;
  }
  // The wait comes after the queue was found empty, when a byte is rarely waiting (one is
  // written only for a message that finds the queue empty): poll first, then read what it
  // reports.
  struct pollfd pfd = {fd, POLLIN, 0};
  int timeout_ms = stimeout > INT_MAX / 1000 ? INT_MAX : stimeout * 1000;
  int rslt = poll(&pfd, 1, timeout_ms);
  if (rslt == 0) {
    QM7_TRACE("%s <-- (timeout)", __func__);
    return 0;
  }
  if (rslt < 0) {
    int err = errno;
    if (err == EINTR) {
      QM7_TRACE("%s <-- (interrupt by system call)", __func__);
      return 0;
    }
    report_wait_error(ccmerr, fd, err);
    QM7_TRACE("%s <-- (select error: %d-%s)", __func__, err, strerror(err));
    return -1;
  }
  char byte;
  while (read(fd, &byte, 1) < 0 && errno == EINTR) {
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int send_IPC_internal(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  if (trc_level()) {
    char type_name[17] = {};
    memcpy(type_name, ccmmsg->msg_start, 16);
    __trace_text(0, "%s(type=%s,msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)) -->", __func__,
                 type_name, static_cast<void*>(ccmmsg), ccmmsg->ID,
                 static_cast<void*>(ccmmsg->msg_start), ccmmsg->len, ccmmsg->pos,
                 static_cast<unsigned>(ccmmsg->flag));
  }
  ccmmsg->type = CCM_MSGTYPE_IPC;
  ccmmsg->addr.src_ID = 0;
  if (trc_level()) trcdump(ccmmsg->msg_start, ccmmsg->len, "internal IPC message");
  ccm_queue_lock(ccm);
  ccm_queue_unlink(&ccm->msgq_inuse, ccmmsg);
  const bool was_empty = ccm->recvq.head == nullptr;
  qm7::ccm::recvq_append(ccm, ccmmsg);
  ccm_queue_unlock(ccm);
  if (was_empty) qm7::ccm::wakeup_processor_for_append(ccm);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

bool ccm_msg_is_internal(const ccm_msg_t* ccmmsg) {
  return ccmmsg != nullptr && ccmmsg->type == CCM_MSGTYPE_IPC && ccmmsg->addr.src_ID == 0;
}
