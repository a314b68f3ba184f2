// The pure part of reading a channel: the frame length of the protocol header, the cut of the
// first frame out of the bytes held, and the size of one element of a native body in each of
// its four length forms. No function here touches a socket or a queue, and none reads a byte
// outside the span it is given.
#include <climits>
#include <cstring>

#include "qm7/ccm/reader.h"
#include "qm7/runtime/byteorder.h"
#include "qm7/runtime/protocol_header.h"
#include "qm7/runtime/trace.h"
#include "reader_internal.h"

namespace qm7::ccm {
namespace {

// Key and length bytes in front of the data, per length form; 0 for an unknown form.
constexpr size_t prefix_size(int keylen) {
  switch (keylen) {
    case 1:
      return 2;
    case 2:
      return 3;
    case 4:
      return 5;
    case 7:
      return 8;
    default:
      return 0;
  }
}

// The decimal value of `width` digit characters, or -1 when any of them is not a digit. Every
// writer of the system pads with leading zeros, so blanks and signs are refused.
long decimal_field(const unsigned char* p, size_t width) {
  long value = 0;
  for (size_t i = 0; i < width; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

// The length value of the element at `src` (form 1, 2, 4 or 7), -1 when it cannot be read.
// REQUIRES: the key and length bytes are readable.
long length_value(const unsigned char* src, int keylen) {
  switch (keylen) {
    case 1:
      return src[1];
    case 2: {
      unsigned short u16;
      std::memcpy(&u16, src + 1, sizeof u16);
      return iCnvU16(u16);
    }
    case 4: {
      unsigned int u32;
      std::memcpy(&u32, src + 1, sizeof u32);
      return static_cast<long>(iCnvU32(u32));
    }
    case 7:
      return decimal_field(src + 1, 7);
    default:
      return -1;
  }
}

}  // namespace

FrameResult cut_frame(std::span<const unsigned char> held, size_t max_len) {
  if (held.size() < kMinHeldForLength) return {FrameCut::kNeedMore, 0};
  const size_t length =
      ccm_get_msg_length(nullptr, nullptr, reinterpret_cast<const char*>(held.data()));
  if (length < kMinFrameLength || length > max_len) return {FrameCut::kBadLength, length};
  if (held.size() < length) return {FrameCut::kNeedMore, length};
  return {FrameCut::kFrame, length};
}

int element_form(unsigned char key) {
  switch (key) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x07:
      return 1;
    case 0x3B:
    case 0xF9:
    case 0xFE:
    case 0xFD:
      return 2;
    case 0xFF:
      return 4;
    case 0x41:
    case 0x44:
      return 7;
    default:
      return 0;
  }
}

long element_size(std::span<const unsigned char> rest, int keylen) {
  const size_t prefix = prefix_size(keylen);
  if (prefix == 0 || rest.size() < prefix) return -1;
  const long n = length_value(rest.data(), keylen);
  if (n < 0 || static_cast<unsigned long>(n) > rest.size() - prefix) return -1;
  return static_cast<long>(prefix) + n;
}

}  // namespace qm7::ccm

size_t ccm_get_msg_length(ccm_context_t* /*ccm*/, ccm_channel_t* /*ccmch*/, const char* buffer) {
  const long value = qm7::ccm::decimal_field(reinterpret_cast<const unsigned char*>(buffer),
                                             qm7::protocol::kLengthWidth);
  const size_t length = value < 0 ? 0 : static_cast<size_t>(value);
  QM7_TRACE("%s <-- (length=%zu)", __func__, length);
  return length;
}

int extract_protocol_data(const unsigned char* src, int keylen, unsigned char* dst) {
  QM7_TRACE("%s(src=%p,keylen=%d) -->", __func__, static_cast<const void*>(src), keylen);
  const size_t prefix = qm7::ccm::prefix_size(keylen);
  const long n = prefix == 0 ? -1 : qm7::ccm::length_value(src, keylen);
  if (n < 0 || n > INT_MAX - static_cast<long>(prefix)) {
    QM7_TRACE("%s <-- (invalid length)", __func__);
    return -1;
  }
  if (dst != nullptr) {
    std::memmove(dst, src + prefix, static_cast<size_t>(n));
    if (trc_level()) trcdump(dst, static_cast<int>(n), "extracted");
  }
  const int size = static_cast<int>(prefix + n);
  QM7_TRACE("%s <-- (len=%d)", __func__, size);
  return size;
}
