// The DES block cipher (FIPS 46-3) in electronic-codebook use: key set-up, one-block encryption
// and decryption, the pseudo-random source for padding, and the 8-byte <-> 16-digit hex
// conversion. A block encrypted here decrypts with any conforming DES under the same key.
//
// Threads: there is one key schedule for the whole process and nothing is locked. Setting a key
// and using it must not overlap with another thread doing either; the messenger uses the cipher
// from its main thread only.
#ifndef QM7_RUNTIME_DES_H_
#define QM7_RUNTIME_DES_H_

// The current key string with its terminator; a zero first byte means "no key set". Only the
// first 8 bytes form the DES key (the low bit of each byte is a parity bit and is ignored).
// The text encryption clears keyx[0] after a keyed call so the next keyless call sets the
// default key again.
extern char keyx[12];

// Format constants of the encrypted text form: the two marker bytes 0xAD 0xAD and the version
// "10". Only the first two bytes of each are used.
extern const char head_magic[4];
extern const char head_vers[4];

// The key used when none is given: "tokráhnu" in UTF-8, 9 bytes; its first 8 form the DES key.
extern const char des_default_key[10];

// Sets the current key. A null or empty `p` selects the default key. Reseeds the padding
// generator from the millisecond part of the clock, clears `keyx`, copies at most 11 bytes of
// `p` into it (always terminated, so a short key is padded with zero bytes and never inherits
// bytes of an earlier key) and rebuilds every table (desinit).
void initkey(const char* p);

// Builds all lookup tables for the 8-byte `key`. Called by initkey; callable directly.
void desinit(const char* key);

// Encrypts / decrypts one 8-byte block under the current tables. `inblock` and `outblock` may
// be the same buffer. REQUIRES: a key was set (desinit or initkey).
void endes(const char* inblock, char* outblock);
void dedes(const char* inblock, char* outblock);

// A pseudo-random byte value 0..255 for padding.
int garbage(void);

// Writes the 8 bytes at `src` as 16 hex digits (0-9, upper-case A-F, high nibble first) at
// `dst`. No terminator is written.
void byte2hex(char* dst, const char* src);

// Reads 16 characters at `src` and writes 8 bytes at `dst`, the first of each pair as the high
// nibble. Characters 0-9 give 0-9 and every other character c gives c - 0x37, so upper-case A-F
// decode correctly while other characters (lower case included) are not rejected and decode to
// other values; callers upper-case first.
void hex2byte(char* dst, const char* src);

#endif  // QM7_RUNTIME_DES_H_
