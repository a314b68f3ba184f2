// Word selection in delimited texts, as the command line uses it to split KEY=value arguments.
#include <cstring>

#include "qm7/runtime/ctools.h"

int get_word_delimited(const char* src, char delimiter, int n, char* dst, int dst_len) {
  bool rest_mode = n < 0;
  // In 64 bits: -INT_MIN does not fit an int.
  long long wanted = rest_mode ? -static_cast<long long>(n) : n;
  dst[0] = '\0';

  // Every single delimiter ends a word: two adjacent ones enclose an empty word.
  const char* p = src;
  long long word = 1;
  while (*p != '\0' && word != wanted) {
    while (*p != '\0' && *p != delimiter) ++p;
    if (*p != '\0') ++p;  // over the delimiter, never over the terminator (delimiter '\0')
    ++word;
  }
  if (word != wanted) return 0;

  if (rest_mode) {
    strncpy(dst, p, static_cast<size_t>(dst_len));
    dst[dst_len - 1] = '\0';
    return static_cast<int>(strlen(dst));
  }
  int stored = 0;
  while (p[stored] != '\0' && p[stored] != delimiter && stored < dst_len - 1) {
    dst[stored] = p[stored];
    ++stored;
  }
  dst[stored] = '\0';
  return stored;
}
