// ASCII/EBCDIC code tables and table-driven conversion. The two fixed tables are generated at
// compile time from one list, the EBCDIC code page 037 code of each of the 128 ASCII
// characters, plus the system's own departures from that code page, which are listed one by
// one below. Check the list against any code page 037 chart row by row.
#include <array>
#include <cstddef>

#include "qm7/runtime/codetab.h"

namespace {

using CodeTable = std::array<unsigned char, 256>;

// Code page 037 code of each ASCII character 0x00-0x7F, eight per row.
constexpr std::array<unsigned char, 128> kCp037OfAscii = {
    0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F,  // 00-07 NUL SOH STX ETX EOT ENQ ACK BEL
    0x16, 0x05, 0x25, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,  // 08-0F BS  HT  LF  VT  FF  CR  SO  SI
    0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26,  // 10-17 DLE DC1 DC2 DC3 DC4 NAK SYN ETB
    0x18, 0x19, 0x3F, 0x27, 0x1C, 0x1D, 0x1E, 0x1F,  // 18-1F CAN EM  SUB ESC FS  GS  RS  US
    0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D,  // 20-27 blank ! " # $ % & '
    0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,  // 28-2F ( ) * + , - . /
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,  // 30-37 0 1 2 3 4 5 6 7
    0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,  // 38-3F 8 9 : ; < = > ?
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,  // 40-47 @ A B C D E F G
    0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,  // 48-4F H I J K L M N O
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6,  // 50-57 P Q R S T U V W
    0xE7, 0xE8, 0xE9, 0xBA, 0xE0, 0xBB, 0xB0, 0x6D,  // 58-5F X Y Z [ \ ] ^ _
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,  // 60-67 ` a b c d e f g
    0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,  // 68-6F h i j k l m n o
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,  // 70-77 p q r s t u v w
    0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1, 0x07,  // 78-7F x y z { | } ~ DEL
};

struct Exception {
  unsigned char from;
  unsigned char to;
};

// EBCDIC to ASCII: where the system departs from code page 037.
constexpr Exception kToAsciiExceptions[] = {
    {0x07, 0x07},  // code page 037 DEL stays 0x07
    {0x13, 0x12},  // code page 037 DC3 gives DC2
    {0x4A, 0x60},  // "`" (code page 037: cent sign)
    {0x6A, 0x5E},  // "^" (code page 037: broken bar)
    {0xBB, 0x5B},  // "[" (code page 037: "]")
    {0xBC, 0x5C},  // "\" (code page 037: macron)
    {0xBD, 0x5D},  // "]" (code page 037: diaeresis)
    {0xFB, 0x7B},  // "{" (code page 037: U circumflex)
    {0xFD, 0x7D},  // "}" (code page 037: U grave)
    {0xFF, 0x7E},  // "~" (code page 037: control EO)
    // The code page 037 positions of ` ~ ^ [ { } \ are not used; they have no ASCII character.
    {0x79, 0xFE},
    {0xA1, 0xFE},
    {0xB0, 0xFE},
    {0xBA, 0xFE},
    {0xC0, 0xFE},
    {0xD0, 0xFE},
    {0xE0, 0xFE},
};

// ASCII to EBCDIC: where the system departs from code page 037. The Latin-1 umlauts share the
// codes that the brackets get here.
constexpr Exception kToEbcdicExceptions[] = {
    {0x5B, 0xBB},  // "["
    {0x5C, 0xBC},  // "\"
    {0x5D, 0xBD},  // "]"
    {0x5E, 0x6A},  // "^"
    {0x60, 0x4A},  // "`"
    {0x7B, 0xFB},  // "{"
    {0x7D, 0xFD},  // "}"
    {0x7E, 0xFF},  // "~"
    {0xC4, 0xBB},  // Latin-1 A umlaut
    {0xD6, 0xBC},  // Latin-1 O umlaut
    {0xDC, 0xBD},  // Latin-1 U umlaut
};

// EBCDIC codes without an ASCII character, and ASCII codes above 0x7F.
constexpr unsigned char kNoAscii = 0xFE;
constexpr unsigned char kNoEbcdic = 0x07;

constexpr CodeTable build_to_ascii() {
  CodeTable table{};
  table.fill(kNoAscii);
  for (size_t ascii = 0; ascii < kCp037OfAscii.size(); ++ascii) {
    table[kCp037OfAscii[ascii]] = static_cast<unsigned char>(ascii);
  }
  for (const Exception& e : kToAsciiExceptions) table[e.from] = e.to;
  return table;
}

constexpr CodeTable build_to_ebcdic() {
  CodeTable table{};
  table.fill(kNoEbcdic);
  for (size_t ascii = 0; ascii < kCp037OfAscii.size(); ++ascii) table[ascii] = kCp037OfAscii[ascii];
  for (const Exception& e : kToEbcdicExceptions) table[e.from] = e.to;
  return table;
}

// A code page assigns each character its own code: no two ASCII characters share one.
constexpr bool codes_are_distinct() {
  std::array<bool, 256> seen{};
  for (unsigned char code : kCp037OfAscii) {
    if (seen[code]) return false;
    seen[code] = true;
  }
  return true;
}
static_assert(codes_are_distinct());

constexpr CodeTable kToAscii = build_to_ascii();
constexpr CodeTable kToEbcdic = build_to_ebcdic();

static_assert(kToAscii[0xC1] == 'A' && kToAscii[0x81] == 'a' && kToAscii[0xF0] == '0');
static_assert(kToEbcdic['A'] == 0xC1 && kToEbcdic[' '] == 0x40 && kToEbcdic[0x80] == 0x07);

void translate(char* text, int length, const CodeTable& table) {
  if (text == nullptr) return;
  for (int i = 0; i < length; ++i) {
    text[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
  }
}

constexpr unsigned char kAttrValid = 0x01;
constexpr unsigned char kAttrReplacement = 0x02;

}  // namespace

void ToAscii(char* Text, int textLength) { translate(Text, textLength, kToAscii); }

void ToEbcdic(char* Text, int textLength) { translate(Text, textLength, kToEbcdic); }

void SetCodeTab(unsigned char* cCodeTab, const unsigned char* InpCode) {
  if (cCodeTab == nullptr || InpCode == nullptr) return;
  const unsigned char* output = InpCode;
  const unsigned char* attribute = InpCode + 256;
  unsigned char replacement = ' ';
  for (int i = 0; i < 256; ++i) {
    if (attribute[i] & kAttrReplacement) {
      replacement = output[i];
      break;
    }
  }
  for (int i = 0; i < 256; ++i) {
    cCodeTab[i] = (attribute[i] & kAttrValid) ? output[i] : replacement;
  }
}

int AreaConv(unsigned char* OutArea, const unsigned char* ConvArea, int AreaLen,
             const unsigned char* cCodeTab) {
  if (OutArea == nullptr || ConvArea == nullptr || cCodeTab == nullptr || AreaLen <= 0) return 0;
  for (int i = 0; i < AreaLen; ++i) OutArea[i] = cCodeTab[ConvArea[i]];
  return AreaLen;
}
