// Message numbers of the channel manager. An operation that fails puts one of them into the
// caller's ccm_error_t (msgnr) or into the failing channel's msgnr; the others name the log
// lines the channel manager writes itself through __log.
#ifndef QM7_CCM_MSGNR_H_
#define QM7_CCM_MSGNR_H_

enum : int {
  CCM_MSGNR_FREE_TEXT = -1,            // a free text without a number
  CCM_MSGNR_NO_MEMORY = 3301,          // "%s/%s(%d)": tag, source module, line
  CCM_MSGNR_AGENT_CLOSED = 2000007,    // an agent channel (type 4) was closed
  CCM_MSGNR_SERVER_CLOSED = 2000010,   // a server channel (type 3 or 6) was closed
  CCM_MSGNR_IPC_UNKNOWN = 2000033,     // sender of an IPC record nobody handles
  CCM_MSGNR_ADDRESS = 2000066,         // one address of a host, "%s|%s"
  CCM_MSGNR_SYSCALL = 2000102,         // a system call failed: call, errno and its text
  CCM_MSGNR_THREAD_STARTED = 2000134,  // the network thread runs, insert its name
  CCM_MSGNR_THREAD_CREATE = 2000136,   // the network thread could not be created
  CCM_MSGNR_CONNECTING = 2000348,      // a connection is being set up, "%s:%d(ID=%d)"
  CCM_MSGNR_NO_IPV6 = 2000361,         // the host offers no IPv6 sockets
  CCM_MSGNR_SEND_FAILED = 2002002,     // send on a channel failed
  CCM_MSGNR_RECV_FAILED = 2002036,     // receive on a channel failed
  CCM_MSGNR_CHANNEL_CLOSED = 2002040,  // any other channel was closed, "s=%d,ID=%d|%s"
  CCM_MSGNR_FD_PASSED = 2003060,       // a descriptor was passed to another process
  CCM_MSGNR_FORWARD_FAILED = 2003070,  // a NAT message could not be forwarded
};

// Source module names that allocation-failure inserts carry.
#define CCM_MODULE_CCM "src/_ccm/ccm"
#define CCM_MODULE_CCMMSG "src/_ccm/ccmmsg"

#endif  // QM7_CCM_MSGNR_H_
