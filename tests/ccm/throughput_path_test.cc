// The per-message data path where it does less work than a literal reading would: wake-up bytes
// of one receive call written together must leave the pipe as single wake-ups would, even when
// it is nearly full; the select sets cleared only up to the highest descriptor must still give a
// failed select its insert naming the descriptors it was given.
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
  // Fills the processor pipe, reads `freed` bytes back, runs `wake`, and returns how many bytes
  // `wake` put in. The pipe is empty again afterwards.
  template <typename Wake>
  int after_filling(int freed, Wake wake) {
    const int w = ccm_->processor_wakeup[1];
    const std::string block(4096, 'x');
    int filled = 0;
    ssize_t put;
    while ((put = write(w, block.data(), block.size())) > 0) filled += static_cast<int>(put);
    while (write(w, "x", 1) == 1) ++filled;
    std::string back(static_cast<size_t>(freed), '\0');
    EXPECT_EQ(read(ccm_->processor_wakeup[0], back.data(), back.size()), freed);
    wake();
    bool all_p;
    return drain(&all_p) - (filled - freed);
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

TEST_F(DataPathTest, BatchedWakeupsLeaveWhatSingleWakeupsWould) {
  bool all_p = false;
  qm7::ccm::wakeup_processor_times(ccm_, 0);
  EXPECT_EQ(drain(&all_p), 0);
  qm7::ccm::wakeup_processor_times(ccm_, 1000);  // more than one piece
  EXPECT_EQ(drain(&all_p), 1000);
  EXPECT_TRUE(all_p);

  // Near a full pipe, a batch of 10 must put in as many bytes as ten single wake-ups put in
  // from the same state (a pipe's room is not byte-exact: it is counted in pages), and never
  // block.
  for (int freed : {3, 4096, 4096 + 7}) {
    const int singles = after_filling(freed, [this] {
      for (int i = 0; i < 10; ++i) ccm_wakeup_processor(ccm_);
    });
    const int batched =
        after_filling(freed, [this] { qm7::ccm::wakeup_processor_times(ccm_, 10); });
    EXPECT_EQ(batched, singles) << "with " << freed << " bytes read from a full pipe";
  }
  EXPECT_EQ(after_filling(4096, [this] { qm7::ccm::wakeup_processor_times(ccm_, 10); }), 10);

  // Closed pipes and a null context are ignored.
  ccm_close_wakeup_pipes(ccm_);
  qm7::ccm::wakeup_processor_times(ccm_, 5);
  qm7::ccm::wakeup_processor_times(nullptr, 5);
}

TEST_F(DataPathTest, ReadOfManyFramesWakesOncePerFrame) {
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("MANY", &ch);
  merge_newq(ccm_);
  std::string stream;
  for (int i = 0; i < 20; ++i) stream += job_state_frame();
  ASSERT_EQ(write(peer, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  ASSERT_EQ(ccm_read_channel(ccm_, ch, &err_), 0);  // 6780 bytes: all in one receive call
  bool all_p = false;
  EXPECT_EQ(drain(&all_p), 20);
  EXPECT_TRUE(all_p);
  int n = 0;
  ccm_queue_lock(ccm_);
  for (ccm_msg_t* m = ccm_->recvq.head; m != nullptr; m = m->nxt) ++n;
  ccm_queue_unlock(ccm_);
  EXPECT_EQ(n, 20);
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
  // The byte was taken: the next send writes one again. Explicit wake-ups always write.
  ccm_msg_t* m = body_msg(1);
  ccm_setaddr(m, 0, 0, "PEER", "", 0);
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  EXPECT_EQ(waiting(wake), 1);
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
