// Tests of the job report: banner lines byte for byte and their widths, the line chosen for
// each kind of report, local and UTC time taken from the same reading, and the output-file
// and variable lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

const std::string kStars(72, '*');
const std::string kVersionLine =
    "**  qm_jpmd    version 12.2.0+build.2108        changelist 1530016094 **";

class Report : public testing::Test {
 protected:
  void SetUp() override {
    trcFlag = 0;
    setenv("TZ", "UTC0", 1);
    tzset();
    initialize_messenger(&record_);
    set_program_name(&record_, "/bin/qm_jpmd");
  }
  void TearDown() override { trcFlag = 0; }

  std::vector<std::string> Melder() {
    testing::internal::CaptureStdout();
    EXPECT_EQ(printMelder(&record_), 0);
    return qm7_test::SplitLines(testing::internal::GetCapturedStdout());
  }

  static std::string Pid10() {
    char text[16];
    std::snprintf(text, sizeof(text), "%010d", static_cast<int>(getppid()));
    return text;
  }

  static PCX record_;
};

PCX Report::record_;

TEST_F(Report, StartBannerByteForByte) {
  record_.melder_type = 'S';
  record_.jobnri = 1234;
  StringCopy(record_.info_text, sizeof(record_.info_text), "hello");
  std::vector<std::string> lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], kStars);
  EXPECT_EQ(lines[1], kVersionLine);
  EXPECT_EQ(qm7_test::MaskVolatile(lines[2]),
            "**  JOB 00001234 (ProcID:" + Pid10() + ") START AT   DD.MM.YYYY / hh:mm:ss **");
  EXPECT_EQ(qm7_test::MaskVolatile(lines[3]),
            "**                                   UTC TIME   DD.MM.YYYY / hh:mm:ss **");
  EXPECT_EQ(lines[4], "**  TEXT=\"hello                           \"                           **");
  EXPECT_EQ(lines[5], kStars);
  for (const std::string& line : lines) EXPECT_EQ(line.size(), 72u) << line;
  EXPECT_EQ(wPid, getppid());
  // In a UTC time zone the local and the UTC time of the one reading are the same text.
  EXPECT_EQ(lines[2].substr(48, 21), lines[3].substr(48, 21));
}

TEST_F(Report, LocalAndUtcTimesComeFromOneReading) {
  setenv("TZ", "XST-5", 1);  // five hours east of UTC, no daylight saving
  tzset();
  record_.melder_type = 'E';
  std::vector<std::string> lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  // The date text stands at column 48 of both lines: "dd.mm.yyyy / hh:mm:ss".
  auto parse = [](const std::string& line) {
    struct tm t = {};
    EXPECT_EQ(std::sscanf(line.c_str() + 48, "%2d.%2d.%4d / %2d:%2d:%2d", &t.tm_mday, &t.tm_mon,
                          &t.tm_year, &t.tm_hour, &t.tm_min, &t.tm_sec),
              6)
        << line;
    t.tm_mon -= 1;
    t.tm_year -= 1900;
    return t;
  };
  struct tm lt = parse(lines[2]);
  struct tm ut = parse(lines[3]);
  EXPECT_EQ(timegm(&lt) - timegm(&ut), 5 * 3600);
}

TEST_F(Report, EndBannerCarriesTheReturnCode) {
  record_.melder_type = 'E';
  record_.status = 'E';
  record_.jobnri = 99999999;
  record_.reti = 5;
  std::vector<std::string> lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(qm7_test::MaskVolatile(lines[2]),
            "**  JOB 99999999 (ProcID:" + Pid10() + ") ENDED AT   DD.MM.YYYY / hh:mm:ss **");
  EXPECT_EQ(lines[4], "**  TEXT=\"                                \"  RETCODE=05               **");
  for (const std::string& line : lines) EXPECT_EQ(line.size(), 72u) << line;
}

TEST_F(Report, SnoozeAndWakeupShowAddressAndAttempts) {
  record_.melder_type = '0';
  StringCopy(record_.ipAddr, sizeof(record_.ipAddr), "10.1.2.3");
  record_.portnri = 4711;
  std::vector<std::string> lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "**  SNOOZE-Message, TCP/IP = '10.1.2.3       ' PNR=4711             **");
  EXPECT_EQ(lines[2].size(), 70u);
  EXPECT_EQ(lines[4], "**  parameters           : RETRY=03, WAIT=120                        **");
  EXPECT_EQ(lines[4].size(), 71u);

  record_.melder_type = '1';
  record_.connect_retry = 1;
  record_.connect_wait = 5;
  lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "**  WAKEUP-Message, TCP/IP = '10.1.2.3       ' PNR=4711             **");
  EXPECT_EQ(lines[4], "**  parameters           : RETRY=01, WAIT=05                        **");
}

TEST_F(Report, RestartForEveryOtherType) {
  // The default 'U', an empty TYP (0), a lower-case 'e' and a byte above 127.
  for (char type : {'U', '\0', 'e', static_cast<char>(0xE4)}) {
    record_.melder_type = type;
    StringCopy(record_.info_text, sizeof(record_.info_text), "t");
    std::vector<std::string> lines = Melder();
    ASSERT_EQ(lines.size(), 6u) << static_cast<int>(type);
    EXPECT_EQ(qm7_test::MaskVolatile(lines[2]),
              "**  JOB 00000000 (ProcID:" + Pid10() + ") RESTART AT DD.MM.YYYY / hh:mm:ss **");
    EXPECT_EQ(lines[4],
              "**  TEXT=\"t                               \"                           **");
  }
}

TEST_F(Report, LongValuesWidenTheirLinesWithoutCutting) {
  record_.melder_type = 'S';
  std::string text40(40, 'x');
  StringCopy(record_.info_text, sizeof(record_.info_text), text40.c_str());
  set_program_name(&record_, "a_rather_long_program");
  record_.jobnri = 123456789;
  std::vector<std::string> lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "**  TEXT=\"" + text40 + "\"                           **");
  EXPECT_EQ(lines[4].size(), 80u);
  EXPECT_EQ(lines[1],
            "**  a_rather_long_program version 12.2.0+build.2108        changelist 1530016094 **");
  EXPECT_NE(lines[2].find("JOB 123456789 (ProcID:"), std::string::npos);
  EXPECT_EQ(lines[2].size(), 73u);

  // The longest text, 63 characters, is printed whole as well.
  record_.melder_type = 'E';
  std::string text63(63, 'y');
  StringCopy(record_.info_text, sizeof(record_.info_text), text63.c_str());
  lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "**  TEXT=\"" + text63 + "\"  RETCODE=00               **");
}

TEST_F(Report, MelderTraceFramesTheBanner) {
  trcFlag = 1;
  record_.melder_type = 'S';
  std::vector<std::string> lines = Melder();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(qm7_test::MaskVolatile(lines[0]),
            "TID         YYYYMMDD/hhmmss.mmm - printMelder() -->");
  EXPECT_EQ(lines[1], kStars);
  EXPECT_EQ(qm7_test::MaskVolatile(lines[7]),
            "TID         YYYYMMDD/hhmmss.mmm - printMelder <-- (OK)");
}

TEST_F(Report, OutputViewLine) {
  record_.melder_type = 'O';
  testing::internal::CaptureStdout();
  EXPECT_EQ(printOutputViewReport(&record_), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  StringCopy(record_.output_file, sizeof(record_.output_file), "/var/log/job 1.out");
  record_.output_login = 'Y';
  testing::internal::CaptureStdout();
  EXPECT_EQ(printOutputViewReport(&record_), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(qm7_test::MaskVolatile(out),
            "YYYYMMDD/hhmmss.mmm QM7 messenger 'qm_jpmd', login check 'Y', registered output "
            "file '/var/log/job 1.out'\n\n");

  trcFlag = 1;
  record_.output_file[0] = '\0';
  testing::internal::CaptureStdout();
  EXPECT_EQ(printOutputViewReport(&record_), -1);
  EXPECT_EQ(qm7_test::MaskVolatile(testing::internal::GetCapturedStdout()),
            "TID         YYYYMMDD/hhmmss.mmm - printOutputViewReport(filename=,login=Y) -->\n"
            "TID         YYYYMMDD/hhmmss.mmm - printOutputViewReport <-- (filename not defined)\n");
}

TEST_F(Report, RegisteredVariableLine) {
  auto line = [&]() {
    testing::internal::CaptureStdout();
    EXPECT_EQ(printRegisteredVariable(&record_), 0);
    return testing::internal::GetCapturedStdout();
  };
  StringCopy(record_.var_name, sizeof(record_.var_name), "X");
  EXPECT_EQ(line(), "Registered variable: '' X=NULL\n");

  record_.var_type = 'S';
  StringCopy(record_.var_value, sizeof(record_.var_value), "a b=c");
  EXPECT_EQ(line(), "Registered variable: 'S' X=a b=c\n");

  record_.var_name[0] = '\0';
  EXPECT_EQ(line(), "Registered variable: 'S' NULL=a b=c\n");

  // A byte above 127 is printed as it is and the line stays whole.
  record_.var_type = static_cast<char>(0xE4);
  StringCopy(record_.var_name, sizeof(record_.var_name), "N");
  EXPECT_EQ(line(), "Registered variable: '\xE4' N=a b=c\n");

  // The longest name and value fit the output line.
  StringCopy(record_.var_name, sizeof(record_.var_name), std::string(200, 'n').c_str());
  StringCopy(record_.var_value, sizeof(record_.var_value), std::string(1023, 'v').c_str());
  record_.var_type = 'N';
  EXPECT_EQ(line(), "Registered variable: 'N' " + std::string(200, 'n') + "=" +
                        std::string(1023, 'v') + "\n");
}

}  // namespace
