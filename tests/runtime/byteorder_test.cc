// Byte-order probes, record-order conversions on this host, the reversals that a host storing
// the most significant byte first would take, and the 64-bit helpers at their sign boundaries.
#include "qm7/runtime/byteorder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

bool host_stores_lsb_first() {
  const std::uint32_t v = 0x01020304;
  unsigned char b[4];
  std::memcpy(b, &v, 4);
  return b[0] == 0x04;
}

TEST(ByteOrder, ProbesMatchThisHost) {
  EXPECT_EQ(iIsIntel(), host_stores_lsb_first() ? 1 : 0);
  EXPECT_EQ(iIsEbcdic(), 0);
}

TEST(ByteOrder, RecordOrderPutsTheLeastSignificantByteFirst) {
  // Whatever the host, a value passed through the conversion and stored must appear
  // least significant byte first in the record.
  unsigned char rec[4];
  const unsigned int u32 = iCnvU32(0x01020304u);
  std::memcpy(rec, &u32, 4);
  EXPECT_EQ(rec[0], 0x04);
  EXPECT_EQ(rec[3], 0x01);
  const unsigned short u16 = iCnvU16(0x1234);
  std::memcpy(rec, &u16, 2);
  EXPECT_EQ(rec[0], 0x34);
  EXPECT_EQ(rec[1], 0x12);
  const int i32 = iCnvI32(-2);
  std::memcpy(rec, &i32, 4);
  EXPECT_EQ(rec[0], 0xFE);
  EXPECT_EQ(rec[3], 0xFF);
  const short i16 = iCnvI16(-2);
  std::memcpy(rec, &i16, 2);
  EXPECT_EQ(rec[0], 0xFE);
  EXPECT_EQ(rec[1], 0xFF);
  const int c4 = CnvInt4(0x01020304);
  std::memcpy(rec, &c4, 4);
  EXPECT_EQ(rec[0], 0x04);
  const short c2 = CnvInt2(0x0102);
  std::memcpy(rec, &c2, 2);
  EXPECT_EQ(rec[0], 0x02);
}

TEST(ByteOrder, ConversionsAreTheirOwnInverse) {
  EXPECT_EQ(iCnvU16(iCnvU16(0xBEEF)), 0xBEEF);
  EXPECT_EQ(iCnvU32(iCnvU32(0xDEADBEEFu)), 0xDEADBEEFu);
  EXPECT_EQ(iCnvI32(iCnvI32(INT32_MIN)), INT32_MIN);
  EXPECT_EQ(iCnvI16(iCnvI16(-12345)), -12345);
  long long v = 0x0102030405060708LL;
  EXPECT_EQ(_CnvInt64(_CnvInt64(&v)), &v);
  EXPECT_EQ(v, 0x0102030405060708LL);
  unsigned long long u = ~0ULL - 1;
  EXPECT_EQ(_CnvUint64(&u), &u);
  unsigned char rec[8];
  std::memcpy(rec, &u, 8);
  EXPECT_EQ(rec[0], 0xFE);  // least significant byte first
}

TEST(ByteOrder, IdentityOnThisHostAndReversalForTheOther) {
  if (!host_stores_lsb_first()) GTEST_SKIP() << "host stores the most significant byte first";
  EXPECT_EQ(iCnvU16(0x1234), 0x1234);
  const unsigned char bytes[4] = {1, 2, 3, 4};
  unsigned int v;
  std::memcpy(&v, bytes, 4);
  EXPECT_EQ(iCnvU32(v), v);

  unsigned char a[4] = {1, 2, 3, 4};
  CNV_Int(a, 4);
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(a[3], 4);
  CNV_X(a, 4);
  const unsigned char want4[4] = {4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(a, want4, 4), 0);

  unsigned char b2[2] = {1, 2};
  CNV_X(b2, 2);
  EXPECT_EQ(b2[0], 2);
  EXPECT_EQ(b2[1], 1);

  unsigned char b8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  CNV_X(b8, 8);
  const unsigned char want8[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(b8, want8, 8), 0);
}

TEST(ByteOrder, OddSizesAreLeftAlone) {
  for (short size : {0, 1, 3, 5, 6, 7, 9, 16, -4}) {
    unsigned char b[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char before[16];
    std::memcpy(before, b, 16);
    CNV_Int(b, size);
    CNV_X(b, size);
    qm7::detail::reverse_bytes(b, size < 0 ? 0 : size);
    EXPECT_EQ(std::memcmp(b, before, 16), 0) << "size " << size;
  }
}

TEST(ByteOrder, ReversalsThatAHostOfTheOtherOrderTakes) {
  unsigned char b2[2] = {0x12, 0x34};
  qm7::detail::reverse_bytes(b2, 2);
  EXPECT_EQ(b2[0], 0x34);
  EXPECT_EQ(b2[1], 0x12);
  unsigned char b4[4] = {1, 2, 3, 4};
  qm7::detail::reverse_bytes(b4, 4);
  const unsigned char want4[4] = {4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(b4, want4, 4), 0);
  unsigned char b8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  qm7::detail::reverse_bytes(b8, 8);
  const unsigned char want8[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(b8, want8, 8), 0);
}

TEST(ByteOrder, PassThroughNeverChangesTheValue) {
  EXPECT_EQ(CNV_Int4(0x01020304), 0x01020304);
  EXPECT_EQ(CNV_Int2(static_cast<short>(0x0102)), 0x0102);
  EXPECT_EQ(CNV_Int4(INT32_MIN), INT32_MIN);
}

long long make64(std::int32_t high, std::uint32_t low) {
  return static_cast<long long>(
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | low);
}

TEST(ByteOrder, SixtyFourBitComparisonsWithSignedHighWords) {
  long long a = make64(0, 0xFFFFFFFFu), b = make64(1, 0);
  EXPECT_EQ(MyGt8(&a, &b), 0);
  EXPECT_EQ(MyLe8(&a, &b), 1);
  EXPECT_EQ(MyGt8(&b, &a), 1);

  long long neg = make64(-1, 0), zero = make64(0, 0);
  EXPECT_EQ(MyGt8(&neg, &zero), 0);  // the high word is signed
  EXPECT_EQ(MyLe8(&neg, &zero), 1);

  // Equal high words: the low words decide, compared unsigned.
  long long lo_big = make64(5, 0x80000000u), lo_small = make64(5, 0x7FFFFFFFu);
  EXPECT_EQ(MyGt8(&lo_big, &lo_small), 1);
  EXPECT_EQ(MyLe8(&lo_big, &lo_small), 0);
  long long neg_big = make64(-1, 0xFFFFFFFFu), neg_small = make64(-1, 0);
  EXPECT_EQ(MyGt8(&neg_big, &neg_small), 1);

  EXPECT_EQ(MyLe8(&a, &a), 1);
  EXPECT_EQ(MyGt8(&a, &a), 0);

  int x = -1, y = 0;
  EXPECT_EQ(MyGt4(&x, &y), 0);
  EXPECT_EQ(MyLe4(&x, &y), 1);
  EXPECT_EQ(MyLe4(&y, &y), 1);
  EXPECT_EQ(MyGt4(&y, &x), 1);
}

TEST(ByteOrder, SixtyFourBitSumsExtendAndWrap) {
  long long s = 0;
  MyAddFrom4(&s, -1);
  EXPECT_EQ(s, -1);  // all bits set
  s = 0;
  myAdd8(&s, 0xFFFFFFFFu);
  EXPECT_EQ(s, 4294967295LL);  // zero-extended, not -1
  s = INT64_MAX;
  const long long one = 1;
  MyAddFrom8(&s, &one);
  EXPECT_EQ(s, INT64_MIN);  // wraps modulo 2^64
  s = make64(0, 0xFFFFFFFFu);
  MyAddFrom4(&s, 1);
  EXPECT_EQ(s, make64(1, 0));  // carry into the high word
}

}  // namespace
