// The pure framer: where a frame ends in the bytes held, which length fields are refused, and
// how the size of an element is read and checked against the end of its body.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "ccm/frame_util.h"
#include "qm7/ccm/reader.h"

namespace {

using qm7::ccm::cut_frame;
using qm7::ccm::element_size;
using qm7::ccm::FrameCut;
using namespace qm7::test;

std::span<const unsigned char> first(const Bytes& b, size_t n) { return {b.data(), n}; }

TEST(Framer, LengthFieldIsEightDecimalDigits) {
  EXPECT_EQ(ccm_get_msg_length(nullptr, nullptr, "00000339QM7:global"), 339u);
  EXPECT_EQ(ccm_get_msg_length(nullptr, nullptr, "99999999QM7:global"), 99999999u);
  EXPECT_EQ(ccm_get_msg_length(nullptr, nullptr, "00000048"), 48u);
  // Anything else reads as 0, which no frame can be: blanks, signs, letters, binary bytes.
  for (const char* bad : {"     339", "+0000339", "-0000339", "0000033X", "abcdefgh", "0000 339",
                          "\xff\xff\xff\xff\xff\xff\xff\xff"}) {
    EXPECT_EQ(ccm_get_msg_length(nullptr, nullptr, bad), 0u) << bad;
  }
}

TEST(Framer, CutsTheJobStateFrameExactly) {
  const Bytes f = job_state_frame();
  ASSERT_EQ(f.size(), 339u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 24), "00000339QM7:global001NAT");
  const auto whole = cut_frame(f);
  EXPECT_EQ(whole.cut, FrameCut::kFrame);
  EXPECT_EQ(whole.length, 339u);
  // One byte short: the length is known but the frame is not complete.
  const auto short_one = cut_frame(first(f, 338));
  EXPECT_EQ(short_one.cut, FrameCut::kNeedMore);
  EXPECT_EQ(short_one.length, 339u);
}

TEST(Framer, NineHeldBytesAreNotExaminedTenAre) {
  Bytes garbage(9, 'x');
  EXPECT_EQ(cut_frame(garbage).cut, FrameCut::kNeedMore);  // even though it is no header
  const Bytes f = job_state_frame();
  EXPECT_EQ(cut_frame(first(f, 9)).cut, FrameCut::kNeedMore);
  EXPECT_EQ(cut_frame(first(f, 9)).length, 0u);
  EXPECT_EQ(cut_frame(first(f, 10)).length, 339u);
  garbage.push_back('x');
  EXPECT_EQ(cut_frame(garbage).cut, FrameCut::kBadLength);
}

TEST(Framer, RefusesLengthsBelowAHeaderAndNonDecimalFields) {
  const Bytes body;
  for (long len : {0L, 1L, 47L}) {
    const Bytes f = frame("NAT", body, len);
    EXPECT_EQ(cut_frame(f).cut, FrameCut::kBadLength) << len;  // never a zero-length loop
  }
  EXPECT_EQ(cut_frame(frame("NAT", body, 48)).cut, FrameCut::kFrame);
  Bytes f = frame("NAT", body);
  f[3] = ' ';
  EXPECT_EQ(cut_frame(f).cut, FrameCut::kBadLength);
}

TEST(Framer, TwoFramesAndAHalf) {
  const Bytes a = job_state_frame();
  const Bytes b = frame("NAT", elem1(0x04, bytes("abc")));
  const Bytes c = job_state_frame();
  Bytes stream = cat({a, b, Bytes(c.begin(), c.begin() + 100)});
  std::span<const unsigned char> held(stream);
  auto r = cut_frame(held);
  ASSERT_EQ(r.cut, FrameCut::kFrame);
  EXPECT_EQ(r.length, a.size());
  held = held.subspan(r.length);
  r = cut_frame(held);
  ASSERT_EQ(r.cut, FrameCut::kFrame);
  EXPECT_EQ(r.length, b.size());
  held = held.subspan(r.length);
  r = cut_frame(held);
  EXPECT_EQ(r.cut, FrameCut::kNeedMore);
  EXPECT_EQ(held.size(), 100u);
}

TEST(Framer, ElementSizesInEveryLengthForm) {
  const Bytes data = bytes("hello");
  EXPECT_EQ(element_size(elem1(0x04, data), 1), 7);
  EXPECT_EQ(element_size(elem2(0x3B, data), 2), 8);
  EXPECT_EQ(element_size(elem4(0xFF, data), 4), 10);
  EXPECT_EQ(element_size(elem7(0x41, data), 7), 13);
  EXPECT_EQ(element_size(elem1(0x04, {}), 1), 2);  // an empty element still advances
  // The 2- and 4-byte lengths are least significant byte first.
  const Bytes big(0x0123, 'z');
  EXPECT_EQ(element_size(elem2(0xF9, big), 2), 0x0123 + 3);
  const Bytes e4 = elem4(0xFF, big);
  EXPECT_EQ(e4[1], 0x23);
  EXPECT_EQ(e4[2], 0x01);
  EXPECT_EQ(element_size(e4, 4), 0x0123 + 5);
  EXPECT_EQ(element_size(elem1(0x04, data), 3), -1);  // no such form
}

TEST(Framer, ElementPastTheEndOrNonDecimalIsRefused) {
  const Bytes data = bytes("hello");
  for (int form : {1, 2, 4, 7}) {
    Bytes e = form == 1   ? elem1(0x04, data)
              : form == 2 ? elem2(0x3B, data)
              : form == 4 ? elem4(0xFF, data)
                          : elem7(0x41, data);
    // Every cut of the element, down to a lone key byte, is refused without reading past it.
    for (size_t n = 0; n < e.size(); ++n) {
      std::unique_ptr<unsigned char[]> exact(new unsigned char[n + 1]);
      std::memcpy(exact.get(), e.data(), n);
      EXPECT_EQ(element_size({exact.get(), n}, form), -1) << form << " " << n;
    }
  }
  // A 4-byte length near 4 GiB cannot wrap around the check.
  const Bytes huge{0xFF, 0xFB, 0xFF, 0xFF, 0xFF, 'a', 'b'};
  EXPECT_EQ(element_size(huge, 4), -1);
  for (const char* digits : {"00000x5", "     05", "-000005", "+000005"}) {
    Bytes e = cat({Bytes{0x41}, bytes(digits), data});
    EXPECT_EQ(element_size(e, 7), -1) << digits;
  }
}

TEST(Framer, ExtractProtocolDataCopiesTheDataAndReportsTheSize) {
  const Bytes e = elem7(0x44, bytes("payload"));
  unsigned char out[16] = {};
  EXPECT_EQ(extract_protocol_data(e.data(), 7, out), 15);
  EXPECT_EQ(std::memcmp(out, "payload", 7), 0);
  EXPECT_EQ(out[7], 0);  // nothing beyond the data
  EXPECT_EQ(extract_protocol_data(e.data(), 7, nullptr), 15);
  // Overlapping move to the element's own start.
  Bytes e1 = elem1(0x04, bytes("abc"));
  EXPECT_EQ(extract_protocol_data(e1.data(), 1, e1.data()), 5);
  EXPECT_EQ(std::string(e1.begin(), e1.begin() + 3), "abc");
  const Bytes bad = cat({Bytes{0x41}, bytes("12a4567")});
  EXPECT_EQ(extract_protocol_data(bad.data(), 7, nullptr), -1);
  EXPECT_EQ(extract_protocol_data(e.data(), 5, nullptr), -1);
  // A 4-byte length whose size would not fit an int is refused, not wrapped.
  const unsigned char maxlen[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(extract_protocol_data(maxlen, 4, nullptr), -1);
}

}  // namespace
