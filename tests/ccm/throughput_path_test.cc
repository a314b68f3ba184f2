// The per-message data path where it does less work than a literal reading would: wake-up bytes
// only where the other thread may be waiting; the select sets cleared only up to the highest
// descriptor must still give a failed select its insert naming the descriptors it was given.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"
#include "qm7/ccm.h"

namespace {

using namespace qm7::test;

class DataPathTest : public CcmTest {
 protected:
  void SetUp() override {
    CcmTest::SetUp();
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  }
  // Bytes waiting in the processor wake-up pipe (consumed); false in `all_p` if any is not "P".
  int drain(bool* all_p) {
    int n = 0;
    char buf[4096];
    ssize_t got;
    *all_p = true;
    while ((got = read(ccm_->processor_wakeup[0], buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < got; ++i) *all_p = *all_p && buf[i] == 'P';
      n += static_cast<int>(got);
    }
    return n;
  }
};

// The processor looks at recvq before it waits, so only a frame that finds the queue empty needs
// a wake-up byte; one per frame would make it return from that many empty waits later.
TEST_F(DataPathTest, FramesQueuedBehindOthersWriteNoWakeup) {
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("MANY", &ch);
  merge_newq(ccm_);
  std::string stream;
  for (int i = 0; i < 20; ++i) stream += job_state_frame();
  ASSERT_EQ(write(peer, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  ASSERT_EQ(ccm_read_channel(ccm_, ch, &err_), 0);  // 6780 bytes: all in one receive call
  bool all_p = false;
  EXPECT_EQ(drain(&all_p), 1);
  EXPECT_TRUE(all_p);
  ASSERT_EQ(write(peer, stream.data(), 339), 339);  // the queue is not empty: no byte
  ASSERT_EQ(ccm_read_channel(ccm_, ch, &err_), 0);
  EXPECT_EQ(drain(&all_p), 0);
  int n = 0;
  ccm_queue_lock(ccm_);
  for (ccm_msg_t* m = ccm_->recvq.head; m != nullptr; m = m->nxt) ++n;
  ccm_queue_unlock(ccm_);
  EXPECT_EQ(n, 21);
}

TEST_F(DataPathTest, FailedSelectNamesTheDescriptorsItWasGiven) {
  ccm_channel_t* ch = nullptr;
  add_pair_channel("GONE", &ch);
  const int gone = ch->s;
  close(gone);  // select() now refuses the set with EBADF
  const int wake = ccm_->network_wakeup[0];
  const int lo = wake < gone ? wake : gone;
  const int hi = wake < gone ? gone : wake;
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

// Bytes waiting in a pipe, not consumed.
int waiting(int fd) {
  int n = -1;
  ioctl(fd, FIONREAD, &n);
  return n;
}

TEST_F(DataPathTest, SendsShareAWakeupByteThatIsStillWaiting) {
  const int far = add_pair_channel("PEER");
  const int wake = ccm_->network_wakeup[0];
  char drop[16];
  while (read(wake, drop, sizeof drop) > 0) {  // the byte add_pair_channel wrote
  }
  for (int i = 0; i < 5; ++i) {
    ccm_msg_t* m = body_msg(10 + i);
    ccm_setaddr(m, 0, 0, "PEER", "", 0);
    ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  }
  EXPECT_EQ(waiting(wake), 1);
  // One pass takes the byte and writes all five frames.
  ccm_error_t err{};
  EXPECT_EQ(ccm_network_select(ccm_, 0, &err), 0);
  EXPECT_EQ(waiting(wake), 0);
  size_t total = 0;
  for (int i = 0; i < 5; ++i) total += 48 + 5 + 10 + i;
  EXPECT_EQ(read_exact(far, total).size(), total);
  // The thread is awake until its next pass begins, which dispatches what is sent meanwhile: no
  // byte. From the start of that pass on, a send writes one again.
  for (int expected : {0, 1}) {
    ccm_msg_t* m = body_msg(1);
    ccm_setaddr(m, 0, 0, "PEER", "", 0);
    ASSERT_EQ(send_NAT_message(ccm_, m), 0);
    EXPECT_EQ(waiting(wake), expected);
    ccm_dispatch_send_messages(ccm_);
  }
  // Explicit wake-ups always write.
  for (int i = 0; i < 3; ++i) ccm_wakeup_network(ccm_);
  EXPECT_EQ(waiting(wake), 4);
}

TEST_F(DataPathTest, SendWithoutPipesLeavesNoWakeupPending) {
  // Before the thread starts there is no pipe to write to: the first pass dispatches what is
  // queued, and the first send after the pipes exist writes its byte.
  ccm_close_wakeup_pipes(ccm_);
  ccm_msg_t* m = body_msg(1);
  ccm_setaddr(m, 0, 0, "NOWHERE", "", 0);
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  EXPECT_EQ(ccm_->send_wakeup_pending, 0);
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  m = body_msg(1);
  ccm_setaddr(m, 0, 0, "NOWHERE", "", 0);
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  EXPECT_EQ(waiting(ccm_->network_wakeup[0]), 1);
}

}  // namespace
