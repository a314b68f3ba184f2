// The serving loop of qm7-agent-sim, built on the channel manager: a listening channel, the
// accept notices, the greeting (a native frame with a short data element of key 4), the NAT
// frame with the report, and a NAT answer. One thread receives; the channel manager's network
// thread does all socket work.
#ifndef QM7_AGENT_SIM_SERVER_H_
#define QM7_AGENT_SIM_SERVER_H_

#include <signal.h>

#include <cstddef>

#include "notes.h"
#include "options.h"

namespace agent_sim {

// What the process set up for the loop before it starts.
struct serve_setup {
  size_t capacity;                    // connections that fit under the descriptor limit
  const volatile sig_atomic_t* stop;  // set by SIGINT or SIGTERM
  note_writer* notes;                 // standard error
  library_log* log;                   // the channel manager's logger, flushed between receives
};

// Serves until --count reports were answered or *setup.stop is set. Returns the exit status: 0,
// or 1 when the channel manager or the listening socket could not be set up.
int serve(const options& opts, const serve_setup& setup);

}  // namespace agent_sim

#endif  // QM7_AGENT_SIM_SERVER_H_
