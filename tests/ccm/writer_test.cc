// The channel writer over socket pairs: several messages in one call, a large message in pieces
// of 256 KiB with small ones behind it in the last piece, short writes against a full socket, a
// closed peer (no SIGPIPE, 2002002) and messages whose write position lies outside them.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;

class WriterTest : public CcmTest {
 protected:
  void open_pair(int type) { peer_ = add_pair_channel("*IPC(PEER)", &ch_, type); }
  void enqueue(ccm_msg_t* m) { put(m, &ch_->sendq); }
  int write() { return ccm_write_channel(ccm_, ch_, &err_); }
  ccm_channel_t* ch_ = nullptr;
  int peer_ = -1;
};

TEST_F(WriterTest, QueuedMessagesLeaveInOneCallAndAClosedPeerEndsTheChannel) {
  open_pair(SOCK_STREAM);
  EXPECT_EQ(write(), 0);  // empty queue: nothing to do
  ccm_msg_t* before = body_msg(50);
  before->pos = -5;
  enqueue(before);
  for (int len : {10, 20}) enqueue(body_msg(len));
  ccm_msg_t* beyond = body_msg(50);
  beyond->pos = 51;
  enqueue(beyond);
  enqueue(body_msg(30));
  EXPECT_EQ(write(), 0);
  EXPECT_EQ(ch_->sendq.head, nullptr);
  EXPECT_EQ(ch_->sendq.tail, nullptr);  // a later append links to no freed message
  EXPECT_EQ(ccm_->nof_freemsg, 5);
  EXPECT_EQ(read_exact(peer_, 60), body_pattern(10) + body_pattern(20) + body_pattern(30));
  char extra;
  EXPECT_EQ(recv(peer_, &extra, 1, MSG_DONTWAIT), -1);  // nothing of the dropped ones
  EXPECT_NE(ch_->timestamp_last_io, 0);

  // A closed peer deletes the channel with 2002002, and no SIGPIPE.
  struct sigaction dfl = {}, old = {};  // the default action would end the test program
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  close(peer_);
  peers_.clear();
  enqueue(body_msg(100));
  enqueue(body_msg(100));
  EXPECT_EQ(write(), -1);
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_TRUE(ch_->flag & CCM_FLAG_DELETED);
  EXPECT_TRUE(ccm_->flag & CCM_CTX_DELETED);
  EXPECT_EQ(ch_->msgnr, 2002002);
  EXPECT_EQ(std::string(ch_->msginsert), std::to_string(EPIPE) + "(" + strerror(EPIPE) +
                                             ")|*IPC(PEER)(" + std::to_string(ch_->s) + "/ID=1)|");
  EXPECT_EQ(ccm_queue_count(&ch_->sendq), 2);  // they go with the channel
  EXPECT_EQ(err_.msgnr, 0);                    // the caller's record is not touched
}

TEST_F(WriterTest, LargeMessageGoesInPiecesOf256KiB) {
  open_pair(SOCK_SEQPACKET);  // each send arrives as one record, so the pieces can be seen
  int buf = 1 << 20;
  setsockopt(ch_->s, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  enqueue(body_msg(300000));
  enqueue(body_msg(10));  // small ones ride along with the last piece
  enqueue(body_msg(20));
  EXPECT_EQ(write(), 0);
  EXPECT_EQ(ch_->sendq.head, nullptr);
  std::vector<ssize_t> pieces;
  std::string got;
  std::vector<char> rb(1 << 20);
  for (ssize_t r; (r = recv(peer_, rb.data(), rb.size(), MSG_DONTWAIT)) > 0;) {
    pieces.push_back(r);
    got.append(rb.data(), static_cast<size_t>(r));
  }
  EXPECT_EQ(pieces, (std::vector<ssize_t>{262144, 300000 - 262144 + 10 + 20}));
  EXPECT_EQ(got, body_pattern(300000) + body_pattern(10) + body_pattern(20));
}

TEST_F(WriterTest, ShortWritesKeepThePositionAndContinueInOrder) {
  open_pair(SOCK_STREAM);
  int small = 4096;
  setsockopt(ch_->s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ccm_msg_t* big = body_msg(150000);
  enqueue(big);
  enqueue(body_msg(7));
  EXPECT_EQ(write(), 0);
  ASSERT_EQ(ch_->sendq.head, big);  // the socket took only part of it
  EXPECT_GT(big->pos, 0);
  EXPECT_LT(big->pos, big->len);
  std::string got;
  for (int round = 0; round < 10000 && ch_->sendq.head != nullptr; ++round) {
    char rb[65536];
    ssize_t r = recv(peer_, rb, sizeof rb, MSG_DONTWAIT);
    if (r > 0) got.append(rb, static_cast<size_t>(r));
    ASSERT_EQ(write(), 0);
  }
  EXPECT_EQ(ch_->sendq.head, nullptr);
  got += read_exact(peer_, 150007 - got.size());
  EXPECT_EQ(got, body_pattern(150000) + body_pattern(7));
}

}  // namespace
