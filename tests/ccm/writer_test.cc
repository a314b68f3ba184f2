// The channel writer over socket pairs: several messages in one call, a large message in
// pieces of 32 768 bytes, short writes and a full socket, control data, a closed peer (no
// SIGPIPE, 2002002) and a message whose write position is invalid.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"
#include "ccm/net_test_util.h"

namespace {

using qm7::test::body_pattern;
using qm7::test::CcmTest;
using qm7::test::make_body_msg;
using qm7::test::read_exact;

class WriterTest : public CcmTest {
 protected:
  void open_pair(int type) {
    ASSERT_EQ(socketpair(AF_UNIX, type, 0, sv_), 0);
    ch_ = qm7::test::make_channel(ccm_, sv_[0], "*IPC(PEER)");
    ASSERT_NE(ch_, nullptr);
  }
  void TearDown() override {
    if (ch_ != nullptr) qm7::test::discard_channel(ccm_, ch_);
    if (sv_[1] >= 0) close(sv_[1]);
    CcmTest::TearDown();
  }
  void enqueue(ccm_msg_t* m) {
    ccm_queue_unlink(&ccm_->msgq_inuse, m);
    ccm_queue_append(&ch_->sendq, m);
  }
  int sv_[2] = {-1, -1};
  ccm_channel_t* ch_ = nullptr;
};

TEST_F(WriterTest, ThreeSmallMessagesLeaveInOneCall) {
  open_pair(SOCK_STREAM);
  EXPECT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);  // empty queue: nothing to do
  for (int len : {10, 20, 30}) enqueue(make_body_msg(ccm_, len));
  EXPECT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);
  EXPECT_EQ(ch_->sendq.head, nullptr);
  EXPECT_EQ(ch_->sendq.tail, nullptr);  // an append after this links to no freed message
  EXPECT_EQ(ccm_->nof_freemsg, 3);
  EXPECT_EQ(read_exact(sv_[1], 60), body_pattern(10) + body_pattern(20) + body_pattern(30));
  EXPECT_NE(ch_->timestamp_last_io, 0);
}

TEST_F(WriterTest, LargeMessageGoesInPiecesOf32768) {
  // Each send of a sequenced-packet pair arrives as one record, so the pieces can be seen.
  open_pair(SOCK_SEQPACKET);
  int buf = 1 << 20;
  setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
  ccm_msg_t* m = ccm_msg_alloc_huge(ccm_, 60000, &err_);
  ASSERT_NE(m, nullptr);
  std::string body = body_pattern(100000);
  memcpy(m->msg_start, body.data(), body.size());
  m->len = 100000;
  enqueue(m);
  EXPECT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);
  EXPECT_EQ(ch_->sendq.head, nullptr);
  std::vector<ssize_t> pieces;
  std::string got;
  std::vector<char> rb(65536);
  while (got.size() < body.size()) {
    ssize_t r = recv(sv_[1], rb.data(), rb.size(), MSG_DONTWAIT);
    if (r <= 0) break;
    pieces.push_back(r);
    got.append(rb.data(), static_cast<size_t>(r));
  }
  EXPECT_EQ(pieces, (std::vector<ssize_t>{32768, 32768, 32768, 1696}));
  EXPECT_EQ(got, body);
}

TEST_F(WriterTest, ShortWritesKeepThePositionAndContinueInOrder) {
  open_pair(SOCK_STREAM);
  int small = 4096;
  setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  ccm_msg_t* big = ccm_msg_alloc_huge(ccm_, 100000, &err_);
  std::string body = body_pattern(150000);
  memcpy(big->msg_start, body.data(), body.size());
  big->len = 150000;
  enqueue(big);
  enqueue(make_body_msg(ccm_, 7));
  EXPECT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);
  ASSERT_EQ(ch_->sendq.head, big);  // the socket took only part of it
  EXPECT_GT(big->pos, 0);
  EXPECT_LT(big->pos, big->len);
  // Drain the peer and write again until the queue is empty: the bytes arrive whole, in order.
  std::string got;
  for (int round = 0; round < 10000 && ch_->sendq.head != nullptr; ++round) {
    char rb[65536];
    ssize_t r = recv(sv_[1], rb, sizeof(rb), MSG_DONTWAIT);
    if (r > 0) got.append(rb, static_cast<size_t>(r));
    ASSERT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);
  }
  EXPECT_EQ(ch_->sendq.head, nullptr);
  got += read_exact(sv_[1], body.size() + 7 - got.size());
  EXPECT_EQ(got, body + body_pattern(7));
}

TEST_F(WriterTest, ControlDataTravelsWithTheFrame) {
  open_pair(SOCK_STREAM);
  int pfd[2];
  ASSERT_EQ(pipe(pfd), 0);
  ASSERT_EQ(send_file_descriptor(ccm_, "*IPC(PEER)", pfd[1], 1, 2, "pipe"), 0);
  ccm_msg_t* m = ccm_queue_pop(&ccm_->sendq);
  ASSERT_NE(m, nullptr);
  ccm_queue_append(&ch_->sendq, m);
  ASSERT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);
  close(pfd[1]);  // only the passed copy keeps the pipe open now

  char data[256];
  alignas(struct cmsghdr) unsigned char control[256];
  struct iovec iov = {data, sizeof(data)};
  struct msghdr mh = {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof(control);
  ssize_t r = recvmsg(sv_[1], &mh, 0);
  ASSERT_EQ(r, 204);
  EXPECT_EQ(std::string(data + 21, 3), "IPC");
  std::vector<int> fds;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
    ASSERT_EQ(c->cmsg_type, SCM_RIGHTS);
    size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < n; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      fds.push_back(fd);
    }
  }
  ASSERT_EQ(fds.size(), 1u);
  ASSERT_EQ(write(fds[0], "x", 1), 1);  // the received descriptor is the pipe's write end
  char c = 0;
  ASSERT_EQ(read(pfd[0], &c, 1), 1);
  EXPECT_EQ(c, 'x');
  close(fds[0]);
  close(pfd[0]);
}

TEST_F(WriterTest, ClosedPeerDeletesTheChannelWithoutSigpipe) {
  // The default action of SIGPIPE would end this test program.
  struct sigaction dfl = {}, old = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  open_pair(SOCK_STREAM);
  close(sv_[1]);
  sv_[1] = -1;
  enqueue(make_body_msg(ccm_, 100));
  enqueue(make_body_msg(ccm_, 100));
  EXPECT_EQ(ccm_write_channel(ccm_, ch_, &err_), -1);
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_TRUE(ch_->flag & CCM_FLAG_DELETED);
  EXPECT_TRUE(ccm_->flag & CCM_CTX_DELETED);
  EXPECT_EQ(ch_->msgnr, 2002002);
  char expected[256];
  snprintf(expected, sizeof(expected), "%d(%s)|*IPC(PEER)(%d/ID=%d)|", EPIPE, strerror(EPIPE),
           ch_->s, ch_->ID);
  EXPECT_STREQ(ch_->msginsert, expected);
  EXPECT_EQ(ccm_queue_count(&ch_->sendq), 2);  // they go with the channel
  EXPECT_EQ(err_.msgnr, 0);                    // the caller's record is not touched
}

TEST_F(WriterTest, MessageWithAnInvalidPositionIsDroppedUnsent) {
  open_pair(SOCK_STREAM);
  ccm_msg_t* bad = make_body_msg(ccm_, 50);
  bad->pos = -5;
  ccm_msg_t* beyond = make_body_msg(ccm_, 50);
  beyond->pos = 51;
  enqueue(bad);
  enqueue(beyond);
  enqueue(make_body_msg(ccm_, 9));
  EXPECT_EQ(ccm_write_channel(ccm_, ch_, &err_), 0);
  EXPECT_EQ(ch_->sendq.head, nullptr);
  EXPECT_EQ(read_exact(sv_[1], 9), body_pattern(9));
  char extra;
  EXPECT_EQ(recv(sv_[1], &extra, 1, MSG_DONTWAIT), -1);  // nothing else was written
}

}  // namespace
