// Trace lines, dumps and the logger: the exact shapes other tools and people read.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "qm7/runtime/trace.h"
#include "support/stdout_capture.h"

namespace {

// Replaces every decimal digit by 'd', so time stamps compare as a shape.
std::string digits_as_d(std::string text) {
  for (char& c : text) {
    if (c >= '0' && c <= '9') c = 'd';
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class TraceOn : public ::testing::Test {
 protected:
  void SetUp() override { trcFlag = 1; }
  void TearDown() override { trcFlag = 0; }
};

TEST_F(TraceOn, TraceLineHasThreadTimeAndText) {
  qm7_test::StdoutCapture capture;
  QM7_TRACE("%s(argc=%d) -->", "parse_arguments", 3);
  std::string out = capture.Take();

  char thread[32];
  snprintf(thread, sizeof(thread), "%.8lX", static_cast<unsigned long>(pthread_self()));
  std::string head = thread;
  ASSERT_GE(head.size(), 8u);
  ASSERT_EQ(out.substr(0, head.size()), head) << "the whole thread identifier is printed: " << out;
  EXPECT_EQ(digits_as_d(out.substr(head.size())),
            "         dddddddd/dddddd.ddd - parse_arguments(argc=d) -->\n");
}

TEST_F(TraceOn, LongTraceTextIsCutAt2047Characters) {
  qm7_test::StdoutCapture capture;
  std::string big(5000, 'x');
  __trace_text(0, "%s", big.c_str());
  std::string out = capture.Take();
  size_t dash = out.find(" - ");
  ASSERT_NE(dash, std::string::npos);
  EXPECT_EQ(out.size() - (dash + 3) - 1, 2047u);
}

TEST(Trace, NothingIsWrittenOrEvaluatedWhileTracingIsOff) {
  trcFlag = 0;
  int evaluated = 0;
  qm7_test::StdoutCapture capture;
  QM7_TRACE("%d", ++evaluated);
  EXPECT_EQ(capture.Take(), "");
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(trc_level(), 0);
}

TEST(Mprintf, WritesLineAndCutsLongText) {
  qm7_test::StdoutCapture capture;
  EXPECT_EQ(mprintf("QM7 %s", "report"), 0);
  std::string big(3000, 'y');
  mprintf("%s", big.c_str());
  std::string out = capture.Take();
  EXPECT_EQ(out, "QM7 report\n" + std::string(2047, 'y') + "\n");
}

TEST(Logger, MessengerLoggerWritesOnlyFreeTexts) {
  ASSERT_EQ(default_logger, &messenger_logger);
  qm7_test::StdoutCapture capture;
  __log(2000134, "%s", "AGENT/CCM");
  __log(-1, "invalid %s", "kz");
  EXPECT_EQ(capture.Take(), "-1 - invalid kz");
}

std::vector<std::pair<int, std::string>> g_logged;
int recording_logger(int msgnr, const char* insert) {
  g_logged.emplace_back(msgnr, insert);
  return 0;
}

TEST(Logger, ReplaceableLoggerReceivesNumberAndFormattedInsert) {
  g_logged.clear();
  __log_set_logger(recording_logger);
  __log(3301, "%s/%s(%d)", "tag", "src/_ccm/ccm", 42);
  __log_set_logger(messenger_logger);
  ASSERT_EQ(g_logged.size(), 1u);
  EXPECT_EQ(g_logged[0].first, 3301);
  EXPECT_EQ(g_logged[0].second, "tag/src/_ccm/ccm(42)");
}

std::vector<std::string> dump(const void* area, int len, const char* heading) {
  qm7_test::StdoutCapture capture;
  trcdump(area, len, "%s", heading);
  return lines_of(capture.Take());
}

TEST(Trcdump, HeadingIsCutOrPaddedTo68ThenAddressAndLength) {
  unsigned char bytes[1] = {0};
  auto lines = dump(bytes, 0, "recv");
  ASSERT_EQ(lines.size(), 1u) << "0 bytes give only the heading";
  ASSERT_GT(lines[0].size(), 68u);
  std::string heading = "dddddddd/dddddd.ddd Uddddddd TRACE: (recv)";
  heading.resize(68, ' ');
  EXPECT_EQ(digits_as_d(lines[0].substr(0, 68)), heading);
  EXPECT_EQ(lines[0].substr(0, 68).substr(20, 8), "U0009909");
  char address[32];
  snprintf(address, sizeof(address), "%p", static_cast<void*>(bytes));
  EXPECT_EQ(lines[0].substr(68), std::string(address) + " 00000");

  std::string longtext(100, 'h');
  lines = dump(bytes, -3, longtext.c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(68, 2), "0x") << "the cut heading is followed directly by the address";
  EXPECT_EQ(lines[0].substr(lines[0].size() - 6), " -0003");
}

TEST(Trcdump, PartialLinesArePaddedBeforeTheCharacters) {
  const char* ten =
      "AB\x01\x02\x7F"
      "cdefg";
  auto lines = dump(ten, 10, "ten");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], std::string(20, ' ') + "00000000  41420102 7F636465 6667" +
                          std::string(61 - 52, ' ') + "  >AB...cdefg<");
  EXPECT_EQ(lines[1].find("  >"), 61u);

  unsigned char twenty[20];
  for (int i = 0; i < 20; ++i) twenty[i] = static_cast<unsigned char>('a' + i);
  lines = dump(twenty, 20, "twenty");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], std::string(20, ' ') +
                          "00000000  61626364 65666768 696A6B6C 6D6E6F70  >abcdefghijklmnop<");
  EXPECT_EQ(lines[1].find("  >"), 65u);
  EXPECT_EQ(lines[2],
            std::string(20, ' ') + "00000010  71727374" + std::string(65 - 38, ' ') + "  >qrst<");
}

TEST(Trcdump, RepeatedLinesAreFoldedIntoTheFirst) {
  unsigned char same[64];
  memset(same, 0x20, sizeof(same));
  auto lines = dump(same, 64, "blanks");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], std::string(20, ' ') + "00000000= 20202020 20202020 20202020 20202020  >" +
                          std::string(16, ' ') + "<");
  EXPECT_EQ(lines[2].substr(20, 9), "00000030 ");

  // A difference after a run shows the offset where the data differ again.
  unsigned char run[50];
  memset(run, 0, sizeof(run));
  run[40] = 1;
  lines = dump(run, 50, "run");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1][28], '=');
  EXPECT_EQ(lines[2], std::string(20, ' ') +
                          "00000020  00000000 00000000 01000000 00000000  >................<");
  EXPECT_EQ(lines[3],
            std::string(20, ' ') + "00000030  0000" + std::string(65 - 34, ' ') + "  >..<");

  // Exactly 16 bytes remaining after a line are shown, not folded.
  unsigned char two[32];
  memset(two, 7, sizeof(two));
  lines = dump(two, 32, "two");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1][28], ' ');
}

TEST(Trcdump, LimitedDumpAndGssProbeDoNothing) {
  qm7_test::StdoutCapture capture;
  trcdump_limited("abc", 3, 1, "%s", "x");
  EXPECT_EQ(capture.Take(), "");
  EXPECT_EQ(is_gss_message(nullptr, nullptr), 0);
}

}  // namespace
