// Byte-order probes and the conversions between host order and the wire's record order (least
// significant byte first), plus small 64-bit helpers. Every conversion goes through
// reverse_bytes, so the one path that is dead on this host is still tested.
#include "qm7/runtime/byteorder.h"

#include <cstdint>
#include <cstring>

namespace {

// True when the host stores the most significant byte first.
bool host_is_big_endian() {
  const std::uint16_t one = 1;
  unsigned char bytes[2];
  std::memcpy(bytes, &one, sizeof bytes);
  return bytes[1] != 0;
}

template <typename T>
T to_record_order(T value) {
  if (!iIsIntel()) qm7::detail::reverse_bytes(&value, sizeof value);
  return value;
}

}  // namespace

namespace qm7::detail {

void reverse_bytes(void* num, std::size_t size) {
  if (size != 2 && size != 4 && size != 8) return;
  auto* bytes = static_cast<unsigned char*>(num);
  for (std::size_t i = 0, j = size - 1; i < j; ++i, --j) {
    const unsigned char tmp = bytes[i];
    bytes[i] = bytes[j];
    bytes[j] = tmp;
  }
}

}  // namespace qm7::detail

int iIsIntel(void) {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first != 0 ? 1 : 0;
}

int iIsEbcdic(void) { return '0' == 0x30 ? 0 : 1; }

unsigned short iCnvU16(unsigned short u16) { return to_record_order(u16); }
short iCnvI16(short i16) { return to_record_order(i16); }
unsigned int iCnvU32(unsigned int u32) { return to_record_order(u32); }
int iCnvI32(int i32) { return to_record_order(i32); }
int CnvInt4(int l) { return to_record_order(l); }
short CnvInt2(short s) { return to_record_order(s); }

long long* _CnvInt64(long long* i64) {
  CNV_Int(i64, sizeof *i64);
  return i64;
}

unsigned long long* _CnvUint64(unsigned long long* u64) {
  CNV_Int(u64, sizeof *u64);
  return u64;
}

void CNV_Int(void* num, short size) {
  if (iIsIntel()) return;
  qm7::detail::reverse_bytes(num, size < 0 ? 0 : static_cast<std::size_t>(size));
}

void CNV_X(void* num, short size) {
  if (host_is_big_endian()) return;
  qm7::detail::reverse_bytes(num, size < 0 ? 0 : static_cast<std::size_t>(size));
}

int CNV_Int4(int l) { return l; }
short CNV_Int2(short s) { return s; }

// The sums are formed on unsigned values: wrapping is defined there, not on signed ones.
void MyAddFrom8(long long* Summe, const long long* add) {
  *Summe = static_cast<long long>(static_cast<unsigned long long>(*Summe) +
                                  static_cast<unsigned long long>(*add));
}

void MyAddFrom4(long long* Summe, int add) {
  const long long extended = add;
  MyAddFrom8(Summe, &extended);
}

void myAdd8(long long* gss_uint32, unsigned int add) {
  const long long extended = static_cast<long long>(static_cast<unsigned long long>(add));
  MyAddFrom8(gss_uint32, &extended);
}

// A signed 64-bit comparison is exactly "high words signed, then low words unsigned".
int MyGt8(const long long* if1, const long long* if2) { return *if1 > *if2 ? 1 : 0; }
int MyLe8(const long long* if1, const long long* if2) { return *if1 <= *if2 ? 1 : 0; }
int MyGt4(const int* if1, const int* if2) { return *if1 > *if2 ? 1 : 0; }
int MyLe4(const int* if1, const int* if2) { return *if1 <= *if2 ? 1 : 0; }
