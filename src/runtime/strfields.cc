// Values out of small keyword texts: the delimited keyword-value fields of a rest area
// ("A=/abc/B='x y'") and "name=value" attributes in free, comma-separated text. Both read only
// within their input and write only within the caller's stated result size.
#include <cstring>

#include "qm7/runtime/strings.h"

int GetRestField(const char* rest_area, int rest_len, char search, char* result, unsigned retSize) {
  if (rest_area == nullptr || result == nullptr || rest_len <= 0) return 0;
  const char* p = rest_area;
  int consumed = 0;
  for (;;) {
    // A field opens with three bytes: its code, "=" and its delimiter. An area that ends
    // before them holds no further field.
    if (rest_len - consumed < 3 || p[1] != '=') return 0;
    const char code = p[0];
    const char delimiter = p[2];
    p += 3;
    consumed += 3;
    const bool wanted = code == search;

    unsigned stored = 0;
    while (consumed < rest_len && *p != delimiter) {
      if (wanted) {
        // Keeps `retSize` characters: the caller's area holds `retSize` + 1 bytes.
        if (stored == retSize) {
          result[stored] = '\0';
          return 1;
        }
        result[stored++] = *p;
      }
      ++p;
      ++consumed;
    }
    if (wanted && stored == retSize) {
      result[stored] = '\0';
      return 1;
    }
    if (consumed >= rest_len) {
      if (wanted) result[0] = '\0';  // no closing delimiter: no half value
      return 0;
    }
    ++p;  // the closing delimiter
    ++consumed;
    if (wanted) {
      result[stored] = '\0';
      return 1;
    }
  }
}

int GetAttribute(const char* Area, int /*Length*/, const char* search, char* result,
                 unsigned retSize) {
  if (Area == nullptr || search == nullptr || result == nullptr || retSize == 0) return 0;
  result[0] = '\0';
  const char* p = std::strstr(Area, search);
  if (p == nullptr) return 0;
  p = std::strchr(p, '=');
  if (p == nullptr) return 0;
  ++p;
  unsigned stored = 0;
  for (; *p != '\0' && *p != ','; ++p) {
    if (stored == retSize - 1) {
      result[stored] = '\0';
      return 1;
    }
    result[stored++] = *p;
  }
  result[stored] = '\0';
  return stored > 0 ? 1 : 0;
}
