// The batching of wake-ups between the host's threads and the network thread: a send costs no
// byte while one is pending or the thread is awake, and the wake-ups of the processor that come
// due during one pass are written as one byte at its end. Internal to the channel manager.
#ifndef QM7_SRC_CCM_WAKEUP_H_
#define QM7_SRC_CCM_WAKEUP_H_

#include "qm7/ccm/context.h"

namespace qm7::ccm {
// The wake-up of the send paths: writes the byte "N" unless a byte written by an earlier send is
// still waiting in the pipe, or the network thread is awake between its select() and the start
// of its next pass. Either way the thread starts another pass, and every pass begins by
// dispatching all of sendq, so the message is written as promptly as with a byte of its own,
// while a sender costs the network thread no byte, read and pass per message. Explicit wake-ups
// (ccm_wakeup_network) always write. Any thread. send_wakeup_pending is 1 while no byte is due.
void wakeup_network_for_send(ccm_context_t* ccm);

// Network thread, at the start of a pass before it dispatches sendq (and on new pipes): the next
// send writes a byte again.
void network_pass_begins(ccm_context_t* ccm);

// Network thread, when select() has returned: sends until the next pass begins need no byte.
void network_thread_awake(ccm_context_t* ccm);

// The wake-up of the producers of recvq, after appending a message that found recvq empty: writes
// the byte "P", or defers it to the end of the network thread's pass when called there (see
// PassWakeups). Any thread.
void wakeup_processor_for_append(ccm_context_t* ccm);

// Reads every byte a wake-up pipe's read end `fd` holds (it is non-blocking), in one call unless
// more than 512 are waiting. Every byte asks for the same thing, so one look after the drain
// serves them all; reading one per wait or per pass would cost a wait or a pass each.
void drain_wakeups(int fd);

// Network thread, around one pass: wake-ups of the processor due during the pass are written as
// one byte when the object is destroyed.
class PassWakeups {
 public:
  explicit PassWakeups(ccm_context_t* ccm);
  ~PassWakeups();
  PassWakeups(const PassWakeups&) = delete;
  PassWakeups& operator=(const PassWakeups&) = delete;

 private:
  ccm_context_t* ccm_;
};
}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_WAKEUP_H_
