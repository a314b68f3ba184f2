// The network thread's reader of one channel: a single receive call into the
// channel's receive buffer, then every complete frame cut out, classified and
// handed to the processor thread on the context's recvq: the frames of one call
// in one step, in messages taken from the pool in one step. A frame longer than a
// standard message is received straight into the message that will carry it, so
// the buffer stays small; that message grows with the bytes that came, never with
// the length a header merely announces, and the bytes of such frames are counted
// against the context's max_partial_input. A frame that cannot be cut or read ends
// the channel; running out of memory never lets a frame be delivered twice.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>

#include "error_util.h"
#include "flow_control.h"
#include "msg_pool.h"
#include "output_state.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/reader.h"
#include "qm7/runtime/protocol_header.h"
#include "qm7/runtime/trace.h"
#include "reader_internal.h"
#include "wakeup.h"

namespace qm7::ccm {
namespace detail {

void* default_recv_buffer_alloc(size_t size) { return std::calloc(1, size); }

ccm_msg_t* default_frame_msg_alloc(ccm_context_t* ccm, size_t room, FrameStock* stock,
                                   ccm_error_t* ccmerr) {
  if (room <= kFirstFrameRoom) {
    if (stock->msgs.head == nullptr) {
      msg_alloc_batch(ccm, std::max(stock->wanted, 1), &stock->msgs, ccmerr);
    }
    if (stock->wanted > 0) --stock->wanted;
    return ccm_queue_pop(&stock->msgs);
  }
  // A block's data area is twice its size: half the room is enough, and a block of the room's
  // own size would reserve twice what the frame can ever use.
  return msg_alloc_owned(ccm, static_cast<int>((room + 1) / 2), ccmerr);
}

static_assert(kFirstFrameRoom == 2 * static_cast<size_t>(CCM_MSG_STD_SIZE));

RecvBufferAlloc recv_buffer_alloc = default_recv_buffer_alloc;
FrameMsgAlloc frame_msg_alloc = default_frame_msg_alloc;

}  // namespace detail

namespace {

// The 8 bytes of a length field as printable text for an insert (other bytes
// shown as '.').
void printable_length_field(const unsigned char* p, char (&out)[9]) {
  for (size_t i = 0; i < 8; ++i)
    out[i] = (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
  out[8] = '\0';
}

// Records the channel's failure (logged when the channel is destroyed) and the
// caller's.
void record_failure(ccm_channel_t* ccmch, ccm_error_t* ccmerr, const char* insert) {
  ccmch->msgnr = CCM_MSGNR_RECV_FAILED;
  std::snprintf(ccmch->msginsert, sizeof ccmch->msginsert, "%s", insert);
  set_error(ccmerr, CCM_MSGNR_RECV_FAILED, "%s", insert);
}

// Ends a channel whose byte stream cannot be read on: what is held is dropped,
// so nothing further is cut from it.
void end_channel(ccm_context_t* ccm, ccm_channel_t* ccmch) {
  ccmch->recv_pos = 0;
  ccm_channel_delete(ccm, ccmch);
}

// Moves the `rest` bytes from `from` to the start of the receive buffer.
void keep_rest(ccm_channel_t* ccmch, size_t from, size_t rest) {
  if (rest > 0 && from > 0) std::memmove(ccmch->recv_buffer, ccmch->recv_buffer + from, rest);
  ccmch->recv_pos = static_cast<int>(rest);
}

// The frames cut from one receive call, and the messages taken for them. When the call is done
// (whatever way it ends) the frames join recvq together under one queue_lock, the unused
// messages go back to the pool in the same step, and the processor thread gets one wake-up when
// recvq was empty: it looks at the queue before it waits, so that byte announces everything
// appended behind it. A frame restarts the channel's idle time.
class FrameBatch {
 public:
  FrameBatch(ccm_context_t* ccm, ccm_channel_t* ccmch) : ccm_(ccm), ch_(ccmch) {}
  ~FrameBatch() { hand_over(); }
  FrameBatch(const FrameBatch&) = delete;
  FrameBatch& operator=(const FrameBatch&) = delete;

  FrameStock* stock() { return &stock_; }
  // A whole frame, classified: it carries how many messages the channel had written by now.
  void add(ccm_msg_t* msg) {
    msg->out_written = ch_->out_written;  // written by this thread only
    ccm_queue_append(&frames_, msg);
  }

 private:
  void hand_over() {
    if (frames_.head == nullptr && stock_.msgs.head == nullptr) return;
    if (frames_.head != nullptr) ch_->last_msg_time = qm7::monotonic_ms();
    ccm_msg_t* release = nullptr;
    ccm_queue_lock(ccm_);
    const bool wake = ccm_->recvq.head == nullptr && frames_.head != nullptr;
    while (ccm_msg_t* msg = ccm_queue_pop(&frames_)) recvq_append(ccm_, msg);
    msg_free_batch_locked(ccm_, ccm_queue_take_all(&stock_.msgs), &release);
    ccm_queue_unlock(ccm_);
    release_blocks(release);
    if (wake) wakeup_processor_for_append(ccm_);
  }

  ccm_context_t* ccm_;
  ccm_channel_t* ch_;
  ccm_msg_queue_t frames_{nullptr, nullptr};
  FrameStock stock_;
};

// The descriptors that arrived as control data with one receive call. They belong to the
// messages cut from that call; when no message takes them (the frame with them is refused, cannot
// be allocated or is not complete yet), they are closed on the way out, so that no descriptor a
// peer passed stays open without an owner.
class ReceivedDescriptors {
 public:
  ReceivedDescriptors(const unsigned char* control, size_t len) : control_(control), len_(len) {}
  ~ReceivedDescriptors() {
    if (!handed_over_ && control_ != nullptr) close_all();
  }
  ReceivedDescriptors(const ReceivedDescriptors&) = delete;
  ReceivedDescriptors& operator=(const ReceivedDescriptors&) = delete;
  void handed_over() { handed_over_ = true; }

 private:
  void close_all() const {
    struct msghdr mh {};
    mh.msg_control = const_cast<unsigned char*>(control_);
    mh.msg_controllen = len_;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0))
        continue;
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
        QM7_TRACE("%s:      closing passed descriptor %d: no frame delivered with it",
                  "ccm_read_channel", fd);
        close_fd(fd);
      }
    }
  }

  const unsigned char* control_;
  size_t len_;
  bool handed_over_ = false;
};

// Ends the channel over a frame it cannot read, as the frame-length failure of the insert says.
int refuse_frame(ccm_channel_t* ccmch, ccm_context_t* ccm, ccm_error_t* ccmerr,
                 const unsigned char* field_bytes) {
  char field[9];
  printable_length_field(field_bytes, field);
  char insert[sizeof ccmch->msginsert];
  std::snprintf(insert, sizeof insert, "%s|invalid frame length '%s',S(%d(ID=%d))|", ccmch->name,
                field, ccmch->s, ccmch->ID);
  record_failure(ccmch, ccmerr, insert);
  end_channel(ccm, ccmch);
  QM7_TRACE("%s <-- (invalid frame length '%s')", "ccm_read_channel", field);
  return -1;
}

// A whole frame in `msg` (msg_start = buffer1, len = frame length): classified, given the
// control data of the receive call that completed it, and delivered. -1 when it cannot be read:
// the channel is ended and the message freed.
int finish_frame(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* msg,
                 const unsigned char* control, size_t control_len, ReceivedDescriptors* passed,
                 FrameBatch* batch, ccm_error_t* ccmerr) {
  const char* fn = "ccm_read_channel";
  msg->addr.src_ID = ccmch->ID;
  msg->addr.src_type = ccmch->type;
  if (trc_level()) {
    trcdump(msg->msg_start, msg->len, "complete message from channel(%p,s=%d/chID=%d,%s,flag=%.8X)",
            static_cast<void*>(ccmch), ccmch->s, ccmch->ID, ccmch->name,
            static_cast<unsigned>(ccm_flag_get(&ccmch->flag)));
  }
  if (ccm_classify_message(ccm, ccmch, msg, ccmerr) != 0) {
    char insert[sizeof ccmch->msginsert];
    std::snprintf(insert, sizeof insert, "%s|invalid message body,S(%d(ID=%d))|", ccmch->name,
                  ccmch->s, ccmch->ID);
    record_failure(ccmch, ccmerr, insert);
    msg_free_batch(ccm, msg);
    end_channel(ccm, ccmch);
    QM7_TRACE("%s <-- (qualifing message error)", fn);
    return -1;
  }
  if (control != nullptr && control_len > 0) {
    msg->control_len = std::min(control_len, sizeof msg->control_data);
    std::memcpy(msg->control_data, control, msg->control_len);
    if (trc_level()) trcdump(msg->control_data, static_cast<int>(msg->control_len), "control data");
    passed->handed_over();
  }
  batch->add(msg);
  return 0;
}

// The large frame being received into its own message, kept on the channel's recvq: `len` is the
// frame length, `pos` the bytes received so far. Null when there is none.
ccm_msg_t* frame_in_progress(ccm_channel_t* ccmch) { return ccmch->recvq.head; }

// Puts a message of the reader's on the channel's recvq, where it waits for the rest of its frame
// (and is freed with the channel should that never come).
void park_frame(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* msg) {
  ccmch_queue_lock(ccm, ccmch);
  ccm_queue_append(&ccmch->recvq, msg);
  ccmch_queue_unlock(ccm, ccmch);
}

// Takes the completed frame off the channel's recvq for delivery.
void unpark_frame(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* msg) {
  ccmch_queue_lock(ccm, ccmch);
  ccm_queue_unlink(&ccmch->recvq, msg);
  ccmch_queue_unlock(ccm, ccmch);
  msg->pos = 0;
}

// The bytes the message of a frame still arriving can hold: its data area, at most the frame.
size_t frame_room(const ccm_msg_t* big) {
  return std::min(2 * static_cast<size_t>(big->size), static_cast<size_t>(big->len));
}

// Moves the frame still arriving into a message with room for `need` bytes, which takes the old
// one's place on the channel's recvq. The room at least doubles, so that the bytes of a long
// frame are copied a bounded number of times in all; it never passes the frame's length. Returns
// the new message, or null (3301 in the caller's record) with the old one kept as it was.
ccm_msg_t* grow_frame(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* big, size_t need,
                      FrameStock* stock, ccm_error_t* ccmerr) {
  const size_t room = std::min(std::max(need, 2 * frame_room(big)), static_cast<size_t>(big->len));
  QM7_TRACE("%s:      large frame room %zu ==> %zu", "ccm_read_channel", frame_room(big), room);
  ccm_msg_t* grown = detail::frame_msg_alloc(ccm, room, stock, ccmerr);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown->buffer1, big->buffer1, static_cast<size_t>(big->pos));
  grown->len = big->len;
  grown->pos = big->pos;
  grown->msg_start = grown->buffer1;
  unpark_frame(ccm, ccmch, big);
  park_frame(ccm, ccmch, grown);
  msg_free_batch(ccm, big);
  return grown;
}

}  // namespace

int recv_buffer_reserve(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr) {
  if (ccmch->recv_pos < ccmch->recv_size) return 0;
  const int old_size = ccmch->recv_size;
  // Doubling keeps the copying of a long frame's bytes linear in its length; growing by a fixed
  // step would copy the held bytes again at every step.
  const int new_size = old_size == 0             ? kRecvFirstSize
                       : old_size <= INT_MAX / 2 ? 2 * old_size
                       : old_size < INT_MAX      ? INT_MAX
                                                 : 0;
  const char* fn = "ccm_read_channel";
  QM7_TRACE("%s:         resize buffer at %p: %d ==> %d", fn,
            static_cast<void*>(ccmch->recv_buffer), old_size, new_size);
  char* grown = new_size > 0
                    ? static_cast<char*>(detail::recv_buffer_alloc(static_cast<size_t>(new_size)))
                    : nullptr;
  if (grown == nullptr) {
    // A channel without room for its next byte can never make progress: end it.
    const int line = __LINE__;
    set_no_memory(ccmerr, "RECVBUFF", CCM_MODULE_CCM, line);
    ccmch->msgnr = CCM_MSGNR_NO_MEMORY;
    std::snprintf(ccmch->msginsert, sizeof ccmch->msginsert, "RECVBUFF/%s(%d)", CCM_MODULE_CCM,
                  line);
    end_channel(ccm, ccmch);
    QM7_TRACE("%s <-- (calloc error, receive buffer)", fn);
    return -1;
  }
  if (ccmch->recv_pos > 0)
    std::memcpy(grown, ccmch->recv_buffer, static_cast<size_t>(ccmch->recv_pos));
  std::free(ccmch->recv_buffer);
  ccmch->recv_buffer = grown;
  ccmch->recv_size = new_size;
  return 0;
}

namespace {

// How many whole frames that a standard message holds lie at the start of `held`, one behind the
// other.
int count_whole_frames(std::span<const unsigned char> held, size_t max_len) {
  int count = 0;
  while (held.size() >= kMinHeldForLength) {
    const FrameResult frame = cut_frame(held, max_len);
    if (frame.cut != FrameCut::kFrame) break;
    if (frame.length <= kFirstFrameRoom) ++count;
    held = held.subspan(frame.length);
  }
  return count;
}

// Cuts and delivers the frames held, as take_frames does, without counting what stays partial.
int cut_frames(ccm_context_t* ccm, ccm_channel_t* ccmch, const unsigned char* control,
               size_t control_len, ccm_error_t* ccmerr) {
  const char* fn = "ccm_read_channel";
  const size_t held = static_cast<size_t>(ccmch->recv_pos);
  const auto* buf = reinterpret_cast<const unsigned char*>(ccmch->recv_buffer);
  size_t cursor = 0;
  ReceivedDescriptors passed(control_len > 0 ? control : nullptr, control_len);
  FrameBatch batch(ccm, ccmch);

  if (ccm_msg_t* big = frame_in_progress(ccmch)) {
    // The bytes held continue the large frame (ccm_read_channel receives them straight into it
    // while it has room; what came behind that is in the buffer then).
    const size_t part = std::min(held, static_cast<size_t>(big->len - big->pos));
    if (big->pos + part > frame_room(big)) {
      big = grow_frame(ccm, ccmch, big, big->pos + part, batch.stock(), ccmerr);
      if (big == nullptr) {
        QM7_TRACE("%s <-- (msg alloc error, message queue)", fn);
        return -1;  // the bytes stay held for the next try
      }
    }
    if (part > 0) std::memcpy(big->buffer1 + big->pos, buf, part);
    big->pos += static_cast<int>(part);
    cursor = part;
    if (big->pos < big->len) {
      keep_rest(ccmch, cursor, held - cursor);
      QM7_TRACE("%s <-- (large frame pos(%d) < len(%d))", fn, big->pos, big->len);
      return 0;
    }
    unpark_frame(ccm, ccmch, big);
    if (finish_frame(ccm, ccmch, big, control, control_len, &passed, &batch, ccmerr) != 0) {
      return -1;
    }
  }

  // The messages for the whole frames that follow are taken from the pool in one step.
  batch.stock()->wanted = count_whole_frames({buf + cursor, held - cursor}, ccm->max_frame_len);
  while (held - cursor >= kMinHeldForLength) {
    QM7_TRACE("%s:      datalen_in_buffer = %zu", fn, held - cursor);
    const FrameResult frame = cut_frame({buf + cursor, held - cursor}, ccm->max_frame_len);
    if (frame.cut == FrameCut::kBadLength) return refuse_frame(ccmch, ccm, ccmerr, buf + cursor);
    if (frame.cut == FrameCut::kNeedMore &&
        (frame.length <= kLargeFrame || held - cursor < kFrameStartInBuffer)) {
      QM7_TRACE("%s:      not enough data pos(%zu) < len(%zu)", fn, held - cursor, frame.length);
      break;
    }

    // A long frame that has not come whole gets room for what came, not for what its header
    // announces: a peer that stops sending holds only the bytes it sent. Up to kWholeFrameRoom
    // the frame gets its room at once, as copying it while it grows would cost more than the
    // room a header can claim.
    const size_t part = std::min(frame.length, held - cursor);
    const size_t room = frame.cut == FrameCut::kFrame || frame.length <= kWholeFrameRoom
                            ? frame.length
                            : std::max(kFirstFrameRoom, part);
    ccm_msg_t* msg = detail::frame_msg_alloc(ccm, room, batch.stock(), ccmerr);
    if (msg == nullptr) {
      // The frames delivered so far leave the buffer now, so the next read
      // cannot cut them again.
      keep_rest(ccmch, cursor, held - cursor);
      QM7_TRACE("%s <-- (msg alloc error, message queue)", fn);
      return -1;
    }
    std::memcpy(msg->buffer1, buf + cursor, part);
    msg->len = static_cast<int>(frame.length);
    msg->msg_start = msg->buffer1;
    cursor += part;
    if (frame.cut == FrameCut::kNeedMore) {
      // A large frame: the rest is received into this message.
      msg->pos = static_cast<int>(part);
      park_frame(ccm, ccmch, msg);
      QM7_TRACE("%s:      large frame pos(%zu) < len(%zu)", fn, part, frame.length);
      break;
    }
    if (finish_frame(ccm, ccmch, msg, control, control_len, &passed, &batch, ccmerr) != 0) {
      return -1;
    }
  }

  keep_rest(ccmch, cursor, held - cursor);
  QM7_TRACE("%s <-- (datalen=%zu,pos=%d)", fn, held - cursor, ccmch->recv_pos);
  return 0;
}

}  // namespace

int take_frames(ccm_context_t* ccm, ccm_channel_t* ccmch, const unsigned char* control,
                size_t control_len, ccm_error_t* ccmerr) {
  const int rslt = cut_frames(ccm, ccmch, control, control_len, ccmerr);
  const ccm_msg_t* big = frame_in_progress(ccmch);
  const size_t partial = big != nullptr ? static_cast<size_t>(big->pos) : 0;
  if (partial != ccmch->partial_bytes) {
    ccm_queue_lock(ccm);
    count_partial(ccm, ccmch, partial);
    ccm_queue_unlock(ccm);
  }
  return rslt;
}

}  // namespace qm7::ccm

int ccm_read_channel(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(channel(%p,s=%d/chID=%d,%s)) -->", __func__, static_cast<void*>(ccmch), ccmch->s,
            ccmch->ID, ccmch->name);
  if (ccm_flag_test(&ccmch->flag, CCM_FLAG_DELETED)) {
    QM7_TRACE("%s <-- (channel deleted)", __func__);
    return -1;
  }
  // A channel holding a frame still arriving waits while such frames hold too much, and takes no
  // more into its frame than the bound has room for.
  ccm_msg_t* big = qm7::ccm::frame_in_progress(ccmch);
  size_t room = SIZE_MAX;
  if (big != nullptr && !qm7::ccm::partial_input_open(ccm, &room)) {
    QM7_TRACE("%s <-- (partial frames above their bound)", __func__);
    return 0;
  }
  if (qm7::ccm::recv_buffer_reserve(ccm, ccmch, ccmerr) != 0) return -1;
  if (!ccm_flag_test(&ccmch->flag, CCM_FLAG_BINDADDR) &&
      ccm_channel_bindaddr_inquire(ccm, ccmch, ccmerr) != 0) {
    QM7_TRACE("%s <-- (bind address error)", __func__);
    return -1;
  }

  // A large frame in progress takes the bytes first, straight into its message as far as it has
  // room; what follows goes to the receive buffer in the same call. Bytes the buffer still holds
  // (its message could not grow) come before any new ones, so then all go behind them.
  struct iovec iov[2];
  int parts = 0;
  ccm_msg_t* const direct = ccmch->recv_pos == 0 ? big : nullptr;
  if (direct != nullptr) {
    const size_t space = qm7::ccm::frame_room(direct) - static_cast<size_t>(direct->pos);
    iov[parts++] = {direct->buffer1 + direct->pos, std::min(space, room)};
  }
  iov[parts++] = {ccmch->recv_buffer + ccmch->recv_pos,
                  static_cast<size_t>(ccmch->recv_size - ccmch->recv_pos)};
  alignas(struct cmsghdr) unsigned char control[256];
  struct msghdr mh {};
  mh.msg_iov = iov;
  mh.msg_iovlen = static_cast<size_t>(parts);
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  ccmch->timestamp_last_io = time(nullptr);
  QM7_TRACE("%s:      recvmsg(pos=%d) -->", __func__, ccmch->recv_pos);
  const ssize_t rslt = recvmsg(ccmch->s, &mh, 0);
  const int err = errno;
  QM7_TRACE("%s:      recvmsg(...) <-- (rslt=%zd)", __func__, rslt);

  if (rslt < 0 && (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)) {
    // Readiness that came to nothing is no failure of the channel: try again in
    // the next pass.
    QM7_TRACE("%s <-- (nothing to read: %d-%s)", __func__, err, strerror(err));
    return 0;
  }
  if (rslt <= 0) {
    if (rslt < 0) {
      qm7::ccm::fail_receive(ccm, ccmch, err);
    } else {
      ccm_channel_delete(ccm, ccmch);
    }
    QM7_TRACE("%s <-- (receive error)", __func__);
    return -1;
  }

  QM7_TRACE("%s:      control_len = %u", __func__, static_cast<unsigned>(mh.msg_controllen));
  size_t into_buffer = static_cast<size_t>(rslt);
  if (direct != nullptr) {
    const size_t into_big = std::min(into_buffer, iov[0].iov_len);
    if (trc_level()) trcdump(iov[0].iov_base, static_cast<int>(into_big), "recvmsg() data");
    direct->pos += static_cast<int>(into_big);
    into_buffer -= into_big;
  }
  if (trc_level() && into_buffer > 0)
    trcdump(iov[parts - 1].iov_base, static_cast<int>(into_buffer), "recvmsg() data");
  ccmch->recv_pos += static_cast<int>(into_buffer);
  return qm7::ccm::take_frames(ccm, ccmch, mh.msg_controllen > 0 ? control : nullptr,
                               mh.msg_controllen, ccmerr);
}
