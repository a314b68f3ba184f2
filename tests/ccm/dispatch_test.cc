// The dispatcher, run by hand without a network thread: destinations by ID and by name, "*CP"
// addresses, the NAT mark, missing and deleted destinations, and kept messages.
#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;

class DispatchTest : public CcmTest {
 protected:
  ccm_msg_t* queue_msg(int id, const char* addr, int flag = 0, int type = 0) {
    ccm_msg_t* m = body_msg(5);
    ccm_setaddr(m, id, 0, addr, "", 0);
    m->flag = flag;
    m->type = type;
    put(m, &ccm_->sendq);
    return m;
  }
};

TEST_F(DispatchTest, ByIdByNameCpAddressesAndMissingDestinations) {
  ccm_channel_t* server = add_channel("*SERVER");
  ccm_channel_t* other = add_channel("OTHER");
  merge_newq(ccm_);
  int marker = 0;
  other->pATctx = &marker;
  ccm_flag_set(&other->flag, CCM_FLAG_MARK_NAT);
  ccm_msg_t* by_id = queue_msg(other->ID, "*SERVER", 0, CCM_MSGTYPE_NAT);  // the ID decides
  ccm_msg_t* by_name = queue_msg(0, "*SERVER");
  ccm_msg_t* cp = queue_msg(0, "*CP10.0.0.1:4711");
  ccm_msg_t* ipc = queue_msg(other->ID, "", 0, CCM_MSGTYPE_IPC);
  EXPECT_EQ(ccm_dispatch_send_messages(ccm_), 0);
  EXPECT_EQ(ccm_->sendq.head, nullptr);
  EXPECT_EQ(ccm_->msgq_2dispatch.head, nullptr);
  ASSERT_EQ(ccm_queue_count(&other->sendq), 2);
  EXPECT_EQ(other->sendq.head, by_id);
  EXPECT_EQ(by_id->pATctx, &marker);
  EXPECT_EQ(by_id->flag & CCM_MSGFLAG_MARK_NAT, CCM_MSGFLAG_MARK_NAT);
  EXPECT_EQ(ipc->flag & CCM_MSGFLAG_MARK_NAT, 0);  // only NAT messages are marked
  ASSERT_EQ(ccm_queue_count(&server->sendq), 2);
  EXPECT_EQ(server->sendq.head, by_name);
  EXPECT_EQ(server->sendq.tail, cp);
  EXPECT_STREQ(cp->addr.dst_addr, "*SERVER");

  // Missing destinations: the message is freed, or kept when it says so.
  const int id = other->ID;
  ccm_channel_deletebyID(ccm_, id);
  queue_msg(id, "");               // deleted destination
  queue_msg(0, "NOBODY");          // unknown name
  queue_msg(id + 100, "*SERVER");  // unknown ID: no fallback to the name
  ccm_msg_t* kept = queue_msg(0, "LATER", CCM_MSGFLAG_KEEP);
  EXPECT_EQ(ccm_dispatch_send_messages(ccm_), 0);
  EXPECT_EQ(ccm_->nof_freemsg, 3);
  ASSERT_EQ(ccm_queue_count(&ccm_->sendq), 1);
  // It waits until its destination exists, ahead of what was queued meanwhile.
  ccm_msg_t* later = queue_msg(0, "LATER", CCM_MSGFLAG_KEEP);
  ccm_dispatch_send_messages(ccm_);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 2);
  EXPECT_EQ(ccm_->sendq.head, kept);
  ccm_channel_t* dest = add_channel("LATER");
  ccm_dispatch_send_messages(ccm_);
  EXPECT_EQ(ccm_->sendq.head, nullptr);
  EXPECT_EQ(dest->sendq.head, kept);
  EXPECT_EQ(dest->sendq.tail, later);
}

}  // namespace
