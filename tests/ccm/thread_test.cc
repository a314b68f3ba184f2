// The network thread with raw sockets at the far end: start and stop (also before the first
// pass), accepting on a listening channel, writing dispatched frames, routing by running mode,
// "*CP" addresses, deleted destinations, a descriptor above 1024 and a descriptor select()
// refuses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "ccm/ccm_test_util.h"
#include "ccm/net_test_util.h"

namespace {

using qm7::test::body_pattern;
using qm7::test::CcmTest;
using qm7::test::header_text;
using qm7::test::make_body_msg;
using qm7::test::read_exact;
using qm7::test::receive;
using Clock = std::chrono::steady_clock;

class ThreadTest : public CcmTest {
 protected:
  void start() {
    ASSERT_EQ(ccm_thread_start(ccm_, &err_), 0);
    running_ = true;
  }
  void stop() {
    if (!running_) return;
    ccm_thread_stop(ccm_);
    pthread_join(ccm_->thread, nullptr);
    running_ = false;
  }
  void TearDown() override {
    stop();
    for (int fd : peers_) close(fd);
    CcmTest::TearDown();
  }
  // A chained channel named `name` over a socket pair; returns the raw far end.
  int add_pair_channel(const char* name, ccm_channel_t** out = nullptr) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ccm_channel_t* ch = qm7::test::make_channel(ccm_, sv[0], name);
    ccm_channel_chain(ccm_, ch);
    ccm_wakeup_network(ccm_);
    if (out != nullptr) *out = ch;
    peers_.push_back(sv[1]);
    return sv[1];
  }
  ccm_msg_t* nat(int len, int id, const char* addr, const char* name) {
    ccm_msg_t* m = make_body_msg(ccm_, len);
    ccm_setaddr(m, id, 0, addr, name, 0);
    return m;
  }
  bool running_ = false;
  std::vector<int> peers_;
};

TEST_F(ThreadTest, StopAndJoinReturnPromptly) {
  start();
  EXPECT_EQ(ccm_->loop, 1);
  auto t0 = Clock::now();
  EXPECT_EQ(ccm_thread_stop(ccm_), 0);
  EXPECT_EQ(pthread_join(ccm_->thread, nullptr), 0);
  running_ = false;
  // A lost wake-up would keep the thread in select() for its 10-second time-out.
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
}

std::promise<void>* g_release = nullptr;
std::promise<void>* g_entered = nullptr;

// Holds the network thread at its start (its first log line) until the test lets it go.
int holding_logger(int msgnr, const char*) {
  if (msgnr == 2000134 && g_release != nullptr) {
    g_entered->set_value();
    g_release->get_future().wait();
  }
  return 0;
}

TEST_F(ThreadTest, StopBeforeTheFirstPassStillEndsTheThread) {
  std::promise<void> release, entered;
  g_release = &release;
  g_entered = &entered;
  logger_function_t* previous = default_logger;
  __log_set_logger(holding_logger);
  start();
  entered.get_future().wait();  // the thread exists and has not made a pass yet
  ccm_thread_stop(ccm_);
  release.set_value();
  auto t0 = Clock::now();
  EXPECT_EQ(pthread_join(ccm_->thread, nullptr), 0);
  running_ = false;
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  __log_set_logger(previous);
  g_release = nullptr;
  g_entered = nullptr;
}

TEST_F(ThreadTest, AcceptsAConnectionAndWritesToIt) {
  start();
  ASSERT_EQ(ccm_create_listen(ccm_, "127.0.0.1", 0, 5, &err_), 0);
  ccm_channel_t* listener = ccm_channel_getbyName(ccm_, "*LISTEN");
  ASSERT_NE(listener, nullptr);
  struct sockaddr_in sa = {};
  socklen_t sl = sizeof(sa);
  getsockname(listener->s, reinterpret_cast<sockaddr*>(&sa), &sl);
  ccm_channel_unlock(ccm_);
  ccm_wakeup_network(ccm_);  // listening channels are merged at the next pass

  int c = socket(AF_INET, SOCK_STREAM, 0);
  peers_.push_back(c);
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  struct sockaddr_in local = {};
  sl = sizeof(local);
  getsockname(c, reinterpret_cast<sockaddr*>(&local), &sl);

  ccm_msg_t* note = receive(ccm_, 10);
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->type, CCM_MSGTYPE_IPC);
  ASSERT_EQ(note->len, 20);
  ipcmsg_channel_accept_t rec;
  memcpy(&rec, note->msg_start, sizeof(rec));
  EXPECT_STREQ(rec.head.msgtype, "CHANNEL_ACCEPT");
  ccm_msg_free(ccm_, note);

  ccm_channel_t* accepted = ccm_channel_getbyID(ccm_, rec.ID);
  ASSERT_NE(accepted, nullptr);
  EXPECT_STREQ(accepted->addr, "127.0.0.1");
  EXPECT_EQ(accepted->port, ntohs(local.sin_port));
  EXPECT_EQ(accepted->type, CCM_TYPE_UNSET);
  char name[32];
  snprintf(name, sizeof(name), "*ID%d", rec.ID);
  EXPECT_STREQ(accepted->name, name);
  ccm_channel_unlock(ccm_);

  ASSERT_EQ(send_NAT_message(ccm_, nat(276, rec.ID, "", "JPAKTJ_R")), 0);
  std::string frame = read_exact(c, 339);
  EXPECT_EQ(frame, header_text(339, "NAT") +
                       std::string("\x01\x08JPAKTJ_R\xFF\x14\x01\x00\x00", 15) + body_pattern(276));
}

// The running mode is the host's and is set before the thread starts.
TEST_F(ThreadTest, RoutingInRunningMode0) {
  host_.running_mode = 0;
  start();
  int server = add_pair_channel("*SERVER");
  add_pair_channel("*IPC(AGENT)");
  ASSERT_EQ(send_NAT_message(ccm_, nat(10, 0, "*SERVER", "F")), 0);
  std::string f = read_exact(server, 48 + 10 + 5 + 10);
  EXPECT_EQ(f.substr(0, 48), header_text(73, "NAT"));
  EXPECT_EQ(f.substr(48 + 15), body_pattern(10));
}

TEST_F(ThreadTest, RoutingInRunningMode3AndCpAddresses) {
  host_.running_mode = 3;
  start();
  int server = add_pair_channel("*SERVER");
  int agent = add_pair_channel("*IPC(AGENT)");
  ASSERT_EQ(send_NAT_message(ccm_, nat(10, 0, "*SERVER", "F")), 0);
  std::string r = read_exact(agent, 48 + 308 + 10);
  ASSERT_EQ(r.size(), 366u);
  EXPECT_EQ(r.substr(0, 48), header_text(366, "IPC"));
  EXPECT_EQ(r.substr(48, 8), "ROUTENAT");
  EXPECT_EQ(r.substr(48 + 308), body_pattern(10));

  // A "*CP" address is not routed (it is not exactly "*SERVER"), leaves on "*SERVER" and carries
  // its full text on the wire.
  ASSERT_EQ(send_NAT_message(ccm_, nat(4, 0, "*CP10.1.2.3:99", "")), 0);
  std::string cp = read_exact(server, 48 + 16 + 5 + 4);
  EXPECT_EQ(cp.substr(48, 16), std::string("\x03\x0E*CP10.1.2.3:99", 16));
  EXPECT_EQ(cp.substr(48 + 21), body_pattern(4));
}

TEST_F(ThreadTest, MessagesToADeletedDestinationAreNeverWritten) {
  start();
  ccm_channel_t* ch = nullptr;
  int peer = add_pair_channel("DOOMED", &ch);
  const int id = ch->ID;
  ccm_channel_deletebyID(ccm_, id);
  ASSERT_EQ(send_NAT_message(ccm_, nat(10, id, "", "X")), 0);
  ASSERT_EQ(send_NAT_message(ccm_, nat(10, 0, "DOOMED", "X")), 0);
  ccm_msg_t* note = receive(ccm_, 10);  // the destroyed channel's notice
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(qm7::test::ipc_type(note), "CHANNEL_CLOSE");
  ccm_msg_free(ccm_, note);
  EXPECT_EQ(read_exact(peer, 1), "");  // end of file, no byte
  // The notice can come from the pass that dispatched only the first message; the second one's
  // wake-up byte brings the pass that drops it. A stop before that pass would leave it queued.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (ccm_get_sendq_count(ccm_) != 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop();
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);  // both were freed
}

// Raises the soft descriptor limit so that descriptor `fd` can exist; false when the hard limit
// forbids it.
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
  start();
  ccm_channel_t* ch = qm7::test::make_channel(ccm_, 1500, "HIGH");
  ccm_channel_chain(ccm_, ch);
  ASSERT_EQ(send_NAT_message(ccm_, nat(20, 0, "HIGH", "F")), 0);
  std::string f = read_exact(1501, 48 + 10 + 5 + 20);
  EXPECT_EQ(f.substr(0, 48), header_text(83, "NAT"));
  EXPECT_EQ(f.substr(63), body_pattern(20));

  // And the read set: a frame written at the far end arrives as a message.
  std::string frame = header_text(53, "NAT") + std::string(
                                                   "\x04\x03"
                                                   "abc",
                                                   5);
  ASSERT_EQ(write(1501, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  ccm_msg_t* m = receive(ccm_, 10);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(m->protocol_key, 4);
  EXPECT_EQ(qm7::test::msg_bytes(m), "abc");
  EXPECT_EQ(m->addr.src_ID, ch->ID);
  ccm_msg_free(ccm_, m);
}

TEST_F(ThreadTest, ADescriptorSelectRefusesIsDroppedAndTheOthersGoOn) {
  if (!allow_descriptor(1600)) GTEST_SKIP() << "the hard RLIMIT_NOFILE forbids descriptor 1600";
  int good = add_pair_channel("GOOD");
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(dup2(sv[0], 1600), 1600);
  close(sv[0]);
  close(sv[1]);
  ccm_channel_t* bad = qm7::test::make_channel(ccm_, 1600, "BAD");
  const int bad_id = bad->ID;
  ccm_channel_chain(ccm_, bad);
  close(1600);  // the channel now names a descriptor that is not open
  start();
  ccm_msg_t* note = receive(ccm_, 10);
  ASSERT_NE(note, nullptr);
  ASSERT_EQ(qm7::test::ipc_type(note), "CHANNEL_CLOSE");
  ipcmsg_channel_close_t rec;
  memcpy(&rec, note->msg_start, sizeof(rec));
  EXPECT_EQ(rec.ccmch.ID, bad_id);
  EXPECT_EQ(rec.ccmch.msgnr, 2000102);
  EXPECT_EQ(std::string(rec.ccmch.msginsert).rfind("select()|9(", 0), 0u) << rec.ccmch.msginsert;
  ccm_msg_free(ccm_, note);

  ASSERT_EQ(send_NAT_message(ccm_, nat(3, 0, "GOOD", "")), 0);
  EXPECT_EQ(read_exact(good, 48 + 5 + 3).substr(48 + 5), body_pattern(3));
}

}  // namespace
