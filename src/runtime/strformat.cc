// Hexadecimal and decimal formatting of the runtime library: the combined hex and character view
// of a byte area, plain hex digits, the decimal text of a 64-bit value and the text of an
// address. Each writes within the caller's stated size and nothing more.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bounded_text.h"
#include "qm7/runtime/strings.h"

const char g_Conv[17] = "0123456789ABCDEF";

namespace {

constexpr int kHexViewMaxBytes = 500;
// The character view is added only while the hex part is at most this long, and it starts at a
// multiple of this column width.
constexpr size_t kHexViewMaxHexPart = 256;
constexpr size_t kHexViewColumn = 40;

// CnvIntToChar's layout: digits right-aligned to position 31, position 32 the terminator.
constexpr int kDecimalArea = 33;
constexpr int kDecimalLastDigit = 31;

}  // namespace

char* GetHexString(const void* addr, int aLength, char* cValue, int vLength) {
  if (cValue == nullptr || vLength <= 0) return cValue;
  int n = aLength < kHexViewMaxBytes ? aLength : kHexViewMaxBytes;
  if (n < 0 || addr == nullptr) n = 0;
  const auto* bytes = static_cast<const unsigned char*>(addr);

  qm7::detail::BoundedText<512> text;
  text.append('\'');
  for (int i = 0; i < n; ++i) {
    if (i > 0 && i % 4 == 0) text.append(' ');
    text.append(g_Conv[bytes[i] >> 4]);
    text.append(g_Conv[bytes[i] & 0x0F]);
  }
  text.append('\'');

  if (text.size() <= kHexViewMaxHexPart) {
    const size_t column = (text.size() + kHexViewColumn - 1) / kHexViewColumn * kHexViewColumn;
    text.pad_to(column);
    text.append('>');
    for (int i = 0; i < n; ++i) {
      text.append(qm7::detail::is_printable_ascii(bytes[i]) ? static_cast<char>(bytes[i]) : '.');
    }
    text.append('<');
  }
  std::strncpy(cValue, text.c_str(), static_cast<size_t>(vLength));
  return cValue;
}

int convert2hex(const unsigned char* in, int inBufLen, char* str, int strLen) {
  if (str == nullptr || inBufLen < 0 || (in == nullptr && inBufLen > 0)) return -1;
  if (static_cast<long long>(strLen) < 2LL * inBufLen + 1) return -1;
  for (int i = 0; i < inBufLen; ++i) {
    str[2 * i] = g_Conv[in[i] >> 4];
    str[2 * i + 1] = g_Conv[in[i] & 0x0F];
  }
  str[2 * inBufLen] = '\0';
  return 0;
}

char* CnvIntToChar(unsigned long long Ptr, char* oPtr, int oLen) {
  if (oPtr == nullptr || oLen <= 0) return oPtr;
  std::memset(oPtr, 0, static_cast<size_t>(oLen));

  char digits[kDecimalArea];
  const int count = std::snprintf(digits, sizeof digits, "%llu", Ptr);

  if (oLen < kDecimalArea) {
    // Too small for the right-aligned layout: the digits at the start when they fit whole, else
    // nothing (a cut number would be a wrong number).
    if (count < oLen) std::memcpy(oPtr, digits, static_cast<size_t>(count) + 1);
    return oPtr;
  }
  if (Ptr == 0) {
    oPtr[0] = '0';
    return oPtr;
  }
  const int first = kDecimalLastDigit + 1 - count;
  std::memset(oPtr, ' ', static_cast<size_t>(first));
  std::memcpy(oPtr + first, digits, static_cast<size_t>(count));
  return oPtr + first;
}

char* CnvAddrStr(const void* Was, char* cAddr, int iLen) {
  if (cAddr == nullptr || iLen <= 0) return cAddr;
  std::memset(cAddr, 0, static_cast<size_t>(iLen));
  std::snprintf(cAddr, static_cast<size_t>(iLen), "%.8" PRIXPTR, reinterpret_cast<uintptr_t>(Was));
  return cAddr;
}
