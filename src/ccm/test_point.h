// Named points in the network thread's and the receive path's code where a test can hold a
// thread, to make an interleaving that is rare in real runs happen every time. Without a hook
// installed a point costs one load and a branch.
#ifndef QM7_SRC_CCM_TEST_POINT_H_
#define QM7_SRC_CCM_TEST_POINT_H_

#include <atomic>

namespace qm7::ccm::testing {

using Hook = void (*)(const char* point);

// The hook every point calls; null outside tests. Install it before the threads it concerns run.
extern std::atomic<Hook> hook;

inline void point(const char* name) {
  if (Hook h = hook.load(std::memory_order_acquire)) h(name);
}

}  // namespace qm7::ccm::testing

#endif  // QM7_SRC_CCM_TEST_POINT_H_
