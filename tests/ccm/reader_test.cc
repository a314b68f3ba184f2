// The channel reader over a local socket pair: frames cut across reads, messages handed to the
// processor thread, the receive buffer's growth, and every way a hostile or failing byte stream
// ends the channel without delivering a frame twice or reading outside the buffer.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"
#include "ccm/frame_util.h"
#include "qm7/ccm.h"

namespace {

using namespace qm7::test;

struct MsgFree {
  ccm_context_t* ccm;
  void operator()(ccm_msg_t* m) const { ccm_msg_free(ccm, m); }
};
using Received = std::unique_ptr<ccm_msg_t, MsgFree>;

// Restores the reader's allocation seams when a test ends.
struct SeamGuard {
  ~SeamGuard() {
    qm7::ccm::detail::recv_buffer_alloc = qm7::ccm::detail::default_recv_buffer_alloc;
    qm7::ccm::detail::frame_msg_alloc = qm7::ccm::detail::default_frame_msg_alloc;
  }
};

class ReaderTest : public CcmTest {
 protected:
  void SetUp() override {
    CcmTest::SetUp();
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    peer_ = sv[1];
    ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch_, &err_), 0);
    ch_->s = sv[0];
    ch_->type = CCM_TYPE_MESSENGER;
    ASSERT_EQ(ccm_set_nonblocking(ccm_, ch_, &err_), 0);
    ccm_channel_chain(ccm_, ch_);
    merge_newq(ccm_);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
    CcmTest::TearDown();
  }

  void send(const Bytes& b) {
    ASSERT_EQ(write(peer_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  int read() { return ccm_read_channel(ccm_, ch_, &err_); }
  bool deleted() const { return ccm_flag_test(&ch_->flag, CCM_FLAG_DELETED) != 0; }

  // Every message on recvq, in order.
  std::vector<Received> received() {
    std::vector<Received> out;
    ccm_queue_lock(ccm_);
    while (ccm_msg_t* m = ccm_queue_pop(&ccm_->recvq)) out.emplace_back(m, MsgFree{ccm_});
    ccm_queue_unlock(ccm_);
    return out;
  }
  // Number of wake-up bytes waiting for the processor thread (consumed).
  int wakeups() {
    int n = 0;
    char c;
    while (::read(ccm_->processor_wakeup[0], &c, 1) == 1) n += c == 'P';
    return n;
  }
  // Reads until a message arrives or the channel fails; at most `limit` reads.
  int read_until_message(int limit) {
    for (int i = 0; i < limit; ++i) {
      int r = read();
      if (r != 0) return r;
      ccm_queue_lock(ccm_);
      bool any = ccm_->recvq.head != nullptr;
      ccm_queue_unlock(ccm_);
      if (any) return 0;
    }
    return 1;
  }
  std::string held() const { return std::string(ch_->recv_buffer, ch_->recv_pos); }

  ccm_channel_t* ch_ = nullptr;
  int peer_ = -1;
};

std::string data_of(const ccm_msg_t* m) {
  return std::string(reinterpret_cast<const char*>(m->msg_start), static_cast<size_t>(m->len));
}

TEST_F(ReaderTest, JobStateFrameReadsBackByteForByte) {
  const Bytes f = job_state_frame();
  send(f);
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(ch_->recv_size, 8192);  // the first read makes the buffer
  EXPECT_EQ(ch_->recv_pos, 0);
  EXPECT_EQ(wakeups(), 1);
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 1u);
  const ccm_msg_t* m = msgs[0].get();
  EXPECT_EQ(m->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(m->protocol_key, 0);
  EXPECT_STREQ(m->addr.dst_name, "JPAKTJ_R");
  EXPECT_EQ(m->addr.src_ID, ch_->ID);
  EXPECT_EQ(m->addr.src_type, CCM_TYPE_MESSENGER);
  EXPECT_EQ(m->size, CCM_MSG_STD_SIZE);
  EXPECT_EQ(m->len, 276);
  const Bytes rec = job_state_record();
  EXPECT_EQ(data_of(m), std::string(rec.begin(), rec.end()));
  EXPECT_FALSE(deleted());
}

TEST_F(ReaderTest, TracedReadWritesItsLines) {
  send(cat({job_state_frame(), bytes("0000")}));
  trcFlag = 1;
  testing::internal::CaptureStdout();
  const int r = read();
  const std::string out = testing::internal::GetCapturedStdout();
  trcFlag = 0;
  ASSERT_EQ(r, 0);
  EXPECT_NE(out.find("ccm_read_channel:      recvmsg(pos=0) -->"), std::string::npos) << out;
  EXPECT_NE(out.find("complete message from channel("), std::string::npos);
  EXPECT_NE(out.find("ccm_read_channel <-- (datalen=4,pos=4)"), std::string::npos);
  EXPECT_EQ(received().size(), 1u);
}

TEST_F(ReaderTest, TwoFramesAndAHalfInOneRead) {
  const Bytes a = frame("NAT", elem1(0x04, bytes("first")));
  const Bytes b = frame("NAT", elem2(0x3B, bytes("second")));
  const Bytes c = frame("NAT", elem7(0x41, bytes("third frame")));
  const size_t half = c.size() / 2;
  send(cat({a, b, Bytes(c.begin(), c.begin() + half)}));
  ASSERT_EQ(read(), 0);
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(data_of(msgs[0].get()), "first");
  EXPECT_EQ(data_of(msgs[1].get()), "second");
  EXPECT_EQ(wakeups(), 2);
  EXPECT_EQ(held(), std::string(c.begin(), c.begin() + half));  // at the start of the buffer

  send(Bytes(c.begin() + half, c.end()));
  ASSERT_EQ(read(), 0);
  msgs = received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(data_of(msgs[0].get()), "third frame");
  EXPECT_EQ(msgs[0]->protocol_key, 0x41);
  EXPECT_EQ(ch_->recv_pos, 0);
}

TEST_F(ReaderTest, NineHeldBytesAreNotExamined) {
  // Nine bytes that are no header at all: nothing is decided yet.
  send(bytes("xxxxxxxxx"));
  ASSERT_EQ(read(), 0);
  EXPECT_FALSE(deleted());
  EXPECT_EQ(ch_->recv_pos, 9);
  // The tenth byte makes them a length field, and an invalid one.
  send(bytes("x"));
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_TRUE(received().empty());
}

TEST_F(ReaderTest, ValidFrameFedByteByByte) {
  const Bytes f = frame("NAT", elem1(0x07, bytes("slow")));
  for (size_t i = 0; i + 1 < f.size(); ++i) {
    send(Bytes{f[i]});
    ASSERT_EQ(read(), 0) << i;
    ASSERT_EQ(ch_->recv_pos, static_cast<int>(i + 1));
  }
  EXPECT_TRUE(received().empty());
  send(Bytes{f.back()});
  ASSERT_EQ(read(), 0);
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(data_of(msgs[0].get()), "slow");
}

TEST_F(ReaderTest, BufferGrowsByStepsForALongFrame) {
  const Bytes body = elem4(0xFF, Bytes(20000 - 48 - 5, 'L'));
  const Bytes f = frame("NAT", body);
  ASSERT_EQ(f.size(), 20000u);
  send(f);
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(ch_->recv_size, 8192);
  EXPECT_EQ(ch_->recv_pos, 8192);
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(ch_->recv_size, 16384);
  EXPECT_TRUE(received().empty());
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(ch_->recv_size, 24576);
  EXPECT_EQ(ch_->recv_pos, 0);
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0]->len, 20000 - 48 - 5);
}

TEST_F(ReaderTest, FramesOf32768And32769Bytes) {
  for (size_t total : {size_t{32768}, size_t{32769}}) {
    Bytes data(total - 48 - 5);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    send(frame("NAT", elem4(0xFF, data)));
    ASSERT_EQ(read_until_message(20), 0);
    auto msgs = received();
    ASSERT_EQ(msgs.size(), 1u);
    const ccm_msg_t* m = msgs[0].get();
    // Up to 32768 bytes a pooled standard message; beyond, one of the frame's own size.
    EXPECT_EQ(m->size, total == 32768 ? CCM_MSG_STD_SIZE : 32769);
    ASSERT_EQ(m->len, static_cast<int>(data.size()));
    EXPECT_EQ(std::memcmp(m->msg_start, data.data(), data.size()), 0);
    EXPECT_EQ(ch_->recv_pos, 0);
  }
}

TEST_F(ReaderTest, NativeIpcAndXmlFrames) {
  const Bytes ipc_record = cat({bytes("LOGGING\0\0\0\0\0\0\0\0\0"), Bytes{1, 2, 3, 4}});
  send(cat({frame("NAT", elem1(0x04, bytes("abc"))), frame("IPC", ipc_record),
            frame("NAT", elem4(0xFF, bytes("<?xml?><x/>")))}));
  ASSERT_EQ(read(), 0);
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0]->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(msgs[0]->protocol_key, 4);
  EXPECT_EQ(msgs[0]->len, 3);
  EXPECT_EQ(msgs[1]->type, CCM_MSGTYPE_IPC);
  EXPECT_EQ(data_of(msgs[1].get()), std::string(ipc_record.begin(), ipc_record.end()));
  EXPECT_STREQ(msgs[1]->addr.src_addr, ch_->name);
  EXPECT_EQ(msgs[2]->type, CCM_MSGTYPE_NAT);
  EXPECT_NE(msgs[2]->flag & CCM_MSGFLAG_NOCONV, 0);
}

TEST_F(ReaderTest, InvalidFrameLengthEndsTheChannel) {
  const Bytes good = frame("NAT", elem1(0x04, bytes("ok")));
  for (long bad_len : {0L, 47L, -1L}) {
    SCOPED_TRACE(bad_len);
    TearDown();
    SetUp();
    Bytes bad = frame("NAT", elem1(0x04, bytes("bad")), bad_len < 0 ? 0 : bad_len);
    if (bad_len < 0) std::memcpy(bad.data(), "0x000055", 8);  // not decimal
    send(cat({good, bad, good}));
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(deleted());
    auto msgs = received();
    ASSERT_EQ(msgs.size(), 1u);  // the frame before it, nothing after it
    EXPECT_EQ(data_of(msgs[0].get()), "ok");
    EXPECT_EQ(ch_->msgnr, CCM_MSGNR_RECV_FAILED);
    const std::string insert = ch_->msginsert;
    EXPECT_EQ(insert.rfind(std::string(ch_->name) + "|", 0), 0u) << insert;
    EXPECT_NE(insert.find("invalid frame length"), std::string::npos) << insert;
    EXPECT_EQ(err_.msgnr, CCM_MSGNR_RECV_FAILED);
    EXPECT_EQ(ch_->recv_pos, 0);
    // A deleted channel is not read again, even with data waiting.
    send(good);
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(received().empty());
  }
}

TEST_F(ReaderTest, BadBodyEndsTheChannelAfterTheFramesBeforeIt) {
  const Bytes good = frame("NAT", elem1(0x04, bytes("ok")));
  for (const Bytes& body : {elem1(0x05, bytes("x")), Bytes{0x3B, 0xFF, 0x00, 'a'},
                            cat({Bytes{0x41}, bytes("00000z3abc")})}) {
    TearDown();
    SetUp();
    send(cat({good, frame("NAT", body), good}));
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(deleted());
    auto msgs = received();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(data_of(msgs[0].get()), "ok");
    EXPECT_EQ(ch_->msgnr, CCM_MSGNR_RECV_FAILED);
  }
}

TEST_F(ReaderTest, PeerCloseAndReceiveErrors) {
  // Nothing to read after all: no failure.
  EXPECT_EQ(read(), 0);
  EXPECT_FALSE(deleted());
  // The peer closes with half a frame held: the channel ends without a recorded failure.
  const Bytes f = job_state_frame();
  send(Bytes(f.begin(), f.begin() + 100));
  ASSERT_EQ(read(), 0);
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(ch_->msgnr, 0);
  EXPECT_TRUE(received().empty());
}

TEST_F(ReaderTest, ReceiveErrorIsRecordedInTheChannel) {
  // A descriptor that is no socket makes the receive call fail.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);
  close(ch_->s);
  ch_->s = p[0];
  ccm_flag_set(&ch_->flag, CCM_FLAG_BINDADDR);
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(ch_->msgnr, CCM_MSGNR_RECV_FAILED);
  const std::string expected = std::string(ch_->name) + "|" + std::to_string(ENOTSOCK) + "(" +
                               strerror(ENOTSOCK) + "),S(" + std::to_string(p[0]) +
                               "(ID=" + std::to_string(ch_->ID) + "))|";
  EXPECT_EQ(std::string(ch_->msginsert), expected);
}

ccm_msg_t* fail_alloc(ccm_context_t*, size_t, ccm_error_t*) { return nullptr; }
int g_allocs_left = 0;
ccm_msg_t* alloc_then_fail(ccm_context_t* ccm, size_t len, ccm_error_t* err) {
  if (g_allocs_left-- <= 0) return nullptr;
  return qm7::ccm::detail::default_frame_msg_alloc(ccm, len, err);
}

TEST_F(ReaderTest, AllocationFailureMidReadNeverDeliversAFrameTwice) {
  SeamGuard guard;
  const Bytes f1 = frame("NAT", elem1(0x04, bytes("one")));
  const Bytes f2 = frame("NAT", elem1(0x04, bytes("two")));
  const Bytes f3 = frame("NAT", elem1(0x04, bytes("three")));
  g_allocs_left = 1;
  qm7::ccm::detail::frame_msg_alloc = alloc_then_fail;
  send(cat({f1, f2, f3}));
  EXPECT_EQ(read(), -1);
  EXPECT_FALSE(deleted());  // the channel stays
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(data_of(msgs[0].get()), "one");
  const Bytes rest = cat({f2, f3});
  EXPECT_EQ(held(), std::string(rest.begin(), rest.end()));

  // Memory is back: the next read delivers the rest, each frame once.
  qm7::ccm::detail::frame_msg_alloc = qm7::ccm::detail::default_frame_msg_alloc;
  const Bytes f4 = frame("NAT", elem1(0x04, bytes("four")));
  send(f4);
  ASSERT_EQ(read(), 0);
  msgs = received();
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(data_of(msgs[0].get()), "two");
  EXPECT_EQ(data_of(msgs[1].get()), "three");
  EXPECT_EQ(data_of(msgs[2].get()), "four");
  EXPECT_EQ(ch_->recv_pos, 0);

  // Failing on the very first frame keeps everything held.
  qm7::ccm::detail::frame_msg_alloc = fail_alloc;
  send(f1);
  EXPECT_EQ(read(), -1);
  EXPECT_EQ(held(), std::string(f1.begin(), f1.end()));
  EXPECT_TRUE(received().empty());
}

void* no_memory(size_t) { return nullptr; }

TEST_F(ReaderTest, ReceiveBufferThatCannotGrowEndsTheChannel) {
  SeamGuard guard;
  // First growth already fails.
  qm7::ccm::detail::recv_buffer_alloc = no_memory;
  send(job_state_frame());
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(err_.msgnr, CCM_MSGNR_NO_MEMORY);
  EXPECT_EQ(std::string(err_.msginsert).rfind("RECVBUFF/src/_ccm/ccm(", 0), 0u) << err_.msginsert;
  EXPECT_EQ(ch_->msgnr, CCM_MSGNR_NO_MEMORY);
  EXPECT_STREQ(ch_->msginsert, err_.msginsert);
  EXPECT_TRUE(received().empty());

  // A full buffer holding part of a long frame that cannot grow further.
  TearDown();
  SetUp();
  qm7::ccm::detail::recv_buffer_alloc = qm7::ccm::detail::default_recv_buffer_alloc;
  send(frame("NAT", elem4(0xFF, Bytes(10000, 'x'))));
  ASSERT_EQ(read(), 0);
  ASSERT_EQ(ch_->recv_pos, ch_->recv_size);
  qm7::ccm::detail::recv_buffer_alloc = no_memory;
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(ch_->msgnr, CCM_MSGNR_NO_MEMORY);
}

TEST_F(ReaderTest, PassedDescriptorArrivesWithEveryFrameOfTheRead) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const Bytes frames =
      cat({frame("NAT", elem1(0x04, bytes("a"))), frame("NAT", elem1(0x04, bytes("b")))});
  struct iovec iov = {const_cast<unsigned char*>(frames.data()), frames.size()};
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
  ASSERT_EQ(sendmsg(peer_, &mh, 0), static_cast<ssize_t>(frames.size()));
  close(p[1]);

  ASSERT_EQ(read(), 0);
  auto msgs = received();
  ASSERT_EQ(msgs.size(), 2u);
  int fds[2];
  for (int i = 0; i < 2; ++i) {
    ccm_msg_t* m = msgs[i].get();
    ASSERT_EQ(m->control_len, CMSG_SPACE(sizeof(int)));
    struct msghdr rh {};
    rh.msg_control = m->control_data;
    rh.msg_controllen = m->control_len;
    struct cmsghdr* rc = CMSG_FIRSTHDR(&rh);
    ASSERT_NE(rc, nullptr);
    ASSERT_EQ(rc->cmsg_type, SCM_RIGHTS);
    std::memcpy(&fds[i], CMSG_DATA(rc), sizeof(int));
  }
  EXPECT_EQ(fds[0], fds[1]);
  // The descriptor is usable: what goes in comes out of the pipe.
  ASSERT_EQ(write(fds[0], "z", 1), 1);
  char c = 0;
  ASSERT_EQ(::read(p[0], &c, 1), 1);
  EXPECT_EQ(c, 'z');
  close(fds[0]);
  close(p[0]);
}

}  // namespace
