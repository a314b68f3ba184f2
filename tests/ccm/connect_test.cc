// Connecting and listening over loopback: names that do not resolve, refused and impossible
// ports, listening on "*LOCAL" and on every address over IPv6 and IPv4, the duplicate check,
// socket pairs, and the socket settings with their failures.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "ccm/ccm_test_util.h"
#include "support/unused_port.h"

namespace {

using namespace qm7::test;
using ConnectTest = CcmTest;

// A name whose label is too long for any resolver query: it fails without asking DNS.
const std::string kUnresolvable = "qm7-" + std::string(70, 'x') + ".invalid";

sockaddr_in6 local_address(int s) {
  sockaddr_in6 sa{};
  socklen_t len = sizeof sa;
  EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  return sa;  // the port lies at the same place for IPv4 and IPv6
}

void expect_cloexec_nonblocking(int s) {
  EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
}

TEST_F(ConnectTest, FailuresBeforeAndAfterTheEntry) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  EXPECT_EQ(ccm_connect(ccm_, kUnresolvable.c_str(), 4711, CCM_TYPE_MESSENGER, nullptr, 60, &err_),
            -1);
  EXPECT_EQ(ccm_->unique_channel_ID, 1);  // no ID used, nothing posted
  EXPECT_EQ(ccm_->recvq.head, nullptr);
  // A port the address cannot hold is refused at the connect step: the ID is used and the
  // channel's notice posted.
  EXPECT_EQ(ccm_connect(ccm_, "127.0.0.1", 70000, CCM_TYPE_MESSENGER, nullptr, 60, &err_), -1);
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(strncmp(err_.msginsert, "connect()|22(", 13), 0) << err_.msginsert;
  EXPECT_NE(strstr(err_.msginsert, "(ID=1))|"), nullptr) << err_.msginsert;
  EXPECT_EQ(ccm_->channel_newq.head, nullptr);
  ccm_msg_t* got = receive(ccm_, 1);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(ipc_type(got), "CHANNEL_CLOSE");
  ccm_msg_free(ccm_, got);
  EXPECT_EQ(ccm_create_listen(ccm_, "", 70000, 5, &err_), -1);
  EXPECT_EQ(strncmp(err_.msginsert, "bind(:70000)|22(", 16), 0) << err_.msginsert;
  EXPECT_EQ(ccm_create_listen(ccm_, kUnresolvable.c_str(), 0, 5, &err_), -1);
  EXPECT_EQ(ccm_->channel_newq.head, nullptr);
}

TEST_F(ConnectTest, ListenOnLocalAndConnectToIt) {
  ASSERT_EQ(ccm_create_listen(ccm_, "*LOCAL", 0, 5, &err_), 0);
  ccm_channel_t* lst = ccm_->channel_newq.head;
  EXPECT_STREQ(lst->name, "*LISTEN");
  EXPECT_EQ(lst->type, CCM_TYPE_LISTEN);
  expect_cloexec_nonblocking(lst->s);
  sockaddr_in6 sa = local_address(lst->s);
  ASSERT_EQ(sa.sin6_family, AF_INET6);  // with IPv6, "*LOCAL" is ::1
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&sa.sin6_addr));
  const int port = ntohs(sa.sin6_port);
  LogCapture log;
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  ASSERT_EQ(ccm_connect(ccm_, "::1", port, CCM_TYPE_CP, nullptr, 5, &err_), 2);
  EXPECT_EQ(log.entries(), (Entries{{2000348, "::1:" + std::to_string(port) + "(ID=2)"}}));
  ccm_channel_t* ch = ccm_->channel_newq.tail;
  EXPECT_TRUE(ccm_flag_test(&ch->flag, CCM_FLAG_CONNECTING));
  EXPECT_EQ(ch->connect_timeout_secs, 5);
  expect_cloexec_nonblocking(ch->s);
  linger lg{};
  socklen_t len = sizeof lg;
  ASSERT_EQ(getsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
  EXPECT_EQ(lg.l_onoff, 1);
  EXPECT_EQ(lg.l_linger, 60);
  char byte = 0;
  EXPECT_EQ(read(ccm_->network_wakeup[0], &byte, 1), 1);  // the network thread was woken
  pollfd pfd = {ch->s, POLLOUT, 0};
  ASSERT_EQ(poll(&pfd, 1, 5000), 1);
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, ch, &err_), 0);  // bound to the wildcard before
  EXPECT_STREQ(ch->bind_addr, "::1");
  // The duplicate check sees the type 6 channel, on channel_newq and after the merge.
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 1);
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port + 1, &err_), 0);
  merge_newq(ccm_);
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 1);
  ch->type = CCM_TYPE_SERVER;  // another type to the same place does not count
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 0);
  ch->type = CCM_TYPE_CP;
  ccm_channel_deletebyID(ccm_, 2);  // nor does a deleted one
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 0);
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, kUnresolvable.c_str(), port, &err_), -1);

  // Every address with IPv6; then, as on a host without it, IPv4 sockets: "*LOCAL" at a given
  // port, and every address. The port is one just released on 127.0.0.1: the one taken on ::1
  // may be in use there by another program (a test running beside this one failed it).
  ASSERT_EQ(ccm_create_listen(ccm_, "", 0, 5, &err_), 0);
  sa = local_address(ccm_->channel_newq.tail->s);
  EXPECT_EQ(sa.sin6_family, AF_INET6);
  EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&sa.sin6_addr));
  ccm_flag_clear(&ccm_->flag, CCM_CTX_IPV6);
  for (auto [where, at] : {std::pair{"*LOCAL", qm7_test::UnusedPort()}, std::pair{"", 0}}) {
    ASSERT_EQ(ccm_create_listen(ccm_, where, at, 5, &err_), 0) << err_.msginsert;
    sa = local_address(ccm_->channel_newq.tail->s);
    sockaddr_in v4;
    memcpy(&v4, &sa, sizeof v4);
    EXPECT_EQ(v4.sin_family, AF_INET);
    EXPECT_EQ(v4.sin_addr.s_addr, htonl(*where ? INADDR_LOOPBACK : INADDR_ANY));
    EXPECT_TRUE(at == 0 || ntohs(v4.sin_port) == at) << ntohs(v4.sin_port);
  }
}

TEST_F(ConnectTest, ChannelPairAndSocketSettingFailures) {
  ccm_channel_t* a = nullptr;
  ccm_channel_t* b = nullptr;
  ASSERT_EQ(ccm_channel_create_pair(ccm_, &a, &b, &err_), 0);
  expect_cloexec_nonblocking(a->s);
  expect_cloexec_nonblocking(b->s);
  // A local socket has no address to learn: the flag is set, the address stays empty.
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, a, &err_), 0);
  EXPECT_TRUE(ccm_flag_test(&a->flag, CCM_FLAG_BINDADDR));
  EXPECT_STREQ(a->bind_addr, "");

  const int s = a->s;
  a->s = 100000;  // no such descriptor
  EXPECT_EQ(ccm_set_nonblocking(ccm_, a, &err_), -1);
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(strncmp(err_.msginsert, "ioctl(...,FIONBIO)|9-", 21), 0) << err_.msginsert;
  EXPECT_EQ(ccm_set_linger(ccm_, a, 1, 60, &err_), -1);
  EXPECT_EQ(std::string(err_.msginsert).rfind("setsockopt(SO_LINGER,s=100000,ID=1)|9-", 0), 0u)
      << err_.msginsert;
  a->s = s;
}

}  // namespace
