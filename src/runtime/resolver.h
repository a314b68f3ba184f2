// Re-entrant IPv4 resolver calls for the host lookup functions: no static result areas, so
// two threads may look up at once.
#ifndef QM7_SRC_RUNTIME_RESOLVER_H_
#define QM7_SRC_RUNTIME_RESOLVER_H_

#include <netinet/in.h>

#include <string>

namespace qm7::detail {

// True when `text` is a dotted IPv4 address as inet_addr reads it (255.255.255.255, the
// invalid-address value, is not); the address is stored in `*addr` when given.
bool is_dotted_address(const char* text, in_addr* addr);

// "%d.%d.%d.%d" of `addr`.
std::string dotted(in_addr addr);

// First IPv4 address of host `name`. Returns 0; on failure the resolver's error number (h_errno,
// 1 and above), or when the resolver gave none (0 or NETDB_INTERNAL) the system's error number
// negated: the code gethostbyname_r returned, else errno, else ENOENT.
int resolve_name(const char* name, in_addr* addr);

// Official name of the host with IPv4 address `addr`. Returns 0, or the resolver's error
// number as resolve_name does.
int resolve_address(in_addr addr, std::string* name);

}  // namespace qm7::detail

#endif  // QM7_SRC_RUNTIME_RESOLVER_H_
