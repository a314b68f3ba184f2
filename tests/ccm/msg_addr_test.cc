// Addressing a message: destination, sender, reply address, and bounded copies into the 64-byte
// fields of the address record.
#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;

TEST_F(CcmTest, SetaddrAndSetbackFillTheirHalvesOnly) {
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err_);
  ccm_addr_t* a = ccm_setaddr(msg, 12, 99, "*SERVER", "JPAKTJ_R", 0x01020304);
  EXPECT_EQ(a, &msg->addr);
  EXPECT_EQ(memcmp(a->eyec, "#CCMADDR", 8), 0);
  EXPECT_EQ(a->dst_ID, 12);
  EXPECT_STREQ(a->dst_addr, "*SERVER");
  EXPECT_STREQ(a->dst_name, "JPAKTJ_R");
  EXPECT_EQ(a->dst_acv, 0x01020304);
  EXPECT_EQ(a->src_addr[0], '\0');

  ccm_setback(msg, "*CPHOST", "SENDER", 7);
  EXPECT_STREQ(a->src_addr, "*CPHOST");
  EXPECT_STREQ(a->src_name, "SENDER");
  EXPECT_EQ(a->src_acv, 7);
  EXPECT_STREQ(a->dst_addr, "*SERVER");  // untouched
  EXPECT_EQ(a->dst_ID, 12);

  // Null texts count as empty.
  ccm_setaddr(msg, 0, 0, nullptr, nullptr, 0);
  EXPECT_EQ(a->dst_addr[0], '\0');
  ccm_msg_free(ccm_, msg);
}

TEST_F(CcmTest, LongTextsAreCutTo63CharactersAndNeverOverflow) {
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err_);
  const std::string longer(200, 'X');
  ccm_setaddr(msg, 1, 0, longer.c_str(), longer.c_str(), 5);
  EXPECT_EQ(strlen(msg->addr.dst_addr), 63u);
  EXPECT_EQ(strlen(msg->addr.dst_name), 63u);
  EXPECT_EQ(msg->addr.dst_acv, 5);  // the field after dst_name kept its value
  ccm_setback(msg, longer.c_str(), longer.c_str(), 6);
  EXPECT_EQ(strlen(msg->addr.src_addr), 63u);
  EXPECT_EQ(strlen(msg->addr.src_name), 63u);
  EXPECT_EQ(msg->addr.src_acv, 6);
  EXPECT_EQ(msg->addr.dst_acv, 5);
  ccm_msg_free(ccm_, msg);
}

TEST_F(CcmTest, ReplyGoesBackToTheSender) {
  ccm_msg_t* rcv = ccm_msg_alloc(ccm_, &err_);
  ccm_msg_t* reply = ccm_msg_alloc(ccm_, &err_);
  rcv->addr.src_ID = 4;  // the channel it arrived on; the sender trailer was empty
  ccm_setaddr(reply, 9, 0, "*OLD", "OLD", 3);
  ccm_setaddr_reply(reply, rcv);
  EXPECT_EQ(memcmp(reply->addr.eyec, "#CCMADDR", 8), 0);
  EXPECT_EQ(reply->addr.dst_ID, 4);
  EXPECT_EQ(reply->addr.dst_addr[0], '\0');
  EXPECT_EQ(reply->addr.dst_name[0], '\0');
  EXPECT_EQ(reply->addr.dst_acv, 0);

  ccm_setback(rcv, "*CPREMOTE", "AGENT", 0x55);
  // A sender field filled to the brim without terminator is still copied within bounds.
  memset(rcv->addr.src_name, 'N', sizeof(rcv->addr.src_name));
  ccm_setaddr_reply(reply, rcv);
  EXPECT_STREQ(reply->addr.dst_addr, "*CPREMOTE");
  EXPECT_EQ(strlen(reply->addr.dst_name), 63u);
  EXPECT_EQ(reply->addr.dst_acv, 0x55);
  ccm_msg_free(ccm_, rcv);
  ccm_msg_free(ccm_, reply);
}

}  // namespace
