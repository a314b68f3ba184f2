// Builds and reads the 48-byte text header that frames every message on a channel. The length
// field is only touched on a buffer that already carries the eye-catcher, so a stray pointer
// into a body is never overwritten with digits.
#include "qm7/runtime/protocol_header.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

namespace p = qm7::protocol;

bool has_eye_catch(const unsigned char* header) {
  return std::memcmp(header + p::kEyeCatchOffset, p::kEyeCatch, p::kEyeCatchWidth) == 0;
}

}  // namespace

int CrProtocolHeader(void* ProtAddr) {
  auto* header = static_cast<unsigned char*>(ProtAddr);
  // The eye-catcher goes first: SetProtocolLength refuses a buffer without it.
  std::memcpy(header + p::kEyeCatchOffset, p::kEyeCatch, p::kEyeCatchWidth);
  std::memcpy(header + p::kVersionOffset, p::kVersion, p::kVersionWidth);
  std::memcpy(header + p::kProtocolOffset, p::kProtocolNative, p::kProtocolWidth);
  std::memset(header + p::kCodingOffset, ' ', p::kCodingWidth);
  std::memset(header + p::kSessionIdOffset, ' ', p::kSessionIdWidth);
  return SetProtocolLength(ProtAddr, static_cast<int>(p::kHeaderSize));
}

int GetProtocolLength(const void* ProtAddr) {
  const auto* header = static_cast<const unsigned char*>(ProtAddr);
  if (!has_eye_catch(header)) return 0;
  char digits[32] = {};
  std::memcpy(digits, header + p::kLengthOffset, p::kLengthWidth);
  // Eight characters cannot overflow an int, so atoi's leading-number rule is safe here.
  return std::atoi(digits);
}

int SetProtocolLength(void* ProtAddr, int msgLen) {
  auto* header = static_cast<unsigned char*>(ProtAddr);
  if (!has_eye_catch(header)) return msgLen;
  if (msgLen < 0 || msgLen > p::kMaxLength) return msgLen;
  char digits[32] = {};
  std::snprintf(digits, sizeof digits, "%08i", msgLen);
  std::memcpy(header + p::kLengthOffset, digits, p::kLengthWidth);
  return msgLen;
}

void i4_memcopy(unsigned char* oByte, const unsigned char* iByte) {
  oByte[0] = iByte[0];
  oByte[1] = iByte[1];
  oByte[2] = iByte[2];
  oByte[3] = iByte[3];
}
