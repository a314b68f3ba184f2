// Descriptors a peer passes (SCM_RIGHTS) with the bytes of a frame: they go to the message cut
// from that receive call, and when no message takes them (the frame is refused, cannot be
// allocated, or is not complete yet) the reader closes them instead of leaving them open.
// Each case passes the write end of a pipe and then closes its own copy, so the read end sees
// end of file exactly when every copy the reader received has been closed.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"
#include "qm7/ccm.h"

namespace {

using namespace qm7::test;

struct SeamGuard {
  ~SeamGuard() { qm7::ccm::detail::frame_msg_alloc = qm7::ccm::detail::default_frame_msg_alloc; }
};

ccm_msg_t* no_message(ccm_context_t*, size_t, ccm_error_t*) { return nullptr; }

class PassedDescriptorTest : public CcmTest {
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
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    pipe_read_ = p[0];
    pipe_write_ = p[1];
  }
  void TearDown() override {
    for (int fd : {peer_, pipe_read_, pipe_write_}) {
      if (fd >= 0) close(fd);
    }
    CcmTest::TearDown();
  }

  // Sends `b` with the pipe's write end attached, then closes this side's copy of it.
  void send_with_descriptor(const std::string& b) {
    struct iovec iov = {const_cast<char*>(b.data()), b.size()};
    alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &pipe_write_, sizeof(int));
    ASSERT_EQ(sendmsg(peer_, &mh, 0), static_cast<ssize_t>(b.size()));
    close(pipe_write_);
    pipe_write_ = -1;
  }
  void send(const std::string& b) {
    ASSERT_EQ(write(peer_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  int read() { return ccm_read_channel(ccm_, ch_, &err_); }
  bool deleted() const { return ccm_flag_test(&ch_->flag, CCM_FLAG_DELETED) != 0; }

  // True when no write end of the pipe is open anywhere in the process any more.
  bool pipe_writers_gone() {
    char c;
    return ::read(pipe_read_, &c, 1) == 0;
  }
  ccm_msg_t* take() {
    ccm_queue_lock(ccm_);
    ccm_msg_t* m = ccm_queue_pop(&ccm_->recvq);
    ccm_queue_unlock(ccm_);
    return m;
  }
  // The first descriptor of a message's control data, or -1.
  static int passed_fd(const ccm_msg_t* m) {
    struct msghdr mh = {};
    mh.msg_control = const_cast<unsigned char*>(m->control_data);
    mh.msg_controllen = m->control_len;
    struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
    if (c == nullptr || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int)))
      return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
  }

  ccm_channel_t* ch_ = nullptr;
  int peer_ = -1;
  int pipe_read_ = -1;
  int pipe_write_ = -1;
};

TEST_F(PassedDescriptorTest, FrameWithAnInvalidLengthClosesItsDescriptor) {
  send_with_descriptor(frame("NAT", elem(1, 0x04, "abc"), 12));
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_TRUE(pipe_writers_gone());
}

TEST_F(PassedDescriptorTest, FrameWithAnUnreadableBodyClosesItsDescriptor) {
  send_with_descriptor(frame("NAT", elem(1, 0x05, "abc")));
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  EXPECT_EQ(take(), nullptr);
  EXPECT_TRUE(pipe_writers_gone());
}

TEST_F(PassedDescriptorTest, DescriptorWithNoCompleteFrameIsClosed) {
  // The descriptor comes with the first 30 bytes of a frame; the rest follows in a later read
  // and is delivered, without a descriptor that the first read could not give to any message.
  const std::string f = job_state_frame();
  send_with_descriptor(f.substr(0, 30));
  EXPECT_EQ(read(), 0);
  EXPECT_TRUE(pipe_writers_gone());
  send(f.substr(30));
  EXPECT_EQ(read(), 0);
  ccm_msg_t* m = take();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->len, 276);
  EXPECT_EQ(m->control_len, 0u);
  ccm_msg_free(ccm_, m);
}

TEST_F(PassedDescriptorTest, FrameThatCannotBeAllocatedClosesItsDescriptor) {
  SeamGuard guard;
  send_with_descriptor(job_state_frame());
  qm7::ccm::detail::frame_msg_alloc = no_message;
  EXPECT_EQ(read(), -1);
  EXPECT_FALSE(deleted());
  EXPECT_TRUE(pipe_writers_gone());
  // The frame is still held and is delivered by the next read, without the closed descriptor.
  qm7::ccm::detail::frame_msg_alloc = qm7::ccm::detail::default_frame_msg_alloc;
  EXPECT_EQ(qm7::ccm::take_frames(ccm_, ch_, nullptr, 0, &err_), 0);
  ccm_msg_t* m = take();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->control_len, 0u);
  ccm_msg_free(ccm_, m);
}

TEST_F(PassedDescriptorTest, DeliveredFrameKeepsItsDescriptorWhenALaterOneIsRefused) {
  // Two frames in one read: the first is delivered with the descriptor, the second is refused.
  // The descriptor now belongs to the first message's receiver and stays open.
  send_with_descriptor(job_state_frame() + frame("NAT", elem(1, 0x05, "x")));
  EXPECT_EQ(read(), -1);
  EXPECT_TRUE(deleted());
  ccm_msg_t* m = take();
  ASSERT_NE(m, nullptr);
  const int fd = passed_fd(m);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(pipe_writers_gone());
  errno = 0;
  EXPECT_EQ(write(fd, "x", 1), 1) << strerror(errno);
  close(fd);
  ccm_msg_free(ccm_, m);
  char c;
  EXPECT_EQ(::read(pipe_read_, &c, 1), 1);
  EXPECT_TRUE(pipe_writers_gone());
}

}  // namespace
