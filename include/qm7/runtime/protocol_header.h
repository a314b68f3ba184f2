// The 48-byte text header that begins every frame on a channel, in either direction. It carries
// the frame's total length as decimal digits, a fixed eye-catcher, a format version and the
// name of the protocol that tells the receiver how to read the body.
#ifndef QM7_RUNTIME_PROTOCOL_HEADER_H_
#define QM7_RUNTIME_PROTOCOL_HEADER_H_

#include <cstddef>

// Byte layout; plain characters, no NUL anywhere:
//
//   offset width field       content
//        0     8 cLength     total frame length, header included, exactly 8 decimal digits
//                            with leading zeros ("00000048" for a bare header)
//        8    10 cEyeCatch   "QM7:global"
//       18     3 cVersion    "001"
//       21     3 cProtocol   "NAT" (native keyed body), "IPC" (internal record) or "GSS"
//       24     8 cCoding     coding name, left-aligned, blank-padded; 8 blanks for none
//       32    16 cSessionId  16 blanks
//
// Encoders write bytes at these offsets; the struct below only names the fields for readers.
namespace qm7::protocol {
inline constexpr std::size_t kHeaderSize = 48;
inline constexpr std::size_t kLengthOffset = 0;
inline constexpr std::size_t kLengthWidth = 8;
inline constexpr std::size_t kEyeCatchOffset = 8;
inline constexpr std::size_t kEyeCatchWidth = 10;
inline constexpr std::size_t kVersionOffset = 18;
inline constexpr std::size_t kVersionWidth = 3;
inline constexpr std::size_t kProtocolOffset = 21;
inline constexpr std::size_t kProtocolWidth = 3;
inline constexpr std::size_t kCodingOffset = 24;
inline constexpr std::size_t kCodingWidth = 8;
inline constexpr std::size_t kSessionIdOffset = 32;
inline constexpr std::size_t kSessionIdWidth = 16;

inline constexpr char kEyeCatch[] = "QM7:global";  // 10 characters on the wire, no NUL
inline constexpr char kVersion[] = "001";
inline constexpr char kProtocolNative[] = "NAT";
inline constexpr char kProtocolIpc[] = "IPC";
inline constexpr char kProtocolGss[] = "GSS";

// The largest length the 8-digit field can carry; a length outside 0 to kMaxLength is never
// written (no minus sign, no ninth digit over the eye-catcher).
inline constexpr int kMaxLength = 99999999;
}  // namespace qm7::protocol

typedef struct qm7_protocol_header {
  char cLength[8];
  char cEyeCatch[10];
  char cVersion[3];
  char cProtocol[3];
  char cCoding[8];
  char cSessionId[16];
} QM7_PROTOCOL_HEADER;

static_assert(sizeof(QM7_PROTOCOL_HEADER) == qm7::protocol::kHeaderSize);
static_assert(offsetof(QM7_PROTOCOL_HEADER, cLength) == qm7::protocol::kLengthOffset);
static_assert(offsetof(QM7_PROTOCOL_HEADER, cEyeCatch) == qm7::protocol::kEyeCatchOffset);
static_assert(offsetof(QM7_PROTOCOL_HEADER, cVersion) == qm7::protocol::kVersionOffset);
static_assert(offsetof(QM7_PROTOCOL_HEADER, cProtocol) == qm7::protocol::kProtocolOffset);
static_assert(offsetof(QM7_PROTOCOL_HEADER, cCoding) == qm7::protocol::kCodingOffset);
static_assert(offsetof(QM7_PROTOCOL_HEADER, cSessionId) == qm7::protocol::kSessionIdOffset);
static_assert(sizeof(qm7::protocol::kEyeCatch) - 1 == qm7::protocol::kEyeCatchWidth);

// None of these functions allocates or keeps state; all may be called from any thread on a
// buffer that thread owns.

// Builds a complete "NAT" header for a frame without body in the 48 bytes at `ProtAddr`.
// Returns the length written, 48.
int CrProtocolHeader(void* ProtAddr);

// Reads the length field of the header at `ProtAddr`. Returns 0 when the buffer does not carry
// the eye-catcher, or when the field does not start with a number.
int GetProtocolLength(const void* ProtAddr);

// Writes `msgLen` as 8 digits into the length field of the header at `ProtAddr`. Writes nothing
// when the buffer does not carry the eye-catcher or `msgLen` lies outside 0 to 99 999 999.
// Returns `msgLen` in every case.
int SetProtocolLength(void* ProtAddr, int msgLen);

// Copies 4 bytes from `iByte` to `oByte` in the same order, one byte at a time, so neither
// address needs any alignment. No byte order conversion.
void i4_memcopy(unsigned char* oByte, const unsigned char* iByte);

#endif  // QM7_RUNTIME_PROTOCOL_HEADER_H_
