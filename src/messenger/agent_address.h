// The agent's address for a connection attempt: the host name looked up within a bound, in a
// thread of its own, so that a name server that never answers costs no more than the time-out
// the job gave. Internal to the messenger library.
#ifndef QM7_SRC_MESSENGER_AGENT_ADDRESS_H_
#define QM7_SRC_MESSENGER_AGENT_ADDRESS_H_

#include <netdb.h>

#include <string>

#include "qm7/ccm/error.h"

namespace qm7::detail {

// The resolver call, getaddrinfo unless a test passes another.
using resolver_fn = int (*)(const char* node, const char* service, const struct addrinfo* hints,
                            struct addrinfo** res);

// Resolves `host` (brackets and surrounding blanks are dropped, as the channel manager drops
// them) to the numeric address the channel manager would choose for it, IPv4 preferred, into
// `*address`; an address text is taken as it stands, without a look-up. Waits at most `seconds`
// (at least 1) for the resolver; one that has not answered by then is left to finish in the
// background. Returns 0, or -1 with `*ccmerr` filled: msgnr 2000102 and the insert
// "getaddrinfo|<code>(<text>)" with the resolver's code and gai_strerror text (errno and its
// text for EAI_SYSTEM), or "getaddrinfo|no answer within <n> seconds". Main thread.
int look_up_agent(const char* host, int seconds, std::string* address, ccm_error_t* ccmerr,
                  resolver_fn resolve = ::getaddrinfo);

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_AGENT_ADDRESS_H_
