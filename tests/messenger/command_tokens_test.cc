// Tests of the token replacement in commands: markers, token ends, bare markers, case, the
// digit limit and the bounded output.

#include "../../src/messenger/command_tokens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qm7/messenger/command.h"
#include "qm7/runtime/maxim.h"

namespace {

using qm7::detail::rebuild_command;

// The printable token of `value` with the 0xAD marker, or with "--" when `dashes`.
std::string token(const std::string& value, bool dashes = true) {
  std::vector<char> buf(4 + 16 * (value.size() / 8 + 1) + 1);
  ZUSTRNG_EnMaxim2(buf.data(), value.c_str(), kCmdTokenKey);
  std::string t(buf.data());
  if (dashes) t[0] = t[1] = '-';
  return t;
}

// Runs the replacement over a work area shaped like processCmd's: the command and 4 zero bytes.
std::string rebuild(const std::string& cmd, std::size_t out_size = 0) {
  std::vector<char> in(cmd.begin(), cmd.end());
  in.resize(cmd.size() + 4, '\0');
  if (out_size == 0) out_size = cmd.size() + 4;
  std::vector<char> out(out_size + 8, '#');  // guard bytes behind the area
  std::size_t n = rebuild_command(in.data(), cmd.size(), out.data(), out_size);
  for (std::size_t i = out_size; i < out.size(); i++) EXPECT_EQ(out[i], '#') << "overrun at " << i;
  std::string result(out.data());
  EXPECT_EQ(result.size(), n);
  return result;
}

TEST(CommandTokens, PlainCommandsAreUnchanged) {
  EXPECT_EQ(rebuild("ls -l /tmp"), "ls -l /tmp");
  EXPECT_EQ(rebuild(""), "");
  EXPECT_EQ(rebuild("echo --1 --x -10 -\xAD"
                    "10"),
            "echo --1 --x -10 -\xAD"
            "10");
  EXPECT_EQ(rebuild("tail --1"), "tail --1");  // a partial marker at the very end
}

TEST(CommandTokens, TokensAreReplacedAndFollowingTextKept) {
  std::string pw = token("s3cr3t");
  EXPECT_EQ(rebuild("login -p " + pw + "/db"), "login -p s3cr3t/db");
  EXPECT_EQ(rebuild("login -p " + pw + " -u admin"), "login -p s3cr3t -u admin");
  EXPECT_EQ(rebuild(pw), "s3cr3t");
  // Both markers in one command, each replaced in turn.
  std::string mag = token("user", false);
  ASSERT_EQ(mag.substr(0, 2), "\xAD\xAD");
  EXPECT_EQ(rebuild("x " + mag + ":" + token("password 2") + "@host"), "x user:password 2@host");
  // Lower-case digits decrypt like upper-case ones.
  std::string lower = pw;
  for (std::size_t i = 4; i < lower.size(); i++)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  EXPECT_EQ(rebuild("p=" + lower + ";"), "p=s3cr3t;");
  // Long values take several blocks.
  std::string longer(100, 'z');
  EXPECT_EQ(rebuild("[" + token(longer) + "]"), "[" + longer + "]");
}

TEST(CommandTokens, NonTokensStayWithUpperCaseDigits) {
  EXPECT_EQ(rebuild("prog --10ab"), "prog --10AB");
  EXPECT_EQ(rebuild("prog --10abcdefg"), "prog --10ABCDEFg");
  // A marker followed by something that is not a digit keeps the rest as plain text.
  EXPECT_EQ(rebuild("a --10xyz"), "a xyz");
}

TEST(CommandTokens, BareMarkersInsertNothing) {
  EXPECT_EQ(rebuild("--10 echo hi"), " echo hi");
  EXPECT_EQ(rebuild("echo hi --10"), "echo hi ");
  // After a real token a bare marker does not repeat its plaintext.
  EXPECT_EQ(rebuild("u " + token("secret") + " --10 end"), "u secret  end");
  EXPECT_EQ(rebuild(token("one") + "\xAD\xAD"
                                   "10|"),
            "one|");
}

TEST(CommandTokens, DigitRunsBeyondTheLimitContinueAsText) {
  // 251 digits form the token (not a multiple of 16: passed through, upper-cased); the rest of
  // the run is plain text and keeps its case.
  std::string digits(260, 'a');
  std::string want = "--10" + std::string(251, 'A') + std::string(9, 'a');
  EXPECT_EQ(rebuild(digits.insert(0, "--10")), want);
  // 240 digits of a real token decrypt completely.
  std::string v(119, 'v');
  std::string t = token(v);
  ASSERT_EQ(t.size(), 4u + 240u);
  // Hex letters glued to a token extend it, so it no longer decrypts and stays as it is.
  EXPECT_EQ(rebuild(t + "abc"), t + "ABC");
  EXPECT_EQ(rebuild(t + "/"), v + "/");
}

TEST(CommandTokens, OutputIsBoundedByItsArea) {
  std::string pw = token("secret");
  EXPECT_EQ(rebuild("abcdefghij", 5), "abcd");
  EXPECT_EQ(rebuild("x " + pw + " tail", 6), "x sec");
  EXPECT_EQ(rebuild("--10ab", 3), "--");
  EXPECT_EQ(rebuild("anything", 1), "");
}

}  // namespace
