// Tests of the steps around the exchange with the agent: which report a run writes, the
// end-of-run trace line and the exit code.
#include <gtest/gtest.h>

#include <string>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

class RunSteps : public testing::Test {
 protected:
  void SetUp() override {
    trcFlag = 0;
    initialize_messenger(&record_);
    set_program_name(&record_, "qm_jpmd");
  }
  void TearDown() override { trcFlag = 0; }

  std::string Report(int expected_result) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_job_report(&record_), expected_result);
    return testing::internal::GetCapturedStdout();
  }

  static PCX record_;
};

PCX RunSteps::record_;

TEST_F(RunSteps, ReportFollowsTheType) {
  record_.melder_type = 'O';
  EXPECT_EQ(Report(-1), "");  // no output file: nothing at all
  StringCopy(record_.output_file, sizeof(record_.output_file), "/tmp/f");
  EXPECT_NE(Report(0).find("registered output file '/tmp/f'"), std::string::npos);

  record_.melder_type = 'V';
  EXPECT_EQ(Report(0), "Registered variable: '' NULL=NULL\n");

  for (char type : {'S', 'E', '0', '1', 'U', '\0'}) {
    record_.melder_type = type;
    std::string out = Report(0);
    EXPECT_EQ(qm7_test::SplitLines(out).size(), 6u) << static_cast<int>(type);
    EXPECT_EQ(out.substr(0, 73), std::string(72, '*') + "\n");
  }
}

TEST_F(RunSteps, ExitCodeIsTheReturnCodeOnlyForAJobEnd) {
  record_.reti = 7;
  record_.melder_type = 'E';
  EXPECT_EQ(messenger_exit_code(&record_), 7);
  record_.melder_type = 'e';
  EXPECT_EQ(messenger_exit_code(&record_), 0);
  for (char type : {'S', '0', '1', 'O', 'V', 'U', '\0'}) {
    record_.melder_type = type;
    EXPECT_EQ(messenger_exit_code(&record_), 0) << static_cast<int>(type);
  }
  record_.melder_type = 'E';
  record_.reti = -1;
  EXPECT_EQ(messenger_exit_code(&record_), -1);
}

TEST_F(RunSteps, EndOfRunTrace) {
  testing::internal::CaptureStdout();
  trace_end_of_run(&record_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  trcFlag = 1;
  testing::internal::CaptureStdout();
  trace_end_of_run(&record_);
  record_.abnormal_end = 1;
  trace_end_of_run(&record_);
  EXPECT_EQ(qm7_test::MaskVolatile(testing::internal::GetCapturedStdout()),
            "TID         YYYYMMDD/hhmmss.mmm - main:      Program QM7 Messenger Version "
            "\"12.2.0+build.2108\" ended normally\n"
            "TID         YYYYMMDD/hhmmss.mmm - main:      Program QM7 Messenger Version "
            "\"12.2.0+build.2108\" ended abnormally\n");
}

}  // namespace
