// The address resolution's choice among the resolver's answers and its failure record, apart
// so that tests can try them on crafted lists. Internal to the channel manager.
#ifndef QM7_SRC_CCM_RESOLVER_INTERNAL_H_
#define QM7_SRC_CCM_RESOLVER_INTERNAL_H_

#include <netdb.h>

#include <string>

#include "qm7/ccm/ccm_tools.h"

namespace qm7::ccm_detail {

// The entry of `list` that ccm_hostname2address takes for `options`, or null for an empty
// list. Pure apart from trace lines, so the preference rules can be tried on crafted lists.
const struct addrinfo* choose_address(const struct addrinfo* list, int options);

// Logs one message 2000066 per entry of `list` as ccm_log_all_ip does.
void log_address_list(const char* hostname, const struct addrinfo* list);

// Fills `ccmerr` for a failed getaddrinfo that returned `rc` with errno `err`: 2000102 and
// "getaddrinfo|%d(%s)" with the resolver's own code and text, or errno and its text for
// EAI_SYSTEM (the only failure after which errno means anything).
void resolver_failed(ccm_error_t* ccmerr, int rc, int err);

}  // namespace qm7::ccm_detail

namespace qm7::ccm {

// The resolver call, getaddrinfo unless a test passes another.
using resolver_fn = int (*)(const char* node, const char* service, const struct addrinfo* hints,
                            struct addrinfo** res);

// ccm_hostname2string_bounded with the resolver to call and the address as a string.
int resolve_bounded(const char* host, int seconds, std::string* address, ccm_error_t* ccmerr,
                    resolver_fn resolve);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_RESOLVER_INTERNAL_H_
