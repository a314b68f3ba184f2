// Trimming of blank-padded text and reorganisation of fixed-length fields. Fixed fields come from
// records and screens: blank-padded, not necessarily terminated; these helpers turn them into
// strings or normalise them in place without ever touching a byte outside the field.
#include <cstdlib>
#include <cstring>

#include "qm7/runtime/strings.h"

namespace {

// Temporary copy of a field, freed on every path. Holds null when memory ran out.
class FieldCopy {
 public:
  FieldCopy(const char* p, int l)
      : buf_(static_cast<char*>(std::malloc(static_cast<size_t>(l) + 1))) {
    if (buf_ == nullptr) return;
    std::memcpy(buf_, p, static_cast<size_t>(l));
    buf_[l] = '\0';
  }
  ~FieldCopy() { std::free(buf_); }
  FieldCopy(const FieldCopy&) = delete;
  FieldCopy& operator=(const FieldCopy&) = delete;
  const char* get() const { return buf_; }

 private:
  char* buf_;
};

}  // namespace

void EatString(char* pChar, int Idx) {
  if (pChar == nullptr) return;
  for (; Idx >= 0 && *pChar == ' '; --Idx, --pChar) {
    *pChar = '\0';
    if (Idx == 0) break;  // position 0 of the string: never step in front of it
  }
}

void EatTrailing(char* Area, int Length) {
  if (Area == nullptr || Length <= 0) return;
  EatString(Area + Length - 1, Length - 1);
}

void EatTrailingStr(char* Area) {
  if (Area == nullptr) return;
  const size_t len = std::strlen(Area);
  if (len == 0) return;
  EatString(Area + len - 1, static_cast<int>(len - 1));
}

char* GetStringTh(const char* Text, int tLength, char* Value, int vLength) {
  if (Value == nullptr || vLength < 1) return Value;
  int n = tLength < vLength - 1 ? tLength : vLength - 1;
  if (n < 0 || Text == nullptr) n = 0;
  std::memcpy(Value, Text == nullptr ? "" : Text, static_cast<size_t>(n));
  Value[n] = '\0';
  // Strip from the string's real end: a zero byte inside the field already ends the text.
  EatTrailingStr(Value);
  return Value;
}

void fix_len_reorg(char* p, int l) {
  if (p == nullptr || l <= 0) return;
  FieldCopy copy(p, l);
  const char* src = copy.get();
  if (src == nullptr) return;
  int i = 0;
  while (i < l && src[i] == ' ') ++i;
  int o = 0;
  while (i < l && src[i] != ' ' && src[i] != '\0') p[o++] = src[i++];
  std::memset(p + o, ' ', static_cast<size_t>(l - o));
}

void fix_len_reorg2(char* p, int l) {
  if (p == nullptr || l < 0) return;
  FieldCopy copy(p, l);
  const char* src = copy.get();
  if (src == nullptr) return;
  while (*src == ' ') ++src;
  // The copy is terminated at `l`, so the rest never runs past the field.
  std::memcpy(p, src, std::strlen(src) + 1);
}
