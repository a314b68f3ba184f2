// How the channel manager makes its locks. Internal to the channel manager.
#ifndef QM7_SRC_CCM_LOCK_INIT_H_
#define QM7_SRC_CCM_LOCK_INIT_H_

#include "qm7/ccm/lock.h"

namespace qm7::ccm {

// Initialises `lock` as an adaptive mutex: a thread that finds it taken spins briefly before it
// sleeps. Every critical section of the channel manager is a few pointer moves or a short walk,
// so the holder, running on the other processor, is nearly always done before the spin is; a
// sleep would cost both threads a system call and the waiter a context switch.
void init_lock(ccm_lock_t* lock);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_LOCK_INIT_H_
