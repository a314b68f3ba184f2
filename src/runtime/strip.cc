// In-place string tools of the runtime library: trimming blanks, folding case, replacing a
// character, cutting a field out of a message and testing a time-out.
#include <cctype>
#include <cstring>
#include <ctime>

#include "qm7/runtime/ctools.h"

void rstrip(char* string) {
  if (string == nullptr) return;
  std::size_t len = std::strlen(string);
  while (len > 0 && string[len - 1] == ' ') string[--len] = '\0';
}

void lstrip(char* string) {
  if (string == nullptr) return;
  std::size_t blanks = 0;
  while (string[blanks] == ' ') ++blanks;
  if (blanks == 0) return;
  // One move of the rest, terminator included, gives what moving once per blank would.
  std::memmove(string, string + blanks, std::strlen(string + blanks) + 1);
}

void strip(char* string) {
  lstrip(string);
  rstrip(string);
}

char* strupper(char* string) {
  if (string == nullptr) return string;
  for (char* p = string; *p != '\0'; ++p) {
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
  return string;
}

char* str_replace_char(char* string, char c1, char c2) {
  if (string == nullptr) return string;
  for (char* p = string; *p != '\0'; ++p) {
    if (*p == c1) *p = c2;
  }
  return string;
}

int get_variable_msg_field(char* out, const char* in, int dist, int len) {
  if (len <= 0) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, in + dist, static_cast<std::size_t>(len));
  out[len] = '\0';
  return 0;
}

int is_timer_elapsed(time_t start_time, int timespan) {
  // start_time + timespan could overflow for a start near the end of time_t; the current time
  // less an int never can.
  return start_time < std::time(nullptr) - timespan ? 1 : 0;
}
