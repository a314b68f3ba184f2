// The send paths: the operations with which a caller hands a filled message to the channel
// manager. Each completes the message's wire form in place (addressing elements and the 48-byte
// protocol header in the headroom in front of the body, the sender trailer behind it), sets the
// message kind, puts the message on the context's sendq and wakes the network thread. Also here:
// routing of NAT messages through the local agent, forwarding, descriptor passing, the IPC
// logger, the code-conversion hooks and the emptying of all queues of a stopped context.
//
// Ownership: a send path that returns 0 has taken the message over; the caller must not touch it
// again (the network thread may have written and freed it already). A path that returns -1
// leaves the message with its caller.
#ifndef QM7_CCM_SEND_H_
#define QM7_CCM_SEND_H_

#include <cstddef>

#include "qm7/ccm/error.h"
#include "qm7/ccm/msg.h"

// Native body keys written by the frame writers (the reader accepts the same layout).
enum : unsigned char {
  CCM_KEY_DST_NAME = 0x01,  // 1-byte length, 8 blank-padded characters
  CCM_KEY_DST_ACV = 0x02,   // 1-byte length, 4 bytes as held in memory
  CCM_KEY_DST_ADDR = 0x03,  // 1-byte length, the "*CP..." address
  CCM_KEY_SHORT_DATA = 0x04,
  CCM_KEY_TRAILER = 0xFD,   // 2-byte length, sub-elements in 1-byte form
  CCM_KEY_NAT_BODY = 0xFF,  // 4-byte length in record order
};

// Frame writers: they work on the message alone, take no lock, and are called by its owner.

// Writes the 48-byte header at msg_start: the length `len` as 8 digits, "QM7:global", "001",
// the 3 characters of `protocol` ("NAT", "IPC", "GSS"), 8 blanks of coding and 16 blanks of
// session. The caller has moved msg_start back by 48 and added 48 to len. A len outside 0 to
// 99 999 999 cannot be carried and writes nothing. Returns 0.
int ccm_msg_set_protocol_header(ccm_msg_t* ccmmsg, const char* protocol);

// For key 4 only: writes the short data element (4, `len`, `len` bytes of `data`) at msg_start
// and sets the message's len to `len` + 2. Any other key, a `len` outside 0 to 255 or a null
// `data` with a `len` above 0 writes nothing. Returns null.
char* ccm_msg_write_native_data(ccm_msg_t* ccmmsg, char key, char* data, int len);

// Turns a NAT body at msg_start into the native body: prepends the body element (0xFF), the
// "*CP" destination address (0x03), the destination name (0x01) and value (0x02) as present, and
// appends the sender trailer (0xFD) when any sender field is set. Names are cut to 8 characters,
// addresses to 63. A message whose headroom (after 48 bytes kept for the header) or whose space
// behind the body cannot take these bytes is left unchanged. Returns 0.
int cmm_msg_write_sr_data(ccm_msg_t* ccmmsg);

// Kept for the callers of the IPC paths; changes nothing. Returns 0.
int ccm_msg_set_ipc_header(ccm_msg_t* ccmmsg, size_t len);

// Dumps the frame under `text` when tracing, moves the message from msgq_inuse to the tail of
// the context's sendq (under queue_lock) and wakes the network thread. Returns 0.
int ccm_send_message_common(ccm_context_t* ccm, ccm_msg_t* ccmmsg, const char* text);

// A NAT message: body at msg_start (len bytes), destination set with ccm_setaddr. In any running
// mode other than 0 a message to exactly "*SERVER" is routed through the local agent instead
// (send_NAT_message_route). Otherwise the body is converted (unless CCM_MSGFLAG_NOCONV), the
// addressing elements and the "NAT" header are written, type becomes 2 and the message is
// queued. Returns 0, or -1 (message stays the caller's) when the conversion fails, the message
// has no room for its framing, or a routing message cannot be allocated.
int send_NAT_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// A native message as the caller wrote it, with a "NAT" header; type unchanged. Returns 0, or
// -1 (message stays the caller's) when the headroom cannot take the header.
int send_native_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// As send_native_message with a "GSS" header whose coding field carries the first 8 characters
// of `coding` (null counts as empty), blank-padded. Returns 0, or -1 as above.
int send_GSS_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg, const char* coding);

// An IPC record as written at msg_start, with an "IPC" header; type becomes 3. Returns 0, or -1
// as above.
int send_IPC_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// Wraps the given NAT message (not yet framed) into a ROUTENAT record (its ccm_addr_t, its body
// length and body) for "*IPC(AGENT)", sends that as an IPC message and frees the given message.
// Returns 0, or -1 when the record's message cannot be allocated (traced; the given message then
// stays the caller's).
int send_NAT_message_route(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// Code conversion hooks of NAT bodies between host form and network form. Bodies are built in
// network form in this system, so both leave the body unchanged. Return 0 (below 0 would be a
// conversion error).
int msgconv_ToLan(ccm_context_t* ccm, ccm_msg_t* ccmmsg);
int msgconv_ToHost(ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// Sends a copy of the received NAT message `ccmmsg` to channel `channelID` (when not 0) or to the
// channel named `channelName`, with "*SERVER" and the received sender as its sender. With
// `check_channel` the channel must exist (by ID, then by name). The received message stays the
// caller's. Returns 0, or -1 with 2003070 "%d/%s|channel not found|" or "%d/%s|alloc error|".
int ccm_forward_NAT_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg, int channelID,
                            const char* channelName, ccm_error_t* ccmerr, int check_channel);

// Frees every message of recvq (and of the processor thread's batch), msgq_inuse and
// msgq_2dispatch, and of the sendq and recvq of every live channel on channelq (discarding its
// partial input). The context's sendq is left as it is. Takes no lock: only while the network
// thread is not running. Returns 0.
int ccm_msg_emptying_queues(ccm_context_t* ccm);

// A logger (for __log_set_logger) that sends each entry as a LOGGING record to "*IPC(AGENT)".
// Drops the entry when no dispatch has recorded a host context with a channel manager yet, or
// no message can be allocated. Any thread; writes no trace line. Returns 0.
int ipc_logger(int msgnr, const char* msginsert);

// Passes the open descriptor `fd` to the process at the other end of the IPC channel named
// `destination`: a PASSFD record (fd, agentID, listenerID, name cut to 127 characters) in an
// "IPC" frame whose control data carries the descriptor (SCM_RIGHTS). `fd` must stay open until
// the frame is written. Logs 2003060 "%d/ID=%d". Returns 0, or -1 when no message can be
// allocated (traced).
int send_file_descriptor(ccm_context_t* ccm, const char* destination, int fd, int listenerID,
                         int agentID, const char* name);

#endif  // QM7_CCM_SEND_H_
