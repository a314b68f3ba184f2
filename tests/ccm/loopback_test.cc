// Two channel managers in one process over loopback, each with its own network thread: one
// listens, the other connects. NAT, native and IPC frames travel both ways; a descriptor passed
// over a channel pair arrives usable; a closed connection reaches both sides as notices.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include "ccm/ccm_test_util.h"
#include "ccm/net_test_util.h"

namespace {

using qm7::test::body_pattern;
using qm7::test::ipc_type;
using qm7::test::make_body_msg;
using qm7::test::msg_bytes;
using qm7::test::receive;

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ccm_open(&host_, &a_, &err_), 0);
    ASSERT_EQ(ccm_open(&host_, &b_, &err_), 0);
    ASSERT_EQ(ccm_thread_start(a_, &err_), 0);
    ASSERT_EQ(ccm_thread_start(b_, &err_), 0);
  }
  void TearDown() override {
    for (ccm_context_t* c : {a_, b_}) {
      ccm_thread_stop(c);
      pthread_join(c->thread, nullptr);
      ccm_channel_closeall(c);
      ccm_close(c, &err_);
    }
  }
  // A listens on 127.0.0.1, B connects; returns the channel IDs on A's and on B's side.
  void connect_pair(int* a_id, int* b_id) {
    ASSERT_EQ(ccm_create_listen(a_, "127.0.0.1", 0, 5, &err_), 0);
    ccm_channel_t* l = ccm_channel_getbyName(a_, "*LISTEN");
    ASSERT_NE(l, nullptr);
    struct sockaddr_in sa = {};
    socklen_t sl = sizeof(sa);
    getsockname(l->s, reinterpret_cast<sockaddr*>(&sa), &sl);
    ccm_channel_unlock(a_);
    ccm_wakeup_network(a_);
    *b_id =
        ccm_connect(b_, "127.0.0.1", ntohs(sa.sin_port), CCM_TYPE_MESSENGER, nullptr, 60, &err_);
    ASSERT_GT(*b_id, 0) << err_.msginsert;
    ccm_msg_t* note = receive(a_, 10);
    ASSERT_NE(note, nullptr);
    ASSERT_EQ(ipc_type(note), "CHANNEL_ACCEPT");
    ipcmsg_channel_accept_t rec;
    memcpy(&rec, note->msg_start, sizeof(rec));
    *a_id = rec.ID;
    ccm_msg_free(a_, note);
  }
  ccm_host_context_t host_{3, nullptr};
  ccm_context_t* a_ = nullptr;
  ccm_context_t* b_ = nullptr;
  ccm_error_t err_{};
};

TEST_F(LoopbackTest, NatNativeAndIpcFramesBothWays) {
  int a_id = 0, b_id = 0;
  connect_pair(&a_id, &b_id);

  // B -> A: the job-state report of the messenger.
  ccm_msg_t* m = make_body_msg(b_, 276);
  ccm_setaddr(m, b_id, 0, "", "JPAKTJ_R", 0);
  ccm_setback(m, "", "SENDER", 0x0102);
  ASSERT_EQ(send_NAT_message(b_, m), 0);
  ccm_msg_t* got = receive(a_, 10);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(msg_bytes(got), body_pattern(276));
  EXPECT_STREQ(got->addr.dst_name, "JPAKTJ_R");
  EXPECT_STREQ(got->addr.src_name, "SENDER  ");  // the sender name keeps its blanks
  EXPECT_EQ(got->addr.src_acv, 0x0102);
  EXPECT_EQ(got->addr.src_ID, a_id);

  // A -> B: a reply addressed to the sender, then a native greeting-like frame.
  ccm_msg_t* reply = make_body_msg(a_, 1000);
  ccm_setaddr_reply(reply, got);
  ccm_msg_free(a_, got);
  ASSERT_EQ(send_NAT_message(a_, reply), 0);
  got = receive(b_, 10);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(msg_bytes(got), body_pattern(1000));
  EXPECT_EQ(got->addr.src_ID, b_id);
  ccm_msg_free(b_, got);

  ccm_msg_t* native = make_body_msg(a_, 0);
  char data[] = "hello";
  ccm_msg_write_native_data(native, 4, data, 5);
  ccm_setaddr(native, a_id, 0, "", "", 0);
  ASSERT_EQ(send_native_message(a_, native), 0);
  got = receive(b_, 10);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(got->protocol_key, 4);
  EXPECT_EQ(msg_bytes(got), "hello");
  ccm_msg_free(b_, got);

  // IPC records both ways: type 3, header removed, the channel's name as sender address.
  for (auto [from, to, id] : {std::tuple{a_, b_, a_id}, std::tuple{b_, a_, b_id}}) {
    ccm_msg_t* ipc = make_body_msg(from, 0);
    memset(ipc->msg_start, 0, 40);
    memcpy(ipc->msg_start, "TESTREC", 7);
    ipc->len = 40;
    ccm_setaddr(ipc, id, 0, "", "", 0);
    ASSERT_EQ(send_IPC_message(from, ipc), 0);
    got = receive(to, 10);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->type, CCM_MSGTYPE_IPC);
    EXPECT_EQ(got->len, 40);
    EXPECT_EQ(ipc_type(got), "TESTREC");
    char name[32];
    snprintf(name, sizeof(name), "*ID%d", got->addr.src_ID);
    EXPECT_STREQ(got->addr.src_addr, name);
    ccm_msg_free(to, got);
  }
}

TEST_F(LoopbackTest, ManyMessagesAndALargeOneArriveWholeAndInOrder) {
  int a_id = 0, b_id = 0;
  connect_pair(&a_id, &b_id);
  ccm_msg_t* big = ccm_msg_alloc_huge(b_, 60000, &err_);
  std::string body = body_pattern(100000);
  memcpy(big->msg_start, body.data(), body.size());
  big->len = 100000;
  ccm_setaddr(big, b_id, 0, "", "BIG", 0);
  ASSERT_EQ(send_NAT_message(b_, big), 0);
  for (int i = 1; i <= 50; ++i) {
    ccm_msg_t* m = make_body_msg(b_, i);
    ccm_setaddr(m, b_id, 0, "", "SMALL", 0);
    ASSERT_EQ(send_NAT_message(b_, m), 0);
  }
  ccm_msg_t* got = receive(a_, 10);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(msg_bytes(got), body);
  ccm_msg_free(a_, got);
  for (int i = 1; i <= 50; ++i) {
    got = receive(a_, 10);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(msg_bytes(got), body_pattern(i));
    ccm_msg_free(a_, got);
  }
}

TEST_F(LoopbackTest, ClosingOneSideReachesTheOther) {
  int a_id = 0, b_id = 0;
  connect_pair(&a_id, &b_id);
  ccm_channel_deletebyID(b_, b_id);
  ccm_wakeup_network(b_);
  for (ccm_context_t* c : {a_, b_}) {
    ccm_msg_t* note = receive(c, 10);
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(ipc_type(note), "CHANNEL_CLOSE");
    ccm_msg_free(c, note);
  }
}

TEST_F(LoopbackTest, PassedDescriptorArrivesUsable) {
  ccm_channel_t* c1 = nullptr;
  ccm_channel_t* c2 = nullptr;
  ASSERT_EQ(ccm_channel_create_pair(a_, &c1, &c2, &err_), 0);
  ccm_channel_lock(a_);  // the network thread may look at the names meanwhile
  StringCopy(c1->name, sizeof(c1->name), "*IPC(DEST)");
  ccm_channel_unlock(a_);
  ccm_wakeup_network(a_);
  int pfd[2];
  ASSERT_EQ(pipe(pfd), 0);
  ASSERT_EQ(send_file_descriptor(a_, "*IPC(DEST)", pfd[1], 1, 2, "pipe"), 0);
  ccm_msg_t* got = receive(a_, 10);
  ASSERT_NE(got, nullptr);
  close(pfd[1]);
  EXPECT_EQ(got->type, CCM_MSGTYPE_IPC);
  EXPECT_EQ(ipc_type(got), "PASSFD");
  ASSERT_GT(got->control_len, 0u);
  struct msghdr mh = {};
  mh.msg_control = got->control_data;
  mh.msg_controllen = got->control_len;
  int count = 0, fd = -1;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
    ASSERT_EQ(c->cmsg_type, SCM_RIGHTS);
    count += static_cast<int>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
    memcpy(&fd, CMSG_DATA(c), sizeof(int));
  }
  ccm_msg_free(a_, got);
  ASSERT_EQ(count, 1);
  ASSERT_EQ(write(fd, "y", 1), 1);
  char ch = 0;
  ASSERT_EQ(read(pfd[0], &ch, 1), 1);
  EXPECT_EQ(ch, 'y');
  close(fd);
  close(pfd[0]);
}

}  // namespace
