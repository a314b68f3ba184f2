// The message pool: allocation layout, the free list of at most 64, IDs, large messages, and
// two threads allocating, queueing and freeing at once.
#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;

TEST_F(CcmTest, FreshMessageLayout) {
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err_);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(memcmp(msg->eyec, "##CCM#MESSAGE###", 16), 0);
  EXPECT_EQ(msg->ID, 1UL);
  EXPECT_EQ(msg->size, 32768);
  EXPECT_EQ(msg->len, 0);
  EXPECT_EQ(msg->buffer1, msg->buffer);
  EXPECT_EQ(msg->buffer2, msg->buffer1 + 32768);
  EXPECT_EQ(msg->msg_start, msg->buffer1 + 256);
  EXPECT_EQ(ccm_->msgq_inuse.head, msg);
  // The body may use the whole area promised: 2 x size - 256 bytes from msg_start.
  memset(msg->msg_start, 0xAB, 2 * 32768 - 256);
  EXPECT_EQ(ccm_msg_free(ccm_, msg), 0);
  EXPECT_EQ(ccm_->msgq_inuse.head, nullptr);
  EXPECT_EQ(ccm_->nof_freemsg, 1);
  EXPECT_EQ(ccm_msg_free(ccm_, nullptr), 0);  // nothing to free
}

TEST_F(CcmTest, ReusedMessagesGetNewIdsAndKeepTheirData) {
  ccm_msg_t* first = ccm_msg_alloc(ccm_, &err_);
  memcpy(first->msg_start, "old bytes", 9);
  first->len = 9;
  first->flag = CCM_MSGFLAG_KEEP;
  ccm_setaddr(first, 7, 0, "*SERVER", "NAME", 1);
  ccm_msg_free(ccm_, first);
  ccm_msg_t* again = ccm_msg_alloc(ccm_, &err_);
  ASSERT_EQ(again, first);  // the free list hands back the same block
  EXPECT_EQ(again->ID, 2UL);
  EXPECT_EQ(again->len, 0);
  EXPECT_EQ(again->flag, 0);
  EXPECT_EQ(again->addr.dst_ID, 0);
  EXPECT_EQ(again->addr.dst_addr[0], '\0');
  EXPECT_EQ(memcmp(again->msg_start, "old bytes", 9), 0);  // only the header is cleared
  ccm_msg_free(ccm_, again);
}

TEST_F(CcmTest, FreeListHoldsAtMost64AndLargeMessagesAreNeverPooled) {
  std::vector<ccm_msg_t*> msgs;
  for (int i = 0; i < 65; ++i) msgs.push_back(ccm_msg_alloc(ccm_, &err_));
  for (int i = 0; i < 64; ++i) ccm_msg_free(ccm_, msgs[i]);
  EXPECT_EQ(ccm_->nof_freemsg, 64);
  ccm_msg_free(ccm_, msgs[64]);  // the 65th is released (LSan would see a leak otherwise)
  EXPECT_EQ(ccm_->nof_freemsg, 64);
  EXPECT_EQ(ccm_queue_count(&ccm_->msg_freeq), 64);
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);

  // A large message is released, and a small odd size too.
  ccm_msg_t* huge = ccm_msg_alloc_huge(ccm_, 32769, &err_);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(huge->size, 32769);
  EXPECT_EQ(huge->buffer2, huge->buffer1 + 32769);
  huge->msg_start[2 * 32769 - 257] = 1;  // last byte of the area
  ccm_msg_free(ccm_, huge);
  EXPECT_EQ(ccm_->nof_freemsg, 64);

  // A standard allocation now comes from the free list.
  ccm_msg_t* pooled = ccm_msg_alloc(ccm_, &err_);
  EXPECT_EQ(ccm_->nof_freemsg, 63);
  ccm_msg_free(ccm_, pooled);
}

TEST_F(CcmTest, SizesThatCannotHoldAMessageAreRefused) {
  for (int size : {-1, 0, 127, 0x7FFFFFFF}) {
    err_ = {};
    EXPECT_EQ(ccm_msg_alloc_huge(ccm_, size, &err_), nullptr) << size;
    EXPECT_EQ(err_.msgnr, 3301);
    EXPECT_EQ(strncmp(err_.msginsert, "CCMMSG/src/_ccm/ccmmsg(", 23), 0) << err_.msginsert;
  }
  ccm_msg_t* smallest = ccm_msg_alloc_huge(ccm_, 128, &err_);
  ASSERT_NE(smallest, nullptr);
  EXPECT_EQ(smallest->msg_start, smallest->buffer1 + 256);
  ccm_msg_free(ccm_, smallest);
  EXPECT_EQ(ccm_->unique_msg_ID, 2UL);  // refusals use no ID
}

// Two threads allocate, queue to recvq and take back and free messages at once. Every message
// must come back exactly once, IDs must stay unique, and the pool limit must hold.
TEST_F(CcmTest, TwoThreadsAllocateQueueAndFreeConcurrently) {
  constexpr int kPerThread = 3000;
  std::atomic<int> received{0};
  std::atomic<bool> failed{false};
  std::vector<unsigned long> ids[2];

  auto producer = [&](int who) {
    for (int i = 0; i < kPerThread; ++i) {
      ccm_error_t err{};
      ccm_msg_t* msg =
          (i % 10 == 9) ? ccm_msg_alloc_huge(ccm_, 40000, &err) : ccm_msg_alloc(ccm_, &err);
      if (msg == nullptr) {
        failed = true;
        return;
      }
      ids[who].push_back(msg->ID);
      memcpy(msg->msg_start, "CHANNEL_ACCEPT\0\0", 16);
      msg->len = 20;
      if (i % 3 == 0) {
        ccm_msg_free(ccm_, msg);  // freed by its owner
        ++received;
      } else {
        send_IPC_internal(ccm_, msg);
      }
      // Take back whatever is queued (from either thread) and free it.
      for (;;) {
        ccm_queue_lock(ccm_);
        ccm_msg_t* got = ccm_queue_pop(&ccm_->recvq);
        int freeq = ccm_->nof_freemsg;
        ccm_queue_unlock(ccm_);
        if (freeq > 64) failed = true;
        if (got == nullptr) break;
        if (got->type != CCM_MSGTYPE_IPC) failed = true;
        ccm_msg_free(ccm_, got);
        ++received;
      }
    }
  };
  std::thread a(producer, 0);
  std::thread b(producer, 1);
  a.join();
  b.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(received.load(), 2 * kPerThread);
  std::set<unsigned long> all(ids[0].begin(), ids[0].end());
  all.insert(ids[1].begin(), ids[1].end());
  EXPECT_EQ(all.size(), static_cast<size_t>(2 * kPerThread));
  EXPECT_EQ(*all.begin(), 1UL);
  EXPECT_EQ(*all.rbegin(), static_cast<unsigned long>(2 * kPerThread));
  EXPECT_LE(ccm_->nof_freemsg, 64);
  EXPECT_EQ(ccm_queue_count(&ccm_->msg_freeq), ccm_->nof_freemsg);
  EXPECT_EQ(ccm_->msgq_inuse.head, nullptr);
  EXPECT_EQ(ccm_->recvq.head, nullptr);
}

}  // namespace
