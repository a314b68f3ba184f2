// Connecting and listening over loopback: names that do not resolve, closed ports, listening on
// "*LOCAL" and on every address, the duplicate check, socket pairs, and the socket settings.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"

namespace {

using qm7::test::CcmTest;
using qm7::test::LogCapture;
using qm7::test::merge_newq;

// A name whose label is too long for any resolver query: it fails without asking DNS.
const std::string kUnresolvable = std::string("qm7-") + std::string(70, 'x') + ".invalid";

int local_port(int s) {
  sockaddr_in6 sa{};
  socklen_t len = sizeof(sa);
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin6_port);  // same place for IPv4 and IPv6
}

// Waits until the non-blocking connect of `s` has finished; returns its SO_ERROR.
int connect_result(int s) {
  pollfd pfd = {s, POLLOUT, 0};
  poll(&pfd, 1, 5000);
  int so_error = -1;
  socklen_t len = sizeof(so_error);
  getsockopt(s, SOL_SOCKET, SO_ERROR, &so_error, &len);
  return so_error;
}

// A port on 127.0.0.1 where nothing listens.
int closed_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  int port = local_port(s);
  close(s);
  return port;
}

TEST_F(CcmTest, ConnectToANameThatDoesNotResolve) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  EXPECT_EQ(ccm_connect(ccm_, kUnresolvable.c_str(), 4711, CCM_TYPE_MESSENGER, nullptr, 60, &err_),
            -1);
  EXPECT_EQ(ccm_->unique_channel_ID, 1);  // no ID used
  EXPECT_EQ(ccm_->channel_newq.head, nullptr);
  EXPECT_EQ(ccm_->recvq.head, nullptr);  // nothing posted
  ccm_msg_t* got = nullptr;
  EXPECT_EQ(ccm_receive_message(ccm_, 0, &got, &err_), 0);
}

TEST_F(CcmTest, ConnectToAClosedPortGivesAnIdThenTheCloseNotice) {
  LogCapture log;
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  int port = closed_port();
  int id = ccm_connect(ccm_, "127.0.0.1", port, CCM_TYPE_MESSENGER, nullptr, 60, &err_);
  ASSERT_EQ(id, 1);
  char expected[64];
  snprintf(expected, sizeof(expected), "127.0.0.1:%d(ID=1)", port);
  ASSERT_FALSE(log.entries().empty());
  EXPECT_EQ(log.entries()[0].first, 2000348);
  EXPECT_EQ(log.entries()[0].second, expected);

  ccm_channel_t* ch = ccm_channel_getbyID(ccm_, id);
  ASSERT_NE(ch, nullptr);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(ch, ccm_->channel_newq.head);
  EXPECT_EQ(memcmp(ch->eyec, "#CCMSOCK00000001", 16), 0);
  EXPECT_TRUE(ccm_flag_test(&ch->flag, CCM_FLAG_CONNECTING));
  EXPECT_EQ(ch->type, CCM_TYPE_MESSENGER);
  EXPECT_STREQ(ch->addr, "127.0.0.1");
  EXPECT_STREQ(ch->host, "127.0.0.1");
  EXPECT_EQ(ch->port, port);
  EXPECT_EQ(ch->connect_timeout_secs, 60);
  EXPECT_TRUE(fcntl(ch->s, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(ch->s, F_GETFL) & O_NONBLOCK);
  linger lg{};
  socklen_t len = sizeof(lg);
  ASSERT_EQ(getsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
  EXPECT_EQ(lg.l_onoff, 1);
  EXPECT_EQ(lg.l_linger, 60);
  char byte = 0;
  EXPECT_EQ(read(ccm_->network_wakeup[0], &byte, 1), 1);  // the network thread was woken
  EXPECT_EQ(byte, 'N');
  EXPECT_EQ(connect_result(ch->s), ECONNREFUSED);

  // What the network thread does when the refusal shows: delete, then destroy after the pass.
  merge_newq(ccm_);
  ccm_channel_deletebyID(ccm_, id);
  ccm_destroy_deleted_channels(ccm_);
  ccm_msg_t* got = nullptr;
  ASSERT_EQ(ccm_receive_message(ccm_, 1, &got, &err_), 1);
  EXPECT_EQ(got->type, CCM_MSGTYPE_IPC);
  ipcmsg_channel_close_t rec;
  memcpy(static_cast<void*>(&rec), got->msg_start, sizeof(rec));
  EXPECT_STREQ(rec.head.msgtype, "CHANNEL_CLOSE");
  EXPECT_EQ(rec.ccmch.ID, id);
  ccm_msg_free(ccm_, got);

  // The next attempt gets the next ID.
  EXPECT_EQ(ccm_connect(ccm_, "127.0.0.1", port, CCM_TYPE_MESSENGER, nullptr, 60, &err_), 2);
}

TEST_F(CcmTest, ConnectFailureAfterTheEntryUsesTheIdAndPostsTheNotice) {
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err_), 0);
  // A port the address cannot hold is refused at the connect step.
  EXPECT_EQ(ccm_connect(ccm_, "127.0.0.1", 70000, CCM_TYPE_MESSENGER, nullptr, 60, &err_), -1);
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(strncmp(err_.msginsert, "connect()|22(", 13), 0) << err_.msginsert;
  EXPECT_NE(strstr(err_.msginsert, "(ID=1))|"), nullptr) << err_.msginsert;
  EXPECT_EQ(ccm_->unique_channel_ID, 2);
  EXPECT_EQ(ccm_->channel_newq.head, nullptr);
  ccm_msg_t* got = nullptr;
  ASSERT_EQ(ccm_receive_message(ccm_, 1, &got, &err_), 1);
  EXPECT_EQ(memcmp(got->msg_start, "CHANNEL_CLOSE", 13), 0);
  ccm_msg_free(ccm_, got);
}

TEST_F(CcmTest, ListenOnLocalAndConnectToIt) {
  ASSERT_EQ(ccm_create_listen(ccm_, "*LOCAL", 0, 5, &err_), 0);
  ccm_channel_t* lst = ccm_channel_getbyName(ccm_, "*LISTEN");
  ASSERT_NE(lst, nullptr);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(lst->type, CCM_TYPE_LISTEN);
  EXPECT_EQ(lst->ID, 1);
  EXPECT_TRUE(fcntl(lst->s, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(lst->s, F_GETFL) & O_NONBLOCK);
  sockaddr_in6 sa{};
  socklen_t len = sizeof(sa);
  ASSERT_EQ(getsockname(lst->s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  // IPv6 context: "*LOCAL" is ::1.
  ASSERT_EQ(sa.sin6_family, AF_INET6);
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&sa.sin6_addr));
  int port = ntohs(sa.sin6_port);

  int id = ccm_connect(ccm_, "::1", port, CCM_TYPE_CP, nullptr, 5, &err_);
  ASSERT_EQ(id, 2);
  ccm_channel_t* ch = ccm_channel_getbyID(ccm_, id);
  ccm_channel_unlock(ccm_);
  EXPECT_EQ(connect_result(ch->s), 0);
  // Bound to the wildcard before connecting; now the local address is known.
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, ch, &err_), 0);
  EXPECT_STREQ(ch->bind_addr, "::1");

  // The duplicate check sees the type 6 channel, on channel_newq and after the merge.
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 1);
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port + 1, &err_), 0);
  merge_newq(ccm_);
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 1);
  EXPECT_EQ(ccm_get_nof_server_connections(ccm_), 1);
  EXPECT_EQ(ccm_get_nof_connections(ccm_), 2);
  ch->type = CCM_TYPE_SERVER;  // another type to the same place does not count
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 0);
  ch->type = CCM_TYPE_CP;
  ccm_channel_deletebyID(ccm_, id);  // nor does a deleted one
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, "::1", port, &err_), 0);
  EXPECT_EQ(ccm_is_cp_connecting(ccm_, kUnresolvable.c_str(), port, &err_), -1);
}

TEST_F(CcmTest, ListenOnEveryAddressAndListenFailures) {
  ASSERT_EQ(ccm_create_listen(ccm_, "", 0, 5, &err_), 0);
  ccm_channel_t* lst = ccm_->channel_newq.head;
  sockaddr_in6 sa{};
  socklen_t len = sizeof(sa);
  ASSERT_EQ(getsockname(lst->s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  EXPECT_EQ(sa.sin6_family, AF_INET6);
  EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&sa.sin6_addr));
  int port = ntohs(sa.sin6_port);

  // The same port again on the same address: bind fails, the socket is closed, no channel.
  int before = ccm_->unique_channel_ID;
  EXPECT_EQ(ccm_create_listen(ccm_, "", port, 5, &err_), -1);
  EXPECT_EQ(err_.msgnr, 2000102);
  char expected[64];
  snprintf(expected, sizeof(expected), "bind(:%d)|%d(", port, EADDRINUSE);
  EXPECT_EQ(strncmp(err_.msginsert, expected, strlen(expected)), 0) << err_.msginsert;
  EXPECT_EQ(ccm_->unique_channel_ID, before);
  EXPECT_EQ(ccm_create_listen(ccm_, kUnresolvable.c_str(), 0, 5, &err_), -1);
  EXPECT_EQ(ccm_queue_count(&ccm_->channel_newq), 1);

  // Listening on 127.0.0.1 explicitly gives an IPv4 socket.
  ASSERT_EQ(ccm_create_listen(ccm_, "127.0.0.1", 0, 5, &err_), 0);
  ccm_channel_t* v4 = ccm_->channel_newq.tail;
  len = sizeof(sa);
  ASSERT_EQ(getsockname(v4->s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  EXPECT_EQ(sa.sin6_family, AF_INET);
}

TEST(CcmListenIpv4, LocalMeansIpv4LoopbackWithoutIpv6) {
  ccm_host_context_t host{3, nullptr};
  ccm_context_t* ccm = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(ccm_open(&host, &ccm, &err), 0);
  ccm_flag_clear(&ccm->flag, CCM_CTX_IPV6);  // as on a host without IPv6
  ASSERT_EQ(ccm_create_listen(ccm, "*LOCAL", 0, 5, &err), 0);
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  ASSERT_EQ(getsockname(ccm->channel_newq.head->s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  EXPECT_EQ(sa.sin_family, AF_INET);
  EXPECT_EQ(ntohl(sa.sin_addr.s_addr), INADDR_LOOPBACK);
  ASSERT_EQ(ccm_create_listen(ccm, "", 0, 5, &err), 0);
  len = sizeof(sa);
  ASSERT_EQ(getsockname(ccm->channel_newq.tail->s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  EXPECT_EQ(sa.sin_family, AF_INET);
  EXPECT_EQ(sa.sin_addr.s_addr, htonl(INADDR_ANY));
  ccm_close(ccm, &err);  // releases the two channels still on channel_newq
}

TEST_F(CcmTest, ChannelPair) {
  ccm_channel_t* a = nullptr;
  ccm_channel_t* b = nullptr;
  ASSERT_EQ(ccm_channel_create_pair(ccm_, &a, &b, &err_), 0);
  EXPECT_EQ(ccm_->channel_newq.head, a);
  EXPECT_EQ(ccm_->channel_newq.tail, b);
  EXPECT_EQ(a->ID, 1);
  EXPECT_EQ(b->ID, 2);
  EXPECT_EQ(a->type, CCM_TYPE_UNSET);
  for (int s : {a->s, b->s}) {
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
  }
  ASSERT_EQ(write(a->s, "xy", 2), 2);
  char buf[4];
  EXPECT_EQ(read(b->s, buf, sizeof(buf)), 2);
  // A local socket has no address to learn: the flag is set, the address stays empty.
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm_, a, &err_), 0);
  EXPECT_TRUE(ccm_flag_test(&a->flag, CCM_FLAG_BINDADDR));
  EXPECT_STREQ(a->bind_addr, "");
}

TEST_F(CcmTest, SocketSettingsReportFailures) {
  ccm_channel_t* ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  ch->s = 100000;  // no such descriptor
  EXPECT_EQ(ccm_set_nonblocking(ccm_, ch, &err_), -1);
  EXPECT_EQ(err_.msgnr, 2000102);
  EXPECT_EQ(strncmp(err_.msginsert, "ioctl(...,FIONBIO)|9-", 21), 0) << err_.msginsert;
  EXPECT_EQ(ccm_set_linger(ccm_, ch, 1, 60, &err_), -1);
  char expected[64];
  snprintf(expected, sizeof(expected), "setsockopt(SO_LINGER,s=100000,ID=%d)|9-", ch->ID);
  EXPECT_EQ(strncmp(err_.msginsert, expected, strlen(expected)), 0) << err_.msginsert;
  ch->s = -1;
  ch->type = CCM_TYPE_SILENT;
  ccm_channel_destroy(ccm_, ch, &err_);
}

}  // namespace
