// Character-code identification of the host and byte translation between EBCDIC (IBM code page
// 273, German) and ASCII (IBM PC code page 850). Kept for hosts that exchange EBCDIC text; the
// messenger itself runs on ASCII hosts and does not translate.
#ifndef QM7_MESSENGER_CODEPAGE_H_
#define QM7_MESSENGER_CODEPAGE_H_

#include <array>

// Character codes: 0 stands for EBCDIC, any other value for ASCII.
inline constexpr int kCodeEbcdic = 0;
inline constexpr int kCodeAscii = 1;

// Translation tables, 256 bytes each. A character that the other code page lacks maps to 0xFF;
// the one exception is EBCDIC 0xBC (overline), which maps to 0xEE (macron) and back.
extern const std::array<unsigned char, 256> ebcdic2ascii;
extern const std::array<unsigned char, 256> ascii2ebcdic;

// The character code of this host: always 1 (ASCII).
int OwnCode(void);

// Translates `size` bytes at `from` in place from code `srccode` to code `trgcode`. Nothing
// changes when both name the same kind of code (both 0, or both non-zero), when `from` is null
// or when `size` is not positive. Any thread; the tables are constant.
void Swapcode(int srccode, int trgcode, unsigned char* from, int size);

#endif  // QM7_MESSENGER_CODEPAGE_H_
