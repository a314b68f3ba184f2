// Hexadecimal and decimal formatting: the exact texts, their size limits and the bytes around
// the caller's area.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

TEST(HexString, FiveBytesGiveHexBlanksAndCharacters) {
  const unsigned char bytes[] = {0x41, 0x42, 0x01, 0x43, 0x44};
  char out[64];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(GetHexString(bytes, 5, out, sizeof out), out);
  const std::string expected = "'41420143 44'" + std::string(27, ' ') + ">AB.CD<";
  EXPECT_EQ(std::string(out), expected);
  EXPECT_EQ(expected.size(), 47u);
}

TEST(HexString, CopiedLikeStrncpy) {
  const unsigned char bytes[] = {0x41, 0x42, 0x01, 0x43, 0x44};
  char out[64];
  std::memset(out, '#', sizeof out);
  GetHexString(bytes, 5, out, 47);  // the text fills the area: no terminator
  EXPECT_EQ(std::string(out, 48), "'41420143 44'" + std::string(27, ' ') + ">AB.CD<#");
  std::memset(out, '#', sizeof out);
  GetHexString(bytes, 5, out, 4);
  EXPECT_EQ(std::string(out, 5), "'414#");
  std::memset(out, '#', sizeof out);
  GetHexString(bytes, 5, out, 60);  // strncpy fills the rest of the area with zeros
  EXPECT_EQ(out[47], '\0');
  EXPECT_EQ(out[59], '\0');
  EXPECT_EQ(out[60], '#');
  out[0] = '#';
  GetHexString(bytes, 5, out, 0);
  EXPECT_EQ(out[0], '#');

  GetHexString(bytes, 0, out, sizeof out);
  EXPECT_EQ(std::string(out), "''" + std::string(38, ' ') + "><");
  GetHexString(bytes, -5, out, sizeof out);
  EXPECT_EQ(std::string(out), "''" + std::string(38, ' ') + "><");
}

TEST(HexString, CharacterViewOnlyWhileHexPartFits256) {
  std::vector<unsigned char> bytes(1000, 'z');
  std::vector<char> out(2000);
  // 113 bytes: 2 quotes, 226 digits, 28 blanks = 256 characters, character view still added.
  GetHexString(bytes.data(), 113, out.data(), static_cast<int>(out.size()));
  std::string text = out.data();
  ASSERT_EQ(text.size(), 280u + 1 + 113 + 1);
  EXPECT_EQ(text[255], '\'');
  EXPECT_EQ(text.substr(256, 24), std::string(24, ' '));
  EXPECT_EQ(text.substr(280), ">" + std::string(113, 'z') + "<");

  GetHexString(bytes.data(), 114, out.data(), static_cast<int>(out.size()));
  EXPECT_EQ(std::string(out.data()).size(), 258u);  // hex part only

  // 1000 bytes: cut at 500 bytes, and the text at the 511 characters of the work area.
  GetHexString(bytes.data(), 1000, out.data(), static_cast<int>(out.size()));
  text = out.data();
  EXPECT_EQ(text.size(), 511u);
  EXPECT_EQ(text.substr(0, 10), "'7A7A7A7A ");
}

TEST(Convert2Hex, NeedsRoomForAllDigitsAndTerminator) {
  const unsigned char bytes[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
  char out[16];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(convert2hex(bytes, 4, out, 8), -1);
  EXPECT_EQ(out[0], '#');  // nothing written
  EXPECT_EQ(convert2hex(bytes, 4, out, 9), 0);
  EXPECT_EQ(std::string(out, 10), std::string("DEADBEEF\0#", 10));
  EXPECT_EQ(convert2hex(bytes, 5, out, 11), 0);
  EXPECT_STREQ(out, "DEADBEEF01");
  EXPECT_EQ(convert2hex(bytes, 0, out, 1), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(convert2hex(bytes, 0, out, 0), -1);
  EXPECT_EQ(convert2hex(bytes, -1, out, 16), -1);
  EXPECT_EQ(convert2hex(bytes, 0x7FFFFFFF, out, 16), -1);  // no overflow in the size check
}

TEST(CnvIntToChar, ZeroAndLargestValue) {
  char out[40];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CnvIntToChar(0, out, 33), out);
  EXPECT_STREQ(out, "0");
  EXPECT_EQ(out[33], '#');

  std::memset(out, '#', sizeof out);
  char* digits = CnvIntToChar(UINT64_MAX, out, 33);
  EXPECT_EQ(digits, out + 12);
  EXPECT_STREQ(digits, "18446744073709551615");
  EXPECT_EQ(std::string(out, 12), std::string(12, ' '));
  EXPECT_EQ(out[32], '\0');
  EXPECT_EQ(out[33], '#');

  digits = CnvIntToChar(7, out, sizeof out);
  EXPECT_EQ(digits, out + 31);
  EXPECT_STREQ(digits, "7");
  EXPECT_EQ(out[0], ' ');
  EXPECT_EQ(out[39], '\0');  // cleared for all of oLen
}

TEST(CnvIntToChar, SmallAreasNeverOverflow) {
  char out[24];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CnvIntToChar(UINT64_MAX, out, 21), out);  // 20 digits and the terminator fit
  EXPECT_STREQ(out, "18446744073709551615");
  EXPECT_EQ(out[21], '#');
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CnvIntToChar(UINT64_MAX, out, 20), out);  // would be cut: left empty instead
  EXPECT_STREQ(out, "");
  EXPECT_EQ(out[20], '#');
  out[0] = '#';
  CnvIntToChar(5, out, 0);
  EXPECT_EQ(out[0], '#');
}

TEST(CnvAddrStr, AtLeastEightUpperCaseDigits) {
  char out[24];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CnvAddrStr(reinterpret_cast<void*>(uintptr_t{0xAB12}), out, 20), out);
  EXPECT_STREQ(out, "0000AB12");
  EXPECT_EQ(out[19], '\0');  // cleared for iLen bytes
  EXPECT_EQ(out[20], '#');
  CnvAddrStr(reinterpret_cast<void*>(uintptr_t{0xAB12}), out, 5);
  EXPECT_STREQ(out, "0000");
  if (sizeof(uintptr_t) == 8) {
    CnvAddrStr(reinterpret_cast<void*>(static_cast<uintptr_t>(0x7FFFDEADBEEFULL)), out, 20);
    EXPECT_STREQ(out, "7FFFDEADBEEF");  // the whole 64-bit address, not its low half
  }
}

}  // namespace
