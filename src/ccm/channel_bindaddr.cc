// Learning a channel's local address. The read path asks while CCM_FLAG_BINDADDR is clear; a
// socket that still reports the unspecified address (bound to the wildcard, connect not yet
// complete) is asked again at the next read.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "channel_text.h"
#include "error_util.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

namespace {

bool is_unspecified(const struct sockaddr_in6& sa) {
  if (sa.sin6_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const struct sockaddr_in*>(&sa);
    return v4->sin_addr.s_addr == htonl(INADDR_ANY);
  }
  return IN6_IS_ADDR_UNSPECIFIED(&sa.sin6_addr);
}

}  // namespace

int ccm_channel_bindaddr_inquire(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(%s) -->", __func__, qm7::ccm::channel_short(ccmch).c_str());
  if (strncmp(ccmch->name, "*IPC", 4) == 0) {
    ccm_flag_set(&ccmch->flag, CCM_FLAG_BINDADDR);
    QM7_TRACE("%s <-- (IPC channel, no bind addr)", __func__);
    return 0;
  }
  struct sockaddr_in6 sa;
  memset(&sa, 0, sizeof(sa));
  socklen_t len = sizeof(sa);
  QM7_TRACE("%s:      getsockname(%d,...,len=%d) -->", __func__, ccmch->s, static_cast<int>(len));
  int rslt = getsockname(ccmch->s, reinterpret_cast<struct sockaddr*>(&sa), &len);
  int err = errno;
  QM7_TRACE("%s:      getsockname(...) <-- rslt=%d,errno=%d-%s", __func__, rslt, err,
            strerror(err));
  if (rslt != 0) {
    ccm_channel_delete(ccm, ccmch);
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "getsockname()|%d(%s),S(%d(ID=%d))|", err,
                        strerror(err), ccmch->s, ccmch->ID);
    QM7_TRACE("%s <-- (getsockname() error, bind address)", __func__);
    return -1;
  }
  if (sa.sin6_family != AF_INET && sa.sin6_family != AF_INET6) {
    // A local (AF_UNIX) socket has no address worth knowing; stop asking.
    ccmch->bind_addr[0] = '\0';
    ccm_flag_set(&ccmch->flag, CCM_FLAG_BINDADDR);
    QM7_TRACE("%s <-- (OK, bind address = %s)", __func__, ccmch->bind_addr);
    return 0;
  }
  if (is_unspecified(sa)) {
    QM7_TRACE("%s <-- (try it later)", __func__);
    return 0;
  }
  ccm_address2string(&sa, ccmch->bind_addr, sizeof(ccmch->bind_addr));
  ccm_flag_set(&ccmch->flag, CCM_FLAG_BINDADDR);
  QM7_TRACE("%s <-- (OK, bind address = %s)", __func__, ccmch->bind_addr);
  return 0;
}
