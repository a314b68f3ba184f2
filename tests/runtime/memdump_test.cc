// Memory dumps: the exact trace layout (header columns, padding of a short line, folding of
// identical blocks), the string variant, the second layout with its character column at 60,
// and the plain hex text.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qm7/runtime/memdump.h"

namespace {

std::string upper_address(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%.8" PRIXPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

std::string trace_header(const std::string& head66, const void* addr, const char* length) {
  return head66 + upper_address(addr) + " " + length + "\n";
}

std::string padded(std::string s, size_t width) {
  s.resize(width, ' ');
  return s;
}

std::vector<std::string> lines_of(const std::string& out) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(out.substr(start, nl - start + 1));
  }
  if (start < out.size()) lines.push_back(out.substr(start));
  return lines;
}

TEST(MemDumpTrace, FortyEightZeroBytesFoldTheRunButNotTheLastBlock) {
  const std::vector<unsigned char> zeros(48, 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ZUMEM_Trace("zeros", zeros.data(), 48), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string hex = " 00000000 00000000 00000000 00000000  >................<\n";
  const std::string expected = trace_header(padded("----->  TRACE: (zeros)", 66), zeros.data(),
                                            "00048") +
                               "              00000000=" + hex +  // column 22 marks the run
                               "              00000020 " + hex;
  EXPECT_EQ(out, expected);
}

TEST(MemDumpTrace, FullLineAndShortLastLine) {
  std::vector<unsigned char> area(21);
  for (int i = 0; i < 16; ++i) area[i] = static_cast<unsigned char>('A' + i);
  const unsigned char tail[] = {0x41, 0x42, 0x43, 0x01, 0x44};
  std::memcpy(area.data() + 16, tail, 5);
  testing::internal::CaptureStdout();
  ZUMEM_Trace("id", area.data(), 21);
  const auto lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], std::string(14, ' ') +
                          "00000000  41424344 45464748 494A4B4C 4D4E4F50  >ABCDEFGHIJKLMNOP<\n");
  const std::string short_hex = std::string(14, ' ') + "00000010  41424301 44";
  EXPECT_EQ(lines[2], padded(short_hex, 59) + "  >ABC.D<\n");
}

TEST(MemDumpTrace, FiveBytesPadHexPartTo59) {
  const unsigned char bytes[] = {0x41, 0x42, 0x01, 0x43, 0x44};
  testing::internal::CaptureStdout();
  ZUMEM_Trace("five", bytes, 5);
  const auto lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], trace_header(padded("----->  TRACE: (five)", 66), bytes, "00005"));
  EXPECT_EQ(lines[1],
            std::string(14, ' ') + "00000000  41420143 44" + std::string(24, ' ') + "  >AB.CD<\n");
  EXPECT_EQ(lines[1].find("  >"), 59u);
}

TEST(MemDumpTrace, IdentifierLongerThan49OverwritesTheClosingParenthesis) {
  const unsigned char byte = 0x30;
  const std::string id49(49, 'i');
  const std::string id50(50, 'j');
  const std::string id300(300, 'k');
  testing::internal::CaptureStdout();
  ZUMEM_Trace(id49.c_str(), &byte, 0);
  ZUMEM_Trace(id50.c_str(), &byte, 0);
  ZUMEM_Trace(id300.c_str(), &byte, -5);
  const auto lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 3u);  // length 0 or less: the header only
  EXPECT_EQ(lines[0], trace_header("----->  TRACE: (" + id49 + ")", &byte, "00000"));
  EXPECT_EQ(lines[1], trace_header("----->  TRACE: (" + id50, &byte, "00000"));
  EXPECT_EQ(lines[2], trace_header("----->  TRACE: (" + std::string(50, 'k'), &byte, "-0005"));
}

TEST(MemDumpTrace, RunsInTheMiddleAndVariants) {
  std::vector<unsigned char> area(80, 'x');
  area[0] = 'a';  // block 0 differs, blocks 1-3 equal, block 4 (the last) equal too
  testing::internal::CaptureStdout();
  MemTrace("m", area.data(), 80);
  auto lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(14, 9), "00000000 ");
  EXPECT_EQ(lines[2].substr(14, 9), "00000010=");  // 0x20 folded in, 0x30 too
  EXPECT_EQ(lines[3].substr(14, 9), "00000040 ");  // the final block stands alone

  testing::internal::CaptureStdout();
  FormMemTrace("tag", area.data(), 0);
  lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            trace_header(padded("----->  TRACE: (" + std::string(37, ' ') + "tag : )", 66),
                         area.data(), "00000"));
}

TEST(MemDumpTrace, TraceStrPrintsHeaderAndReturnsLastLine) {
  const std::vector<unsigned char> zeros(48, 0);
  testing::internal::CaptureStdout();
  const char* last = ZUMEM_TraceStr("s", zeros.data(), 48);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, trace_header(padded("----->  TRACE: (s)", 66), zeros.data(), "00048"));
  EXPECT_EQ(std::string(last),
            "              00000020  00000000 00000000 00000000 00000000  >................<\n");

  const unsigned char five[] = {'h', 'e', 'l', 'l', 'o'};
  testing::internal::CaptureStdout();
  last = ZUMEM_TraceStr("s", five, 5);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(last),
            padded(std::string(14, ' ') + "00000000  68656C6C 6F", 59) + "  >hello<\n");
  testing::internal::CaptureStdout();
  last = ZUMEM_TraceStr("s", five, 0);
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(last, "");
}

std::string lower_address(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%.8" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

TEST(PrtMem, HeaderLinesAndCharacterColumn) {
  std::vector<unsigned char> area(21);
  for (int i = 0; i < 21; ++i) area[i] = static_cast<unsigned char>(0x2A + i);  // * + , - . / 0..
  testing::internal::CaptureStdout();
  iPrtMem(area.data(), 21, "title");
  const auto lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], padded("title", 61) + " 0x000015 (00021)\n");

  std::string first =
      "  " + lower_address(area.data()) + " (000000)  >" + "2a2b2c2d 2e2f3031 32333435 36373839<";
  first = padded(first, std::max<size_t>(first.size(), 60)) + ">*+,-./0123456789<\n";
  EXPECT_EQ(lines[1], first);
  // "." itself shows as "."; the short line has no blank after its last group.
  std::string second = "  " + lower_address(area.data() + 16) + " (000010)  >" + "3a3b3c3d 3e<";
  second = padded(second, 60) + ">:;<=><\n";
  EXPECT_EQ(lines[2], second);
}

TEST(PrtMem, ShortAddressPutsCharacterViewAtColumn60) {
  // Map a page at an address with eight hex digits, as on the system's 32-bit hosts.
  void* want = reinterpret_cast<void*>(uintptr_t{0x10000000});
  void* page = mmap(want, 4096, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (page == MAP_FAILED || page != want) {
    if (page != MAP_FAILED) munmap(page, 4096);
    GTEST_SKIP() << "address 0x10000000 not available";
  }
  auto* bytes = static_cast<unsigned char*>(page);
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(i);
  std::memcpy(bytes + 16, "[A]_\\^`{|}~", 11);
  testing::internal::CaptureStdout();
  iPrtMem(bytes, 27, "");
  const auto lines = lines_of(testing::internal::GetCapturedStdout());
  munmap(page, 4096);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1],
            "  10000000 (000000)  >00010203 04050607 08090a0b 0c0d0e0f<  >................<\n");
  EXPECT_EQ(lines[1].find('>', 22), 60u);
  EXPECT_EQ(lines[2],
            padded("  10000010 (000010)  >5b415d5f 5c5e607b 7c7d7e<", 60) + ">.A._\\.....~<\n");
}

TEST(PrtMem, IdenticalFullBlocksPrintOnce) {
  std::vector<unsigned char> zeros(48, 0);
  testing::internal::CaptureStdout();
  iPrtMem(zeros.data(), 48, "z");
  auto lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 2u);  // every following block of 16 equal bytes is folded in
  EXPECT_EQ(lines[1].substr(0, 2), " =");

  zeros.push_back(1);
  testing::internal::CaptureStdout();
  iPrtMem(zeros.data(), 49, "z");
  lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find(" (000030)  >01<"), std::string::npos);

  testing::internal::CaptureStdout();
  iPrtMem(zeros.data(), 0, "empty");
  lines = lines_of(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], padded("empty", 61) + " 0x000000 (00000)\n");
}

TEST(GetMemTrace, BytesOnlyWhileTheyFit) {
  const unsigned char bytes[] = {0, 1, 2, 3, 4, 5, 6, 7};
  char out[16];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(GetMemTrace(bytes, 8, out, 12), out);
  EXPECT_EQ(std::string(out, 13), std::string("00010203 04\0#", 13));
  GetMemTrace(bytes, 8, out, 16);
  EXPECT_STREQ(out, "00010203 0405");
  GetMemTrace(bytes, 3, out, 16);
  EXPECT_STREQ(out, "000102");
  std::memset(out, '#', sizeof out);
  GetMemTrace(bytes, 8, out, 3);  // no byte fits with room to spare
  EXPECT_EQ(std::string(out, 4), std::string("\0\0\0#", 4));
  const unsigned char high[] = {0xAB, 0xCD};
  GetMemTrace(high, 2, out, 16);
  EXPECT_STREQ(out, "ABCD");
}

}  // namespace
