// Opening and closing a context, its wake-up pipes and its counting queries.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;
using qm7::test::merge_newq;

TEST(CcmContext, OpenSetsUpAFreshContextAndRecordsTheHost) {
  ccm_host_context_t host{3, nullptr};
  ccm_context_t* ccm = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(ccm_open(&host, &ccm, &err), 0);
  ASSERT_NE(ccm, nullptr);
  EXPECT_EQ(ccm_pcx, &host);
  EXPECT_EQ(memcmp(ccm->eyec, "##CCM_CONEXT####", 16), 0);
  EXPECT_EQ(ccm->unique_channel_ID, 1);
  EXPECT_EQ(ccm->unique_msg_ID, 1UL);
  for (int fd : {ccm->network_wakeup[0], ccm->network_wakeup[1], ccm->processor_wakeup[0],
                 ccm->processor_wakeup[1]}) {
    EXPECT_EQ(fd, -1);
  }
  EXPECT_TRUE(ccm_flag_test(&ccm->flag, CCM_CTX_IPV6));  // the build host has IPv6
  EXPECT_EQ(ccm_close(ccm, &err), 0);
}

TEST(CcmContext, CloseOfNullAndOpenWithoutLocation) {
  ccm_error_t err{};
  EXPECT_EQ(ccm_close(nullptr, &err), 0);
  ccm_host_context_t host{3, nullptr};
  EXPECT_EQ(ccm_open(&host, nullptr, &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
}

TEST_F(CcmTest, WakeupPipesAreNonBlockingCloseOnExecAndNeverBlockTheWriter) {
  // Waking without pipes is harmless.
  EXPECT_EQ(ccm_wakeup_network(ccm_), 0);
  EXPECT_EQ(ccm_wakeup_processor(nullptr), 0);

  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  for (int fd : {ccm_->network_wakeup[0], ccm_->network_wakeup[1], ccm_->processor_wakeup[0],
                 ccm_->processor_wakeup[1]}) {
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  }
  // Far more wake-ups than a pipe holds: the writer never blocks (the test would hang).
  for (int i = 0; i < 200000; ++i) ccm_wakeup_network(ccm_);
  char byte = 0;
  ASSERT_EQ(read(ccm_->network_wakeup[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'N');
  ccm_wakeup_processor(ccm_);
  ASSERT_EQ(read(ccm_->processor_wakeup[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'P');

  // Re-creating closes the old pair first; closing twice closes nothing the second time.
  int old_read = ccm_->network_wakeup[0];
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  EXPECT_EQ(ccm_close_wakeup_pipes(ccm_), 0);
  EXPECT_EQ(ccm_->network_wakeup[0], -1);
  EXPECT_EQ(ccm_->processor_wakeup[1], -1);
  EXPECT_EQ(ccm_close_wakeup_pipes(ccm_), 0);
  EXPECT_EQ(fcntl(old_read, F_GETFD), -1);
}

TEST_F(CcmTest, CountingIgnoresDeletedChannelsAndTheNewQueue) {
  const int types[] = {CCM_TYPE_LISTEN,  CCM_TYPE_SERVER,    CCM_TYPE_AGENT, CCM_TYPE_CP,
                       CCM_TYPE_PASSIVE, CCM_TYPE_MESSENGER, CCM_TYPE_SERVER};
  ccm_channel_t* chs[7];
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(ccm_channel_new_entry(ccm_, &chs[i], &err_), 0);
    chs[i]->type = types[i];
    ccm_channel_chain(ccm_, chs[i]);
  }
  // Everything still waits on channel_newq: nothing counts.
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 0);
  merge_newq(ccm_);
  EXPECT_EQ(ccm_get_nof_server_connections(ccm_), 3);
  EXPECT_EQ(ccm_get_nof_connections(ccm_), 4);
  EXPECT_EQ(ccm_get_nof_agent_connections(ccm_), 1);
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 6);  // not the passive one

  ccm_channel_deletebyID(ccm_, chs[6]->ID);
  EXPECT_EQ(ccm_get_nof_server_connections(ccm_), 2);
  EXPECT_EQ(ccm_get_nof_channels(ccm_), 5);
}

TEST_F(CcmTest, SendQueueQueries) {
  EXPECT_EQ(ccm_get_sendq_count(ccm_), 0);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 1);

  ccm_channel_t* silent;
  ccm_channel_t* live;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &silent, &err_), 0);
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &live, &err_), 0);
  silent->type = CCM_TYPE_SILENT;
  live->type = CCM_TYPE_MESSENGER;
  ccm_channel_chain(ccm_, silent);
  ccm_channel_chain(ccm_, live);
  merge_newq(ccm_);

  // A message waiting on a silent channel does not count.
  ccm_msg_t* m1 = ccm_msg_alloc(ccm_, &err_);
  ccm_queue_lock(ccm_);
  ccm_queue_unlink(&ccm_->msgq_inuse, m1);
  ccm_queue_unlock(ccm_);
  ccm_queue_append(&silent->sendq, m1);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 1);

  ccm_msg_t* m2 = ccm_msg_alloc(ccm_, &err_);
  ccm_queue_lock(ccm_);
  ccm_queue_unlink(&ccm_->msgq_inuse, m2);
  ccm_queue_unlock(ccm_);
  ccm_queue_append(&live->sendq, m2);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 0);
  EXPECT_EQ(ccm_get_sendq_count(ccm_), 0);  // channels' queues are not the context's

  // Once the channel is deleted its queue no longer matters.
  ccm_channel_deletebyID(ccm_, live->ID);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 1);

  ccm_msg_t* m3 = ccm_msg_alloc(ccm_, &err_);
  ccm_queue_lock(ccm_);
  ccm_queue_unlink(&ccm_->msgq_inuse, m3);
  ccm_queue_append(&ccm_->sendq, m3);
  ccm_queue_unlock(ccm_);
  EXPECT_EQ(ccm_get_sendq_count(ccm_), 1);
  EXPECT_EQ(ccm_is_all_sendq_empty(ccm_), 0);
}

TEST(CcmContext, CloseReleasesQueuedMessagesAndLeftChannels) {
  // Run under ASan/LSan: everything left behind must be released by ccm_close.
  ccm_host_context_t host{3, nullptr};
  ccm_context_t* ccm = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(ccm_open(&host, &ccm, &err), 0);
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  ccm_msg_t* inuse = ccm_msg_alloc(ccm, &err);
  ASSERT_NE(inuse, nullptr);
  ccm_msg_t* queued = ccm_msg_alloc_huge(ccm, 40000, &err);
  ASSERT_NE(queued, nullptr);
  send_IPC_internal(ccm, queued);
  ccm_msg_free(ccm, ccm_msg_alloc(ccm, &err));  // one pooled
  ccm_channel_t* ch;
  ASSERT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
  ccm_channel_chain(ccm, ch);  // still on channel_newq: closeall leaves it
  EXPECT_EQ(ccm_channel_closeall(ccm), 0);
  EXPECT_EQ(ccm->channel_newq.head, ch);
  EXPECT_EQ(ccm_close(ccm, &err), 0);
}

}  // namespace
