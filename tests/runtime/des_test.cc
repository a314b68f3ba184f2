// Known-answer tests of the DES cipher: the classic single vectors, long chains of encryptions
// whose last block was computed by an independent DES implementation (they pass every S-box
// entry and every key bit many times), key set-up and the hex conversion.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "qm7/runtime/des.h"

namespace {

void to_bytes(uint64_t v, char* out) {
  for (int i = 0; i < 8; i++) out[i] = static_cast<char>(v >> (56 - 8 * i));
}

uint64_t from_bytes(const char* in) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | static_cast<unsigned char>(in[i]);
  return v;
}

// Runs `block` through `rounds` encryptions (or decryptions) under `key`, in place.
uint64_t chain(uint64_t key, uint64_t block, int rounds, bool decrypt = false) {
  char k[8], b[8];
  to_bytes(key, k);
  to_bytes(block, b);
  desinit(k);
  for (int i = 0; i < rounds; i++) decrypt ? dedes(b, b) : endes(b, b);
  return from_bytes(b);
}

TEST(Des, ClassicVectorsAndLongChains) {
  EXPECT_EQ(chain(0x0123456789ABCDEFULL, 0x4E6F772069732074ULL, 1), 0x3FA40E8A984D4815ULL);
  EXPECT_EQ(chain(0x0123456789ABCDEFULL, 0x3FA40E8A984D4815ULL, 1, true), 0x4E6F772069732074ULL);
  EXPECT_EQ(chain(0x133457799BBCDFF1ULL, 0x0123456789ABCDEFULL, 1), 0x85E813540F0AB405ULL);
  EXPECT_EQ(chain(0x0101010101010101ULL, 0x8000000000000000ULL, 1), 0x95F8A5E5DD31D900ULL);
  // 1000 encryptions of a zero block; the parity bits (bit 0 of each key byte) play no part.
  const uint64_t cases[][2] = {{0x0123456789ABCDEFULL, 0xBA5C69A88E8392EDULL},
                               {0x133457799BBCDFF1ULL, 0x288D0836C554BFBAULL},
                               {0xFEDCBA9876543210ULL, 0xE7322B09EE4A4313ULL}};
  for (const auto& c : cases) {
    EXPECT_EQ(chain(c[0], 0, 1000), c[1]) << std::hex << c[0];
    EXPECT_EQ(chain(c[0] ^ 0x0101010101010101ULL, 0, 1000), c[1]) << std::hex << c[0];
    EXPECT_EQ(chain(c[0], c[1], 1000, true), 0u) << std::hex << c[0];
  }
  // Block bytes straight from text, as the text encryption hands them over.
  char key[8], block[9] = "Now is t";
  to_bytes(0x0123456789ABCDEFULL, key);
  desinit(key);
  endes(block, block);
  EXPECT_EQ(from_bytes(block), 0x3FA40E8A984D4815ULL);
  dedes(block, block);
  EXPECT_STREQ(block, "Now is t");
}
TEST(Des, InitKeyDefaultShortAndLongKeys) {
  // Null and empty select the default key; its first 8 UTF-8 bytes are the DES key.
  char expect[8], got[8];
  desinit("tokr\xC3\xA1hnu");
  endes("ABCDEFGH", expect);
  for (const char* none : {static_cast<const char*>(nullptr), ""}) {
    initkey(none);
    EXPECT_STREQ(keyx, "tokr\xC3\xA1hnu");
    endes("ABCDEFGH", got);
    EXPECT_EQ(0, std::memcmp(expect, got, 8));
  }

  // A short key after a longer one is padded with zero bytes, as in a fresh process.
  initkey("longerkey!");
  initkey("abc");
  EXPECT_EQ(0, std::memcmp(keyx, "abc\0\0\0\0\0\0\0\0\0", 12));
  endes("ABCDEFGH", got);
  const char padded[8] = {'a', 'b', 'c', 0, 0, 0, 0, 0};
  desinit(padded);
  endes("ABCDEFGH", expect);
  EXPECT_EQ(0, std::memcmp(expect, got, 8));

  // A key of more than 11 bytes is cut to 11 and stays terminated; keyx may set itself.
  initkey("0123456789ABCDEFGHIJ");
  EXPECT_EQ(std::string(keyx, 12), std::string("0123456789A\0", 12));
  initkey("selfkey");
  initkey(keyx);
  EXPECT_STREQ(keyx, "selfkey");
}

TEST(Des, HexConversion) {
  const char bytes[8] = {0x01, 0x23, 0x45, 0x67, '\x89', '\xAB', '\xCD', '\xEF'};
  char text[17];
  std::memset(text, '#', sizeof(text));
  byte2hex(text, bytes);
  EXPECT_EQ(std::string(text, 17), "0123456789ABCDEF#");  // no terminator
  char back[8];
  hex2byte(back, "0123456789ABCDEF");
  EXPECT_EQ(0, std::memcmp(back, bytes, 8));
  // Lower-case letters are not rejected: 'a','b' decode to (0x2A * 16 + 0x2B) mod 256.
  hex2byte(back, "ab0000000000FFff");
  EXPECT_EQ(static_cast<unsigned char>(back[0]), 0xCB);
  EXPECT_EQ(static_cast<unsigned char>(back[6]), 0xFF);
  EXPECT_NE(static_cast<unsigned char>(back[7]), 0xFF);
}

}  // namespace
