// What the messenger writes on standard error and in its trace may hold text it did not write
// itself: the job's arguments and the failures the channel manager recorded for a connection.
// Such text is made printable first, so that no byte of it can move the cursor, clear the
// screen or start a line of its own. Internal to the messenger library.
#ifndef QM7_SRC_MESSENGER_PRINTABLE_H_
#define QM7_SRC_MESSENGER_PRINTABLE_H_

#include <cstdarg>
#include <string>
#include <string_view>

namespace qm7::detail {

// `text` with printable ASCII (0x20 to 0x7E) kept and every other byte written as "\xNN" (two
// upper-case hex digits).
std::string printable(std::string_view text);

// printf into a string (at most 2047 characters).
std::string printf_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vprintf_string(const char* format, va_list args);

// Writes one line "<program>: <text>" on standard error, both made printable: every line the
// messenger has for its operator.
void tell_operator(std::string_view program, std::string_view text);

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_PRINTABLE_H_
