// Character code tables of the runtime library: translation between ASCII and EBCDIC through two
// fixed 256-entry tables, and conversion through tables built from a code-table description.
// The fixed tables are constant, so any thread may translate its own areas at any time.
#ifndef QM7_RUNTIME_CODETAB_H_
#define QM7_RUNTIME_CODETAB_H_

// Translate `textLength` bytes of `Text` in place, EBCDIC to ASCII or ASCII to EBCDIC. Codes
// without a counterpart become 0xFE (to ASCII) or 0x07 (to EBCDIC). A length of 0 or less does
// nothing.
void ToAscii(char* Text, int textLength);
void ToEbcdic(char* Text, int textLength);

// Builds the 256-byte conversion table `cCodeTab` from the 512-byte description `InpCode`: bytes
// 0-255 the output code for each input code, bytes 256-511 an attribute byte for each. Attribute
// bit 0 (1): the entry is valid. Attribute bit 1 (2): the entry's output code is the replacement
// character for invalid entries (the first such entry counts; a blank when there is none).
// Invalid entries get the replacement character.
void SetCodeTab(unsigned char* cCodeTab, const unsigned char* InpCode);

// OutArea[i] = cCodeTab[ConvArea[i]] for i below `AreaLen`; the two areas may be the same.
// Returns the number of bytes converted (0 for a length of 0 or less).
int AreaConv(unsigned char* OutArea, const unsigned char* ConvArea, int AreaLen,
             const unsigned char* cCodeTab);

#endif  // QM7_RUNTIME_CODETAB_H_
