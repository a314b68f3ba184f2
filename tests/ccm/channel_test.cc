// The channel table: IDs and names, eye-catchers, lookups and their lock, deletion, destruction
// by type with its log lines and notice, the bulk destructions and the local-address inquiry.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;
using qm7::test::LogCapture;
using qm7::test::merge_newq;

ccm_channel_t* new_chained(ccm_context_t* ccm, int type, const char* name = nullptr) {
  ccm_channel_t* ch = nullptr;
  ccm_error_t err{};
  EXPECT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
  ch->type = type;
  if (name != nullptr) snprintf(ch->name, sizeof(ch->name), "%s", name);
  ccm_channel_chain(ccm, ch);
  return ch;
}

// True when channel_lock is free right now (a lookup must not leave it held).
bool channel_lock_free(ccm_context_t* ccm) {
  if (pthread_mutex_trylock(&ccm->channel_lock) != 0) return false;
  pthread_mutex_unlock(&ccm->channel_lock);
  return true;
}

TEST_F(CcmTest, NewEntriesAndChaining) {
  ccm_channel_t* ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  EXPECT_EQ(ch->ID, 1);
  EXPECT_STREQ(ch->name, "*ID1");
  EXPECT_EQ(ch->s, -1);
  EXPECT_EQ(ch->type, 0);
  EXPECT_EQ(ch->flag, 0);
  EXPECT_EQ(memcmp(ch->eyec, "##CCM#CHANNEL###", 16), 0);
  ccm_channel_destroy(ccm_, ch, &err_);  // a failed set-up: the ID stays used

  for (int i = 2; i <= 7; ++i) {
    ccm_channel_t* c = new_chained(ccm_, CCM_TYPE_SILENT);
    EXPECT_EQ(c->ID, i);
    if (i == 7) {
      EXPECT_EQ(memcmp(c->eyec, "#CCMSOCK00000007", 16), 0);
      EXPECT_STREQ(c->name, "*ID7");
      EXPECT_EQ(ccm_->channel_newq.tail, c);
      EXPECT_EQ(c->nxt, nullptr);
    }
  }
  EXPECT_EQ(ccm_queue_count(&ccm_->channel_newq), 6);
  EXPECT_EQ(ccm_->channelq.head, nullptr);
}

TEST_F(CcmTest, LookupsFindLiveChannelsAndHoldTheLockOnSuccess) {
  ccm_channel_t* server = new_chained(ccm_, CCM_TYPE_SERVER, "*SERVER");
  server->remoteID = 77;
  merge_newq(ccm_);
  ccm_channel_t* fresh = new_chained(ccm_, CCM_TYPE_MESSENGER);  // stays on channel_newq
  fresh->remoteID = 88;
  snprintf(fresh->addr, sizeof(fresh->addr), "%s", "192.0.2.7");

  EXPECT_EQ(ccm_channel_getbyID(ccm_, server->ID), server);
  EXPECT_FALSE(channel_lock_free(ccm_));
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(ccm_channel_getbyName(ccm_, "*SERVER"), server);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(ccm_channel_getbyRemoteID(ccm_, 77), server);
  ccm_channel_unlock(ccm_);

  // On channel_newq: found by ID and name, not by remote ID, not counted.
  EXPECT_EQ(ccm_channel_getbyID(ccm_, fresh->ID), fresh);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(ccm_channel_getbyName(ccm_, "*ID2"), fresh);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(ccm_channel_getbyRemoteID(ccm_, 88), nullptr);
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 1);

  // Misses leave no lock held; names compare exactly.
  EXPECT_EQ(ccm_channel_getbyID(ccm_, 99), nullptr);
  EXPECT_EQ(ccm_channel_getbyName(ccm_, "*SERVE"), nullptr);
  EXPECT_EQ(ccm_channel_getbyName(ccm_, "*SERVER "), nullptr);
  EXPECT_EQ(ccm_channel_getbyName(ccm_, nullptr), nullptr);
  EXPECT_TRUE(channel_lock_free(ccm_));
  EXPECT_EQ(ccm_channel_existbyID(ccm_, server->ID), 1);
  EXPECT_EQ(ccm_channel_existbyName(ccm_, "*ID2"), 1);
  EXPECT_EQ(ccm_channel_existbyName(ccm_, "*ID3"), 0);
  EXPECT_TRUE(channel_lock_free(ccm_));

  // get_ip: by ID, by name when the ID is below 1 or unknown, -1 with the record untouched.
  char ip[64];
  EXPECT_EQ(ccm_channel_get_ip(ccm_, fresh->ID, nullptr, ip, &err_), 0);
  EXPECT_STREQ(ip, "192.0.2.7");
  EXPECT_EQ(ccm_channel_get_ip(ccm_, 0, "*ID2", ip, &err_), 0);
  EXPECT_EQ(ccm_channel_get_ip(ccm_, 55, "*ID2", ip, &err_), 0);
  err_.msgnr = 12345;
  EXPECT_EQ(ccm_channel_get_ip(ccm_, 55, "*NONE", ip, &err_), -1);
  EXPECT_EQ(err_.msgnr, 12345);
  EXPECT_TRUE(channel_lock_free(ccm_));
  // An address that fills its field to the brim still yields a terminated text of 63.
  memset(fresh->addr, '9', sizeof(fresh->addr));
  EXPECT_EQ(ccm_channel_get_ip(ccm_, fresh->ID, nullptr, ip, &err_), 0);
  EXPECT_EQ(strlen(ip), 63u);
}

TEST_F(CcmTest, DeletedChannelsAreInvisibleButStayLinked) {
  ccm_channel_t* ch = new_chained(ccm_, CCM_TYPE_AGENT, "*AGENT");
  merge_newq(ccm_);
  EXPECT_EQ(ccm_channel_deletebyID(ccm_, 999), 0);  // nothing matches: nothing changes
  EXPECT_FALSE(ccm_flag_test(&ccm_->flag, CCM_CTX_DELETED));
  EXPECT_EQ(ccm_channel_deletebyName(ccm_, "*AGENT"), 0);
  EXPECT_TRUE(ccm_flag_test(&ch->flag, CCM_FLAG_DELETED));
  EXPECT_TRUE(ccm_flag_test(&ccm_->flag, CCM_CTX_DELETED));
  EXPECT_EQ(ccm_->channelq.head, ch);
  EXPECT_EQ(ccm_channel_getbyID(ccm_, ch->ID), nullptr);
  EXPECT_EQ(ccm_channel_getbyName(ccm_, "*AGENT"), nullptr);
  EXPECT_EQ(ccm_channel_existbyID(ccm_, ch->ID), 0);
  EXPECT_EQ(ccm_get_nof_agent_connections(ccm_), 0);
  EXPECT_TRUE(channel_lock_free(ccm_));
}

// Pops the next notice and checks it is the CHANNEL_CLOSE of the channel with `id`.
void expect_close_notice(ccm_context_t* ccm, int id, int type) {
  ccm_queue_lock(ccm);
  ccm_msg_t* msg = ccm_queue_pop(&ccm->recvq);
  ccm_queue_unlock(ccm);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->type, CCM_MSGTYPE_IPC);
  ASSERT_EQ(msg->len, static_cast<int>(sizeof(ipcmsg_channel_close_t)));
  ipcmsg_channel_close_t rec;
  memcpy(static_cast<void*>(&rec), msg->msg_start, sizeof(rec));
  EXPECT_EQ(memcmp(rec.head.msgtype, "CHANNEL_CLOSE\0\0\0", 16), 0);
  EXPECT_EQ(rec.ccmch.ID, id);
  EXPECT_EQ(rec.ccmch.type, type);
  ccm_msg_free(ccm, msg);
}

TEST_F(CcmTest, DestroyLogsAndNotifiesByType) {
  LogCapture log;
  struct Case {
    int type;
    int msgnr;  // 0: no close line
    bool notice;
  };
  const Case cases[] = {{CCM_TYPE_MESSENGER, 2002040, true}, {CCM_TYPE_SILENT, 0, false},
                        {CCM_TYPE_PASSIVE, 2002040, false},  {CCM_TYPE_LISTEN, 2002040, true},
                        {CCM_TYPE_SERVER, 2000010, true},    {CCM_TYPE_CP, 2000010, true},
                        {CCM_TYPE_AGENT, 2000007, true},     {CCM_TYPE_UNSET, 2002040, true}};
  for (const Case& c : cases) {
    log.clear();
    ccm_channel_t* ch = nullptr;
    ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
    ch->type = c.type;
    int id = ch->ID;
    ccm_channel_destroy(ccm_, ch, &err_);
    auto entries = log.entries();
    if (c.msgnr == 0) {
      EXPECT_TRUE(entries.empty()) << c.type;
    } else {
      ASSERT_EQ(entries.size(), 1u) << c.type;
      EXPECT_EQ(entries[0].first, c.msgnr);
      std::string expected;
      char buf[128];
      if (c.type == CCM_TYPE_LISTEN) {
        snprintf(buf, sizeof(buf), "s=-1,ID=%d|*LISTEN", id);
      } else if (c.msgnr == 2002040) {
        snprintf(buf, sizeof(buf), "s=-1,ID=%d|*ID%d", id, id);
      } else {
        snprintf(buf, sizeof(buf), "*ID%d(s=-1,ID=%d)", id, id);
      }
      EXPECT_EQ(entries[0].second, buf);
    }
    if (c.notice) {
      expect_close_notice(ccm_, id, c.type);
    }
    EXPECT_EQ(ccm_->recvq.head, nullptr) << c.type;
  }
}

TEST_F(CcmTest, DestroyLogsTheRecordedFailureFirstAndReleasesEverything) {
  LogCapture log;
  ccm_channel_t* ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  ch->type = CCM_TYPE_MESSENGER;
  ch->msgnr = 2002036;
  snprintf(ch->msginsert, sizeof(ch->msginsert), "%s", "*ID1|104(Connection reset by peer)");
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ch->s = sv[0];
  ch->recv_buffer = static_cast<char*>(malloc(8192));
  ch->cuc =
      static_cast<ccm_connect_user_context_t*>(calloc(1, sizeof(ccm_connect_user_context_t) + 10));
  snprintf(ch->cuc->key, sizeof(ch->cuc->key), "%s", "KEY");
  ch->cuc->client = 42;
  ch->cuc->gss_len = 10;
  for (int i = 0; i < 3; ++i) {  // queued messages go with the channel
    ccm_msg_t* m = ccm_msg_alloc(ccm_, &err_);
    ccm_queue_lock(ccm_);
    ccm_queue_unlink(&ccm_->msgq_inuse, m);
    ccm_queue_unlock(ccm_);
    ccm_queue_append(i == 2 ? &ch->recvq : &ch->sendq, m);
  }
  ccm_channel_destroy(ccm_, ch, &err_);
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, 2002036);
  EXPECT_EQ(entries[0].second, "*ID1|104(Connection reset by peer)");
  EXPECT_EQ(entries[1].first, 2002040);
  char byte;
  EXPECT_EQ(read(sv[1], &byte, 1), 0);  // the socket was closed
  close(sv[1]);
  EXPECT_EQ(ccm_->nof_freemsg, 3);

  ccm_queue_lock(ccm_);
  ccm_msg_t* notice = ccm_queue_pop(&ccm_->recvq);
  ccm_queue_unlock(ccm_);
  ASSERT_NE(notice, nullptr);
  ipcmsg_channel_close_t rec;
  memcpy(static_cast<void*>(&rec), notice->msg_start, sizeof(rec));
  EXPECT_STREQ(rec.cuc.key, "KEY");
  EXPECT_EQ(rec.cuc.client, 42);
  EXPECT_EQ(rec.ccmch.msgnr, 2002036);
  EXPECT_EQ(rec.ccmch.s, sv[0]);
  ccm_msg_free(ccm_, notice);
}

TEST_F(CcmTest, CloseAllAndDestroyDeleted) {
  EXPECT_EQ(ccm_channel_closeall(nullptr), 0);
  ccm_channel_t* a = new_chained(ccm_, CCM_TYPE_SILENT, "A");
  ccm_channel_t* b = new_chained(ccm_, CCM_TYPE_SILENT, "B");
  ccm_channel_t* c = new_chained(ccm_, CCM_TYPE_SILENT, "C");
  ccm_channel_t* d = new_chained(ccm_, CCM_TYPE_SILENT, "D");
  merge_newq(ccm_);
  ccm_channel_t* late = new_chained(ccm_, CCM_TYPE_SILENT, "LATE");
  ccm_channel_deletebyName(ccm_, "B");
  ccm_channel_deletebyName(ccm_, "D");
  ccm_channel_deletebyName(ccm_, "LATE");  // deleted but not merged: it waits
  EXPECT_EQ(ccm_destroy_deleted_channels(ccm_), 0);
  EXPECT_FALSE(ccm_flag_test(&ccm_->flag, CCM_CTX_DELETED));
  EXPECT_EQ(ccm_->channelq.head, a);
  EXPECT_EQ(a->nxt, c);
  EXPECT_EQ(ccm_->channelq.tail, c);
  EXPECT_EQ(c->nxt, nullptr);
  EXPECT_EQ(ccm_->channel_newq.head, late);
  (void)b;
  (void)d;

  EXPECT_EQ(ccm_channel_closeall(ccm_), 0);
  EXPECT_EQ(ccm_->channelq.head, nullptr);
  EXPECT_EQ(ccm_->channelq.tail, nullptr);
  EXPECT_EQ(ccm_->channel_newq.head, late);  // untouched; ccm_close releases it
}

}  // namespace
