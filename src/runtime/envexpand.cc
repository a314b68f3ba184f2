// Expansion of %NAME% references by the values of environment variables. The input is taken
// into a private work area, so the name of a reference can be terminated in place for the
// lookup; the output never grows past the caller's size.
#include <cstdlib>
#include <cstring>

#include "qm7/runtime/strings.h"

namespace {

constexpr size_t kWorkArea = 2048;  // at most 2047 characters of input are expanded

// Appends to the caller's area while room remains for the terminator.
class BoundedOutput {
 public:
  BoundedOutput(char* out, int size) : out_(out), limit_(static_cast<size_t>(size) - 1) {}
  void put(char c) {
    if (len_ < limit_) out_[len_++] = c;
  }
  void put(const char* s) {
    for (; *s != '\0' && len_ < limit_; ++s) out_[len_++] = *s;
  }
  int length() const { return static_cast<int>(len_); }

 private:
  char* out_;
  size_t limit_;
  size_t len_ = 0;
};

}  // namespace

int ExpandEnvironmentStringsA(const char* buf, char* logName, int logSize) {
  if (logName == nullptr || logSize <= 0) return 0;
  // Cleared in full, so the expansion is always terminated wherever it stops.
  std::memset(logName, 0, static_cast<size_t>(logSize));
  if (buf == nullptr) return 0;

  char work[kWorkArea];
  std::strncpy(work, buf, kWorkArea - 1);
  work[kWorkArea - 1] = '\0';

  BoundedOutput out(logName, logSize);
  for (char* p = work; *p != '\0';) {
    if (*p != '%') {
      out.put(*p++);
      continue;
    }
    char* name = p + 1;
    char* close = std::strchr(name, '%');
    if (close != nullptr) {
      *close = '\0';
      p = close + 1;
    } else {
      p = name + std::strlen(name);
    }
    // "%%" names nothing and yields nothing.
    if (*name == '\0') continue;
    if (const char* value = std::getenv(name)) out.put(value);
  }
  return out.length();
}
