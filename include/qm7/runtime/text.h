// Basic text helpers of the runtime library: the program name, and the bounded copy and append
// with which every fixed-size text field of the system is filled.
#ifndef QM7_RUNTIME_TEXT_H_
#define QM7_RUNTIME_TEXT_H_

// Returns the part of `ProgName` behind its last '/', or `ProgName` itself when it has none.
char* GetPName(char* ProgName);

// Bounded copy: copies `SndArea` into `RcvArea` of `RcvSize` bytes, cut to `RcvSize` - 1
// characters and always terminated. A null `RcvArea` gives null; a `RcvSize` of 0 writes
// nothing. `FileName` and `line` name the call site only. Never writes past `RcvSize` bytes.
char* _StringCopy(char* RcvArea, int RcvSize, const char* SndArea, const char* FileName, int line);

// Bounded append: appends `SndArea` to the text in `RcvArea` within `RcvSize` bytes. An area
// already holding `RcvSize` - 1 or more characters is left as it is.
char* _StringCat(char* RcvArea, int RcvSize, const char* SndArea, const char* FileName, int line);

// Upper-cases exactly `tLength` bytes (C locale); does not stop at a zero byte.
void ToUpperCase(char* Text, int tLength);

// Call-site helpers: pass the calling source file and line as the library expects.
#define StringCopy(rcv, size, snd) _StringCopy((rcv), (size), (snd), __FILE__, __LINE__)
#define StringCat(rcv, size, snd) _StringCat((rcv), (size), (snd), __FILE__, __LINE__)

#endif  // QM7_RUNTIME_TEXT_H_
