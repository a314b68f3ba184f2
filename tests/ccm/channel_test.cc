// The channel table: IDs, names and eye-catchers, lookups and the lock they hold, deletion,
// destruction by type with its log lines and notice, the bulk destructions, the counting
// queries and the local-address inquiry.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;
using ChannelTest = CcmTest;

// True when channel_lock is free right now (a failed lookup must not leave it held).
bool channel_lock_free(ccm_context_t* ccm) {
  if (pthread_mutex_trylock(&ccm->channel_lock) != 0) return false;
  pthread_mutex_unlock(&ccm->channel_lock);
  return true;
}

// A successful lookup returns with channel_lock held: checks that and releases it.
ccm_channel_t* held(ccm_context_t* ccm, ccm_channel_t* ch) {
  if (ch == nullptr) return ch;
  EXPECT_FALSE(channel_lock_free(ccm));
  ccm_channel_unlock(ccm);
  return ch;
}

TEST_F(ChannelTest, LookupsHoldTheLockOnlyOnSuccessAndSkipDeletedChannels) {
  ccm_channel_t* server = add_channel("*SERVER", CCM_TYPE_SERVER);
  server->remoteID = 77;
  ccm_channel_t* agent = add_channel("*AGENT", CCM_TYPE_AGENT);
  merge_newq(ccm_);
  ccm_channel_t* fresh = add_channel(nullptr, CCM_TYPE_MESSENGER);  // stays on channel_newq
  fresh->remoteID = 88;
  StringCopy(fresh->addr, sizeof fresh->addr, "192.0.2.7");
  EXPECT_EQ(held(ccm_, ccm_channel_getbyID(ccm_, server->ID)), server);
  EXPECT_EQ(held(ccm_, ccm_channel_getbyName(ccm_, "*SERVER")), server);
  EXPECT_EQ(held(ccm_, ccm_channel_getbyRemoteID(ccm_, 77)), server);
  EXPECT_EQ(held(ccm_, ccm_channel_getbyID(ccm_, fresh->ID)), fresh);
  EXPECT_EQ(held(ccm_, ccm_channel_getbyName(ccm_, "*ID3")), fresh);
  EXPECT_EQ(ccm_channel_getbyRemoteID(ccm_, 88), nullptr);  // channel_newq is not searched
  for (const char* name : {"*SERVE", "*SERVER ", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(ccm_channel_getbyName(ccm_, name), nullptr);
  }
  EXPECT_EQ(ccm_channel_getbyID(ccm_, 99), nullptr);
  EXPECT_EQ(ccm_channel_existbyID(ccm_, server->ID), 1);
  EXPECT_EQ(ccm_channel_existbyName(ccm_, "*ID3"), 1);
  EXPECT_EQ(ccm_channel_existbyName(ccm_, "*ID4"), 0);
  // get_ip by ID, else by name; -1 with the caller's record untouched.
  char ip[64];
  EXPECT_EQ(ccm_channel_get_ip(ccm_, 55, "*ID3", ip, &err_), 0);
  EXPECT_STREQ(ip, "192.0.2.7");
  err_.msgnr = 12345;
  EXPECT_EQ(ccm_channel_get_ip(ccm_, 55, "*NONE", ip, &err_), -1);
  EXPECT_EQ(err_.msgnr, 12345);
  memset(fresh->addr, '9', sizeof fresh->addr);  // a field without terminator: still bounded
  EXPECT_EQ(ccm_channel_get_ip(ccm_, fresh->ID, nullptr, ip, &err_), 0);
  EXPECT_EQ(strlen(ip), 63u);

  EXPECT_EQ(ccm_channel_deletebyID(ccm_, 999), 0);  // nothing matches: nothing changes
  EXPECT_FALSE(ccm_flag_test(&ccm_->flag, CCM_CTX_DELETED));
  EXPECT_EQ(ccm_get_nof_agent_connections(ccm_), 1);
  EXPECT_EQ(ccm_channel_deletebyName(ccm_, "*AGENT"), 0);
  EXPECT_TRUE(ccm_flag_test(&agent->flag, CCM_FLAG_DELETED));
  EXPECT_TRUE(ccm_flag_test(&ccm_->flag, CCM_CTX_DELETED));
  EXPECT_EQ(ccm_->channelq.tail, agent);  // still linked
  EXPECT_EQ(ccm_channel_getbyName(ccm_, "*AGENT"), nullptr);
  EXPECT_EQ(ccm_channel_existbyID(ccm_, agent->ID), 0);
  EXPECT_EQ(ccm_get_nof_agent_connections(ccm_), 0);
  EXPECT_TRUE(channel_lock_free(ccm_));
}

TEST_F(ChannelTest, DestroyLogsNotifiesByTypeAndReleasesEverything) {
  LogCapture log;
  ipcmsg_channel_close_t rec;
  auto notice = [&](ipcmsg_channel_close_t* out) {  // the CHANNEL_CLOSE notice off recvq
    ccm_msg_t* m = ccm_queue_pop(&ccm_->recvq);
    if (m == nullptr) return false;
    EXPECT_EQ(m->len, static_cast<int>(sizeof *out));
    memcpy(static_cast<void*>(out), m->msg_start, sizeof *out);
    EXPECT_EQ(memcmp(out->head.msgtype, "CHANNEL_CLOSE\0\0\0", 16), 0);
    ccm_msg_free(ccm_, m);
    return true;
  };
  // The recorded failure is logged before the close line; socket, buffer, queues and user
  // context go with the channel, the user context's copy with the notice.
  ccm_channel_t* ch = nullptr;
  const int peer = add_pair_channel("*ID1", &ch);
  ccm_queue_unlink(&ccm_->channel_newq, ch);
  ch->type = CCM_TYPE_MESSENGER;
  ch->msgnr = 2002036;
  StringCopy(ch->msginsert, sizeof ch->msginsert, "*ID1|104(Connection reset by peer)");
  const int s = ch->s;
  ch->recv_buffer = static_cast<char*>(malloc(8192));
  ch->cuc = static_cast<ccm_connect_user_context_t*>(calloc(1, sizeof *ch->cuc + 10));
  StringCopy(ch->cuc->key, sizeof ch->cuc->key, "KEY");
  ch->cuc->client = 42;
  for (ccm_msg_queue_t* q : {&ch->sendq, &ch->sendq, &ch->recvq}) put(body_msg(1), q);
  ccm_channel_destroy(ccm_, ch, &err_);
  EXPECT_EQ(log.entries(), (Entries{{2002036, "*ID1|104(Connection reset by peer)"},
                                    {2002040, "s=" + std::to_string(s) + ",ID=1|*ID1"}}));
  char byte;
  EXPECT_EQ(read(peer, &byte, 1), 0);  // the socket was closed
  EXPECT_EQ(ccm_->nof_freemsg, 3);
  ASSERT_TRUE(notice(&rec));
  EXPECT_STREQ(rec.cuc.key, "KEY");
  EXPECT_EQ(rec.cuc.client, 42);
  EXPECT_EQ(rec.ccmch.msgnr, 2002036);
  EXPECT_EQ(rec.ccmch.s, s);

  const struct {
    int type;
    int msgnr;  // 0: no close line
    const char* insert;
    bool notice;
  } cases[] = {{CCM_TYPE_MESSENGER, 2002040, "s=-1,ID=%d|*ID%d", true},
               {CCM_TYPE_SILENT, 0, "", false},
               {CCM_TYPE_PASSIVE, 2002040, "s=-1,ID=%d|*ID%d", false},
               {CCM_TYPE_LISTEN, 2002040, "s=-1,ID=%d|*LISTEN", true},
               {CCM_TYPE_SERVER, 2000010, "*ID%d(s=-1,ID=%d)", true},
               {CCM_TYPE_CP, 2000010, "*ID%d(s=-1,ID=%d)", true},
               {CCM_TYPE_AGENT, 2000007, "*ID%d(s=-1,ID=%d)", true},
               {CCM_TYPE_UNSET, 2002040, "s=-1,ID=%d|*ID%d", true}};
  for (const auto& c : cases) {
    log.clear();
    ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
    ch->type = c.type;
    const int id = ch->ID;
    ccm_channel_destroy(ccm_, ch, &err_);
    char insert[128];
    snprintf(insert, sizeof insert, c.insert, id, id);
    EXPECT_EQ(log.entries(), (c.msgnr == 0 ? Entries{} : Entries{{c.msgnr, insert}})) << c.type;
    ASSERT_EQ(notice(&rec), c.notice) << c.type;
    if (!c.notice) continue;
    EXPECT_EQ(rec.ccmch.ID, id);
    EXPECT_EQ(rec.ccmch.type, c.type);
  }
}

TEST_F(ChannelTest, CloseAllDestroyDeletedAndCounting) {
  EXPECT_EQ(ccm_channel_closeall(nullptr), 0);
  const int types[] = {CCM_TYPE_LISTEN,  CCM_TYPE_SERVER,    CCM_TYPE_AGENT,  CCM_TYPE_CP,
                       CCM_TYPE_PASSIVE, CCM_TYPE_MESSENGER, CCM_TYPE_SERVER, CCM_TYPE_SILENT};
  ccm_channel_t* chs[8];
  for (int i = 0; i < 8; ++i) chs[i] = add_channel(nullptr, types[i]);
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 0);  // channel_newq does not count
  merge_newq(ccm_);
  EXPECT_EQ(memcmp(chs[6]->eyec, "#CCMSOCK00000007", 16), 0);
  EXPECT_STREQ(chs[6]->name, "*ID7");
  ccm_channel_t* late = add_channel("LATE", CCM_TYPE_SILENT);
  EXPECT_EQ(ccm_get_nof_server_connections(ccm_), 3);
  EXPECT_EQ(ccm_get_nof_connections(ccm_), 4);
  EXPECT_EQ(ccm_get_nof_agent_connections(ccm_), 1);
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 7);  // not the passive one
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 1);
  put(body_msg(1), &chs[7]->sendq);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 1);  // a silent channel's queue does not count
  put(body_msg(1), &chs[1]->sendq);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 0);
  EXPECT_EQ(ccm_get_sendq_count(ccm_), 0);  // channels' queues are not the context's
  for (int i : {1, 6}) ccm_channel_deletebyID(ccm_, chs[i]->ID);
  ccm_channel_deletebyName(ccm_, "LATE");  // deleted but not merged: it waits
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 1);
  put(body_msg(1), &ccm_->sendq);
  EXPECT_EQ(ccm_get_sendq_count(ccm_), 1);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 0);
  EXPECT_EQ(ccm_get_nof_server_connections(ccm_), 1);
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 5);
  EXPECT_EQ(ccm_destroy_deleted_channels(ccm_), 0);
  EXPECT_FALSE(ccm_flag_test(&ccm_->flag, CCM_CTX_DELETED));
  EXPECT_EQ(ccm_queue_count(&ccm_->channelq), 6);
  EXPECT_EQ(ccm_->channelq.head, chs[0]);
  EXPECT_EQ(chs[0]->nxt, chs[2]);
  EXPECT_EQ(ccm_->channelq.tail, chs[7]);
  EXPECT_EQ(ccm_->channel_newq.head, late);
  EXPECT_EQ(ccm_channel_closeall(ccm_), 0);
  EXPECT_EQ(ccm_->channelq.head, nullptr);
  EXPECT_EQ(ccm_->channelq.tail, nullptr);
  EXPECT_EQ(ccm_->channel_newq.head, late);  // untouched; ccm_close releases it
}

TEST_F(ChannelTest, BindAddressInquiry) {
  // "*IPC" channels need no system call: an invalid socket would make one fail.
  ccm_channel_t* ipc = add_channel("*IPC(AGENT)");
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, ipc, &err_), 0);
  EXPECT_TRUE(ccm_flag_test(&ipc->flag, CCM_FLAG_BINDADDR));
  // Bound to the wildcard: not known yet, nothing recorded; bound to loopback: known.
  for (in_addr_t where : {htonl(INADDR_ANY), htonl(INADDR_LOOPBACK)}) {
    ccm_channel_t* ch = add_channel(nullptr);
    ch->s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = where;
    ASSERT_EQ(bind(ch->s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    err_ = {};
    EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, ch, &err_), 0);
    EXPECT_EQ(ccm_flag_test(&ch->flag, CCM_FLAG_BINDADDR) != 0, where != INADDR_ANY);
    EXPECT_STREQ(ch->bind_addr, where == INADDR_ANY ? "" : "127.0.0.1");
    EXPECT_EQ(err_.msgnr, 0);
  }
  // A failing getsockname deletes the channel and reports 2000102.
  ccm_channel_t* bad = add_channel(nullptr);
  bad->s = 100000;  // no such descriptor
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, bad, &err_), -1);
  EXPECT_TRUE(ccm_flag_test(&bad->flag, CCM_FLAG_DELETED));
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(std::string(err_.msginsert), std::string("getsockname()|9(") + strerror(EBADF) +
                                             "),S(100000(ID=" + std::to_string(bad->ID) + "))|");
  bad->s = -1;
}

}  // namespace
