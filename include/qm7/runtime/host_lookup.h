// IPv4 host lookup of the runtime library: host names to dotted addresses and back, the check
// of a host definition "host" or "host:port", the resolver's error texts, and a socket's
// buffer sizes. The lookups use the re-entrant resolver calls, so any thread may call them
// at any time; each reports its outcome in the calling thread's errno or in the caller's
// qm7_error record. Nothing is retried.
#ifndef QM7_RUNTIME_HOST_LOOKUP_H_
#define QM7_RUNTIME_HOST_LOOKUP_H_

#include "qm7/runtime/qm7_error.h"

// Writes the dotted address of `Host` into `TcpAddr` (cleared for `oLen` bytes first, the text
// cut to `oLen` - 1 characters). A `Host` that is already a dotted address is copied
// unchanged and errno is left as it was; any other text (255.255.255.255 included) is
// resolved by name, the first address written and errno set to 0. When the name does not
// resolve, `TcpAddr` holds the resolver's error text (see getHerrnoString) and errno the
// resolver's error number; when the resolver gave none, `TcpAddr` stays empty and errno holds
// the system's error number (what gethostbyname_r returned, else errno, else ENOENT). Returns
// `TcpAddr`.
char* GetHostAddrTh(const char* Host, char* TcpAddr, int oLen);

// Writes the host name of the dotted address `IpAddr` into `HostName` (at most `oLen` - 1
// characters), found by reverse lookup; a text that is not a dotted address is taken as the
// name and copied. errno is 0 on success; when the reverse lookup fails, `HostName` holds the
// resolver's error text and errno the resolver's error number. Returns `HostName`.
char* GetHostNameTh(const char* IpAddr, char* HostName, int oLen);

// Checks the host definition `HostDef` ("host" or "host:port", at most 255 characters are
// looked at) and returns the port (as atoi reads the text behind the first ":"), 0 without
// one. `hostName` (`hostSize` bytes) receives the host's name and `ipAddr` (`ipSize` bytes)
// its dotted address. `qm7err` is cleared first; then qm_result 1 means the address is
// usable but its name is unknown, -1 that the name has no address; qm_errno and qm_msgInsert
// then carry the resolver's error number and text (the system's error number and no text when
// the resolver gave none, as for GetHostAddrTh).
int verifyHostDef(const char* HostDef, char* hostName, int hostSize, char* ipAddr, int ipSize,
                  qm7_error* qm7err);

// Copies the text of resolver error `herrno` into `resString` (at most `resLen` - 1
// characters): 1 "HOST_NOT_FOUND", 2 "TRY_AGAIN", 3 "NO_RECOVERY", 4 "NO_DATA", any other
// value "????". Returns `resString`.
char* getHerrnoString(char* resString, int resLen, int herrno);

// The socket's receive (SO_RCVBUF) or send (SO_SNDBUF) buffer size; 0 for descriptor 0 (not
// asked) or when the query fails. GetSendSocketBuffer clears errno before asking.
int GetRecvSocketBuffer(int Socket);
int GetSendSocketBuffer(int Socket);

#endif  // QM7_RUNTIME_HOST_LOOKUP_H_
