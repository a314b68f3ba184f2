// Error-record helpers shared by every module of the channel manager.
#include "error_util.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qm7/ccm/msgnr.h"

namespace qm7::ccm {

void set_error(ccm_error_t* ccmerr, int msgnr, const char* format, ...) {
  if (ccmerr == nullptr) return;
  ccmerr->msgnr = msgnr;
  va_list ap;
  va_start(ap, format);
  vsnprintf(ccmerr->msginsert, sizeof(ccmerr->msginsert), format, ap);
  va_end(ap);
}

void set_no_memory(ccm_error_t* ccmerr, const char* tag, const char* module, int line) {
  set_error(ccmerr, CCM_MSGNR_NO_MEMORY, "%s/%s(%d)", tag, module, line);
}

void fail_receive(ccm_context_t* ccm, ccm_channel_t* ch, int err) {
  ch->msgnr = CCM_MSGNR_RECV_FAILED;
  snprintf(ch->msginsert, sizeof(ch->msginsert), "%s|%d(%s),S(%d(ID=%d))|", ch->name, err,
           strerror(err), ch->s, ch->ID);
  ccm_channel_delete(ccm, ch);
}

void close_fd(int fd) {
  if (fd < 0) return;
  int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace qm7::ccm
