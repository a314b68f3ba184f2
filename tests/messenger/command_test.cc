// Commands with encrypted tokens: the replacement rules on a work area (markers, token ends,
// bare markers, case, the digit limit, the bounded output), the CMD argument through the built
// qm_jpmd with the decrypted text kept off its output, and the qm7-token tool.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../../src/messenger/command_tokens.h"
#include "messenger/harness.h"
#include "qm7/messenger/command.h"
#include "qm7/runtime/maxim.h"

namespace {

using qm7_test::RunMessenger;
using qm7_test::RunProgram;

// The printable token of `value` with the "--" marker, or 0xAD 0xAD when not `dashes`.
std::string Token(const std::string& value, bool dashes = true) {
  std::vector<char> buf(4 + 16 * (value.size() / 8 + 1) + 1);
  ZUSTRNG_EnMaxim2(buf.data(), value.c_str(), kCmdTokenKey);
  std::string t(buf.data());
  if (dashes) t[0] = t[1] = '-';
  return t;
}

std::string Lower(std::string token) {
  for (size_t i = 4; i < token.size(); i++) token[i] = static_cast<char>(std::tolower(token[i]));
  return token;
}

// The replacement over a work area shaped like processCmd's: the command and 4 zero bytes.
std::string Rebuild(const std::string& cmd, size_t out_size = 0) {
  std::vector<char> in(cmd.begin(), cmd.end());
  in.resize(cmd.size() + 4, '\0');
  if (out_size == 0) out_size = cmd.size() + 4;
  std::vector<char> out(out_size + 8, '#');  // guard bytes behind the area
  qm7::detail::refused_token refused;
  const size_t n =
      qm7::detail::rebuild_command(in.data(), cmd.size(), out.data(), out_size, &refused);
  EXPECT_EQ(refused.fault, qm7::detail::token_fault::none) << cmd;
  EXPECT_EQ(std::string(8, '#'), std::string(out.data() + out_size, 8)) << "overrun";
  EXPECT_EQ(strlen(out.data()), n);
  return out.data();
}

TEST(CommandTokens, Rebuild) {
  const std::string pw = Token("s3cr3t"), v119(119, 'v'), t240 = Token(v119);
  ASSERT_EQ(t240.size(), 4u + 240u);
  const struct {
    std::string cmd, expected;
    size_t out_size;
  } cases[] = {
      // clang-format off
      {"ls -l /tmp", "ls -l /tmp", 0}, {"", "", 0},
      {"echo --1 --x -10 -\xAD" "10", "echo --1 --x -10 -\xAD" "10", 0},
      {"tail --1", "tail --1", 0},  // a partial marker at the very end
      {"login -p " + pw + "/db", "login -p s3cr3t/db", 0},
      {pw, "s3cr3t", 0},
      {"x " + Token("user", false) + ":" + Token("password 2") + "@host", "x user:password 2@host", 0},
      {"p=" + Lower(pw) + ";", "p=s3cr3t;", 0},
      {"[" + Token(std::string(100, 'z')) + "]", "[" + std::string(100, 'z') + "]", 0},
      // Not in the encrypted form: the digits are upper-cased, the rest is plain text.
      {"prog --10ab", "prog --10AB", 0}, {"prog --10abcdefg", "prog --10ABCDEFg", 0},
      {"a --10xyz", "a xyz", 0},
      // Bare markers insert nothing, also after a real token.
      {"--10 echo hi", " echo hi", 0}, {"echo hi --10", "echo hi ", 0},
      {"u " + Token("secret") + " --10 end", "u secret  end", 0},
      {Token("one") + "\xAD\xAD" "10|", "one|", 0},
      // A token takes at most 251 digits (not a multiple of 16: passed through); hex letters
      // glued to a token extend it so that it no longer decrypts.
      {"--10" + std::string(260, 'a'), "--10" + std::string(251, 'A') + std::string(9, 'a'), 0},
      {t240 + "/", v119 + "/", 0}, {t240 + "abc", t240 + "ABC", 0},
      // The output area bounds the result.
      {"abcdefghij", "abcd", 5}, {"x " + pw + " tail", "x s3c", 6}, {"--10ab", "--", 3},
      {"anything", "", 1},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(Rebuild(c.cmd, c.out_size), c.expected) << c.cmd;
}

// qm_jpmd with `before` and CMD=<cmd>: the command's output is the messenger's.
qm7_test::run_result Cmd(const std::string& cmd, std::vector<std::string> before = {}) {
  before.push_back("CMD=" + cmd);
  return RunMessenger(before);
}

TEST(CmdArgument, TokensReachTheShellDecryptedAndNeverTheOutput) {
  const std::string secret = "TopSecret-4711", pw = Token(secret);
  qm7_test::run_result r;
  EXPECT_EQ(Cmd("printf '[%s]' '" + pw + "/db' " + pw + " x").out,
            "[" + secret + "/db][" + secret + "][x]");
  EXPECT_EQ(Cmd("printf '%s' " + Token("alice", false) + ":" + Lower(Token("pw-2")) + "@host").out,
            "alice:pw-2@host");
  // The command keeps its '=' and may have all 8191 characters of the value buffer.
  EXPECT_EQ(Cmd("printf %s a=b c=d").out, "a=bc=d");
  EXPECT_EQ(Cmd("printf %s " + std::string(8181, 'c')).out, std::string(8181, 'c'));
  // A command that would be cut, or a token that decrypts to no whole, plain text (cut at a
  // block boundary, blocks behind its text, a line feed), is not run: exit 1 and one line that
  // names the token by its place, never its text.
  const std::string three_blocks = Token(std::string(20, 's')),
                    no_run = "qm_jpmd: command not run: ";
  const struct {
    std::string cmd, err;
  } refused[] = {
      {"printf %s " + std::string(8182, 'c'), "it has 8192 characters, more than the 8191 allowed"},
      {"printf x " + three_blocks.substr(0, 4 + 32),
       "token 1 at character 10 does not decrypt to a whole text (cut short or altered)"},
      {"printf x " + pw + " " + Token("a") + Token("b").substr(4),
       "token 2 at character " + std::to_string(11 + pw.size()) +
           " has blocks behind the end of its text (altered, or two tokens run together)"},
      {"printf x " + Token("x\nrm -rf /tmp/y"),
       "token 1 at character 10 decrypts to a text with control characters (altered)"},
  };
  for (const auto& c : refused) {
    r = Cmd(c.cmd);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, no_run + c.err + "\n");
  }
  // Traced, the command shows its tokens encrypted; the rebuilt one is never traced, so the
  // secret shows once: the command's own output.
  r = Cmd("printf '%s' " + pw, {"TRC=1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("processCmd(cmd=printf '%s' " + pw), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(secret), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(secret), r.out.rfind(secret));
  EXPECT_NE(r.out.find("processCmd <-- (result=0)"), std::string::npos);
  r = Cmd("exit 2; echo " + pw, {"TRC=1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ((r.out + r.err).find(secret), std::string::npos) << r.out << r.err;
  // Later arguments are never read: no report, no connection, and RET does not count.
  r = RunMessenger({"TYP=E", "CMD=exit 0", "RET=7", "IPA=127.0.0.1", "PNR=1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

TEST(ProcessCmd, DecryptingProcessDumpsNoCore) {
  // In a child of its own: a signal while the shell runs must not write the secrets to a core.
  EXPECT_EXIT(
      {
        PCX cmd_pcx = {};
        snprintf(cmd_pcx.pCmdBuffer, sizeof(cmd_pcx.pCmdBuffer), "true %s", Token("pw").c_str());
        const int rc = processCmd(&cmd_pcx);
        _exit(rc == 0 && prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(TokenTool, RoundTripsAndRefusesWhatIsNoToken) {
  auto tool = [](std::vector<std::string> args, const std::string& input = "") {
    qm7_test::spawn_options opts;
    opts.input = input;
    return RunProgram("qm7-token", args, opts);
  };
  // Values from the argument, a pipe (the first line without its end), after "--", empty, the
  // longest: qm_jpmd decrypts each token to its value.
  const struct {
    std::vector<std::string> args;
    std::string input, value;
  } values[] = {{{"p@ss word;$x"}, "", "p@ss word;$x"},
                {{}, "from stdin\nsecond line\n", "from stdin"},
                {{}, "crlf\r\n", "crlf"},
                {{"--", "-dash"}, "", "-dash"},
                {{""}, "", ""},
                {{std::string(kCmdTokenMaxValue, 'v')}, "", std::string(kCmdTokenMaxValue, 'v')}};
  for (const auto& v : values) {
    auto t = tool(v.args, v.input);
    EXPECT_EQ(t.exit_code, 0) << t.err;
    EXPECT_EQ(Rebuild(t.out), v.value + "\n") << t.out;
  }
  // The tool decrypts like the messenger, lower-case digits and the 0xAD marker too.
  EXPECT_EQ(tool({"--decrypt", Lower(Token("mixed"))}).out, "mixed\n");
  EXPECT_EQ(tool({"--decrypt", Token("mag", false)}).out, "mag\n");
  // Not tokens: exit 1, nothing on standard output. Usage errors: exit 2.
  const std::string t = Token("mixed");
  for (std::string bad : {std::string("--10ab"), t + "0", t.substr(0, 19) + "G",
                          std::string("plain"), "--11" + t.substr(4), std::string(""),
                          Token("a") + Token("b").substr(4), Token("tab\there")}) {
    auto b = tool({"--decrypt", bad});
    EXPECT_EQ(b.exit_code, 1) << bad;
    EXPECT_EQ(b.out, "") << bad;
  }
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--decrypt"},
                                             {"-x"},
                                             {"a", "b"},
                                             {std::string(kCmdTokenMaxValue + 1, 'v')},
                                             {"a\nb"},
                                             {}}) {
    EXPECT_EQ(tool(args).exit_code, 2) << testing::PrintToString(args);
  }
  EXPECT_NE(tool({"--help"}).out.find("--decrypt TOKEN"), std::string::npos);
}

}  // namespace
