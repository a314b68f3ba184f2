// Program name, bounded copy and append, upper-casing and word selection at their limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qm7/runtime/ctools.h"
#include "qm7/runtime/text.h"

namespace {

TEST(GetPName, TakesTheTextBehindTheLastSlash) {
  char path1[] = "/usr/bin/tool", path2[] = "tool", path3[] = "dir/";
  EXPECT_STREQ(GetPName(path1), "tool");
  EXPECT_EQ(GetPName(path2), path2);
  EXPECT_STREQ(GetPName(path3), "");
}

TEST(StringCopy, CutsToTheAreaAndNeverWritesPastIt) {
  char area[12];
  memset(area, 'X', sizeof(area));
  EXPECT_EQ(_StringCopy(area, 8, "abcdefghij", __FILE__, __LINE__), area);
  EXPECT_STREQ(area, "abcdefg");
  EXPECT_EQ(area[8], 'X') << "byte behind the area was written";

  EXPECT_STREQ(StringCopy(area, 8, ""), "");
  strcpy(area, "old");
  EXPECT_EQ(StringCopy(area, 8, nullptr), area);
  EXPECT_STREQ(area, "");

  strcpy(area, "kept");
  StringCopy(area, 0, "new");  // a size of 0 writes nothing at all
  EXPECT_STREQ(area, "kept");
  EXPECT_EQ(_StringCopy(nullptr, 8, "x", __FILE__, __LINE__), nullptr);

  StringCopy(area, 8, "1234567");  // exactly fits
  EXPECT_STREQ(area, "1234567");
  StringCopy(area, 1, "abc");
  EXPECT_STREQ(area, "");
}

TEST(StringCat, AppendsWithinTheAreaOnly) {
  char area[8];
  memset(area, 'X', sizeof(area));
  strcpy(area, "abc");
  StringCat(area, 6, "def");
  EXPECT_STREQ(area, "abcde");
  EXPECT_EQ(area[6], 'X');
  StringCat(area, 6, "xyz");  // already full
  EXPECT_STREQ(area, "abcde");
  StringCat(area, 0, "xyz");
  StringCat(area, 6, nullptr);
  StringCat(area, 6, "");
  EXPECT_STREQ(area, "abcde");
  EXPECT_EQ(_StringCat(nullptr, 6, "x", __FILE__, __LINE__), nullptr);

  // A text as long as the size (not terminated within it) is never extended or read past.
  char full[4] = {'a', 'b', 'c', 'd'};
  StringCat(full, 4, "e");
  EXPECT_EQ(std::string(full, 4), "abcd");
}

TEST(ToUpperCase, ConvertsExactlyTheGivenLengthAcrossZeroBytes) {
  char text[] = {'a', 'b', '\0', 'c', 'd'};
  ToUpperCase(text, 4);
  EXPECT_EQ(std::string(text, 5), std::string("AB\0Cd", 5));
}

struct Word {
  std::string text;
  int result;
};

Word word(const char* src, char delim, int n, int dst_len = 64) {
  char dst[128];
  memset(dst, 'Q', sizeof(dst));
  int r = get_word_delimited(src, delim, n, dst, dst_len);
  return {dst, r};
}

TEST(GetWordDelimited, SelectsWordsAndRests) {
  EXPECT_EQ(word("TIMEOUT=30", '=', 1).text, "TIMEOUT");
  EXPECT_EQ(word("TIMEOUT=30", '=', 1).result, 7);
  EXPECT_EQ(word("TIMEOUT=30", '=', 2).text, "30");
  EXPECT_EQ(word("TIMEOUT=30", '=', -2).text, "30");
  EXPECT_EQ(word("TIMEOUT=30", '=', 3).text, "");
  EXPECT_EQ(word("TIMEOUT=30", '=', 3).result, 0);

  EXPECT_EQ(word("TXT=a=b", '=', 2).text, "a");
  EXPECT_EQ(word("TXT=a=b", '=', -2).text, "a=b");
  EXPECT_EQ(word("TXT=a=b", '=', -2).result, 3);
  EXPECT_EQ(word("TXT=a=b", '=', -1).text, "TXT=a=b");

  EXPECT_EQ(word("plain", '=', 1).text, "plain");
  EXPECT_EQ(word("plain", '=', 2).text, "");
  EXPECT_EQ(word("plain", '=', -2).text, "");
  EXPECT_EQ(word("plain", '=', 0).result, 0);

  // Adjacent and leading delimiters enclose empty words.
  EXPECT_EQ(word("=x", '=', 1).text, "");
  EXPECT_EQ(word("=x", '=', 2).text, "x");
  EXPECT_EQ(word("a==b", '=', 3).text, "b");
  EXPECT_EQ(word("KEY=", '=', -2).text, "");
  EXPECT_EQ(word("KEY=", '=', -2).result, 0);
}

TEST(GetWordDelimited, StaysWithinTheDestination) {
  Word w = word("abcdef", '=', 1, 4);
  EXPECT_EQ(w.text, "abc");
  EXPECT_EQ(w.result, 3);
  w = word("K=abcdef=gh", '=', -2, 5);
  EXPECT_EQ(w.text, "abcd");
  EXPECT_EQ(w.result, 4);
  w = word("abc", '=', 1, 1);
  EXPECT_EQ(w.text, "");
  EXPECT_EQ(w.result, 0);
}

}  // namespace
