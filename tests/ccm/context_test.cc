// Opening and closing a context: refusals, the wake-up pipes, and the release of everything a
// context still holds when it is closed.
#include <fcntl.h>
#include <unistd.h>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;

TEST_F(CcmTest, WakeupPipesNeverBlockTheWriter) {
  EXPECT_EQ(ccm_wakeup_network(ccm_), 0);  // without pipes: harmless
  EXPECT_EQ(ccm_wakeup_processor(nullptr), 0);
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  for (int fd : {ccm_->network_wakeup[0], ccm_->network_wakeup[1], ccm_->processor_wakeup[0],
                 ccm_->processor_wakeup[1]}) {
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  }
  for (int i = 0; i < 70000; ++i) ccm_wakeup_network(ccm_);  // more than a pipe (64 KiB) holds
  ccm_wakeup_processor(ccm_);
  char bytes[2] = {};
  ASSERT_EQ(read(ccm_->network_wakeup[0], bytes, 1), 1);
  ASSERT_EQ(read(ccm_->processor_wakeup[0], bytes + 1, 1), 1);
  EXPECT_EQ(std::string(bytes, 2), "NP");
  // Re-creating closes the old pair; closing twice closes nothing the second time.
  const int old_read = ccm_->network_wakeup[0];
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  EXPECT_EQ(ccm_close_wakeup_pipes(ccm_), 0);
  EXPECT_EQ(ccm_->network_wakeup[0], -1);
  EXPECT_EQ(ccm_close_wakeup_pipes(ccm_), 0);
  EXPECT_EQ(fcntl(old_read, F_GETFD), -1);
}

// The release is checked by the leak checkers of the sanitizer and memcheck builds.
TEST(CcmContext, RefusalsAndCloseReleasesQueuedMessagesAndLeftChannels) {
  ccm_error_t err{};
  EXPECT_EQ(ccm_close(nullptr, &err), 0);
  ccm_host_context_t host{3, nullptr};
  EXPECT_EQ(ccm_open(&host, nullptr, &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);
  ccm_context_t* ccm = nullptr;
  ASSERT_EQ(ccm_open(&host, &ccm, &err), 0);
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  ASSERT_NE(ccm_msg_alloc(ccm, &err), nullptr);  // in use
  send_IPC_internal(ccm, ccm_msg_alloc_huge(ccm, 40000, &err));
  ccm_msg_free(ccm, ccm_msg_alloc(ccm, &err));  // pooled
  ccm_channel_t* ch;
  ASSERT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
  ch->recv_buffer = static_cast<char*>(malloc(100));
  ccm_channel_chain(ccm, ch);
  EXPECT_EQ(ccm_channel_closeall(ccm), 0);  // leaves channel_newq alone
  EXPECT_EQ(ccm->channel_newq.head, ch);
  EXPECT_EQ(ccm_close(ccm, &err), 0);
}

}  // namespace
