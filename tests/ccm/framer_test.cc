// The pure framing functions, without sockets: the length field and the cut of a frame out of
// the bytes held, element sizes in the four length forms, classification by protocol name, and
// the walk over a native body that must never read or write outside it.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ccm/ccm_test_util.h"
#include "qm7/ccm/reader.h"
#include "reader_internal.h"

namespace {

using namespace qm7::test;
using qm7::ccm::cut_frame;
using qm7::ccm::element_size;
using qm7::ccm::FrameCut;

TEST(Framer, LengthFieldAndFrameCut) {
  const std::string f = job_state_frame();
  ASSERT_EQ(f.size(), 339u);
  EXPECT_EQ(f.substr(0, 63), "00000339QM7:global001NAT" + std::string(24, ' ') +
                                 std::string("\x01\x08JPAKTJ_R\xFF\x14\x01\x00\x00", 15));
  EXPECT_EQ(ccm_get_msg_length(nullptr, nullptr, "99999999QM7"), 99999999u);
  for (const char* bad : {"     339", "+0000339", "-0000339", "0000033X", "0000 339",
                          "\377\377\377\377\377\377\377\377"}) {
    EXPECT_EQ(ccm_get_msg_length(nullptr, nullptr, bad), 0u) << bad;
  }
  EXPECT_EQ(cut_frame(span_of(f), 339).cut, FrameCut::kFrame);
  EXPECT_EQ(cut_frame(span_of(f), 339).length, 339u);
  EXPECT_EQ(cut_frame(span_of(f).first(338), 339).cut, FrameCut::kNeedMore);
  EXPECT_EQ(cut_frame(span_of(f).first(10), 339).length, 339u);
  for (long len : {0L, 1L, 47L}) {
    EXPECT_EQ(cut_frame(span_of(frame("NAT", "", len)), 339).cut, FrameCut::kBadLength) << len;
  }
  EXPECT_EQ(cut_frame(span_of(frame("NAT", "", 48)), 339).cut, FrameCut::kFrame);
  // Beyond the maximum, the length field alone refuses the frame.
  EXPECT_EQ(cut_frame(span_of(f).first(10), 338).cut, FrameCut::kBadLength);
}

TEST(Framer, ElementSizesAndBounds) {
  for (int form : {1, 2, 4, 7}) {
    const std::string e = elem(form, 0x04, "hello");
    EXPECT_EQ(element_size(span_of(e), form), static_cast<long>(e.size()));
    // Every cut of the element, down to nothing, is refused without reading past it.
    for (size_t n = 0; n < e.size(); ++n) {
      auto exact = std::make_unique<unsigned char[]>(n + 1);
      std::memcpy(exact.get(), e.data(), n);
      EXPECT_EQ(element_size({exact.get(), n}, form), -1) << form << " " << n;
    }
  }
  EXPECT_EQ(elem(4, 0xFF, std::string(0x0123, 'z')).substr(0, 5),
            std::string("\xFF\x23\x01\0\0", 5));
  EXPECT_EQ(element_size(span_of(elem(1, 0x04, "x")), 3), -1);                    // no such form
  EXPECT_EQ(element_size(span_of(std::string("\xFF\xFB\xFF\xFF\xFFz")), 4), -1);  // no wrap-around
  for (const char* digits : {"00000x5", "     05", "-000005", "+000005"}) {
    EXPECT_EQ(element_size(span_of("A" + std::string(digits) + "hello"), 7), -1) << digits;
  }
  // extract_protocol_data: size with or without a copy, overlapping move, refused lengths.
  std::string e = elem(7, 0x44, "payload");
  unsigned char out[16] = {};
  EXPECT_EQ(extract_protocol_data(span_of(e).data(), 7, out), 15);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "payload");
  e = elem(1, 0x04, "abc");
  auto* p = reinterpret_cast<unsigned char*>(e.data());
  EXPECT_EQ(extract_protocol_data(p, 1, p), 5);
  EXPECT_EQ(e.substr(0, 3), "abc");
  EXPECT_EQ(extract_protocol_data(span_of("A12a4567").data(), 7, nullptr), -1);
  EXPECT_EQ(extract_protocol_data(p, 5, nullptr), -1);
  const unsigned char maxlen[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(extract_protocol_data(maxlen, 4, nullptr), -1);
}

int classify(const MsgPtr& m) {
  ccm_channel_t ch{};
  return ccm_classify_message(nullptr, &ch, m.get(), nullptr);
}

// IPC, NAT and XML frames are classified in the reader's tests; these are the rest.
TEST(Classify, ProtocolNameDecidesTheKind) {
  MsgPtr m = make_msg(frame("GSS", elem(2, 0x3B, "gss")));  // read as a native frame
  ASSERT_EQ(classify(m), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(m->protocol_key, 0x3B);
  EXPECT_EQ(msg_bytes(m.get()), "gss");
  // "<?xm" is not enough, even when a stale byte behind the frame completes the word.
  m = make_msg(frame("NAT", elem(4, 0xFF, "<?xm")) + "l");
  m->len -= 1;
  ASSERT_EQ(classify(m), 0);
  EXPECT_EQ(m->flag & CCM_MSGFLAG_NOCONV, 0);
  for (const std::string& bad :
       {frame("NAT", std::string("\x04\x09a")), std::string("00000020QM7:global001IPC")}) {
    EXPECT_EQ(classify(make_msg(bad)), -1) << bad;
  }
}

// A message holding `body` as the classifier hands it over (header taken off), with 64 canary
// bytes behind it.
MsgPtr body_msg(const std::string& body) {
  MsgPtr m = make_msg(frame("NAT", body) + std::string(64, '\xCC'));
  m->msg_start += 48;
  m->len = static_cast<int>(body.size());
  return m;
}

bool canary_intact(const ccm_msg_t* m, size_t body_size) {
  const std::string after(reinterpret_cast<const char*>(m->buffer1) + 48 + body_size, 64);
  return after == std::string(64, '\xCC');
}

int parse(const MsgPtr& m, ccm_channel_t* ch = nullptr) {
  return ccm_parse_native_message(nullptr, ch, m.get(), nullptr);
}

TEST(NativeParse, DataAndAddressElements) {
  const struct {
    std::string element;
    unsigned char key;
    std::string data;
  } cases[] = {{elem(1, 0x04, "abc"), 0x04, "abc"},     {elem(1, 0x07, "hi"), 0x07, "hi"},
               {elem(2, 0x3B, "semi"), 0x3B, "semi"},   {elem(2, 0xF9, ""), 0xF9, ""},
               {elem(7, 0x41, "seven"), 0x41, "seven"}, {elem(7, 0x44, "D"), 0x44, "D"}};
  for (const auto& c : cases) {
    MsgPtr m = body_msg(c.element);
    ASSERT_EQ(parse(m), 0);
    EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
    EXPECT_EQ(m->protocol_key, c.key);
    EXPECT_EQ(msg_bytes(m.get()), c.data);
    EXPECT_EQ(m->msg_start, m->buffer1);
  }
  // A NAT body ends the connecting state of its channel and nothing else.
  ccm_channel_t ch{};
  ch.flag = CCM_FLAG_CONNECTING | CCM_FLAG_BINDADDR;
  ASSERT_EQ(parse(body_msg(elem(4, 0xFF, "x")), &ch), 0);
  EXPECT_EQ(ch.flag, CCM_FLAG_BINDADDR);

  MsgPtr m = body_msg(elem(1, 0x02, "\x11\x22\x33\x44") + elem(1, 0x01, "AB      ") +
                      elem(1, 0x03, "  host.example  ") + elem(1, 0x04, "x"));
  ASSERT_EQ(parse(m), 0);
  EXPECT_STREQ(m->addr.dst_name, "AB");
  EXPECT_STREQ(m->addr.dst_addr, "host.example");
  EXPECT_EQ(std::memcmp(&m->addr.dst_acv, "\x11\x22\x33\x44", 4), 0);
  // Over-long fields are cut to 63; a value longer than 4 bytes does not spill behind its field.
  const std::string body = elem(1, 0x01, std::string(200, 'N')) +
                           elem(1, 0x03, std::string(255, 'A')) +
                           elem(1, 0x02, std::string(9, '\xEE')) + elem(1, 0x04, "x");
  m = body_msg(body);
  m->addr.src_ID = 77;
  ASSERT_EQ(parse(m), 0);
  EXPECT_EQ(std::string(m->addr.dst_name), std::string(63, 'N'));
  EXPECT_EQ(std::string(m->addr.dst_addr), std::string(63, 'A'));
  EXPECT_EQ(m->addr.dst_acv, static_cast<int>(0xEEEEEEEE));
  EXPECT_EQ(m->addr.src_ID, 77);
  EXPECT_TRUE(canary_intact(m.get(), body.size()));
}

TEST(NativeParse, SenderTrailer) {
  LogCapture log;
  std::string trailer = elem(1, 0x01, "SENDER  ") + elem(1, 0x09, "???") +
                        elem(1, 0x02, "\1\2\3\4") + elem(1, 0x03, "*IPC(AGENT)");
  MsgPtr m = body_msg(elem(1, 0x04, "x") + elem(2, 0xFD, trailer));
  ASSERT_EQ(parse(m), 0);
  EXPECT_STREQ(m->addr.src_name, "SENDER  ");  // blanks kept
  EXPECT_STREQ(m->addr.src_addr, "*IPC(AGENT)");
  EXPECT_EQ(std::memcmp(&m->addr.src_acv, "\1\2\3\4", 4), 0);
  EXPECT_EQ(log.entries(), (Entries{{-1, "invalid kz"}}));

  // Unknown sub-keys by the thousand: three entries, then one with their count, for each frame.
  std::string many = elem(1, 0x04, "x");
  for (int i = 0; i < 100; ++i) many += elem(2, 0xFD, std::string(256, '\0'));
  log.clear();
  for (int i = 0; i < 2; ++i) ASSERT_EQ(parse(body_msg(many)), 0);
  const Entries::value_type kz{-1, "invalid kz"}, rest{-1, "invalid kz: 12797 more in this frame"};
  EXPECT_EQ(log.entries(), (Entries{kz, kz, kz, rest, kz, kz, kz, rest}));

  // Of a 600-byte trailer only the first 256 bytes are read; a sub-element running past them is
  // cut there (256 - 202 - 2 = 52 characters).
  trailer = elem(1, 0x01, std::string(200, 'S')) + elem(1, 0x03, std::string(250, 'R')) +
            std::string(146, '\x03');
  const std::string body = elem(1, 0x04, "x") + elem(2, 0xFD, trailer);
  m = body_msg(body);
  ASSERT_EQ(parse(m), 0);
  EXPECT_EQ(std::string(m->addr.src_name), std::string(63, 'S'));
  EXPECT_EQ(std::string(m->addr.src_addr), std::string(52, 'R'));
  EXPECT_TRUE(canary_intact(m.get(), body.size()));
}

TEST(NativeParse, NothingIsReadOrMovedOutsideTheBody) {
  const std::string refused[] = {elem(1, 0x04, "abc") + elem(1, 0x05, "x"),  // unknown key
                                 std::string("\004\012ab"),
                                 std::string("\073\000\001a", 4),
                                 std::string("\xFF\x10\0\0\0a", 6),
                                 std::string("\xFF\xFF\xFF\xFF\xFF"),
                                 std::string("\375\040\000\001\010A", 6),
                                 "A0000100abc",
                                 "D00x0003abc",
                                 std::string("\x01"),
                                 elem(1, 0x04, "ok") + "\x3B\x05"};
  for (const std::string& body : refused) {
    MsgPtr m = body_msg(body);
    EXPECT_EQ(parse(m), -1) << "first byte " << int(static_cast<unsigned char>(body[0]));
    EXPECT_TRUE(canary_intact(m.get(), body.size()));
  }
  // Empty short elements cannot drive the length below zero; NAT data followed by a short
  // element stays inside the body; an empty body is a native message without data.
  MsgPtr m = body_msg(elem(2, 0x3B, "") + elem(1, 0x04, "") + elem(1, 0x07, ""));
  ASSERT_EQ(parse(m), 0);
  EXPECT_EQ(m->len, 0);
  const std::string body = elem(2, 0xFE, "nat") + elem(1, 0x04, "zz");
  m = body_msg(body);
  ASSERT_EQ(parse(m), 0);
  EXPECT_GE(m->len, 0);
  EXPECT_LE(static_cast<size_t>(m->len), body.size());
  EXPECT_TRUE(canary_intact(m.get(), body.size()));
  m = body_msg("");
  ASSERT_EQ(parse(m), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(m->len, 0);
}

}  // namespace
