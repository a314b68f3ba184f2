// Byte order of binary fields on the wire. Record order stores the least significant byte
// first; the conversions below move a value between host order and record order and are
// their own inverse, so one call serves for writing and for reading. All functions are pure
// (or touch only their operand) and may be called from any thread.
#ifndef QM7_RUNTIME_BYTEORDER_H_
#define QM7_RUNTIME_BYTEORDER_H_

#include <cstddef>

// 1 when the host stores the least significant byte first, else 0. Probed on every call.
int iIsIntel(void);
// 0 when the character '0' has the code 0x30 (an ASCII host), else 1.
int iIsEbcdic(void);

// Host order <-> record order: the identity on a host that stores the least significant byte
// first, the bytes reversed on any other.
unsigned short iCnvU16(unsigned short u16);
short iCnvI16(short i16);
unsigned int iCnvU32(unsigned int u32);
int iCnvI32(int i32);
int CnvInt4(int l);
short CnvInt2(short s);

// The same for 64-bit values, in place; each returns its operand pointer.
long long* _CnvInt64(long long* i64);
unsigned long long* _CnvUint64(unsigned long long* u64);

// In place, host order <-> record order for an operand of `size` 2, 4 or 8 bytes; any other
// size is left alone.
void CNV_Int(void* num, short size);
// In place, host order <-> most-significant-byte-first order for `size` 2, 4 or 8; any other
// size is left alone.
void CNV_X(void* num, short size);

// Pass-through: return the argument unchanged on every host.
int CNV_Int4(int l);
short CNV_Int2(short s);

// 64-bit arithmetic; sums wrap modulo 2^64.
void MyAddFrom8(long long* Summe, const long long* add);  // *Summe += *add
void MyAddFrom4(long long* Summe, int add);               // *Summe += add, sign-extended
void myAdd8(long long* gss_uint32, unsigned int add);     // *gss_uint32 += add, zero-extended

// Signed comparisons: 1 when true, else 0. For the 64-bit forms the high words compare signed
// and equal high words are decided by the low words compared unsigned.
int MyGt8(const long long* if1, const long long* if2);
int MyLe8(const long long* if1, const long long* if2);
int MyGt4(const int* if1, const int* if2);
int MyLe4(const int* if1, const int* if2);

namespace qm7::detail {
// Reverses the `size` bytes at `num` in place when `size` is 2, 4 or 8; else does nothing.
// The building block of every conversion above, exposed so it can be tested on any host.
void reverse_bytes(void* num, std::size_t size);
}  // namespace qm7::detail

#endif  // QM7_RUNTIME_BYTEORDER_H_
