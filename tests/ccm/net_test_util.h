// Helpers of the network-thread, writer and send-path tests: messages with a known body,
// channels around one end of a socket pair, and bounded reads from the other end.
#ifndef QM7_TESTS_CCM_NET_TEST_UTIL_H_
#define QM7_TESTS_CCM_NET_TEST_UTIL_H_

#include <string>

#include "qm7/ccm.h"

namespace qm7::test {

// A standard message whose body is `len` bytes of the repeating pattern 0, 1, ... 250.
ccm_msg_t* make_body_msg(ccm_context_t* ccm, int len);

// The pattern make_body_msg writes.
std::string body_pattern(int len);

// A channel entry (not chained) named `name` serving socket `s`, made non-blocking.
ccm_channel_t* make_channel(ccm_context_t* ccm, int s, const char* name);

// Destroys an unchained entry without close line or notice (its socket is closed).
void discard_channel(ccm_context_t* ccm, ccm_channel_t* ch);

// Reads exactly `n` bytes from `fd`, waiting at most `timeout_ms` for each piece. Returns what
// arrived (shorter on time-out or end of file).
std::string read_exact(int fd, size_t n, int timeout_ms = 5000);

// The bytes of message `m` from msg_start.
std::string msg_bytes(const ccm_msg_t* m);

// The 48-byte header text for a frame of `len` bytes and protocol `proto`, 24 blanks after it.
std::string header_text(int len, const char* proto);

// Waits (bounded by `seconds` in all) for the next message on `ccm` that is not a CHANNEL_ACCEPT
// notice when `skip_accept`; null when none came.
ccm_msg_t* receive(ccm_context_t* ccm, int seconds, bool skip_accept = false);

// The record type name of an IPC message (its first 16 bytes up to the first NUL).
std::string ipc_type(const ccm_msg_t* m);

}  // namespace qm7::test

#endif  // QM7_TESTS_CCM_NET_TEST_UTIL_H_
