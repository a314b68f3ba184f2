// Wildcard matching: whole-string matches, the prefix test and its search, and the match
// position of a mask, including that the caller's mask comes back unchanged on every path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qm7/runtime/strings.h"

namespace {

TEST(WildcardMatch, WholeStringMatches) {
  for (const char* mask : {"a*", "*c", "a?c", "*", "a*b*c", "abc", "***", "*b*", "?*?", "a**c"}) {
    EXPECT_EQ(MyStrMatch("abc", mask, '*', '?'), 1) << mask;
  }
  for (const char* mask : {"a?", "b*", "ab", "abcd", "?", "*d", "a*b", "????", ""}) {
    EXPECT_EQ(MyStrMatch("abc", mask, '*', '?'), 0) << mask;
  }
  // Backing up: the first "b" is not the one that completes the match.
  EXPECT_EQ(MyStrMatch("abxbyc", "a*by?", '*', '?'), 1);
  EXPECT_EQ(MyStrMatch("abxbyc", "a*bx?", '*', '?'), 0);
  EXPECT_EQ(MyStrMatch("abxbyc", "a*b*", '*', '?'), 1);
  EXPECT_EQ(MyStrMatch("aaab", "*ab", '*', '?'), 1);
  // The empty text matches only masks made of `more`.
  EXPECT_EQ(MyStrMatch("", "", '*', '?'), 1);
  EXPECT_EQ(MyStrMatch("", "**", '*', '?'), 1);
  EXPECT_EQ(MyStrMatch("", "?", '*', '?'), 0);
}

TEST(WildcardMatch, ZeroSwitchesWildcardsOff) {
  EXPECT_EQ(MyStrMatch("abc", "a*", 0, '?'), 0);  // the asterisk is an ordinary character
  EXPECT_EQ(MyStrMatch("a*", "a*", 0, '?'), 1);
  EXPECT_EQ(MyStrMatch("abc", "a?c", '*', 0), 0);
  EXPECT_EQ(MyStrMatch("a?c", "a?c", '*', 0), 1);
  // A switched-off wildcard never matches past the end of the mask.
  EXPECT_EQ(MyStrMatch("abc", "ab", 0, 0), 0);
  EXPECT_EQ(MyStrMatch("abc", "a", '*', 0), 0);
  EXPECT_EQ(MyStrMatch("abc", "abc", 0, 0), 1);
  EXPECT_EQ(MyStrMatch(nullptr, "a", '*', '?'), 0);
}

TEST(WildcardPrefix, StrccmpAndStrcstr) {
  EXPECT_EQ(strccmp("abcdef", "abc", '?'), 1);
  EXPECT_EQ(strccmp("abcdef", "a?c", '?'), 1);
  EXPECT_EQ(strccmp("abcdef", "", '?'), 1);
  EXPECT_EQ(strccmp("ab", "abc", '?'), 0);  // shorter than the pattern
  EXPECT_EQ(strccmp("ab", "ab?", '?'), 0);  // `one` needs a character
  EXPECT_EQ(strccmp("axc", "a?c", 0), 0);

  char text[] = "xxabyab";
  EXPECT_EQ(strcstr(text, "ab", '?'), text + 2);  // leftmost
  EXPECT_EQ(strcstr(text, "?b", '?'), text + 2);
  EXPECT_EQ(strcstr(text, "y?b", '?'), text + 4);
  EXPECT_EQ(strcstr(text, "", '?'), text);
  EXPECT_EQ(strcstr(text, "abx", '?'), nullptr);
  EXPECT_EQ(strcstr(text, "ab?", '?'), text + 2);
  EXPECT_EQ(strcstr(text, "yab?", '?'), nullptr);  // would need a character after the end
}

TEST(StrMatchPtr, ReturnsWhereTheMatchBegins) {
  char text[] = "abcdabxd";
  char first[] = "*b?d*";
  EXPECT_EQ(strMatchPtr(text, first, '*', '?'), text + 1);  // the first b
  char second[] = "*bxd";
  EXPECT_EQ(strMatchPtr(text, second, '*', '?'), text + 5);  // the second b
  // Only the leftmost match of b?d is tried, and the text does not end there.
  char only_leftmost[] = "*b?d";
  EXPECT_EQ(strMatchPtr(text, only_leftmost, '*', '?'), nullptr);

  char anchored[] = "ab*xd";
  EXPECT_EQ(strMatchPtr(text, anchored, '*', '?'), text);
  char anchored_miss[] = "b*";
  EXPECT_EQ(strMatchPtr(text, anchored_miss, '*', '?'), nullptr);
  char whole[] = "a?cdabxd";
  EXPECT_EQ(strMatchPtr(text, whole, '*', '?'), text);
  char not_to_end[] = "a?c";
  EXPECT_EQ(strMatchPtr(text, not_to_end, '*', '?'), nullptr);
  char empty_segment[] = "**xd";
  EXPECT_EQ(strMatchPtr(text, empty_segment, '*', '?'), text);
  char rest_misses[] = "*c*q";
  EXPECT_EQ(strMatchPtr(text, rest_misses, '*', '?'), nullptr);
}

TEST(StrMatchPtr, MasksWithoutWildcardsAndTrivialMasks) {
  char text[] = "abc";
  char empty[] = "";
  EXPECT_EQ(strMatchPtr(text, empty, '*', '?'), text);
  char star[] = "*";
  EXPECT_EQ(strMatchPtr(text, star, '*', '?'), text);
  char prefix[] = "ab";  // no wildcard: a plain prefix comparison
  EXPECT_EQ(strMatchPtr(text, prefix, '*', '?'), text);
  char longer[] = "abcd";
  EXPECT_EQ(strMatchPtr(text, longer, '*', '?'), nullptr);
  char literal_star[] = "ab*";  // `more` switched off: the asterisk is a character
  EXPECT_EQ(strMatchPtr(text, literal_star, 0, '?'), nullptr);
  char lit_text[] = "ab*z";
  EXPECT_EQ(strMatchPtr(lit_text, literal_star, 0, '?'), lit_text);
}

TEST(StrMatchPtr, RestoresTheMaskOnEveryPath) {
  struct Case {
    const char* text;
    const char* mask;
    bool found;
  };
  const std::vector<Case> cases = {
      {"abcdabxd", "*b?d*", true},    // match with a rest
      {"abcdabxd", "*bxd", true},     // match without a rest
      {"abcdabxd", "*b?d", false},    // segment found, does not end the text
      {"abcdabxd", "*q*d", false},    // early return: segment not found
      {"abcdabxd", "q*d", false},     // early return: anchored segment fails
      {"abcdabxd", "a*q", false},     // rest does not match
      {"abcdabxd", "*", true},        // `more` alone
      {"abcdabxd", "abc", true},      // no wildcard
      {"abcdabxd", "", true},         // empty mask
      {"abcdabxd", "*a*b*x*", true},  // several cuts possible, one is made
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    std::vector<char> mask(c.mask, c.mask + std::string(c.mask).size() + 1);
    const char* result = strMatchPtr(text.data(), mask.data(), '*', '?');
    EXPECT_EQ(result != nullptr, c.found) << c.mask;
    EXPECT_STREQ(mask.data(), c.mask) << "mask changed";
    EXPECT_EQ(text, c.text);
  }
}

}  // namespace
