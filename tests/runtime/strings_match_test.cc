// Wildcard matching: whole-string matches, the prefix test and its search, and the match
// position of a mask, including that the caller's mask comes back unchanged on every path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

TEST(WildcardMatch, WholeStringMatches) {
  // clang-format off
  struct Case { const char *str, *mask; char more, one; int match; };
  const Case cases[] = {
      {"abc", "a*", '*', '?', 1}, {"abc", "*c", '*', '?', 1}, {"abc", "a?c", '*', '?', 1},
      {"abc", "*", '*', '?', 1}, {"abc", "a*b*c", '*', '?', 1}, {"abc", "***", '*', '?', 1},
      {"abc", "?*?", '*', '?', 1}, {"abc", "a**c", '*', '?', 1}, {"abc", "a?", '*', '?', 0},
      {"abc", "b*", '*', '?', 0}, {"abc", "abcd", '*', '?', 0}, {"abc", "*d", '*', '?', 0},
      {"abc", "a*b", '*', '?', 0}, {"abc", "????", '*', '?', 0}, {"abc", "", '*', '?', 0},
      // Backing up: the first "b" is not the one that completes the match.
      {"abxbyc", "a*by?", '*', '?', 1}, {"abxbyc", "a*bx?", '*', '?', 0},
      {"aaab", "*ab", '*', '?', 1}, {"", "", '*', '?', 1}, {"", "**", '*', '?', 1},
      {"", "?", '*', '?', 0}, {"\0x", "?x", '*', '?', 0},  // the text ends at its terminator
      // A wildcard of 0 is switched off and never matches past the end of the mask.
      {"abc", "a*", 0, '?', 0}, {"a*", "a*", 0, '?', 1}, {"abc", "a?c", '*', 0, 0},
      {"a?c", "a?c", '*', 0, 1}, {"abc", "ab", 0, 0, 0}, {"abc", "a", '*', 0, 0},
      {nullptr, "a", '*', '?', 0}};
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(MyStrMatch(c.str, c.mask, c.more, c.one), c.match)
        << (c.str ? c.str : "null") << " / " << c.mask << " " << int{c.more} << int{c.one};
  }
}

TEST(WildcardPrefix, StrccmpAndStrcstr) {
  EXPECT_EQ(strccmp("abcdef", "a?c", '?'), 1);
  EXPECT_EQ(strccmp("abcdef", "", '?'), 1);
  EXPECT_EQ(strccmp("ab", "abc", '?'), 0);  // shorter than the pattern
  EXPECT_EQ(strccmp("ab", "ab?", '?'), 0);  // `one` needs a character
  EXPECT_EQ(strccmp("axc", "a?c", 0), 0);
  EXPECT_EQ(strccmp(nullptr, "a", '?'), 0);
  EXPECT_EQ(strccmp("a", nullptr, '?'), 0);

  char text[] = "xxabyab";
  EXPECT_EQ(strcstr(text, "?b", '?'), text + 2);  // leftmost
  EXPECT_EQ(strcstr(text, "y?b", '?'), text + 4);
  EXPECT_EQ(strcstr(text, "", '?'), text);
  EXPECT_EQ(strcstr(text, "abx", '?'), nullptr);
  EXPECT_EQ(strcstr(text, "yab?", '?'), nullptr);  // would need a character after the end
}

TEST(StrMatchPtr, MatchPositionAndTheMaskRestoredOnEveryPath) {
  // clang-format off
  struct Case { const char *text, *mask; char more; int at; };  // at -1: no match
  const Case cases[] = {
      {"abcdabxd", "*b?d*", '*', 1},  // the first b, with a rest
      {"abcdabxd", "*bxd", '*', 5},  // the second b, no rest
      {"abcdabxd", "*b?d", '*', -1},  // only the leftmost b?d is tried; the text goes on
      {"abcdabxd", "*q*d", '*', -1},  // segment not found
      {"abcdabxd", "ab*xd", '*', 0},  // anchored
      {"abcdabxd", "b*", '*', -1},  // anchored segment fails
      {"abcdabxd", "a?cdabxd", '*', 0}, {"abcdabxd", "a?c", '*', -1},  // must end the text
      {"abcdabxd", "**xd", '*', 0}, {"abcdabxd", "*c*q", '*', -1},  // the rest does not match
      {"abcdabxd", "*a*b*x*", '*', 0}, {"abc", "", '*', 0}, {"abc", "*", '*', 0},
      {"abc", "ab", '*', 0}, {"abc", "abcd", '*', -1},  // no wildcard: a plain prefix
      {"abc", "ab*", 0, -1}, {"ab*z", "ab*", 0, 0}};  // `more` off: the asterisk is a character
  // clang-format on
  for (const Case& c : cases) {
    std::string text = c.text;
    std::vector<char> mask(c.mask, c.mask + std::string(c.mask).size() + 1);
    const char* result = strMatchPtr(text.data(), mask.data(), c.more, '?');
    EXPECT_EQ(result, c.at < 0 ? nullptr : text.data() + c.at) << c.text << " / " << c.mask;
    EXPECT_STREQ(mask.data(), c.mask) << "mask changed";
    EXPECT_EQ(text, c.text);
  }
}

}  // namespace
