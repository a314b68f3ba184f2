// Record order (least significant byte first) on this host, the reversal that the other byte
// order takes, and the 64-bit helpers at their sign and carry boundaries.
#include "qm7/runtime/byteorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

template <typename T>
std::string bytes_of(T value) {
  std::string bytes(sizeof value, '\0');
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

TEST(ByteOrder, ConvertedValuesAreStoredLeastSignificantByteFirst) {
  EXPECT_EQ(iIsIntel(), bytes_of(uint32_t{0x01020304})[0] == 0x04 ? 1 : 0);
  EXPECT_EQ(iIsEbcdic(), 0);
  EXPECT_EQ(bytes_of(iCnvU32(0x01020304u)), "\x04\x03\x02\x01");
  EXPECT_EQ(bytes_of(iCnvU16(0x1234)), "\x34\x12");
  EXPECT_EQ(bytes_of(iCnvI32(-2)), "\xFE\xFF\xFF\xFF");
  EXPECT_EQ(bytes_of(iCnvI16(-2)), "\xFE\xFF");
  EXPECT_EQ(bytes_of(CnvInt4(0x01020304)), "\x04\x03\x02\x01");
  EXPECT_EQ(bytes_of(CnvInt2(0x0102)), "\x02\x01");
  long long v = 0x0102030405060708LL;
  EXPECT_EQ(_CnvInt64(&v), &v);
  EXPECT_EQ(bytes_of(v), "\x08\x07\x06\x05\x04\x03\x02\x01");
  unsigned long long u = ~0ULL - 1;
  EXPECT_EQ(_CnvUint64(&u), &u);
  EXPECT_EQ(bytes_of(u), "\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
}

TEST(ByteOrder, OnlyTwoFourAndEightByteOperandsAreReversed) {
  const std::string original = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10";
  for (short size : {0, 1, 2, 3, 4, 5, 8, 9, 16, -4}) {
    std::string reversed = original;
    if (size == 2 || size == 4 || size == 8)
      std::reverse(reversed.begin(), reversed.begin() + size);
    std::string bytes = original;
    qm7::detail::reverse_bytes(bytes.data(), size < 0 ? 0 : static_cast<size_t>(size));
    EXPECT_EQ(bytes, reversed) << size;
    // CNV_Int converts to least significant first, CNV_X to most significant first.
    bytes = original;
    CNV_Int(bytes.data(), size);
    EXPECT_EQ(bytes, iIsIntel() ? original : reversed) << size;
    bytes = original;
    CNV_X(bytes.data(), size);
    EXPECT_EQ(bytes, iIsIntel() ? reversed : original) << size;
  }
}

long long make64(int32_t high, uint32_t low) {
  return static_cast<long long>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

TEST(ByteOrder, SixtyFourBitComparisonsAndSums) {
  // High words compare signed; equal high words are decided by the low words, unsigned.
  const long long ordered[] = {
      make64(-1, 0), make64(-1, 0xFFFFFFFFu), make64(0, 0),          make64(0, 0xFFFFFFFFu),
      make64(1, 0),  make64(5, 0x7FFFFFFFu),  make64(5, 0x80000000u)};
  const size_t n = sizeof ordered / sizeof ordered[0];
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      EXPECT_EQ(MyGt8(&ordered[i], &ordered[j]), i > j ? 1 : 0) << i << " " << j;
      EXPECT_EQ(MyLe8(&ordered[i], &ordered[j]), i <= j ? 1 : 0) << i << " " << j;
    }
  }
  int x = -1, y = 0;
  EXPECT_EQ(MyGt4(&x, &y), 0);
  EXPECT_EQ(MyLe4(&x, &y), 1);
  EXPECT_EQ(MyLe4(&y, &y), 1);
  EXPECT_EQ(MyGt4(&y, &x), 1);

  long long s = 0;
  MyAddFrom4(&s, -1);
  EXPECT_EQ(s, -1);  // sign-extended
  s = 0;
  myAdd8(&s, 0xFFFFFFFFu);
  EXPECT_EQ(s, 4294967295LL);  // zero-extended
  s = make64(0, 0xFFFFFFFFu);
  MyAddFrom4(&s, 1);
  EXPECT_EQ(s, make64(1, 0));  // carry into the high word
  s = INT64_MAX;
  const long long one = 1;
  MyAddFrom8(&s, &one);
  EXPECT_EQ(s, INT64_MIN);  // wraps modulo 2^64
}

}  // namespace
