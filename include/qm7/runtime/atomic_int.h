// An integer shared between threads, guarded by its own mutex. Every function returns the
// result of the mutex call (0 on success, an error number otherwise) or the value it names.
#ifndef QM7_RUNTIME_ATOMIC_INT_H_
#define QM7_RUNTIME_ATOMIC_INT_H_

#include <pthread.h>

typedef pthread_mutex_t atomic_lock_t;

typedef struct atomic_int {
  int value;           // guarded by lock
  atomic_lock_t lock;  // initialised by atomic_lock_init, released by atomic_lock_destroy
} atomic_int_t;

// Initialise (default attributes) or destroy the mutex. Not concurrently with any other call
// on the same record.
int atomic_lock_init(atomic_int_t* ai);
int atomic_lock_destroy(atomic_int_t* ai);

// Lock or unlock the mutex; atomic_lock blocks until it is free.
int atomic_lock(atomic_int_t* ai);
int atomic_unlock(atomic_int_t* ai);

// Sets `value` to 0 under the lock; returns 0.
int atomic_int_init(atomic_int_t* ai);

// Sets `value` to `pvalue` under the lock; returns the value as it stood before unlocking
// (`pvalue`). Any thread.
int atomic_int_set(atomic_int_t* ai, int pvalue);

// Returns `value` as read under the lock. Any thread.
int atomic_int_get(atomic_int_t* ai);

#endif  // QM7_RUNTIME_ATOMIC_INT_H_
