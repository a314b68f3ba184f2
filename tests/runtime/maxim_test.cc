// Tests of the printable and binary text encryption and of the key state the wrappers keep.

#include "qm7/runtime/maxim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

// Decrypts into a roomy buffer; returns the text up to its zero byte.
std::string decrypt(const std::string& form, int* rc) {
  std::vector<char> out(form.size() + 16, '\0');
  *rc = deMaxim(out.data(), form.c_str());
  return std::string(out.data());
}

TEST(Maxim, BlockCountsAndLayout) {
  initkey(kKey);
  // Empty text: marker, version and one block of its terminator and random padding.
  std::string empty = encrypt("");
  ASSERT_EQ(empty.size(), 20u);
  EXPECT_EQ(empty.substr(0, 4),
            "\xAD\xAD"
            "10");
  int rc = -1;
  EXPECT_EQ(decrypt(empty, &rc), "");
  EXPECT_EQ(rc, 0);

  // 7 characters and the terminator fill one block exactly; 8 characters take two.
  EXPECT_EQ(encrypt("1234567").size(), 20u);
  EXPECT_EQ(encrypt("12345678").size(), 36u);
  EXPECT_EQ(encrypt(std::string(15, 'x')).size(), 36u);
  EXPECT_EQ(encrypt(std::string(16, 'x')).size(), 52u);

  // The cipher blocks are plain DES of the text's bytes: the classic vector shows through.
  std::string now = encrypt("Now is t");
  EXPECT_EQ(now.substr(4, 16), "3FA40E8A984D4815");
  for (char c : now.substr(4)) EXPECT_TRUE(std::isdigit(c) || (c >= 'A' && c <= 'F')) << c;

  for (std::string text : {"a", "abc", "1234567", "12345678", "pass word/with=signs%$"}) {
    EXPECT_EQ(decrypt(encrypt(text), &rc), text);
    EXPECT_EQ(rc, 0);
  }
}

TEST(Maxim, SameTextTwiceUnderOneKey) {
  initkey("k1");
  // Length + 1 a multiple of 8: no padding, identical every time.
  EXPECT_EQ(encrypt("seven77"), encrypt("seven77"));
  EXPECT_EQ(encrypt("fifteen-chars!!"), encrypt("fifteen-chars!!"));
  // With padding only the last block may differ; the full blocks before it never do.
  std::string a = encrypt("eight888xyz"), b = encrypt("eight888xyz");
  ASSERT_EQ(a.size(), 36u);
  EXPECT_EQ(a.substr(0, 20), b.substr(0, 20));
  int rc;
  EXPECT_EQ(decrypt(a, &rc), "eight888xyz");
  EXPECT_EQ(decrypt(b, &rc), "eight888xyz");
}

TEST(Maxim, MinusSignMarkerAndPassThrough) {
  initkey(kKey);
  std::string form = encrypt("secret value");
  std::string dashes = "--" + form.substr(2);
  int rc = -1;
  EXPECT_EQ(decrypt(dashes, &rc), "secret value");
  EXPECT_EQ(rc, 0);

  // Not the printable form: copied unchanged, result 1.
  for (std::string plain : {"--10" + std::string(15, 'A'), std::string("plain text"),
                            std::string("--11") + form.substr(4), std::string("-\xAD") + "10",
                            std::string("--1"), std::string(""), form.substr(0, 35)}) {
    EXPECT_EQ(decrypt(plain, &rc), plain);
    EXPECT_EQ(rc, 1) << plain;
  }

  // A bare marker is the printable form with no blocks: result 0, nothing written.
  char out[8];
  std::memset(out, '#', sizeof(out));
  EXPECT_EQ(deMaxim(out, "--10"), 0);
  EXPECT_EQ(out[0], '#');
}

TEST(Maxim, InPlaceDecryption) {
  initkey("inplace");
  std::string form = encrypt("a text of several blocks, to be decrypted in place");
  std::vector<char> buf(form.begin(), form.end());
  buf.push_back('\0');
  int rc_copy = -1;
  std::string copy = decrypt(form, &rc_copy);
  EXPECT_EQ(deMaxim(buf.data(), buf.data()), 0);
  EXPECT_EQ(std::string(buf.data()), copy);
  EXPECT_EQ(copy, "a text of several blocks, to be decrypted in place");

  // Pass-through in place leaves the text as it is.
  char plain[] = "not encrypted";
  EXPECT_EQ(deMaxim(plain, plain), 1);
  EXPECT_STREQ(plain, "not encrypted");
}

TEST(Maxim, LowerCaseDigitsDecodeToSomethingElse) {
  initkey(kKey);
  std::string form = encrypt("Now is t");  // "3FA40E8A984D4815..."
  std::string lower = form;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  lower[0] = lower[1] = '-';
  int rc = -1;
  EXPECT_NE(decrypt(lower, &rc), "Now is t");
  EXPECT_EQ(rc, 0);
}

TEST(Maxim, KeyedWrappersResetTheKey) {
  char form[64], out[64];
  ZUSTRNG_EnMaxim2(form, "under key one", "key-one");
  EXPECT_EQ(keyx[0], '\0');
  EXPECT_EQ(ZUSTRNG_DeMaxim2(out, form, "key-one"), 0);
  EXPECT_STREQ(out, "under key one");
  EXPECT_EQ(keyx[0], '\0') << "key marked as not set after ZUSTRNG_DeMaxim2";

  // The keyless call now uses the default key, not key-one.
  EXPECT_EQ(ZUSTRNG_DeMaxim(out, form), 0);
  EXPECT_STRNE(out, "under key one");
  EXPECT_STREQ(keyx, "tokr\xC3\xA1hnu");

  // A default-key encryption decrypts with an explicit null or empty key, and vice versa.
  ZUSTRNG_EnMaxim(form, "default");
  EXPECT_EQ(ZUSTRNG_DeMaxim2(out, form, nullptr), 0);
  EXPECT_STREQ(out, "default");
  ZUSTRNG_EnMaxim2(form, "default2", "");
  EXPECT_EQ(ZUSTRNG_DeMaxim(out, form), 0);
  EXPECT_STREQ(out, "default2");

  // A key set by a keyless call stays: ZUSTRNG_DeMaxim keeps using a key set with initkey.
  initkey("kept");
  enMaxim(form, "kept text");
  EXPECT_EQ(ZUSTRNG_DeMaxim(out, form), 0);
  EXPECT_STREQ(out, "kept text");
}

TEST(Maxim, BinaryFormLengths) {
  initkey("binary");
  const char eight[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  char enc[32], dec[32];
  EXPECT_EQ(enMaximBin(enc, eight, 8), 8);
  EXPECT_EQ(deMaximBin(dec, enc, 8), 8);
  EXPECT_EQ(0, std::memcmp(dec, eight, 8));

  const char nine[9] = {'\0', '\xFF', 'a', 'b', 'c', 'd', 'e', 'f', '\x80'};
  EXPECT_EQ(enMaximBin(enc, nine, 9), 17);
  EXPECT_EQ(enc[16], 1);
  EXPECT_EQ(deMaximBin(dec, enc, 17), 9);
  EXPECT_EQ(0, std::memcmp(dec, nine, 9));

  // Every length from 1 to 24 round-trips.
  char src[24];
  for (int i = 0; i < 24; i++) src[i] = static_cast<char>(i * 37);
  for (int n = 1; n <= 24; n++) {
    int m = enMaximBin(enc, src, n);
    EXPECT_EQ(m, n % 8 == 0 ? n : (n + 7) / 8 * 8 + 1);
    EXPECT_EQ(deMaximBin(dec, enc, m), n);
    EXPECT_EQ(0, std::memcmp(dec, src, static_cast<size_t>(n)));
  }
  EXPECT_EQ(enMaximBin(enc, src, 0), 0);
  EXPECT_EQ(enMaximBin(enc, src, -3), 0);

  char keyed[32];
  EXPECT_EQ(ZUSTRNG_EnMaximBin2(keyed, nine, 9, "other"), 17);
  EXPECT_EQ(keyx[0], '\0');
  EXPECT_EQ(ZUSTRNG_DeMaximBin2(dec, keyed, 17, "other"), 9);
  EXPECT_EQ(0, std::memcmp(dec, nine, 9));
  EXPECT_EQ(ZUSTRNG_EnMaximBin(keyed, nine, 9), 17);
  EXPECT_EQ(ZUSTRNG_DeMaximBin(dec, keyed, 17), 9);
  EXPECT_EQ(0, std::memcmp(dec, nine, 9));
}

TEST(Maxim, BinaryMalformedInput) {
  initkey("binary");
  char enc[32], dec[32];
  const char src[9] = "abcdefgh";
  ASSERT_EQ(enMaximBin(enc, src, 9), 17);
  // Count byte 0 or above 7 (also negative as a signed byte): the last block stays whole.
  for (char bad : {'\0', '\x08', '\x7F', '\x80', '\xFF'}) {
    enc[16] = bad;
    EXPECT_EQ(deMaximBin(dec, enc, 17), 16) << static_cast<int>(bad);
  }
  // 2..7 trailing bytes: the first is the count, the others are ignored.
  enc[16] = 3;
  EXPECT_EQ(deMaximBin(dec, enc, 20), 11);
  // Shorter than one block: nothing decrypted.
  EXPECT_EQ(deMaximBin(dec, enc, 7), 0);
  EXPECT_EQ(deMaximBin(dec, enc, 1), 0);
  EXPECT_EQ(deMaximBin(dec, enc, 0), 0);
  EXPECT_EQ(deMaximBin(dec, enc, -1), 0);
}

}  // namespace
