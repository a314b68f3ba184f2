// Escaping of foreign text for standard error and the trace, and the operator's lines.
#include "printable.h"

#include <cstdio>

namespace qm7::detail {

std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::string vprintf_string(const char* format, va_list args) {
  char text[2048];
  vsnprintf(text, sizeof(text), format, args);
  return text;
}

std::string printf_string(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vprintf_string(format, args);
  va_end(args);
  return text;
}

void tell_operator(std::string_view program, std::string_view text) {
  fprintf(stderr, "%s: %s\n", printable(program).c_str(), printable(text).c_str());
}

}  // namespace qm7::detail
