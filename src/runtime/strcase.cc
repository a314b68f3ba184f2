// Case conversion of the runtime library: fixed-length fields and terminated strings, in place.
// Only the ASCII letters change (the C locale's rule), whatever locale the process runs in, so
// the result never depends on the host's settings.
#include "qm7/runtime/strings.h"

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

void ToLowerCase(char* Text, int tLength) {
  if (Text == nullptr) return;
  for (int i = 0; i < tLength; ++i) Text[i] = ascii_lower(Text[i]);
}

char* strupr(char* string) {
  if (string == nullptr) return nullptr;
  for (char* p = string; *p != '\0'; ++p) *p = ascii_upper(*p);
  return string;
}

char* ToUpperStr(char* Text) { return strupr(Text); }

char* strlow(char* string) {
  if (string == nullptr) return nullptr;
  for (char* p = string; *p != '\0'; ++p) *p = ascii_lower(*p);
  return string;
}

char* ToLowerStr(char* Text) { return strlow(Text); }
