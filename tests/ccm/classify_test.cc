// Classifying a whole frame: the protocol name decides the message kind; native bodies are
// parsed, "<?xml" bodies are marked not to be converted, and malformed frames are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ccm/frame_util.h"
#include "qm7/ccm.h"

namespace {

using namespace qm7::test;

ccm_channel_t named_channel(const char* name) {
  ccm_channel_t ch{};
  std::strcpy(ch.name, name);
  return ch;
}

TEST(Classify, IpcFrameKeepsItsRecordAndNamesTheChannel) {
  const Bytes record = cat({bytes("CHANNEL_ACCEPT\0\0"), Bytes{7, 0, 0, 0}});
  MsgPtr m = make_msg(frame("IPC", record));
  ccm_channel_t ch = named_channel("*IPC(AGENT)");
  ASSERT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_IPC);
  EXPECT_EQ(m->len, static_cast<int>(record.size()));
  EXPECT_EQ(m->msg_start, m->buffer1 + 48);
  EXPECT_EQ(std::memcmp(m->msg_start, record.data(), record.size()), 0);
  EXPECT_STREQ(m->addr.src_addr, "*IPC(AGENT)");
}

TEST(Classify, NativeAndNatFrames) {
  ccm_channel_t ch = named_channel("*ID1");
  MsgPtr m = make_msg(frame("NAT", elem1(0x04, bytes("abc"))));
  ASSERT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(m->protocol_key, 4);
  EXPECT_EQ(m->len, 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m->msg_start), 3), "abc");

  m = make_msg(job_state_frame());
  ASSERT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(m->len, 276);
  EXPECT_STREQ(m->addr.dst_name, "JPAKTJ_R");
  EXPECT_EQ(m->flag & CCM_MSGFLAG_NOCONV, 0);

  // A GSS frame is not recognised here and is read as a native one.
  m = make_msg(frame("GSS", elem2(0x3B, bytes("gss"))));
  ASSERT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NATIVE);
  EXPECT_EQ(m->protocol_key, 0x3B);
}

TEST(Classify, XmlBodyIsMarkedNotToBeConverted) {
  ccm_channel_t ch = named_channel("*ID1");
  MsgPtr m = make_msg(frame("NAT", elem4(0xFF, bytes("<?xml version=\"1.0\"?><a/>"))));
  ASSERT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->type, CCM_MSGTYPE_NAT);
  EXPECT_NE(m->flag & CCM_MSGFLAG_NOCONV, 0);
  // Four bytes "<?xm" are not enough, even if stale bytes behind them complete the word.
  m = make_msg(frame("NAT", cat({elem4(0xFF, bytes("<?xm")), bytes("l")})));
  EXPECT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), -1);  // "l" is no key
  m = make_msg(cat({frame("NAT", elem4(0xFF, bytes("<?xm"))), bytes("l")}));
  m->len -= 1;
  ASSERT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), 0);
  EXPECT_EQ(m->flag & CCM_MSGFLAG_NOCONV, 0);
}

TEST(Classify, MalformedFramesAreRefused) {
  ccm_channel_t ch = named_channel("*ID1");
  MsgPtr m = make_msg(frame("NAT", elem1(0x05, bytes("x"))));
  EXPECT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), -1);
  m = make_msg(frame("NAT", Bytes{0x04, 0x09, 'a'}));
  EXPECT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), -1);
  // Shorter than a header: nothing of it is read as a protocol name or a body.
  m = make_msg(bytes("00000020QM7:global001IPC"));
  m->len = 20;
  EXPECT_EQ(ccm_classify_message(nullptr, &ch, m.get(), nullptr), -1);
}

}  // namespace
