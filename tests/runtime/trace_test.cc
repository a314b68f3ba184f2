// Trace lines, dumps and the logger: the exact shapes other tools and people read.
#include "qm7/runtime/trace.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/stdout_capture.h"

namespace {

// Replaces every decimal digit by 'd', so time stamps compare as a shape.
std::string digits_as_d(std::string text) {
  for (char& c : text) {
    if (c >= '0' && c <= '9') c = 'd';
  }
  return text;
}

TEST(Trace, LineHasThreadTimeAndTextAndIsCutAt2047Characters) {
  trcFlag = 1;
  qm7_test::StdoutCapture capture;
  QM7_TRACE("%s(argc=%d) -->", "parse_arguments", 3);
  __trace_text(0, "%s", std::string(5000, 'x').c_str());
  const std::string out = capture.Take();
  trcFlag = 0;

  char thread[32];
  snprintf(thread, sizeof(thread), "%.8lX", static_cast<unsigned long>(pthread_self()));
  const std::string head = thread;
  const std::string stamp = "         dddddddd/dddddd.ddd - ";
  const size_t first_end = out.find('\n') + 1;
  ASSERT_EQ(out.substr(0, head.size()), head) << "the whole thread identifier is printed: " << out;
  EXPECT_EQ(digits_as_d(out.substr(head.size(), first_end - head.size())),
            stamp + "parse_arguments(argc=d) -->\n");
  EXPECT_EQ(digits_as_d(out.substr(first_end + head.size())),
            stamp + std::string(2047, 'x') + "\n");
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

std::vector<std::pair<int, std::string>> g_logged;
int recording_logger(int msgnr, const char* insert) {
  g_logged.emplace_back(msgnr, insert);
  return 0;
}

TEST(Logger, MprintfAndTheLoggers) {
  ASSERT_EQ(default_logger, &messenger_logger);
  qm7_test::StdoutCapture capture;
  EXPECT_EQ(mprintf("QM7 %s", "report"), 0);
  mprintf("%s", std::string(3000, 'y').c_str());  // cut at 2047 characters
  __log(2000134, "%s", "AGENT/CCM");              // the messenger logger shows free texts only
  __log(-1, "invalid %s", "kz");
  EXPECT_EQ(capture.Take(), "QM7 report\n" + std::string(2047, 'y') + "\n-1 - invalid kz");

  g_logged.clear();
  __log_set_logger(recording_logger);
  __log(3301, "%s/%s(%d)", "tag", "src/_ccm/ccm", 42);
  __log_set_logger(messenger_logger);
  EXPECT_EQ(g_logged, (std::vector<std::pair<int, std::string>>{{3301, "tag/src/_ccm/ccm(42)"}}));
}

std::vector<std::string> dump(const void* area, int len, const char* heading) {
  qm7_test::StdoutCapture capture;
  trcdump(area, len, "%s", heading);
  std::vector<std::string> lines;
  std::istringstream in(capture.Take());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::string kIndent(20, ' ');

TEST(Trcdump, HeadingIsCutOrPaddedTo68ThenAddressAndLength) {
  unsigned char bytes[1] = {0};
  auto lines = dump(bytes, 0, "recv");
  ASSERT_EQ(lines.size(), 1u) << "0 bytes give only the heading";
  std::string heading = "dddddddd/dddddd.ddd Uddddddd TRACE: (recv)";
  heading.resize(68, ' ');
  EXPECT_EQ(digits_as_d(lines[0].substr(0, 68)), heading);
  EXPECT_EQ(lines[0].substr(20, 8), "U0009909");
  char address[32];
  snprintf(address, sizeof(address), "%p", static_cast<void*>(bytes));
  EXPECT_EQ(lines[0].substr(68), std::string(address) + " 00000");

  lines = dump(bytes, -3, std::string(100, 'h').c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(68), std::string(address) + " -0003");
}

TEST(Trcdump, PartialLinesArePaddedBeforeTheCharacters) {
  auto lines = dump(
      "AB\x01\x02\x7F"
      "cdefg",
      10, "ten");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            kIndent + "00000000  41420102 7F636465 6667" + std::string(9, ' ') + "  >AB...cdefg<");

  // After a full line, a short one is padded to the full line's width.
  lines = dump("abcdefghijklmnopqrst", 20, "twenty");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1],
            kIndent + "00000000  61626364 65666768 696A6B6C 6D6E6F70  >abcdefghijklmnop<");
  EXPECT_EQ(lines[2], kIndent + "00000010  71727374" + std::string(27, ' ') + "  >qrst<");
}

TEST(Trcdump, RepeatedLinesAreFoldedIntoTheFirst) {
  unsigned char same[64];
  memset(same, 0x20, sizeof(same));
  auto lines = dump(same, 64, "blanks");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], kIndent + "00000000= 20202020 20202020 20202020 20202020  >" +
                          std::string(16, ' ') + "<");
  EXPECT_EQ(lines[2].substr(20, 9), "00000030 ");

  // A difference after a run shows the offset where the data differ again.
  unsigned char run[50] = {};
  run[40] = 1;
  lines = dump(run, 50, "run");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1][28], '=');
  EXPECT_EQ(lines[2],
            kIndent + "00000020  00000000 00000000 01000000 00000000  >................<");
  EXPECT_EQ(lines[3], kIndent + "00000030  0000" + std::string(31, ' ') + "  >..<");

  // Exactly 16 bytes remaining after a line are shown, not folded.
  lines = dump(same, 32, "two");
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
