// Address resolution of the channel manager: host names and address texts to socket
// addresses and back, for IPv4 and IPv6 alike. A socket address is always held in a
// struct sockaddr_in6, which holds a struct sockaddr_in in its first part; the family field
// tells which. The operations keep no state and may run in several threads at once.
#ifndef QM7_CCM_CCM_TOOLS_H_
#define QM7_CCM_CCM_TOOLS_H_

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "qm7/ccm/error.h"

// Preference bits of the `options` argument.
enum : int {
  CCM_PREFER_IPV6 = 0x1,
  CCM_PREFER_IPV4 = 0x2,
};

// Resolves `phostname` (a name or address text, optionally in square brackets and blanks; the
// first 255 characters count) into `addr`, which is cleared first. Loopback and link-local
// addresses are chosen only when nothing else is offered; among the others the first of the
// preferred family wins, else the first. `ccmerr` is cleared first. Returns 0 when an address
// was stored; -1 when the resolver fails (msgnr 2000102, insert "getaddrinfo|<errno>(<text>)")
// or offers nothing (error record left clear).
int ccm_hostname2address(const char* phostname, int options, struct sockaddr_in6* addr,
                         ccm_error_t* ccmerr);

// Writes the address of the IPv6 (family AF_INET6) or otherwise IPv4 socket address `addr`
// as text into `dst` of `size` bytes. Returns 0, or -1 with `dst` empty when the text does not
// fit or `addr` is null.
int ccm_address2string(const struct sockaddr_in6* addr, char* dst, socklen_t size);

// Returns `in` itself when it has no ":" or already begins with "["; otherwise writes "[in]"
// into `out` (which needs strlen(in) + 3 bytes; at most 256 are written) and returns `out`.
// So IPv6 address texts get brackets, IPv4 texts and names do not.
const char* ccm_addressformatted(const char* in, char* out);

// Writes the address text of the local host (its name resolved with IPv4 preferred, whatever
// `options` says) into `out` of at least 64 bytes. Returns 0, or -1 with `ccmerr` filled: msgnr
// 2000102 with "getmyIP/gethostname()|<errno>(<text>)", or the resolution's record.
int ccm_getmyIP(int options, char* out, ccm_error_t* ccmerr);

// Logs message 2000066 "<hostname>|<address>" for every address of `hostname`, in the
// resolver's order, IPv6 addresses in brackets. Returns 0; -1 when the resolver fails (record
// as for ccm_hostname2address) or offers nothing.
int ccm_log_all_ip(const char* hostname, ccm_error_t* ccmerr);

// Returns 0 when an IPv6 stream socket can be created (it is closed at once); -1 with msgnr
// 2000102 and "socket(AF_INET6/IPv6)|<errno>(<text>)" when not.
int ccm_check_ipv6_support(ccm_error_t* ccmerr);

// Resolves `phostname` (brackets and surrounding blanks are dropped) to the numeric address
// ccm_hostname2address would choose for it with IPv4 preferred, as text into `out` of `size`
// bytes (a link-local IPv6 address with "%<scope>"); an address text is taken as it stands,
// without a look-up. The resolver has no time-out of its own, so it runs in a detached thread
// and this call waits at most `seconds` (at least 1) for it. Returns 0, or -1 with `out` empty
// and `ccmerr` filled: 2000102 and "getaddrinfo|<code>(<text>)" with the resolver's code and text
// (errno and its text for EAI_SYSTEM), "getaddrinfo|no answer within <n> seconds",
// "getaddrinfo|no usable address" or "getaddrinfo|address too long". Any thread.
int ccm_hostname2string_bounded(const char* phostname, int seconds, char* out, size_t size,
                                ccm_error_t* ccmerr);

#endif  // QM7_CCM_CCM_TOOLS_H_
