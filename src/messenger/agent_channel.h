// What the messenger's main thread learns of its connection to the agent while the channel
// manager's network thread serves it: the messages that arrive (within a deadline of its own,
// not whole seconds), which connection a message is about, where the record stands, and how the
// connection ends. Internal to the messenger library; main thread only, on the global context
// ccm.
#ifndef QM7_SRC_MESSENGER_AGENT_CHANNEL_H_
#define QM7_SRC_MESSENGER_AGENT_CHANNEL_H_

#include <atomic>
#include <chrono>
#include <string>

#include "qm7/ccm/error.h"
#include "qm7/ccm/host_interface.h"
#include "qm7/ccm/msg.h"

namespace qm7::detail {

using run_clock = std::chrono::steady_clock;

// The next message or notice into the global ccmmsg, waiting until `deadline` at the latest.
// Returns 1 with a message (the caller's), 0 when none came by then, CCM_WAIT_INTERRUPTED when
// a signal ended the wait, -1 when the wait failed (`*ccmerr` filled).
int receive_until(run_clock::time_point deadline, ccm_error_t* ccmerr);

// receive_until for the connection `channel`: what arrives about another connection (the
// close notice or a late message of an earlier attempt) is dropped and the wait goes on.
int receive_on(int channel, run_clock::time_point deadline, ccm_error_t* ccmerr);

// The channel a message is about: the one it arrived on, or for a notice the channel it names.
int channel_of(const ccm_msg_t* msg);

// Where the record on the agent's channel stands.
struct record_progress {
  bool gone = false;  // the channel no longer exists
  ccm_output_state_t output{};
};
record_progress look_at_record(int agentID);

// Named points of the wait for the answer where a test can hold the main thread, to make a
// rare interleaving with the network thread happen every time; null outside tests.
namespace testing {
using Hook = void (*)(const char* point);
extern std::atomic<Hook> hook;
inline void point(const char* name) {
  if (Hook h = hook.load(std::memory_order_acquire)) h(name);
}
}  // namespace testing

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_AGENT_CHANNEL_H_
