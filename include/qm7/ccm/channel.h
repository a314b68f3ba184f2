// The channel table: the channel record ccm_channel_t with its type values and flag bits, and
// the operations that create, chain, find, delete and destroy channels. A channel is never freed
// where it is found broken: it is marked deleted, and the network thread destroys it after its
// select pass, logging its recorded failure and posting a CHANNEL_CLOSE notice.
#ifndef QM7_CCM_CHANNEL_H_
#define QM7_CCM_CHANNEL_H_

#include <ctime>

#include "qm7/ccm/error.h"
#include "qm7/ccm/lock.h"
#include "qm7/ccm/msg.h"
#include "qm7/ccm/queue.h"

// Optional per-connection record a host hands to ccm_connect; owned by the channel from then on
// and released with it (free()). The fixed part is everything before gss_content.
typedef struct ccm_connect_user_context {
  char key[32];
  char name[128];
  int client;
  int user;
  ccm_addr_t ccmaddr;
  void* pDelegCred;
  int gss_len;         // bytes of gss_content
  char gss_content[];  // gss_len bytes follow the record
} ccm_connect_user_context_t;

// Size of the fixed part of a user context, the part copied into a CHANNEL_CLOSE notice.
constexpr size_t CCM_CUC_FIXED_SIZE = offsetof(ccm_connect_user_context_t, gss_content);

// Channel types (ccm_channel_t.type).
enum : int {
  CCM_TYPE_SILENT = -1,    // destroyed without close log line and notice
  CCM_TYPE_UNSET = 0,      // new entry, or accepted connection not yet typed by its host
  CCM_TYPE_LISTEN = 1,     // listening socket
  CCM_TYPE_SERVER = 3,     // server connection
  CCM_TYPE_AGENT = 4,      // agent connection
  CCM_TYPE_MESSENGER = 5,  // the messenger's connection to its agent
  CCM_TYPE_CP = 6,         // outgoing server connection
  CCM_TYPE_PASSIVE = 255,  // never waited on, not counted, destroyed without notice
};

// Channel flag bits (ccm_channel_t.flag). Change and test them only through ccm_flag_set,
// ccm_flag_clear and ccm_flag_test (qm7/ccm/flag.h): two threads change them.
enum : int {
  CCM_FLAG_DELETED = 0x01,        // passed over by everyone; destroyed after the select pass
  CCM_FLAG_MARK_NAT = 0x02,       // NAT messages dispatched here get CCM_MSGFLAG_MARK_NAT
  CCM_FLAG_CONNECTING = 0x08,     // set by ccm_connect, cleared when a NAT message arrives
  CCM_FLAG_NOREAD = 0x10,         // the network thread leaves the socket out of the read set
  CCM_FLAG_BINDADDR = 0x40,       // the local address is known (or not needed)
  CCM_FLAG_CLOSING = 0x80,        // a graceful close waits for the queued output (close_deadline)
  CCM_FLAG_ABORT = 0x100,         // closed with a reset: unsent output is dropped
  CCM_FLAG_CONNECT_WAIT = 0x200,  // the connect has not completed yet (connect_timeout)
};

// One socket the channel manager serves. The `nxt` link is guarded by the context's
// channel_lock; sendq by the channel's own queue_lock; the receive fields (recv_*,
// timestamp_last_io, msgnr, msginsert) belong to the network thread once the channel is chained.
struct ccm_channel {
  char eyec[16];       // "##CCM#CHANNEL###"; "#CCMSOCK" + 8-digit ID once chained
  ccm_channel_t* nxt;  // link on channelq or channel_newq
  int type;            // CCM_TYPE_*
  int flag;            // CCM_FLAG_*, atomic access only
  int s;               // socket, -1 when none
  int ID;              // unique within the context
  int remoteID;        // partner's ID, set by the host
  int port;            // remote port
  char name[64];       // "*ID<n>" when created, "*LISTEN", host names; "*IPC..." for IPC
  char addr[64];       // peer's numeric address as text
  char bind_addr[64];  // local address as text, once CCM_FLAG_BINDADDR
  char host[128];      // host name or address as given to ccm_connect
  ccm_connect_user_context_t* cuc;  // owned, released on destroy
  int nof_connection;
  time_t connect_timeout_secs;  // connect wait given to ccm_connect
  time_t connect_timeout;       // time the connect wait ends
  time_t timestamp_last_io;     // last receive or send
  int msgnr;                    // last failure, logged on destroy; 0 if none
  char msginsert[1024];         // its insert
  char* recv_buffer;            // owned
  int recv_size;
  int recv_pos;
  char* send_buffer;      // owned when set; not filled by the channel manager
  ccm_lock_t queue_lock;  // guards sendq
  ccm_msg_queue_t sendq;  // messages to write on this socket
  ccm_msg_queue_t recvq;  // the long frame still arriving, if any (reader); emptied on destroy
  void* pATctx;           // copied into dispatched messages; not owned
  void* pDelegCred;       // not owned, not used

  // Flow control of the channel's output (network thread): what the messages on sendq hold,
  // counted by their whole blocks; while it is above the context's
  // max_queued_output, and until it is below half of it, the socket is not read.
  size_t sendq_bytes;  // [queue_lock]
  int read_paused;     // 1 while reading is held back; network thread only
  // Bytes received of the frame still arriving on recvq, counted in the context's partial_bytes.
  size_t partial_bytes;  // [the context's queue_lock; written by the network thread]

  // Delivery accounting and timers.
  unsigned long out_written;  // messages written completely [queue_lock; network thread writes]
  long long close_deadline;   // CLOCK_MONOTONIC ms a graceful close may last; before CLOSING is set
  long long connect_deadline;  // CLOCK_MONOTONIC ms the connect may last; -1: no bound
  long long last_msg_time;     // CLOCK_MONOTONIC ms of the last complete frame (or the start);
                               // network thread only
};

// Makes a zeroed record with its own ID (from unique_channel_ID, under channel_lock), name
// "*ID<ID>", s -1, on no queue. Returns 0, or -1 with 3301 "CREATE_CHANNEL" (ID unchanged).
int ccm_channel_new_entry(ccm_context_t* ccm, ccm_channel_t** ccmch, ccm_error_t* ccmerr);

// Stamps "#CCMSOCK%.8d" into eyec and appends the channel to channel_newq (under
// channel_lock). Everything the network thread reads must be set before. Returns 0.
int ccm_channel_chain(ccm_context_t* ccm, ccm_channel_t* ccmch);

// Lookups among the channels without the deleted flag, channelq first, then channel_newq.
// On success they RETURN WITH channel_lock HELD: the caller releases it with
// ccm_channel_unlock and must not call another lookup before. On failure no lock is held.
ccm_channel_t* ccm_channel_getbyID(ccm_context_t* ccm, int ID);
ccm_channel_t* ccm_channel_getbyName(ccm_context_t* ccm, const char* name);
// As above, comparing remoteID, on channelq only.
ccm_channel_t* ccm_channel_getbyRemoteID(ccm_context_t* ccm, int ID);

// 1 when a live channel has the ID (name), else 0. No lock stays held.
int ccm_channel_existbyID(ccm_context_t* ccm, int ID);
int ccm_channel_existbyName(ccm_context_t* ccm, const char* name);

// Copies the channel's peer address (addr, at most 63 characters and a terminator) into `ip`,
// which must hold 64 bytes. Looks up by ID when ID >= 1, by name when the ID is below 1 or not
// found. Returns 0, or -1 when no channel matches (ccmerr untouched). No lock stays held.
int ccm_channel_get_ip(ccm_context_t* ccm, int ID, const char* name, char* ip, ccm_error_t* ccmerr);

// Marks the channel deleted (and the context CCM_CTX_DELETED). Takes no lock; the caller reached
// the channel through a lookup or is the network thread serving it. Returns 0.
int ccm_channel_delete(ccm_context_t* ccm, ccm_channel_t* ccmch);

// Look up, delete, release the lock. Always 0, found or not. Any thread.
int ccm_channel_deletebyID(ccm_context_t* ccm, int ID);
int ccm_channel_deletebyName(ccm_context_t* ccm, const char* name);

// Logs the channel's failure and its close line by type, posts the CHANNEL_CLOSE notice (not for
// types 255 and -1), frees its messages, buffers, user context and socket, and releases the
// record. The record must be on no queue, or its queue is discarded by the caller. May be called
// with channel_lock held (it takes queue_lock). Returns 0.
int ccm_channel_destroy(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

// Frees every message of the channel's sendq and recvq and leaves both empty. Returns 0.
int ccm_channel_emptying_msg_queue(ccm_context_t* ccm, ccm_channel_t* ccmch);

// Learns the channel's local address into bind_addr and sets CCM_FLAG_BINDADDR. "*IPC" channels
// and sockets of other families than IPv4/IPv6 need none (flag set, bind_addr empty). While the
// socket still reports the unspecified address (0.0.0.0 or ::) it returns 0 with the flag clear
// ("try it later"). A failed getsockname deletes the channel and returns -1 (2000102).
// Network thread.
int ccm_channel_bindaddr_inquire(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

// Destroys every channel on channelq (not channel_newq) under channel_lock. For shutdown after
// the network thread has ended. A null context is ignored. Returns 0.
int ccm_channel_closeall(ccm_context_t* ccm);

// Unlinks the deleted channels of channelq (live ones keep their order), clears
// CCM_CTX_DELETED, then destroys them outside the lock. Network thread. Returns 0.
int ccm_destroy_deleted_channels(ccm_context_t* ccm);

#endif  // QM7_CCM_CHANNEL_H_
