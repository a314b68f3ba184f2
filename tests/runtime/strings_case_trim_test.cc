// Case conversion, trimming and fixed-length field helpers: exact bytes inside and around the
// area, so that a conversion or trim that strays one byte out shows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qm7/runtime/strings.h"

namespace {

TEST(StringCase, FixedLengthConvertsExactlyTheGivenBytes) {
  char area[] = {'A', 'b', '\0', 'C', 'D', 'E'};
  ToLowerCase(area, 5);  // runs over the zero byte, stops before the last byte
  EXPECT_EQ(std::string(area, 6), std::string("ab\0cdE", 6));
  ToLowerCase(area, 0);
  ToLowerCase(area, -3);
  EXPECT_EQ(std::string(area, 6), std::string("ab\0cdE", 6));
}

TEST(StringCase, StringFamilyStopsAtTerminatorAndReturnsArgument) {
  char text[] = "mIx3d-\xC4z\0qq";
  EXPECT_EQ(strupr(text), text);
  EXPECT_STREQ(text, "MIX3D-\xC4Z");  // only ASCII letters change
  EXPECT_EQ(text[10], 'q');           // behind the terminator nothing changes
  EXPECT_EQ(strlow(text), text);
  EXPECT_STREQ(text, "mix3d-\xC4z");
  EXPECT_EQ(ToUpperStr(text), text);
  EXPECT_STREQ(text, "MIX3D-\xC4Z");
  EXPECT_EQ(ToLowerStr(text), text);
  EXPECT_STREQ(text, "mix3d-\xC4z");
  EXPECT_EQ(strupr(nullptr), nullptr);
  EXPECT_EQ(strlow(nullptr), nullptr);
}

TEST(StringTrim, EatStringStopsAtNonBlankAndAtPositionZero) {
  char guarded[] = "# a  ";
  char* text = guarded + 1;  // " a  ": position 0 is a blank, before it a guard byte
  EatString(text + 3, 3);
  EXPECT_EQ(std::string(guarded, 6), std::string("# a\0\0\0", 6));

  char blanks[] = "#   ";
  EatString(blanks + 3, 2);  // all blanks: stops after position 0, the guard stays
  EXPECT_EQ(std::string(blanks, 5), std::string("#\0\0\0\0", 5));
}

TEST(StringTrim, EatTrailingOnAreasAndStrings) {
  char area[] = {'#', 'a', 'b', ' ', ' ', 'X'};
  EatTrailing(area + 1, 4);
  EXPECT_EQ(std::string(area, 6), std::string("#ab\0\0X", 6));

  char blanks[] = {'#', ' ', ' ', ' '};
  EatTrailing(blanks + 1, 3);
  EXPECT_EQ(std::string(blanks, 4), std::string("#\0\0\0", 4));
  EatTrailing(blanks + 1, 0);  // nothing to do, nothing touched
  EXPECT_EQ(blanks[0], '#');

  char tab[] = "a\t";
  EatTrailingStr(tab);
  EXPECT_STREQ(tab, "a\t");  // only blanks are trailing blanks
  char text[] = "x y   ";
  EatTrailingStr(text);
  EXPECT_STREQ(text, "x y");
  char empty[] = "\0#";
  EatTrailingStr(empty);
  EXPECT_EQ(empty[1], '#');
  char all[] = "   ";
  EatTrailingStr(all);
  EXPECT_STREQ(all, "");
}

TEST(StringTrim, GetStringThCopiesWithinBothSizes) {
  const char field[6] = {'a', 'b', 'c', ' ', ' ', ' '};  // not terminated
  char value[8];
  std::memset(value, '#', sizeof value);
  EXPECT_EQ(GetStringTh(field, 6, value, 8), value);
  EXPECT_STREQ(value, "abc");
  EXPECT_EQ(value[7], '#');

  std::memset(value, '#', sizeof value);
  GetStringTh(field, 6, value, 3);  // room for two characters
  EXPECT_STREQ(value, "ab");
  EXPECT_EQ(value[3], '#');

  GetStringTh(field, 0, value, 8);
  EXPECT_STREQ(value, "");
  std::memset(value, '#', sizeof value);
  GetStringTh(field, 6, value, 1);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(value[1], '#');
  value[0] = '#';
  GetStringTh(field, 6, value, 0);  // no room at all: nothing written
  EXPECT_EQ(value[0], '#');

  const char blanks_inside[5] = {'a', ' ', ' ', '\0', 'z'};
  GetStringTh(blanks_inside, 5, value, 8);  // the text ends at the zero byte: strip before it
  EXPECT_STREQ(value, "a");
}

TEST(StringTrim, FixLenReorgKeepsFirstWordLeftAligned) {
  char field[] = "#  ab cd #";
  fix_len_reorg(field + 1, 8);
  EXPECT_STREQ(field, "#ab      #");

  char word_at_end[] = "#   abcd#";
  fix_len_reorg(word_at_end + 1, 7);  // the word runs to the field's end
  EXPECT_STREQ(word_at_end, "#abcd   #");

  char zero_ends_word[] = {'#', 'x', 'y', '\0', 'z', 'z', '#'};
  fix_len_reorg(zero_ends_word + 1, 5);
  EXPECT_EQ(std::string(zero_ends_word, 7), "#xy   #");

  char blanks[] = "#    #";
  fix_len_reorg(blanks + 1, 4);
  EXPECT_STREQ(blanks, "#    #");
  fix_len_reorg(blanks + 1, 0);
  EXPECT_STREQ(blanks, "#    #");
}

TEST(StringTrim, FixLenReorg2MakesTerminatedStringWithoutLeadingBlanks) {
  char area[] = "#  ab c  ##";
  fix_len_reorg2(area + 1, 8);  // uses l + 1 bytes: area[9] may become the terminator
  EXPECT_STREQ(area + 1, "ab c  ");
  EXPECT_EQ(area[10], '#');

  char full[] = "#abcd##";
  fix_len_reorg2(full + 1, 4);  // no blanks: the field only gains its terminator at l
  EXPECT_EQ(std::string(full, 7), std::string("#abcd\0#", 7));

  char blanks[] = "#   ##";
  fix_len_reorg2(blanks + 1, 3);
  EXPECT_STREQ(blanks + 1, "");
  EXPECT_EQ(blanks[5], '#');
}

}  // namespace
