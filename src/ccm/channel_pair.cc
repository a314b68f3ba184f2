// Two channels over a connected pair of local stream sockets (both close-on-exec and
// non-blocking). A failure part-way releases what was made and chains nothing, so no notice is
// posted for channels nobody ever saw.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "error_util.h"
#include "qm7/ccm/connect.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

namespace {

// Releases an entry that was never chained: socket, lock and record, no log line, no notice.
void drop_entry(ccm_channel_t* ch) {
  if (ch == nullptr) return;
  qm7::ccm::close_fd(ch->s);
  pthread_mutex_destroy(&ch->queue_lock);
  free(ch);
}

bool make_nonblocking(const char* fn, int s) {
  int on = 1;
  QM7_TRACE("%s:      ioctl( %d, DONTBLOCK) -->", fn, s);
  int rslt = ioctl(s, FIONBIO, &on);
  int err = errno;
  QM7_TRACE("%s:      ioctl(...) <-- rslt=%d,errno=%d-%s", fn, rslt, err, strerror(err));
  return rslt == 0;
}

}  // namespace

int ccm_channel_create_pair(ccm_context_t* ccm, ccm_channel_t** pch1, ccm_channel_t** pch2,
                            ccm_error_t* ccmerr) {
  QM7_TRACE("%s() -->", __func__);
  ccm_channel_t* ch1 = nullptr;
  ccm_channel_t* ch2 = nullptr;
  if (ccm_channel_new_entry(ccm, &ch1, ccmerr) != 0 ||
      ccm_channel_new_entry(ccm, &ch2, ccmerr) != 0) {
    drop_entry(ch1);
    QM7_TRACE("%s <-- (error creating socket pair)", __func__);
    return -1;
  }
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    int err = errno;
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "socketpair()|%d(%s)", err, strerror(err));
    drop_entry(ch1);
    drop_entry(ch2);
    QM7_TRACE("%s <-- (error creating socket pair)", __func__);
    return -1;
  }
  ch1->s = sv[0];
  ch2->s = sv[1];
  if (!make_nonblocking(__func__, ch1->s) || !make_nonblocking(__func__, ch2->s)) {
    if (ccmerr != nullptr) ccmerr->msgnr = -1;
    drop_entry(ch1);
    drop_entry(ch2);
    QM7_TRACE("%s <-- (ioctl error, dontblock)", __func__);
    return -1;
  }
  *pch1 = ch1;
  *pch2 = ch2;
  ccm_channel_chain(ccm, ch1);
  ccm_channel_chain(ccm, ch2);
  QM7_TRACE(
      "%s <-- (WAKEUP=channel(%p,s=%d/chID=%d,%s,flag=%.8X) / "
      "SIGNAL=channel(%p,s=%d/chID=%d,%s,flag=%.8X))",
      __func__, static_cast<void*>(ch1), ch1->s, ch1->ID, ch1->name,
      static_cast<unsigned>(ccm_flag_get(&ch1->flag)), static_cast<void*>(ch2), ch2->s, ch2->ID,
      ch2->name, static_cast<unsigned>(ccm_flag_get(&ch2->flag)));
  return 0;
}
