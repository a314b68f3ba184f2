// The network thread of the channel manager: its start and stop, the loop around select(), one
// pass of that loop, the dispatcher that moves queued messages to the send queues of their
// channels, the merging of newly chained channels and the accept path of listening channels.
// All socket input and output of a context happens on this one thread.
#ifndef QM7_CCM_THREAD_H_
#define QM7_CCM_THREAD_H_

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"
#include "qm7/runtime/trace.h"  // ccm_context_t

// Time-out of one pass of the loop, in seconds.
enum : int { CCM_SELECT_TIMEOUT = 10 };

// Creates the wake-up pipes, sets `loop` to 1 and creates the joinable network thread. The only
// place `loop` becomes 1, so a ccm_thread_stop that comes before the thread's first pass still
// ends it. Returns 0, or -1 with ccmerr filled: the pipes' record, or 2000136
// "CCM-thread|pthread_create()=%d(%d-%s)" (no thread then: do not join). Processor thread, once
// after ccm_open.
int ccm_thread_start(ccm_context_t* ccm, ccm_error_t* ccmerr);

// Entry of the network thread (`pccm` is the context). Logs 2000134 with the thread's name,
// runs passes while `loop` is not 0, destroys deleted channels after each pass, pauses about
// 100 ms after a pass that failed in select() so that a lasting error never spins. Returns null.
void* ccm_thread_run(void* pccm);

// Asks the network thread to end after the pass in progress: clears `loop` and wakes it. The
// caller then joins ccm->thread. Any thread. Returns 0.
int ccm_thread_stop(ccm_context_t* ccm);

// One pass: merges channel_newq, dispatches the context's sendq, waits at most `stimeout`
// seconds in select() on every live channel and the wake-up pipe (descriptors 0 to 65 535), then
// accepts, reads and writes. Returns 0 (also on a time-out or EINTR), or -1 with 2000102 in
// ccmerr on a select error; a channel whose descriptor select() refuses as invalid is deleted
// then, so that the others are served again from the next pass. Network thread only.
int ccm_network_select(ccm_context_t* ccm, int stimeout, ccm_error_t* ccmerr);

// Moves the context's sendq into msgq_2dispatch and hands each message to the send queue of its
// channel (by dst_ID when not 0, else by dst_addr as channel name; "*CP..." goes to "*SERVER").
// A message without a channel is freed unsent, unless it carries CCM_MSGFLAG_KEEP: that one goes
// back on the context's sendq for the next dispatch. Network thread only (or a test without
// one). Returns 0.
int ccm_dispatch_send_messages(ccm_context_t* ccm);

// Moves every channel of channel_newq, in order, to the tail of channelq. REQUIRES: the caller
// holds channel_lock. Returns 0.
int ccm_channel_merge_newq(ccm_context_t* ccm);

// Accepts one connection on the listening channel `ccmch`: a new channel (type 0, "*ID<n>",
// non-blocking, linger 60 s) on channel_newq and a CHANNEL_ACCEPT notice on recvq. Returns 0,
// or -1: 2000102 "accept(...,FIONBIO)|%d-%s" in ccmerr when accept fails (the listener stays as
// it was), ccmerr untouched and errno EAGAIN when no connection is waiting; when the entry, the
// socket settings or the notice cannot be made the accepted socket is closed and nothing is
// chained. Network thread only.
int ccm_signal_on_listen(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

// A hook for periodic channel upkeep; writes its trace lines and does nothing else. Returns 0.
int ccm_channel_maintenance(ccm_context_t* ccm);

#endif  // QM7_CCM_THREAD_H_
