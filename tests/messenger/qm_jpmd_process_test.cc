// The built qm_jpmd's standard output and exit code, byte for byte, for each kind of report,
// the version switch and the trace of a whole run. RETRY=0 keeps every run off the network.
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

}  // namespace
