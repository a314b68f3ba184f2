// The reader's pure framer and element checks, its steps after a receive call and its allocation
// seams for tests. Internal to the channel manager (the tests and the fuzz target use it too).
#ifndef QM7_SRC_CCM_READER_INTERNAL_H_
#define QM7_SRC_CCM_READER_INTERNAL_H_

#include <cstddef>
#include <span>

#include "qm7/ccm/queue.h"
#include "qm7/ccm/reader.h"

namespace qm7::ccm {

inline constexpr int kRecvFirstSize = 8192;      // first receive buffer; doubled when full
inline constexpr size_t kMinHeldForLength = 10;  // fewer held bytes are not examined
inline constexpr size_t kMinFrameLength = 48;    // a frame is at least its header
inline constexpr size_t kLargeFrame = 32768;     // longer frames are received into their message
// The room a large frame gets when its header arrives without the rest: the data area of a
// standard message. It doubles as the bytes come, up to the frame's length.
inline constexpr size_t kFirstFrameRoom = 65536;
// A frame up to this long gets its whole room when its header arrives; a longer one starts at
// kFirstFrameRoom and grows with its bytes.
inline constexpr size_t kWholeFrameRoom = 256 * 1024;
// A large frame of which fewer bytes came stays in the receive buffer, which every channel has:
// a header alone reserves nothing more.
inline constexpr size_t kFrameStartInBuffer = 4096;
static_assert(kFrameStartInBuffer < static_cast<size_t>(kRecvFirstSize));
inline constexpr size_t kTrailerWorkArea = 256;  // sender trailer bytes that are read

// The outcome of looking at the bytes held at the start of a receive buffer.
enum class FrameCut {
  kNeedMore,   // fewer than 10 bytes, or fewer than the frame length: wait for more
  kFrame,      // a whole frame of `length` bytes is held
  kBadLength,  // the length field is not a decimal number from 48 to the maximum: protocol error
};

struct FrameResult {
  FrameCut cut;
  size_t length;  // the frame length when it could be read, else 0
};

// Pure framer: looks at the first frame of `held`, refusing a length beyond `max_len`. Never
// reads past `held`.
FrameResult cut_frame(std::span<const unsigned char> held, size_t max_len);

// The length of form `keylen` of the element at the start of `rest`, checked against its end:
// -1 when the key and length bytes or the data do not fit in `rest`, the 7-digit length is not
// decimal, or `keylen` is not 1, 2, 4 or 7.
long element_size(std::span<const unsigned char> rest, int keylen);

// The length form of a key of the native body (1, 2, 4 or 7), or 0 for a key outside the table.
int element_form(unsigned char key);

// The reader after its receive call: cuts the frames among the recv_pos bytes held in the
// channel's receive buffer and delivers them as ccm_read_channel does, all of them to recvq in one
// step with one wake-up; when a large frame is in progress the bytes held continue it first, its
// message growing to hold them. `control` (may be null) is the ancillary data of the receive call,
// given to each message completed. Counts the bytes of the frame left in progress in the channel's
// and the context's partial_bytes. Returns as ccm_read_channel; when a message cannot be had
// (3301), the frames cut before are delivered and the bytes not taken stay held for the next call.
// Network thread.
int take_frames(ccm_context_t* ccm, ccm_channel_t* ccmch, const unsigned char* control,
                size_t control_len, ccm_error_t* ccmerr);

// Grows the channel's receive buffer when it is full (recv_pos == recv_size): to 8192 bytes at
// first, then to twice its size, keeping the bytes held. Returns 0, or -1 when it cannot grow: the
// caller's record and the channel get 3301 "RECVBUFF", the channel is deleted. Network thread.
int recv_buffer_reserve(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

// Standard messages the reader takes from the pool in one step for the whole frames of one
// receive call (msg_alloc_batch); what it does not use goes back in the step that delivers the
// frames.
struct FrameStock {
  ccm_msg_queue_t msgs{nullptr, nullptr};
  int wanted = 0;  // whole frames still to be cut that a standard message holds
};

namespace detail {

// Allocation seams of the reader, so tests can make memory run out at a chosen point. Replace
// them only while no network thread runs; restore the defaults afterwards.
using RecvBufferAlloc = void* (*)(size_t size);  // zero-filled, like calloc(1, size)
// A message on no queue whose data area holds `room` bytes of a frame: a standard one from
// `stock` (refilled from the pool when empty) when it fits, else a large one of its own.
using FrameMsgAlloc = ccm_msg_t* (*)(ccm_context_t* ccm, size_t room, FrameStock* stock,
                                     ccm_error_t* ccmerr);

void* default_recv_buffer_alloc(size_t size);
ccm_msg_t* default_frame_msg_alloc(ccm_context_t* ccm, size_t room, FrameStock* stock,
                                   ccm_error_t* ccmerr);

extern RecvBufferAlloc recv_buffer_alloc;
extern FrameMsgAlloc frame_msg_alloc;

}  // namespace detail
}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_READER_INTERNAL_H_
