// Reading a channel: how the byte stream of a channel is cut into frames, how each frame's body
// is read into a ccm_msg_t, and how complete messages reach the processor thread's recvq. The
// cutting and reading are pure functions over bytes, so they can be tested and fuzzed without
// sockets; ccm_read_channel adds the one receive call per readable socket.
//
// Stream layout: frames back to back, each a 48-byte protocol header whose first 8 bytes hold
// the frame's total length as decimal digits, then the body. A native body is a sequence of
// elements: a key byte, a length in one of four forms, that many data bytes:
//
//   form  layout                                  element size
//      1  key, 1 length byte n, n bytes            n + 2
//      2  key, 2-byte length n (LSB first)         n + 3
//      4  key, 4-byte length n (LSB first)         n + 5
//      7  key, 7 decimal digits n, n bytes         n + 8
//
// Nothing in a frame is trusted: a length field that is not a decimal number of at least 48, or
// an element that runs past the end of its body, is a protocol error, never a read outside the
// frame.
#ifndef QM7_CCM_READER_H_
#define QM7_CCM_READER_H_

#include <cstddef>

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"
#include "qm7/ccm/msg.h"

// Reads what the channel's socket holds into its receive buffer (8192 bytes at first, doubled
// whenever it is full), cuts every complete frame out of it, classifies each into a message and
// appends it to the context's recvq, waking the processor thread when a message finds recvq
// empty. Keeps a trailing partial frame at the start of the buffer; a partial frame longer than
// 32768 bytes goes into the message that will carry it (parked on the channel's recvq), and the
// following receive calls fill that message directly. A frame longer than the context's
// max_frame_len is refused as soon as its length field has arrived. Network thread only, for a
// channel that is not listening. Returns 0 (also when the socket had nothing to read after all:
// EAGAIN or EINTR), or -1 when the channel is deleted (peer closed, receive error, invalid frame
// length or body: the channel's msgnr/msginsert say why), or when a message could not be
// allocated (the channel stays, the frames already delivered are gone from the buffer).
int ccm_read_channel(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

// The frame length from the 8-byte length field at `buffer`, which must have 8 readable bytes.
// Returns 0 when the field is not 8 decimal digits; the caller refuses any value below 48.
// `ccm` and `ccmch` are used for tracing only and may be null.
size_t ccm_get_msg_length(ccm_context_t* ccm, ccm_channel_t* ccmch, const char* buffer);

// Reads the whole frame held in `ccmmsg` (msg_start, len; len at least 48): an "IPC" frame
// becomes type 3 with the header removed and the channel's name in src_addr; any other frame is
// parsed as a native body (ccm_parse_native_message); a body beginning "<?xml" gets
// CCM_MSGFLAG_NOCONV; a NAT body without it is converted to host form. Returns 0, or -1 when the
// frame is shorter than a header or its body cannot be parsed. Network thread; the message is
// the caller's.
int ccm_classify_message(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* ccmmsg,
                         ccm_error_t* ccmerr);

// Walks the native body of `ccmmsg` (msg_start, len) element by element, filling the addressing
// fields and moving the message data to buffer1. Every address field is cut to 63 characters; a
// sender trailer is read through a 256-byte work area. Returns 0, or -1 on a key outside the
// table or an element whose length is not decimal or runs past the end of the body; nothing is
// read or written outside the body then. Clears the channel's CCM_FLAG_CONNECTING when the body
// holds a NAT element (`ccmch` may be null).
int ccm_parse_native_message(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* ccmmsg,
                             ccm_error_t* ccmerr);

// The size of the element at `src` of length form `keylen` (1, 2, 4 or 7); when `dst` is not
// null its data bytes are moved there (overlap allowed). Returns -1 for another `keylen`, a
// 7-digit length that is not decimal, or a size beyond INT_MAX.
// REQUIRES: the whole element is readable; use qm7::ccm::element_size on untrusted bytes first.
int extract_protocol_data(const unsigned char* src, int keylen, unsigned char* dst);

#endif  // QM7_CCM_READER_H_
