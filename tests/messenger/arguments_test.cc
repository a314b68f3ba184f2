// The command line: each key and its conversions, limits and case rules, values holding '=',
// over-long input, and the trace lines written while tracing is on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

class ParseArguments : public testing::Test {
 protected:
  void SetUp() override {
    trcFlag = 0;
    initialize_messenger(&record_);
    set_program_name(&record_, "qm_jpmd");
  }
  void TearDown() override { trcFlag = 0; }

  void Parse(std::vector<std::string> args) {
    qm7_test::Argv argv(std::move(args));
    EXPECT_EQ(parse_arguments(&record_, argv.argc(), argv.argv()), 0);
  }

  // CMD= runs its command at once and ends the process, so it is parsed in a death-test
  // child; returns what the command wrote.
  std::string CmdOutput(const std::string& cmd_arg) {
    char path[] = "/tmp/qm7_args_XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    EXPECT_EXIT(
        {
          dup2(fd, 1);
          Parse({cmd_arg});
        },
        testing::ExitedWithCode(0), "");
    std::string out(16384, '\0');
    const ssize_t n = pread(fd, out.data(), out.size(), 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    close(fd);
    return out;
  }

  static PCX record_;
};

PCX ParseArguments::record_;

TEST_F(ParseArguments, DefaultsWithoutArguments) {
  Parse({});
  EXPECT_EQ(record_.melder_type, 'U');
  EXPECT_EQ(record_.status, 'R');
  EXPECT_EQ(record_.output_login, 'N');
  EXPECT_EQ(record_.connect_retry, 3);
  EXPECT_EQ(record_.connect_wait, 120);
  EXPECT_EQ(record_.IoTimeOut, 60);
  EXPECT_EQ(trcFlag, 0);
}

TEST_F(ParseArguments, NumericConversions) {
  // Each argument alone, on a fresh record: the field it sets and the value that results.
  auto timeout = [](PCX& r) { return r.IoTimeOut; };
  auto wait = [](PCX& r) { return r.connect_wait; };
  auto jnr = [](PCX& r) { return r.jobnri; };
  auto ret = [](PCX& r) { return r.reti; };
  auto retry = [](PCX& r) { return r.connect_retry; };
  auto client = [](PCX& r) { return static_cast<int>(r.client); };
  auto ulogin = [](PCX& r) { return static_cast<int>(r.output_login); };
  auto type = [](PCX& r) { return static_cast<int>(r.melder_type) * 256 + r.status; };
  const struct {
    const char* arg;
    int (*field)(PCX&);
    int expected;
  } cases[] = {
      // clang-format off
      {"TIMEOUT=none", timeout, 0}, {"timeout=None", timeout, 0}, {"TIMEOUT=nonex", timeout, 0},
      {"TIMEOUT=601", timeout, 60}, {"TIMEOUT=600", timeout, 600}, {"TIMEOUT=-5", timeout, -5},
      {"TIMEOUT=abc", timeout, 0}, {"TIMEOUT=", timeout, 0}, {"TIMEOUT=99999999999", timeout, 60},
      {"WAIT=15", wait, 15}, {"WAIT=-1", wait, 0}, {"WAIT=-2147483648", wait, 0}, {"WAIT=x", wait, 0},
      {"JNR=  42abc", jnr, 42}, {"jnr=12", jnr, 12}, {"JNR", jnr, 0}, {"RET=-3", ret, -3},
      {"PNR=+17", [](PCX& r) { return r.portnri; }, 17}, {"RETRY=x1", retry, 0},
      // Beyond the int range numbers saturate instead of wrapping; the client keeps 16 bits.
      {"JNR=99999999999999999999", jnr, INT_MAX}, {"RET=-99999999999999999999", ret, INT_MIN},
      {"JNR=2147483647", jnr, INT_MAX}, {"RET=-2147483648", ret, INT_MIN},
      {"MNR=70000", client, static_cast<int16_t>(70000)}, {"MNR=-2", client, -2},
      {"ULOGIN=Y", ulogin, 'Y'}, {"ULOGIN=Yes", ulogin, 'Y'}, {"ULOGIN=y", ulogin, 'N'},
      {"ULOGIN=", ulogin, 'N'},
      // Only an upper-case E is a job end; an empty type is the character 0 (a restart).
      {"TYP=S", type, 'S' * 256 + 'R'}, {"TYP=End", type, 'E' * 256 + 'E'},
      {"Typ=e", type, 'e' * 256 + 'R'}, {"TYP=", type, 'R'},
      // Bare words, unknown keys and a key longer than 63 characters change nothing.
      {"-V", retry, 3}, {"FOO=1", retry, 3}, {"=5", retry, 3},
      {"RETRY0123456789012345678901234567890123456789012345678901234567890=9", retry, 3},
      // clang-format on
  };
  for (const auto& c : cases) {
    SetUp();
    Parse({c.arg});
    EXPECT_EQ(c.field(record_), c.expected) << c.arg;
  }
}

TEST_F(ParseArguments, TextValues) {
  Parse({"TXT=first", "txt=MiXeD", "VALUE=x==y="});
  EXPECT_STREQ(record_.info_text, "MiXeD");  // the later value wins and keeps its case
  EXPECT_STREQ(record_.var_value, "x==y=");
  Parse({"TXT=a=b"});
  EXPECT_STREQ(record_.info_text, "a=b");
  Parse({"VTYPE=S"});
  EXPECT_EQ(record_.var_type, 'S');
  Parse({"TXT=", "VTYPE="});
  EXPECT_STREQ(record_.info_text, "");
  EXPECT_EQ(record_.var_type, 0);
  // Long values are cut to their fields, the terminators behind them stay.
  Parse({"NAME=" + std::string(300, 'n'), "TXT=" + std::string(100, 't'),
         "IPA=" + std::string(100, 'i'), "OUTFILE=" + std::string(2000, 'o'),
         "VALUE=" + std::string(2000, 'v')});
  EXPECT_EQ(std::string(record_.var_name), std::string(200, 'n'));
  EXPECT_EQ(std::string(record_.info_text), std::string(63, 't'));
  EXPECT_EQ(std::string(record_.ipAddr), std::string(63, 'i'));
  EXPECT_EQ(std::string(record_.output_file), std::string(1023, 'o'));
  EXPECT_EQ(std::string(record_.var_value), std::string(1023, 'v'));
  EXPECT_EQ(record_.filler1, 0);
  EXPECT_EQ(record_.filler2, 0);
  // The command keeps its '=' and all 8191 characters of the value buffer.
  EXPECT_EQ(CmdOutput("CMD=printf %s a=b c=d"), "a=bc=d");
  EXPECT_EQ(CmdOutput("CMD=printf %s " + std::string(10000, 'c')), std::string(8191 - 10, 'c'));
}

TEST_F(ParseArguments, TracesEachArgumentAndTheSummary) {
  testing::internal::CaptureStdout();
  Parse({"TYP=S", "TRC=0", "JNR=1"});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  SetUp();

  // Tracing starts with the TRC argument: the entry line and the lines of the arguments up to
  // it are not written, everything after is.
  testing::internal::CaptureStdout();
  Parse({"TRC=1", "ipa=localhost", "TXT=a=b", "MNR=3"});
  std::string out = qm7_test::MaskVolatile(testing::internal::GetCapturedStdout());
  EXPECT_EQ(trcFlag, 1);
  const std::string p = "TID         YYYYMMDD/hhmmss.mmm - ";
  const std::string f = p + "parse_arguments:      ";
  EXPECT_EQ(out, qm7_test::JoinLines({
                     f + "argument-02 : ipa=localhost",
                     f + "key(IPA) = value(localhost)",
                     f + "argument-03 : TXT=a=b",
                     f + "key(TXT) = value(a=b)",
                     f + "argument-04 : MNR=3",
                     f + "key(MNR) = value(3)",
                     f + "TCP/IP address                 : 'localhost'",
                     f + "port number                    : '0'",
                     f + "job number                     : '0'",
                     f + "client                         : '3'",
                     f + "result                         : '0'",
                     f + "information                    : 'a=b'",
                     f + "type                           : 'R'",
                     p + "parse_arguments <-- (OK)",
                 }));
  // Once tracing is on, the entry line is written too.
  testing::internal::CaptureStdout();
  Parse({"TIMEOUT=none"});
  out = qm7_test::MaskVolatile(testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, out.find(p + "parse_arguments(argc=2) -->\n" + f + "argument-01 : TIMEOUT=none\n" +
                         f + "key(TIMEOUT) = value(none)\n"))
      << out;
}

}  // namespace
