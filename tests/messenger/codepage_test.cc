// The EBCDIC (code page 273) <-> ASCII (code page 850) translation: tables that invert each
// other, a German text both ways, and the calls that must change nothing.
#include "qm7/messenger/codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

TEST(Codepage, TablesInvertEachOther) {
  EXPECT_EQ(OwnCode(), 1);
  // 33 EBCDIC bytes lack a counterpart; of the 32 ASCII ones, 0xFF is EBCDIC 0x41 (NBSP).
  EXPECT_EQ(std::count(ebcdic2ascii.begin(), ebcdic2ascii.end(), 0xFF), 33);
  EXPECT_EQ(std::count(ascii2ebcdic.begin(), ascii2ebcdic.end(), 0xFF), 32);
  EXPECT_EQ(ascii2ebcdic[0xFF], 0x41);
  EXPECT_EQ(ascii2ebcdic[0xEE], 0xBC);
  for (int b = 0; b < 256; b++) {
    EXPECT_TRUE(ebcdic2ascii[b] == 0xFF || ascii2ebcdic[ebcdic2ascii[b]] == b) << b;
    EXPECT_TRUE(ascii2ebcdic[b] == 0xFF || ebcdic2ascii[ascii2ebcdic[b]] == b) << b;
  }
}

TEST(Codepage, SwapcodeTranslatesInPlace) {
  // "Grüße, Ä@[x]{y}\0" in code page 273, then in 850.
  unsigned char text[] = {0xC7, 0x99, 0xD0, 0xA1, 0x85, 0x6B, 0x40, 0x4A,
                          0xB5, 0x63, 0xA7, 0xFC, 0x43, 0xA8, 0xDC, 0x00};
  const unsigned char want[] = {'G', 'r', 0x81, 0xE1, 'e', ',', ' ', 0x8E,
                                '@', '[', 'x',  ']',  '{', 'y', '}', 0x00};
  unsigned char copy[sizeof(text)];
  std::memcpy(copy, text, sizeof(text));
  Swapcode(0, 7, text, sizeof(text));  // any non-zero code is ASCII
  EXPECT_EQ(0, std::memcmp(text, want, sizeof(want)));
  Swapcode(1, 0, text, sizeof(text));
  EXPECT_EQ(0, std::memcmp(text, copy, sizeof(copy)));
  // The same kind of code on both sides, a negative size or no area: no change.
  unsigned char same[] = {0xC1, 0x81, 0xFF};
  Swapcode(0, 0, same, 3);
  Swapcode(1, 2, same, 3);
  Swapcode(0, 1, same, -5);
  Swapcode(0, 1, nullptr, 3);
  EXPECT_EQ(0, std::memcmp(same, "\xC1\x81\xFF", 3));
}

}  // namespace
