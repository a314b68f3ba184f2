// The job report printed in process: local and UTC time from one reading, lines widened (never
// cut) by long values, the restart banner for every other type, and the variable and output
// lines at their limits. The banners' exact bytes are checked on the built program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

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

  // What `print` writes, and that it returns `result`.
  template <typename Print>
  std::string Out(Print print, int result = 0) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(print(&record_), result);
    return qm7_test::MaskVolatile(testing::internal::GetCapturedStdout());
  }
  std::vector<std::string> Melder() { return qm7_test::SplitLines(Out(printMelder)); }

  static PCX record_;
};

PCX Report::record_;

TEST_F(Report, LocalAndUtcTimesComeFromOneReading) {
  setenv("TZ", "XST-5", 1);  // five hours east of UTC, no daylight saving
  tzset();
  record_.melder_type = 'E';
  testing::internal::CaptureStdout();
  printMelder(&record_);
  const auto lines = qm7_test::SplitLines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 6u);
  auto parse = [](const std::string& line) {
    struct tm t = {};
    EXPECT_EQ(std::sscanf(line.c_str() + 48, "%2d.%2d.%4d / %2d:%2d:%2d", &t.tm_mday, &t.tm_mon,
                          &t.tm_year, &t.tm_hour, &t.tm_min, &t.tm_sec),
              6)
        << line;
    t.tm_year -= 1900;
    return timegm(&t);
  };
  EXPECT_EQ(parse(lines[2]) - parse(lines[3]), 5 * 3600);
}

TEST_F(Report, LongValuesWidenTheirLinesAndOtherTypesRestart) {
  record_.melder_type = 'E';
  StringCopy(record_.info_text, sizeof(record_.info_text), std::string(63, 'y').c_str());
  set_program_name(&record_, "a_rather_long_program");
  record_.jobnri = 123456789;
  auto lines = Melder();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1],
            "**  a_rather_long_program version 12.2.0+build.2108        changelist 1530016094 **");
  EXPECT_NE(lines[2].find("**  JOB 123456789 (ProcID:"), std::string::npos);
  EXPECT_EQ(lines[2].size(), 73u);
  EXPECT_EQ(lines[4], "**  TEXT=\"" + std::string(63, 'y') + "\"  RETCODE=00               **");
  // The default 'U', an empty TYP (0), a lower-case 'e' and a byte above 127 restart.
  for (char type : {'U', '\0', 'e', static_cast<char>(0xE4)}) {
    record_.melder_type = type;
    lines = Melder();
    ASSERT_EQ(lines.size(), 6u) << static_cast<int>(type);
    EXPECT_NE(lines[2].find(") RESTART AT DD.MM.YYYY / hh:mm:ss **"), std::string::npos);
  }
  trcFlag = 1;
  lines = Melder();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "TID         YYYYMMDD/hhmmss.mmm - printMelder() -->");
  EXPECT_EQ(lines[7], "TID         YYYYMMDD/hhmmss.mmm - printMelder <-- (OK)");
}

TEST_F(Report, OutputAndVariableLines) {
  record_.output_login = 'Y';
  EXPECT_EQ(Out(printOutputViewReport, -1), "");
  trcFlag = 1;
  EXPECT_EQ(Out(printOutputViewReport, -1),
            "TID         YYYYMMDD/hhmmss.mmm - printOutputViewReport(filename=,login=Y) -->\n"
            "TID         YYYYMMDD/hhmmss.mmm - printOutputViewReport <-- (filename not defined)\n");
  trcFlag = 0;
  StringCopy(record_.output_file, sizeof(record_.output_file), "/var/log/job 1.out");
  EXPECT_EQ(Out(printOutputViewReport),
            "YYYYMMDD/hhmmss.mmm QM7 messenger 'qm_jpmd', login check 'Y', registered output "
            "file '/var/log/job 1.out'\n\n");

  EXPECT_EQ(Out(printRegisteredVariable), "Registered variable: '' NULL=NULL\n");
  // A type byte above 127 is printed as it is; the longest name and value fit the line.
  record_.var_type = static_cast<char>(0xE4);
  StringCopy(record_.var_name, sizeof(record_.var_name), std::string(200, 'n').c_str());
  StringCopy(record_.var_value, sizeof(record_.var_value), std::string(1023, 'v').c_str());
  EXPECT_EQ(Out(printRegisteredVariable), "Registered variable: '\xE4' " + std::string(200, 'n') +
                                              "=" + std::string(1023, 'v') + "\n");
}

}  // namespace
