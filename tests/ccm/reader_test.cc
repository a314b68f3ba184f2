// The channel reader over a local socket pair: frames cut across reads, the receive buffer's
// growth, descriptors passed with a read, and every way a hostile or failing byte stream ends
// the channel without delivering a frame twice, reading outside the buffer or leaking a passed
// descriptor that no message took.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"
#include "output_state.h"
#include "reader_internal.h"

namespace {

using namespace qm7::test;
namespace detail = qm7::ccm::detail;

int g_allocs_left = 0;
ccm_msg_t* alloc_then_fail(ccm_context_t* ccm, size_t len, qm7::ccm::FrameStock* stock,
                           ccm_error_t* err) {
  if (g_allocs_left-- <= 0) return nullptr;
  return detail::default_frame_msg_alloc(ccm, len, stock, err);
}
void* no_memory(size_t) { return nullptr; }

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
    for (int fd : pipes_) close(fd);
    pipes_.clear();
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
  // Sends `b` with a pipe's write end attached and closes this side's copy; returns the read
  // end, which sees end of file once every copy the reader received is closed.
  int send_pipe_end(const std::string& b) {
    int p[2];
    EXPECT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    send_with_fd(peer_, b, p[1]);
    close(p[1]);
    pipes_.push_back(p[0]);
    return p[0];
  }
  static bool writers_gone(int rd) {
    char c;
    return ::read(rd, &c, 1) == 0;
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
  std::vector<int> pipes_;
  ccm_channel_t* ch_ = nullptr;
  int peer_ = -1;
};

TEST_F(ReaderTest, CompleteFramesAreDeliveredOnceAndTheRestIsHeld) {
  const std::string ipc = std::string("LOGGING\0\0\0\0\0\0\0\0\0\1\2\3\4", 20);
  const std::string third = frame("NAT", elem(7, 0x41, "third frame"));
  EXPECT_EQ(read(), 0);  // nothing to read is no failure
  send(job_state_frame() + frame("IPC", ipc) + frame("NAT", elem(4, 0xFF, "<?xml")) +
       third.substr(0, 30));
  trcFlag = 1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(read(), 0);
  const std::string trace = testing::internal::GetCapturedStdout();
  trcFlag = 0;
  EXPECT_NE(trace.find("ccm_read_channel <-- (datalen=30,pos=30)"), std::string::npos) << trace;
  EXPECT_EQ(received(), (std::vector<std::string>{body_pattern(276), ipc, "<?xml"}));
  const ccm_msg_t* nat = taken_[0];
  EXPECT_EQ(nat->type, CCM_MSGTYPE_NAT);
  EXPECT_STREQ(nat->addr.dst_name, "JPAKTJ_R");
  EXPECT_EQ(nat->addr.src_ID, ch_->ID);
  EXPECT_EQ(nat->addr.src_type, CCM_TYPE_MESSENGER);
  EXPECT_EQ(nat->flag & CCM_MSGFLAG_NOCONV, 0);
  EXPECT_EQ(taken_[1]->type, CCM_MSGTYPE_IPC);
  EXPECT_STREQ(taken_[1]->addr.src_addr, "*ID1");
  EXPECT_NE(taken_[2]->flag & CCM_MSGFLAG_NOCONV, 0);  // the mark alone is enough
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

TEST_F(ReaderTest, BufferGrowsForLongFramesAndEndsTheChannelWhenItCannot) {
  send(frame("NAT", elem(4, 0xFF, std::string(20000 - 53, 'L'))));
  for (int size : {8192, 16384, 32768}) {
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(ch_->recv_size, size);
  }
  EXPECT_EQ(received(), std::vector<std::string>{std::string(20000 - 53, 'L')});
  // A frame a standard message holds takes a pooled one; a longer one a block holding it once.
  for (int total : {32768, 65536, 65537}) {
    const std::string data = body_pattern(total - 53);
    send(frame("NAT", elem(4, 0xFF, data)));
    for (int i = 0; i < 8 && ccm_->recvq.head == nullptr; ++i) ASSERT_EQ(read(), 0);
    EXPECT_EQ(received(), std::vector<std::string>{data});
    EXPECT_EQ(taken_.back()->size, total <= 65536 ? CCM_MSG_STD_SIZE : 32769);
  }
  // No first buffer, then no larger one for a full buffer holding part of a long frame.
  for (bool first : {true, false}) {
    again();
    if (first) detail::recv_buffer_alloc = no_memory;
    send(frame("NAT", elem(4, 0xFF, std::string(10000, 'x'))));
    if (!first) {
      ASSERT_EQ(read(), 0);
      ASSERT_EQ(ch_->recv_pos, ch_->recv_size);
      detail::recv_buffer_alloc = no_memory;
    }
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(deleted());
    EXPECT_EQ(err_.msgnr, CCM_MSGNR_NO_MEMORY);
    EXPECT_EQ(std::string(err_.msginsert).rfind("RECVBUFF/src/_ccm/ccm(", 0), 0u) << err_.msginsert;
    EXPECT_EQ(ch_->msgnr, CCM_MSGNR_NO_MEMORY);
    EXPECT_STREQ(ch_->msginsert, err_.msginsert);
  }
}

// An invalid frame ends the channel after the frames before it; a descriptor passed with it
// goes with the frames delivered, or is closed when there are none.
TEST_F(ReaderTest, InvalidFrameEndsTheChannelAfterTheFramesBeforeIt) {
  const std::string good = frame("NAT", elem(1, 0x04, "ok"));
  const std::string bad_frames[] = {
      frame("NAT", elem(1, 0x04, "bad"), 0),         frame("NAT", elem(1, 0x04, "bad"), 47),
      "0x000055" + frame("NAT", "").substr(8),       frame("NAT", elem(1, 0x05, "x")),
      frame("NAT", std::string("\073\377\000a", 4)), frame("NAT", "A00000z3abc"),
      frame("NAT", elem(1, 0x04, "abc"), 12)};
  for (const std::string& bad : bad_frames) {
    SCOPED_TRACE(bad);
    for (bool first : {false, true}) {
      again();
      const int rd = send_pipe_end(first ? bad + good : good + good + bad + good);
      EXPECT_EQ(read(), -1);
      EXPECT_TRUE(deleted());
      EXPECT_EQ(received().size(), first ? 0u : 2u);
      EXPECT_EQ(ch_->msgnr, CCM_MSGNR_RECV_FAILED);
      EXPECT_EQ(err_.msgnr, CCM_MSGNR_RECV_FAILED);
      const std::string insert = ch_->msginsert;
      EXPECT_EQ(insert.rfind("*ID1|invalid ", 0), 0u) << insert;
      EXPECT_EQ(ch_->recv_pos, 0);
      send(good);  // a deleted channel is not read again
      EXPECT_EQ(read(), -1);
      EXPECT_TRUE(received().empty());
      EXPECT_EQ(writers_gone(rd), first);
      if (first) continue;
      // Every frame of the read carries the one descriptor, now its receiver's.
      EXPECT_EQ(msg_bytes(taken_[0]) + msg_bytes(taken_[1]), "okok");
      const int fd = passed_fd(taken_[0]);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(passed_fd(taken_[1]), fd);
      ASSERT_EQ(write(fd, "z", 1), 1);
      close(fd);
      char c = 0;
      EXPECT_EQ(::read(rd, &c, 1), 1);
      EXPECT_EQ(c, 'z');
      EXPECT_TRUE(writers_gone(rd));
    }
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
  // A descriptor passed with part of a frame is closed; the rest comes without it.
  const std::string f = job_state_frame();
  const int rd = send_pipe_end(f.substr(0, 30));
  ASSERT_EQ(read(), 0);
  EXPECT_TRUE(writers_gone(rd));
  send(f.substr(30) + f.substr(0, 100));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(received(), std::vector<std::string>{body_pattern(276)});
  EXPECT_EQ(taken_.back()->control_len, 0u);
  close(peer_);
  peers_.clear();
  EXPECT_EQ(read(), -1);  // closed with part of a frame held: ended, no failure recorded
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
  // Failing on the very first frame keeps everything held and closes the passed descriptor;
  // the frame comes later without it.
  g_allocs_left = 0;
  detail::frame_msg_alloc = alloc_then_fail;
  const int rd = send_pipe_end(f1);
  EXPECT_EQ(read(), -1);
  EXPECT_FALSE(deleted());
  EXPECT_EQ(held(), f1);
  EXPECT_TRUE(writers_gone(rd));
  detail::frame_msg_alloc = detail::default_frame_msg_alloc;
  EXPECT_EQ(qm7::ccm::take_frames(ccm_, ch_, nullptr, 0, &err_), 0);
  EXPECT_EQ(received(), std::vector<std::string>{"one"});
  EXPECT_EQ(taken_.back()->control_len, 0u);
}

// A 1 MiB frame coming in pieces, its message failing to grow once, arrives byte for byte in a
// message that doubled as its bytes came and ends with a data area of the frame's own size.
TEST_F(ReaderTest, LargeFrameGrowsWithTheBytesThatCame) {
  const std::string data = body_pattern((1 << 20) - 53);
  const std::string f = frame("NAT", elem(4, 0xFF, data));
  std::vector<int> sizes;
  int failed = 0;
  for (size_t off = 0, step = 1; off < f.size(); off += step, step = step * 7 % 65521 + 1) {
    const ccm_msg_t* big = ch_->recvq.head;
    send(f.substr(off, step));
    if (sizes.size() == 2 && big->pos + step > 1 << 17) {  // its next growth fails once
      g_allocs_left = 0;
      detail::frame_msg_alloc = alloc_then_fail;
      failed += read() == -1;
      detail::frame_msg_alloc = detail::default_frame_msg_alloc;
    }
    while (waiting(ch_->s) > 0) ASSERT_EQ(read(), 0);
    if ((big = ch_->recvq.head) == nullptr) continue;
    if (sizes.empty() || sizes.back() != big->size) sizes.push_back(big->size);
    ASSERT_EQ(ccm_->partial_bytes, size_t(big->pos));
  }
  EXPECT_EQ(received(), std::vector<std::string>{data});
  EXPECT_EQ(taken_.back()->size, 1 << 19);
  EXPECT_EQ(sizes, (std::vector<int>{1 << 15, 1 << 16, 1 << 17, 1 << 18, 1 << 19}));
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(ccm_->partial_bytes, 0u);
}

// Frames still arriving hold at most max_partial_input and a receive buffer more, in a standard
// message at first. Above it their channels are not read, while another's whole frame comes
// through; the idle time-out still ends one, and then the other is read again.
TEST_F(ReaderTest, PartialFramesAboveTheirBoundWaitWhileOthersAreRead) {
  const size_t bound = ccm_->max_partial_input = 1 << 20;
  ccm_->idle_timeout_ms = 60000;
  ccm_channel_t* other = nullptr;
  const int peers[] = {peer_, add_pair_channel("*ID2", &other)};
  const int small_peer = add_pair_channel("*ID3");
  const std::string header = frame("NAT", "", 16 << 20).substr(0, 48), chunk(4096, 'x');
  size_t fed[2] = {0, 0};
  // Sends up to `total` bytes of a frame announcing 16 MiB, as far as the socket takes them.
  auto feed = [&](int i, size_t total) {
    fcntl(peers[i], F_SETFL, O_NONBLOCK);
    for (ssize_t n = 1; fed[i] < total && n > 0; fed[i] += std::max<ssize_t>(n, 0)) {
      const std::string& src = fed[i] == 0 ? header : chunk;
      n = write(peers[i], src.data(), std::min(src.size(), total - fed[i]));
    }
  };
  auto pass = [&] {
    ASSERT_EQ(ccm_network_select(ccm_, 0, &err_), 0);
    ASSERT_LE(ccm_->partial_bytes, bound + qm7::ccm::kRecvFirstSize);
  };
  for (int i = 0; i < 400 && !ccm_->partial_paused; ++i) {
    feed(0, 3 * bound);
    feed(1, 48 + 100000);
    pass();
    ASSERT_TRUE(i > 0 || other->recvq.head->size == CCM_MSG_STD_SIZE);  // not 16 MiB
  }
  ASSERT_TRUE(ccm_->partial_paused);
  ASSERT_EQ(other->partial_bytes, 48u + 100000);
  const size_t held = ccm_->partial_bytes;
  feed(1, 48 + 200000);
  ASSERT_EQ(write(small_peer, job_state_frame().data(), 339), 339);
  for (int i = 0; i < 50 && ccm_->recvq.head == nullptr; ++i) pass();
  EXPECT_EQ(received(), std::vector<std::string>{body_pattern(276)});
  EXPECT_EQ(ccm_->partial_bytes, held);  // neither was read
  ch_->last_msg_time = qm7::monotonic_ms() - 61000;
  pass();
  ccm_destroy_deleted_channels(ccm_);  // its bytes leave the count with it
  for (int i = 0; i < 50 && other->partial_bytes < 48 + 200000; ++i) pass();
  EXPECT_EQ(other->partial_bytes, 48u + 200000);
}

}  // namespace
