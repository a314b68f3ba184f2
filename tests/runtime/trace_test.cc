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

using Lines = std::vector<std::string>;

Lines dump(const void* area, int len, const char* heading = "dump") {
  qm7_test::StdoutCapture capture;
  trcdump(area, len, "%s", heading);
  Lines lines;
  std::istringstream in(capture.Take());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The dump lines behind the heading.
Lines body(const void* area, int len) {
  Lines lines = dump(area, len);
  return Lines(lines.begin() + 1, lines.end());
}

const std::string kIndent(20, ' ');

TEST(Trcdump, HeadingIsCutOrPaddedTo68ThenAddressAndLength) {
  unsigned char bytes[1] = {0};
  std::string heading = "dddddddd/dddddd.ddd Uddddddd TRACE: (recv)";
  heading.resize(68, ' ');
  char address[32];
  snprintf(address, sizeof(address), "%p", static_cast<void*>(bytes));
  Lines lines = dump(bytes, 0, "recv");  // 0 bytes: the heading only
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(digits_as_d(lines[0].substr(0, 68)), heading);
  EXPECT_EQ(lines[0].substr(20, 8), "U0009909");
  EXPECT_EQ(lines[0].substr(68), std::string(address) + " 00000");
  lines = dump(bytes, -3, std::string(100, 'h').c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(68), std::string(address) + " -0003");
}

TEST(Trcdump, ShortLinesArePaddedAndRepeatedLinesFolded) {
  EXPECT_EQ(
      body("AB\x01\x02\x7F"
           "cdefg",
           10),
      Lines{kIndent + "00000000  41420102 7F636465 6667" + std::string(9, ' ') + "  >AB...cdefg<"});
  // After a full line, a short one is padded to the full line's width.
  EXPECT_EQ(body("abcdefghijklmnopqrst", 20),
            (Lines{kIndent + "00000000  61626364 65666768 696A6B6C 6D6E6F70  >abcdefghijklmnop<",
                   kIndent + "00000010  71727374" + std::string(27, ' ') + "  >qrst<"}));

  // A run is marked behind the first line's offset; the data that differ again follow.
  unsigned char run[64] = {};
  run[40] = 1;
  const std::string zeros = " 00000000 00000000 00000000 00000000  >................<";
  EXPECT_EQ(body(run, 50),
            (Lines{kIndent + "00000000=" + zeros,
                   kIndent + "00000020  00000000 00000000 01000000 00000000  >................<",
                   kIndent + "00000030  0000" + std::string(31, ' ') + "  >..<"}));
  // The last 16 bytes are never folded into a run.
  EXPECT_EQ(body(run, 32), (Lines{kIndent + "00000000 " + zeros, kIndent + "00000010 " + zeros}));
}

TEST(Trace, NothingIsWrittenWhileOffNorByTheLimitedDump) {
  trcFlag = 0;
  int evaluated = 0;
  qm7_test::StdoutCapture capture;
  QM7_TRACE("%d", ++evaluated);
  trcdump_limited("abc", 3, 1, "%s", "x");
  EXPECT_EQ(capture.Take(), "");
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(trc_level(), 0);
}

}  // namespace
