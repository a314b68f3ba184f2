// The channel-manager side of the throughput benchmark: two contexts in one process, joined
// over 127.0.0.1, driven only through the calls a host program makes (allocate, write the
// body, address, send_NAT_message; ccm_receive_message, ccm_msg_free).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "pairs.h"

namespace qm7::bench::ccm {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kGiveUpSeconds = 10;  // a round fails when nothing arrives for this long

// The next message on `ccm` within `seconds`, or null.
ccm_msg_t* next_message(ccm_context_t* ccm, int seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  ccm_error_t err{};
  do {
    ccm_msg_t* m = nullptr;
    const int rc = ccm_receive_message(ccm, 1, &m, &err);
    if (rc == 1) return m;
    if (rc < 0) return nullptr;
  } while (Clock::now() < end);
  return nullptr;
}

// The room a message needs beyond its body for a NAT frame addressed by ID and name: 256
// bytes of headroom at the front; nothing trails it.
constexpr size_t kFrameRoom = CCM_MSG_HEADROOM;

ccm_msg_t* alloc_for(ccm_context_t* ccm, size_t body_len, ccm_error_t* err) {
  if (body_len + kFrameRoom <= 2 * static_cast<size_t>(CCM_MSG_STD_SIZE))
    return ccm_msg_alloc(ccm, err);
  return ccm_msg_alloc_huge(ccm, static_cast<int>(body_len), err);
}

}  // namespace

CcmPair::~CcmPair() {
  ccm_error_t err{};
  for (ccm_context_t* c : {from_, to_}) {
    if (c == nullptr) continue;
    ccm_thread_stop(c);
    ccm_thread_join(c);
    ccm_channel_closeall(c);
    ccm_close(c, &err);
  }
}

std::string CcmPair::open() {
  ccm_error_t err{};
  if (ccm_open(&host_, &to_, &err) != 0 || ccm_open(&host_, &from_, &err) != 0)
    return std::string("ccm_open: ") + err.msginsert;
  if (ccm_thread_start(to_, &err) != 0 || ccm_thread_start(from_, &err) != 0)
    return std::string("ccm_thread_start: ") + err.msginsert;
  if (ccm_create_listen(to_, "127.0.0.1", 0, 5, &err) != 0)
    return std::string("ccm_create_listen: ") + err.msginsert;
  ccm_endpoint_t listening;
  if (ccm_channel_endpoints(to_, 0, "*LISTEN", &listening, nullptr) != 0) {
    return "no listening address";
  }
  ccm_wakeup_network(to_);  // the listening channel joins the loop at the next pass
  channel_ = ccm_connect(from_, "127.0.0.1", listening.port, CCM_TYPE_MESSENGER, nullptr, 60, &err);
  if (channel_ <= 0) return std::string("ccm_connect: ") + err.msginsert;
  ccm_msg_t* note = next_message(to_, kGiveUpSeconds);
  if (note == nullptr) return "no connection accepted";
  const bool accepted = note->type == CCM_MSGTYPE_IPC && note->len >= 16 &&
                        std::memcmp(note->msg_start, "CHANNEL_ACCEPT", 15) == 0;
  ccm_msg_free(to_, note);
  return accepted ? "" : "first notice is not CHANNEL_ACCEPT";
}

std::string CcmPair::hold(unsigned count, size_t body_len) {
  std::string failure;
  for (ccm_context_t* c : {from_, to_}) {
    ccm_error_t err{};
    std::vector<ccm_msg_t*> held;
    held.reserve(count);
    while (held.size() < count && failure.empty()) {
      if (ccm_msg_t* m = alloc_for(c, body_len, &err)) {
        held.push_back(m);
      } else {
        failure = std::string("allocation failed: ") + err.msginsert;
      }
    }
    for (ccm_msg_t* m : held) ccm_msg_free(c, m);
  }
  return failure;
}

RoundResult CcmPair::round(unsigned count, size_t body_len, long window, unsigned full_every) {
  const std::vector<unsigned char> pattern = body_pattern(body_len);
  Window flight(window);
  RoundResult result;
  Clock::time_point last_receive;

  std::thread receiver([&] {
    for (unsigned seq = 0; seq < count; ++seq) {
      ccm_msg_t* m = next_message(to_, kGiveUpSeconds);
      if (m == nullptr) {
        result.failure = "message " + std::to_string(seq) + " did not arrive";
        break;
      }
      std::string wrong;
      if (m->type != CCM_MSGTYPE_NAT || std::strcmp(m->addr.dst_name, "JPAKTJ_R") != 0) {
        wrong = "message " + std::to_string(seq) + " is not the NAT message sent";
      } else {
        wrong = check_body(m->msg_start, static_cast<size_t>(m->len), pattern, seq, full_every);
      }
      ccm_msg_free(to_, m);
      if (!wrong.empty()) {
        result.failure = wrong;
        break;
      }
      flight.released();
    }
    last_receive = Clock::now();
    if (!result.failure.empty()) flight.abandon();
  });

  ccm_error_t err{};
  const auto first_send = Clock::now();
  for (unsigned seq = 0; seq < count; ++seq) {
    flight.before_send();
    ccm_msg_t* m = alloc_for(from_, body_len, &err);
    if (m == nullptr) {
      result.failure = std::string("allocation failed: ") + err.msginsert;
      break;
    }
    m->type = CCM_MSGTYPE_NAT;
    write_body(m->msg_start, pattern, seq);
    m->len = static_cast<int>(body_len);
    ccm_setaddr(m, channel_, 0, "", "JPAKTJ_R", 0);
    flight.sent();
    if (send_NAT_message(from_, m) != 0) {
      ccm_msg_free(from_, m);
      result.failure = "send_NAT_message failed";
      break;
    }
  }
  const auto last_send = Clock::now();
  receiver.join();
  if (result.failure.empty()) {
    result.seconds = std::chrono::duration<double>(last_receive - first_send).count();
    result.send_seconds = std::chrono::duration<double>(last_send - first_send).count();
  }
  return result;
}

}  // namespace qm7::bench::ccm
