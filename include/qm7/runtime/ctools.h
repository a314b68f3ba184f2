// Small string tools of the runtime library.
#ifndef QM7_RUNTIME_CTOOLS_H_
#define QM7_RUNTIME_CTOOLS_H_

#include <sys/select.h>

#include <cstddef>
#include <ctime>

#include "qm7/runtime/fdset.h"

// Word `n` (from 1) of `src`, words ended by every single `delimiter`, copied into `dst` of
// `dst_len` bytes (at most `dst_len` - 1 characters). A negative `n` selects everything from
// the start of word -`n` to the end of `src`. Returns the number of characters stored; 0 with
// `dst` empty when the word does not exist. REQUIRES: dst_len >= 1.
int get_word_delimited(const char* src, char delimiter, int n, char* dst, int dst_len);

// The tools below work in place or on the caller's memory, keep no state and report no errors;
// any thread may call them on memory it owns. A null `string` is left alone.

// Overwrites trailing blanks (0x20 only; a tab stays) with zero bytes.
void rstrip(char* string);

// Moves the text behind the leading blanks, terminator included, to the front.
void lstrip(char* string);

// lstrip, then rstrip.
void strip(char* string);

// Folds `string` to upper case in place (C locale). Returns `string`.
char* strupper(char* string);

// Replaces every `c1` in `string` by `c2`. Returns `string`.
char* str_replace_char(char* string, char c1, char c2);

// Writes the members of `set` among the descriptors 0 to `maxfd` into `work` in ascending
// order, as decimal numbers separated by commas ("3,5,7"); an empty list gives the empty string.
// REQUIRES: `work` has room for the whole list (up to 7 bytes per member and a terminator).
// Returns `work`. For an fd_set, `maxfd` counts only up to FD_SETSIZE - 1.
char* fdset2string(char* work, const fd_set* set, int maxfd);
char* fdset2string(char* work, const ccm_fd_set* set, int maxfd);

// As fdset2string, but never writes more than `work_size` bytes: the list stops before the
// first number that would not fit, always terminated. Returns `work`.
char* fdset2string_bounded(char* work, std::size_t work_size, const ccm_fd_set* set, int maxfd);

// Copies the `len` bytes at `in` + `dist` into `out` and terminates them; `out` needs `len` + 1
// bytes. A negative `len` gives the empty string. Returns 0.
int get_variable_msg_field(char* out, const char* in, int dist, int len);

// 1 when `start_time` + `timespan` seconds lies strictly before the current second, else 0.
int is_timer_elapsed(time_t start_time, int timespan);

#endif  // QM7_RUNTIME_CTOOLS_H_
