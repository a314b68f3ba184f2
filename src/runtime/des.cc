// Table-driven DES: desinit turns the standard's permutations and S-boxes into lookup tables
// once per key, so that one block costs two 16-lookup permutations and, per round, one
// expansion, six XORs, four S-box-pair lookups and four P-table lookups.

#include <string.h>  // explicit_bzero

#include <cstring>

#include "des_tables.h"
#include "qm7/runtime/des.h"

namespace {

using namespace qm7::des;

// Built by desinit. iperm/fperm: for nibble position i (0 = high nibble of byte 0) and nibble
// value v, the output block holding exactly the permuted bits that come from those input bits.
unsigned char iperm[16][16][8];
unsigned char fperm[16][16][8];
unsigned char kn[16][6];          // the 16 round keys, 48 bits each, MSB first
unsigned char s[4][4096];         // S-box pairs 2i / 2i+1 indexed by 12 input bits
unsigned char p32[4][256][4];     // permutation P, per input byte position and value
unsigned char pc1m[56], pcr[56];  // key-schedule scratch

void perminit(unsigned char perm[16][16][8], const unsigned char p[64]) {
  std::memset(perm, 0, sizeof(iperm));
  for (int i = 0; i < 16; i++) {
    for (int v = 0; v < 16; v++) {
      for (int k = 0; k < 64; k++) {
        int l = p[k] - 1;
        if ((l >> 2) != i) continue;
        if (!(v & nibblebit[l & 3])) continue;
        perm[i][v][k >> 3] |= bytebit[k & 7];
      }
    }
  }
}

void kinit(const char* key) {
  const auto* k = reinterpret_cast<const unsigned char*>(key);
  for (int j = 0; j < 56; j++) {
    int l = pc1[j] - 1;
    pc1m[j] = (k[l >> 3] & bytebit[l & 7]) ? 1 : 0;
  }
  std::memset(kn, 0, sizeof(kn));
  for (int i = 0; i < 16; i++) {
    // The two 28-bit halves C and D rotate separately.
    for (int j = 0; j < 56; j++) {
      int l = j + totrot[i];
      pcr[j] = pc1m[l < (j < 28 ? 28 : 56) ? l : l - 28];
    }
    for (int j = 0; j < 48; j++) {
      if (pcr[pc2[j] - 1]) kn[i][j >> 3] |= bytebit[j & 7];
    }
  }
}

// Output of S-box k for the 6-bit group v: the outer bits pick the row, the inner four the
// column.
int getcomp(int k, int v) {
  int row = ((v >> 4) & 2) | (v & 1);
  int col = (v >> 1) & 0x0F;
  return si[k][row * 16 + col];
}

void sinit() {
  for (int i = 0; i < 4; i++) {
    for (int j = 0; j < 4096; j++) {
      s[i][j] = static_cast<unsigned char>((getcomp(2 * i, j >> 6) << 4) |
                                           (getcomp(2 * i + 1, j & 63) & 0x0F));
    }
  }
}

void p32init() {
  std::memset(p32, 0, sizeof(p32));
  for (int i = 0; i < 4; i++) {
    for (int v = 0; v < 256; v++) {
      for (int k = 0; k < 32; k++) {
        int l = p32i[k] - 1;
        if ((l >> 3) != i) continue;
        if (!(v & bytebit[l & 7])) continue;
        p32[i][v][k >> 3] |= bytebit[k & 7];
      }
    }
  }
}

void permute(const unsigned char* inblock, unsigned char perm[16][16][8], unsigned char* outblock) {
  std::memset(outblock, 0, 8);
  for (int m = 0; m < 8; m++) {
    const unsigned char* hi = perm[2 * m][(inblock[m] >> 4) & 0x0F];
    const unsigned char* lo = perm[2 * m + 1][inblock[m] & 0x0F];
    for (int b = 0; b < 8; b++) outblock[b] |= hi[b] | lo[b];
  }
}

// Expansion E: 32 bits to 48, packed MSB first into 6 bytes.
void expand(const unsigned char* right, unsigned char* bigright) {
  std::memset(bigright, 0, 6);
  for (int j = 0; j < 48; j++) {
    int l = ei[j] - 1;
    if (right[l >> 3] & bytebit[l & 7]) bigright[j >> 3] |= bytebit[j & 7];
  }
}

// 48 bits to 32 through the four S-box pairs; each pair reads 12 consecutive bits.
void contract(const unsigned char* in48, unsigned char* out32) {
  out32[0] = s[0][(in48[0] << 4) | (in48[1] >> 4)];
  out32[1] = s[1][((in48[1] & 0x0F) << 8) | in48[2]];
  out32[2] = s[2][(in48[3] << 4) | (in48[4] >> 4)];
  out32[3] = s[3][((in48[4] & 0x0F) << 8) | in48[5]];
}

void perm32(const unsigned char* inblock, unsigned char* outblock) {
  std::memset(outblock, 0, 4);
  for (int i = 0; i < 4; i++) {
    const unsigned char* q = p32[i][inblock[i]];
    for (int b = 0; b < 4; b++) outblock[b] |= q[b];
  }
}

void f(const unsigned char* right, int num, unsigned char* fret) {
  unsigned char bigright[6];
  unsigned char preout[4];
  expand(right, bigright);
  for (int j = 0; j < 6; j++) bigright[j] ^= kn[num][j];
  contract(bigright, preout);
  perm32(preout, fret);
}

void iter(int num, const unsigned char* inblock, unsigned char* outblock) {
  unsigned char fret[4];
  f(inblock + 4, num, fret);
  for (int i = 0; i < 4; i++) {
    outblock[i] = inblock[i + 4];
    outblock[i + 4] = inblock[i] ^ fret[i];
  }
}

// One block; `decrypt` only reverses the round-key order. All intermediate blocks are local,
// so the output may overwrite the input; they are wiped before return, as the last of them is
// the plaintext in another bit order.
void crypt_block(const char* inblock, char* outblock, bool decrypt) {
  unsigned char iters[17][8];
  unsigned char swap[8];
  permute(reinterpret_cast<const unsigned char*>(inblock), iperm, iters[0]);
  for (int i = 0; i < 16; i++) iter(decrypt ? 15 - i : i, iters[i], iters[i + 1]);
  for (int i = 0; i < 4; i++) {
    swap[i] = iters[16][i + 4];
    swap[i + 4] = iters[16][i];
  }
  permute(swap, fperm, reinterpret_cast<unsigned char*>(outblock));
  explicit_bzero(iters, sizeof(iters));
  explicit_bzero(swap, sizeof(swap));
}

}  // namespace

void desinit(const char* key) {
  perminit(iperm, ip);
  perminit(fperm, fp);
  kinit(key);
  sinit();
  p32init();
}

void endes(const char* inblock, char* outblock) { crypt_block(inblock, outblock, false); }

void dedes(const char* inblock, char* outblock) { crypt_block(inblock, outblock, true); }
