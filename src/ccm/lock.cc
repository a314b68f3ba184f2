// The six lock operations of a context: its queue_lock, its channel_lock and a channel's own
// queue_lock, and how they are made. All are adaptive mutexes; the lock order is channel_lock
// first, queue locks after.
#include "lock_init.h"
#include "qm7/ccm/context.h"
#include "qm7/runtime/trace.h"

namespace qm7::ccm {

void init_lock(ccm_lock_t* lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP  // a C library without adaptive mutexes: plain ones
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
  pthread_mutex_init(lock, &attr);
  pthread_mutexattr_destroy(&attr);
}

}  // namespace qm7::ccm

namespace {

int lock(const char* fn, pthread_mutex_t* mutex) {
  QM7_TRACE("%s() -->", fn);
  pthread_mutex_lock(mutex);
  QM7_TRACE("%s <-- (OK)", fn);
  return 0;
}

int unlock(const char* fn, pthread_mutex_t* mutex) {
  QM7_TRACE("%s() -->", fn);
  pthread_mutex_unlock(mutex);
  QM7_TRACE("%s <-- (OK)", fn);
  return 0;
}

}  // namespace

int ccm_queue_lock(ccm_context_t* ccm) { return lock(__func__, &ccm->queue_lock); }
int ccm_queue_unlock(ccm_context_t* ccm) { return unlock(__func__, &ccm->queue_lock); }
int ccm_channel_lock(ccm_context_t* ccm) { return lock(__func__, &ccm->channel_lock); }
int ccm_channel_unlock(ccm_context_t* ccm) { return unlock(__func__, &ccm->channel_lock); }

int ccmch_queue_lock(ccm_context_t* /*ccm*/, ccm_channel_t* ccmch) {
  return lock(__func__, &ccmch->queue_lock);
}

int ccmch_queue_unlock(ccm_context_t* /*ccm*/, ccm_channel_t* ccmch) {
  return unlock(__func__, &ccmch->queue_lock);
}
