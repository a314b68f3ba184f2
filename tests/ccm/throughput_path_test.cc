// The per-message data path where it does less work than a literal reading would: wake-up bytes
// only where the other thread may be waiting; the select sets cleared only up to the highest
// descriptor must still give a failed select its insert naming the descriptors it was given.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"
#include "qm7/ccm.h"

namespace {

using namespace qm7::test;
using DataPathTest = CcmTest;

// Sends share a network wake-up byte that is still waiting; the processor looks at recvq before
// it waits, so only a frame that finds the queue empty writes it a byte. A byte per message would
// make the other thread return from that many empty waits later.
TEST_F(DataPathTest, WakeupBytesOnlyWhereTheOtherThreadMayWait) {
  ccm_channel_t* ch = nullptr;
  const int far = add_pair_channel("PEER", &ch);
  auto send = [this](int len) {
    ccm_msg_t* m = body_msg(len);
    ccm_setaddr(m, 0, 0, "PEER", "", 0);
    ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  };
  send(1);  // before the thread starts there is no pipe to write to, and none is owed
  EXPECT_EQ(ccm_->send_wakeup_pending, 0);
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  const int wake = ccm_->network_wakeup[0];
  for (int i = 0; i < 5; ++i) send(10 + i);
  EXPECT_EQ(waiting(wake), 1);
  // One pass takes the byte and writes all six frames.
  EXPECT_EQ(ccm_network_select(ccm_, 0, &err_), 0);
  EXPECT_EQ(waiting(wake), 0);
  const size_t total = 6 * (48 + 5) + 1 + 10 + 11 + 12 + 13 + 14;
  EXPECT_EQ(read_exact(far, total).size(), total);
  // The thread is awake until its next pass begins, which dispatches what is sent meanwhile: no
  // byte. From the start of that pass on, a send writes one again.
  for (int expected : {0, 1}) {
    send(1);
    EXPECT_EQ(waiting(wake), expected);
    ccm_dispatch_send_messages(ccm_);
  }
  for (int i = 0; i < 3; ++i) ccm_wakeup_network(ccm_);  // explicit wake-ups always write
  EXPECT_EQ(waiting(wake), 4);
  EXPECT_EQ(ccm_network_select(ccm_, 0, &err_), 0);  // one pass answers them all
  EXPECT_EQ(waiting(wake), 0);

  std::string stream;
  for (int i = 0; i < 20; ++i) stream += job_state_frame();
  ASSERT_EQ(write(far, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  ASSERT_EQ(ccm_read_channel(ccm_, ch, &err_), 0);  // 6780 bytes: all in one receive call
  const int processor = ccm_->processor_wakeup[0];
  EXPECT_EQ(read_exact(processor, 1), "P");  // one byte for the 20 frames
  EXPECT_EQ(waiting(processor), 0);
  ASSERT_EQ(write(far, stream.data(), 339), 339);  // the queue is not empty: no byte
  ASSERT_EQ(ccm_read_channel(ccm_, ch, &err_), 0);
  EXPECT_EQ(waiting(processor), 0);
  ccm_queue_lock(ccm_);
  EXPECT_EQ(ccm_queue_count(&ccm_->recvq), 21);
  ccm_queue_unlock(ccm_);
}

TEST_F(DataPathTest, FailedSelectNamesTheDescriptorsItWasGiven) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  ccm_channel_t* ch = nullptr;
  add_pair_channel("GONE", &ch);
  const int gone = ch->s;
  close(gone);  // select() now refuses the set with EBADF
  const int wake = ccm_->network_wakeup[0];
  const int lo = std::min(wake, gone), hi = std::max(wake, gone);
  ccm_error_t err{};
  EXPECT_EQ(ccm_network_select(ccm_, 0, &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
  const std::string want = "select(" + std::to_string(hi + 1) + ",RSET[" + std::to_string(lo) +
                           "," + std::to_string(hi) + "],WSET[])|9-";
  EXPECT_EQ(std::string(err.msginsert).rfind(want, 0), 0u) << err.msginsert;
  ch->s = -1;  // the descriptor is closed already
}

TEST_F(DataPathTest, HeaderLengthFieldHasEightDigits) {
  ccm_msg_t* msg = body_msg(48);
  for (int len : {0, 7, 339, 100048, 12345678, 99999999}) {
    msg->len = len;
    ccm_msg_set_protocol_header(msg, "NAT");
    char want[9];
    snprintf(want, sizeof want, "%.8d", len);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(msg->msg_start), 8), want);
  }
  ccm_msg_free(ccm_, msg);
}

}  // namespace
