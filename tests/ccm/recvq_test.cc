// Receiving on the processor side: messages already queued, waits that time out, wake-up bytes
// left over from messages taken without waiting, and refused waits.
#include <chrono>
#include <cstring>
#include <thread>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;
using Clock = std::chrono::steady_clock;

ccm_msg_t* post_notice(ccm_context_t* ccm, const char* type) {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm, &err);
  memset(msg->msg_start, 0, 20);
  memcpy(msg->msg_start, type, strlen(type));
  msg->len = 20;
  send_IPC_internal(ccm, msg);
  return msg;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(CcmTest, FiveCallsOverTwoQueuedMessages) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  ccm_msg_t* first = post_notice(ccm_, "CHANNEL_ACCEPT");
  ccm_msg_t* second = post_notice(ccm_, "CHANNEL_CLOSE");
  EXPECT_EQ(ccm_->msgq_inuse.head, nullptr);  // both moved to recvq

  ccm_msg_t* got = nullptr;
  auto start = Clock::now();
  EXPECT_EQ(ccm_receive_message(ccm_, 2, &got, &err_), 1);
  EXPECT_EQ(got, first);
  EXPECT_EQ(got->type, CCM_MSGTYPE_IPC);
  EXPECT_EQ(got->nxt, nullptr);
  ccm_msg_free(ccm_, got);
  EXPECT_EQ(ccm_receive_message(ccm_, 2, &got, &err_), 1);
  EXPECT_EQ(got, second);
  ccm_msg_free(ccm_, got);
  // The two wake-up bytes are still in the pipe: each of the next two calls consumes one and
  // returns 0 at once.
  EXPECT_EQ(ccm_receive_message(ccm_, 2, &got, &err_), 0);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(ccm_receive_message(ccm_, 2, &got, &err_), 0);
  EXPECT_LT(seconds_since(start), 1.0);
  // Only the fifth waits out its time-out.
  start = Clock::now();
  EXPECT_EQ(ccm_receive_message(ccm_, 1, &got, &err_), 0);
  EXPECT_GE(seconds_since(start), 0.9);
  EXPECT_EQ(got, nullptr);
}

TEST_F(CcmTest, EmptyQueueWithZeroTimeoutReturnsAtOnce) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  ccm_msg_t* got = reinterpret_cast<ccm_msg_t*>(&err_);
  auto start = Clock::now();
  EXPECT_EQ(ccm_receive_message(ccm_, 0, &got, &err_), 0);
  EXPECT_EQ(got, nullptr);
  EXPECT_LT(seconds_since(start), 0.5);
}

TEST_F(CcmTest, AMessagePostedDuringTheWaitIsReturned) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  std::thread poster([this] {
    // Posting while the receiver may already wait: the wake-up byte ends the wait.
    post_notice(ccm_, "CHANNEL_CLOSE");
  });
  ccm_msg_t* got = nullptr;
  int rslt = ccm_receive_message(ccm_, 10, &got, &err_);
  poster.join();
  if (rslt == 0) rslt = ccm_receive_message(ccm_, 10, &got, &err_);  // byte came before the post
  ASSERT_EQ(rslt, 1);
  EXPECT_EQ(memcmp(got->msg_start, "CHANNEL_CLOSE", 13), 0);
  ccm_msg_free(ccm_, got);
}

TEST_F(CcmTest, RefusedWaits) {
  ccm_msg_t* got = nullptr;
  // No pipe yet: the wait fails instead of touching descriptor -1.
  EXPECT_EQ(ccm_receive_message(ccm_, 1, &got, &err_), -1);
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(strncmp(err_.msginsert, "select(processor_wakeup(-1))|9-", 31), 0) << err_.msginsert;

  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  err_ = {};
  auto start = Clock::now();
  EXPECT_EQ(ccm_wait_processor(ccm_, -1, &err_), -1);  // a negative time-out is invalid
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_EQ(err_.msgnr, 2000102);
  char expected[64];
  snprintf(expected, sizeof(expected), "select(processor_wakeup(%d))|22-",
           ccm_->processor_wakeup[0]);
  EXPECT_EQ(strncmp(err_.msginsert, expected, strlen(expected)), 0) << err_.msginsert;

  // A queued message is still handed over without any wait.
  ccm_close_wakeup_pipes(ccm_);
  post_notice(ccm_, "CHANNEL_CLOSE");
  EXPECT_EQ(ccm_receive_message(ccm_, -1, &got, &err_), 1);
  ccm_msg_free(ccm_, got);
}

}  // namespace
