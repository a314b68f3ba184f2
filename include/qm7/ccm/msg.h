// Messages of the channel manager: the addressing record ccm_addr_t, the message block
// ccm_msg_t (a header followed by a data area of two halves), the pool that hands blocks out and
// takes them back, and the operations that fill in destination and sender.
#ifndef QM7_CCM_MSG_H_
#define QM7_CCM_MSG_H_

#include <cstddef>

#include "qm7/ccm/error.h"
#include "qm7/ccm/queue.h"
#include "qm7/runtime/trace.h"  // ccm_context_t, ccm_msg_t

// Addressing of a message. Every string is NUL-terminated inside its field. The record travels
// byte for byte inside a ROUTENAT record (offset 16 there), so its layout is fixed: 288 bytes.
typedef struct ccm_addr {
  char eyec[8];       // "#CCMADDR", no terminator; written by every operation that fills it
  int type;           // address type; not used by the channel manager
  int dst_ID;         // destination channel ID; 0: the channel is found by dst_addr
  char dst_addr[64];  // destination channel name ("*SERVER", "*IPC(AGENT)") or "*CP..." address
  char dst_name[64];  // receiving function; at most 8 characters travel on the wire
  int dst_acv;        // destination value, on the wire when not 0
  int src_ID;         // on reception: ID of the channel the message arrived on
  char src_addr[64];  // sender address; for a received IPC record the channel's name
  char src_name[64];  // sender name; at most 8 characters travel on the wire
  int src_acv;        // sender value, on the wire when not 0
  int src_type;       // on reception: type of the channel the message arrived on
} ccm_addr_t;

static_assert(sizeof(ccm_addr_t) == 288);
static_assert(offsetof(ccm_addr_t, eyec) == 0);
static_assert(offsetof(ccm_addr_t, type) == 8);
static_assert(offsetof(ccm_addr_t, dst_ID) == 12);
static_assert(offsetof(ccm_addr_t, dst_addr) == 16);
static_assert(offsetof(ccm_addr_t, dst_name) == 80);
static_assert(offsetof(ccm_addr_t, dst_acv) == 144);
static_assert(offsetof(ccm_addr_t, src_ID) == 148);
static_assert(offsetof(ccm_addr_t, src_addr) == 152);
static_assert(offsetof(ccm_addr_t, src_name) == 216);
static_assert(offsetof(ccm_addr_t, src_acv) == 280);
static_assert(offsetof(ccm_addr_t, src_type) == 284);

// Message kinds (ccm_msg_t.type).
enum : int {
  CCM_MSGTYPE_NATIVE = 0,
  CCM_MSGTYPE_GSS = 1,
  CCM_MSGTYPE_NAT = 2,
  CCM_MSGTYPE_IPC = 3,
};

// Message flag bits (ccm_msg_t.flag). Changed only by the message's current owner.
enum : int {
  CCM_MSGFLAG_MARK_NAT = 0x02,  // NAT message queued to a channel with CCM_FLAG_MARK_NAT
  CCM_MSGFLAG_KEEP = 0x08,      // the dispatcher keeps it when its destination is missing
  CCM_MSGFLAG_NOCONV = 0x20,    // the body is not code-converted ("<?xml" bodies)
};

enum : int {
  CCM_MSG_STD_SIZE = 32768,  // capacity of each half of a standard message
  CCM_MSG_HEADROOM = 256,    // bytes in front of msg_start in a fresh message
  CCM_MSG_FREEQ_MAX = 64,    // standard messages the free list keeps at most
};

// One message: this header, then the data area `buffer` of 2 x size bytes. Owned by whoever
// holds it on the last queue (see ccm_msg_free); the pool fields below are guarded by the
// context's queue_lock.
struct ccm_msg {
  char eyec[16];               // "##CCM#MESSAGE###", no terminator
  ccm_msg_t* nxt;              // link in the single queue that holds the message
  ccm_addr_t addr;             // destination and sender
  int type;                    // CCM_MSGTYPE_*
  unsigned char protocol_key;  // key of the data element of a received native message, else 0
  char filler[7];
  int flag;                         // CCM_MSGFLAG_*
  unsigned long ID;                 // unique message number, new at every allocation
  int size;                         // capacity of each half of the data area
  int len;                          // message bytes from msg_start
  int pos;                          // bytes already written to the socket
  int passfd;                       // not filled by the channel manager
  int agentID;                      // not filled by the channel manager
  void* pATctx;                     // security context of the destination channel; not owned
  void* pDelegCred;                 // credential handle; not owned, not used
  size_t control_len;               // valid bytes in control_data, 0 when none
  unsigned char control_data[256];  // ancillary socket data (passed descriptors)
  unsigned char* msg_start;         // first byte of the message inside the data area
  unsigned char* buffer1;           // start of the data area
  unsigned char* buffer2;           // buffer1 + size
  unsigned long filler2aligne;
  // On reception: how many messages the channel had written completely when the network thread
  // read this frame. A host that knows its own message's number on the channel can tell an
  // answer from a frame the peer sent before that message had left.
  unsigned long out_written;
  unsigned char buffer[];  // 2 x size bytes
};

// Bytes of the header part in front of the data area (680 on a 64-bit host).
constexpr size_t CCM_MSG_HEADER_SIZE = offsetof(ccm_msg_t, buffer);

// A standard message (size 32768) from the free list or the heap, on msgq_inuse, with a new ID,
// msg_start = buffer1 + 256 and len 0. The header is clear; so is the headroom of a block that
// does not come from the free list. The data area is not cleared: a reused message keeps old
// data bytes, and a fresh one holds whatever the memory held. Any thread.
// Returns null on exhausted memory (msgnr 3301, insert "CCMMSG/src/_ccm/ccmmsg(line)").
ccm_msg_t* ccm_msg_alloc(ccm_context_t* ccm, ccm_error_t* ccmerr);

// As ccm_msg_alloc with halves of `size` bytes; only size 32768 uses the free list. A size below
// 128 (the headroom would not fit) or too large for an int is refused like exhausted memory.
ccm_msg_t* ccm_msg_alloc_huge(ccm_context_t* ccm, int size, ccm_error_t* ccmerr);

// Returns a message to the pool: unlinks it from msgq_inuse when it is there, keeps a standard
// message on the free list while that holds fewer than 64, releases every other. The caller must
// have taken it off every other queue. A null message is ignored. Any thread. Returns 0.
int ccm_msg_free(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// Destination: dst_ID = ID, dst_acv = acv, dst_addr and dst_name copied (cut to 63 characters);
// `reply_ID` is not recorded. A null string counts as empty. Owner of the message only.
ccm_addr_t* ccm_setaddr(ccm_msg_t* ccmmsg, int ID, int reply_ID, const char* addr, const char* name,
                        int acv);

// Sender: src_acv = acv, src_addr and src_name copied (cut to 63 characters).
ccm_addr_t* ccm_setback(ccm_msg_t* ccmmsg, const char* addr, const char* name, int acv);

// Addresses `ccmd` to the sender of the received `ccms`: its src_ID, src_acv, src_addr and
// src_name become dst_ID, dst_acv, dst_addr and dst_name of `ccmd`.
ccm_addr_t* ccm_setaddr_reply(ccm_msg_t* ccmd, ccm_msg_t* ccms);

#endif  // QM7_CCM_MSG_H_
