// The channel manager's own IPC records and their dispatcher. Every record begins with a
// 16-byte NUL-padded type name. ROUTENAT, PASSFD and LOGGING travel in "IPC" frames between
// processes of one host (integers in host order, fixed layouts checked below); CHANNEL_ACCEPT and
// CHANNEL_CLOSE stay inside the process and reach the processor thread through recvq.
#ifndef QM7_CCM_IPCMSG_H_
#define QM7_CCM_IPCMSG_H_

#include <cstddef>

#include "qm7/ccm/channel.h"
#include "qm7/ccm/host.h"
#include "qm7/ccm/host_interface.h"
#include "qm7/ccm/msg.h"

#define IPCMSG_CHANNEL_CLOSE "CHANNEL_CLOSE"
#define IPCMSG_CHANNEL_ACCEPT "CHANNEL_ACCEPT"
#define IPCMSG_ROUTENAT "ROUTENAT"
#define IPCMSG_PASSFD "PASSFD"
#define IPCMSG_LOGGING "LOGGING"

enum : int { IPCMSG_TYPE_NAME_LEN = 16 };

typedef struct ipcmsg_header {
  char msgtype[16];  // type name, NUL-padded
} ipcmsg_header_t;
static_assert(sizeof(ipcmsg_header_t) == 16);

// A NAT message routed through the local agent: 308 bytes, then `len` body bytes.
typedef struct ipcmsg_routenat {
  ipcmsg_header_t head;     // "ROUTENAT"
  ccm_addr_t addr;          // the routed message's address record, as held in memory
  int len;                  // body length
  unsigned char message[];  // body
} ipcmsg_routenat_t;
static_assert(offsetof(ipcmsg_routenat_t, head) == 0);
static_assert(offsetof(ipcmsg_routenat_t, addr) == 16);
static_assert(offsetof(ipcmsg_routenat_t, len) == 304);
static_assert(offsetof(ipcmsg_routenat_t, message) == 308);
static_assert(sizeof(ipcmsg_routenat_t) == 308);

// A descriptor handed to another process; the descriptor travels as SCM_RIGHTS data.
typedef struct ipcmsg_passfd {
  ipcmsg_header_t head;  // "PASSFD"
  int fd;                // descriptor number in the sending process
  int agentID;
  int listenerID;
  char name[128];  // NUL-terminated
} ipcmsg_passfd_t;
static_assert(offsetof(ipcmsg_passfd_t, fd) == 16);
static_assert(offsetof(ipcmsg_passfd_t, agentID) == 20);
static_assert(offsetof(ipcmsg_passfd_t, listenerID) == 24);
static_assert(offsetof(ipcmsg_passfd_t, name) == 28);
static_assert(sizeof(ipcmsg_passfd_t) == 156);

// A log entry for the local agent.
typedef struct ipcmsg_logging {
  ipcmsg_header_t head;  // "LOGGING"
  int msgnr;
  char msginsert[1024];  // cut at 1024 characters; terminated only when shorter
} ipcmsg_logging_t;
static_assert(offsetof(ipcmsg_logging_t, msgnr) == 16);
static_assert(offsetof(ipcmsg_logging_t, msginsert) == 20);
static_assert(sizeof(ipcmsg_logging_t) == 1044);

// In-process notice: a connection was accepted as channel ID.
typedef struct ipcmsg_channel_accept {
  ipcmsg_header_t head;  // "CHANNEL_ACCEPT"
  int ID;
} ipcmsg_channel_accept_t;
static_assert(sizeof(ipcmsg_channel_accept_t) == 20);

// In-process notice: a channel was destroyed. Its pointers refer to released memory; only the
// values are meaningful.
typedef struct ipcmsg_channel_close {
  ipcmsg_header_t head;            // "CHANNEL_CLOSE"
  ccm_channel_t ccmch;             // the record as it was just before its destruction
  ccm_output_state_t output;       // its output at destruction (ccm_close_notice_info reads it)
  ccm_connect_user_context_t cuc;  // fixed part of its user context, zeros when it had none
} ipcmsg_channel_close_t;

// A handler of the IPC dispatch table. It gets the host's context record and the message (which
// stays the caller's) and returns its result.
typedef int sr_function_handler_t(ccm_host_context_t* pcx, ccm_msg_t* ccmmsg);

typedef struct sr_function {
  char name[16];  // record type it handles; empty ends the table
  sr_function_handler_t* function_addr;
} sr_function_t;

// The dispatch table: "CHANNEL_CLOSE", then the empty row that catches every other type.
extern const sr_function_t ipc_function_list[];

// The host context of the last dispatch; null before the first. Written by process_IPC_message,
// read by the IPC logger of any thread: access it with std::atomic_ref.
extern ccm_host_context_t* ppcx;

// Dispatches a received message of type 3 to the handler of its record type. The message stays
// the caller's. Returns the handler's result. Processor thread.
int process_IPC_message(ccm_host_context_t* pcx, ccm_context_t* ccm, ccm_msg_t* ccmmsg);

// Handlers: 0 for CHANNEL_CLOSE; -1 after logging "IPC message (%s) is not known" (resp. "...
// is not implemented") and 2000033 with the sender name.
int process_ipc_channel_close(ccm_host_context_t* pcx, ccm_msg_t* ccmmsg);
int process_ipc_unknown(ccm_host_context_t* pcx, ccm_msg_t* ccmmsg);
int process_ipc_not_implemented(ccm_host_context_t* pcx, ccm_msg_t* ccmmsg);

#endif  // QM7_CCM_IPCMSG_H_
