// The two standard descriptions of a channel that trace lines print: the short one
// "channel(%p,s=%d/chID=%d,%s,flag=%.8X)" and the long one with name, ID, socket, type, flags,
// state, host, address, port and the head of the send queue.
#ifndef QM7_SRC_CCM_CHANNEL_TEXT_H_
#define QM7_SRC_CCM_CHANNEL_TEXT_H_

#include "qm7/ccm/channel.h"

namespace qm7::ccm {

struct ChannelText {
  char text[512];
  const char* c_str() const { return text; }
};

// Short description. Reads the channel's fields without locks: for trace lines only.
ChannelText channel_short(const ccm_channel_t* ch);

// Long description; reads sendq.head without the channel's lock (trace lines only).
ChannelText channel_long(const ccm_channel_t* ch);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_CHANNEL_TEXT_H_
