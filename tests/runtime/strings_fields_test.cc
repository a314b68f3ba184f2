// Keyword-value fields and attributes: found, missing, malformed and cut values, with guard
// bytes behind the result to show how much each function may write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

// The text in a heap block of exactly its length, so any read past it is caught under ASan.
std::vector<char> exact(const std::string& text) { return {text.begin(), text.end()}; }

TEST(RestField, FindsFieldsByCode) {
  auto area = exact("A=/abc/B='x y'");
  char result[16];
  EXPECT_EQ(GetRestField(area.data(), 14, 'B', result, 10), 1);
  EXPECT_STREQ(result, "x y");
  EXPECT_EQ(GetRestField(area.data(), 14, 'A', result, 10), 1);
  EXPECT_STREQ(result, "abc");
  EXPECT_EQ(GetRestField(area.data(), 14, 'C', result, 10), 0);  // reads only the 14 bytes

  auto empty_value = exact("A=//B=/v/");
  EXPECT_EQ(GetRestField(empty_value.data(), 9, 'A', result, 10), 1);
  EXPECT_STREQ(result, "");
  EXPECT_EQ(GetRestField(empty_value.data(), 9, 'B', result, 10), 1);
  EXPECT_STREQ(result, "v");
}

TEST(RestField, MalformedOrCutAreas) {
  char result[16] = "untouched";
  auto no_equals = exact("AX/abc/");
  EXPECT_EQ(GetRestField(no_equals.data(), 7, 'A', result, 10), 0);
  auto second_bad = exact("A=/abc/B-/x/");
  EXPECT_EQ(GetRestField(second_bad.data(), 12, 'B', result, 10), 0);

  auto area = exact("A=/abc/B='x y'");
  // The length ends inside B's opening bytes, inside its value, before its closing delimiter.
  EXPECT_EQ(GetRestField(area.data(), 9, 'B', result, 10), 0);
  EXPECT_EQ(GetRestField(area.data(), 11, 'B', result, 10), 0);
  EXPECT_STREQ(result, "");  // no half value is handed out
  EXPECT_EQ(GetRestField(area.data(), 13, 'B', result, 10), 0);
  EXPECT_EQ(GetRestField(area.data(), 6, 'A', result, 10), 0);  // A's delimiter cut off
  EXPECT_EQ(GetRestField(area.data(), 0, 'A', result, 10), 0);
  EXPECT_EQ(GetRestField(area.data(), -1, 'A', result, 10), 0);
  auto short_area = exact("A=");
  EXPECT_EQ(GetRestField(short_area.data(), 2, 'A', result, 10), 0);
}

TEST(RestField, KeepsRetSizeCharactersAndItsTerminator) {
  auto area = exact("A=/abcdef/");
  char result[10];
  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetRestField(area.data(), 10, 'A', result, 6), 1);  // exactly retSize characters
  EXPECT_EQ(std::string(result, 8), std::string("abcdef\0#", 8));

  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetRestField(area.data(), 10, 'A', result, 3), 1);  // cut: retSize + 1 bytes written
  EXPECT_EQ(std::string(result, 5), std::string("abc\0#", 5));

  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetRestField(area.data(), 10, 'A', result, 0), 1);
  EXPECT_EQ(std::string(result, 2), std::string("\0#", 2));

  // Cut at retSize even when the closing delimiter is missing further on.
  auto open_ended = exact("A=/abcdef");
  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetRestField(open_ended.data(), 9, 'A', result, 4), 1);
  EXPECT_EQ(std::string(result, 6), std::string("abcd\0#", 6));
}

TEST(Attribute, ValuesUpToCommaOrEnd) {
  const char* text = "host=alpha,port=5";
  char result[16];
  EXPECT_EQ(GetAttribute(text, 0, "port", result, sizeof result), 1);
  EXPECT_STREQ(result, "5");
  EXPECT_EQ(GetAttribute(text, 0, "host", result, sizeof result), 1);
  EXPECT_STREQ(result, "alpha");
  EXPECT_EQ(GetAttribute(text, 0, "user", result, sizeof result), 0);
  EXPECT_EQ(GetAttribute("a=,b=1", 0, "a", result, sizeof result), 0);  // empty value
  EXPECT_STREQ(result, "");
  EXPECT_EQ(GetAttribute("name only", 0, "name", result, sizeof result), 0);  // no "="
  // Substring search: the first occurrence counts, wherever it is.
  EXPECT_EQ(GetAttribute("myport=1,port=2", 0, "port", result, sizeof result), 1);
  EXPECT_STREQ(result, "1");
}

TEST(Attribute, KeepsRetSizeMinusOneCharacters) {
  const char* text = "host=alpha,port=5";
  char result[8];
  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetAttribute(text, 0, "host", result, 6), 1);  // fits exactly
  EXPECT_EQ(std::string(result, 7), std::string("alpha\0#", 7));

  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetAttribute(text, 0, "host", result, 5), 1);  // cut, still within retSize
  EXPECT_EQ(std::string(result, 6), std::string("alph\0#", 6));

  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetAttribute(text, 0, "host", result, 1), 1);  // value exists, no room for it
  EXPECT_EQ(std::string(result, 2), std::string("\0#", 2));

  std::memset(result, '#', sizeof result);
  EXPECT_EQ(GetAttribute(text, 0, "host", result, 0), 0);  // no room at all: nothing written
  EXPECT_EQ(result[0], '#');
}

}  // namespace
