// Known-answer tests of the DES cipher: the classic single vectors, the variable-plaintext and
// variable-key tables of NIST SP 800-17, a bit-by-bit reference DES that checks the table-driven
// construction on many random keys and blocks (the parity bits among them), key set-up and the
// hex conversion.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "../../src/runtime/des_tables.h"
#include "qm7/runtime/des.h"

namespace {

uint64_t from_hex(const char* h) { return std::stoull(h, nullptr, 16); }

void to_bytes(uint64_t v, char* out) {
  for (int i = 0; i < 8; i++) out[i] = static_cast<char>(v >> (56 - 8 * i));
}

uint64_t from_bytes(const char* in) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | static_cast<unsigned char>(in[i]);
  return v;
}

uint64_t table_des(uint64_t key, uint64_t block, bool decrypt = false) {
  char k[8], b[8];
  to_bytes(key, k);
  to_bytes(block, b);
  desinit(k);
  decrypt ? dedes(b, b) : endes(b, b);
  return from_bytes(b);
}
uint64_t table_encrypt(uint64_t key, uint64_t block) { return table_des(key, block); }
uint64_t table_decrypt(uint64_t key, uint64_t block) { return table_des(key, block, true); }

// Straight from the standard's definition, one bit at a time: bit n (numbered from 1) of a
// width-bit value is bit width - n counted from the least significant end. It shares the
// standard's tables with the library; the published vectors below are what checks those.
uint64_t select_bits(uint64_t in, int in_width, const unsigned char* table, int out_width) {
  uint64_t out = 0;
  for (int i = 0; i < out_width; i++) {
    out = (out << 1) | ((in >> (in_width - table[i])) & 1);
  }
  return out;
}

uint64_t reference_des(uint64_t key, uint64_t block, bool decrypt) {
  using namespace qm7::des;
  uint64_t cd = select_bits(key, 64, pc1, 56);
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFF;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFF;
  static const int shifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
  uint64_t subkeys[16];
  for (int r = 0; r < 16; r++) {
    for (int s = 0; s < shifts[r]; s++) {
      c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
      d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
    }
    subkeys[r] = select_bits((static_cast<uint64_t>(c) << 28) | d, 56, pc2, 48);
  }
  uint64_t lr = select_bits(block, 64, ip, 64);
  uint32_t l = static_cast<uint32_t>(lr >> 32);
  uint32_t r = static_cast<uint32_t>(lr);
  for (int round = 0; round < 16; round++) {
    uint64_t x = select_bits(r, 32, ei, 48) ^ subkeys[decrypt ? 15 - round : round];
    uint32_t sout = 0;
    for (int box = 0; box < 8; box++) {
      int six = static_cast<int>((x >> (42 - 6 * box)) & 0x3F);
      int row = ((six & 0x20) >> 4) | (six & 1);
      int col = (six >> 1) & 0x0F;
      sout = (sout << 4) | si[box][row * 16 + col];
    }
    uint32_t fout = static_cast<uint32_t>(select_bits(sout, 32, p32i, 32));
    uint32_t next = l ^ fout;
    l = r;
    r = next;
  }
  return select_bits((static_cast<uint64_t>(r) << 32) | l, 64, fp, 64);
}

TEST(Des, ClassicVectors) {
  // The textbook "Now is t" vector and the worked example of the key schedule literature.
  EXPECT_EQ(table_encrypt(0x0123456789ABCDEFULL, 0x4E6F772069732074ULL), 0x3FA40E8A984D4815ULL);
  EXPECT_EQ(table_decrypt(0x0123456789ABCDEFULL, 0x3FA40E8A984D4815ULL), 0x4E6F772069732074ULL);
  EXPECT_EQ(table_encrypt(0x133457799BBCDFF1ULL, 0x0123456789ABCDEFULL), 0x85E813540F0AB405ULL);
  // Block bytes straight from text, as the text encryption hands them over, in place too.
  char key[8], block[9] = "Now is t";
  to_bytes(0x0123456789ABCDEFULL, key);
  desinit(key);
  endes(block, block);
  EXPECT_EQ(from_bytes(block), 0x3FA40E8A984D4815ULL);
  dedes(block, block);
  EXPECT_STREQ(block, "Now is t");
}

// NIST SP 800-17, variable plaintext known-answer test: key 0101010101010101, plaintext with a
// single bit set, from the most significant bit down.
const char* const kVariablePlaintext[64] = {
    "95F8A5E5DD31D900", "DD7F121CA5015619", "2E8653104F3834EA", "4BD388FF6CD81D4F",
    "20B9E767B2FB1456", "55579380D77138EF", "6CC5DEFAAF04512F", "0D9F279BA5D87260",
    "D9031B0271BD5A0A", "424250B37C3DD951", "B8061B7ECD9A21E5", "F15D0F286B65BD28",
    "ADD0CC8D6E5DEBA1", "E6D5F82752AD63D1", "ECBFE3BD3F591A5E", "F356834379D165CD",
    "2B9F982F20037FA9", "889DE068A16F0BE6", "E19E275D846A1298", "329A8ED523D71AEC",
    "E7FCE22557D23C97", "12A9F5817FF2D65D", "A484C3AD38DC9C19", "FBE00A8A1EF8AD72",
    "750D079407521363", "64FEED9C724C2FAF", "F02B263B328E2B60", "9D64555A9A10B852",
    "D106FF0BED5255D7", "E1652C6B138C64A5", "E428581186EC8F46", "AEB5F5EDE22D1A36",
    "E943D7568AEC0C5C", "DF98C8276F54B04B", "B160E4680F6C696F", "FA0752B07D9C4AB8",
    "CA3A2B036DBC8502", "5E0905517BB59BCF", "814EEB3B91D90726", "4D49DB1532919C9F",
    "25EB5FC3F8CF0621", "AB6A20C0620D1C6F", "79E90DBC98F92CCA", "866ECEDD8072BB0E",
    "8B54536F2F3E64A8", "EA51D3975595B86B", "CAFFC6AC4542DE31", "8DD45A2DDF90796C",
    "1029D55E880EC2D0", "5D86CB23639DBEA9", "1D1CA853AE7C0C5F", "CE332329248F3228",
    "8405D1ABE24FB942", "E643D78090CA4207", "48221B9937748A23", "DD7C0BBD61FAFD54",
    "2FBC291A570DB5C4", "E07C30D7E4E26E12", "0953E2258E8E90A1", "5B711BC4CEEBF2EE",
    "CC083F1E6D9E85F6", "D2FD8867D50D2DFE", "06E7EA22CE92708F", "166B40B44ABA4BD6",
};

TEST(Des, VariablePlaintextTable) {
  const uint64_t key = 0x0101010101010101ULL;
  for (int i = 0; i < 64; i++) {
    uint64_t plain = 1ULL << (63 - i);
    uint64_t cipher = from_hex(kVariablePlaintext[i]);
    EXPECT_EQ(table_encrypt(key, plain), cipher) << "round " << i + 1;
    EXPECT_EQ(table_decrypt(key, cipher), plain) << "round " << i + 1;
    EXPECT_EQ(reference_des(key, plain, false), cipher) << "reference, round " << i + 1;
  }
}

// NIST SP 800-17, variable key known-answer test: plaintext 0, a key with one non-parity bit
// set (all parity bits odd), from the most significant bit down.
const char* const kVariableKey[56] = {
    "95A8D72813DAA94D", "0EEC1487DD8C26D5", "7AD16FFB79C45926", "D3746294CA6A6CF3",
    "809F5F873C1FD761", "C02FAFFEC989D1FC", "4615AA1D33E72F10", "2055123350C00858",
    "DF3B99D6577397C8", "31FE17369B5288C9", "DFDD3CC64DAE1642", "178C83CE2B399D94",
    "50F636324A9B7F80", "A8468EE3BC18F06D", "A2DC9E92FD3CDE92", "CAC09F797D031287",
    "90BA680B22AEB525", "CE7A24F350E280B6", "882BFF0AA01A0B87", "25610288924511C2",
    "C71516C29C75D170", "5199C29A52C9F059", "C22F0A294A71F29F", "EE371483714C02EA",
    "A81FBD448F9E522F", "4F644C92E192DFED", "1AFA9A66A6DF92AE", "B3C1CC715CB879D8",
    "19D032E64AB0BD8B", "3CFAA7A7DC8720DC", "B7265F7F447AC6F3", "9DB73B3C0D163F54",
    "8181B65BABF4A975", "93C9B64042EAA240", "5570530829705592", "8638809E878787A0",
    "41B9A79AF79AC208", "7A9BE42F2009A892", "29038D56BA6D2745", "5495C6ABF1E5DF51",
    "AE13DBD561488933", "024D1FFA8904E389", "D1399712F99BF02E", "14C1D7C1CFFEC79E",
    "1DE5279DAE3BED6F", "E941A33F85501303", "DA99DBBC9A03F379", "B7FC92F91D8E92E9",
    "AE8E5CAA3CA04E85", "9CC62DF43B6EED74", "D863DBB5C59A91A0", "A1AB2190545B91D7",
    "0875041E64C570F7", "5A594528BEBEF1CC", "FCDB3291DE21F0C0", "869EFD7F9F265A09",
};

TEST(Des, VariableKeyTable) {
  for (int i = 0; i < 56; i++) {
    int bit = i / 7 * 8 + i % 7;  // skip the parity bit of every byte
    uint64_t key = 0x0101010101010101ULL | (1ULL << (63 - bit));
    uint64_t cipher = from_hex(kVariableKey[i]);
    EXPECT_EQ(table_encrypt(key, 0), cipher) << "round " << i + 1;
    EXPECT_EQ(table_decrypt(key, cipher), 0u) << "round " << i + 1;
    EXPECT_EQ(reference_des(key, 0, false), cipher) << "reference, round " << i + 1;
  }
}

TEST(Des, TableDrivenAgreesWithReferenceAndInverts) {
  std::mt19937_64 rng(20240611);
  for (int n = 0; n < 300; n++) {
    uint64_t key = rng(), block = rng();
    uint64_t cipher = table_encrypt(key, block);
    ASSERT_EQ(cipher, reference_des(key, block, false)) << std::hex << key << " " << block;
    ASSERT_EQ(reference_des(key, cipher, true), block);
    ASSERT_EQ(table_decrypt(key, cipher), block);
    ASSERT_EQ(table_encrypt(key ^ 0x0101010101010101ULL, block), cipher);  // parity bits
  }
}

TEST(Des, InitKeyDefaultShortAndLongKeys) {
  // Null and empty select the default key; its first 8 UTF-8 bytes are the DES key.
  char expect[8], got[8];
  desinit("tokr\xC3\xA1hnu");
  endes("ABCDEFGH", expect);
  for (const char* none : {static_cast<const char*>(nullptr), ""}) {
    initkey(none);
    EXPECT_STREQ(keyx, "tokr\xC3\xA1hnu");
    endes("ABCDEFGH", got);
    EXPECT_EQ(0, std::memcmp(expect, got, 8));
  }

  // A short key after a longer one is padded with zero bytes, as in a fresh process.
  initkey("longerkey!");
  initkey("abc");
  EXPECT_EQ(0, std::memcmp(keyx, "abc\0\0\0\0\0\0\0\0\0", 12));
  endes("ABCDEFGH", got);
  const char padded[8] = {'a', 'b', 'c', 0, 0, 0, 0, 0};
  desinit(padded);
  endes("ABCDEFGH", expect);
  EXPECT_EQ(0, std::memcmp(expect, got, 8));

  // A key of more than 11 bytes is cut to 11 and stays terminated; keyx may set itself.
  initkey("0123456789ABCDEFGHIJ");
  EXPECT_EQ(std::string(keyx, 12), std::string("0123456789A\0", 12));
  initkey("selfkey");
  initkey(keyx);
  EXPECT_STREQ(keyx, "selfkey");
}

TEST(Des, HexConversion) {
  const char bytes[8] = {0x01, 0x23, 0x45, 0x67, '\x89', '\xAB', '\xCD', '\xEF'};
  char text[17];
  std::memset(text, '#', sizeof(text));
  byte2hex(text, bytes);
  EXPECT_EQ(std::string(text, 17), "0123456789ABCDEF#");  // no terminator
  char back[8];
  hex2byte(back, "0123456789ABCDEF");
  EXPECT_EQ(0, std::memcmp(back, bytes, 8));
  // Lower-case letters are not rejected: 'a','b' decode to (0x2A * 16 + 0x2B) mod 256.
  hex2byte(back, "ab0000000000FFff");
  EXPECT_EQ(static_cast<unsigned char>(back[0]), 0xCB);
  EXPECT_EQ(static_cast<unsigned char>(back[6]), 0xFF);
  EXPECT_NE(static_cast<unsigned char>(back[7]), 0xFF);
}

}  // namespace
