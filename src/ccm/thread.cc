// Start, loop and stop of the network thread. `loop` is set to 1 only by ccm_thread_start,
// before the thread exists, so that a stop which comes before the thread's first pass is never
// undone; the thread reads it before every pass and the stop's wake-up byte ends a waiting pass.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "error_util.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "wakeup.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/host.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/thread.h"
#include "qm7/runtime/trace.h"

namespace {

int loop_get(ccm_context_t* ccm) {
  return std::atomic_ref<int>(ccm->loop).load(std::memory_order_acquire);
}

void loop_set(ccm_context_t* ccm, int value) {
  std::atomic_ref<int>(ccm->loop).store(value, std::memory_order_release);
}

const char* thread_name() {
  switch (ccm_pcx != nullptr ? ccm_pcx->running_mode : -1) {
    case 0:
      return "AGENT/CCM";
    case 1:
      return "LISTENER/CCM";
    case 2:
      return "FTX/CCM";
    default:
      return "";
  }
}

// After a failed select the next pass would fail at once again: wait a little so a lasting
// error costs no CPU. Short enough that a stop is still honoured promptly.
void pause_after_error() {
  struct timespec ts = {0, 100 * 1000 * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int ccm_thread_start(ccm_context_t* ccm, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  pthread_attr_init(&ccm->thread_attr);
  pthread_attr_setdetachstate(&ccm->thread_attr, PTHREAD_CREATE_JOINABLE);
  if (ccm_create_wakeup_pipes(ccm, ccmerr) != 0) {
    QM7_TRACE("%s <-- (error creating wakeup pipes)", __func__);
    return -1;
  }
  loop_set(ccm, 1);
  // The network thread takes no signal meant for the process: a signal the host uses to end a
  // wait (SIGUSR1 for the messenger, SIGTERM for a server) must reach the host's own thread,
  // not end a select() the network thread simply starts again. It inherits this mask.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int rslt = pthread_create(&ccm->thread, &ccm->thread_attr, ccm_thread_run, ccm);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rslt != 0) {
    // pthread_create reports its error as its result and leaves errno alone.
    loop_set(ccm, 0);
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_THREAD_CREATE, "%s|%s=%d(%d-%s)", "CCM-thread",
                        "pthread_create()", rslt, rslt, strerror(rslt));
    QM7_TRACE("%s <-- (pthread_create() error)", __func__);
    return -1;
  }
  ccm->thread_joinable = 1;
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

void* ccm_thread_run(void* pccm) {
  auto* ccm = static_cast<ccm_context_t*>(pccm);
  const char* name = thread_name();
  __log(CCM_MSGNR_THREAD_STARTED, "%s", name);
  ccm_error_t ccmerr{};
  while (loop_get(ccm) != 0) {
    int rslt;
    {
      // What a pass delivers to the processor (messages, accept and close notices) is announced
      // with one wake-up byte when the pass ends, not one per delivery.
      qm7::ccm::PassWakeups batch(ccm);
      rslt = ccm_network_select(ccm, CCM_SELECT_TIMEOUT, &ccmerr);
      if (ccm_flag_test(&ccm->flag, CCM_CTX_DELETED)) ccm_destroy_deleted_channels(ccm);
    }
    if (rslt < 0 && loop_get(ccm) != 0) pause_after_error();
  }
  QM7_TRACE("%s:      ccm_thread_run <-- (BYE-BYE)", __func__);
  return nullptr;
}

int ccm_thread_stop(ccm_context_t* ccm) {
  loop_set(ccm, 0);
  ccm_wakeup_network(ccm);
  QM7_TRACE("%s:      stopping network thread initiated", __func__);
  return 0;
}

int ccm_channel_maintenance(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}
