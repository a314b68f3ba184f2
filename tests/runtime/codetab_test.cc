// Code tables: the fixed ASCII/EBCDIC translations against code page 037 values read from its
// chart and the system's listed departures, and table-driven conversion.
#include "qm7/runtime/codetab.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

std::string to_ascii(std::string s) {
  ToAscii(s.data(), static_cast<int>(s.size()));
  return s;
}
std::string to_ebcdic(std::string s) {
  ToEbcdic(s.data(), static_cast<int>(s.size()));
  return s;
}
unsigned char ascii_of(int e) { return to_ascii(std::string(1, static_cast<char>(e)))[0]; }
unsigned char ebcdic_of(int a) { return to_ebcdic(std::string(1, static_cast<char>(a)))[0]; }

TEST(CodeTables, ChartValuesAndTheListedDepartures) {
  EXPECT_EQ(to_ebcdic("Hello, World! 0-9"),
            "\xC8\x85\x93\x93\x96\x6B\x40\xE6\x96\x99\x93\x84\x5A\x40\xF0\x60\xF9");
  EXPECT_EQ(to_ebcdic("@#$%&*()_+=|;:'\"<>?/."),
            "\x7C\x7B\x5B\x6C\x50\x5C\x4D\x5D\x6D\x4E\x7E\x4F\x5E\x7A\x7D\x7F\x4C\x6E\x6F\x61\x4B");
  EXPECT_EQ(to_ascii("\x81\x89\x91\x99\xA2\xA9\xC1\xD1\xD9\xE2\xE9\xF0\xF9"), "aijrszAJRSZ09");
  EXPECT_EQ(to_ebcdic(std::string("\n\r\t\0", 4)), std::string("\x25\x0D\x05\x00", 4));
  // Departures: brackets and friends, the Latin-1 umlauts sharing their codes, BEL, DC3, DEL.
  EXPECT_EQ(to_ebcdic("[\\]^`{}~"), "\xBB\xBC\xBD\x6A\x4A\xFB\xFD\xFF");
  EXPECT_EQ(to_ascii("\x4A\x6A\xBB\xBC\xBD\xFB\xFD\xFF"), "`^[\\]{}~");
  EXPECT_EQ(to_ebcdic("\xC4\xD6\xDC"), "\xBB\xBC\xBD");
  EXPECT_EQ(ebcdic_of(0x07), 0x2F);
  EXPECT_EQ(ebcdic_of(0x7F), 0x07);
  EXPECT_EQ(ascii_of(0x07), 0x07);
  EXPECT_EQ(ascii_of(0x13), 0x12);
  for (int unused : {0x79, 0xA1, 0xB0, 0xBA, 0xC0, 0xD0, 0xE0, 0x80}) {
    EXPECT_EQ(ascii_of(unused), 0xFE) << unused;
  }
  for (int a = 0x80; a <= 0xFF; ++a) {
    if (a != 0xC4 && a != 0xD6 && a != 0xDC) {
      ASSERT_EQ(ebcdic_of(a), 0x07) << a;
    }
  }
}

TEST(CodeTables, AsciiRoundTripsExceptDc3AndDelAndLengthBounds) {
  for (int a = 0; a < 0x80; ++a) {
    EXPECT_EQ(ascii_of(ebcdic_of(a)), a == 0x13 ? 0x12 : a == 0x7F ? 0x07 : a) << a;
  }
  std::string text = "ABCD";  // the length bounds the translation
  ToEbcdic(text.data(), 2);
  ToEbcdic(text.data(), 0);
  ToAscii(text.data(), -1);
  EXPECT_EQ(text,
            "\xC1\xC2"
            "CD");
}

TEST(SetCodeTab, ValidEntriesTheFirstReplacementOrBlankAndAreaConvThroughIt) {
  std::array<unsigned char, 512> description{};
  for (int i = 0; i < 256; ++i) description[i] = static_cast<unsigned char>(255 - i);
  description[256 + 'a'] = 1;
  description[256 + 0x10] = 2;  // the replacement, itself not valid
  description[256 + 0x20] = 3;  // a later replacement does not count
  std::array<unsigned char, 256> table{};
  SetCodeTab(table.data(), description.data());
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(table[i], i == 'a' || i == 0x20 ? 255 - i : 255 - 0x10) << i;
  }
  description.fill(0);
  description[0] = 'X';
  description[256] = 1;
  SetCodeTab(table.data(), description.data());
  SetCodeTab(table.data(), nullptr);  // ignored
  SetCodeTab(nullptr, description.data());
  EXPECT_EQ(table[0], 'X');
  EXPECT_EQ(table[1], ' ');  // no replacement given: a blank
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i ^ 0x20);
  unsigned char in[] = "abcXYZ";
  unsigned char out[8] = {};
  EXPECT_EQ(AreaConv(out, in, 6, table.data()), 6);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "ABCxyz");
  EXPECT_EQ(AreaConv(in, in, 3, table.data()), 3);
  EXPECT_EQ(AreaConv(in, in, 0, table.data()), 0);
  EXPECT_EQ(AreaConv(in, in, -2, table.data()), 0);
  EXPECT_EQ(AreaConv(nullptr, in, 3, table.data()), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(in), "ABCXYZ");
}

}  // namespace
