// What the messenger's main thread learns of its connection to the agent while the channel
// manager's network thread serves it: the messages that arrive (within a deadline of its own,
// not whole seconds), which connection a message is about, whether the record is still on its
// way, and how the connection ends. Internal to the messenger library; main thread only, on
// the global context ccm.
#ifndef QM7_SRC_MESSENGER_AGENT_CHANNEL_H_
#define QM7_SRC_MESSENGER_AGENT_CHANNEL_H_

#include <chrono>
#include <string>

#include "qm7/ccm/error.h"
#include "qm7/ccm/msg.h"

namespace qm7::detail {

using run_clock = std::chrono::steady_clock;

// The next message or notice into the global ccmmsg, waiting until `deadline` at the latest.
// Returns 1 with a message (the caller's), 0 when none came by then or a signal ended the wait,
// -1 when the wait failed (`*ccmerr` filled).
int receive_until(run_clock::time_point deadline, ccm_error_t* ccmerr);

// receive_until for the connection `channel`: what arrives about another connection (the
// close notice or a late message of an earlier attempt) is dropped and the wait goes on.
int receive_on(int channel, run_clock::time_point deadline, ccm_error_t* ccmerr);

// True for the channel manager's own CHANNEL_CLOSE notice (posted in this process, never a
// peer's frame, however it reads) of at least `min_len` bytes.
bool is_close_notice(const ccm_msg_t* msg, size_t min_len);

// The channel a message is about: the one it arrived on, or for a close notice the closed one.
int channel_of(const ccm_msg_t* msg);

// For a close notice: what ended the connection, from the failure the channel recorded.
std::string close_reason(const ccm_msg_t* msg);

// Where the record on the agent's channel stands.
struct record_progress {
  bool gone = false;    // the channel no longer exists
  bool queued = false;  // still in the channel manager, not yet written to the socket
  int unsent = 0;       // bytes written to the socket that the agent's host has not taken
};
record_progress look_at_record(int agentID);

// Makes the close of the agent's channel immediate: a graceful close that the system completes
// in the background, or with `abort` a reset that discards what was not sent, so that a record
// declared undelivered never arrives later in part. Nothing happens when the channel is gone.
void end_connection(int agentID, bool abort);

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_AGENT_CHANNEL_H_
