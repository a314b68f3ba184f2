// Two channel managers in one process over loopback, each with its own network thread: one
// listens, the other connects. NAT, native and IPC frames travel both ways, of every size and in
// bursts; long frames cost linear time and a frame beyond the maximum ends its channel on both
// sides; every TCP channel sends without delay; a descriptor passed over a channel pair arrives
// usable.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;

// ccm_ (A) listens on 127.0.0.1, b_ (B) connects to it; a_id_ and b_id_ are the IDs of the
// connection's channel on A's and on B's side. A takes frames up to 24 MB.
class LoopbackTest : public CcmTest {
 protected:
  void SetUp() override {
    CcmTest::SetUp();
    ASSERT_EQ(ccm_open(&host_, &b_, &err_), 0);
    ccm_->max_frame_len = 24 << 20;
    ASSERT_EQ(ccm_create_listen(ccm_, "127.0.0.1", 0, 5, &err_), 0);
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    getsockname(ccm_->channel_newq.tail->s, reinterpret_cast<sockaddr*>(&sa), &sl);
    start();
    ASSERT_EQ(ccm_thread_start(b_, &err_), 0);
    b_id_ =
        ccm_connect(b_, "127.0.0.1", ntohs(sa.sin_port), CCM_TYPE_MESSENGER, nullptr, 60, &err_);
    ASSERT_GT(b_id_, 0) << err_.msginsert;
    ccm_msg_t* note = receive(ccm_, 10);
    ASSERT_NE(note, nullptr);
    ASSERT_EQ(ipc_type(note), "CHANNEL_ACCEPT");
    a_id_ = reinterpret_cast<const ipcmsg_channel_accept_t*>(note->msg_start)->ID;
    ccm_msg_free(ccm_, note);
  }
  void TearDown() override {
    ccm_thread_stop(b_);
    pthread_join(b_->thread, nullptr);
    ccm_channel_closeall(b_);
    ccm_close(b_, &err_);
    CcmTest::TearDown();
  }
  ccm_msg_t* msg_for(ccm_context_t* c, int len, int id) {
    ccm_msg_t* m = body_msg(len, c);
    ccm_setaddr(m, id, 0, "", "", 0);
    return m;
  }
  ccm_context_t* b_ = nullptr;
  int a_id_ = 0, b_id_ = 0;
};

// Each way a NAT frame (the sender name keeps its blanks), a native one and an IPC record (header
// removed, the channel's name as sender address); the accepted and the connected channel both
// send without delay.
TEST_F(LoopbackTest, NatNativeAndIpcFramesBothWaysWithoutDelay) {
  char data[] = "hello";
  for (auto [from, to, id, to_id] :
       {std::tuple{b_, ccm_, b_id_, a_id_}, std::tuple{ccm_, b_, a_id_, b_id_}}) {
    ccm_msg_t* m = msg_for(from, 276, id);
    ccm_setaddr(m, id, 0, "", "JPAKTJ_R", 0);
    ccm_setback(m, "", "SENDER", 0x0102);
    ASSERT_EQ(send_NAT_message(from, m), 0);
    m = msg_for(from, 0, id);
    ccm_msg_write_native_data(m, 4, data, 5);
    ASSERT_EQ(send_native_message(from, m), 0);
    m = msg_for(from, 40, id);
    memcpy(m->msg_start, "TESTREC", 8);
    ASSERT_EQ(send_IPC_message(from, m), 0);
    ccm_msg_t* got[3];
    for (ccm_msg_t*& g : got) {
      g = receive(to, 10);
      ASSERT_NE(g, nullptr);
    }
    EXPECT_EQ(msg_bytes(got[0]), body_pattern(276));
    EXPECT_STREQ(got[0]->addr.dst_name, "JPAKTJ_R");
    EXPECT_STREQ(got[0]->addr.src_name, "SENDER  ");
    EXPECT_EQ(got[0]->addr.src_acv, 0x0102);
    EXPECT_EQ(got[0]->addr.src_ID, to_id);
    EXPECT_EQ(got[1]->protocol_key, 4);
    EXPECT_EQ(msg_bytes(got[1]), "hello");
    EXPECT_EQ(got[2]->len, 40);
    EXPECT_EQ(ipc_type(got[2]), "TESTREC");
    EXPECT_EQ(std::string(got[2]->addr.src_addr), "*ID" + std::to_string(to_id));
    for (ccm_msg_t* g : got) ccm_msg_free(to, g);
    // Without TCP_NODELAY a small frame waits for the acknowledgement of the one before.
    ccm_channel_t* ch = ccm_channel_getbyID(from, id);
    ASSERT_NE(ch, nullptr);
    int on = 0;
    socklen_t len = sizeof on;
    EXPECT_EQ(getsockopt(ch->s, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    ccm_channel_unlock(from);
    EXPECT_NE(on, 0) << (from == ccm_ ? "accepted" : "connected");
  }
}

// Frames on both sides of every boundary of the reader (its first buffer of 8192 bytes, the
// standard message of 32768, larger frames received straight into their message and followed
// by small ones in the same receive call), all sent back to back; then a burst from a sender
// that allocates and sends as fast as it can, while the receiver takes and frees.
TEST_F(LoopbackTest, MessagesOfEverySizeAndABurstArriveWholeAndInOrder) {
  const std::vector<int> sizes = {100000, 0,     1,     276,     8138, 8139,  8140, 32714,
                                  32715,  32716, 65280, 1 << 20, 3,    65536, 2,    40000};
  constexpr int kBurst = 5000;
  std::thread sender([&] {
    for (int len : sizes) ASSERT_EQ(send_NAT_message(b_, msg_for(b_, len, b_id_)), 0);
    ccm_error_t err{};
    for (int i = 0; i < kBurst; ++i) {
      ccm_msg_t* m = ccm_msg_alloc(b_, &err);
      ASSERT_NE(m, nullptr);
      memcpy(m->msg_start, body_pattern(276).data(), 276);
      memcpy(m->msg_start, &i, sizeof i);
      m->len = 276;
      ccm_setaddr(m, b_id_, 0, "", "JPAKTJ_R", 0);
      ASSERT_EQ(send_NAT_message(b_, m), 0);
    }
  });
  std::vector<std::string> want;
  for (int len : sizes) want.push_back(body_pattern(len));
  for (int i = 0; i < kBurst; ++i) {
    want.push_back(body_pattern(276));
    memcpy(want.back().data(), &i, sizeof i);
  }
  size_t i = 0;
  for (ccm_msg_t* got; i < want.size() && (got = receive(ccm_, 10)) != nullptr; ++i) {
    const bool same = msg_bytes(got) == want[i];
    ccm_msg_free(ccm_, got);
    if (!same) break;
  }
  sender.join();
  EXPECT_EQ(i, want.size()) << "the first message missing or wrong";
}

// A long frame costs time linear in its length (a buffer growing by a fixed step copied what it
// held at every step: 70 s for 20 MB); one beyond the maximum ends the channel on its length
// field, and the sender learns of it as a closed connection.
TEST_F(LoopbackTest, LongFramesAndFramesBeyondTheMaximum) {
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && strstr(preload, "vgpreload") != nullptr) {
    GTEST_SKIP() << "CPU time means nothing under valgrind";
  }
  const int len = 20 << 20;
  ccm_msg_t* m = msg_for(b_, len, b_id_);
  const std::clock_t start = std::clock();  // the process's CPU time
  ASSERT_EQ(send_NAT_message(b_, m), 0);
  ccm_msg_t* got = receive(ccm_, 10);
  const double cost = double(std::clock() - start) / CLOCKS_PER_SEC;
  ASSERT_NE(got, nullptr);
  EXPECT_TRUE(msg_bytes(got) == body_pattern(len));
  ccm_msg_free(ccm_, got);
  EXPECT_LT(cost, 2.0);

  // The frame: header, body element (5 bytes), body; one byte more than A takes.
  ASSERT_EQ(send_NAT_message(b_, msg_for(b_, (24 << 20) + 1 - 48 - 5, b_id_)), 0);
  for (ccm_context_t* c : {ccm_, b_}) {
    got = receive(c, 10);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(ipc_type(got), "CHANNEL_CLOSE");
    const auto* rec = reinterpret_cast<const ipcmsg_channel_close_t*>(got->msg_start);
    if (c == ccm_) {
      EXPECT_EQ(rec->ccmch.msgnr, CCM_MSGNR_RECV_FAILED);
      EXPECT_NE(strstr(rec->ccmch.msginsert, "|invalid frame length '25165825',"), nullptr)
          << rec->ccmch.msginsert;
    }
    ccm_msg_free(c, got);
  }
}

TEST_F(LoopbackTest, PassedDescriptorArrivesUsable) {
  ccm_channel_t* c1 = nullptr;
  ccm_channel_t* c2 = nullptr;
  ASSERT_EQ(ccm_channel_create_pair(ccm_, &c1, &c2, &err_), 0);
  ccm_channel_lock(ccm_);  // the network thread may look at the names meanwhile
  StringCopy(c1->name, sizeof c1->name, "*IPC(DEST)");
  ccm_channel_unlock(ccm_);
  ccm_wakeup_network(ccm_);
  int pfd[2];
  ASSERT_EQ(pipe(pfd), 0);
  ASSERT_EQ(send_file_descriptor(ccm_, "*IPC(DEST)", pfd[1], 1, 2, "pipe"), 0);
  ccm_msg_t* got = receive(ccm_, 10);
  ASSERT_NE(got, nullptr);
  close(pfd[1]);  // only the passed copy keeps the pipe open now
  EXPECT_EQ(ipc_type(got), "PASSFD");
  const int fd = passed_fd(got);
  ccm_msg_free(ccm_, got);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "y", 1), 1);
  char ch = 0;
  ASSERT_EQ(read(pfd[0], &ch, 1), 1);
  EXPECT_EQ(ch, 'y');
  close(fd);
  close(pfd[0]);
}

}  // namespace
