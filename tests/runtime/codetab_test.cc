// Code tables: the fixed ASCII/EBCDIC translations against code page 037 values read from its
// chart and the system's listed departures, and table-driven conversion through SetCodeTab and
// AreaConv.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "qm7/runtime/codetab.h"

namespace {

std::string to_ascii(std::string s) {
  ToAscii(s.data(), static_cast<int>(s.size()));
  return s;
}
std::string to_ebcdic(std::string s) {
  ToEbcdic(s.data(), static_cast<int>(s.size()));
  return s;
}
unsigned char ascii_of(unsigned char ebcdic) {
  return static_cast<unsigned char>(to_ascii(std::string(1, static_cast<char>(ebcdic)))[0]);
}
unsigned char ebcdic_of(unsigned char ascii) {
  return static_cast<unsigned char>(to_ebcdic(std::string(1, static_cast<char>(ascii)))[0]);
}

TEST(CodeTables, LettersDigitsAndTheHighHalf) {
  EXPECT_EQ(to_ascii("\xC1\xC2\xC3"), "ABC");
  EXPECT_EQ(to_ebcdic("ABC"), "\xC1\xC2\xC3");
  EXPECT_EQ(ebcdic_of(0x80), 0x07);
  EXPECT_EQ(ascii_of(0x80), 0xFE);  // code page 037 0x80 is not an ASCII character
  for (int a = 0x80; a <= 0xFF; ++a) {
    if (a == 0xC4 || a == 0xD6 || a == 0xDC) continue;
    ASSERT_EQ(ebcdic_of(static_cast<unsigned char>(a)), 0x07) << a;
  }
  // Values from the code page 037 chart.
  EXPECT_EQ(to_ebcdic("Hello, World! 0-9"),
            "\xC8\x85\x93\x93\x96\x6B\x40\xE6\x96\x99\x93\x84\x5A\x40\xF0\x60\xF9");
  EXPECT_EQ(to_ebcdic("@#$%&*()_+=|;:'\"<>?/."),
            "\x7C\x7B\x5B\x6C\x50\x5C\x4D\x5D\x6D\x4E\x7E\x4F\x5E\x7A\x7D\x7F\x4C\x6E\x6F\x61\x4B");
  EXPECT_EQ(to_ascii("\x81\x89\x91\x99\xA2\xA9\xD1\xD9\xE2\xE9\xF0\xF9"), "aijrszJRSZ09");
  EXPECT_EQ(to_ebcdic(std::string("\n\r\t\0", 4)), std::string("\x25\x0D\x05\x00", 4));
}

TEST(CodeTables, ListedDepartures) {
  // EBCDIC to ASCII.
  EXPECT_EQ(ascii_of(0x07), 0x07);
  EXPECT_EQ(ascii_of(0x13), 0x12);
  EXPECT_EQ(to_ascii("\x4A\x6A\xBB\xBC\xBD\xFB\xFD\xFF"), "`^[\\]{}~");
  for (unsigned char unused : {0x79, 0xA1, 0xB0, 0xBA, 0xC0, 0xD0, 0xE0}) {
    EXPECT_EQ(ascii_of(unused), 0xFE) << int{unused};
  }
  // ASCII to EBCDIC, and the Latin-1 umlauts sharing the bracket codes.
  EXPECT_EQ(to_ebcdic("[\\]^`{}~"), "\xBB\xBC\xBD\x6A\x4A\xFB\xFD\xFF");
  EXPECT_EQ(to_ebcdic("\xC4\xD6\xDC"), "\xBB\xBC\xBD");
  EXPECT_EQ(to_ascii(to_ebcdic("\xC4\xD6\xDC")), "[\\]");
  EXPECT_EQ(ebcdic_of(0x7F), 0x07);
  EXPECT_EQ(ebcdic_of(0x07), 0x2F);  // BEL keeps its code page 037 code
}

TEST(CodeTables, AsciiRoundTripsExceptDc3AndDel) {
  for (int a = 0; a < 0x80; ++a) {
    const auto back = ascii_of(ebcdic_of(static_cast<unsigned char>(a)));
    if (a == 0x13) {
      EXPECT_EQ(back, 0x12);
    } else if (a == 0x7F) {
      EXPECT_EQ(back, 0x07);
    } else {
      EXPECT_EQ(back, a) << a;
    }
  }
  // Exactly 128 EBCDIC codes have an ASCII character; no two ASCII characters share a code.
  int with_ascii = 0;
  std::array<bool, 256> used{};
  for (int e = 0; e < 256; ++e) {
    if (ascii_of(static_cast<unsigned char>(e)) != 0xFE) ++with_ascii;
  }
  for (int a = 0; a < 0x80; ++a) {
    const auto e = ebcdic_of(static_cast<unsigned char>(a));
    EXPECT_FALSE(used[e]) << a;
    used[e] = true;
  }
  EXPECT_EQ(with_ascii, 128);
}

TEST(CodeTables, LengthBoundsTheTranslation) {
  std::string text = "ABCD";
  ToEbcdic(text.data(), 2);
  EXPECT_EQ(text,
            "\xC1\xC2"
            "CD");
  ToEbcdic(text.data(), 0);
  ToAscii(text.data(), -1);
  EXPECT_EQ(text,
            "\xC1\xC2"
            "CD");
}

TEST(SetCodeTab, ValidEntriesAndReplacement) {
  std::array<unsigned char, 512> description{};
  for (int i = 0; i < 256; ++i) description[i] = static_cast<unsigned char>(255 - i);
  description[256 + 'a'] = 1;
  description[256 + 'b'] = 1;
  description[256 + 0x10] = 2;  // the replacement, itself not valid
  description[256 + 0x20] = 3;  // a later replacement does not count
  std::array<unsigned char, 256> table{};
  SetCodeTab(table.data(), description.data());
  EXPECT_EQ(table['a'], 255 - 'a');
  EXPECT_EQ(table['b'], 255 - 'b');
  EXPECT_EQ(table[0x20], 255 - 0x20);
  EXPECT_EQ(table[0x10], 255 - 0x10);  // invalid: gets the replacement, which is its own code
  EXPECT_EQ(table['c'], 255 - 0x10);
  EXPECT_EQ(table[0xFF], 255 - 0x10);

  std::array<unsigned char, 512> no_replacement{};
  for (int i = 0; i < 256; ++i) no_replacement[i] = 'X';
  no_replacement[256 + 'q'] = 1;
  SetCodeTab(table.data(), no_replacement.data());
  EXPECT_EQ(table['q'], 'X');
  EXPECT_EQ(table['r'], ' ');
  EXPECT_EQ(table[0], ' ');
}

TEST(AreaConv, ConvertsThroughTableInPlaceOrApart) {
  std::array<unsigned char, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i ^ 0x20);
  unsigned char in[] = "abcXYZ";
  unsigned char out[8] = {};
  EXPECT_EQ(AreaConv(out, in, 6, table.data()), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "ABCxyz");
  EXPECT_EQ(AreaConv(in, in, 3, table.data()), 3);  // same area
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in)), "ABCXYZ");
  EXPECT_EQ(AreaConv(in, in, 0, table.data()), 0);
  EXPECT_EQ(AreaConv(in, in, -2, table.data()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in)), "ABCXYZ");
}

}  // namespace
