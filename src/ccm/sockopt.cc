// Socket settings shared by connect, listen and the accept path: non-blocking mode, lingering on
// close and no send delay on TCP. They take no lock: they are applied before a channel is chained.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "channel_text.h"
#include "error_util.h"
#include "qm7/ccm/connect.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"
#include "sockopt.h"

int ccm_set_nonblocking(ccm_context_t* /*ccm*/, ccm_channel_t* ccmch, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(%s) -->", __func__, qm7::ccm::channel_long(ccmch).c_str());
  int on = 1;
  if (ioctl(ccmch->s, FIONBIO, &on) != 0) {
    int err = errno;
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "ioctl(...,FIONBIO)|%d-%s", err, strerror(err));
    QM7_TRACE("%s <-- (ioctl error, dontblock)", __func__);
    return -1;
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ccm_set_linger(ccm_context_t* /*ccm*/, ccm_channel_t* ccmch, int onoff, int ptime,
                   ccm_error_t* ccmerr) {
  QM7_TRACE("%s(%s) -->", __func__, qm7::ccm::channel_long(ccmch).c_str());
  struct linger lg = {onoff, ptime};
  if (setsockopt(ccmch->s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) != 0) {
    int err = errno;
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "setsockopt(SO_LINGER,s=%d,ID=%d)|%d-%s",
                        ccmch->s, ccmch->ID, err, strerror(err));
    QM7_TRACE("%s <-- (setting linger error)", __func__);
    return -1;
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

void qm7::ccm::set_nodelay(ccm_channel_t* ccmch) {
  int on = 1;
  if (setsockopt(ccmch->s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
    int err = errno;
    QM7_TRACE("%s:      setsockopt(TCP_NODELAY,s=%d,ID=%d) <-- %d-%s", "ccm_set_nodelay", ccmch->s,
              ccmch->ID, err, strerror(err));
  }
}
