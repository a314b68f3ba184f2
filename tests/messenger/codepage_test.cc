// Tests of the EBCDIC (code page 273) <-> ASCII (code page 850) translation.

#include "qm7/messenger/codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

TEST(Codepage, OwnCodeIsAscii) { EXPECT_EQ(OwnCode(), 1); }

TEST(Codepage, TablesHaveTheDocumentedShape) {
  EXPECT_EQ(std::count(ebcdic2ascii.begin(), ebcdic2ascii.end(), 0xFF), 33);
  EXPECT_EQ(std::count(ascii2ebcdic.begin(), ascii2ebcdic.end(), 0xFF), 32);
  EXPECT_EQ(ebcdic2ascii[0xBC], 0xEE);
  EXPECT_EQ(ascii2ebcdic[0xEE], 0xBC);
  // Every byte that has a counterpart translates back to itself.
  for (int b = 0; b < 256; b++) {
    if (ebcdic2ascii[b] != 0xFF) {
      EXPECT_EQ(ascii2ebcdic[ebcdic2ascii[b]], b) << b;
    }
    if (ascii2ebcdic[b] != 0xFF) {
      EXPECT_EQ(ebcdic2ascii[ascii2ebcdic[b]], b) << b;
    }
  }
  // EBCDIC space (NBSP at 0x41) is the one genuine 0xFF of code page 850.
  EXPECT_EQ(ebcdic2ascii[0x41], 0xFF);
  EXPECT_EQ(ascii2ebcdic[0xFF], 0x41);
}

TEST(Codepage, SwapcodeTranslatesInPlace) {
  unsigned char a = 0xC1;
  Swapcode(0, 1, &a, 1);
  EXPECT_EQ(a, 0x41);

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

  // The same code on both sides, or two ASCII codes: nothing changes.
  unsigned char same[] = {0xC1, 0x81, 0xFF};
  Swapcode(0, 0, same, 3);
  Swapcode(1, 1, same, 3);
  Swapcode(1, 2, same, 3);
  EXPECT_EQ(same[0], 0xC1);
  EXPECT_EQ(same[1], 0x81);
  // Nothing to do for an empty or negative size or a null area.
  Swapcode(0, 1, same, 0);
  Swapcode(0, 1, same, -5);
  Swapcode(0, 1, nullptr, 3);
  EXPECT_EQ(same[0], 0xC1);
}

}  // namespace
