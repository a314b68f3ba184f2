// The string toolbox's in-place helpers, value extraction, environment expansion and byte
// scrambler. Results are compared with the whole area, guard bytes included, so a byte written
// out of bounds shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

using namespace std::string_literals;

TEST(StringCase, OnlyAsciiLettersChangeWithinTheirBounds) {
  char area[] = {'A', 'b', '\0', 'C', 'D', 'E'};
  ToLowerCase(area, 5);  // runs over the zero byte, stops before the last byte
  ToLowerCase(area, -3);
  EXPECT_EQ(std::string(area, 6), "ab\0cdE"s);

  // Both ends of each letter range and the bytes beside them; a byte above 0x7F stays.
  char text[] = "@AMZ[`amz{\xC4\0qq";
  EXPECT_EQ(strupr(text), text);
  EXPECT_EQ(std::string(text, 14), "@AMZ[`AMZ{\xC4\0qq"s);  // nothing behind the terminator
  EXPECT_EQ(strlow(text), text);
  EXPECT_STREQ(text, "@amz[`amz{\xC4");
  EXPECT_STREQ(ToUpperStr(text), "@AMZ[`AMZ{\xC4");
  EXPECT_STREQ(ToLowerStr(text), "@amz[`amz{\xC4");
  EXPECT_EQ(strupr(nullptr), nullptr);
  EXPECT_EQ(strlow(nullptr), nullptr);
}

TEST(StringTrim, BlanksBecomeZeroBytesWithinTheArea) {
  char text[] = "# a  ";  // " a  " behind a guard byte
  EatString(text + 4, 3);
  EXPECT_EQ(std::string(text, 6), "# a\0\0\0"s);
  char blanks[] = "#   ";
  EatString(blanks + 3, 2);  // all blanks: stops after position 0, the guard stays
  EXPECT_EQ(std::string(blanks, 5), "#\0\0\0\0"s);
  char area[] = {'#', 'a', 'b', ' ', ' ', 'X'};
  EatTrailing(area + 1, 4);
  EatTrailing(area + 1, 0);
  EXPECT_EQ(std::string(area, 6), "#ab\0\0X"s);
  // clang-format off
  const std::pair<std::string, std::string> strings[] = {
      {"a\t\0#"s, "a\t\0#"s}, {"x y \0#"s, "x y\0\0#"s}, {"   \0#"s, "\0\0\0\0#"s},
      {"\0#"s, "\0#"s}};
  // clang-format on
  for (auto [text, want] : strings) {
    EatTrailingStr(text.data());
    EXPECT_EQ(text, want);
  }
}

TEST(StringTrim, GetStringThCopiesWithinBothSizes) {
  const char field[6] = {'a', 'b', 'c', ' ', ' ', ' '};  // not terminated
  const char zero_inside[5] = {'a', ' ', ' ', '\0', 'z'};
  // clang-format off
  struct Case { const char* text; int t_len, v_len; std::string area; };
  const Case cases[] = {
      {field, 6, 8, "abc\0\0\0\0##"s}, {field, 6, 3, "ab\0######"s}, {field, 0, 8, "\0########"s},
      {field, 6, 1, "\0########"s}, {field, 6, 0, "#########"s},
      {zero_inside, 5, 8, "a\0\0\0z\0###"s}, {field, -1, 8, "\0########"s},
      {nullptr, 6, 8, "\0########"s}};
  // clang-format on
  for (const Case& c : cases) {
    char value[9];
    std::memset(value, '#', sizeof value);
    EXPECT_EQ(GetStringTh(c.text, c.t_len, value, c.v_len), value);
    EXPECT_EQ(std::string(value, 9), c.area) << c.t_len << " " << c.v_len;
  }
}

TEST(StringTrim, FixedFieldsAreReorganisedInPlace) {
  // clang-format off
  struct Case { std::string area; int len; bool reorg2; std::string want; };
  const Case cases[] = {
      {"#  ab cd #", 8, false, "#ab      #"}, {"#   abcd#", 7, false, "#abcd   #"},
      {"#xy\0zz#"s, 5, false, "#xy   #"}, {"#    #", 4, false, "#    #"},
      {"#    #", 0, false, "#    #"}, {"#  ab c  ##", 8, true, "#ab c  \0 ##"s},
      {"#abcd##", 4, true, "#abcd\0#"s}, {"#   ##", 3, true, "#\0  ##"s},
      {"# a#", -1, true, "# a#"}};
  // clang-format on
  for (Case c : cases) {
    if (c.reorg2) {
      fix_len_reorg2(c.area.data() + 1, c.len);  // may write the terminator at position len
    } else {
      fix_len_reorg(c.area.data() + 1, c.len);
    }
    EXPECT_EQ(c.area, c.want);
  }
}

// GetRestField on a heap copy of exactly `len` bytes, so ASan sees any read past them. Checks
// that no more than retSize + 1 bytes of the result are written.
int rest_field(const std::string& text, int len, char code, unsigned ret_size, std::string* out) {
  std::vector<char> area(text.begin(), text.begin() + std::max(len, 0));
  char result[16];
  std::memset(result, '#', sizeof result);
  const int rc = GetRestField(area.data(), len, code, result, ret_size);
  EXPECT_EQ(result[ret_size + 1], '#') << text;
  *out = std::string(result, strnlen(result, sizeof result));
  return rc;
}

TEST(RestField, FindsFieldsAndNeverReadsPastTheArea) {
  struct Case {
    const char* text;
    int len;
    char code;
    unsigned ret_size;
    int rc;
    const char* value;  // null: not looked at
  };
  // clang-format off
  const Case cases[] = {
      {"A=/abc/B='x y'", 14, 'B', 10, 1, "x y"}, {"A=/abc/B='x y'", 14, 'A', 10, 1, "abc"},
      {"A=/abc/B='x y'", 14, 'C', 10, 0, nullptr}, {"A=//B=/v/", 9, 'A', 10, 1, ""},
      {"A=//B=/v/", 9, 'B', 10, 1, "v"}, {"AX/abc/", 7, 'A', 10, 0, nullptr},
      {"A=/abc/B-/x/", 12, 'B', 10, 0, nullptr},
      // The length ends inside B's opening bytes, inside its value, before its delimiter: no
      // half value is handed out.
      {"A=/abc/B='x y'", 9, 'B', 10, 0, nullptr}, {"A=/abc/B='x y'", 11, 'B', 10, 0, ""},
      {"A=/abc/B='x y'", 13, 'B', 10, 0, ""}, {"A=/abc/B='x y'", 6, 'A', 10, 0, ""},
      {"A=/abc/", 0, 'A', 10, 0, nullptr}, {"A=/abc/", -1, 'A', 10, 0, nullptr},
      {"A=", 2, 'A', 10, 0, nullptr}, {"A=/abc/", 3, 'A', 10, 0, ""},
      // At most retSize characters, then the terminator; also when the delimiter is missing.
      {"A=/abcdef/", 10, 'A', 6, 1, "abcdef"}, {"A=/abcdef/", 10, 'A', 3, 1, "abc"},
      {"A=/abcdef/", 10, 'A', 0, 1, ""}, {"A=/abcdef", 9, 'A', 4, 1, "abcd"}};
  // clang-format on
  for (const Case& c : cases) {
    std::string value;
    EXPECT_EQ(rest_field(c.text, c.len, c.code, c.ret_size, &value), c.rc) << c.text << c.len;
    if (c.value != nullptr) {
      EXPECT_EQ(value, c.value) << c.text << " " << c.len;
    }
  }
}

TEST(Attribute, ValuesUpToCommaOrEndWithinRetSize) {
  // clang-format off
  struct Case { const char *text, *name; unsigned ret_size; int rc; const char* value; };
  const Case cases[] = {
      {"host=alpha,port=5", "port", 16, 1, "5"}, {"host=alpha,port=5", "host", 16, 1, "alpha"},
      {"host=alpha,port=5", "user", 16, 0, ""}, {"a=,b=1", "a", 16, 0, ""},
      {"name only", "name", 16, 0, ""}, {"myport=1,port=2", "port", 16, 1, "1"},
      {"host=alpha,port=5", "host", 6, 1, "alpha"}, {"host=alpha,port=5", "host", 5, 1, "alph"},
      {"host=alpha,port=5", "host", 1, 1, ""}, {"host=alpha,port=5", "host", 0, 0, nullptr}};
  // clang-format on
  for (const Case& c : cases) {
    char result[17];
    std::memset(result, '#', sizeof result);
    EXPECT_EQ(GetAttribute(c.text, 0, c.name, result, c.ret_size), c.rc) << c.name << c.ret_size;
    if (c.value != nullptr) {
      EXPECT_STREQ(result, c.value);
    }
    EXPECT_EQ(result[c.ret_size], '#') << "wrote past retSize " << c.ret_size;
  }
}

TEST(ExpandEnv, ReferencesAndCutAtLogSizeMinusOne) {
  setenv("QM7_TEST_A", "1", 1);
  setenv("QM7_TEST_B", "/home/someone", 1);
  setenv("QM7_TEST_EMPTY", "", 1);
  unsetenv("QM7_TEST_UNSET");
  // clang-format off
  struct Case { const char* in; int size, rc; const char* out; };
  const Case cases[] = {
      {"x%QM7_TEST_A%y", 32, 3, "x1y"}, {"x%QM7_TEST_UNSET%y", 32, 2, "xy"},
      {"100%%", 32, 3, "100"}, {"%QM7_TEST_A%%QM7_TEST_A%", 32, 2, "11"},
      {"<%QM7_TEST_EMPTY%>", 32, 2, "<>"}, {"a%QM7_TEST_A", 32, 2, "a1"},  // unclosed
      {"a%", 32, 1, "a"}, {"", 32, 0, ""}, {"x%QM7_TEST_B%y", 6, 5, "x/hom"},
      {"abcdef", 3, 2, "ab"}, {"abc", 1, 0, ""}, {"abc", 0, 0, nullptr}};
  // clang-format on
  for (const Case& c : cases) {
    char out[33];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ExpandEnvironmentStringsA(c.in, out, c.size), c.rc) << c.in;
    if (c.out != nullptr) {
      EXPECT_STREQ(out, c.out);
    }
    if (c.size > 0) {
      EXPECT_EQ(out[c.size - 1], '\0') << "logSize bytes cleared";
    }
    EXPECT_EQ(out[c.size], '#') << c.in;
  }
  unsetenv("QM7_TEST_A");
  unsetenv("QM7_TEST_B");
  unsetenv("QM7_TEST_EMPTY");

  // Input beyond 2047 characters is ignored; a long name is looked up whole.
  std::string out(4096, '#');
  EXPECT_EQ(ExpandEnvironmentStringsA(std::string(3000, 'a').c_str(), out.data(), 4096), 2047);
  EXPECT_EQ(std::strlen(out.c_str()), 2047u);
  const std::string long_ref = "x%" + std::string(200, 'N') + "%y";
  EXPECT_EQ(ExpandEnvironmentStringsA(long_ref.c_str(), out.data(), 4096), 2);
}

TEST(MemChiffre, KeyStreamAndItsInverse) {
  // New bit = bit 0 XOR bit 3, entering at bit 31.
  // clang-format off
  const unsigned steps[][2] = {
      {0u, 0u}, {1u, 0x80000000u}, {8u, 0x80000004u}, {9u, 0x00000004u},
      {0xFFFFFFFFu, 0x7FFFFFFFu}};
  // clang-format on
  for (const auto& s : steps) EXPECT_EQ(getnewkey(s[0]), s[1]) << s[0];

  // The stream repeats after 129..256 bytes and has no zero byte (which would leave data clear);
  // key 0 keeps the register at 0, so every byte is 0 mod 255 + 1.
  for (unsigned key : {0u, 0xFFFFFFFFu, 0x12345678u, 0xCAFEBABEu}) {
    const size_t period = (getnewkey(key) & 127u) + 129;
    std::vector<unsigned char> data(3 * 256, 0);
    memchiffre(key, data.data(), static_cast<int>(data.size()));
    for (size_t i = 0; i < data.size(); ++i) {
      ASSERT_NE(data[i], 0) << key << " " << i;
      ASSERT_EQ(data[i], data[i % period]) << key << " " << i;
    }
    if (key == 0) {
      EXPECT_EQ(data, std::vector<unsigned char>(data.size(), 1));
    } else if (key == 0xFFFFFFFFu) {
      EXPECT_EQ(data[0], 64);  // 0x3FFFFFFF mod 255 + 1
    }
  }

  std::vector<unsigned char> original(1000), data(1000);
  for (size_t i = 0; i < original.size(); ++i)
    data[i] = original[i] = static_cast<unsigned char>(i);
  const unsigned last = memchiffre(0xA5A5A5A5u, data.data(), 1000);
  EXPECT_NE(data, original);
  EXPECT_EQ(memchiffre(0xA5A5A5A5u, data.data(), 1000), last);  // the same key undoes it
  EXPECT_EQ(data, original);
  memchiffre(7u, data.data(), 0);
  memchiffre(7u, data.data(), -4);
  EXPECT_EQ(data, original);
}

}  // namespace
