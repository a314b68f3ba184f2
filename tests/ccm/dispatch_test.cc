// The dispatcher, run by hand without a network thread: destinations by ID and by name, "*CP"
// addresses, deleted destinations, kept messages (flag 0x08) and the NAT mark.
#include <cstring>

#include "ccm/ccm_test_util.h"
#include "ccm/net_test_util.h"

namespace {

using qm7::test::CcmTest;
using qm7::test::make_body_msg;

class DispatchTest : public CcmTest {
 protected:
  ccm_channel_t* add_channel(const char* name) {
    ccm_channel_t* ch = nullptr;
    EXPECT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
    StringCopy(ch->name, sizeof(ch->name), name);
    ccm_channel_chain(ccm_, ch);
    qm7::test::merge_newq(ccm_);
    return ch;
  }
  ccm_msg_t* queue_msg(int id, const char* addr, int flag = 0) {
    ccm_msg_t* m = make_body_msg(ccm_, 5);
    ccm_setaddr(m, id, 0, addr, "", 0);
    m->flag = flag;
    ccm_queue_unlink(&ccm_->msgq_inuse, m);
    ccm_queue_append(&ccm_->sendq, m);
    return m;
  }
};

TEST_F(DispatchTest, ByIdByNameAndCpAddresses) {
  ccm_channel_t* server = add_channel("*SERVER");
  ccm_channel_t* other = add_channel("OTHER");
  int marker = 0;
  other->pATctx = &marker;
  ccm_flag_set(&other->flag, CCM_FLAG_MARK_NAT);
  ccm_msg_t* by_id = queue_msg(other->ID, "*SERVER");  // the ID decides, not the name
  by_id->type = CCM_MSGTYPE_NAT;
  ccm_msg_t* by_name = queue_msg(0, "*SERVER");
  ccm_msg_t* cp = queue_msg(0, "*CP10.0.0.1:4711");
  ccm_msg_t* ipc = queue_msg(other->ID, "");
  ipc->type = CCM_MSGTYPE_IPC;
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
}

TEST_F(DispatchTest, MissingDestinationFreesOrKeeps) {
  ccm_channel_t* ch = add_channel("PEER");
  const int id = ch->ID;
  ccm_channel_deletebyID(ccm_, id);
  queue_msg(id, "");            // deleted destination
  queue_msg(0, "NOBODY");       // unknown name
  queue_msg(id + 100, "PEER");  // unknown ID: no fallback to the name
  ccm_msg_t* kept = queue_msg(0, "LATER", CCM_MSGFLAG_KEEP);
  const int free_before = ccm_->nof_freemsg;
  EXPECT_EQ(ccm_dispatch_send_messages(ccm_), 0);
  EXPECT_EQ(ccm_->nof_freemsg, free_before + 3);
  EXPECT_EQ(ccm_queue_count(&ch->sendq), 0);
  ASSERT_EQ(ccm_queue_count(&ccm_->sendq), 1);  // back for the next dispatch
  EXPECT_EQ(ccm_->sendq.head, kept);

  // It stays until its destination exists, ahead of what was queued meanwhile.
  ccm_msg_t* later = queue_msg(0, "LATER", CCM_MSGFLAG_KEEP);
  ccm_dispatch_send_messages(ccm_);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 2);
  EXPECT_EQ(ccm_->sendq.head, kept);
  ccm_channel_t* dest = add_channel("LATER");
  ccm_dispatch_send_messages(ccm_);
  EXPECT_EQ(ccm_->sendq.head, nullptr);
  ASSERT_EQ(ccm_queue_count(&dest->sendq), 2);
  EXPECT_EQ(dest->sendq.head, kept);
  EXPECT_EQ(dest->sendq.tail, later);
}

TEST_F(DispatchTest, MergeKeepsOrder) {
  ccm_channel_t* a = nullptr;
  ccm_channel_t* b = nullptr;
  ccm_channel_new_entry(ccm_, &a, &err_);
  ccm_channel_new_entry(ccm_, &b, &err_);
  ccm_channel_chain(ccm_, a);
  ccm_channel_chain(ccm_, b);
  ccm_channel_lock(ccm_);
  EXPECT_EQ(ccm_channel_merge_newq(ccm_), 0);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(ccm_->channelq.head, a);
  EXPECT_EQ(ccm_->channelq.tail, b);
  EXPECT_EQ(ccm_->channel_newq.head, nullptr);
  EXPECT_EQ(ccm_->channel_newq.tail, nullptr);
  EXPECT_EQ(ccm_channel_maintenance(ccm_), 0);
}

}  // namespace
