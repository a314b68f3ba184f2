// Thread-safe access to the system's error texts. The C library offers two strerror_r
// variants with different results; the overloads below accept whichever this one has.
#include "qm7/runtime/error_text.h"

#include <cstdio>
#include <cstring>

namespace {

// The GNU variant returns the text, which may or may not be in the buffer.
[[maybe_unused]] const char* pick(const char* result, const char*) { return result; }

// The POSIX variant returns 0 and fills the buffer, or an error number.
[[maybe_unused]] const char* pick(int result, const char* buf) {
  return result == 0 ? buf : nullptr;
}

}  // namespace

namespace qm7 {

const char* error_text(int errnum, char* buf, std::size_t len) {
  if (buf == nullptr || len == 0) return "Unknown error";
  buf[0] = '\0';
  const char* text = pick(strerror_r(errnum, buf, len), buf);
  if (text == nullptr || text[0] == '\0') {
    std::snprintf(buf, len, "Unknown error %d", errnum);
    text = buf;
  }
  return text;
}

}  // namespace qm7
