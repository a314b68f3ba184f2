// Builders of wire frames for the reader tests and a message block that lives outside the pool,
// so the pure framing functions can be tested without a context.
#ifndef QM7_TESTS_CCM_FRAME_UTIL_H_
#define QM7_TESTS_CCM_FRAME_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "qm7/ccm/msg.h"

namespace qm7::test {

using Bytes = std::vector<unsigned char>;

Bytes bytes(std::string_view text);
Bytes cat(std::initializer_list<Bytes> parts);

// A 48-byte header with `length` as 8 digits and the protocol name, then `body`; the length is
// the real one unless `length` is given.
Bytes frame(std::string_view protocol, const Bytes& body, long length = -1);

// Elements of a native body in the four length forms (lengths in record order).
Bytes elem1(unsigned char key, const Bytes& data);
Bytes elem2(unsigned char key, const Bytes& data);
Bytes elem4(unsigned char key, const Bytes& data);
Bytes elem7(unsigned char key, const Bytes& data);

// The 276-byte record of a job-state report: "MELD    " then bytes 8..275 counting up.
Bytes job_state_record();
// The 339-byte NAT frame that carries it to "JPAKTJ_R".
Bytes job_state_frame();

// A message block of `size` bytes per half, outside the pool, holding `frame_bytes` at buffer1
// as the reader leaves a cut frame (msg_start = buffer1, len = its size).
struct FreeDeleter {
  void operator()(ccm_msg_t* m) const;
};
using MsgPtr = std::unique_ptr<ccm_msg_t, FreeDeleter>;
MsgPtr make_msg(const Bytes& frame_bytes, int size = CCM_MSG_STD_SIZE);

}  // namespace qm7::test

#endif  // QM7_TESTS_CCM_FRAME_UTIL_H_
