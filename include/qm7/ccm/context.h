// The channel manager context: one instance of the messaging library. It owns the channel table,
// the queues that carry messages between the processor thread (the caller) and the network
// thread, the message pool, the network thread and the two wake-up pipes.
#ifndef QM7_CCM_CONTEXT_H_
#define QM7_CCM_CONTEXT_H_

#include <pthread.h>

#include <cstddef>

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"
#include "qm7/ccm/lock.h"
#include "qm7/ccm/queue.h"
#include "qm7/runtime/trace.h"  // ccm_context_t

// Context flag bits (ccm_context_t.flag); atomic access only (qm7/ccm/flag.h).
enum : int {
  CCM_CTX_IPV6 = 0x1,     // IPv6 stream sockets work; "*LOCAL" means "::1"
  CCM_CTX_DELETED = 0x2,  // a channel carries the deleted flag
};

enum : int { CCM_RECV_BATCH_MAX = 64 };  // messages the processor thread takes in one step

struct ccm_context {
  char eyec[16];                     // "##CCM_CONEXT####", no terminator
  ccm_channel_queue_t channelq;      // channels served by the network thread [channel_lock]
  ccm_channel_queue_t channel_newq;  // chained since the last select pass [channel_lock]
  ccm_lock_t channel_lock;           // guards both channel queues, their links, unique_channel_ID
  int flag;                          // CCM_CTX_*, atomic access only
  ccm_lock_t queue_lock;             // guards the five message queues, nof_freemsg, unique_msg_ID
  ccm_msg_queue_t sendq;             // handed over for sending, not yet dispatched [queue_lock]
  ccm_msg_queue_t recvq;             // received messages and notices for the processor [queue_lock]
  ccm_msg_queue_t msg_freeq;         // pooled standard messages [queue_lock]
  ccm_msg_queue_t msgq_inuse;        // allocated messages on no other queue [queue_lock]
  ccm_msg_queue_t msgq_2dispatch;    // batch being dispatched by the network thread [queue_lock]
  int nof_freemsg;                   // length of msg_freeq [queue_lock]
  ccm_msg_queue_t msg_spareq;        // released blocks kept for reuse, not messages [queue_lock]
  int nof_spare;                     // length of msg_spareq [queue_lock]
  size_t spare_bytes;                // their total size [queue_lock]
  // Standard blocks released beyond the free list, kept for reuse (blocks, not messages) while
  // allocations need them: each trim gives back those none needed since the one before.
  ccm_msg_queue_t msg_std_spareq;  // [queue_lock]
  int nof_std_spare;               // length of msg_std_spareq [queue_lock]
  int std_spare_low;               // its lowest length since the last trim [queue_lock]
  long long std_spare_trim_at;     // CLOCK_MONOTONIC ms of the next trim, 0: none due [queue_lock]
  pthread_t thread;                // the network thread; the host joins it
  pthread_attr_t thread_attr;
  int loop;                       // 1 while the network thread goes on; atomic access only
  int unique_channel_ID;          // next channel ID, from 1 [channel_lock]
  unsigned long unique_msg_ID;    // next message ID, from 1 [queue_lock]
  ccm_channel_t* signal_channel;  // always null
  int network_wakeup[2];          // read end, write end; -1 while closed
  int processor_wakeup[2];        // read end, write end; -1 while closed
  int send_wakeup_pending;        // 1 while a send path's byte waits in network_wakeup; atomic

  // Limits that keep one peer from stalling or bloating the others. ccm_open sets the defaults
  // below; a host program may change them after ccm_open, before the network thread starts.
  size_t max_frame_len;  // longest frame a channel may receive (header included)
  // Output queued on one channel (each message counted with its whole block, 66 216 bytes for a
  // standard one) beyond which the network thread stops reading that channel, until it is below
  // half; 0: no bound.
  size_t max_queued_output;
  int max_accept_per_pass;  // connections one listening channel accepts per select pass

  // The received side: what waits on recvq for the processor thread, counted as queued output
  // is. While it is above max_queued_input, and until it is below half, the network thread reads
  // no channel, so a processor thread that falls behind is not buried. One queue serves every
  // channel, so its bound is larger; ccm_open sets it, 0: no bound.
  size_t max_queued_input;
  size_t recvq_bytes;  // [queue_lock]
  int recv_paused;     // 1 while no channel is read [queue_lock]

  // The processor thread's share of recvq: the messages it took off the queue in one step (at
  // most CCM_RECV_BATCH_MAX and a quarter of max_queued_input, or one; they no longer count in
  // recvq_bytes) and hands out one at a time without a lock. For ccm_channel_input_pending,
  // which any thread may call, the channel ID of each (0 for a notice) is recorded when the batch
  // is taken, and how many were handed out.
  ccm_msg_queue_t recv_batch;              // processor thread only
  int recv_batch_ids[CCM_RECV_BATCH_MAX];  // [queue_lock]
  int recv_batch_len;                      // [queue_lock]
  int recv_batch_next;                     // handed out; atomic access only

  // Frames still arriving: a frame longer than a standard message is received into a block of
  // its own that grows with the bytes that came, not with the length its header announces. The
  // bytes received of such frames are counted per channel and in total; while the total is above
  // max_partial_input, and until it is below half, the network thread does not read the channels
  // that hold one. The others are read, so complete frames and new connections still get
  // through, and a read never takes more than the bound has room for plus a receive buffer. A
  // channel whose frame never completes stays unread until the host closes it or the idle
  // time-out below ends it; a host that expects many long frames at once sets the bound above
  // their sum. ccm_open sets it, 0: no bound.
  size_t max_partial_input;
  size_t partial_bytes;  // [queue_lock]
  int partial_paused;    // 1 while channels holding a partial frame are not read [queue_lock]

  // A connection (types 0, 3, 4, 5, 6) that completes no frame for this long is closed, with
  // 2002036 "...|idle for N ms|"; counted from its start (the end of its connect) and from each
  // complete frame, so a peer
  // that trickles bytes is closed too. 0 (the default): never. Set before the network thread
  // starts.
  int idle_timeout_ms;
  // CLOCK_MONOTONIC ms until which listening channels are not read, after an accept failed for
  // want of descriptors or memory; 0: no pause. Ended early when a pass destroys a channel, as
  // that frees a descriptor. Network thread only.
  long long accept_paused_until;
  int thread_joinable;  // 1 from a successful ccm_thread_start until ccm_thread_join
};

// Defaults of the limits above: the longest record the system sends is far below 16 MiB; 1 MiB
// of unwritten answers is thousands of them; 64 accepts per pass keep a burst of connections
// from starving the channels that are already served.
enum : size_t {
  CCM_DEFAULT_MAX_FRAME_LEN = 16u * 1024 * 1024,
  CCM_DEFAULT_MAX_QUEUED_OUTPUT = 1024u * 1024,
  // About 250 standard messages: a burst of reports from hundreds of connections at once is
  // taken without a pause, a single flood costs at most this much.
  CCM_DEFAULT_MAX_QUEUED_INPUT = 16u * 1024 * 1024,
  // Four frames of the longest length at once: what peers that announce long frames and send
  // them only in part can make the process hold in them.
  CCM_DEFAULT_MAX_PARTIAL_INPUT = 64u * 1024 * 1024,
};
enum : int { CCM_DEFAULT_MAX_ACCEPT_PER_PASS = 64 };

// Opens a context: records `ppcx` (a ccm_host_context_t or a type derived from it) in ccm_pcx,
// checks IPv6 support (logs the failure and 2000361 when there is none; the open still
// succeeds). No pipes, no thread. Returns 0 with *pccm set, or -1 (3301 "CCM_OPEN") with *pccm
// untouched. Processor thread.
int ccm_open(void* ppcx, ccm_context_t** pccm, ccm_error_t* ccmerr);

// Releases every queued and pooled message, the locks, the wake-up pipes and the context. Call
// after the network thread has been joined and ccm_channel_closeall has run; channels still
// linked then are released without log lines or notices. A null context is ignored. Returns 0.
int ccm_close(ccm_context_t* ccm, ccm_error_t* ccmerr);

// The six lock operations; each returns 0. Never lock what the calling thread holds.
int ccm_queue_lock(ccm_context_t* ccm);
int ccm_queue_unlock(ccm_context_t* ccm);
int ccm_channel_lock(ccm_context_t* ccm);
int ccm_channel_unlock(ccm_context_t* ccm);
int ccmch_queue_lock(ccm_context_t* ccm, ccm_channel_t* ccmch);
int ccmch_queue_unlock(ccm_context_t* ccm, ccm_channel_t* ccmch);

// (Re)creates both wake-up pipes, close-on-exec and non-blocking at both ends. Returns 0, or -1
// with 2000102 "pipe(wakeups)|%d-%s|". Before the network thread exists.
int ccm_create_wakeup_pipes(ccm_context_t* ccm, ccm_error_t* ccmerr);

// Closes every open wake-up descriptor and sets all four to -1. Returns 0.
int ccm_close_wakeup_pipes(ccm_context_t* ccm);

// Write one byte ("N", resp. "P") to the wake-up pipe; never block (a full pipe means a wake-up
// is pending already). A null context or a closed pipe is ignored. Any thread. Return 0. The
// producers of recvq write "P" only for a message that finds recvq empty: the processor thread
// looks at the queue before it waits and takes everything queued behind it without waiting.
int ccm_wakeup_network(ccm_context_t* ccm);
int ccm_wakeup_processor(ccm_context_t* ccm);

// Counting queries over the live channels of channelq (channel_newq is not counted): types 3, 6;
// types 1, 3, 6; type 4; every type but 255. Any thread; each takes channel_lock.
int ccm_get_nof_server_connections(ccm_context_t* ccm);
int ccm_get_nof_connections(ccm_context_t* ccm);
int ccm_get_nof_agent_connections(ccm_context_t* ccm);
int ccm_get_nof_channels(ccm_context_t* ccm);

// Number of messages on the context's sendq (not the channels'). Takes queue_lock.
int ccm_get_sendq_count(ccm_context_t* ccm);

// 1 when the context's sendq and the sendq of every live channel of a type other than -1 are
// empty, else 0. Takes channel_lock, then the other locks one at a time.
int ccm_is_all_sendq_empty(ccm_context_t* ccm);

#endif  // QM7_CCM_CONTEXT_H_
