// The printable and binary text encryption: exact layout and block counts, the classic DES
// vector showing through, the forms that are passed through untouched, in-place decryption,
// malformed binary input and the key state the keyed wrappers leave behind.
#include "qm7/runtime/maxim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qm7/runtime/des.h"

namespace {

const char kKey[] = "\x01\x23\x45\x67\x89\xAB\xCD\xEF";

std::string encrypt(const std::string& text) {
  std::vector<char> out(4 + 16 * ((text.size() + 1 + 7) / 8) + 1, '#');
  enMaxim(out.data(), text.c_str());
  EXPECT_EQ(out.back(), '\0') << "terminator at the end of the computed size";
  return std::string(out.data());
}

std::string decrypt(const std::string& form, int* rc) {
  std::vector<char> out(form.size() + 16, '\0');
  *rc = deMaxim(out.data(), form.c_str());
  return std::string(out.data());
}

TEST(Maxim, LayoutBlockCountsRoundTripsMinusSignPassThroughAndInPlace) {
  initkey(kKey);
  // Marker, version, then 16 hex digits per block of 8 bytes, the terminator included.
  EXPECT_EQ(encrypt("").substr(0, 4),
            "\xAD\xAD"
            "10");
  for (auto [length, size] : {std::pair{0, 20}, {7, 20}, {8, 36}, {15, 36}, {16, 52}}) {
    EXPECT_EQ(encrypt(std::string(length, 'x')).size(), static_cast<size_t>(size)) << length;
  }
  // The cipher blocks are plain DES of the text's bytes: the classic vector shows through.
  std::string now = encrypt("Now is t");
  EXPECT_EQ(now.substr(4, 16), "3FA40E8A984D4815");
  EXPECT_EQ(now.find_first_not_of("0123456789ABCDEF", 4), std::string::npos);

  int rc = -1;
  for (std::string text : {"", "a", "1234567", "12345678", "pass word/with=signs%$"}) {
    EXPECT_EQ(decrypt(encrypt(text), &rc), text);
    EXPECT_EQ(rc, 0);
  }
  // With padding only the last block varies between two encryptions of one text.
  std::string a = encrypt("eight888xyz"), b = encrypt("eight888xyz");
  EXPECT_EQ(a.substr(0, 20), b.substr(0, 20));
  EXPECT_EQ(decrypt(b, &rc), "eight888xyz");
  EXPECT_EQ(encrypt("fifteen-chars!!"), encrypt("fifteen-chars!!"));  // no padding at all
  std::string form = encrypt("secret value");
  rc = -1;
  EXPECT_EQ(decrypt("--" + form.substr(2), &rc), "secret value");
  EXPECT_EQ(rc, 0);

  // Not the printable form: copied unchanged, result 1.
  for (std::string plain :
       {"--10" + std::string(15, 'A'), std::string("plain text"), "--11" + form.substr(4),
        std::string("-\xAD") + "10", std::string("--1"), std::string(""), form.substr(0, 35)}) {
    EXPECT_EQ(decrypt(plain, &rc), plain);
    EXPECT_EQ(rc, 1) << plain;
  }
  // A bare marker is the printable form with no blocks: result 0, nothing written.
  char out[8] = "#";
  EXPECT_EQ(deMaxim(out, "--10"), 0);
  EXPECT_EQ(out[0], '#');

  std::string text = "a text of several blocks, to be decrypted in place";
  const std::string long_form = encrypt(text);
  std::vector<char> buf(long_form.begin(), long_form.end());
  buf.push_back('\0');
  EXPECT_EQ(deMaxim(buf.data(), buf.data()), 0);
  EXPECT_EQ(std::string(buf.data()), text);
  char plain[] = "not encrypted";
  EXPECT_EQ(deMaxim(plain, plain), 1);
  EXPECT_STREQ(plain, "not encrypted");
}

TEST(Maxim, KeyedWrappersClearTheKeyAfterUse) {
  char form[64], out[64];
  ZUSTRNG_EnMaxim2(form, "under key one", "key-one");
  EXPECT_EQ(keyx[0], '\0');
  EXPECT_EQ(ZUSTRNG_DeMaxim2(out, form, "key-one"), 0);
  EXPECT_STREQ(out, "under key one");
  EXPECT_EQ(keyx[0], '\0');

  // The keyless call now sets the default key rather than reusing key-one.
  EXPECT_EQ(ZUSTRNG_DeMaxim(out, form), 0);
  EXPECT_STRNE(out, "under key one");
  EXPECT_STREQ(keyx, "tokr\xC3\xA1hnu");

  // The default key is the same whether named by null, by "" or by no key at all.
  ZUSTRNG_EnMaxim(form, "default");
  EXPECT_EQ(ZUSTRNG_DeMaxim2(out, form, nullptr), 0);
  EXPECT_STREQ(out, "default");
  ZUSTRNG_EnMaxim2(form, "default2", "");
  EXPECT_EQ(ZUSTRNG_DeMaxim(out, form), 0);
  EXPECT_STREQ(out, "default2");

  // A key set with initkey stays for the keyless calls.
  initkey("kept");
  enMaxim(form, "kept text");
  EXPECT_EQ(ZUSTRNG_DeMaxim(out, form), 0);
  EXPECT_STREQ(out, "kept text");
}

TEST(Maxim, BinaryFormLengthsRoundTripsAndMalformedInput) {
  initkey("binary");
  char src[24], enc[40], dec[40];
  for (int i = 0; i < 24; i++) src[i] = static_cast<char>(i * 37);
  // Whole blocks only, or a padded last block followed by the count of its real bytes.
  for (int n = 1; n <= 24; n++) {
    const int m = enMaximBin(enc, src, n);
    ASSERT_EQ(m, n % 8 == 0 ? n : (n + 7) / 8 * 8 + 1) << n;
    if (n % 8 != 0) {
      EXPECT_EQ(enc[m - 1], n % 8);
    }
    EXPECT_EQ(deMaximBin(dec, enc, m), n);
    EXPECT_EQ(0, std::memcmp(dec, src, static_cast<size_t>(n))) << n;
  }
  EXPECT_EQ(enMaximBin(enc, src, 0), 0);
  EXPECT_EQ(enMaximBin(enc, src, -3), 0);

  EXPECT_EQ(ZUSTRNG_EnMaximBin2(enc, src, 9, "other"), 17);
  EXPECT_EQ(keyx[0], '\0');
  EXPECT_EQ(ZUSTRNG_DeMaximBin2(dec, enc, 17, "other"), 9);
  EXPECT_EQ(0, std::memcmp(dec, src, 9));
  EXPECT_EQ(ZUSTRNG_EnMaximBin(enc, src, 9), 17);
  EXPECT_EQ(ZUSTRNG_DeMaximBin(dec, enc, 17), 9);
  EXPECT_EQ(0, std::memcmp(dec, src, 9));

  // Malformed input, under a key the wrappers have not cleared.
  initkey("binary");
  ASSERT_EQ(enMaximBin(enc, "abcdefgh", 9), 17);
  // Count byte 0 or above 7 (also negative as a signed byte): the last block stays whole.
  for (char bad : {'\0', '\x08', '\x7F', '\x80', '\xFF'}) {
    enc[16] = bad;
    EXPECT_EQ(deMaximBin(dec, enc, 17), 16) << static_cast<int>(bad);
  }
  enc[16] = 3;  // 2..7 trailing bytes: the first is the count, the others are ignored
  EXPECT_EQ(deMaximBin(dec, enc, 20), 11);
  enc[0] = 3;  // a valid count, but with no whole block in front of it
  for (int short_length : {7, 1, 0, -1}) EXPECT_EQ(deMaximBin(dec, enc, short_length), 0);
}

}  // namespace
