// The two wake-up pipes through which the processor thread and the network thread rouse each
// other: one byte per wake-up. Both ends are non-blocking and close-on-exec, so a wake-up never
// blocks its writer (a full pipe means a wake-up is pending already) and no child inherits them.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "error_util.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"
#include "wakeup.h"

namespace {

// Writes one byte, retrying after EINTR; false when the pipe took nothing (full or closed).
bool write_one(int fd, char byte) {
  ssize_t put;
  while ((put = write(fd, &byte, 1)) < 0 && errno == EINTR) {
  }
  return put == 1;
}

// Writes one byte; a full pipe (EAGAIN) drops it.
void write_wakeup_byte(int fd, char byte) {
  if (fd < 0) return;
  int saved = errno;
  write_one(fd, byte);
  errno = saved;
}

}  // namespace

namespace qm7::ccm {

void drain_wakeups(int fd) {
  char bytes[512];
  for (;;) {
    const ssize_t n = read(fd, bytes, sizeof(bytes));
    if (n == static_cast<ssize_t>(sizeof(bytes)) || (n < 0 && errno == EINTR)) continue;
    return;
  }
}

void wakeup_network_for_send(ccm_context_t* ccm) {
  if (ccm == nullptr) return;
  std::atomic_ref<int> pending(ccm->send_wakeup_pending);
  if (pending.exchange(1) == 1) return;
  const int fd = ccm->network_wakeup[1];
  const int saved = errno;
  // A full pipe has a byte waiting already; with no pipe (no thread yet) there is none, and the
  // thread's first pass dispatches what is queued, so the next send must write again.
  if (fd < 0 || (!write_one(fd, 'N') && errno != EAGAIN)) pending.store(0);
  errno = saved;
}

void network_pass_begins(ccm_context_t* ccm) {
  std::atomic_ref<int>(ccm->send_wakeup_pending).store(0);
}

void network_thread_awake(ccm_context_t* ccm) {
  std::atomic_ref<int>(ccm->send_wakeup_pending).store(1);
}

namespace {
// The context whose network thread is in a pass on this thread, and whether a wake-up of its
// processor came due during the pass.
thread_local ccm_context_t* pass_of = nullptr;
thread_local bool pass_wakeup_due = false;
}  // namespace

void wakeup_processor_for_append(ccm_context_t* ccm) {
  if (pass_of == ccm) {
    pass_wakeup_due = true;
  } else {
    ccm_wakeup_processor(ccm);
  }
}

PassWakeups::PassWakeups(ccm_context_t* ccm) : ccm_(ccm) {
  pass_of = ccm;
  pass_wakeup_due = false;
}

PassWakeups::~PassWakeups() {
  pass_of = nullptr;
  if (pass_wakeup_due) ccm_wakeup_processor(ccm_);
}

}  // namespace qm7::ccm

int ccm_create_wakeup_pipes(ccm_context_t* ccm, ccm_error_t* ccmerr) {
  QM7_TRACE("%s() -->", __func__);
  ccm_close_wakeup_pipes(ccm);
  qm7::ccm::network_pass_begins(ccm);  // new pipes hold no byte
  if (pipe2(ccm->network_wakeup, O_CLOEXEC | O_NONBLOCK) != 0 ||
      pipe2(ccm->processor_wakeup, O_CLOEXEC | O_NONBLOCK) != 0) {
    int err = errno;
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "pipe(wakeups)|%d-%s|", err, strerror(err));
    QM7_TRACE("%s <-- (pipe() error)", __func__);
    return -1;
  }
  QM7_TRACE("%s:      network wakeup FDs=%d,%d", __func__, ccm->network_wakeup[0],
            ccm->network_wakeup[1]);
  QM7_TRACE("%s:      processor wakeup FDs=%d,%d", __func__, ccm->processor_wakeup[0],
            ccm->processor_wakeup[1]);
  QM7_TRACE("%s <-- ()", __func__);
  return 0;
}

int ccm_close_wakeup_pipes(ccm_context_t* ccm) {
  QM7_TRACE("%s() -->", __func__);
  for (int* fd : {&ccm->network_wakeup[0], &ccm->network_wakeup[1], &ccm->processor_wakeup[0],
                  &ccm->processor_wakeup[1]}) {
    qm7::ccm::close_fd(*fd);
    *fd = -1;
  }
  QM7_TRACE("%s <-- ()", __func__);
  return 0;
}

int ccm_wakeup_network(ccm_context_t* ccm) {
  if (ccm == nullptr) return 0;
  write_wakeup_byte(ccm->network_wakeup[1], 'N');
  return 0;
}

int ccm_wakeup_processor(ccm_context_t* ccm) {
  if (ccm == nullptr) return 0;
  write_wakeup_byte(ccm->processor_wakeup[1], 'P');
  return 0;
}
