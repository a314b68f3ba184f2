// The local-address inquiry of a channel: IPC channels, sockets still bound to the wildcard,
// known addresses, local sockets and failures.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;

ccm_channel_t* new_chained(ccm_context_t* ccm, int type, const char* name = nullptr) {
  ccm_channel_t* ch = nullptr;
  ccm_error_t err{};
  EXPECT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
  ch->type = type;
  if (name != nullptr) snprintf(ch->name, sizeof(ch->name), "%s", name);
  ccm_channel_chain(ccm, ch);
  return ch;
}

TEST_F(CcmTest, BindAddressInquiry) {
  // "*IPC" channels need no system call: an invalid socket would make one fail.
  ccm_channel_t* ipc = new_chained(ccm_, CCM_TYPE_SILENT, "*IPC(AGENT)");
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, ipc, &err_), 0);
  EXPECT_TRUE(ccm_flag_test(&ipc->flag, CCM_FLAG_BINDADDR));

  // A socket bound to the wildcard address: try it later, flag clear, nothing recorded.
  ccm_channel_t* wild = new_chained(ccm_, CCM_TYPE_SILENT);
  wild->s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  ASSERT_EQ(bind(wild->s, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
  err_ = {};
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, wild, &err_), 0);
  EXPECT_FALSE(ccm_flag_test(&wild->flag, CCM_FLAG_BINDADDR));
  EXPECT_EQ(err_.msgnr, 0);

  // Bound to loopback: known.
  ccm_channel_t* lo = new_chained(ccm_, CCM_TYPE_SILENT);
  lo->s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in loop{};
  loop.sin_family = AF_INET;
  loop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lo->s, reinterpret_cast<sockaddr*>(&loop), sizeof(loop)), 0);
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, lo, &err_), 0);
  EXPECT_TRUE(ccm_flag_test(&lo->flag, CCM_FLAG_BINDADDR));
  EXPECT_STREQ(lo->bind_addr, "127.0.0.1");

  // A failing getsockname deletes the channel and reports 2000102.
  ccm_channel_t* bad = new_chained(ccm_, CCM_TYPE_SILENT);
  bad->s = 100000;  // no such descriptor
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, bad, &err_), -1);
  EXPECT_TRUE(ccm_flag_test(&bad->flag, CCM_FLAG_DELETED));
  EXPECT_EQ(err_.msgnr, 2000102);
  char expected[64];
  snprintf(expected, sizeof(expected), "getsockname()|9(%s),S(100000(ID=%d))|", strerror(EBADF),
           bad->ID);
  EXPECT_STREQ(err_.msginsert, expected);
  bad->s = -1;
}

}  // namespace
