// IPC records: their wire layouts byte for byte, and the dispatch table.
#include <cstring>
#include <vector>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;
using qm7::test::LogCapture;

TEST(CcmIpcRecords, WireLayouts) {
  // A ROUTENAT record of a 100-byte message is 408 bytes with len 100 at offset 304.
  std::vector<unsigned char> bytes(sizeof(ipcmsg_routenat_t) + 100, 0);
  auto* rec = reinterpret_cast<ipcmsg_routenat_t*>(bytes.data());
  memcpy(rec->head.msgtype, "ROUTENAT", 8);
  memcpy(rec->addr.eyec, "#CCMADDR", 8);
  rec->addr.dst_ID = 0x11223344;
  rec->addr.src_type = 5;
  rec->len = 100;
  memset(rec->message, 'M', 100);
  EXPECT_EQ(bytes.size(), 408u);
  EXPECT_EQ(memcmp(&bytes[0], "ROUTENAT\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_EQ(memcmp(&bytes[16], "#CCMADDR", 8), 0);
  int v;
  memcpy(&v, &bytes[16 + 12], 4);
  EXPECT_EQ(v, 0x11223344);
  memcpy(&v, &bytes[16 + 284], 4);
  EXPECT_EQ(v, 5);
  memcpy(&v, &bytes[304], 4);
  EXPECT_EQ(v, 100);
  EXPECT_EQ(bytes[308], 'M');
  EXPECT_EQ(bytes[407], 'M');

  ipcmsg_logging_t log{};
  EXPECT_EQ(reinterpret_cast<char*>(&log.msginsert) - reinterpret_cast<char*>(&log), 20);
  EXPECT_EQ(sizeof(ipcmsg_passfd_t), 156u);
  EXPECT_EQ(sizeof(ipcmsg_logging_t), 1044u);
  EXPECT_EQ(sizeof(ipcmsg_channel_accept_t), 20u);
}

ccm_msg_t* ipc_message(ccm_context_t* ccm, const void* record, int len) {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm, &err);
  memcpy(msg->msg_start, record, len);
  msg->len = len;
  msg->type = CCM_MSGTYPE_IPC;
  return msg;
}

TEST_F(CcmTest, DispatchOfChannelCloseAndOfTypesWithoutAHandler) {
  LogCapture log;
  char close_rec[64] = "CHANNEL_CLOSE";
  ccm_msg_t* msg = ipc_message(ccm_, close_rec, sizeof(close_rec));
  EXPECT_EQ(process_IPC_message(&host_, ccm_, msg), 0);
  EXPECT_EQ(ppcx, &host_);
  EXPECT_TRUE(log.entries().empty());
  ccm_msg_free(ccm_, msg);

  ipcmsg_channel_accept_t accept{};
  memcpy(accept.head.msgtype, "CHANNEL_ACCEPT", 14);
  accept.ID = 3;
  msg = ipc_message(ccm_, &accept, sizeof(accept));
  ccm_setback(msg, "", "SRCNAME", 0);
  EXPECT_EQ(process_IPC_message(&host_, ccm_, msg), -1);
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, -1);
  EXPECT_EQ(entries[0].second, "IPC message (CHANNEL_ACCEPT) is not known");
  EXPECT_EQ(entries[1].first, 2000033);
  EXPECT_EQ(entries[1].second, "SRCNAME|");
  ccm_msg_free(ccm_, msg);

  // The whole 16-byte field is compared: bytes behind the NUL make another type.
  log.clear();
  char odd[32] = "CHANNEL_CLOSE";
  odd[15] = 'x';
  msg = ipc_message(ccm_, odd, sizeof(odd));
  EXPECT_EQ(process_IPC_message(&host_, ccm_, msg), -1);
  ccm_msg_free(ccm_, msg);

  // A record shorter than a type name is never read past its length.
  log.clear();
  msg = ipc_message(ccm_, "CHANNEL_CLOSE", 7);
  EXPECT_EQ(process_IPC_message(&host_, ccm_, msg), -1);
  ASSERT_FALSE(log.entries().empty());
  EXPECT_EQ(log.entries()[0].second, "IPC message (CHANNEL) is not known");
  ccm_msg_free(ccm_, msg);

  log.clear();
  char passfd[16] = "PASSFD";
  msg = ipc_message(ccm_, passfd, sizeof(passfd));
  EXPECT_EQ(process_ipc_not_implemented(&host_, msg), -1);
  EXPECT_EQ(log.entries()[0].second, "IPC message (PASSFD) is not implemented");
  ccm_msg_free(ccm_, msg);
}

}  // namespace
