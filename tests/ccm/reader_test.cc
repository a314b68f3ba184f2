// The channel reader over a local socket pair: frames cut across reads, the receive buffer's
// growth, descriptors passed with a read, and every way a hostile or failing byte stream ends
// the channel without delivering a frame twice or reading outside the buffer.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;
namespace detail = qm7::ccm::detail;

class ReaderTest : public CcmTest {
 protected:
  void SetUp() override {
    CcmTest::SetUp();
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
    peer_ = add_pair_channel("*ID1", &ch_);
    ch_->type = CCM_TYPE_MESSENGER;
  }
  void TearDown() override {
    for (ccm_msg_t* m : taken_) ccm_msg_free(ccm_, m);
    taken_.clear();
    detail::recv_buffer_alloc = detail::default_recv_buffer_alloc;
    detail::frame_msg_alloc = detail::default_frame_msg_alloc;
    CcmTest::TearDown();
  }
  void again() {
    TearDown();
    SetUp();
  }
  void send(const std::string& b) {
    ASSERT_EQ(write(peer_, b.data(), b.size()), ssize_t(b.size()));
  }
  int read() { return ccm_read_channel(ccm_, ch_, &err_); }
  bool deleted() const { return ccm_flag_test(&ch_->flag, CCM_FLAG_DELETED) != 0; }
  std::string held() const { return std::string(ch_->recv_buffer, ch_->recv_pos); }
  // Takes every message off recvq (kept in taken_ until the test ends); returns their bytes.
  std::vector<std::string> received() {
    std::vector<std::string> out;
    ccm_queue_lock(ccm_);
    while (ccm_msg_t* m = ccm_queue_pop(&ccm_->recvq)) {
      out.push_back(msg_bytes(m));
      taken_.push_back(m);
    }
    ccm_queue_unlock(ccm_);
    return out;
  }

  std::vector<ccm_msg_t*> taken_;
  ccm_channel_t* ch_ = nullptr;
  int peer_ = -1;
};

TEST_F(ReaderTest, CompleteFramesAreDeliveredOnceAndTheRestIsHeld) {
  const std::string ipc = std::string("LOGGING\0\0\0\0\0\0\0\0\0\1\2\3\4", 20);
  const std::string third = frame("NAT", elem(7, 0x41, "third frame"));
  send(job_state_frame() + frame("IPC", ipc) + frame("NAT", elem(4, 0xFF, "<?xml?><x/>")) +
       third.substr(0, 30));
  trcFlag = 1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(read(), 0);
  const std::string trace = testing::internal::GetCapturedStdout();
  trcFlag = 0;
  EXPECT_NE(trace.find("ccm_read_channel <-- (datalen=30,pos=30)"), std::string::npos) << trace;
  EXPECT_EQ(ch_->recv_size, 8192);
  EXPECT_EQ(received(), (std::vector<std::string>{body_pattern(276), ipc, "<?xml?><x/>"}));
  const ccm_msg_t* nat = taken_[0];
  EXPECT_EQ(nat->type, CCM_MSGTYPE_NAT);
  EXPECT_STREQ(nat->addr.dst_name, "JPAKTJ_R");
  EXPECT_EQ(nat->addr.src_ID, ch_->ID);
  EXPECT_EQ(nat->addr.src_type, CCM_TYPE_MESSENGER);
  EXPECT_EQ(taken_[1]->type, CCM_MSGTYPE_IPC);
  EXPECT_STREQ(taken_[1]->addr.src_addr, "*ID1");
  EXPECT_NE(taken_[2]->flag & CCM_MSGFLAG_NOCONV, 0);
  char wake[8];
  EXPECT_EQ(::read(ccm_->processor_wakeup[0], wake, sizeof wake), 1);  // one for the queue
  EXPECT_EQ(held(), third.substr(0, 30));                              // at the start of the buffer

  // The rest byte by byte: nothing is delivered before the last one.
  for (size_t i = 30; i < third.size(); ++i) {
    send(third.substr(i, 1));
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(received().size(), i + 1 == third.size() ? 1u : 0u) << i;
  }
  EXPECT_EQ(msg_bytes(taken_.back()), "third frame");
  EXPECT_EQ(taken_.back()->protocol_key, 0x41);
  EXPECT_EQ(ch_->recv_pos, 0);
}

TEST_F(ReaderTest, BufferGrowsForLongFrames) {
  send(frame("NAT", elem(4, 0xFF, std::string(20000 - 53, 'L'))));
  for (int size : {8192, 16384, 32768}) {
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(ch_->recv_size, size);
  }
  EXPECT_EQ(received(), std::vector<std::string>{std::string(20000 - 53, 'L')});
  // Up to 32768 bytes a frame takes a pooled standard message; beyond, one of its own size.
  for (int total : {32768, 32769}) {
    const std::string data = body_pattern(total - 53);
    send(frame("NAT", elem(4, 0xFF, data)));
    for (int i = 0; i < 8 && ccm_->recvq.head == nullptr; ++i) ASSERT_EQ(read(), 0);
    EXPECT_EQ(received(), std::vector<std::string>{data});
    EXPECT_EQ(taken_.back()->size, total == 32768 ? CCM_MSG_STD_SIZE : 32769);
  }
}

TEST_F(ReaderTest, InvalidFrameEndsTheChannelAfterTheFramesBeforeIt) {
  const std::string good = frame("NAT", elem(1, 0x04, "ok"));
  const std::string bad_frames[] = {
      frame("NAT", elem(1, 0x04, "bad"), 0),         frame("NAT", elem(1, 0x04, "bad"), 47),
      "0x000055" + frame("NAT", "").substr(8),       frame("NAT", elem(1, 0x05, "x")),
      frame("NAT", std::string("\073\377\000a", 4)), frame("NAT", "A00000z3abc")};
  for (const std::string& bad : bad_frames) {
    SCOPED_TRACE(bad);
    again();
    send(good + bad + good);
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(deleted());
    EXPECT_EQ(received(), std::vector<std::string>{"ok"});
    EXPECT_EQ(ch_->msgnr, CCM_MSGNR_RECV_FAILED);
    EXPECT_EQ(err_.msgnr, CCM_MSGNR_RECV_FAILED);
    const std::string insert = ch_->msginsert;
    EXPECT_EQ(insert.rfind("*ID1|invalid ", 0), 0u) << insert;
    EXPECT_EQ(ch_->recv_pos, 0);
    send(good);  // a deleted channel is not read again
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(received().empty());
  }
  // Nine bytes that are no header wait; the tenth makes them an invalid length field.
  again();
  send("xxxxxxxxx");
  ASSERT_EQ(read(), 0);
  send("x");
  EXPECT_EQ(read(), -1);
  EXPECT_EQ(std::string(ch_->msginsert),
            "*ID1|invalid frame length 'xxxxxxxx',S(" + std::to_string(ch_->s) + "(ID=1))|");
}

TEST_F(ReaderTest, PeerCloseAndReceiveError) {
  EXPECT_EQ(read(), 0);  // nothing to read is no failure
  send(job_state_frame().substr(0, 100));
  ASSERT_EQ(read(), 0);
  close(peer_);
  peers_.clear();
  EXPECT_EQ(read(), -1);  // closed with half a frame held: ended, no failure recorded
  EXPECT_TRUE(deleted());
  EXPECT_EQ(ch_->msgnr, 0);
  EXPECT_TRUE(received().empty());

  again();
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);
  close(ch_->s);
  ch_->s = p[0];  // no socket: the receive call fails
  ccm_flag_set(&ch_->flag, CCM_FLAG_BINDADDR);
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(ch_->msgnr, CCM_MSGNR_RECV_FAILED);
  EXPECT_EQ(std::string(ch_->msginsert), "*ID1|" + std::to_string(ENOTSOCK) + "(" +
                                             strerror(ENOTSOCK) + "),S(" + std::to_string(p[0]) +
                                             "(ID=1))|");
}

int g_allocs_left = 0;
ccm_msg_t* alloc_then_fail(ccm_context_t* ccm, size_t len, ccm_error_t* err) {
  if (g_allocs_left-- <= 0) return nullptr;
  return detail::default_frame_msg_alloc(ccm, len, err);
}

TEST_F(ReaderTest, AllocationFailureMidReadNeverDeliversAFrameTwice) {
  const std::string f1 = frame("NAT", elem(1, 0x04, "one"));
  const std::string rest = frame("NAT", elem(1, 0x04, "two")) + frame("NAT", elem(1, 0x04, "3"));
  g_allocs_left = 1;
  detail::frame_msg_alloc = alloc_then_fail;
  send(f1 + rest);
  EXPECT_EQ(read(), -1);
  EXPECT_FALSE(deleted());  // the channel stays
  EXPECT_EQ(received(), std::vector<std::string>{"one"});
  EXPECT_EQ(held(), rest);
  // Memory is back: the next read delivers the rest, each frame once.
  detail::frame_msg_alloc = detail::default_frame_msg_alloc;
  send(frame("NAT", elem(1, 0x04, "four")));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(received(), (std::vector<std::string>{"two", "3", "four"}));
  // Failing on the very first frame keeps everything held.
  g_allocs_left = 0;
  detail::frame_msg_alloc = alloc_then_fail;
  send(f1);
  EXPECT_EQ(read(), -1);
  EXPECT_EQ(held(), f1);
}

void* no_memory(size_t) { return nullptr; }

TEST_F(ReaderTest, ReceiveBufferThatCannotGrowEndsTheChannel) {
  detail::recv_buffer_alloc = no_memory;  // the first buffer already
  send(job_state_frame());
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(err_.msgnr, CCM_MSGNR_NO_MEMORY);
  EXPECT_EQ(std::string(err_.msginsert).rfind("RECVBUFF/src/_ccm/ccm(", 0), 0u) << err_.msginsert;
  EXPECT_EQ(ch_->msgnr, CCM_MSGNR_NO_MEMORY);
  EXPECT_STREQ(ch_->msginsert, err_.msginsert);

  again();  // a full buffer holding part of a long frame
  send(frame("NAT", elem(4, 0xFF, std::string(10000, 'x'))));
  ASSERT_EQ(read(), 0);
  ASSERT_EQ(ch_->recv_pos, ch_->recv_size);
  detail::recv_buffer_alloc = no_memory;
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(ch_->msgnr, CCM_MSGNR_NO_MEMORY);
}

TEST_F(ReaderTest, PassedDescriptorArrivesWithEveryFrameOfTheRead) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string frames = frame("NAT", elem(1, 0x04, "a")) + frame("NAT", elem(1, 0x04, "b"));
  struct iovec iov = {frames.data(), frames.size()};
  alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr mh {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  struct cmsghdr* cm = CMSG_FIRSTHDR(&mh);
  cm->cmsg_level = SOL_SOCKET;
  cm->cmsg_type = SCM_RIGHTS;
  cm->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cm), &p[1], sizeof(int));
  ASSERT_EQ(sendmsg(peer_, &mh, 0), ssize_t(frames.size()));
  close(p[1]);

  ASSERT_EQ(read(), 0);
  ASSERT_EQ(received().size(), 2u);
  int fds[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(taken_[i]->control_len, CMSG_SPACE(sizeof(int)));
    struct msghdr rh {};
    rh.msg_control = taken_[i]->control_data;
    rh.msg_controllen = taken_[i]->control_len;
    ASSERT_EQ(CMSG_FIRSTHDR(&rh)->cmsg_type, SCM_RIGHTS);
    std::memcpy(&fds[i], CMSG_DATA(CMSG_FIRSTHDR(&rh)), sizeof(int));
  }
  EXPECT_EQ(fds[0], fds[1]);
  ASSERT_EQ(write(fds[0], "z", 1), 1);  // the descriptor is the pipe's write end
  char c = 0;
  ASSERT_EQ(::read(p[0], &c, 1), 1);
  EXPECT_EQ(c, 'z');
  close(fds[0]);
  close(p[0]);
}

}  // namespace
