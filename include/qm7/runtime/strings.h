// String toolbox of the runtime library: case conversion, trimming of blank-padded fields,
// wildcard matching, values out of small keyword texts, hexadecimal and decimal formatting,
// environment expansion and a reversible byte scrambler. Every function works on memory the
// caller owns and keeps no state, so any thread may call any of them on its own buffers.
//
// Sizes: a size argument (`vLength`, `retSize`, `oLen`, ...) is the size of the receiving area in
// bytes, terminator included, unless the function says otherwise. A fixed-length field is a byte
// area of a given length, blank-padded and not necessarily terminated. A size of 0 or less
// writes nothing. Upper-case hexadecimal throughout.
#ifndef QM7_RUNTIME_STRINGS_H_
#define QM7_RUNTIME_STRINGS_H_

// The upper-case hexadecimal digits with their terminator.
extern const char g_Conv[17];

// ---- Case conversion (C locale: only the letters a-z and A-Z change) ----
// ToUpperCase, the fixed-length upper-case conversion, is declared in qm7/runtime/text.h.

// Converts exactly `tLength` bytes to lower case in place; does not stop at a zero byte.
void ToLowerCase(char* Text, int tLength);

// Convert up to the terminator in place and return the argument (null gives null).
char* strupr(char* string);
char* ToUpperStr(char* Text);
char* strlow(char* string);
char* ToLowerStr(char* Text);

// ---- Trimming and fixed-length fields ----

// `pChar` is position `Idx` of its string: replaces blanks by zero bytes going backwards and
// stops at the first non-blank or after position 0. A negative `Idx` does nothing.
void EatString(char* pChar, int Idx);

// Strips the trailing blanks of a `Length`-byte area (zero bytes replace them).
void EatTrailing(char* Area, int Length);

// Strips the trailing blanks of a string; an empty string is left as it is.
void EatTrailingStr(char* Area);

// Copies min(`tLength`, `vLength` - 1) bytes of the fixed field `Text` into `Value`, terminates
// it and strips its trailing blanks. Returns `Value`; writes nothing when `vLength` < 1.
char* GetStringTh(const char* Text, int tLength, char* Value, int vLength);

// Rewrites the `l`-byte field `p` to hold its first word left-aligned and blank-padded. Works
// through a temporary copy; when that cannot be allocated the field is left unchanged.
void fix_len_reorg(char* p, int l);

// Turns the `l`-byte field `p` into a terminated string without leading blanks (trailing blanks
// stay). REQUIRES: `p` has room for `l` + 1 bytes. Temporary copy as above.
void fix_len_reorg2(char* p, int l);

// ---- Wildcard matching ----
// `more` matches any sequence (also the empty one), `one` any single character; a value of 0
// switches either off, so the character then stands for itself.

// 1 when the whole of `str` matches the whole of `mask`, else 0.
int MyStrMatch(const char* str, const char* mask, char more, char one);

// 1 when `str1` begins with `str2`, each `one` in `str2` matching any character; 0 when it does
// not or when `str1` is shorter than `str2`.
int strccmp(const char* str1, const char* str2, char one);

// Leftmost position in `str1` at which strccmp succeeds; null when there is none.
char* strcstr(char* str1, const char* str2, char one);

// Position in `str` where a match of `mask` begins, or null. A mask without wildcards must be a
// prefix of `str`. A mask that begins with `more` is searched for: only the leftmost place where
// its first segment (up to the next `more`) matches is tried. Otherwise the mask is anchored at
// the start. The rest of the mask must match the rest of `str` whole; a mask without a further
// `more` must end the string. `mask` is cut in place while the function runs and is restored on
// every path before it returns, so it must be writable and must not be shared with another
// thread during the call.
char* strMatchPtr(char* str, char* mask, char more, char one);

// ---- Value extraction ----

// Value of the field with code `search` from the `rest_len`-byte keyword-value text
// `rest_area`, a sequence of fields "C=/value/" (code, "=", a delimiter of the field's own
// choosing, the value, the delimiter again). Returns 1 when found, 0 otherwise (also for a field
// whose closing delimiter is missing, then `result` is left empty). At most `retSize`
// characters are kept and then terminated, so REQUIRES: `result` has room for `retSize` + 1
// bytes. Nothing is read beyond `rest_len` bytes.
int GetRestField(const char* rest_area, int rest_len, char search, char* result, unsigned retSize);

// Value after the first occurrence of `search` in the terminated text `Area`: from there to the
// first "=", then up to the next "," or the end. Keeps at most `retSize` - 1 characters and
// always terminates `result` (unless `retSize` is 0: then nothing is written). Returns 1 when a
// non-empty value was found (also when it was cut), else 0. `Length` is not used.
int GetAttribute(const char* Area, int Length, const char* search, char* result, unsigned retSize);

// ---- Formatting ----

// Hexadecimal and character view of up to 500 bytes: "'41420143 44'" (groups of four bytes),
// and, while that part has at most 256 characters, blanks to a multiple of 40, ">", the bytes as
// characters ("." for the unprintable) and "<". Copied into `cValue` like strncpy: `vLength`
// bytes, not terminated when the text fills them. Returns `cValue`.
char* GetHexString(const void* addr, int aLength, char* cValue, int vLength);

// Writes the `inBufLen` bytes as 2 x `inBufLen` hex digits and a terminator into `str`. Returns
// 0, or -1 with nothing written when `strLen` < 2 x `inBufLen` + 1 or `inBufLen` < 0.
int convert2hex(const unsigned char* in, int inBufLen, char* str, int strLen);

// Decimal text of `Ptr`. With `oLen` >= 33 the area is cleared, the digits are built
// right-aligned in positions 1-31 behind blanks and position 32 is zero; a value of 0 gives "0"
// at the start. Returns a pointer to the first digit. With a smaller `oLen` the digits are
// written at the start when they fit, else `oPtr` is left empty (nothing is ever written past
// `oLen` bytes).
char* CnvIntToChar(unsigned long long Ptr, char* oPtr, int oLen);

// The address value as at least 8 upper-case hex digits (all digits of a 64-bit address), in
// `cAddr` cleared for `iLen` bytes first and cut to fit. Returns `cAddr`.
char* CnvAddrStr(const void* Was, char* cAddr, int iLen);

// ---- Other ----

// Copies `buf` (at most 2047 characters) into `logName`, replacing each reference %NAME% by the
// value of the environment variable NAME; a reference to an unset variable vanishes, "%%"
// yields nothing and an unclosed reference runs to the end. `logName` is cleared for `logSize`
// bytes; an expansion longer than `logSize` - 1 characters is cut there and terminated. Returns
// the number of characters written. Reads the environment: do not call while another thread
// changes it.
int ExpandEnvironmentStringsA(const char* buf, char* logName, int logSize);

// One step of the 32-bit shift register: the new bit (bit 0 XOR bit 3) enters at bit 31.
unsigned getnewkey(unsigned key);

// XORs `len` bytes at `ptr` with a key stream of 129 to 256 bytes (none zero) derived from `key`;
// applying it twice with the same key restores the data. Returns the last shift-register state.
unsigned memchiffre(unsigned key, void* ptr, int len);

#endif  // QM7_RUNTIME_STRINGS_H_
