// Hex dumps of message buffers for the trace: a heading with time, text, address and length,
// then 16 bytes a line in hex and as characters. Runs of identical 16-byte lines are folded
// into the first one, marked with "=" behind its offset.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "qm7/runtime/datetime.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr size_t kHeadingWidth = 68;
constexpr size_t kOffsetEnd = 28;  // position of the blank behind the offset
constexpr size_t kChunk = 16;

bool is_printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

void write_heading(const void* area, int len, const char* text) {
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  std::string line = std::string(dt.dt_xdat) + " U0009909 TRACE: (" + text + ")";
  line.resize(kHeadingWidth, ' ');
  char tail[64];
  snprintf(tail, sizeof(tail), len >= 0 ? "%p %.5d" : "%p %.4d", area, len);
  line += tail;
  fprintf(stdout, "%s\n", line.c_str());
}

}  // namespace

void trcdump(const void* area, int len, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  write_heading(area, len, text);

  const unsigned char* bytes = static_cast<const unsigned char*>(area);
  size_t remaining = len > 0 ? static_cast<size_t>(len) : 0;
  size_t pos = 0;
  size_t pad_width = 61;
  while (remaining > 0) {
    size_t chunk = remaining < kChunk ? remaining : kChunk;
    char cell[16];
    std::string line(20, ' ');
    snprintf(cell, sizeof(cell), "%.8X ", static_cast<unsigned>(pos));
    line += cell;
    for (size_t i = 0; i < chunk; ++i) {
      if (i % 4 == 0) line += ' ';
      snprintf(cell, sizeof(cell), "%.2X", bytes[pos + i]);
      line += cell;
    }
    if (chunk == kChunk) {
      pad_width = line.size();
    } else if (line.size() < pad_width) {
      line.append(pad_width - line.size(), ' ');
    }
    line += "  >";
    for (size_t i = 0; i < chunk; ++i) {
      line += is_printable(bytes[pos + i]) ? static_cast<char>(bytes[pos + i]) : '.';
    }
    line += '<';
    const unsigned char* shown = bytes + pos;
    pos += chunk;
    remaining -= chunk;
    while (remaining > kChunk && memcmp(bytes + pos, shown, kChunk) == 0) {
      pos += kChunk;
      remaining -= kChunk;
      line[kOffsetEnd] = '=';
    }
    fprintf(stdout, "%s\n", line.c_str());
  }
}

void trcdump_limited(const void* /*area*/, int /*len*/, int /*limit*/, const char* /*format*/,
                     ...) {}
