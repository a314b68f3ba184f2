// Helpers of the channel manager tests: a logger that records every numbered message, a context
// fixture, and the one step of the network thread the tests need (merging channel_newq).
#ifndef QM7_TESTS_CCM_CCM_TEST_UTIL_H_
#define QM7_TESTS_CCM_CCM_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "qm7/ccm.h"

namespace qm7::test {

// Records every log call while it lives; restores the previous logger afterwards.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::pair<int, std::string>> entries() const;
  void clear();
};

// Moves channel_newq to the tail of channelq, as the network thread does at a pass's start.
void merge_newq(ccm_context_t* ccm);

// A context opened for one test and closed afterwards (channels closed first).
class CcmTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ccm_host_context_t host_{3, nullptr};
  ccm_context_t* ccm_ = nullptr;
  ccm_error_t err_{};
};

}  // namespace qm7::test

#endif  // QM7_TESTS_CCM_CCM_TEST_UTIL_H_
