// What a host program needs of a running context besides the send paths: a receive with a
// deadline in milliseconds, what became of the messages handed over for a channel, whether its
// input waits, a close that never blocks the network thread, a channel's addresses, the contents
// of the network thread's notices, and the join of the thread. With these a host never touches the
// context's queues, wake-up pipes, locks or a channel's socket.
//
// Who owns what:
// - The processor thread (the host's one receiving thread) takes messages and notices off the
//   context's recvq, all that is queued (up to a bound) in one step, and hands them to the host
//   one at a time; the network thread alone appends received frames and notices to it, all the
//   frames of one read in one step.
// - Any thread hands messages over through a send path: they join the context's sendq. The
//   network thread moves them to the sendq of their channel (the dispatch) and writes them. A
//   message is on exactly one of these queues from the send call until it is written or
//   dropped, so ccm_channel_output never misses one in transit.
// - The network thread owns every socket and channel record once chained: it reads, writes,
//   accepts, times out and destroys. Other threads mark a channel (delete, close) and wake it.
// - Locks, always taken in this order and never held across select(), a send or a receive:
//   the context's channel_lock (the channel lists and their links; held by a successful look-up),
//   then the context's queue_lock (its message queues, the pool, recvq_bytes, recv_paused, the
//   record of the processor thread's batch, partial_bytes and partial_paused, and each channel's
//   partial_bytes), then a channel's queue_lock (that channel's sendq, sendq_bytes,
//   out_written).
#ifndef QM7_CCM_HOST_INTERFACE_H_
#define QM7_CCM_HOST_INTERFACE_H_

#include "qm7/ccm/error.h"
#include "qm7/ccm/msg.h"
#include "qm7/runtime/trace.h"  // ccm_context_t

// Result of ccm_receive_wait besides 1 (a message), 0 (the deadline passed) and -1 (error).
enum : int { CCM_WAIT_INTERRUPTED = -2 };

// Takes the next message or notice off recvq, waiting at most `timeout_ms` milliseconds (0: no
// wait). Wake-up bytes that announce nothing (left by messages taken without waiting) are
// drained, so the wait never ends early for them. Returns 1 with *ccmmsg set (the caller's, free
// it with ccm_msg_free), 0 when the time-out passed, CCM_WAIT_INTERRUPTED when a signal ended
// the wait, -1 when the wait failed (2000102 in ccmerr: no wake-up pipe, negative time-out).
// *ccmmsg is null unless 1 is returned. Processor thread only.
int ccm_receive_wait(ccm_context_t* ccm, int timeout_ms, ccm_msg_t** ccmmsg, ccm_error_t* ccmerr);

// The output of one channel.
typedef struct ccm_output_state {
  int queued;             // messages handed over for the channel, not yet fully written or dropped
  int unacked;            // bytes written to the socket that the peer has not acknowledged
  unsigned long written;  // messages the channel has written completely since it was made
} ccm_output_state_t;

// True when nothing handed over for the channel is still on its way: every message written and
// every byte acknowledged by the peer.
inline bool ccm_output_drained(const ccm_output_state_t* state) {
  return state->queued == 0 && state->unacked == 0;
}

// The output state of the live channel `ID` into *state. A message counts from the send call
// that handed it over (addressed by ID, or by the channel's name) until its last byte is on the
// socket or it is dropped. Returns 0, or -1 when no live channel has the ID (then the
// CHANNEL_CLOSE notice tells its state at destruction). Any thread.
int ccm_channel_output(ccm_context_t* ccm, int ID, ccm_output_state_t* state);

// How ccm_channel_close ends a connection.
enum : int {
  CCM_CLOSE_GRACEFUL = 0,  // queued output still goes out, within the bound; then an orderly close
  CCM_CLOSE_ABORT = 1,     // at once, with a reset; what is unsent is dropped
};

// Closes the live channel `ID`. A graceful close lets the network thread write what is queued
// for the channel for at most `bound_ms` milliseconds more and then closes it; when the bound
// passes with messages still unwritten, it aborts instead. Either way the channel ends in the
// network thread's next passes, which this call wakes; it never blocks that thread. The
// CHANNEL_CLOSE notice follows as for any other end. Returns 0, or -1 when no live channel has
// the ID. Any thread.
int ccm_channel_close(ccm_context_t* ccm, int ID, int how, int bound_ms);

// Whether input from the live channel `ID` waits that the host has not taken yet: bytes in the
// channel's socket, or a frame received on it still on recvq or in the batch the processor
// thread took off recvq and has not handed out. Bytes the network thread holds between the two
// (read, but no complete frame yet) are not counted: they belong to that thread, and a peer that
// trickles them is closed by the idle time-out instead. Returns 1 when input waits, 0 when none
// does, -1 when no live channel has the ID or its socket cannot tell. Any thread.
int ccm_channel_input_pending(ccm_context_t* ccm, int ID);

// A numeric address and port.
typedef struct ccm_endpoint {
  char addr[64];  // numeric address text, empty when unknown
  int port;
} ccm_endpoint_t;

// The local and the peer address of a channel (either pointer may be null), found by ID when
// `ID` >= 1, else by name. A listening channel has no peer (empty, port 0). Returns 0, or -1
// when no live channel matches or the socket cannot tell its local address. Any thread.
int ccm_channel_endpoints(ccm_context_t* ccm, int ID, const char* name, ccm_endpoint_t* local,
                          ccm_endpoint_t* peer);

// What a CHANNEL_CLOSE notice says about the channel that ended.
typedef struct ccm_close_info {
  int ID;
  int type;                   // CCM_TYPE_*
  int msgnr;                  // the recorded failure, 0 for an orderly end
  char msginsert[1024];       // its insert, terminated
  ccm_output_state_t output;  // the output state at destruction
} ccm_close_info_t;

// Decodes the channel manager's own CHANNEL_CLOSE notice (never a peer's frame, however it
// reads) into *info. Returns 0, or -1 when `ccmmsg` is no such notice.
int ccm_close_notice_info(const ccm_msg_t* ccmmsg, ccm_close_info_t* info);

// The channel ID of the channel manager's own CHANNEL_ACCEPT or CHANNEL_CLOSE notice, or -1
// for any other message.
int ccm_notice_channel_ID(const ccm_msg_t* ccmmsg);

// Joins the network thread after ccm_thread_stop; nothing happens when none was started or it
// was joined already. Returns 0. Processor thread.
int ccm_thread_join(ccm_context_t* ccm);

#endif  // QM7_CCM_HOST_INTERFACE_H_
