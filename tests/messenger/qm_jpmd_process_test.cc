// Runs the built qm_jpmd as a process and checks its standard output and exit code for each
// kind of report, the version switch and the trace. RETRY=0 keeps every run off the network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "messenger/harness.h"

namespace {

using qm7_test::MaskVolatile;
using qm7_test::run_result;

run_result RunQmJpmd(const std::vector<std::string>& args) { return qm7_test::RunMessenger(args); }

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

TEST(QmJpmdProcess, JobStart) {
  run_result r = RunQmJpmd({"TYP=S", "JNR=1234", "TXT=started", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(MaskVolatile(r.out),
            kStars + kVersion + "**  JOB 00001234 (ProcID:" + OurPid10() +
                ") START AT   DD.MM.YYYY / hh:mm:ss **\n" + kUtc +
                "**  TEXT=\"started                         \"                           **\n" +
                kStars);
  // The child runs with TZ=UTC0, so its local and UTC times are one text.
  std::vector<std::string> lines = qm7_test::SplitLines(r.out);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2].substr(48, 21), lines[3].substr(48, 21));
}

TEST(QmJpmdProcess, JobEndExitsWithTheReturnCode) {
  run_result r = RunQmJpmd({"TYP=E", "RET=7", "JNR=42", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_EQ(MaskVolatile(r.out),
            kStars + kVersion + "**  JOB 00000042 (ProcID:" + OurPid10() +
                ") ENDED AT   DD.MM.YYYY / hh:mm:ss **\n" + kUtc +
                "**  TEXT=\"                                \"  RETCODE=07               **\n" +
                kStars);

  // The parent sees the low 8 bits of the return code.
  EXPECT_EQ(RunQmJpmd({"TYP=E", "RET=300", "RETRY=0"}).exit_code, 300 & 0xFF);
  // Only an upper-case E is a job end.
  EXPECT_EQ(RunQmJpmd({"TYP=e", "RET=7", "RETRY=0"}).exit_code, 0);
  EXPECT_EQ(RunQmJpmd({"TYP=S", "RET=7", "RETRY=0"}).exit_code, 0);
}

TEST(QmJpmdProcess, SnoozeAndWakeup) {
  run_result r = RunQmJpmd({"TYP=0", "IPA=127.0.0.1", "PNR=4711", "RETRY=0", "WAIT=7"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(MaskVolatile(r.out),
            kStars + kVersion +
                "**  SNOOZE-Message, TCP/IP = '127.0.0.1      ' PNR=4711             **\n" + kUtc +
                "**  parameters           : RETRY=00, WAIT=07                        **\n" +
                kStars);
  r = RunQmJpmd({"TYP=1", "IPA=::1", "PNR=1", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(MaskVolatile(r.out),
            kStars + kVersion +
                "**  WAKEUP-Message, TCP/IP = '::1            ' PNR=1             **\n" + kUtc +
                "**  parameters           : RETRY=00, WAIT=120                        **\n" +
                kStars);
}

TEST(QmJpmdProcess, OutputFileRegistration) {
  run_result r = RunQmJpmd({"TYP=O", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");

  r = RunQmJpmd({"TYP=O", "OUTFILE=/tmp/job.out", "ULOGIN=Y", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(MaskVolatile(r.out),
            "YYYYMMDD/hhmmss.mmm QM7 messenger 'qm_jpmd', login check 'Y', registered output "
            "file '/tmp/job.out'\n\n");
}

TEST(QmJpmdProcess, VariableRegistration) {
  run_result r = RunQmJpmd({"TYP=V", "NAME=X", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Registered variable: '' X=NULL\n");

  r = RunQmJpmd({"TYP=V", "NAME=COUNT", "VALUE=a=1", "VTYPE=N", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Registered variable: 'N' COUNT=a=1\n");
}

TEST(QmJpmdProcess, RestartWithoutType) {
  run_result r = RunQmJpmd({"RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(MaskVolatile(r.out),
            kStars + kVersion + "**  JOB 00000000 (ProcID:" + OurPid10() +
                ") RESTART AT DD.MM.YYYY / hh:mm:ss **\n" + kUtc +
                "**  TEXT=\"                                \"                           **\n" +
                kStars);
}

TEST(QmJpmdProcess, VersionSwitch) {
  run_result r = RunQmJpmd({"-V"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "QM7 Agent \"qm_jpmd\" version 12.2.0+build.2108, changelist '1530016094'\n");

  // Beside other arguments "-V" is an unknown key: the run reports as usual.
  r = RunQmJpmd({"-V", "TYP=E", "RET=3", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out.find("QM7 Agent"), std::string::npos);
  EXPECT_NE(r.out.find(") ENDED AT   "), std::string::npos);

  // Case matters.
  r = RunQmJpmd({"-v", "RETRY=0"});
  EXPECT_EQ(r.out.find("QM7 Agent"), std::string::npos);
  EXPECT_NE(r.out.find(") RESTART AT "), std::string::npos);
}

TEST(QmJpmdProcess, TraceShowsTheWholeRun) {
  run_result r = RunQmJpmd({"TRC=1", "TYP=S", "JNR=5", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  const std::string p = "TID         YYYYMMDD/hhmmss.mmm - ";
  const std::string f = p + "parse_arguments:      ";
  // The channel manager's own lines (opened and closed again even without an attempt) are
  // checked with the channel manager; here the messenger's lines count.
  std::string own;
  for (const std::string& line : qm7_test::SplitLines(MaskVolatile(r.out))) {
    if (line.rfind(p + "ccm_", 0) != 0) own += line + "\n";
  }
  EXPECT_EQ(own,
            qm7_test::JoinLines({
                f + "argument-02 : TYP=S",
                f + "key(TYP) = value(S)",
                f + "argument-03 : JNR=5",
                f + "key(JNR) = value(5)",
                f + "argument-04 : RETRY=0",
                f + "key(RETRY) = value(0)",
                f + "TCP/IP address                 : ''",
                f + "port number                    : '0'",
                f + "job number                     : '5'",
                f + "client                         : '0'",
                f + "result                         : '0'",
                f + "information                    : ''",
                f + "type                           : 'R'",
                p + "parse_arguments <-- (OK)",
                p + "printMelder() -->",
                std::string(72, '*'),
                "**  qm_jpmd    version 12.2.0+build.2108        changelist 1530016094 **",
                "**  JOB 00000005 (ProcID:" + OurPid10() + ") START AT   DD.MM.YYYY / hh:mm:ss **",
                "**                                   UTC TIME   DD.MM.YYYY / hh:mm:ss **",
                "**  TEXT=\"                                \"                           **",
                std::string(72, '*'),
                p + "printMelder <-- (OK)",
                p + "main:      report not delivered to the agent at  port 0 while connecting: "
                    "no connection attempt (RETRY=0)",
                p + "main:      Program QM7 Messenger Version \"12.2.0+build.2108\" ended normally",
            }));
}

TEST(QmJpmdProcess, QuietWithoutTrace) {
  run_result r = RunQmJpmd({"TRC=0", "TYP=V", "NAME=A", "VALUE=B", "RETRY=0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Registered variable: '' A=B\n");
}

}  // namespace
