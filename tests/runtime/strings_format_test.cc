// Hexadecimal and decimal formatting: the exact texts, their size limits and the bytes around
// the caller's area.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

using namespace std::string_literals;

const unsigned char kFive[] = {0x41, 0x42, 0x01, 0x43, 0x44};
const std::string kFiveView = "'41420143 44'" + std::string(27, ' ') + ">AB.CD<";

TEST(HexString, HexBlanksAndCharactersCopiedLikeStrncpy) {
  const std::string empty_view = "''" + std::string(38, ' ') + "><";
  // clang-format off
  struct Case { int a_len, v_len; std::string area; };  // area: the first 64 output bytes
  const Case cases[] = {
      {5, 64, kFiveView + std::string(17, '\0')},  // strncpy fills the rest with zeros
      {5, 47, kFiveView + std::string(17, '#')},  // the text fills the area: no terminator
      {5, 4, "'414" + std::string(60, '#')}, {5, 0, std::string(64, '#')},
      {0, 64, empty_view + std::string(22, '\0')}, {-5, 64, empty_view + std::string(22, '\0')}};
  // clang-format on
  for (const Case& c : cases) {
    char out[65];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(GetHexString(kFive, c.a_len, out, c.v_len), out);
    EXPECT_EQ(std::string(out, 64), c.area) << c.a_len << " " << c.v_len;
    EXPECT_EQ(out[64], '#');
  }
}

TEST(HexString, CharacterViewOnlyWhileHexPartFits256) {
  std::vector<unsigned char> bytes(1000, 'z');
  std::vector<char> out(2000);
  // 113 bytes: 2 quotes, 226 digits, 28 blanks = 256 characters, character view still added.
  GetHexString(bytes.data(), 113, out.data(), static_cast<int>(out.size()));
  std::string text = out.data();
  ASSERT_EQ(text.size(), 280u + 1 + 113 + 1);
  EXPECT_EQ(text.substr(255), "'" + std::string(24, ' ') + ">" + std::string(113, 'z') + "<");
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
  EXPECT_EQ(std::string(out, 10), "DEADBEEF\0#"s);
  EXPECT_EQ(convert2hex(bytes, 5, out, 11), 0);
  EXPECT_STREQ(out, "DEADBEEF01");
  EXPECT_EQ(convert2hex(bytes, 0, out, 1), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(convert2hex(bytes, 0, out, 0), -1);
  EXPECT_EQ(convert2hex(bytes, -1, out, 16), -1);
  EXPECT_EQ(convert2hex(bytes, 0x7FFFFFFF, out, 16), -1);  // no overflow in the size check
}

TEST(CnvIntToChar, RightAlignedLayoutAndSmallAreas) {
  struct Case {
    unsigned long long value;
    int len;
    int digits_at;
    std::string area;  // the first 34 bytes
  };
  const std::string max = "18446744073709551615";
  // clang-format off
  const Case cases[] = {
      {0, 33, 0, "0" + std::string(32, '\0') + "#"},
      {UINT64_MAX, 33, 12, std::string(12, ' ') + max + "\0#"s},
      {7, 34, 31, std::string(31, ' ') + "7\0\0"s},  // cleared for all of oLen
      // Below 33 bytes: the digits at the start when they fit whole, else nothing.
      {UINT64_MAX, 21, 0, max + std::string(1, '\0') + std::string(13, '#')},
      {UINT64_MAX, 20, 0, std::string(20, '\0') + std::string(14, '#')},
      {5, 0, 0, std::string(34, '#')}};
  // clang-format on
  for (const Case& c : cases) {
    char out[34];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(CnvIntToChar(c.value, out, c.len), out + c.digits_at) << c.value << " " << c.len;
    EXPECT_EQ(std::string(out, 34), c.area) << c.value << " " << c.len;
  }
}

TEST(CnvAddrStr, AtLeastEightUpperCaseDigitsOfTheWholeAddress) {
  char out[24];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CnvAddrStr(reinterpret_cast<void*>(uintptr_t{0xAB12}), out, 20), out);
  EXPECT_EQ(std::string(out, 21), "0000AB12" + std::string(12, '\0') + "#");
  CnvAddrStr(reinterpret_cast<void*>(uintptr_t{0xAB12}), out, 5);
  EXPECT_STREQ(out, "0000");
  EXPECT_EQ(CnvAddrStr(out, nullptr, 20), nullptr);  // no area, or no room: nothing is written
  EXPECT_EQ(CnvAddrStr(out, out, -1), out);
  EXPECT_STREQ(out, "0000");
  if (sizeof(uintptr_t) == 8) {
    CnvAddrStr(reinterpret_cast<void*>(static_cast<uintptr_t>(0x7FFFDEADBEEFULL)), out, 20);
    EXPECT_STREQ(out, "7FFFDEADBEEF");
  }
}

}  // namespace
