// Memory dumps of the runtime library: hexadecimal and character dumps of an area on standard
// output or into a text, plus the seven-letter base-26 form of a 32-bit number and a bounds
// check for a sub-area of a message. Diagnostic helpers: they report nothing.
//
// Threads: the dumps write whole lines to standard output with stdio, so lines of dumps made at
// the same time by different threads do not mix within a line; their order between threads is
// not defined.
#ifndef QM7_RUNTIME_MEMDUMP_H_
#define QM7_RUNTIME_MEMDUMP_H_

// Prints a dump of `len` bytes at `addr` headed by `id`: a header line "----->  TRACE: (id)"
// cut or blank-padded to 66 columns, then the address (at least 8 upper-case hex digits) and the
// length; then one line per 16 bytes with offset, hex and characters. A run of identical
// 16-byte blocks prints once, marked with "=" in column 22; the final block always prints. A
// length of 0 or less prints only the header. Returns 0.
int ZUMEM_Trace(const char* id, const void* addr, int len);

// Same as ZUMEM_Trace.
void MemTrace(const char* id, const void* Area, int Length);

// ZUMEM_Trace with the identifier right-aligned in 40 columns and followed by " : ".
void FormMemTrace(const char* id, const void* Area, int Length);

// Prints the header line of ZUMEM_Trace and builds its dump lines without printing them.
// Returns a buffer of 256 bytes holding the last dump line (empty when `len` <= 0); the buffer
// belongs to the calling thread and is overwritten by its next call.
char* ZUMEM_TraceStr(const char* id, const void* addr, int len);

// Prints a dump in lower-case hex: a header "%-61s 0x%.6x (%.5u)" with title and size, then
// lines "  ADDRESS (OFFSET)  >hex<   >chars<" with ">" at column 60 (or right after "<" when a
// long address pushes the line past it). Identical full blocks that follow print once, marked
// with "=" in column 1.
void iPrtMem(const void* pAddr, unsigned lSize, const char* pTitle);

// Hex text of the bytes into `oPtr`, cleared for `oLen` bytes first: two upper-case digits per
// byte, a blank before every fourth byte after the first, only as many bytes as fit with the
// terminator. Returns `oPtr`.
char* GetMemTrace(const unsigned char* iPtr, int iLen, char* oPtr, int oLen);

// `iIn` as seven letters A-Z (A = 0, most significant first) and a terminator in `pOut`, which
// needs 8 bytes. Returns `pOut`.
char* Zudnst_LongToB26(unsigned iIn, char* pOut);

// The inverse: reads at most 7 characters; for each one the value is multiplied by 26 and the
// letter's digit added. A character outside A-Z (the terminator too) ends the conversion after
// the multiplication, so it counts as a final A. Arithmetic modulo 2^32; null gives 0.
unsigned Zudnst_B26ToLong(const char* pIn);

// 1 when `MsgLen` is 0 (length unknown) or the sub-area of `RestLen` bytes at `RestDist` lies
// within `MsgLen` bytes; else 0. The end of the sub-area is computed without wrap-around.
int Zudnst_Plausibility(unsigned MsgLen, unsigned RestDist, unsigned RestLen);

#endif  // QM7_RUNTIME_MEMDUMP_H_
