// Receiving on the processor side: queued messages, waits that time out, wake-up bytes left by
// messages taken without waiting, a message posted during the wait, and refused waits.
#include <chrono>
#include <cstring>
#include <thread>

#include "ccm/ccm_test_util.h"
#include "flow_control.h"

namespace {

using namespace qm7::test;
using Clock = std::chrono::steady_clock;
using RecvqTest = CcmTest;

ccm_msg_t* post_notice(ccm_context_t* ccm, const char* type) {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm, &err);
  msg->addr.src_ID = 7;  // a reused message may carry a channel's ID; the notice must not
  memset(msg->msg_start, 0, 20);
  memcpy(msg->msg_start, type, strlen(type));
  msg->len = 20;
  send_IPC_internal(ccm, msg);
  return msg;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(RecvqTest, QueuedMessagesTimeOutsAndAMessagePostedDuringTheWait) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  ccm_msg_t* const posted[] = {post_notice(ccm_, "CHANNEL_ACCEPT"),
                               post_notice(ccm_, "CHANNEL_CLOSE")};
  auto start = Clock::now();
  ccm_msg_t* got = nullptr;
  // A batch taken off recvq holds a quarter of the input bound, or its first message: the rest
  // still counts against the bound.
  const size_t cost = qm7::ccm::queued_cost(posted[1]);
  ccm_->max_queued_input = 4 * cost;
  for (ccm_msg_t* expected : posted) {
    EXPECT_EQ(ccm_receive_message(ccm_, 2, &got, &err_), 1);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(ccm_->recvq_bytes, expected == posted[0] ? cost : 0);
    EXPECT_EQ(got->type, CCM_MSGTYPE_IPC);
    EXPECT_TRUE(ccm_msg_is_internal(got));
    got->addr.src_ID = 1;  // as a frame from channel 1 that reads the same
    EXPECT_FALSE(ccm_msg_is_internal(got));
    ccm_msg_free(ccm_, got);
  }
  // The first notice found the queue empty and wrote the one wake-up byte, still in the pipe:
  // the next call consumes it and returns 0 at once; only the fourth waits out its time-out.
  EXPECT_EQ(ccm_receive_message(ccm_, 2, &got, &err_), 0);
  EXPECT_EQ(got, nullptr);
  EXPECT_LT(seconds_since(start), 1.0);
  start = Clock::now();
  EXPECT_EQ(ccm_receive_message(ccm_, 1, &got, &err_), 0);
  EXPECT_GE(seconds_since(start), 0.9);
  start = Clock::now();
  EXPECT_EQ(ccm_receive_message(ccm_, 0, &got, &err_), 0);
  EXPECT_LT(seconds_since(start), 0.5);
  // A message posted during the wait is returned.
  std::thread poster([this] { post_notice(ccm_, "CHANNEL_CLOSE"); });
  int rslt = ccm_receive_message(ccm_, 10, &got, &err_);
  poster.join();
  if (rslt == 0) rslt = ccm_receive_message(ccm_, 10, &got, &err_);  // byte came before the post
  ASSERT_EQ(rslt, 1);
  EXPECT_EQ(ipc_type(got), "CHANNEL_CLOSE");
  ccm_msg_free(ccm_, got);
}

TEST_F(RecvqTest, RefusedWaits) {
  ccm_msg_t* got = nullptr;
  EXPECT_EQ(ccm_receive_message(ccm_, 1, &got, &err_), -1);  // no pipe: never descriptor -1
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(strncmp(err_.msginsert, "select(processor_wakeup(-1))|9-", 31), 0) << err_.msginsert;
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  auto start = Clock::now();
  EXPECT_EQ(ccm_wait_processor(ccm_, -1, &err_), -1);  // a negative time-out is invalid
  EXPECT_LT(seconds_since(start), 0.5);
  const std::string expected =
      "select(processor_wakeup(" + std::to_string(ccm_->processor_wakeup[0]) + "))|22-";
  EXPECT_EQ(std::string(err_.msginsert).rfind(expected, 0), 0u) << err_.msginsert;
  ccm_close_wakeup_pipes(ccm_);
  post_notice(ccm_, "CHANNEL_CLOSE");  // a queued message is handed over without any wait
  EXPECT_EQ(ccm_receive_message(ccm_, -1, &got, &err_), 1);
  ccm_msg_free(ccm_, got);
}

}  // namespace
