// The constant tables of the DES cipher as the standard defines them (FIPS 46-3), shared by the
// table builder and by nothing else outside the runtime library. Bit positions are numbered from
// 1, bit 1 being the most significant bit of byte 0, exactly as the standard prints them.
#ifndef QM7_SRC_RUNTIME_DES_TABLES_H_
#define QM7_SRC_RUNTIME_DES_TABLES_H_

namespace qm7::des {

extern const unsigned char ip[64];      // initial permutation IP
extern const unsigned char fp[64];      // final permutation, the inverse of IP
extern const unsigned char pc1[56];     // permuted choice 1; drops the eight parity bits
extern const unsigned char pc2[48];     // permuted choice 2
extern const unsigned char ei[48];      // expansion E of the right half, 32 -> 48 bits
extern const unsigned char p32i[32];    // permutation P of the S-box output
extern const unsigned char si[8][64];   // S1..S8, each 4 rows of 16, row-major
extern const unsigned char totrot[16];  // cumulative left rotation of the key halves per round
extern const int bytebit[8];            // mask of bit n within a byte, most significant first
extern const int nibblebit[4];          // mask of bit n within a nibble, most significant first

}  // namespace qm7::des

#endif  // QM7_SRC_RUNTIME_DES_TABLES_H_
