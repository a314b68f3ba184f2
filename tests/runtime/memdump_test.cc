// Memory dumps: the exact trace layout (header columns, padding of a short line, folding of
// identical blocks), the string variant, the second layout with lower-case hex, the plain hex
// text; and the base-26 numbers and sub-area check declared beside them.
#include "qm7/runtime/memdump.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

std::string address(const void* p, bool upper = true) {
  char text[32];
  std::snprintf(text, sizeof text, upper ? "%.8" PRIXPTR : "%.8" PRIxPTR,
                reinterpret_cast<uintptr_t>(p));
  return text;
}

std::string padded(std::string s, size_t width) {
  if (s.size() < width) s.resize(width, ' ');
  return s;
}

std::string trace_header(const std::string& text, const void* addr, const char* length) {
  return padded(text, 66) + address(addr) + " " + length + "\n";
}

// Runs `dump` with standard output captured and returns the lines, each with its newline.
template <typename Dump>
std::vector<std::string> dump_lines(Dump dump) {
  testing::internal::CaptureStdout();
  dump();
  const std::string out = testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  for (size_t start = 0, nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(out.substr(start, nl - start + 1));
  }
  return lines;
}

const std::string kZeroHex = " 00000000 00000000 00000000 00000000  >................<\n";

TEST(MemDumpTrace, FullAndShortLinesRunsThatSpareTheLastBlockAndTheStringVariant) {
  const std::vector<unsigned char> zeros(48, 0);
  auto lines = dump_lines([&] { EXPECT_EQ(ZUMEM_Trace("zeros", zeros.data(), 48), 0); });
  const std::vector<std::string> want = {
      trace_header("----->  TRACE: (zeros)", zeros.data(), "00048"),
      "              00000000=" + kZeroHex,  // column 22 marks the run
      "              00000020 " + kZeroHex};
  EXPECT_EQ(lines, want);

  std::vector<unsigned char> area(80, 'x');
  std::memcpy(area.data(), "ABCDEFGHIJKLMNOPABC\001D", 21);
  lines = dump_lines([&] { MemTrace("m", area.data(), 21); });
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], std::string(14, ' ') +
                          "00000000  41424344 45464748 494A4B4C 4D4E4F50  >ABCDEFGHIJKLMNOP<\n");
  EXPECT_EQ(lines[2], padded(std::string(14, ' ') + "00000010  41424301 44", 59) + "  >ABC.D<\n");

  lines = dump_lines([&] { MemTrace("m", area.data(), 80); });  // blocks 2-4 equal
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3].substr(14, 9), "00000020=");
  EXPECT_EQ(lines[4].substr(14, 9), "00000040 ");
  // The string variant prints the header and returns the last line instead of printing it.
  const char* last = nullptr;
  lines = dump_lines([&] { last = ZUMEM_TraceStr("s", zeros.data(), 48); });
  EXPECT_EQ(lines,
            std::vector<std::string>{trace_header("----->  TRACE: (s)", zeros.data(), "00048")});
  EXPECT_EQ(std::string(last), "              00000020 " + kZeroHex);
  dump_lines([&] { last = ZUMEM_TraceStr("s", "hello", 0); });
  EXPECT_STREQ(last, "");
}

TEST(MemDumpTrace, HeaderCutsLongIdentifiersAndShowsNegativeLengths) {
  const unsigned char byte = 0x30;
  const std::string id49(49, 'i'), id50(50, 'j'), id300(300, 'k');
  const auto lines = dump_lines([&] {
    ZUMEM_Trace(id49.c_str(), &byte, 0);
    ZUMEM_Trace(id50.c_str(), &byte, 0);
    ZUMEM_Trace(id300.c_str(), &byte, -5);
    FormMemTrace("tag", &byte, 0);
  });
  // Length 0 or less: the header only. Past 49 characters the ")" is cut off.
  const std::vector<std::string> want = {
      trace_header("----->  TRACE: (" + id49 + ")", &byte, "00000"),
      trace_header("----->  TRACE: (" + id50, &byte, "00000"),
      trace_header("----->  TRACE: (" + std::string(50, 'k'), &byte, "-0005"),
      trace_header("----->  TRACE: (" + std::string(37, ' ') + "tag : )", &byte, "00000")};
  EXPECT_EQ(lines, want);
}

TEST(PrtMem, LowerCaseHexItsOwnCharacterSetAndIdenticalBlocksOnce) {
  std::vector<unsigned char> area(29);
  for (int i = 0; i < 16; ++i) area[i] = static_cast<unsigned char>(0x2A + i);  // * + , - . / 0..
  std::memcpy(area.data() + 16, " Z[\\_`az{~\x1F]^", 13);  // the ends of the printable runs
  auto lines = dump_lines([&] { iPrtMem(area.data(), 29, "title"); });
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], padded("title", 61) + " 0x00001d (00029)\n");
  // ">" opens the character view at column 60, or right behind a line pushed past it.
  EXPECT_EQ(lines[1], padded("  " + address(area.data(), false) +
                                 " (000000)  >2a2b2c2d 2e2f3031 32333435 36373839<",
                             60) +
                          ">*+,-./0123456789<\n");
  EXPECT_EQ(lines[2], padded("  " + address(area.data() + 16, false) +
                                 " (000010)  >205a5b5c 5f60617a 7b7e1f5d 5e<",
                             60) +
                          "> Z.\\_.az.~...<\n");
  std::vector<unsigned char> zeros(49, 0);
  lines = dump_lines([&] { iPrtMem(zeros.data(), 48, "z"); });
  ASSERT_EQ(lines.size(), 2u);  // every following block of 16 equal bytes is folded in
  EXPECT_EQ(lines[1].substr(0, 2), " =");
  zeros[48] = 1;
  lines = dump_lines([&] { iPrtMem(zeros.data(), 49, "z"); });
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find(" (000030)  >01<"), std::string::npos);
  lines = dump_lines([&] { iPrtMem(zeros.data(), 0, "empty"); });
  EXPECT_EQ(lines, std::vector<std::string>{padded("empty", 61) + " 0x000000 (00000)\n"});
}

TEST(GetMemTrace, BytesOnlyWhileTheyFit) {
  const unsigned char bytes[] = {0, 1, 2, 3, 4, 5, 6, 7};
  const unsigned char high[] = {0xAB, 0xCD};
  struct Case {
    const unsigned char* in;
    int in_len, out_len;
    std::string area;  // the first 17 bytes
  };
  // clang-format off
  const Case cases[] = {
      {bytes, 8, 12, "00010203 04\0#####"s}, {bytes, 8, 16, "00010203 0405\0\0\0#"s},
      {bytes, 3, 16, "000102\0\0\0\0\0\0\0\0\0\0#"s},
      {bytes, 8, 3, "\0\0\0##############"s},  // no byte fits with room to spare
      {high, 2, 16, "ABCD\0\0\0\0\0\0\0\0\0\0\0\0#"s}};
  // clang-format on
  for (const Case& c : cases) {
    char out[17];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(GetMemTrace(c.in, c.in_len, out, c.out_len), out);
    EXPECT_EQ(std::string(out, 17), c.area) << c.in_len << " " << c.out_len;
  }
}

TEST(Base26, ExamplesBothWaysAndNonLetters) {
  // clang-format off
  const std::pair<unsigned, const char*> pairs[] = {
      {0, "AAAAAAA"}, {25, "AAAAAAZ"}, {26, "AAAAABA"}, {UINT32_MAX, "NXMRLXV"}};
  // clang-format on
  for (auto [value, text] : pairs) {
    char out[9];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Zudnst_LongToB26(value, out), out);
    EXPECT_EQ(std::string(out, 9), text + "\0#"s);
    EXPECT_EQ(Zudnst_B26ToLong(text), value);
  }
  // A character outside A-Z ends the conversion as a final A; at most seven are read.
  // clang-format off
  const std::pair<const char*, unsigned> odd[] = {
      {"AB1", 26u}, {"AB", 26u}, {"B@", 26u}, {"Z[", 650u}, {"b", 0u}, {"", 0u}, {"AAAAAAZZZ", 25u},
      {"ZZZZZZZ", static_cast<unsigned>(8031810175ULL)}};  // modulo 2^32
  // clang-format on
  for (auto [text, value] : odd) EXPECT_EQ(Zudnst_B26ToLong(text), value) << text;
  EXPECT_EQ(Zudnst_B26ToLong(nullptr), 0u);
}

TEST(Plausibility, SubAreaWithinMessageWithoutWrapAround) {
  // A distance near 2^32 must not wrap round into an area that seems to fit; 0: length unknown.
  // clang-format off
  const unsigned cases[][4] = {
      {0, 12345, 999999, 1}, {100, 90, 10, 1}, {100, 91, 10, 0}, {100, 100, 0, 1},
      {100, 101, 0, 0}, {100, UINT32_MAX, 2, 0}, {100, 0x80000000u, 0x80000000u, 0},
      {UINT32_MAX, UINT32_MAX, 0, 1}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(Zudnst_Plausibility(c[0], c[1], c[2]), static_cast<int>(c[3]))
        << c[0] << " " << c[1] << " " << c[2];
  }
}

}  // namespace
