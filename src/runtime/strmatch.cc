// Wildcard matching of the runtime library: a whole-string match with "any sequence" and "any
// single character" wildcards, a prefix test and a search with the single-character wildcard,
// and the position of a mask's match inside a text. A wildcard character of 0 is switched off;
// the helpers below make sure a switched-off wildcard never matches the terminator.
#include <cstring>

#include "qm7/runtime/strings.h"

namespace {

bool is_wild(char c, char wildcard) { return wildcard != '\0' && c == wildcard; }

// Restores one byte of a caller's text when it leaves scope, so that a mask cut in place comes
// back whole on every return path.
class ByteRestorer {
 public:
  ByteRestorer(char* at, char replacement) : at_(at), saved_(at != nullptr ? *at : '\0') {
    if (at_ != nullptr) *at_ = replacement;
  }
  ~ByteRestorer() {
    if (at_ != nullptr) *at_ = saved_;
  }
  ByteRestorer(const ByteRestorer&) = delete;
  ByteRestorer& operator=(const ByteRestorer&) = delete;

 private:
  char* at_;
  char saved_;
};

}  // namespace

int MyStrMatch(const char* str, const char* mask, char more, char one) {
  if (str == nullptr || mask == nullptr) return 0;
  // The part before the first `more` must match character by character.
  while (*str != '\0' && !is_wild(*mask, more)) {
    if (*mask != *str && !is_wild(*mask, one)) return 0;
    ++mask;
    ++str;
  }
  // From here on a mismatch backs up to the last `more` and lets it swallow one more character.
  const char* retry_mask = nullptr;
  const char* retry_str = nullptr;
  while (*str != '\0') {
    if (is_wild(*mask, more)) {
      ++mask;
      if (*mask == '\0') return 1;
      retry_mask = mask;
      retry_str = str + 1;
    } else if (*mask != '\0' && (*mask == *str || is_wild(*mask, one))) {
      ++mask;
      ++str;
    } else {
      if (retry_mask == nullptr) return 0;
      mask = retry_mask;
      str = retry_str++;
    }
  }
  while (is_wild(*mask, more)) ++mask;
  return *mask == '\0' ? 1 : 0;
}

int strccmp(const char* str1, const char* str2, char one) {
  if (str1 == nullptr || str2 == nullptr) return 0;
  for (; *str2 != '\0'; ++str1, ++str2) {
    if (*str1 == '\0') return 0;  // str1 is shorter than the pattern
    if (*str1 != *str2 && !is_wild(*str2, one)) return 0;
  }
  return 1;
}

char* strcstr(char* str1, const char* str2, char one) {
  if (str1 == nullptr || str2 == nullptr) return nullptr;
  for (char* p = str1;; ++p) {
    if (strccmp(p, str2, one)) return p;
    if (*p == '\0') return nullptr;
  }
}

char* strMatchPtr(char* str, char* mask, char more, char one) {
  if (str == nullptr || mask == nullptr) return nullptr;
  if (*mask == '\0') return str;

  const bool has_more = more != '\0' && std::strchr(mask, more) != nullptr;
  const bool has_one = one != '\0' && std::strchr(mask, one) != nullptr;
  if (!has_more && !has_one) {
    return std::strncmp(str, mask, std::strlen(mask)) == 0 ? str : nullptr;
  }

  char* segment = mask;
  const bool anchored = !is_wild(*segment, more);
  if (!anchored) {
    ++segment;
    if (*segment == '\0') return str;  // the mask is `more` alone
  }
  char* rest = more != '\0' ? std::strchr(segment, more) : nullptr;

  char* found;
  size_t segment_len;
  {
    // Cut the mask at the start of its rest for the segment search; the byte comes back at the
    // end of this block, before the rest is matched and before any return.
    ByteRestorer cut(rest, '\0');
    segment_len = std::strlen(segment);
    found = anchored ? (strccmp(str, segment, one) ? str : nullptr) : strcstr(str, segment, one);
  }
  if (found == nullptr) return nullptr;

  const char* after = found + segment_len;
  if (rest != nullptr) return MyStrMatch(after, rest, more, one) ? found : nullptr;
  return *after == '\0' ? found : nullptr;
}
