// Tests of the command line: each key, its conversions and limits, case rules, values holding
// '=', over-long input, and the trace lines written while tracing is on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
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

  // Parses `cmd_arg` (a CMD= argument) in a child process, which runs the command and exits;
  // returns what the command wrote to standard output.
  std::string CmdOutput(const std::string& cmd_arg) {
    char path[] = "/tmp/qm7_args_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EXIT(
        {
          dup2(fd, 1);
          Parse({cmd_arg});
        },
        testing::ExitedWithCode(0), "");
    std::string out(16384, '\0');
    ssize_t n = pread(fd, out.data(), out.size(), 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    close(fd);
    unlink(path);
    return out;
  }

  static PCX record_;
};

PCX ParseArguments::record_;

TEST_F(ParseArguments, NoArgumentsKeepTheDefaults) {
  Parse({});
  EXPECT_EQ(record_.melder_type, 'U');
  EXPECT_EQ(record_.status, 'R');
  EXPECT_EQ(record_.connect_retry, 3);
  EXPECT_EQ(record_.connect_wait, 120);
  EXPECT_EQ(record_.IoTimeOut, 60);
  EXPECT_EQ(trcFlag, 0);
}

TEST_F(ParseArguments, EveryKeyReachesItsField) {
  Parse({"JNR=1234", "PNR=4711", "TYP=E", "TXT=job done", "RET=7", "IPA=agent.example", "MNR=42",
         "RETRY=5", "WAIT=9", "TIMEOUT=30", "ULOGIN=Y", "OUTFILE=/tmp/out.txt", "NAME=VAR1",
         "VALUE=Some Value", "VTYPE=S"});
  EXPECT_EQ(record_.jobnri, 1234);
  EXPECT_EQ(record_.portnri, 4711);
  EXPECT_EQ(record_.melder_type, 'E');
  EXPECT_EQ(record_.status, 'E');
  EXPECT_STREQ(record_.info_text, "job done");
  EXPECT_EQ(record_.reti, 7);
  EXPECT_STREQ(record_.ipAddr, "agent.example");
  EXPECT_EQ(record_.client, 42);
  EXPECT_EQ(record_.connect_retry, 5);
  EXPECT_EQ(record_.connect_wait, 9);
  EXPECT_EQ(record_.IoTimeOut, 30);
  EXPECT_EQ(record_.output_login, 'Y');
  EXPECT_STREQ(record_.output_file, "/tmp/out.txt");
  EXPECT_STREQ(record_.var_name, "VAR1");
  EXPECT_STREQ(record_.var_value, "Some Value");
  EXPECT_EQ(record_.var_type, 'S');
}

TEST_F(ParseArguments, KeysAreCaseFreeValuesKeepTheirCase) {
  Parse({"jnr=12", "Typ=e", "txt=MiXeD"});
  EXPECT_EQ(record_.jobnri, 12);
  EXPECT_EQ(record_.melder_type, 'e');
  EXPECT_EQ(record_.status, 'R');
  EXPECT_STREQ(record_.info_text, "MiXeD");
}

TEST_F(ParseArguments, TypeSetsStatusOnlyForAJobEnd) {
  Parse({"TYP=S"});
  EXPECT_EQ(record_.melder_type, 'S');
  EXPECT_EQ(record_.status, 'R');
  Parse({"TYP=End"});
  EXPECT_EQ(record_.melder_type, 'E');
  EXPECT_EQ(record_.status, 'E');
  // An empty value gives the character 0 (a restart report).
  Parse({"TYP="});
  EXPECT_EQ(record_.melder_type, '\0');
  EXPECT_EQ(record_.status, 'R');
}

TEST_F(ParseArguments, TimeoutRules) {
  struct Case {
    const char* arg;
    int expected;
  } cases[] = {{"TIMEOUT=none", 0},  {"TIMEOUT=NONE", 0},  {"timeout=None", 0},
               {"TIMEOUT=601", 60},  {"TIMEOUT=600", 600}, {"TIMEOUT=-5", -5},
               {"TIMEOUT=abc", 0},   {"TIMEOUT=", 0},      {"TIMEOUT=99999999999", 60},
               {"TIMEOUT=nonex", 0}, {"TIMEOUT=1", 1}};
  for (const Case& c : cases) {
    record_.IoTimeOut = 12345;
    Parse({c.arg});
    EXPECT_EQ(record_.IoTimeOut, c.expected) << c.arg;
  }
}

TEST_F(ParseArguments, WaitIsNeverNegative) {
  Parse({"WAIT=15"});
  EXPECT_EQ(record_.connect_wait, 15);
  Parse({"WAIT=-1"});
  EXPECT_EQ(record_.connect_wait, 0);
  Parse({"WAIT=-2147483648"});
  EXPECT_EQ(record_.connect_wait, 0);
  Parse({"WAIT=x"});
  EXPECT_EQ(record_.connect_wait, 0);
}

TEST_F(ParseArguments, NumbersReadLikeAtoiAndSaturate) {
  Parse({"JNR=  42abc", "PNR=+17", "RET=-3", "RETRY=x1"});
  EXPECT_EQ(record_.jobnri, 42);
  EXPECT_EQ(record_.portnri, 17);
  EXPECT_EQ(record_.reti, -3);
  EXPECT_EQ(record_.connect_retry, 0);
  // Numbers beyond the int range saturate instead of wrapping.
  Parse({"JNR=99999999999999999999", "RET=-99999999999999999999"});
  EXPECT_EQ(record_.jobnri, INT_MAX);
  EXPECT_EQ(record_.reti, INT_MIN);
  Parse({"JNR=2147483647", "RET=-2147483648"});
  EXPECT_EQ(record_.jobnri, INT_MAX);
  EXPECT_EQ(record_.reti, INT_MIN);
  // The client number keeps 16 bits.
  Parse({"MNR=70000"});
  EXPECT_EQ(record_.client, static_cast<int16_t>(70000));
  Parse({"MNR=-2"});
  EXPECT_EQ(record_.client, -2);
}

TEST_F(ParseArguments, ValueKeepsFurtherEqualSigns) {
  Parse({"TXT=a=b"});
  EXPECT_STREQ(record_.info_text, "a=b");
  Parse({"VALUE=x==y="});
  EXPECT_STREQ(record_.var_value, "x==y=");
  // CMD runs its command at once and ends the process: the command shows what was stored.
  EXPECT_EQ(CmdOutput("CMD=printf %s a=b c=d"), "a=bc=d");
}

TEST_F(ParseArguments, UloginOnlyForAnUpperCaseY) {
  Parse({"ULOGIN=Y"});
  EXPECT_EQ(record_.output_login, 'Y');
  Parse({"ULOGIN=y"});
  EXPECT_EQ(record_.output_login, 'N');
  Parse({"ULOGIN=Yes"});
  EXPECT_EQ(record_.output_login, 'Y');
  Parse({"ULOGIN="});
  EXPECT_EQ(record_.output_login, 'N');
}

TEST_F(ParseArguments, LongValuesAreCutToTheirFields) {
  Parse({"NAME=" + std::string(300, 'n')});
  EXPECT_EQ(std::string(record_.var_name), std::string(200, 'n'));
  EXPECT_EQ(record_.filler1, 0);
  Parse({"TXT=" + std::string(100, 't'), "IPA=" + std::string(100, 'i')});
  EXPECT_EQ(std::string(record_.info_text), std::string(63, 't'));
  EXPECT_EQ(std::string(record_.ipAddr), std::string(63, 'i'));
  Parse({"OUTFILE=" + std::string(2000, 'o'), "VALUE=" + std::string(2000, 'v')});
  EXPECT_EQ(std::string(record_.output_file), std::string(1023, 'o'));
  EXPECT_EQ(std::string(record_.var_value), std::string(1023, 'v'));
  EXPECT_EQ(record_.filler2, 0);
  // The value buffer holds 8191 characters; the command area keeps them all.
  EXPECT_EQ(CmdOutput("CMD=printf %s " + std::string(10000, 'c')), std::string(8191 - 10, 'c'));
  // A key longer than 63 characters is cut and matches nothing.
  record_.jobnri = 5;
  Parse({"JNR" + std::string(100, 'x') + "=9"});
  EXPECT_EQ(record_.jobnri, 5);
}

TEST_F(ParseArguments, UnknownKeysAndBareWordsAreIgnored) {
  Parse({"-V", "FOO=1", "JNR", "=5", "", "TYP=S"});
  EXPECT_EQ(record_.jobnri, 0);  // "JNR" without '=' has an empty value: atoi gives 0
  EXPECT_EQ(record_.melder_type, 'S');
  EXPECT_EQ(record_.connect_retry, 3);
}

TEST_F(ParseArguments, LaterValueWinsAndEmptyValueEmptiesTheField) {
  Parse({"TXT=first", "TXT=second", "JNR=1", "JNR=2"});
  EXPECT_STREQ(record_.info_text, "second");
  EXPECT_EQ(record_.jobnri, 2);
  Parse({"TXT="});
  EXPECT_STREQ(record_.info_text, "");
  Parse({"VTYPE="});
  EXPECT_EQ(record_.var_type, 0);
}

TEST_F(ParseArguments, TracesEachArgumentAndTheSummary) {
  testing::internal::CaptureStdout();
  Parse({"TRC=1", "ipa=localhost", "TXT=a=b", "MNR=3"});
  std::string out = qm7_test::MaskVolatile(testing::internal::GetCapturedStdout());
  EXPECT_EQ(trcFlag, 1);
  // Tracing starts with the TRC argument, so the entry line and its own argument lines are
  // not written; everything after is.
  const std::string p = "TID         YYYYMMDD/hhmmss.mmm - ";
  const std::string f = p + "parse_arguments:      ";
  std::string expected = qm7_test::JoinLines({
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
  });
  EXPECT_EQ(out, expected);

  // Once tracing is on, the entry line is written too.
  testing::internal::CaptureStdout();
  Parse({"TIMEOUT=none"});
  out = qm7_test::MaskVolatile(testing::internal::GetCapturedStdout());
  EXPECT_EQ(out.rfind(p + "parse_arguments(argc=2) -->\n" + p +
                          "parse_arguments:      argument-01 : TIMEOUT=none\n" + p +
                          "parse_arguments:      key(TIMEOUT) = value(none)\n",
                      0),
            0u)
      << out;
}

TEST_F(ParseArguments, SilentWithoutTracing) {
  testing::internal::CaptureStdout();
  Parse({"TYP=S", "TRC=0", "JNR=1"});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
