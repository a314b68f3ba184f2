// The host interface under the interleavings that used to lose or misjudge messages: a message
// the dispatcher holds is still counted, a drain of recvq that comes right after the network
// thread paused reading wakes it, a receive is not ended by stale wake-up bytes, input counts as
// waiting until the host takes it, and the channel's end (graceful, bounded, idle, refused) tells
// what became of its output.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <semaphore>
#include <set>
#include <string>
#include <thread>

#include "ccm/ccm_test_util.h"
#include "output_state.h"
#include "support/unused_port.h"
#include "test_point.h"

namespace {

using namespace qm7::test;
using Clock = std::chrono::steady_clock;
using HostInterfaceTest = CcmTest;

// Holds the first thread that reaches `point` (where `when` holds) until the test releases it.
struct Gate {
  Gate(const char* point, bool (*when)() = nullptr) {
    point_ = point;
    when_ = when;
    qm7::ccm::testing::hook.store([](const char* at) {
      if (strcmp(at, point_) != 0 || (when_ != nullptr && !when_()) || fired_.exchange(true))
        return;
      held_.release();
      go_.acquire();
    });
  }
  ~Gate() {
    Release();
    qm7::ccm::testing::hook.store(nullptr);
    fired_ = false;
    released_ = false;
  }
  bool WaitHeld() { return held_.try_acquire_for(std::chrono::seconds(5)); }
  void Release() {
    if (fired_ && !released_.exchange(true)) go_.release();
  }
  static inline const char* point_;
  static inline bool (*when_)();
  static inline std::atomic<bool> fired_{false}, released_{false};
  static inline std::binary_semaphore held_{0}, go_{0};
};

// Bytes waiting on recvq, read under queue_lock: a gate's condition is tested on every pass,
// also while the test thread takes messages.
size_t recvq_bytes(ccm_context_t* ccm) {
  ccm_queue_lock(ccm);
  const size_t bytes = ccm->recvq_bytes;
  ccm_queue_unlock(ccm);
  return bytes;
}

ccm_msg_t* nat_to(ccm_context_t* ccm, int id, int len) {
  ccm_error_t err{};
  ccm_msg_t* m = ccm_msg_alloc(ccm, &err);
  memset(m->msg_start, 'x', len);
  m->len = len;
  ccm_setaddr(m, id, 0, "", "JPAKTJ_R", 0);
  return m;
}

// The close notices of the channels `ids` within 5 s, decoded by ID; other messages are dropped.
std::map<int, ccm_close_info_t> await_closes(ccm_context_t* ccm, std::set<int> ids) {
  std::map<int, ccm_close_info_t> got;
  for (auto until = Clock::now() + std::chrono::seconds(5); !ids.empty() && Clock::now() < until;) {
    ccm_msg_t* m = receive(ccm, 1);
    ccm_close_info_t info;
    if (m != nullptr && ccm_close_notice_info(m, &info) == 0 && ids.erase(info.ID) == 1) {
      got[info.ID] = info;
    }
    ccm_msg_free(ccm, m);
  }
  EXPECT_TRUE(ids.empty()) << "no close notice for " << ids.size() << " channels";
  return got;
}

TEST_F(HostInterfaceTest, HeldMessagesAreCountedAndACloseDrainsOrAbortsAtItsBound) {
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("*AGENT", &ch, SOCK_STREAM);
  const int id = ch->ID;
  add_pair_channel("*SLOW", &ch, SOCK_STREAM);  // never read
  const int slow = ch->ID;
  start();
  Gate gate("dispatch_found_head");
  ASSERT_EQ(send_NAT_message(ccm_, nat_to(ccm_, id, 276)), 0);
  ASSERT_TRUE(gate.WaitHeld());
  // Taken off sendq, not yet on the channel's queue: neither view may call it gone.
  ccm_output_state_t out{};
  ASSERT_EQ(ccm_channel_output(ccm_, id, &out), 0);
  EXPECT_EQ(out.queued, 1);
  EXPECT_FALSE(ccm_output_drained(&out));
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 0);
  // A graceful close lets the held message out first, then ends the channel in order; one whose
  // output cannot drain within its bound is aborted, and its notice says what was left.
  for (int i = 0; i < 40; ++i) ASSERT_EQ(send_NAT_message(ccm_, nat_to(ccm_, slow, 60000)), 0);
  const auto began = Clock::now();
  ASSERT_EQ(ccm_channel_close(ccm_, id, CCM_CLOSE_GRACEFUL, 5000), 0);
  ASSERT_EQ(ccm_channel_close(ccm_, slow, CCM_CLOSE_GRACEFUL, 200), 0);
  gate.Release();
  EXPECT_EQ(read_exact(peer, 339).size(), 339u);
  EXPECT_EQ(read_exact(peer, 1), "");  // end of stream, no reset
  auto closed = await_closes(ccm_, {id, slow});
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(190));
  EXPECT_EQ(closed[id].msgnr, 0);
  EXPECT_EQ(closed[id].output.queued, 0);
  EXPECT_EQ(closed[id].output.written, 1u);
  EXPECT_GT(closed[slow].output.queued, 0);
  EXPECT_EQ(ccm_channel_output(ccm_, id, &out), -1);
  EXPECT_EQ(ccm_channel_close(ccm_, id, CCM_CLOSE_GRACEFUL, 0), -1);
}

TEST_F(HostInterfaceTest, ADrainRightAfterTheReceivePauseWakesTheNetworkThread) {
  // Two standard messages pass the bound, one does not; reading resumes below half of it.
  ccm_->max_queued_input = 100000;
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("*PEER", &ch, SOCK_STREAM);
  const std::string frames = job_state_frame() + job_state_frame();
  start();
  static ccm_context_t* ctx;
  ctx = ccm_;
  // Only the pass that found both messages waiting is held (the network thread alone adds to
  // recvq, and the test takes nothing before the hold).
  Gate gate("recv_pause_decided", [] { return recvq_bytes(ctx) > ctx->max_queued_input; });
  ASSERT_EQ(write(peer, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
  ASSERT_TRUE(gate.WaitHeld());
  const std::string third = job_state_frame();
  ASSERT_EQ(write(peer, third.data(), third.size()), static_cast<ssize_t>(third.size()));
  for (int i = 0; i < 2; ++i) ccm_msg_free(ccm_, receive(ccm_, 5));
  gate.Release();
  // Without the wake-up the paused thread would sit in select() for its 10-second time-out.
  const auto began = Clock::now();
  ccm_msg_t* m = receive(ccm_, 5);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->len, 276);
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(3));
  ccm_msg_free(ccm_, m);
}

// Input counts while its bytes wait in the socket and while its frame waits on recvq, or among
// those the processor thread took off recvq with one it handed out.
TEST_F(HostInterfaceTest, InputPendingTellsInputTheHostHasNotTaken) {
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("*PEER", &ch, SOCK_STREAM);
  const int id = ch->ID;
  EXPECT_EQ(ccm_channel_input_pending(ccm_, id), 0);
  EXPECT_EQ(ccm_channel_input_pending(ccm_, id + 1), -1);
  const std::string frame = job_state_frame() + job_state_frame();
  ASSERT_EQ(write(peer, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(ccm_channel_input_pending(ccm_, id), 1);
  static ccm_context_t* ctx;
  ctx = ccm_;
  Gate gate("recv_pause_decided", [] { return recvq_bytes(ctx) > 0; });  // read, on recvq
  start();
  ASSERT_TRUE(gate.WaitHeld());
  EXPECT_EQ(ccm_channel_input_pending(ccm_, id), 1);
  gate.Release();
  ccm_msg_free(ccm_, receive(ccm_, 5));
  EXPECT_EQ(ccm_channel_input_pending(ccm_, id), 1);
  ccm_msg_free(ccm_, receive(ccm_, 5));
  EXPECT_EQ(ccm_channel_input_pending(ccm_, id), 0);
}

TEST_F(HostInterfaceTest, ReceiveWaitIgnoresStaleWakeups) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  // Two notices found one empty queue: one byte, left in the pipe when both are taken.
  for (int i = 0; i < 2; ++i) {
    ccm_msg_t* m = ccm_msg_alloc(ccm_, &err_);
    memcpy(m->msg_start, "CHANNEL_ACCEPT\0\0\x05\0\0\0", 20);
    m->len = 20;
    send_IPC_internal(ccm_, m);
  }
  ccm_msg_t* got = nullptr;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ccm_receive_wait(ccm_, 0, &got, &err_), 1);
    EXPECT_EQ(ccm_notice_channel_ID(got), 5);
    ccm_msg_free(ccm_, got);
  }
  auto began = Clock::now();
  EXPECT_EQ(ccm_receive_wait(ccm_, 150, &got, &err_), 0);
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(140));
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(ccm_receive_wait(ccm_, -1, &got, &err_), -1);
  EXPECT_EQ(err_.msgnr, CCM_MSGNR_SYSCALL);
}

TEST_F(HostInterfaceTest, IdleSelfConnectedAndStuckChannelsEndAsFailedConnections) {
  ccm_->idle_timeout_ms = 150;
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("*TRICKLE", &ch, SOCK_STREAM);
  const int idle_id = ch->ID;
  // A socket connected to itself: bound to a free port and connected to that same port.
  const int port = qm7_test::UnusedPort();
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  self.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&self), sizeof(self)), 0);
  connect(s, reinterpret_cast<sockaddr*>(&self), sizeof(self));
  ccm_channel_t* looped = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &looped, &err_), 0);
  looped->s = s;
  looped->type = CCM_TYPE_MESSENGER;
  looped->connect_deadline = qm7::monotonic_ms() + 60000;
  looped->flag = CCM_FLAG_CONNECT_WAIT;
  const int looped_id = looped->ID;
  ccm_channel_chain(ccm_, looped);
  // A listener whose accept queue is full drops the SYN: the connect never completes, and the
  // loop gives up at its connect time-out.
  const int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  self.sin_port = 0;
  socklen_t len = sizeof(self);
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&self), sizeof(self)), 0);
  ASSERT_EQ(listen(full, 0), 0);
  getsockname(full, reinterpret_cast<sockaddr*>(&self), &len);
  const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&self), sizeof(self)), 0);
  const int stuck_id =
      ccm_connect(ccm_, "127.0.0.1", ntohs(self.sin_port), CCM_TYPE_MESSENGER, nullptr, 1, &err_);
  ASSERT_GT(stuck_id, 0);
  const auto began = Clock::now();
  start();
  // Bytes that never complete a frame do not keep a connection alive.
  std::thread trickle([peer] {
    for (int i = 0; i < 5; ++i) {
      (void)!send(peer, "0", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  });
  auto closed = await_closes(ccm_, {looped_id, idle_id, stuck_id});
  EXPECT_EQ(closed[looped_id].msgnr, CCM_MSGNR_RECV_FAILED);
  EXPECT_THAT(closed[looped_id].msginsert, testing::HasSubstr("Connection refused"));
  EXPECT_EQ(closed[idle_id].msgnr, CCM_MSGNR_RECV_FAILED);
  EXPECT_THAT(closed[idle_id].msginsert, testing::HasSubstr("idle for 150 ms"));
  EXPECT_THAT(closed[stuck_id].msginsert, testing::HasSubstr("Connection timed out"));
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(900));
  trickle.join();
  close(queued);
  close(full);
}

}  // namespace
