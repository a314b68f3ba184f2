// A reversible byte scrambler: a 32-bit shift register gives a key stream of 129 to 256 non-zero
// bytes that is XORed over the data in turn. Not encryption: it only keeps texts from being read
// at a glance in dumps and files. Applying it twice with the same key restores the data.
#include <cstdint>

#include "qm7/runtime/strings.h"

namespace {

constexpr int kMaxKeyLength = 256;

}  // namespace

unsigned getnewkey(unsigned key) {
  const uint32_t k = key;
  const uint32_t bit = (k ^ (k >> 3)) & 1u;
  return static_cast<unsigned>((k >> 1) | (bit << 31));
}

unsigned memchiffre(unsigned key, void* ptr, int len) {
  unsigned k = getnewkey(key);
  const int key_length = static_cast<int>(k & 127u) + 129;
  unsigned char stream[kMaxKeyLength];
  for (int i = 0; i < key_length; ++i) {
    k = getnewkey(k);
    stream[i] = static_cast<unsigned char>(k % 255u + 1u);
  }
  if (ptr != nullptr) {
    auto* bytes = static_cast<unsigned char*>(ptr);
    for (int i = 0; i < len; ++i) bytes[i] ^= stream[i % key_length];
  }
  return k;
}
