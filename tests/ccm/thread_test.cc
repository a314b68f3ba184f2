// The network thread with raw sockets at the far end: stopping it (also before its first pass),
// accepting on a listening channel, a descriptor above 1024, one that select() refuses, and flow
// control.
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
using ThreadTest = CcmTest;

ccm_msg_t* nat(ccm_msg_t* m, int id, const char* addr, const char* name) {
  ccm_setaddr(m, id, 0, addr, name, 0);
  return m;
}

// Opens the context's listening channel on 127.0.0.1 at a free port; `*sa` is its address.
void listen_on_loopback(ccm_context_t* ccm, sockaddr_in* sa) {
  ccm_error_t err{};
  ASSERT_EQ(ccm_create_listen(ccm, "127.0.0.1", 0, 5, &err), 0);
  ccm_channel_t* listener = ccm_channel_getbyName(ccm, "*LISTEN");
  ASSERT_NE(listener, nullptr);
  socklen_t sl = sizeof *sa;
  getsockname(listener->s, reinterpret_cast<sockaddr*>(sa), &sl);
  ccm_channel_unlock(ccm);
}

// A raw TCP peer connected to `sa` (closed with the fixture's peers), or -1.
int connect_peer(const sockaddr_in& sa, std::vector<int>* peers) {
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  if (c < 0) return -1;
  peers->push_back(c);
  return connect(c, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? c : -1;
}

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

TEST_F(ThreadTest, AcceptsAConnectionAndWritesToIt) {
  start();
  struct sockaddr_in sa = {};
  ASSERT_NO_FATAL_FAILURE(listen_on_loopback(ccm_, &sa));
  ccm_wakeup_network(ccm_);
  const int c = connect_peer(sa, &peers_);
  ASSERT_GE(c, 0);
  struct sockaddr_in local = {};
  socklen_t sl = sizeof local;
  getsockname(c, reinterpret_cast<sockaddr*>(&local), &sl);

  ccm_msg_t* note = receive(ccm_, 10);
  ASSERT_NE(note, nullptr);
  ASSERT_EQ(note->len, 20);
  ipcmsg_channel_accept_t rec;
  memcpy(&rec, note->msg_start, sizeof rec);
  EXPECT_STREQ(rec.head.msgtype, "CHANNEL_ACCEPT");
  ccm_msg_free(ccm_, note);
  ccm_channel_t* accepted = ccm_channel_getbyID(ccm_, rec.ID);
  ASSERT_NE(accepted, nullptr);
  EXPECT_STREQ(accepted->addr, "127.0.0.1");
  EXPECT_EQ(accepted->port, ntohs(local.sin_port));
  EXPECT_EQ(accepted->type, CCM_TYPE_UNSET);
  EXPECT_EQ(std::string(accepted->name), "*ID" + std::to_string(rec.ID));
  ccm_channel_unlock(ccm_);
  ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(276), rec.ID, "", "JPAKTJ_R")), 0);
  EXPECT_EQ(read_exact(c, 339), job_state_frame());
}

// A burst of waiting connections is taken in one pass, up to max_accept_per_pass; the empty queue
// that ends the loop is no failure of the listener.
TEST_F(ThreadTest, OnePassAcceptsWaitingConnectionsUpToItsBound) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  struct sockaddr_in sa = {};
  ASSERT_NO_FATAL_FAILURE(listen_on_loopback(ccm_, &sa));
  ccm_->max_accept_per_pass = 3;
  for (int i = 0; i < 4; ++i) ASSERT_GE(connect_peer(sa, &peers_), 0);
  auto notices = [this] {
    int n = 0;
    ccm_msg_t* m = nullptr;
    while (ccm_receive_message(ccm_, 0, &m, &err_) == 1) {
      EXPECT_TRUE(ccm_msg_is_internal(m));
      ccm_msg_free(ccm_, m);
      ++n;
    }
    return n;
  };
  err_ = {};
  ASSERT_GE(ccm_network_select(ccm_, 5, &err_), 0);
  EXPECT_EQ(notices(), 3);
  ASSERT_GE(ccm_network_select(ccm_, 5, &err_), 0);
  EXPECT_EQ(notices(), 1);
  EXPECT_EQ(err_.msgnr, 0) << err_.msginsert;
}

// Out of descriptors, accept() fails and the connection stays queued: the loop must not spin on
// the still readable listening socket, and takes the connection once a descriptor is free.
TEST_F(ThreadTest, AcceptOutOfDescriptorsPausesInsteadOfSpinning) {
  // valgrind keeps descriptor numbers of its own and does not give a freed one back to accept().
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && strstr(preload, "vgpreload") != nullptr) {
    GTEST_SKIP() << "descriptor limits behave otherwise under valgrind";
  }
  struct sockaddr_in sa = {};
  ASSERT_NO_FATAL_FAILURE(listen_on_loopback(ccm_, &sa));
  const int c = connect_peer(sa, &peers_);
  ASSERT_GE(c, 0);

  // The limit is put just above a spare descriptor; closing the spare later frees one.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int spare = dup(0);
  ASSERT_GE(spare, 0);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(spare) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const int probe = dup(0);
  if (probe >= 0) {
    close(probe);
    close(spare);
    setrlimit(RLIMIT_NOFILE, &saved);
    GTEST_SKIP() << "the descriptor limit is not enforced here";
  }
  int passes = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(300)) {
    ccm_network_select(ccm_, 1, &err_);
    ++passes;
  }
  close(spare);
  EXPECT_LE(passes, 10);  // about one per 100 ms pause; spinning makes thousands
  EXPECT_EQ(std::string(err_.msginsert).rfind("accept(...,FIONBIO)|24-", 0), 0u) << err_.msginsert;

  ccm_msg_t* note = nullptr;
  for (int i = 0; i < 20 && note == nullptr; ++i) {
    ccm_network_select(ccm_, 1, &err_);
    ccm_error_t e{};
    if (ccm_receive_message(ccm_, 0, &note, &e) != 1) note = nullptr;
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(note->msg_start)), "CHANNEL_ACCEPT");
  ccm_msg_free(ccm_, note);
}

// Raises the soft descriptor limit so that `fd` can exist; false when the hard limit forbids it.
bool allow_descriptor(int fd) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur > static_cast<rlim_t>(fd)) return true;
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max <= static_cast<rlim_t>(fd)) return false;
  rl.rlim_cur = static_cast<rlim_t>(fd) + 64;
  return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

TEST_F(ThreadTest, ChannelAbove1024IsServed) {
  if (!allow_descriptor(1501)) GTEST_SKIP() << "the hard RLIMIT_NOFILE forbids descriptor 1501";
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
  start();
  ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(20), 0, "HIGH", "F")), 0);
  std::string f = read_exact(1501, 48 + 10 + 5 + 20);
  EXPECT_EQ(f.substr(0, 48), frame("NAT", "", 83));
  EXPECT_EQ(f.substr(63), body_pattern(20));
  // And the read set: a frame written at the far end arrives as a message.
  const std::string native = frame("NAT", "\004\003abc");
  ASSERT_EQ(write(1501, native.data(), native.size()), ssize_t(native.size()));
  ccm_msg_t* m = receive(ccm_, 10);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(msg_bytes(m), "abc");
  EXPECT_EQ(m->addr.src_ID, ch->ID);
  ccm_msg_free(ccm_, m);
}

TEST_F(ThreadTest, ADescriptorSelectRefusesIsDroppedAndTheOthersGoOn) {
  if (!allow_descriptor(1600)) GTEST_SKIP() << "the hard RLIMIT_NOFILE forbids descriptor 1600";
  int good = add_pair_channel("GOOD");
  ccm_channel_t* bad = nullptr;
  add_pair_channel("BAD", &bad);
  ASSERT_EQ(dup2(bad->s, 1600), 1600);
  close(bad->s);
  close(1600);  // the channel names a descriptor that is not open (and is not reused)
  bad->s = 1600;
  start();
  ccm_msg_t* note = receive(ccm_, 10);
  ASSERT_NE(note, nullptr);
  ASSERT_EQ(ipc_type(note), "CHANNEL_CLOSE");
  ipcmsg_channel_close_t rec;
  memcpy(&rec, note->msg_start, sizeof rec);
  EXPECT_EQ(rec.ccmch.ID, 2);
  EXPECT_EQ(rec.ccmch.msgnr, 2000102);
  EXPECT_EQ(std::string(rec.ccmch.msginsert).rfind("select()|9(", 0), 0u) << rec.ccmch.msginsert;
  ccm_msg_free(ccm_, note);
  ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(3), 0, "GOOD", "")), 0);
  EXPECT_EQ(read_exact(good, 48 + 5 + 3).substr(48 + 5), body_pattern(3));
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
  const int id = ch->ID;
  const std::string out =
      frame("NAT", elem(1, 0x01, "X       ") + elem(4, 0xFF, body_pattern(20000)));
  constexpr int kOut = 200;  // 4 MB, far more than the socket pair holds
  for (int i = 0; i < kOut; ++i) {
    ASSERT_EQ(send_NAT_message(ccm_, nat(body_msg(20000), id, "", "X")), 0);
  }
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (ccm_get_sendq_count(ccm_) != 0 && Clock::now() < until) std::this_thread::yield();
  const std::string in = job_state_frame();
  ASSERT_EQ(write(peer, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  EXPECT_EQ(receive(ccm_, 1), nullptr) << "read while its output was backed up";
  std::string all;
  for (int i = 0; i < kOut; ++i) all += out;
  EXPECT_TRUE(read_exact(peer, all.size()) == all);
  ccm_msg_t* m = receive(ccm_, 5);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(msg_bytes(m), body_pattern(276));
  ccm_msg_free(ccm_, m);

  constexpr int kIn = 400;
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
  for (int i = 0; i < kIn; ++i) {
    m = receive(ccm_, 5);
    ASSERT_NE(m, nullptr) << "message " << i;
    EXPECT_EQ(msg_bytes(m), body_pattern(276));
    ccm_msg_free(ccm_, m);
  }
  writer.join();
}

}  // namespace
