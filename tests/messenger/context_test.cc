// The context record: its set-up over stale bytes with the SIGUSR1 handling, the program name
// and the version switch; the command line that fills it (each key, its conversions, limits and
// case rules, the trace); and the job report printed from it. The report's and the trace's
// exact bytes are checked on the built program.
#include <gtest/gtest.h>
#include <pthread.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

class Context : public testing::Test {
 protected:
  void SetUp() override {
    trcFlag = 0;
    initialize_messenger(&record_);
    set_program_name(&record_, "qm_jpmd");
  }
  void TearDown() override { trcFlag = 0; }

  static int Parse(std::vector<std::string> args) {
    qm7_test::Argv argv(std::move(args));
    return parse_arguments(&record_, argv.argc(), argv.argv());
  }
  // What `print` writes, with times and thread ids masked, and that it returns `result`.
  template <typename Print>
  static std::string Out(Print print, int result = 0) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(print(&record_), result);
    return qm7_test::MaskVolatile(testing::internal::GetCapturedStdout());
  }
  static std::string Traced(std::vector<std::string> args) {
    return Out([&](PCX*) { return Parse(args); });
  }

  static PCX record_;
};

PCX Context::record_;

TEST_F(Context, InitializeOverStaleBytesLeavesSigusrOneInterrupting) {
  // Its defaults are the values the arguments table below finds without a matching argument.
  std::memset(static_cast<void*>(&record_), 0x5A, sizeof(record_));
  sigset_t usr1, now;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);
  ASSERT_EQ(initialize_messenger(&record_), 0);
  EXPECT_EQ(record_.running_mode, 3);
  EXPECT_EQ(std::string(record_.var_value, 1024), std::string(1024, '\0'));
  EXPECT_EQ(record_.pCmdBuffer[8191], 0);
  // SIGUSR1 is unblocked and makes blocking calls return with EINTR, without ending the process.
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &now), 0);
  EXPECT_EQ(sigismember(&now, SIGUSR1), 0);
  struct sigaction installed;
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &installed), 0);
  EXPECT_EQ(installed.sa_handler, &signal_handler_common);
  EXPECT_EQ(installed.sa_flags & SA_RESTART, 0);
  EXPECT_EQ(raise(SIGUSR1), 0);
}

TEST_F(Context, ProgramNameAndVersionSwitch) {
  set_program_name(&record_, ("/x/" + std::string(300, 'n')).c_str());
  EXPECT_EQ(record_.program_name, std::string(255, 'n'));
  set_program_name(&record_, nullptr);  // started without any argument
  EXPECT_STREQ(record_.program_name, "qm_jpmd");
  // "-V" only as the single argument, exactly.
  const std::vector<std::string> requests[] = {{"-V"},          {"-v"}, {"-V", "TYP=S"},
                                               {"TYP=S", "-V"}, {},     {"-VV"}};
  for (const auto& args : requests) {
    qm7_test::Argv argv(args);
    EXPECT_EQ(args.size() == 1 && args[0] == "-V", is_version_request(argv.argc(), argv.argv()))
        << testing::PrintToString(args);
  }
}

TEST_F(Context, EachArgumentOnAFreshRecord) {
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
      // Bare words, unknown keys and a key longer than 63 characters change nothing: the
      // defaults stay.
      {"-V", retry, 3}, {"FOO=1", retry, 3}, {"=5", retry, 3}, {"FOO=1", wait, 120},
      {"FOO=1", timeout, 60}, {"FOO=1", type, 'U' * 256 + 'R'}, {"FOO=1", ulogin, 'N'},
      {"RETRY0123456789012345678901234567890123456789012345678901234567890=9", retry, 3},
      // clang-format on
  };
  for (const auto& c : cases) {
    SetUp();
    EXPECT_EQ(Parse({c.arg}), 0);
    EXPECT_EQ(c.field(record_), c.expected) << c.arg;
  }
}

TEST_F(Context, TextArguments) {
  Parse({"TXT=first", "txt=MiXeD", "VALUE=x==y=", "VTYPE=S"});
  EXPECT_STREQ(record_.info_text, "MiXeD");  // the later value wins and keeps its case
  EXPECT_STREQ(record_.var_value, "x==y=");
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
}

TEST_F(Context, TraceOfTheArgumentsBeginsWithTrc) {
  EXPECT_EQ(Traced({"TYP=S", "TRC=0", "JNR=1"}), "");
  const std::string p = "TID         YYYYMMDD/hhmmss.mmm - ", f = p + "parse_arguments:      ";
  std::string out = Traced({"TRC=1", "ipa=localhost", "TXT=a=b", "MNR=3"});
  EXPECT_EQ(out, qm7_test::JoinLines({
                     f + "argument-02 : ipa=localhost",
                     f + "key(IPA) = value(localhost)",
                     f + "argument-03 : TXT=a=b",
                     f + "key(TXT) = value(a=b)",
                     f + "argument-04 : MNR=3",
                     f + "key(MNR) = value(3)",
                     f + "TCP/IP address                 : 'localhost'",
                     f + "port number                    : '0'",
                     f + "job number                     : '1'",  // from the first parse
                     f + "client                         : '3'",
                     f + "result                         : '0'",
                     f + "information                    : 'a=b'",
                     f + "type                           : 'R'",
                     p + "parse_arguments <-- (OK)",
                 }));
  // Once tracing is on, the entry line and the first argument are written too.
  out = Traced({"TIMEOUT=none"});
  EXPECT_EQ(out.find(p + "parse_arguments(argc=2) -->\n" + f + "argument-01 : TIMEOUT=none\n"), 0u)
      << out;
}

TEST_F(Context, ReportBannerAndLines) {
  setenv("TZ", "XST-5", 1);  // five hours east of UTC, no daylight saving
  tzset();
  record_.melder_type = 'E';
  testing::internal::CaptureStdout();
  printMelder(&record_);
  auto lines = qm7_test::SplitLines(testing::internal::GetCapturedStdout());
  setenv("TZ", "UTC0", 1);
  tzset();
  ASSERT_EQ(lines.size(), 6u);
  // Local and UTC time from one reading: "... AT   DD.MM.YYYY / hh:mm:ss **" has the same
  // minutes and seconds, five hours apart.
  EXPECT_EQ(lines[2].substr(63, 6), lines[3].substr(63, 6));
  EXPECT_EQ((std::stoi(lines[2].substr(61, 2)) - std::stoi(lines[3].substr(61, 2)) + 24) % 24, 5);
  // Long values widen their lines, never cut.
  StringCopy(record_.info_text, sizeof(record_.info_text), std::string(63, 'y').c_str());
  lines = qm7_test::SplitLines(Out(printMelder));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "**  TEXT=\"" + std::string(63, 'y') + "\"  RETCODE=00               **");
  // An empty TYP (0), a lower-case 'e' and a byte above 127 restart.
  for (char type : {'\0', 'e', static_cast<char>(0xE4)}) {
    record_.melder_type = type;
    lines = qm7_test::SplitLines(Out(printMelder));
    ASSERT_EQ(lines.size(), 6u) << static_cast<int>(type);
    EXPECT_NE(lines[2].find(") RESTART AT DD.MM.YYYY / hh:mm:ss **"), std::string::npos);
  }
  // No output file, no line; a type byte above 127 and the longest name and value print whole.
  EXPECT_EQ(Out(printOutputViewReport, -1), "");
  EXPECT_EQ(Out(printRegisteredVariable), "Registered variable: '' NULL=NULL\n");
  record_.var_type = static_cast<char>(0xE4);
  StringCopy(record_.var_name, sizeof(record_.var_name), std::string(200, 'n').c_str());
  StringCopy(record_.var_value, sizeof(record_.var_value), std::string(1023, 'v').c_str());
  EXPECT_EQ(Out(printRegisteredVariable), "Registered variable: '\xE4' " + std::string(200, 'n') +
                                              "=" + std::string(1023, 'v') + "\n");
}

}  // namespace
