// The in-place string tools: what is and is not a blank, case folding, field cuts at the edges
// of a buffer, and the time-out test at its one-second boundary.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "qm7/runtime/ctools.h"

namespace {

std::string rstripped(std::string s) {
  rstrip(s.data());
  return s.c_str();
}
std::string lstripped(std::string s) {
  lstrip(s.data());
  return s.c_str();
}
std::string stripped(std::string s) {
  strip(s.data());
  return s.c_str();
}

TEST(StringTools, StripRemovesBlanksOnly) {
  EXPECT_EQ(rstripped("a  "), "a");
  EXPECT_EQ(rstripped("   "), "");
  EXPECT_EQ(rstripped(""), "");
  EXPECT_EQ(rstripped("a\t"), "a\t");  // a tab is not a blank
  EXPECT_EQ(rstripped("a \t "), "a \t");
  EXPECT_EQ(rstripped(" a"), " a");

  EXPECT_EQ(lstripped("  a b "), "a b ");
  EXPECT_EQ(lstripped("   "), "");
  EXPECT_EQ(lstripped("\t a"), "\t a");
  EXPECT_EQ(stripped("  a b "), "a b");
  EXPECT_EQ(stripped("[ ::1 ]"), "[ ::1 ]");
  EXPECT_EQ(stripped("      "), "");

  rstrip(nullptr);
  lstrip(nullptr);
  strip(nullptr);
}

TEST(StringTools, RstripOverwritesEveryTrailingBlankWithZero) {
  char buf[8] = {'a', ' ', ' ', ' ', '\0', 'z', 'z', 'z'};
  rstrip(buf);
  const char want[8] = {'a', '\0', '\0', '\0', '\0', 'z', 'z', 'z'};
  EXPECT_EQ(std::memcmp(buf, want, sizeof want), 0);
}

TEST(StringTools, LstripMovesTheTerminatorToo) {
  char buf[8] = {' ', ' ', 'a', 'b', '\0', 'x', 'y', 'z'};
  lstrip(buf);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(buf[5], 'x');  // nothing behind the old terminator is touched
}

TEST(StringTools, UpperCaseAndCharacterReplacement) {
  char host[] = "fe80::1%eth0 Host";
  EXPECT_EQ(strupper(host), host);
  EXPECT_STREQ(host, "FE80::1%ETH0 HOST");
  char high[] = "a\xE4z";  // a byte above 0x7F stays as it is in the C locale
  strupper(high);
  EXPECT_STREQ(high, "A\xE4Z");
  EXPECT_EQ(strupper(nullptr), nullptr);

  char brackets[] = "[::1]";
  EXPECT_EQ(str_replace_char(brackets, '[', ' '), brackets);
  str_replace_char(brackets, ']', ' ');
  EXPECT_STREQ(brackets, " ::1 ");
  char none[] = "abc";
  str_replace_char(none, 'x', 'y');
  EXPECT_STREQ(none, "abc");
  EXPECT_EQ(str_replace_char(nullptr, 'a', 'b'), nullptr);
}

TEST(StringTools, VariableMessageField) {
  const char msg[] = "0123456789";
  char out[8];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(get_variable_msg_field(out, msg, 3, 4), 0);
  EXPECT_STREQ(out, "3456");
  EXPECT_EQ(get_variable_msg_field(out, msg, 6, 4), 0);  // the last bytes of the input
  EXPECT_STREQ(out, "6789");
  EXPECT_EQ(get_variable_msg_field(out, msg, 0, 0), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(get_variable_msg_field(out, msg, 2, -3), 0);
  EXPECT_STREQ(out, "");
  // Binary bytes are copied as they are; the terminator only ends the field.
  const char bin[] = {'a', '\0', 'b'};
  get_variable_msg_field(out, bin, 0, 3);
  EXPECT_EQ(std::memcmp(out, "a\0b\0", 4), 0);
}

TEST(StringTools, TimerElapsesStrictlyAfterItsSpan) {
  // Take the reading right after a second begins, so the checks below fall in one second.
  time_t now = std::time(nullptr);
  while (std::time(nullptr) == now) {
  }
  now = std::time(nullptr);
  EXPECT_EQ(is_timer_elapsed(now - 10, 10), 0);  // ends in this very second: not elapsed
  EXPECT_EQ(is_timer_elapsed(now - 11, 10), 1);  // ended a second ago
  EXPECT_EQ(is_timer_elapsed(now, 0), 0);
  EXPECT_EQ(is_timer_elapsed(now + 5, -3), 0);
  EXPECT_EQ(is_timer_elapsed(now, -1), 1);
}

}  // namespace
