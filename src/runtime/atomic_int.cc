// A mutex-guarded integer. Every read and write of `value` happens with the lock held: a read
// after unlocking would race with the next writer.
#include "qm7/runtime/atomic_int.h"

int atomic_lock_init(atomic_int_t* ai) { return pthread_mutex_init(&ai->lock, nullptr); }
int atomic_lock_destroy(atomic_int_t* ai) { return pthread_mutex_destroy(&ai->lock); }
int atomic_lock(atomic_int_t* ai) { return pthread_mutex_lock(&ai->lock); }
int atomic_unlock(atomic_int_t* ai) { return pthread_mutex_unlock(&ai->lock); }

int atomic_int_init(atomic_int_t* ai) { return atomic_int_set(ai, 0); }

int atomic_int_set(atomic_int_t* ai, int pvalue) {
  atomic_lock(ai);
  ai->value = pvalue;
  const int value = ai->value;
  atomic_unlock(ai);
  return value;
}

int atomic_int_get(atomic_int_t* ai) {
  atomic_lock(ai);
  const int value = ai->value;
  atomic_unlock(ai);
  return value;
}
