// Small numeric helpers beside the dumps: the seven-letter base-26 form of a 32-bit number
// (A = 0 ... Z = 25, most significant first) and its inverse, and the bounds check for a
// sub-area of a message.
#include <cstdint>

#include "qm7/runtime/memdump.h"

namespace {

// 26^7 exceeds 2^32, so seven letters hold every 32-bit value.
constexpr int kB26Letters = 7;

}  // namespace

char* Zudnst_LongToB26(unsigned iIn, char* pOut) {
  if (pOut == nullptr) return nullptr;
  uint32_t value = iIn;
  for (int i = kB26Letters - 1; i >= 0; --i) {
    pOut[i] = static_cast<char>('A' + value % 26);
    value /= 26;
  }
  pOut[kB26Letters] = '\0';
  return pOut;
}

unsigned Zudnst_B26ToLong(const char* pIn) {
  if (pIn == nullptr) return 0;
  uint32_t value = 0;
  for (int i = 0; i < kB26Letters; ++i) {
    value *= 26;
    const char c = pIn[i];
    if (c < 'A' || c > 'Z') break;  // counts as a final A; also stops at the terminator
    value += static_cast<uint32_t>(c - 'A');
  }
  return value;
}

int Zudnst_Plausibility(unsigned MsgLen, unsigned RestDist, unsigned RestLen) {
  if (MsgLen == 0) return 1;
  // Summed in 64 bits: a distance near 2^32 must not wrap round into an area that passes.
  const uint64_t end = static_cast<uint64_t>(RestDist) + RestLen;
  return end <= MsgLen ? 1 : 0;
}
