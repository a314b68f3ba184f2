// Reading a native body into a message: the addressing fields, the data moved to buffer1, the
// message kind, and the refusal of keys and lengths that would read or write outside the body.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm/frame_util.h"
#include "qm7/ccm.h"

namespace {

using namespace qm7::test;

// Records the log calls made while it lives.
std::vector<std::pair<int, std::string>>* g_log = nullptr;
int record_log(int msgnr, const char* insert) {
  if (g_log != nullptr) g_log->emplace_back(msgnr, insert);
  return 0;
}
class LogRecorder {
 public:
  LogRecorder() : previous_(default_logger) {
    g_log = &entries;
    __log_set_logger(record_log);
  }
  ~LogRecorder() {
    __log_set_logger(previous_);
    g_log = nullptr;
  }
  std::vector<std::pair<int, std::string>> entries;

 private:
  logger_function_t* previous_;
};

// A message holding `body` as a frame whose header has been taken off, as the classifier
// hands it over, with canary bytes behind the body.
MsgPtr body_msg(const Bytes& body) {
  MsgPtr m = make_msg(cat({frame("NAT", body), Bytes(64, 0xCC)}));
  m->msg_start += 48;
  m->len = static_cast<int>(body.size());
  return m;
}

bool canary_intact(const ccm_msg_t* m, size_t body_size) {
  const unsigned char* after = m->buffer1 + 48 + body_size;
  for (int i = 0; i < 64; ++i)
    if (after[i] != 0xCC) return false;
  return true;
}

std::string data_of(const ccm_msg_t* m) {
  return std::string(reinterpret_cast<const char*>(m->msg_start), static_cast<size_t>(m->len));
}

TEST(NativeParse, JobStateReportReadsBack) {
  const Bytes rec = job_state_record();
  MsgPtr m = body_msg(cat({elem1(0x01, bytes("JPAKTJ_R")), elem4(0xFF, rec)}));
  ccm_channel_t ch{};
  ch.flag = CCM_FLAG_CONNECTING | CCM_FLAG_BINDADDR;
  ASSERT_EQ(ccm_parse_native_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(m->protocol_key, 0);
  EXPECT_STREQ(m->addr.dst_name, "JPAKTJ_R");
  EXPECT_EQ(m->len, 276);
  EXPECT_EQ(m->msg_start, m->buffer1);
  EXPECT_EQ(std::memcmp(m->msg_start, rec.data(), rec.size()), 0);
  EXPECT_EQ(ch.flag, CCM_FLAG_BINDADDR);  // a NAT body ends the connecting state, nothing else
}

TEST(NativeParse, DataElementsOfEveryForm) {
  struct Case {
    Bytes element;
    unsigned char key;
    std::string data;
  };
  const std::vector<Case> cases = {
      {elem1(0x04, bytes("abc")), 0x04, "abc"},
      {elem1(0x07, bytes("hi")), 0x07, "hi"},
      {elem2(0x3B, bytes("semicolon")), 0x3B, "semicolon"},
      {elem2(0xF9, bytes("")), 0xF9, ""},
      {elem7(0x41, bytes("seven digits")), 0x41, "seven digits"},
      {elem7(0x44, bytes("D")), 0x44, "D"},
  };
  for (const Case& c : cases) {
    MsgPtr m = body_msg(c.element);
    ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
    EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
    EXPECT_EQ(m->protocol_key, c.key);
    EXPECT_EQ(data_of(m.get()), c.data);
    EXPECT_EQ(m->msg_start, m->buffer1);
  }
}

TEST(NativeParse, AddressElementsAreStrippedCutAndBounded) {
  const unsigned char acv[] = {0x11, 0x22, 0x33, 0x44};
  MsgPtr m = body_msg(cat({elem1(0x02, Bytes(acv, acv + 4)), elem1(0x01, bytes("AB      ")),
                           elem1(0x03, bytes("  host.example  ")), elem1(0x04, bytes("x"))}));
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_STREQ(m->addr.dst_name, "AB");
  EXPECT_STREQ(m->addr.dst_addr, "host.example");
  int expected_acv;
  std::memcpy(&expected_acv, acv, 4);
  EXPECT_EQ(m->addr.dst_acv, expected_acv);  // as the bytes stand

  // Fields longer than 63 characters are cut, a value element longer than 4 bytes does not spill
  // into the fields behind it, and nothing behind the body is touched.
  const Bytes long_name(200, 'N');
  const Bytes long_value(9, 0xEE);
  const Bytes body = cat({elem1(0x01, long_name), elem1(0x03, Bytes(255, 'A')),
                          elem1(0x02, long_value), elem1(0x04, bytes("x"))});
  m = body_msg(body);
  m->addr.src_ID = 77;
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_EQ(std::string(m->addr.dst_name), std::string(63, 'N'));
  EXPECT_EQ(std::string(m->addr.dst_addr), std::string(63, 'A'));
  EXPECT_EQ(m->addr.dst_acv, static_cast<int>(0xEEEEEEEE));
  EXPECT_EQ(m->addr.src_ID, 77);
  EXPECT_TRUE(canary_intact(m.get(), body.size()));
}

TEST(NativeParse, SenderTrailerKeepsBlanksCutsAndStepsOverUnknownSubKeys) {
  const unsigned char acv[] = {1, 2, 3, 4};
  Bytes trailer = cat({elem1(0x01, bytes("SENDER  ")), elem1(0x09, bytes("???")),
                       elem1(0x02, Bytes(acv, acv + 4)), elem1(0x03, bytes("*IPC(AGENT)"))});
  LogRecorder log;
  MsgPtr m = body_msg(cat({elem1(0x04, bytes("x")), elem2(0xFD, trailer)}));
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_STREQ(m->addr.src_name, "SENDER  ");
  EXPECT_STREQ(m->addr.src_addr, "*IPC(AGENT)");
  EXPECT_EQ(std::memcmp(&m->addr.src_acv, acv, 4), 0);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].first, -1);
  EXPECT_EQ(log.entries[0].second, "invalid kz");

  // A trailer of 600 bytes: only its first 256 are read; a sub-element longer than a field is
  // cut to 63 characters; one that runs past the work area is cut there.
  trailer = cat({elem1(0x01, Bytes(200, 'S')), elem1(0x03, Bytes(250, 'R')), Bytes(146, 0x03)});
  ASSERT_EQ(trailer.size(), 600u);
  const Bytes body = cat({elem1(0x04, bytes("x")), elem2(0xFD, trailer)});
  m = body_msg(body);
  m->addr.src_type = 5;
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_EQ(std::string(m->addr.src_name), std::string(63, 'S'));
  EXPECT_EQ(std::string(m->addr.src_addr), std::string(52, 'R'));  // 256 - 202 - 2
  EXPECT_EQ(m->addr.src_type, 5);
  EXPECT_TRUE(canary_intact(m.get(), body.size()));
}

TEST(NativeParse, UnknownKeyIsAParseError) {
  MsgPtr m = body_msg(cat({elem1(0x04, bytes("abc")), elem1(0x05, bytes("x"))}));
  EXPECT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), -1);
}

TEST(NativeParse, ElementPastTheBodyOrNonDecimalLengthIsAParseError) {
  // Each element claims more data than the body holds; the bytes behind the body (canaries)
  // would be read if the length were trusted.
  const std::vector<Bytes> bodies = {
      Bytes{0x04, 10, 'a', 'b'},
      Bytes{0x3B, 0x00, 0x01, 'a'},
      Bytes{0xFF, 0x10, 0x00, 0x00, 0x00, 'a'},
      Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
      Bytes{0xFD, 0x20, 0x00, 0x01, 0x08, 'A'},
      cat({Bytes{0x41}, bytes("0000100"), bytes("abc")}),
      cat({Bytes{0x44}, bytes("00x0003"), bytes("abc")}),
      Bytes{0x01},  // a lone key byte at the end
      cat({elem1(0x04, bytes("ok")), Bytes{0x3B, 0x05}}),
  };
  for (const Bytes& body : bodies) {
    MsgPtr m = body_msg(body);
    EXPECT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), -1)
        << "first byte " << int(body[0]);
    EXPECT_TRUE(canary_intact(m.get(), body.size()));
  }
}

TEST(NativeParse, DataLengthNeverLeavesTheBody) {
  // An empty data element, then empty short elements: the short-data rule (body length less 2)
  // must not drive the length below zero.
  MsgPtr m = body_msg(cat({elem2(0x3B, {}), elem1(0x04, {}), elem1(0x07, {})}));
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_EQ(m->len, 0);
  // A NAT element followed by a short one: the data moved stays inside the body.
  const Bytes body = cat({elem2(0xFE, bytes("nat")), elem1(0x04, bytes("zz"))});
  m = body_msg(body);
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_GE(m->len, 0);
  EXPECT_LE(static_cast<size_t>(m->len), body.size());
  EXPECT_TRUE(canary_intact(m.get(), body.size()));
  // An empty body is a native message without data.
  m = body_msg({});
  ASSERT_EQ(ccm_parse_native_message(nullptr, nullptr, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(m->len, 0);
}

}  // namespace
