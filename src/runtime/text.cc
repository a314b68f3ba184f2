// Basic text helpers: the program name and the bounded copy and append that fill every
// fixed-size text field of the system. They never write past the size they are given.
#include <cctype>
#include <cstring>

#include "qm7/runtime/text.h"

char* GetPName(char* ProgName) {
  char* slash = strrchr(ProgName, '/');
  return slash ? slash + 1 : ProgName;
}

char* _StringCopy(char* RcvArea, int RcvSize, const char* SndArea, const char* /*FileName*/,
                  int /*line*/) {
  if (RcvArea == nullptr) return nullptr;
  if (RcvSize <= 0) return RcvArea;
  RcvArea[0] = '\0';
  if (SndArea == nullptr || SndArea[0] == '\0') return RcvArea;
  size_t len = strlen(SndArea);
  size_t room = static_cast<size_t>(RcvSize) - 1;
  if (len > room) {
    memset(RcvArea, 0, static_cast<size_t>(RcvSize));
    memcpy(RcvArea, SndArea, room);
  } else {
    memcpy(RcvArea, SndArea, len + 1);
  }
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
