// Shared helpers of the channel manager tests: frames and elements built byte by byte, messages
// with a known body, a recording logger, and a context fixture that owns its channels' far ends
// and its network thread.
#ifndef QM7_TESTS_CCM_CCM_TEST_UTIL_H_
#define QM7_TESTS_CCM_CCM_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qm7/ccm.h"

namespace qm7::test {

// A frame: length as 8 digits, "QM7:global001", the protocol, blanks to byte 48, then `body`.
// The length field says the real length unless `length` is given.
std::string frame(std::string_view protocol, std::string_view body, long length = -1);
// One element of a native body: key, length in form 1, 2, 4 (least significant byte first) or 7
// (decimal digits), data.
std::string elem(int form, unsigned char key, std::string_view data);
// `len` bytes of the repeating pattern 0, 1, ... 250.
std::string body_pattern(int len);
// The 339-byte NAT frame of a job-state report: name "JPAKTJ_R", then body_pattern(276).
inline std::string job_state_frame() {
  return frame("NAT", elem(1, 0x01, "JPAKTJ_R") + elem(4, 0xFF, body_pattern(276)));
}
inline std::span<const unsigned char> span_of(std::string_view s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}
// The bytes of `m` from msg_start; the record type of an IPC message (up to the first NUL).
inline std::string msg_bytes(const ccm_msg_t* m) {
  return std::string(reinterpret_cast<const char*>(m->msg_start), static_cast<size_t>(m->len));
}
inline std::string ipc_type(const ccm_msg_t* m) {
  return std::string(reinterpret_cast<const char*>(m->msg_start),
                     strnlen((const char*)m->msg_start, 16));
}

// A message block outside any pool holding `frame_bytes` at buffer1, as the reader cuts a frame.
struct FreeDeleter {
  void operator()(ccm_msg_t* m) const { std::free(m); }
};
using MsgPtr = std::unique_ptr<ccm_msg_t, FreeDeleter>;
MsgPtr make_msg(std::string_view frame_bytes);

// Records every log call while it lives; restores the previous logger afterwards.
using Entries = std::vector<std::pair<int, std::string>>;
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  Entries entries() const;
  void clear();
};

// Moves channel_newq to the tail of channelq, as the network thread does at a pass's start.
void merge_newq(ccm_context_t* ccm);
// Sends `bytes` on `sock` with descriptor `fd` attached (SCM_RIGHTS).
void send_with_fd(int sock, std::string_view bytes, int fd);
// The descriptor a message carries in its control data, or -1.
int passed_fd(const ccm_msg_t* m);
// Bytes waiting to be read on `fd` (a socket or a pipe), not consumed; -1 on failure.
int waiting(int fd);
// Reads up to `n` bytes from `fd`, waiting at most 5 s for each piece.
std::string read_exact(int fd, size_t n);
// The next message on `ccm` within `seconds`; null when none came.
ccm_msg_t* receive(ccm_context_t* ccm, int seconds);

// A context opened for one test; its network thread (if started), its channels and the far ends
// of their socket pairs are closed afterwards.
class CcmTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void start();
  void stop();
  // A new entry of `type` named `name` (unless null), chained on channel_newq.
  ccm_channel_t* add_channel(const char* name, int type = CCM_TYPE_UNSET);
  // A chained, non-blocking channel over one end of a socket pair; returns the far end.
  int add_pair_channel(const char* name, ccm_channel_t** out = nullptr, int type = SOCK_STREAM);
  // A message of `ccm` (this test's context unless given) whose body is body_pattern(len); a
  // large one when a standard message cannot hold it.
  ccm_msg_t* body_msg(int len, ccm_context_t* ccm = nullptr);
  // Takes `m` off msgq_inuse and appends it to `q`.
  void put(ccm_msg_t* m, ccm_msg_queue_t* q);

  ccm_host_context_t host_{3, nullptr};
  ccm_context_t* ccm_ = nullptr;
  ccm_error_t err_{};
  std::vector<int> peers_;
  bool running_ = false;
};

}  // namespace qm7::test

#endif  // QM7_TESTS_CCM_CCM_TEST_UTIL_H_
