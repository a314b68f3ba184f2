// The built qm_jpmd's standard output and exit code, byte for byte, for each kind of report,
// the version switch and the trace of a whole run. RETRY=0 keeps every run off the network.
// Then what an operator's mistakes give: the standard-error lines, standard output as without
// the mistake, the exit codes, FAILRET, and the companion tools' options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "messenger/harness.h"

namespace {

using qm7_test::MaskVolatile;
using qm7_test::RunMessenger;
using qm7_test::RunProgram;

// The ProcID of the banner is the messenger's parent: this test process.
std::string OurPid10() {
  char text[16];
  std::snprintf(text, sizeof(text), "%010d", static_cast<int>(getpid()));
  return text;
}

const std::string kStars = std::string(72, '*') + "\n";
const std::string kVersion =
    "**  qm_jpmd    version 12.2.0+build.2108        changelist 1530016094 **\n";
const std::string kUtc =
    "**                                   UTC TIME   DD.MM.YYYY / hh:mm:ss **\n";

std::string Banner(const std::string& third, const std::string& fifth) {
  return kStars + kVersion + third + "\n" + kUtc + fifth + "\n" + kStars;
}
std::string Job(const std::string& number, const char* what) {
  return "**  JOB " + number + " (ProcID:" + OurPid10() + ") " + what + " DD.MM.YYYY / hh:mm:ss **";
}

// Each run's standard output, without the channel manager's own trace lines (checked with the
// channel manager) and the argument lines of parse_arguments (checked in process).
TEST(QmJpmdProcess, EveryKindOfReportByteForByte) {
  const std::string no_text = "**  TEXT=\"                                \"";
  const std::string p = "TID         YYYYMMDD/hhmmss.mmm - ";
  const std::string not_delivered =
      "report not delivered to the agent at  port 0 while connecting: no connection attempt "
      "(RETRY=0)";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string out;
  } cases[] = {
      {{"TYP=S", "JNR=1234", "TXT=started"},
       0,
       Banner(Job("00001234", "START AT  "),
              "**  TEXT=\"started                         \"                           **")},
      {{"TYP=E", "RET=7", "JNR=42"},
       7,
       Banner(Job("00000042", "ENDED AT  "), no_text + "  RETCODE=07               **")},
      {{"TYP=E", "RET=300"}, 300 & 0xFF, ""},  // the parent sees the low 8 bits
      {{"TYP=e", "RET=7"}, 0, ""},             // only an upper-case E is a job end
      {{"TYP=S", "RET=7"}, 0, ""},
      {{}, 0, Banner(Job("00000000", "RESTART AT"), no_text + "                           **")},
      {{"TYP=0", "IPA=127.0.0.1", "PNR=4711", "WAIT=7"},
       0,
       Banner("**  SNOOZE-Message, TCP/IP = '127.0.0.1      ' PNR=4711             **",
              "**  parameters           : RETRY=00, WAIT=07                        **")},
      {{"TYP=1", "IPA=::1", "PNR=1"},
       0,
       Banner("**  WAKEUP-Message, TCP/IP = '::1            ' PNR=1             **",
              "**  parameters           : RETRY=00, WAIT=120                        **")},
      {{"TYP=O"}, 0, ""},
      {{"TYP=O", "OUTFILE=/tmp/job.out", "ULOGIN=Y"},
       0,
       "YYYYMMDD/hhmmss.mmm QM7 messenger 'qm_jpmd', login check 'Y', registered output file "
       "'/tmp/job.out'\n\n"},
      {{"TYP=V", "NAME=X"}, 0, "Registered variable: '' X=NULL\n"},
      {{"TYP=V", "NAME=COUNT", "VALUE=a=1", "VTYPE=N", "TRC=0"},
       0,
       "Registered variable: 'N' COUNT=a=1\n"},
      {{"-V"}, 0, "QM7 Agent \"qm_jpmd\" version 12.2.0+build.2108, changelist '1530016094'\n"},
      // Beside other arguments, or in lower case, "-V" is an unknown key.
      {{"-v", "TYP=E", "RET=3"},
       3,
       Banner(Job("00000000", "ENDED AT  "), no_text + "  RETCODE=03               **")},
      // The trace of a whole run.
      {{"TRC=1", "TYP=S", "JNR=5"},
       0,
       p + "parse_arguments <-- (OK)\n" + p + "printMelder() -->\n" +
           Banner(Job("00000005", "START AT  "), no_text + "                           **") + p +
           "printMelder <-- (OK)\n" + p + "main:      " + not_delivered + "\n" + p +
           "main:      Program QM7 Messenger Version \"12.2.0+build.2108\" ended normally\n"},
  };
  for (const auto& c : cases) {
    auto args = c.args;
    if (args != std::vector<std::string>{"-V"}) args.push_back("RETRY=0");
    auto r = RunMessenger(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << testing::PrintToString(args);
    std::string out;
    for (const std::string& line : qm7_test::SplitLines(MaskVolatile(r.out))) {
      if (line.rfind(p + "ccm_", 0) != 0 && line.rfind(p + "parse_arguments:", 0) != 0) {
        out += line + "\n";
      }
    }
    if (!c.out.empty() || args[0] == "TYP=O") {
      EXPECT_EQ(out, c.out) << testing::PrintToString(args);
    }
    if (args[0] == "TRC=1") {
      EXPECT_EQ(r.err, "qm_jpmd: " + not_delivered + "\n");
    }
  }
  // The child runs with TZ=UTC0, so its local and UTC times are one text.
  auto lines = qm7_test::SplitLines(RunMessenger({"TYP=S", "RETRY=0"}).out);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2].substr(48, 21), lines[3].substr(48, 21));
}

// A standard output without reader ends neither the run nor its exit code; the lost report is
// told once on standard error, also when trace lines follow it.
TEST(QmJpmdProcess, ClosedStandardOutputIsToldOnceAndKeepsTheExitCode) {
  qm7_test::spawn_options opts;
  opts.broken_stdout = true;
  const std::string lost = "qm_jpmd: the report could not be written to standard output: ";
  for (const char* trc : {"TRC=0", "TRC=1"}) {
    auto r = RunMessenger({"TYP=E", "RET=5", "RETRY=0", trc}, opts);
    EXPECT_EQ(r.exit_code, 5) << trc;
    EXPECT_EQ(qm7_test::CountLines(r.err, lost), 1) << r.err;
    EXPECT_EQ(qm7_test::CountLines(r.err, lost + std::strerror(EPIPE)), 1) << r.err;
    EXPECT_EQ(qm7_test::CountLines(r.err, "report not delivered"), 1) << r.err;
  }
}

// Each run: a program of the build and its arguments, the exit code, the beginnings of its
// standard-error lines in order ("port P": the closed port; the program's name is put in front
// of each but a "Try" line), and the arguments of a run whose standard output it must equal
// byte for byte, or the text its standard output begins with.
TEST(QmJpmdProcess, MistakesAreNamedOnStandardErrorAndChangeNothingElse) {
  const int closed = qm7_test::UnusedPort();
  qm7_test::raw_agent agent([](int) { return qm7_test::conn_mode::greet_and_answer; });
  const std::string ipa = "IPA=127.0.0.1", pnr = "PNR=" + std::to_string(closed);
  const std::string refused = "connection refused by 127.0.0.1 port P", nd = "report not delivered";
  const std::string version = "\" version 12.2.0+build.2108, changelist '1530016094'\n";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::vector<std::string> err, same_out_as;
    std::string out_begins = "";
  } cases[] = {
      // clang-format off
      {{"qm_jpmd", "TPY=E", "JNR=17", "RET=4", "RETRY=0"}, 0, {"unknown key 'TPY' ignored", nd},
       {"JNR=17", "RET=4", "RETRY=0"}},
      {{"qm_jpmd", "TYP=E", "RET=abc", "JNR=17x", "RETRY=0"}, 0,
       {"RET=abc is not a number; 0 used", "JNR=17x is not a number; 17 used", nd},
       {"TYP=E", "JNR=17", "RETRY=0"}},
      {{"qm_jpmd", "JNR=", "TYP=V", "RETRY=0"}, 0,
       {"JNR= has no value; 0 used", "TYP=V without NAME; an empty name used", nd},
       {"TYP=V", "RETRY=0"}},
      {{"qm_jpmd", "TYP=0", "WAIT=2147483647", "RETRY=1000000", "MNR=70000", "IPA= "}, 0,
       {"WAIT=2147483647 is above 600; 600 used", "RETRY=1000000 is above 100; 100 used",
        "MNR=70000 does not fit in 16 bits; 4464 used", nd},
       {"TYP=0", "WAIT=600", "RETRY=100", "MNR=4464", "IPA= "}},
      {{"qm_jpmd", "--help"}, 0, {}, {}, "Usage: qm_jpmd KEY=value ...\n"},
      {{"qm_jpmd", "-h"}, 0, {}, {}, "Usage: qm_jpmd KEY=value ...\n"},
      {{"qm_jpmd", "--version"}, 0, {}, {"-V"}},
      // Each failed attempt but the last is told at once; the reason in plain words first.
      {{"qm_jpmd", "TYP=E", "RET=4", ipa, pnr, "RETRY=2", "WAIT=1"}, 4,
       {"attempt 1 of 2 to reach the agent at 127.0.0.1 port P failed: " + refused +
        "; next attempt in 1 second\n",
        nd + " to the agent at 127.0.0.1 port P while connecting: 2 attempts used up, the last: " +
        refused + " (*ID2|111(Connection refused),S("},
       {"TYP=E", "RET=4", "RETRY=0"}},
      // FAILRET: the exit code of a report not delivered, and only of one.
      {{"qm_jpmd", "TYP=E", "RET=7", ipa, pnr, "RETRY=1", "FAILRET=3"}, 3, {nd}, {}},
      {{"qm_jpmd", "TYP=S", "RETRY=0", "FAILRET=255"}, 255, {nd}, {}},
      {{"qm_jpmd", "TYP=E", "RET=7", ipa, agent.Pnr(), "FAILRET=3"}, 7, {}, {}},
      {{"qm_jpmd", "TYP=E", "RET=7", "FAILRET=256", "RETRY=0"}, 7,
       {"FAILRET=256 is not an exit code (0 to 255); ignored", nd}, {}},
      {{"qm7-agent-sim", "--version"}, 0, {}, {}, "QM7 Agent \"qm7-agent-sim" + version},
      {{"qm7-token", "--version"}, 0, {}, {}, "QM7 Agent \"qm7-token" + version},
      {{"qm7-token", "-x"}, 2, {"unknown option '-x'\n", "Try 'qm7-token --help'."}, {}},
      {{"qm7-agent-sim", "-x"}, 2, {"unknown option '-x'\n", "Try 'qm7-agent-sim --help'."}, {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto r =
        RunProgram(c.args[0], std::vector<std::string>(c.args.begin() + 1, c.args.end()));
    EXPECT_EQ(r.exit_code, c.exit_code);
    const auto lines = qm7_test::SplitLines(r.err);
    ASSERT_EQ(lines.size(), c.err.size()) << r.err;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::string want = (c.err[i].rfind("Try", 0) == 0 ? "" : c.args[0] + ": ") + c.err[i];
      for (size_t at; (at = want.find("port P")) != std::string::npos;) {
        want.replace(at, 6, "port " + std::to_string(closed));
      }
      EXPECT_EQ((lines[i] + "\n").rfind(want, 0), 0u) << lines[i];
    }
    if (!c.same_out_as.empty()) {
      EXPECT_EQ(MaskVolatile(r.out), MaskVolatile(RunMessenger(c.same_out_as).out));
    }
    EXPECT_EQ(r.out.rfind(c.out_begins, 0), 0u) << r.out;
  }
}

}  // namespace
