// Error-record helpers shared by every module of the channel manager.
#include "error_util.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

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

void close_fd(int fd) {
  if (fd < 0) return;
  int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace qm7::ccm
