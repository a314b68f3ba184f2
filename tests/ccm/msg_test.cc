// Messages: the pool's layout, free list and size limits, two threads allocating, queueing and
// freeing at once, and the bounded copies into the 64-byte fields of the address record.
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ccm/ccm_test_util.h"
#include "msg_pool.h"

namespace {

using namespace qm7::test;
using MsgTest = CcmTest;

TEST_F(MsgTest, LayoutReuseTheFreeListLimitAndRefusedSizes) {
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err_);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(memcmp(msg->eyec, "##CCM#MESSAGE###", 16), 0);
  EXPECT_EQ(msg->buffer2, msg->buffer1 + 32768);
  EXPECT_EQ(msg->msg_start, msg->buffer1 + 256);
  memset(msg->msg_start, 0xAB, 2 * 32768 - 256);  // the whole area promised is there
  memcpy(msg->msg_start, "old", 3);
  msg->len = 3;
  msg->flag = CCM_MSGFLAG_KEEP;
  ccm_setaddr(msg, 7, 0, "*SERVER", "NAME", 1);
  EXPECT_EQ(ccm_msg_free(ccm_, msg), 0);
  EXPECT_EQ(ccm_msg_free(ccm_, nullptr), 0);  // nothing to free
  ccm_msg_t* again = ccm_msg_alloc(ccm_, &err_);
  ASSERT_EQ(again, msg);  // from the free list, with a new ID and a cleared header only
  EXPECT_EQ(again->ID, 2UL);
  EXPECT_EQ(again->len, 0);
  EXPECT_EQ(again->flag, 0);
  EXPECT_EQ(again->addr.dst_ID, 0);
  EXPECT_EQ(memcmp(again->msg_start, "old", 3), 0);

  std::vector<ccm_msg_t*> msgs{again};
  for (int i = 0; i < 64; ++i) msgs.push_back(ccm_msg_alloc(ccm_, &err_));
  for (ccm_msg_t* m : msgs) ccm_msg_free(ccm_, m);  // the 65th is released
  EXPECT_EQ(ccm_->nof_freemsg, 64);
  EXPECT_EQ(ccm_queue_count(&ccm_->msg_freeq), 64);
  ccm_msg_t* huge = ccm_msg_alloc_huge(ccm_, 32769, &err_);
  ASSERT_NE(huge, nullptr);
  huge->msg_start[2 * 32769 - 257] = 1;  // last byte of the area
  ccm_msg_free(ccm_, huge);              // never pooled
  EXPECT_EQ(ccm_->nof_freemsg, 64);
  const unsigned long next_id = ccm_->unique_msg_ID;
  for (int size : {-1, 0, 127, 0x7FFFFFFF}) {
    err_ = {};
    EXPECT_EQ(ccm_msg_alloc_huge(ccm_, size, &err_), nullptr) << size;
    EXPECT_EQ(err_.msgnr, 3301);
    EXPECT_EQ(strncmp(err_.msginsert, "CCMMSG/src/_ccm/ccmmsg(", 23), 0) << err_.msginsert;
  }
  EXPECT_EQ(ccm_->unique_msg_ID, next_id);  // refusals use no ID
}

// A block that does not come from the free list is not cleared whole, only its header and the
// headroom in front of msg_start: those must start clean even where the memory held other bytes.
TEST_F(MsgTest, FreshBlocksHaveACleanHeaderAndHeadroom) {
  for (int size : {128, 40000, 100000}) {
    for (int round = 0; round < 2; ++round) {  // the second block may be the dirtied first one
      ccm_msg_t* m = ccm_msg_alloc_huge(ccm_, size, &err_);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->msg_start, m->buffer1 + 256);
      ccm_msg_t h;
      memcpy(&h, m, sizeof h);
      h.nxt = nullptr;  // the fields the pool sets
      memset(h.eyec, 0, sizeof h.eyec);
      h.ID = 0;
      h.size = 0;
      h.msg_start = h.buffer1 = h.buffer2 = nullptr;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(&h), sizeof h), std::string(sizeof h, '\0'))
          << size;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(m->buffer1), 256), std::string(256, '\0'))
          << size;
      ccm_msg_t* link = m->nxt;
      memset(static_cast<void*>(m), 0xAB, CCM_MSG_HEADER_SIZE + 2 * static_cast<size_t>(size));
      m->nxt = link;  // what the pool reads when it takes the message back
      m->size = size;
      ccm_msg_free(ccm_, m);
    }
  }
}

// A released block serves a later message that fits it and wastes at most half of it; at most
// 64 blocks and 8 MiB are kept, and ccm_close releases them.
TEST_F(MsgTest, ReleasedBlocksServeMessagesTheyFitWithinTheCacheBounds) {
  ccm_msg_t* big = ccm_msg_alloc_huge(ccm_, 120000, &err_);
  ccm_msg_free(ccm_, big);
  ccm_msg_t* wasteful = ccm_msg_alloc_huge(ccm_, 50000, &err_);  // would leave over half unused
  ccm_msg_t* fitting = ccm_msg_alloc_huge(ccm_, 70000, &err_);
  EXPECT_NE(wasteful, big);
  EXPECT_EQ(fitting, big);
  EXPECT_EQ(ccm_->nof_spare, 0);
  std::vector<ccm_msg_t*> blocks;
  for (int i = 0; i < 70; ++i) blocks.push_back(ccm_msg_alloc_huge(ccm_, 40000, &err_));
  blocks.insert(blocks.end(), {wasteful, fitting});  // released last: not kept
  for (ccm_msg_t* m : blocks) ccm_msg_free(ccm_, m);
  EXPECT_EQ(ccm_->nof_spare, 64);
  blocks.clear();
  for (int i = 0; i < 64; ++i) blocks.push_back(ccm_msg_alloc_huge(ccm_, 40000, &err_));
  EXPECT_EQ(ccm_->nof_spare, 0);
  for (int i = 0; i < 5; ++i) blocks.push_back(ccm_msg_alloc_huge(ccm_, 1 << 20, &err_));
  for (size_t i = 64; i < blocks.size(); ++i) ccm_msg_free(ccm_, blocks[i]);
  EXPECT_EQ(ccm_->nof_spare, 3);  // blocks of 2 MiB and a little: a fourth would pass 8 MiB
  for (size_t i = 0; i < 64; ++i) ccm_msg_free(ccm_, blocks[i]);
  EXPECT_LE(ccm_->spare_bytes, size_t{8} << 20);
}

// Standard blocks released beyond the free list serve later messages; a trim gives back those no
// allocation reached since the trim before, and a context that needs none keeps none.
TEST_F(MsgTest, StandardBlocksBeyondTheFreeListStayWhileAllocationsNeedThem) {
  std::vector<ccm_msg_t*> msgs;
  for (int i = 0; i < 164; ++i) msgs.push_back(ccm_msg_alloc(ccm_, &err_));
  for (ccm_msg_t* m : msgs) ccm_msg_free(ccm_, m);
  EXPECT_EQ(ccm_->nof_freemsg, 64);
  EXPECT_EQ(ccm_->nof_std_spare, 100);
  const long long t0 = 1000000;
  EXPECT_EQ(qm7::ccm::msg_pool_trim(ccm_, t0), t0 + 1000);  // the first trim is due a second on
  msgs.clear();
  for (int i = 0; i < 94; ++i) msgs.push_back(ccm_msg_alloc(ccm_, &err_));
  EXPECT_EQ(ccm_->nof_std_spare, 70);
  for (ccm_msg_t* m : msgs) ccm_msg_free(ccm_, m);
  EXPECT_EQ(qm7::ccm::msg_pool_trim(ccm_, t0 + 999), t0 + 1000);
  EXPECT_EQ(qm7::ccm::msg_pool_trim(ccm_, t0 + 1000), t0 + 2000);
  EXPECT_EQ(ccm_->nof_std_spare, 30);  // the 70 that stayed unused are gone
  EXPECT_EQ(qm7::ccm::msg_pool_trim(ccm_, t0 + 2000), -1);
  EXPECT_EQ(ccm_->nof_std_spare, 0);
  EXPECT_EQ(ccm_->nof_freemsg, 64);
}

// Every message must come back exactly once, IDs must stay unique and the pool limit must hold.
TEST_F(MsgTest, TwoThreadsAllocateQueueAndFreeConcurrently) {
  constexpr int kPerThread = 3000;
  std::atomic<int> received{0};
  std::atomic<bool> failed{false};
  std::vector<unsigned long> ids[2];
  auto producer = [&](int who) {
    for (int i = 0; i < kPerThread; ++i) {
      ccm_error_t err{};
      ccm_msg_t* msg =
          (i % 10 == 9) ? ccm_msg_alloc_huge(ccm_, 40000, &err) : ccm_msg_alloc(ccm_, &err);
      if (msg == nullptr) return failed.store(true);
      ids[who].push_back(msg->ID);
      memcpy(msg->msg_start, "CHANNEL_ACCEPT\0\0", 16);
      msg->len = 20;
      if (i % 3 == 0) {
        ccm_msg_free(ccm_, msg);  // freed by its owner
        ++received;
      } else {
        send_IPC_internal(ccm_, msg);
      }
      for (;;) {  // take back whatever is queued, from either thread
        ccm_queue_lock(ccm_);
        ccm_msg_t* got = ccm_queue_pop(&ccm_->recvq);
        if (ccm_->nof_freemsg > 64) failed = true;
        ccm_queue_unlock(ccm_);
        if (got == nullptr) break;
        if (got->type != CCM_MSGTYPE_IPC) failed = true;
        ccm_msg_free(ccm_, got);
        ++received;
      }
    }
  };
  std::thread a(producer, 0), b(producer, 1);
  a.join();
  b.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(received.load(), 2 * kPerThread);
  std::set<unsigned long> all(ids[0].begin(), ids[0].end());
  all.insert(ids[1].begin(), ids[1].end());
  EXPECT_EQ(all.size(), size_t{2 * kPerThread});
  EXPECT_EQ(*all.rbegin(), static_cast<unsigned long>(2 * kPerThread));
  EXPECT_EQ(ccm_queue_count(&ccm_->msg_freeq), ccm_->nof_freemsg);
  EXPECT_EQ(ccm_->msgq_inuse.head, nullptr);
}

TEST_F(MsgTest, AddressFieldsAreFilledByHalvesAndCutTo63) {
  ccm_msg_t* msg = body_msg(0);
  ccm_addr_t* a = ccm_setaddr(msg, 12, 99, "*SERVER", "JPAKTJ_R", 0x01020304);
  EXPECT_EQ(memcmp(a->eyec, "#CCMADDR", 8), 0);
  EXPECT_EQ(a->dst_ID, 12);
  EXPECT_STREQ(a->dst_addr, "*SERVER");
  EXPECT_STREQ(a->dst_name, "JPAKTJ_R");
  ccm_setback(msg, nullptr, "SENDER", 7);  // null counts as empty
  EXPECT_STREQ(a->src_addr, "");
  EXPECT_STREQ(a->src_name, "SENDER");
  EXPECT_STREQ(a->dst_addr, "*SERVER");  // the other half untouched
  const std::string longer(200, 'X');
  ccm_setaddr(msg, 1, 0, longer.c_str(), longer.c_str(), 5);
  ccm_setback(msg, longer.c_str(), longer.c_str(), 6);
  for (const char* field : {a->dst_addr, a->dst_name, a->src_addr, a->src_name}) {
    EXPECT_EQ(std::string(field), std::string(63, 'X'));
  }
  EXPECT_EQ(a->dst_acv, 5);  // the fields behind kept their values
  EXPECT_EQ(a->src_acv, 6);

  // A reply goes back to the sender; fields filled to the brim are still copied within bounds.
  ccm_msg_t* reply = body_msg(0);
  a->src_ID = 4;
  memset(a->src_name, 'N', sizeof a->src_name);
  memset(a->src_addr, 'A', sizeof a->src_addr);
  a->src_acv = 6;
  trcFlag = 1;  // the trace line, too, reads each field only up to its end
  testing::internal::CaptureStdout();
  ccm_setaddr_reply(reply, msg);
  trcFlag = 0;
  const std::string traced = testing::internal::GetCapturedStdout();
  EXPECT_NE(traced.find("ccm_setaddr_reply(ID=4,addr=" + std::string(64, 'A') +
                        ",name=" + std::string(64, 'N') + ",acv=00000006) -->"),
            std::string::npos)
      << traced;
  EXPECT_EQ(reply->addr.dst_ID, 4);
  EXPECT_EQ(reply->addr.dst_acv, 6);
  EXPECT_EQ(std::string(reply->addr.dst_addr), std::string(63, 'A'));
  EXPECT_EQ(std::string(reply->addr.dst_name), std::string(63, 'N'));
}

}  // namespace
