// Key state of the DES cipher and its small companions: key set-up with the default key, the
// pseudo-random source for padding bytes, and the block <-> hex text conversion.

#include <sys/time.h>

#include <cstdint>
#include <cstring>

#include "qm7/runtime/des.h"

char keyx[12];

const char head_magic[4] = {'\xAD', '\xAD', 0, 0};
const char head_vers[4] = {'1', '0', 0, 0};

// "tokráhnu": the accented letter takes two bytes in UTF-8.
const char des_default_key[10] = {'t', 'o', 'k', 'r', '\xC3', '\xA1', 'h', 'n', 'u', 0};

namespace {

// 64-bit linear congruential generator; garbage() hands out 8 of its high bits. Padding
// only has to vary, it carries no secret, so a small generator is enough.
uint64_t prng_state = 1;

void prng_seed(unsigned seed) { prng_state = seed * 2862933555777941757ULL + 3037000493ULL; }

unsigned prng_next() {
  prng_state = prng_state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<unsigned>(prng_state >> 33);
}

int hex_value(unsigned char c) { return (c >= 0x30 && c <= 0x39) ? c - 0x30 : c - 0x37; }

}  // namespace

void initkey(const char* p) {
  if (p == nullptr || *p == '\0') p = des_default_key;

  // Only the millisecond part of the clock seeds the generator, not the seconds.
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  prng_seed(static_cast<unsigned>(tv.tv_usec / 1000));

  // Clear first: a short key is padded with zero bytes, never with bytes of an earlier key.
  // A key longer than the area is cut to 11 bytes. `p` may point into keyx itself.
  char key[sizeof(keyx)] = {};
  size_t n = strnlen(p, sizeof(keyx) - 1);
  std::memcpy(key, p, n);
  std::memcpy(keyx, key, sizeof(keyx));
  desinit(keyx);
}

int garbage(void) { return static_cast<int>(prng_next() & 0xFF); }

void byte2hex(char* dst, const char* src) {
  for (int i = 0; i < 8; i++) {
    unsigned char b = static_cast<unsigned char>(src[i]);
    int nib[2] = {b >> 4, b & 0x0F};
    for (int j = 0; j < 2; j++)
      dst[2 * i + j] = static_cast<char>(nib[j] + (nib[j] <= 9 ? 0x30 : 0x37));
  }
}

void hex2byte(char* dst, const char* src) {
  for (int i = 0; i < 8; i++) {
    int hi = hex_value(static_cast<unsigned char>(src[2 * i]));
    int lo = hex_value(static_cast<unsigned char>(src[2 * i + 1]));
    dst[i] = static_cast<char>((hi * 16 + lo) & 0xFF);
  }
}
