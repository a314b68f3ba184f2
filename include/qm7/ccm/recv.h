// The processor side of the context: the one operation through which the processor thread takes
// received messages and notices off recvq, its bounded wait on the processor wake-up pipe, and
// the path on which the network thread posts internal IPC notices.
#ifndef QM7_CCM_RECV_H_
#define QM7_CCM_RECV_H_

#include "qm7/ccm/error.h"
#include "qm7/runtime/trace.h"  // ccm_context_t, ccm_msg_t

// Takes the next message into *ccmmsg: the next of the batch the processor thread took off recvq,
// else the head of recvq (taking up to CCM_RECV_BATCH_MAX messages in one step); when there is
// none waits once (at most `stimeout` seconds) and looks again. Returns 1 with a message (now the
// caller's, to be freed with ccm_msg_free), 0 with *ccmmsg null when none came (time-out,
// interruption, a wake-up byte left over from a message taken without waiting), -1 when the wait
// failed (2000102). Exactly one thread, the processor thread, receives.
int ccm_receive_message(ccm_context_t* ccm, int stimeout, ccm_msg_t** ccmmsg, ccm_error_t* ccmerr);

// Posts an internal IPC record held in an allocated message: type 3, src_ID 0, moved from
// msgq_inuse to the tail of recvq, processor woken when recvq was empty. The message passes to
// recvq. Any thread. Returns 0.
int send_IPC_internal(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// True when `ccmmsg` is an internal notice posted inside this process (send_IPC_internal: the
// network thread's CHANNEL_ACCEPT and CHANNEL_CLOSE): type 3 with src_ID 0. A frame received
// from a peer always carries the ID of its channel (1 or more), so a peer cannot forge a notice
// however its "IPC" frame reads. Host programs act on notices only when this holds.
bool ccm_msg_is_internal(const ccm_msg_t* ccmmsg);

// Waits at most `stimeout` seconds for the processor wake-up pipe to become readable and reads
// one byte then. Returns 0 after a wake-up, a time-out or an interruption; -1 with 2000102
// "select(processor_wakeup(%d))|%d-%s" when the wait fails (negative time-out, no pipe).
int ccm_wait_processor(ccm_context_t* ccm, int stimeout, ccm_error_t* ccmerr);

#endif  // QM7_CCM_RECV_H_
