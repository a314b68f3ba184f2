// Socket options the channel manager sets on its own connections. Internal to the channel manager.
#ifndef QM7_SRC_CCM_SOCKOPT_H_
#define QM7_SRC_CCM_SOCKOPT_H_

#include "qm7/ccm/channel.h"

namespace qm7::ccm {
// TCP_NODELAY on the channel's TCP socket: the network thread writes whole frames, so holding a
// small one back until the peer acknowledges the previous one (which the peer delays) only
// stalls the traffic. A failure is traced and otherwise ignored: the channel works without it.
void set_nodelay(ccm_channel_t* ccmch);
}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_SOCKOPT_H_
