// Text encryption on top of the DES cipher: a printable form for zero-terminated texts and a
// binary form for byte buffers, both DES in electronic-codebook fashion under the caller's key
// or the default key.
//
// Printable form: marker 0xAD 0xAD (on reading also "--"), version "10", then 16 upper-case hex
// digits per cipher block, zero-terminated. The plaintext is the text with its terminator, cut
// into 8-byte blocks; the last block is padded with random bytes. No length is stored: the text
// ends at the first zero byte of the plaintext.
//
// Binary form: the input's full 8-byte blocks encrypted; when 1..7 bytes remain, one more block
// holding them and random padding, followed by one plain count byte (1..7).
//
// Threads: all of these share and change the single key state of the DES module (keyx); they
// must not run in two threads at a time. None of them checks the size of `dst`: the sizes
// below are the caller's duty.
#ifndef QM7_RUNTIME_MAXIM_H_
#define QM7_RUNTIME_MAXIM_H_

// Encrypts the text `src` under the current key. `dst` needs room for
// 4 + 16 * ceil((strlen(src) + 1) / 8) + 1 bytes and must not overlap `src`.
void enMaxim(char* dst, const char* src);

// Decrypts the printable form `src` under the current key into `dst` and returns 0; `dst`
// receives whole blocks (8 * (strlen(src) - 4) / 16 bytes, padding included), the text ending
// at its own zero byte. Input not in the printable form (wrong marker or version, digit count
// not a multiple of 16) is copied unchanged with its terminator and gives 1. A bare marker
// gives 0 and writes nothing. `dst` may equal `src`.
int deMaxim(char* dst, const char* src);

// Encrypts / decrypts `srclen` bytes in the binary form and returns the number of bytes
// written: srclen when it is a multiple of 8, else 8 * ceil(srclen / 8) + 1 (room for
// srclen + 8 bytes); decryption returns the plaintext length. Malformed input decrypts as many
// full blocks as it holds; a missing or out-of-range count byte leaves the last block whole.
// Bytes after the result in `dst` (padding) are not cleared.
int enMaximBin(char* dst, const char* src, int srclen);
int deMaximBin(char* dst, const char* src, int srclen);

// Keyless wrappers: set the default key first when no key is set, then work as above; a key
// set by an earlier keyless call is kept. The En variants return 0.
int ZUSTRNG_EnMaxim(char* dst, const char* src);
int ZUSTRNG_DeMaxim(char* dst, const char* src);
int ZUSTRNG_EnMaximBin(char* dst, const char* src, int srclen);
int ZUSTRNG_DeMaximBin(char* dst, const char* src, int srclen);

// Keyed wrappers: set `keyString` as key (null or empty: the default key), work, then mark the
// key as not set (keyx[0] = 0), so the next keyless call uses the default key again.
int ZUSTRNG_EnMaxim2(char* dst, const char* src, const char* keyString);
int ZUSTRNG_DeMaxim2(char* dst, const char* src, const char* keyString);
int ZUSTRNG_EnMaximBin2(char* dst, const char* src, int srclen, const char* keyString);
int ZUSTRNG_DeMaximBin2(char* dst, const char* src, int srclen, const char* keyString);

#endif  // QM7_RUNTIME_MAXIM_H_
