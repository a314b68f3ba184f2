// The key-stream scrambler: hand-worked shift-register steps, the stream's period and its
// never-zero bytes, and that scrambling twice with the same key restores the data.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

TEST(MemChiffre, ShiftRegisterStep) {
  EXPECT_EQ(getnewkey(0u), 0u);
  EXPECT_EQ(getnewkey(1u), 0x80000000u);  // bit 0 set, bit 3 clear: new bit 1
  EXPECT_EQ(getnewkey(8u), 0x80000004u);  // bit 3 set, bit 0 clear: new bit 1
  EXPECT_EQ(getnewkey(9u), 0x00000004u);  // both set: new bit 0
  EXPECT_EQ(getnewkey(0xFFFFFFFFu), 0x7FFFFFFFu);
  EXPECT_EQ(getnewkey(0x7FFFFFFFu), 0x3FFFFFFFu);
}

TEST(MemChiffre, KeyZeroGivesStreamOfOnes) {
  // k stays 0, so every key byte is 0 mod 255 + 1.
  std::vector<unsigned char> data(300, 0);
  EXPECT_EQ(memchiffre(0u, data.data(), static_cast<int>(data.size())), 0u);
  for (unsigned char b : data) ASSERT_EQ(b, 1);
}

TEST(MemChiffre, StreamRepeatsWithKeyLengthAndHasNoZeroByte) {
  for (unsigned key : {0xFFFFFFFFu, 0x12345678u, 1u, 0xCAFEBABEu}) {
    const int length = static_cast<int>(getnewkey(key) & 127u) + 129;
    std::vector<unsigned char> data(3 * 256, 0);
    memchiffre(key, data.data(), static_cast<int>(data.size()));
    for (size_t i = 0; i < data.size(); ++i) {
      ASSERT_NE(data[i], 0) << "key " << key << " byte " << i;
      if (i + length < data.size()) {
        ASSERT_EQ(data[i], data[i + length]) << key;
      }
    }
  }
  // All ones: the register after the first step of 0xFFFFFFFF is 0x7FFFFFFF, so the stream is
  // 256 bytes long (the largest) and its first byte is 0x3FFFFFFF mod 255 + 1 = 64.
  std::vector<unsigned char> data(257, 0);
  memchiffre(0xFFFFFFFFu, data.data(), 257);
  EXPECT_EQ(data[0], 64);
  EXPECT_EQ(data[256], data[0]);
}

TEST(MemChiffre, AppliedTwiceRestoresTheData) {
  std::vector<unsigned char> original(1000);
  std::iota(original.begin(), original.end(), 0);
  std::vector<unsigned char> data = original;
  const unsigned first = memchiffre(0xA5A5A5A5u, data.data(), 1000);
  EXPECT_NE(data, original);
  const unsigned second = memchiffre(0xA5A5A5A5u, data.data(), 1000);
  EXPECT_EQ(data, original);
  EXPECT_EQ(first, second);  // the final state depends on the key alone

  std::vector<unsigned char> other = original;
  memchiffre(0xA5A5A5A5u, other.data(), 1000);
  memchiffre(0xA5A5A5A4u, other.data(), 1000);
  EXPECT_NE(other, original);  // a different key does not undo it

  unsigned char untouched = 0x55;
  memchiffre(7u, &untouched, 0);
  memchiffre(7u, &untouched, -4);
  EXPECT_EQ(untouched, 0x55);
}

}  // namespace
