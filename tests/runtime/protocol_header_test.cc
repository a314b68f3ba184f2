// Exact bytes of the 48-byte frame header, the length field alone changing, and the refusal to
// write into a buffer that is not a header or a length that does not fit the field.
#include "qm7/runtime/protocol_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

std::string fresh_header() {
  std::string h(48, '\xAB');  // any garbage: every byte must be overwritten
  EXPECT_EQ(CrProtocolHeader(h.data()), 48);
  return h;
}

TEST(ProtocolHeader, CreateWritesEveryByteAndSetLengthOnlyTheLengthField) {
  std::string h = fresh_header();
  const std::string rest = "QM7:global001NAT" + std::string(24, ' ');
  EXPECT_EQ(h, "00000048" + rest);
  EXPECT_EQ(GetProtocolLength(h.data()), 48);
  for (auto [length, digits] :
       {std::pair{1234, "00001234"}, {0, "00000000"}, {99999999, "99999999"}}) {
    EXPECT_EQ(SetProtocolLength(h.data(), length), length);
    EXPECT_EQ(h, digits + rest);
    EXPECT_EQ(GetProtocolLength(h.data()), length);
  }
  // A ninth digit would overwrite the eye-catcher; a minus sign would make the field unreadable.
  SetProtocolLength(h.data(), 777);
  for (int bad : {100000000, -1, INT32_MIN}) EXPECT_EQ(SetProtocolLength(h.data(), bad), bad);
  EXPECT_EQ(h, "00000777" + rest);
}

TEST(ProtocolHeader, OnlyWithTheExactEyeCatcherIsTheLengthReadAsALeadingNumber) {
  for (size_t i = 8; i < 18; ++i) {
    std::string h = fresh_header();
    h[i] ^= 0x01;
    const std::string before = h;
    EXPECT_EQ(GetProtocolLength(h.data()), 0) << "byte " << i;
    EXPECT_EQ(SetProtocolLength(h.data(), 4711), 4711);
    EXPECT_EQ(h, before) << "byte " << i;
  }
  std::string shifted = fresh_header();  // shifted by one position
  std::memmove(shifted.data() + 9, "QM7:global", 10);
  shifted[8] = ' ';
  EXPECT_EQ(GetProtocolLength(shifted.data()), 0);
  std::string h = fresh_header();
  for (auto [field, length] :
       {std::pair{"ABCDEFGH", 0}, {"   42xyz", 42}, {"-0000005", -5}, {"0000012 ", 12}}) {
    std::memcpy(h.data(), field, 8);
    EXPECT_EQ(GetProtocolLength(h.data()), length) << field;
  }
}

TEST(ProtocolHeader, FourByteCopyFromAndToOddAddresses) {
  alignas(8) unsigned char src[9] = {0, 0xDE, 0xAD, 0xBE, 0xEF, 0x77, 0, 0, 0};
  alignas(8) unsigned char dst[9] = {};
  i4_memcopy(dst + 3, src + 1);
  const unsigned char want[9] = {0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0};
  EXPECT_EQ(std::memcmp(dst, want, sizeof want), 0);
}

}  // namespace
