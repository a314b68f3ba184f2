// Small string tools of the runtime library.
#ifndef QM7_RUNTIME_CTOOLS_H_
#define QM7_RUNTIME_CTOOLS_H_

// Word `n` (from 1) of `src`, words ended by every single `delimiter`, copied into `dst` of
// `dst_len` bytes (at most `dst_len` - 1 characters). A negative `n` selects everything from
// the start of word -`n` to the end of `src`. Returns the number of characters stored; 0 with
// `dst` empty when the word does not exist. REQUIRES: dst_len >= 1.
int get_word_delimited(const char* src, char delimiter, int n, char* dst, int dst_len);

#endif  // QM7_RUNTIME_CTOOLS_H_
