// Base-26 numbers and the sub-area bounds check.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "qm7/runtime/memdump.h"

namespace {

TEST(Base26, ExamplesBothWays) {
  char out[9];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(Zudnst_LongToB26(0, out), out);
  EXPECT_EQ(std::string(out, 9), std::string("AAAAAAA\0#", 9));
  EXPECT_STREQ(Zudnst_LongToB26(25, out), "AAAAAAZ");
  EXPECT_STREQ(Zudnst_LongToB26(26, out), "AAAAABA");
  EXPECT_STREQ(Zudnst_LongToB26(UINT32_MAX, out), "NXMRLXV");  // 4294967295 in base 26
  EXPECT_EQ(Zudnst_B26ToLong("AAAAAAA"), 0u);
  EXPECT_EQ(Zudnst_B26ToLong("AAAAAAZ"), 25u);
  EXPECT_EQ(Zudnst_B26ToLong("AAAAABA"), 26u);
  EXPECT_EQ(Zudnst_B26ToLong("NXMRLXV"), UINT32_MAX);
  for (unsigned v : {1u, 675u, 676u, 123456789u, 0x80000000u}) {
    EXPECT_EQ(Zudnst_B26ToLong(Zudnst_LongToB26(v, out)), v) << v;
  }
}

TEST(Base26, NonLettersEndTheConversionAsAFinalA) {
  EXPECT_EQ(Zudnst_B26ToLong("AB1"), 26u);  // the digit counts as a final A
  EXPECT_EQ(Zudnst_B26ToLong("AB"), 26u);   // so does the terminator of a short text
  EXPECT_EQ(Zudnst_B26ToLong("b"), 0u);     // lower case is not a digit
  EXPECT_EQ(Zudnst_B26ToLong(""), 0u);
  EXPECT_EQ(Zudnst_B26ToLong("AAAAAAZZZ"), 25u);  // at most seven characters are read
  EXPECT_EQ(Zudnst_B26ToLong("ZZZZZZZ"), static_cast<unsigned>(8031810175ULL));  // mod 2^32
  EXPECT_EQ(Zudnst_B26ToLong(nullptr), 0u);
}

TEST(Plausibility, SubAreaWithinMessage) {
  EXPECT_EQ(Zudnst_Plausibility(0, 12345, 999999), 1);  // length unknown
  EXPECT_EQ(Zudnst_Plausibility(0, UINT32_MAX, UINT32_MAX), 1);
  EXPECT_EQ(Zudnst_Plausibility(100, 90, 10), 1);
  EXPECT_EQ(Zudnst_Plausibility(100, 91, 10), 0);
  EXPECT_EQ(Zudnst_Plausibility(100, 100, 0), 1);
  EXPECT_EQ(Zudnst_Plausibility(100, 101, 0), 0);
  // A distance near 2^32 must not wrap round into an area that seems to fit.
  EXPECT_EQ(Zudnst_Plausibility(100, UINT32_MAX, 2), 0);
  EXPECT_EQ(Zudnst_Plausibility(100, 0x80000000u, 0x80000000u), 0);
  EXPECT_EQ(Zudnst_Plausibility(UINT32_MAX, UINT32_MAX, 0), 1);
}

}  // namespace
