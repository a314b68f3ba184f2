// The network thread with raw sockets at the far end: stopping it (also before its first pass),
// accepting on a listening channel (a bounded number per pass, pausing when out of descriptors),
// descriptors above 1024 and one that select() refuses, and flow control.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;
using Clock = std::chrono::steady_clock;

ccm_msg_t* nat(ccm_msg_t* m, int id, const char* addr, const char* name) {
  ccm_setaddr(m, id, 0, addr, name, 0);
  return m;
}

class ThreadTest : public CcmTest {
 protected:
  // Opens the listening channel on 127.0.0.1 at a free port and connects `n` raw peers to it.
  void listen_and_connect(int n) {
    ASSERT_EQ(ccm_create_listen(ccm_, "127.0.0.1", 0, 5, &err_), 0);
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    getsockname(ccm_->channel_newq.tail->s, reinterpret_cast<sockaddr*>(&sa), &sl);
    for (int i = 0; i < n; ++i) {
      peers_.push_back(socket(AF_INET, SOCK_STREAM, 0));
      ASSERT_EQ(connect(peers_.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    }
  }
  // Runs one select pass and takes the notices it posted.
  std::vector<ccm_msg_t*> pass() {
    EXPECT_GE(ccm_network_select(ccm_, 5, &err_), 0);
    std::vector<ccm_msg_t*> out;
    ccm_msg_t* m = nullptr;
    ccm_error_t e{};
    while (ccm_receive_message(ccm_, 0, &m, &e) == 1) out.push_back(m);
    return out;
  }
};

std::promise<void>* g_release = nullptr;
std::promise<void>* g_entered = nullptr;

// Holds the network thread at its first log line (thread started) until the test lets it go.
int holding_logger(int msgnr, const char*) {
  if (msgnr == 2000134 && g_release != nullptr) {
    g_entered->set_value();
    g_release->get_future().wait();
  }
  return 0;
}

TEST_F(ThreadTest, StopEndsTheThreadPromptlyEvenBeforeItsFirstPass) {
  start();
  auto t0 = Clock::now();
  stop();  // a lost wake-up would keep it in select() for its 10-second time-out
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));

  std::promise<void> release, entered;
  g_release = &release;
  g_entered = &entered;
  logger_function_t* previous = default_logger;
  __log_set_logger(holding_logger);
  start();
  entered.get_future().wait();
  ccm_thread_stop(ccm_);
  release.set_value();
  t0 = Clock::now();
  stop();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  __log_set_logger(previous);
  g_release = g_entered = nullptr;
}

// A burst of waiting connections is taken in one pass, up to max_accept_per_pass; the empty queue
// that ends the loop is no failure of the listener. An accepted channel is announced and served.
TEST_F(ThreadTest, OnePassAcceptsWaitingConnectionsUpToItsBound) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  ccm_->max_accept_per_pass = 3;
  ASSERT_NO_FATAL_FAILURE(listen_and_connect(4));
  err_ = {};
  std::vector<ccm_msg_t*> notes = pass();
  EXPECT_EQ(notes.size(), 3u);
  for (ccm_msg_t* m : pass()) notes.push_back(m);
  ASSERT_EQ(notes.size(), 4u);
  EXPECT_EQ(err_.msgnr, 0) << err_.msginsert;
  ASSERT_EQ(notes[0]->len, 20);
  const int id = reinterpret_cast<ipcmsg_channel_accept_t*>(notes[0]->msg_start)->ID;
  for (ccm_msg_t* m : notes) ccm_msg_free(ccm_, m);
  sockaddr_in local{};  // the first peer's own address: the accepted channel's far end
  socklen_t sl = sizeof local;
  getsockname(peers_[0], reinterpret_cast<sockaddr*>(&local), &sl);
  ccm_channel_t* accepted = ccm_channel_getbyID(ccm_, id);
  ASSERT_NE(accepted, nullptr);
  EXPECT_STREQ(accepted->addr, "127.0.0.1");
  EXPECT_EQ(accepted->port, ntohs(local.sin_port));
  ccm_channel_unlock(ccm_);
  ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(276), id, "", "JPAKTJ_R")), 0);
  pass();
  EXPECT_EQ(read_exact(peers_[0], 339), job_state_frame());
}

// Out of descriptors, accept() fails and the connection stays queued: the loop must not spin on
// the still readable listening socket, and takes the connection once a descriptor is free.
TEST_F(ThreadTest, AcceptOutOfDescriptorsPausesInsteadOfSpinning) {
  // valgrind keeps descriptor numbers of its own and does not give a freed one back to accept().
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && strstr(preload, "vgpreload") != nullptr) {
    GTEST_SKIP() << "descriptor limits behave otherwise under valgrind";
  }
  ASSERT_NO_FATAL_FAILURE(listen_and_connect(1));
  // The limit is put just above a spare descriptor; closing the spare later frees one.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int spare = dup(peers_[0]);  // not 0: a run without standard input has none there
  ASSERT_GE(spare, 0);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(spare) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int passes = 0;
  for (const auto t0 = Clock::now(); Clock::now() - t0 < std::chrono::milliseconds(300); ++passes) {
    ccm_network_select(ccm_, 1, &err_);
  }
  close(spare);
  EXPECT_LE(passes, 10);  // about one per 100 ms pause; spinning makes thousands
  EXPECT_EQ(std::string(err_.msginsert).rfind("accept(...,FIONBIO)|24-", 0), 0u) << err_.msginsert;
  std::vector<ccm_msg_t*> notes;
  for (int i = 0; i < 20 && notes.empty(); ++i) notes = pass();
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(ipc_type(notes[0]), "CHANNEL_ACCEPT");
  ccm_msg_free(ccm_, notes[0]);
}

// Raises the soft descriptor limit so that `fd` can exist; false when the hard limit forbids it.
bool allow_descriptor(int fd) {
  struct rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = std::max(rl.rlim_cur, static_cast<rlim_t>(fd) + 64);
  return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

// A channel on descriptor 1500 is written and read; one naming descriptor 1600, which is not open,
// makes select() fail: that channel is dropped with a notice and the other goes on.
TEST_F(ThreadTest, DescriptorsAbove1024AndOneSelectRefuses) {
  if (!allow_descriptor(1600)) GTEST_SKIP() << "the hard RLIMIT_NOFILE forbids descriptor 1600";
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(dup2(sv[0], 1500), 1500);
  ASSERT_EQ(dup2(sv[1], 1501), 1501);
  close(sv[0]);
  close(sv[1]);
  peers_.push_back(1501);
  ccm_channel_t* ch = add_channel("HIGH");
  ch->s = 1500;
  ASSERT_EQ(ccm_set_nonblocking(ccm_, ch, &err_), 0);
  add_channel("BAD")->s = 1600;
  start();
  ccm_msg_t* m = receive(ccm_, 10);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(ipc_type(m), "CHANNEL_CLOSE");
  ipcmsg_channel_close_t rec;
  memcpy(&rec, m->msg_start, sizeof rec);
  EXPECT_EQ(rec.ccmch.ID, 2);
  EXPECT_EQ(rec.ccmch.msgnr, 2000102);
  EXPECT_EQ(std::string(rec.ccmch.msginsert).rfind("select()|9(", 0), 0u) << rec.ccmch.msginsert;
  ccm_msg_free(ccm_, m);
  ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(20), 0, "HIGH", "F")), 0);
  EXPECT_EQ(read_exact(1501, 48 + 10 + 5 + 20).substr(63), body_pattern(20));
  const std::string native = frame("NAT", "\004\003abc");
  ASSERT_EQ(write(1501, native.data(), native.size()), ssize_t(native.size()));
  m = receive(ccm_, 10);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(msg_bytes(m), "abc");
  EXPECT_EQ(m->addr.src_ID, ch->ID);
  ccm_msg_free(ccm_, m);
}

// Flow control. While a channel's unwritten output is above max_queued_output its peer is not
// read; while recvq holds more than max_queued_input no channel is read. Nothing is dropped,
// and reading resumes once the peer has read, resp. the host has taken its messages: that take
// wakes the thread, which would otherwise sleep out its pass's 10 s.
TEST_F(ThreadTest, FlowControlHoldsReadingBackWithoutDropping) {
  constexpr size_t kBlock = CCM_MSG_HEADER_SIZE + 2 * CCM_MSG_STD_SIZE;
  ccm_->max_queued_output = 4 * kBlock;
  ccm_->max_queued_input = 4 * kBlock;
  start();
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("*PEER", &ch);
  const std::string out =
      frame("NAT", elem(1, 0x01, "X       ") + elem(4, 0xFF, body_pattern(20000)));
  constexpr int kOut = 200;  // 4 MB, far more than the socket pair holds
  for (int i = 0; i < kOut; ++i) {
    ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(20000), ch->ID, "", "X")), 0);
  }
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (ccm_get_sendq_count(ccm_) != 0 && Clock::now() < until) std::this_thread::yield();
  const std::string in = job_state_frame();
  ASSERT_EQ(write(peer, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  EXPECT_EQ(receive(ccm_, 1), nullptr) << "read while its output was backed up";
  std::string all;
  for (int i = 0; i < kOut; ++i) all += out;
  EXPECT_TRUE(read_exact(peer, all.size()) == all);
  constexpr int kIn = 400;  // read below with the one held back above
  std::thread writer([&] {
    for (int i = 0; i < kIn; ++i) EXPECT_EQ(write(peer, in.data(), in.size()), 339);
  });
  int most = 0;
  for (auto end = Clock::now() + std::chrono::milliseconds(500); Clock::now() < end;) {
    ccm_queue_lock(ccm_);
    most = std::max(most, ccm_queue_count(&ccm_->recvq));
    ccm_queue_unlock(ccm_);
    std::this_thread::yield();
  }
  EXPECT_GT(most, 4);
  EXPECT_LT(most, 64) << "recvq grew past its bound";
  for (int i = 0; i <= kIn; ++i) {
    ccm_msg_t* m = receive(ccm_, 5);
    ASSERT_NE(m, nullptr) << "message " << i;
    EXPECT_EQ(msg_bytes(m), body_pattern(276));
    ccm_msg_free(ccm_, m);
  }
  writer.join();
}

}  // namespace
