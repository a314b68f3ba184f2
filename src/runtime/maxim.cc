// Printable and binary text encryption over the DES cipher, and the wrappers that manage the
// process-wide key state around them.

#include "qm7/runtime/maxim.h"

#include <cstring>

#include "qm7/runtime/des.h"

namespace {

constexpr int kBlock = 8;
constexpr int kMarkerLen = 4;
constexpr int kDigitsPerBlock = 16;

// The last, partial block: `r` plaintext bytes, then one garbage() call per padding position.
void fill_partial_block(char* block, const char* src, int r) {
  std::memcpy(block, src, static_cast<size_t>(r));
  for (int i = r; i < kBlock; i++) block[i] = static_cast<char>(garbage());
}

bool is_printable_form(const char* src, size_t len) {
  if (len < static_cast<size_t>(kMarkerLen)) return false;
  bool marker =
      (src[0] == head_magic[0] && src[1] == head_magic[1]) || (src[0] == '-' && src[1] == '-');
  return marker && src[2] == head_vers[0] && src[3] == head_vers[1] &&
         (len - kMarkerLen) % kDigitsPerBlock == 0;
}

void ensure_key() {
  if (keyx[0] == '\0') initkey(nullptr);
}

}  // namespace

void enMaxim(char* dst, const char* src) {
  dst[0] = head_magic[0];
  dst[1] = head_magic[1];
  dst[2] = head_vers[0];
  dst[3] = head_vers[1];
  char* out = dst + kMarkerLen;
  // Encrypt the terminator too, so that decryption finds the end of the text.
  for (int r = static_cast<int>(std::strlen(src)) + 1; r > 0; r -= kBlock, src += kBlock) {
    char block[kBlock];
    if (r >= kBlock) {
      endes(src, block);
    } else {
      fill_partial_block(block, src, r);
      endes(block, block);
    }
    byte2hex(out, block);
    out += kDigitsPerBlock;
    *out = '\0';
  }
}

int deMaxim(char* dst, const char* src) {
  size_t len = std::strlen(src);
  if (!is_printable_form(src, len)) {
    if (dst != src) std::memmove(dst, src, len + 1);
    return 1;
  }
  // In place, block k is written at 8k while its digits were read from 4 + 16k onwards, so
  // every write lands behind what has already been read.
  size_t blocks = (len - kMarkerLen) / kDigitsPerBlock;
  for (size_t k = 0; k < blocks; k++) {
    char block[kBlock];
    hex2byte(block, src + kMarkerLen + k * kDigitsPerBlock);
    dedes(block, dst + k * kBlock);
  }
  return 0;
}

int enMaximBin(char* dst, const char* src, int srclen) {
  int out = 0;
  int r = srclen;
  for (; r >= kBlock; r -= kBlock, src += kBlock, out += kBlock) endes(src, dst + out);
  if (r > 0) {
    char block[kBlock];
    fill_partial_block(block, src, r);
    endes(block, dst + out);
    out += kBlock;
    dst[out++] = static_cast<char>(r);
  }
  return out;
}

int deMaximBin(char* dst, const char* src, int srclen) {
  int out = 0;
  int r = srclen;
  for (; r > kBlock - 1; r -= kBlock, src += kBlock, out += kBlock) dedes(src, dst + out);
  if (r > 0 && out > 0) {
    auto count = static_cast<signed char>(src[0]);
    if (count >= 1 && count <= kBlock - 1) out -= kBlock - count;
  }
  return out;
}

int ZUSTRNG_EnMaxim(char* dst, const char* src) {
  ensure_key();
  enMaxim(dst, src);
  return 0;
}

int ZUSTRNG_DeMaxim(char* dst, const char* src) {
  ensure_key();
  return deMaxim(dst, src);
}

int ZUSTRNG_EnMaximBin(char* dst, const char* src, int srclen) {
  ensure_key();
  return enMaximBin(dst, src, srclen);
}

int ZUSTRNG_DeMaximBin(char* dst, const char* src, int srclen) {
  ensure_key();
  return deMaximBin(dst, src, srclen);
}

int ZUSTRNG_EnMaxim2(char* dst, const char* src, const char* keyString) {
  initkey(keyString);
  enMaxim(dst, src);
  keyx[0] = '\0';
  return 0;
}

int ZUSTRNG_DeMaxim2(char* dst, const char* src, const char* keyString) {
  initkey(keyString);
  int rc = deMaxim(dst, src);
  keyx[0] = '\0';
  return rc;
}

int ZUSTRNG_EnMaximBin2(char* dst, const char* src, int srclen, const char* keyString) {
  initkey(keyString);
  int rc = enMaximBin(dst, src, srclen);
  keyx[0] = '\0';
  return rc;
}

int ZUSTRNG_DeMaximBin2(char* dst, const char* src, int srclen, const char* keyString) {
  initkey(keyString);
  int rc = deMaximBin(dst, src, srclen);
  keyx[0] = '\0';
  return rc;
}
