// Exact bytes of the frame header, the length round trip and the refusal to write into a buffer
// that is not a header or a length that does not fit the field.
#include "qm7/runtime/protocol_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

using Header = std::array<unsigned char, 48>;

std::string text(const Header& h) { return std::string(h.begin(), h.end()); }

Header fresh_header() {
  Header h;
  h.fill(0xAB);  // any garbage; every byte must be overwritten
  EXPECT_EQ(CrProtocolHeader(h.data()), 48);
  return h;
}

TEST(ProtocolHeader, CreateWritesEveryByte) {
  const Header h = fresh_header();
  EXPECT_EQ(text(h), "00000048QM7:global001NAT" + std::string(24, ' '));
  EXPECT_EQ(GetProtocolLength(h.data()), 48);
}

TEST(ProtocolHeader, LengthRoundTripTouchesOnlyTheLengthField) {
  Header h = fresh_header();
  const Header before = h;
  EXPECT_EQ(SetProtocolLength(h.data(), 1234), 1234);
  EXPECT_EQ(text(h).substr(0, 8), "00001234");
  EXPECT_TRUE(std::equal(h.begin() + 8, h.end(), before.begin() + 8));
  EXPECT_EQ(GetProtocolLength(h.data()), 1234);

  // Zero is eight zero digits, directly followed by the eye-catcher: no terminator.
  EXPECT_EQ(SetProtocolLength(h.data(), 0), 0);
  EXPECT_EQ(text(h).substr(0, 9), "00000000Q");
  EXPECT_EQ(GetProtocolLength(h.data()), 0);

  EXPECT_EQ(SetProtocolLength(h.data(), 99999999), 99999999);
  EXPECT_EQ(text(h).substr(0, 18), "99999999QM7:global");
  EXPECT_EQ(GetProtocolLength(h.data()), 99999999);
}

TEST(ProtocolHeader, LengthOutsideTheFieldIsNotWritten) {
  Header h = fresh_header();
  ASSERT_EQ(SetProtocolLength(h.data(), 777), 777);
  const Header before = h;
  // A ninth digit would overwrite the eye-catcher; a minus sign would make the field unreadable.
  EXPECT_EQ(SetProtocolLength(h.data(), 100000000), 100000000);
  EXPECT_EQ(SetProtocolLength(h.data(), -1), -1);
  EXPECT_EQ(SetProtocolLength(h.data(), INT32_MIN), INT32_MIN);
  EXPECT_EQ(h, before);
  EXPECT_EQ(GetProtocolLength(h.data()), 777);
}

TEST(ProtocolHeader, EyeCatcherOffByOneByteIsNotAHeader) {
  for (std::size_t i = 8; i < 18; ++i) {
    Header h = fresh_header();
    h[i] ^= 0x01;
    const Header before = h;
    EXPECT_EQ(GetProtocolLength(h.data()), 0) << "byte " << i;
    EXPECT_EQ(SetProtocolLength(h.data(), 4711), 4711) << "byte " << i;
    EXPECT_EQ(h, before) << "byte " << i;
  }
  // The eye-catcher shifted by one position is not accepted either.
  Header shifted = fresh_header();
  std::memmove(shifted.data() + 9, "QM7:global", 10);
  shifted[8] = ' ';
  EXPECT_EQ(GetProtocolLength(shifted.data()), 0);
}

TEST(ProtocolHeader, LengthFieldIsReadAsALeadingNumber) {
  Header h = fresh_header();
  std::memcpy(h.data(), "ABCDEFGH", 8);
  EXPECT_EQ(GetProtocolLength(h.data()), 0);
  std::memcpy(h.data(), "   42xyz", 8);
  EXPECT_EQ(GetProtocolLength(h.data()), 42);
  std::memcpy(h.data(), "-0000005", 8);
  EXPECT_EQ(GetProtocolLength(h.data()), -5);
  std::memcpy(h.data(), "0000012 ", 8);
  EXPECT_EQ(GetProtocolLength(h.data()), 12);
}

TEST(ProtocolHeader, FourByteCopyFromAndToOddAddresses) {
  alignas(8) unsigned char src[9] = {0, 0xDE, 0xAD, 0xBE, 0xEF, 0x77, 0, 0, 0};
  alignas(8) unsigned char dst[9] = {};
  i4_memcopy(dst + 3, src + 1);
  const unsigned char want[9] = {0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0};
  EXPECT_EQ(std::memcmp(dst, want, sizeof want), 0);
}

}  // namespace
