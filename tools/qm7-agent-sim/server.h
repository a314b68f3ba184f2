// The serving loop of qm7-agent-sim, built on the channel manager: a listening channel, the
// accept notices, the greeting (a native frame with a short data element of key 4), the NAT
// frame with the report, and a NAT answer. One thread receives; the channel manager's network
// thread does all socket work.
#ifndef QM7_AGENT_SIM_SERVER_H_
#define QM7_AGENT_SIM_SERVER_H_

#include "options.h"

namespace agent_sim {

// Serves until --count reports were answered or SIGINT/SIGTERM arrives. Returns the exit
// status: 0, or 1 when the channel manager or the listening socket could not be set up.
int serve(const options& opts);

}  // namespace agent_sim

#endif  // QM7_AGENT_SIM_SERVER_H_
