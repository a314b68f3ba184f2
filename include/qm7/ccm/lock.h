// The lock type of the channel manager: a non-recursive mutex (adaptive: a waiter spins briefly
// before it sleeps). A thread must never take a lock it holds already. Lock order: a context's
// channel_lock, then its queue_lock, then a channel's queue_lock; no path takes channel_lock while
// it holds a queue lock, nor the context's queue_lock while it holds a channel's (see
// qm7/ccm/host_interface.h).
#ifndef QM7_CCM_LOCK_H_
#define QM7_CCM_LOCK_H_

#include <pthread.h>

typedef pthread_mutex_t ccm_lock_t;

#endif  // QM7_CCM_LOCK_H_
