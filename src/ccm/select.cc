// One pass of the network thread: merge the channels chained since the last pass, dispatch the
// queued messages, wait in select() on every live channel and the wake-up pipe, then accept,
// read and write. The flow-control decisions it applies are in flow_control.cc, the pacing of
// accepts in accept.cc. The descriptor sets hold 65 536 bits, so descriptors of 1024 and above are
// waited on safely. channelq is walked without channel_lock: while the thread runs only it
// changes that list (merging, destroying), and other threads add channels to channel_newq only.
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "accept.h"
#include "channel_text.h"
#include "channel_timers.h"
#include "error_util.h"
#include "flow_control.h"
#include "msg_pool.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/reader.h"
#include "qm7/ccm/thread.h"
#include "qm7/ccm/writer.h"
#include "qm7/runtime/ctools.h"
#include "qm7/runtime/datetime.h"
#include "qm7/runtime/fdset.h"
#include "qm7/runtime/trace.h"
#include "wakeup.h"

namespace {

// The three sets of one pass (8192 bytes each), on the network thread's stack and cleared at
// the start of the pass.
struct SelectSets {
  ccm_fd_set read;
  ccm_fd_set write;
  ccm_fd_set error;
};

constexpr size_t kListText = 1024;  // descriptor lists in trace lines and inserts are cut here

// A descriptor the sets cannot hold is never waited on: the channel is given up instead of
// being served by a write outside the set.
void refuse_descriptor(ccm_context_t* ccm, ccm_channel_t* ch) {
  ch->msgnr = CCM_MSGNR_SYSCALL;
  snprintf(ch->msginsert, sizeof(ch->msginsert), "select()|descriptor out of range,S(%d(ID=%d))|",
           ch->s, ch->ID);
  ccm_channel_delete(ccm, ch);
}

// After select() refused the sets as holding a bad descriptor: every channel whose socket is
// no longer open is deleted, so that the next pass serves the others again.
void drop_closed_descriptors(ccm_context_t* ccm, int err) {
  for (ccm_channel_t* ch = ccm->channelq.head; ch != nullptr; ch = ch->nxt) {
    if (ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) || ch->type == CCM_TYPE_PASSIVE) continue;
    if (fcntl(ch->s, F_GETFD) != -1 || errno != EBADF) continue;
    ch->msgnr = CCM_MSGNR_SYSCALL;
    snprintf(ch->msginsert, sizeof(ch->msginsert), "select()|%d(%s),S(%d(ID=%d))|", err,
             strerror(err), ch->s, ch->ID);
    ccm_channel_delete(ccm, ch);
  }
}

constexpr int kWordBits = CHAR_BIT * sizeof(unsigned long);

// The highest descriptor a pass can put into the sets: those of the channels it may wait on and
// the wake-up pipe's read end.
int highest_descriptor(ccm_context_t* ccm) {
  const int wake = ccm->network_wakeup[0];
  int highest = wake >= 0 && wake < CCM_FD_SETSIZE ? wake : 0;
  for (ccm_channel_t* ch = ccm->channelq.head; ch != nullptr; ch = ch->nxt) {
    if (ch->s > highest && ch->s < CCM_FD_SETSIZE) highest = ch->s;
  }
  return highest;
}

// Clears the words of `set` that hold descriptors 0 to `highest`. Nothing reads a bit above
// the pass's highest descriptor (select() is given highest + 1, and only channels waited on
// are tested), so clearing 24 KiB per pass for a handful of descriptors would be wasted.
void clear_up_to(ccm_fd_set* set, int highest) {
  std::memset(set->fds_bits, 0, (static_cast<size_t>(highest) / kWordBits + 1) * sizeof(long));
}

// Builds the sets; returns the highest descriptor.
int fill_sets(ccm_context_t* ccm, SelectSets* sets, long long* nearest) {
  const long long now = qm7::monotonic_ms();
  const bool read_any = qm7::ccm::reading_allowed(ccm);
  // Channels holding a frame still arriving sit out while such frames hold too much; the others
  // are read, so that complete frames and new connections still get through.
  const bool read_partial = qm7::ccm::partial_input_open(ccm, nullptr);
  const int highest = highest_descriptor(ccm);
  clear_up_to(&sets->read, highest);
  clear_up_to(&sets->write, highest);
  clear_up_to(&sets->error, highest);
  int maxfd = 0;
  const bool paused = qm7::ccm::accept_paused(ccm);
  for (ccm_channel_t* ch = ccm->channelq.head; ch != nullptr; ch = ch->nxt) {
    const bool deleted = ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) != 0;
    if (trc_level()) {
      __trace_text(0, "%s:        ==> %s", "ccm_network_select",
                   qm7::ccm::channel_long(ch).c_str());
    }
    if (deleted) {
      ccm_flag_set(&ccm->flag, CCM_CTX_DELETED);
      continue;
    }
    if (ch->type == CCM_TYPE_PASSIVE) continue;
    if (ch->s < 0 || ch->s >= CCM_FD_SETSIZE) {
      refuse_descriptor(ccm, ch);
      continue;
    }
    const bool sits_out = ch->type == CCM_TYPE_LISTEN
                              ? paused
                              : !read_any || (!read_partial && ch->partial_bytes > 0);
    const qm7::ccm::OutputState out = qm7::ccm::output_state(ccm, ch);
    if (!qm7::ccm::check_channel_timers(ccm, ch, now, nearest)) {
      ccm_flag_set(&ccm->flag, CCM_CTX_DELETED);
      continue;
    }
    if (!ccm_flag_test(&ch->flag, CCM_FLAG_NOREAD) && !sits_out && out.read) {
      ccm_fdset_add(&sets->read, ch->s);
    }
    ccm_fdset_add(&sets->error, ch->s);
    // A connect in progress ends when the socket turns writable.
    if (out.pending || ccm_flag_test(&ch->flag, CCM_FLAG_CONNECT_WAIT)) {
      ccm_fdset_add(&sets->write, ch->s);
    }
    if (ch->s > maxfd) maxfd = ch->s;
  }
  const int wake = ccm->network_wakeup[0];
  if (wake >= 0 && wake < CCM_FD_SETSIZE) {
    ccm_fdset_add(&sets->read, wake);
    if (wake > maxfd) maxfd = wake;
  }
  return maxfd;
}

void serve_ready_channels(ccm_context_t* ccm, SelectSets* sets, ccm_error_t* ccmerr) {
  ccm_channel_t* next = nullptr;
  for (ccm_channel_t* ch = ccm->channelq.head; ch != nullptr; ch = next) {
    next = ch->nxt;
    if (ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) || ch->type == CCM_TYPE_PASSIVE) continue;
    if (ccm_fdset_isset(&sets->read, ch->s)) {
      if (ch->type == CCM_TYPE_LISTEN) {
        qm7::ccm::accept_waiting(ccm, ch, ccmerr);
        continue;
      }
      if (ccm_read_channel(ccm, ch, ccmerr) != 0) continue;
    }
    if (!ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) && ccm_fdset_isset(&sets->write, ch->s)) {
      if (ccm_flag_test(&ch->flag, CCM_FLAG_CONNECT_WAIT)) qm7::ccm::finish_connect(ccm, ch);
      if (!ccm_flag_test(&ch->flag, CCM_FLAG_DELETED)) ccm_write_channel(ccm, ch, ccmerr);
    }
  }
}

}  // namespace

int ccm_channel_merge_newq(ccm_context_t* ccm) {
  const long long now = qm7::monotonic_ms();
  while (ccm_channel_t* ch = ccm_queue_pop(&ccm->channel_newq)) {
    ch->last_msg_time = now;  // a connection's idle time counts from here
    ccm_queue_append(&ccm->channelq, ch);
  }
  return 0;
}

int ccm_network_select(ccm_context_t* ccm, int stimeout, ccm_error_t* ccmerr) {
  SelectSets set_storage;
  SelectSets* sets = &set_storage;
  QM7_TRACE("%s(ccm=%p, sizeof(fd_read) = %d) -->", __func__, static_cast<void*>(ccm),
            static_cast<int>(sizeof(sets->read)));
  ccm_channel_lock(ccm);
  if (ccm->channel_newq.head != nullptr) ccm_channel_merge_newq(ccm);
  ccm_channel_unlock(ccm);

  ccm_dispatch_send_messages(ccm);

  long long nearest = -1;  // the nearest channel deadline, monotonic ms; -1: none
  const int maxfd = fill_sets(ccm, sets, &nearest);
  // The pool's trim is a deadline too, while it keeps blocks a burst left.
  const long long trim_due = qm7::ccm::msg_pool_trim(ccm, qm7::monotonic_ms());
  if (trim_due >= 0 && (nearest < 0 || trim_due < nearest)) nearest = trim_due;
  char rtext[kListText];
  char wtext[kListText];
  if (trc_level()) {
    __trace_text(0, "%s:         select(maxfd=%d,READ[%s],WRITE[%s]) -->", __func__, maxfd,
                 fdset2string_bounded(rtext, sizeof(rtext), &sets->read, maxfd),
                 fdset2string_bounded(wtext, sizeof(wtext), &sets->write, maxfd));
  }
  // The insert of a failed select names the sets it was given, so keep a copy of their words
  // before select() overwrites them; they are turned into text only when it fails.
  ccm_fd_set rbefore;
  ccm_fd_set wbefore;
  const size_t used = (static_cast<size_t>(maxfd) / kWordBits + 1) * sizeof(long);
  std::memcpy(rbefore.fds_bits, sets->read.fds_bits, used);
  std::memcpy(wbefore.fds_bits, sets->write.fds_bits, used);

  long long wait_ms = static_cast<long long>(stimeout) * 1000;
  const long long pause_left = qm7::ccm::accept_pause_left_ms(ccm);
  if (pause_left >= 0 && stimeout > 0) wait_ms = pause_left;
  if (ccm_flag_test(&ccm->flag, CCM_CTX_DELETED)) {
    wait_ms = 0;  // channels ended while the sets were built are destroyed right after this pass
  } else if (nearest >= 0) {
    // Wake at the nearest deadline, so a channel's time-out is kept to the millisecond.
    const long long left = nearest - qm7::monotonic_ms();
    if (left < wait_ms) wait_ms = left > 0 ? left : 0;
  }
  struct timeval tv = {static_cast<time_t>(wait_ms / 1000),
                       static_cast<suseconds_t>(wait_ms % 1000 * 1000)};
  errno = 0;
  const int rslt = select(maxfd + 1, ccm_fdset_native(&sets->read), ccm_fdset_native(&sets->write),
                          ccm_fdset_native(&sets->error), &tv);
  const int err = errno;
  if (trc_level()) {
    __trace_text(0, "%s:         select(...) <-- (rslt=%d,READ[%s],WRITE[%s])", __func__, rslt,
                 fdset2string_bounded(rtext, sizeof(rtext), &sets->read, maxfd),
                 fdset2string_bounded(wtext, sizeof(wtext), &sets->write, maxfd));
  }
  if (rslt == 0) {
    QM7_TRACE("%s <-- (timeout)", __func__);
    return 0;
  }
  if (rslt < 0) {
    if (err == EINTR) {
      QM7_TRACE("%s <-- (signal wakeup)", __func__);
      return 0;
    }
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "select(%d,RSET[%s],WSET[%s])|%d-%s", maxfd + 1,
                        fdset2string_bounded(rtext, sizeof(rtext), &rbefore, maxfd),
                        fdset2string_bounded(wtext, sizeof(wtext), &wbefore, maxfd), err,
                        strerror(err));
    if (err == EBADF) drop_closed_descriptors(ccm, err);
    QM7_TRACE("%s <-- (select error: %d-%s)", __func__, err, strerror(err));
    return -1;
  }
  // Awake until the next pass begins, which dispatches what is sent meanwhile: no byte needed.
  qm7::ccm::network_thread_awake(ccm);
  const int wake = ccm->network_wakeup[0];
  if (wake >= 0 && ccm_fdset_isset(&sets->read, wake)) {
    QM7_TRACE("%s:      network woken up by other thread", __func__);
    // Every wake-up asks for a pass that starts after it was written: the next one merges,
    // dispatches and decides anew whatever the bytes announced.
    qm7::ccm::drain_wakeups(wake);
  }
  serve_ready_channels(ccm, sets, ccmerr);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}
