// Room checks shared by the frame writers and the send paths: a frame is only ever written
// inside the message's data area, so a body that leaves too little headroom or too little space
// behind it is refused rather than written past the area's ends. Also the NAT framing step that
// the routing layer (send_route.cc) calls below it.
#ifndef QM7_SRC_CCM_SEND_FRAME_H_
#define QM7_SRC_CCM_SEND_FRAME_H_

#include "qm7/ccm/msg.h"

namespace qm7::ccm {

// Bytes in front of msg_start and behind msg_start + len inside the data area; -1 when
// msg_start or len are outside the area.
long headroom(const ccm_msg_t* msg);
long tailroom(const ccm_msg_t* msg);

// True when the message can take its addressing elements, its sender trailer and then the
// 48-byte header.
bool nat_frame_fits(const ccm_msg_t* msg);

// Moves msg_start back by 48, adds 48 to len and writes the header with `protocol`. Returns
// false (nothing changed) when the headroom is short or the length cannot be carried.
bool prepend_protocol_header(ccm_msg_t* msg, const char* protocol);

// The framing half of send_NAT_message, for a message that is not routed: converts the body
// (unless CCM_MSGFLAG_NOCONV), writes the addressing elements, the sender trailer and the "NAT"
// header, sets type 2 and queues the message on the context's sendq. Returns 0, or -1 (message
// stays the caller's) when the frame does not fit or the conversion fails. Traces as
// send_NAT_message. Any thread.
int queue_nat_frame(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_SEND_FRAME_H_
