// Outgoing connections: ccm_connect resolves the host, creates the channel entry, opens a
// non-blocking, close-on-exec socket bound to an ephemeral port and starts the connection; the
// network thread sees it complete or fail. Also the duplicate check for server connections.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "channel_text.h"
#include "error_util.h"
#include "output_state.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/connect.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"
#include "sockopt.h"

namespace {

socklen_t address_length(const struct sockaddr_in6& sa) {
  return sa.sin6_family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
}

void set_port(struct sockaddr_in6* sa, int port) {
  if (sa->sin6_family == AF_INET) {
    reinterpret_cast<struct sockaddr_in*>(sa)->sin_port = htons(static_cast<uint16_t>(port));
  } else {
    sa->sin6_port = htons(static_cast<uint16_t>(port));
  }
}

// Records a failed system call of ccm_connect in the caller's record, then destroys the channel
// (which posts its CHANNEL_CLOSE notice). The insert is built before the destruction.
int fail_connect(ccm_context_t* ccm, ccm_channel_t* ch, ccm_error_t* ccmerr, const char* call,
                 int err, const char* fn, const char* outcome) {
  if (call != nullptr) {
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "%s|%d(%s),S(%d(ID=%d))|", call, err,
                        strerror(err), ch->s, ch->ID);
  }
  ccm_channel_destroy(ccm, ch, ccmerr);
  QM7_TRACE("%s <-- (%s)", fn, outcome);
  return -1;
}

}  // namespace

int ccm_connect(ccm_context_t* ccm, const char* host, int port, int type,
                ccm_connect_user_context_t* cuc, int connwait, ccm_error_t* ccmerr) {
  if (host == nullptr) host = "";
  QM7_TRACE("%s(connect=%s:%d,type=%d) -->", __func__, host, port, type);
  QM7_TRACE("%s:      sizeof sockaddr     = %d", __func__, static_cast<int>(sizeof(sockaddr)));
  QM7_TRACE("%s:      sizeof sockaddr_in  = %d", __func__, static_cast<int>(sizeof(sockaddr_in)));
  QM7_TRACE("%s:      sizeof sockaddr_in6 = %d", __func__, static_cast<int>(sizeof(sockaddr_in6)));

  struct sockaddr_in6 sa;
  memset(&sa, 0, sizeof(sa));
  if (ccm_hostname2address(host, 0x2, &sa, ccmerr) != 0) {
    QM7_TRACE("%s <-- (error resolve hostname)", __func__);
    return -1;
  }
  ccm_channel_t* ch = nullptr;
  if (ccm_channel_new_entry(ccm, &ch, ccmerr) != 0) {
    QM7_TRACE("%s <-- (channel entry create error)", __func__);
    return -1;
  }
  ch->type = type;
  ch->port = port;
  StringCopy(ch->host, sizeof(ch->host), host);
  ccm_address2string(&sa, ch->addr, sizeof(ch->addr));
  ch->cuc = cuc;
  __log(CCM_MSGNR_CONNECTING, "%s:%d(ID=%d)", host, port, ch->ID);

  QM7_TRACE("%s:      socket(family=%d, SOCK_STREAM, %d) -->", __func__, sa.sin6_family, 0);
  ch->s = socket(sa.sin6_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int err = errno;
  QM7_TRACE("%s:      socket(...) <-- s=%d", __func__, ch->s);
  if (ch->s < 0) return fail_connect(ccm, ch, ccmerr, "socket()", err, __func__, "socket() error");
  if (ccm_set_nonblocking(ccm, ch, ccmerr) != 0) {
    return fail_connect(ccm, ch, ccmerr, nullptr, 0, __func__, "error set non-blocking mode");
  }
  if (ccm_set_linger(ccm, ch, 1, 60, ccmerr) != 0) {
    return fail_connect(ccm, ch, ccmerr, nullptr, 0, __func__, "error set linger");
  }
  qm7::ccm::set_nodelay(ch);

  struct sockaddr_in6 local;
  memset(&local, 0, sizeof(local));
  local.sin6_family = sa.sin6_family;  // wildcard address, port 0: the system picks
  QM7_TRACE("%s:      bind(%d,ID=%d) -->", __func__, ch->s, ch->ID);
  int rslt = bind(ch->s, reinterpret_cast<struct sockaddr*>(&local), address_length(local));
  err = errno;
  QM7_TRACE("%s:      bind(...) <-- rslt=%d,errno=%d-%s", __func__, rslt, err, strerror(err));
  if (rslt != 0) return fail_connect(ccm, ch, ccmerr, "bind()", err, __func__, "bind() error");

  QM7_TRACE("%s:      connect(%d(ID=%d), %s:%d) -->", __func__, ch->s, ch->ID, ch->addr, port);
  if (port < 0 || port > 65535) {
    // A port the socket address cannot hold is refused as connect() would refuse it, instead
    // of silently connecting to the port its low 16 bits name.
    rslt = -1;
    err = EINVAL;
  } else {
    set_port(&sa, port);
    rslt = connect(ch->s, reinterpret_cast<struct sockaddr*>(&sa), address_length(sa));
    err = errno;
  }
  QM7_TRACE("%s:      connect(...) <-- rslt=%d,errno=%d-%s", __func__, rslt, err, strerror(err));
  if (rslt != 0 && err != EINPROGRESS) {
    return fail_connect(ccm, ch, ccmerr, "connect()", err, __func__, "connect() error");
  }

  ccm_flag_set(&ch->flag, CCM_FLAG_CONNECTING | CCM_FLAG_CONNECT_WAIT);
  ch->connect_timeout_secs = connwait;
  ch->connect_timeout = time(nullptr) + connwait;
  // The network thread ends a connect that has not completed by then; 0 or less: no bound.
  ch->connect_deadline =
      connwait > 0 ? qm7::monotonic_ms() + static_cast<long long>(connwait) * 1000 : -1;
  int id = ch->ID;
  ccm_channel_chain(ccm, ch);
  ccm_wakeup_network(ccm);
  QM7_TRACE("%s <-- (ID=%d)", __func__, id);
  return id;
}

int ccm_is_cp_connecting(ccm_context_t* ccm, const char* host, int port, ccm_error_t* ccmerr) {
  if (host == nullptr) host = "";
  QM7_TRACE("%s(host=%s,port=%d) -->", __func__, host, port);
  struct sockaddr_in6 sa;
  memset(&sa, 0, sizeof(sa));
  if (ccm_hostname2address(host, 0x2, &sa, ccmerr) != 0) {
    QM7_TRACE("%s <-- (error resolve hostname)", __func__);
    return -1;
  }
  char addr[64];
  ccm_address2string(&sa, addr, sizeof(addr));
  QM7_TRACE("%s:      host(%s) ==> addr(%s)", __func__, host, addr);

  int found = 0;
  ccm_channel_lock(ccm);
  for (ccm_channel_queue_t* q : {&ccm->channelq, &ccm->channel_newq}) {
    for (ccm_channel_t* ch = q->head; ch != nullptr && !found; ch = ch->nxt) {
      QM7_TRACE(q == &ccm->channelq ? "%s:         --> type=%d,%.64s:%d"
                                    : "%s:         --> (newq)type=%d,%.64s:%d",
                __func__, ch->type, ch->addr, ch->port);
      found = !ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) && ch->type == CCM_TYPE_CP &&
              ch->port == port && strncmp(ch->addr, addr, sizeof(ch->addr)) == 0;
    }
  }
  ccm_channel_unlock(ccm);
  if (found) {
    QM7_TRACE("%s <-- (already connecting to that CP)", __func__);
    return 1;
  }
  QM7_TRACE("%s <-- (CP not found in channel list)", __func__);
  return 0;
}
