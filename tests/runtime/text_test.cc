// Program name, bounded copy and append, word selection and the in-place string tools at the
// edges of their areas; guard bytes show any byte written out of bounds.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qm7/runtime/ctools.h"
#include "qm7/runtime/text.h"

namespace {

using namespace std::string_literals;

TEST(GetPName, TakesTheTextBehindTheLastSlash) {
  char path1[] = "/usr/bin/tool", path2[] = "tool", path3[] = "dir/";
  EXPECT_STREQ(GetPName(path1), "tool");
  EXPECT_EQ(GetPName(path2), path2);
  EXPECT_STREQ(GetPName(path3), "");
}

TEST(StringCopy, CopyAndAppendStayWithinTheAreaAlsoOntoItself) {
  // Each: the area's text, append or copy, the size, the source (`from` >= 0: the area's own
  // text from that offset), and the area's first 10 bytes afterwards.
  struct Case {
    const char* text;
    bool append;
    int size;
    const char* src;
    int from;
    std::string area;
  };
  // clang-format off
  const Case cases[] = {
      {"", false, 8, "abcdefghij", -1, "abcdefg\0##"s},
      {"", false, 8, "1234567", -1, "1234567\0##"s}, {"old", false, 1, "abc", -1, "\0ld\0######"s},
      {"old", false, 8, nullptr, -1, "\0ld\0######"s},
      {"kept", false, 0, "new", -1, "kept\0#####"s},
      {"abcdef", false, 10, nullptr, 2, "cdef\0f\0###"s},
      {"abcdef", false, 10, nullptr, 0, "abcdef\0###"s},
      {"abcdef", false, 4, nullptr, 1, "bcd\0ef\0###"s},
      {"abc", true, 6, "def", -1, "abcde\0####"s}, {"abcde", true, 6, "xyz", -1, "abcde\0####"s},
      {"abc", true, 0, "xyz", -1, "abc\0######"s}, {"abc", true, 6, nullptr, -1, "abc\0######"s},
      {"abc", true, 6, "", -1, "abc\0######"s}, {"abc", true, 10, nullptr, 0, "abcabc\0###"s},
      {"abc", true, 6, nullptr, 1, "abcbc\0####"s}, {"abc", true, 5, nullptr, 0, "abca\0#####"s}};
  // clang-format on
  for (const Case& c : cases) {
    char area[10];
    memset(area, '#', sizeof area);
    strcpy(area, c.text);
    const char* src = c.from >= 0 ? area + c.from : c.src;
    EXPECT_EQ(c.append ? StringCat(area, c.size, src) : StringCopy(area, c.size, src), area);
    EXPECT_EQ(std::string(area, 10), c.area) << c.text << " " << c.size << " " << c.from;
  }
  EXPECT_EQ(_StringCopy(nullptr, 8, "x", __FILE__, __LINE__), nullptr);
  EXPECT_EQ(_StringCat(nullptr, 6, "x", __FILE__, __LINE__), nullptr);
  // A text as long as the size (not terminated within it) is never extended or read past.
  char full[4] = {'a', 'b', 'c', 'd'};
  StringCat(full, 4, "e");
  EXPECT_EQ(std::string(full, 4), "abcd");
}

TEST(ToUpperCase, ConvertsExactlyTheGivenLengthAcrossZeroBytes) {
  char text[] = {'a', 'b', '\0', 'c', 'd'};
  ToUpperCase(text, 4);
  EXPECT_EQ(std::string(text, 5), "AB\0Cd"s);
}

TEST(GetWordDelimited, SelectsWordsAndRestsWithinTheDestination) {
  // clang-format off
  struct Case { const char* src; int n, dst_len; const char* word; char delimiter = '='; };
  const Case cases[] = {
      {"TIMEOUT=30", 1, 64, "TIMEOUT"}, {"TIMEOUT=30", 2, 64, "30"}, {"TIMEOUT=30", -2, 64, "30"},
      {"TIMEOUT=30", 3, 64, ""}, {"TXT=a=b", 2, 64, "a"}, {"TXT=a=b", -2, 64, "a=b"},
      {"TXT=a=b", -1, 64, "TXT=a=b"}, {"plain", 2, 64, ""}, {"plain", -2, 64, ""},
      {"plain", 0, 64, ""}, {"=x", 1, 64, ""}, {"=x", 2, 64, "x"}, {"a==b", 3, 64, "b"},
      {"KEY=", -2, 64, ""}, {"abcdef", 1, 4, "abc"}, {"K=abcdef=gh", -2, 5, "abcd"},
      {"abc", 1, 1, ""}, {"TXT=a", INT_MIN, 64, ""}, {"TXT=a", INT_MAX, 64, ""},
      // A zero delimiter never steps over the terminator: the whole text is the one word.
      {"A=b", 1, 64, "A=b", '\0'}, {"A=b", 2, 64, "", '\0'}, {"A=b", -2, 64, "", '\0'}};
  // clang-format on
  for (const Case& c : cases) {
    // The text ends the area, so reading past its terminator leaves it.
    const std::unique_ptr<char[]> src(strcpy(new char[strlen(c.src) + 1], c.src));
    char dst[72];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(get_word_delimited(src.get(), c.delimiter, c.n, dst, c.dst_len),
              static_cast<int>(strlen(c.word)))
        << c.src << " " << c.n;
    EXPECT_STREQ(dst, c.word) << c.src << " " << c.n;
    EXPECT_EQ(dst[c.dst_len], '#') << c.src << " " << c.n;
  }
}

TEST(StringTools, StripRemovesBlanksOnly) {
  // Each trailing blank becomes a zero byte; lstrip moves the terminator, nothing behind it.
  char r[8] = {'a', ' ', '\t', ' ', '\0', 'z', 'z', 'z'};
  rstrip(r);
  EXPECT_EQ(std::string(r, 8), "a \t\0\0zzz"s);
  char l[8] = {' ', ' ', 'a', 'b', '\0', 'x', 'y', 'z'};
  lstrip(l);
  EXPECT_EQ(std::string(l, 8), "ab\0b\0xyz"s);
  for (std::string s : {"", "   "}) {
    strip(s.data());
    EXPECT_STREQ(s.c_str(), "");
  }
  std::string s = "\t [ ::1 ] ";
  strip(s.data());
  EXPECT_STREQ(s.c_str(), "\t [ ::1 ]");
  rstrip(nullptr);
  lstrip(nullptr);
  strip(nullptr);
}

TEST(StringTools, UpperCaseReplacementAndMessageField) {
  char host[] = "fe80::1%eth0 H\xE4st";  // a byte above 0x7F stays as it is
  EXPECT_EQ(strupper(host), host);
  EXPECT_STREQ(host, "FE80::1%ETH0 H\xE4ST");
  EXPECT_EQ(strupper(nullptr), nullptr);
  char brackets[] = "[::1]";
  EXPECT_EQ(str_replace_char(brackets, '[', ' '), brackets);
  str_replace_char(brackets, ']', ' ');
  EXPECT_STREQ(brackets, " ::1 ");
  EXPECT_EQ(str_replace_char(nullptr, 'a', 'b'), nullptr);

  const char msg[] = "0123456789";
  char out[8];
  EXPECT_EQ(get_variable_msg_field(out, msg, 6, 4), 0);  // the last bytes of the input
  EXPECT_STREQ(out, "6789");
  get_variable_msg_field(out, msg, 2, -3);
  EXPECT_STREQ(out, "");
  const char bin[] = {'a', '\0', 'b'};  // binary bytes are copied as they are
  get_variable_msg_field(out, bin, 0, 3);
  EXPECT_EQ(std::string(out, 4), "a\0b\0"s);
}

TEST(StringTools, TimerElapsesStrictlyAfterItsSpan) {
  // Read the clock again if a second began during the checks, which must fall in one second.
  time_t now;
  int elapsed[4];
  do {
    now = std::time(nullptr);
    elapsed[0] = is_timer_elapsed(now - 10, 10);  // ends in this very second: not elapsed
    elapsed[1] = is_timer_elapsed(now - 11, 10);
    elapsed[2] = is_timer_elapsed(now + 5, -3);
    elapsed[3] = is_timer_elapsed(now, -1);
  } while (std::time(nullptr) != now);
  EXPECT_EQ(std::vector<int>(elapsed, elapsed + 4), (std::vector<int>{0, 1, 0, 1}));
  // A start near the end of time lies ahead, whatever the span: no sum overflows.
  const time_t end_of_time = std::numeric_limits<time_t>::max();
  EXPECT_EQ(is_timer_elapsed(end_of_time - 5, 10), 0);
  EXPECT_EQ(is_timer_elapsed(end_of_time, INT_MAX), 0);
  EXPECT_EQ(is_timer_elapsed(std::numeric_limits<time_t>::min(), INT_MIN), 1);
}

}  // namespace
