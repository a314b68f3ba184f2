// Atomic access to the int flag words of the channel manager's records. A channel's flag and
// the context's flag are changed by the processor thread and the network thread alike, so every
// change is one atomic read-modify-write and every test an atomic load: no bit set by one thread
// is lost by the other.
#ifndef QM7_CCM_FLAG_H_
#define QM7_CCM_FLAG_H_

#include <atomic>

// Returns the current flag word. Any thread.
inline int ccm_flag_get(const int* flag) {
  return std::atomic_ref<int>(*const_cast<int*>(flag)).load(std::memory_order_acquire);
}

// Non-zero when any of `bits` is set. Any thread.
inline int ccm_flag_test(const int* flag, int bits) { return ccm_flag_get(flag) & bits; }

// Sets `bits` atomically. Any thread.
inline void ccm_flag_set(int* flag, int bits) {
  std::atomic_ref<int>(*flag).fetch_or(bits, std::memory_order_acq_rel);
}

// Clears `bits` atomically. Any thread.
inline void ccm_flag_clear(int* flag, int bits) {
  std::atomic_ref<int>(*flag).fetch_and(~bits, std::memory_order_acq_rel);
}

#endif  // QM7_CCM_FLAG_H_
