// Basic text helpers: the program name and the bounded copy and append that fill every
// fixed-size text field of the system. They never write past the size they are given.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "qm7/runtime/text.h"

char* GetPName(char* ProgName) {
  char* slash = strrchr(ProgName, '/');
  return slash ? slash + 1 : ProgName;
}

// The areas may overlap (a text copied or appended onto itself or a part of it): the source is
// measured before anything is written, and moved rather than copied.
char* _StringCopy(char* RcvArea, int RcvSize, const char* SndArea, const char* /*FileName*/,
                  int /*line*/) {
  if (RcvArea == nullptr) return nullptr;
  if (RcvSize <= 0) return RcvArea;
  if (SndArea == nullptr || SndArea[0] == '\0') {
    RcvArea[0] = '\0';
    return RcvArea;
  }
  const size_t len = std::min(strlen(SndArea), static_cast<size_t>(RcvSize) - 1);
  memmove(RcvArea, SndArea, len);
  RcvArea[len] = '\0';
  return RcvArea;
}

char* _StringCat(char* RcvArea, int RcvSize, const char* SndArea, const char* /*FileName*/,
                 int /*line*/) {
  if (RcvArea == nullptr) return nullptr;
  if (SndArea == nullptr || RcvSize <= 0 || SndArea[0] == '\0') return RcvArea;
  // The present text is only looked at within the area, so an unterminated area is left alone.
  size_t present = strnlen(RcvArea, static_cast<size_t>(RcvSize));
  if (present + 1 >= static_cast<size_t>(RcvSize)) return RcvArea;
  _StringCopy(RcvArea + present, RcvSize - static_cast<int>(present), SndArea, __FILE__, __LINE__);
  return RcvArea;
}

void ToUpperCase(char* Text, int tLength) {
  for (int i = 0; i < tLength; ++i) {
    Text[i] = static_cast<char>(toupper(static_cast<unsigned char>(Text[i])));
  }
}
