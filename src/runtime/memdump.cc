// Memory dumps on standard output or into a text: the trace layout (upper-case hex, offsets,
// repeated blocks folded into one line marked "="), the second layout with lower-case hex and
// addresses, and a plain hex text. Lines are built in bounded buffers, so no identifier or
// length can push a line past its 256 bytes.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bounded_text.h"
#include "qm7/runtime/memdump.h"
#include "qm7/runtime/strings.h"

namespace {

using Line = qm7::detail::BoundedText<256>;

constexpr int kBytesPerLine = 16;
constexpr size_t kHeaderTextWidth = 66;   // header text before the address
constexpr size_t kHexPartWidth = 59;      // prefix and hex digits of a full trace line
constexpr size_t kRepeatMarkColumn = 22;  // the blank ending the trace line's prefix
constexpr size_t kPrtMemCharColumn = 60;  // where iPrtMem's character view opens
constexpr size_t kPrtMemRepeatMarkColumn = 1;

void build_trace_header(Line& line, const char* id, const void* addr, int len) {
  line.clear();
  line.appendf("----->  TRACE: (%s)", id != nullptr ? id : "");
  // A long identifier is cut: the address always starts at the same column.
  line.truncate(kHeaderTextWidth);
  line.pad_to(kHeaderTextWidth);
  line.appendf(len >= 0 ? "%.8" PRIXPTR " %.5d\n" : "%.8" PRIXPTR " %.4d\n",
               reinterpret_cast<uintptr_t>(addr), len);
}

// Builds the trace lines of `len` bytes one after the other and hands each to `emit`.
template <typename Emit>
void build_trace_lines(const unsigned char* bytes, int len, Emit emit) {
  Line line;
  int pos = 0;
  while (pos < len) {
    const int count = std::min(kBytesPerLine, len - pos);
    line.clear();
    line.appendf("              %.8X ", static_cast<unsigned>(pos));
    for (int i = 0; i < count; ++i) {
      if (i % 4 == 0) line.append(' ');
      line.append(g_Conv[bytes[pos + i] >> 4]);
      line.append(g_Conv[bytes[pos + i] & 0x0F]);
    }
    line.pad_to(kHexPartWidth);
    line.appendf("  >");
    for (int i = 0; i < count; ++i) {
      const unsigned char c = bytes[pos + i];
      line.append(qm7::detail::is_printable_ascii(c) ? static_cast<char>(c) : '.');
    }
    line.appendf("<\n");

    int next = pos + count;
    // The final block of the area is never folded into a run, so the dump shows where it ends.
    while (count == kBytesPerLine && len - next > kBytesPerLine &&
           std::memcmp(bytes + next, bytes + pos, kBytesPerLine) == 0) {
      next += kBytesPerLine;
      line.set_at(kRepeatMarkColumn, '=');
    }
    emit(line);
    pos = next;
  }
}

void print_line(const Line& line) { std::fputs(line.c_str(), stdout); }

bool shown_by_prt_mem(unsigned char c) {
  return (c >= 0x20 && c <= 0x2D) || (c >= 0x2F && c <= 0x5A) || c == 0x5C || c == 0x5F ||
         (c >= 0x61 && c <= 0x7A) || c == 0x7E;
}

}  // namespace

int ZUMEM_Trace(const char* id, const void* addr, int len) {
  Line header;
  build_trace_header(header, id, addr, len);
  print_line(header);
  if (addr != nullptr) build_trace_lines(static_cast<const unsigned char*>(addr), len, print_line);
  std::fflush(stdout);
  return 0;
}

void MemTrace(const char* id, const void* Area, int Length) { ZUMEM_Trace(id, Area, Length); }

void FormMemTrace(const char* id, const void* Area, int Length) {
  Line formatted;
  formatted.appendf("%40s : ", id != nullptr ? id : "");
  ZUMEM_Trace(formatted.c_str(), Area, Length);
}

char* ZUMEM_TraceStr(const char* id, const void* addr, int len) {
  thread_local char last_line[256];
  last_line[0] = '\0';
  Line header;
  build_trace_header(header, id, addr, len);
  print_line(header);
  std::fflush(stdout);
  if (addr != nullptr) {
    build_trace_lines(static_cast<const unsigned char*>(addr), len, [](const Line& line) {
      std::memcpy(last_line, line.c_str(), line.size() + 1);
    });
  }
  return last_line;
}

void iPrtMem(const void* pAddr, unsigned lSize, const char* pTitle) {
  std::printf("%-61s 0x%.6x (%.5u)\n", pTitle != nullptr ? pTitle : "", lSize, lSize);
  const auto* bytes = static_cast<const unsigned char*>(pAddr);
  if (bytes == nullptr) lSize = 0;
  Line line;
  unsigned pos = 0;
  while (pos < lSize) {
    const unsigned count = std::min<unsigned>(kBytesPerLine, lSize - pos);
    line.clear();
    line.appendf("  %.8" PRIxPTR " (%.6x)  >", reinterpret_cast<uintptr_t>(bytes + pos), pos);
    for (unsigned i = 0; i < count; ++i) {
      line.appendf("%.2x", bytes[pos + i]);
      if (i % 4 == 3 && i + 1 < count) line.append(' ');
    }
    line.append('<');
    line.pad_to(kPrtMemCharColumn);
    line.append('>');
    for (unsigned i = 0; i < count; ++i) {
      const unsigned char c = bytes[pos + i];
      line.append(shown_by_prt_mem(c) ? static_cast<char>(c) : '.');
    }
    line.appendf("<\n");

    unsigned next = pos + count;
    while (count == kBytesPerLine && lSize - next >= kBytesPerLine &&
           std::memcmp(bytes + next, bytes + pos, kBytesPerLine) == 0) {
      next += kBytesPerLine;
      line.set_at(kPrtMemRepeatMarkColumn, '=');
    }
    print_line(line);
    pos = next;
  }
  std::fflush(stdout);
}

char* GetMemTrace(const unsigned char* iPtr, int iLen, char* oPtr, int oLen) {
  if (oPtr == nullptr || oLen <= 0) return oPtr;
  std::memset(oPtr, 0, static_cast<size_t>(oLen));
  if (iPtr == nullptr) return oPtr;
  int used = 0;
  // A byte takes at most 3 characters (blank and two digits); with the terminator, 4.
  for (int i = 0; i < iLen && used + 4 <= oLen; ++i) {
    if (i > 0 && i % 4 == 0) oPtr[used++] = ' ';
    oPtr[used++] = g_Conv[iPtr[i] >> 4];
    oPtr[used++] = g_Conv[iPtr[i] & 0x0F];
  }
  return oPtr;
}
