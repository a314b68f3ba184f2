// Wire bytes of the send paths: the NAT frame of a job-state report, addressing elements and
// sender trailer, native data, GSS coding, IPC frames, routing in running modes 0 and 3, and
// refusals where a frame would not fit into its message.
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>

#include "ccm/ccm_test_util.h"
#include "ccm/net_test_util.h"

namespace {

using qm7::test::body_pattern;
using qm7::test::CcmTest;
using qm7::test::header_text;
using qm7::test::make_body_msg;
using qm7::test::msg_bytes;

class SendFrameTest : public CcmTest {
 protected:
  // The message the send path queued: the only one on the context's sendq.
  ccm_msg_t* queued() {
    EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 1);
    return ccm_->sendq.head;
  }
};

TEST_F(SendFrameTest, JobStateReportIsThe339ByteFrame) {
  ccm_msg_t* msg = make_body_msg(ccm_, 276);
  ccm_setaddr(msg, 7, 0, "", "JPAKTJ_R", 0);
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  ccm_msg_t* q = queued();
  ASSERT_EQ(q, msg);
  EXPECT_EQ(q->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(q->len, 339);
  std::string expected = header_text(339, "NAT") + std::string("\x01\x08JPAKTJ_R", 10) +
                         std::string("\xFF\x14\x01\x00\x00", 5) + body_pattern(276);
  EXPECT_EQ(msg_bytes(q), expected);
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);  // moved, not copied
}

TEST_F(SendFrameTest, AddressingElementsAndSenderTrailer) {
  // Only the name and the body element precede a body addressed by name alone: 291 bytes.
  ccm_msg_t* msg = make_body_msg(ccm_, 276);
  ccm_setaddr(msg, 0, 0, "", "JPAKTJ_R", 0);
  EXPECT_EQ(cmm_msg_write_sr_data(msg), 0);
  EXPECT_EQ(msg->len, 291);
  EXPECT_EQ(msg_bytes(msg).substr(0, 15), std::string("\x01\x08JPAKTJ_R\xFF\x14\x01\x00\x00", 15));
  ccm_msg_free(ccm_, msg);

  // Everything present: value, name (3 characters and 5 blanks), "*CP" address, body, trailer.
  msg = make_body_msg(ccm_, 4);
  ccm_setaddr(msg, 0, 0, "*CPhost:1234", "ABC", 0x04030201);
  ccm_setback(msg, "*SERVER", "SENDERNAMELONG", 0x0A0B0C0D);
  cmm_msg_write_sr_data(msg);
  std::string expected =
      std::string("\x02\x04\x01\x02\x03\x04", 6) +
      std::string(
          "\x01\x08"
          "ABC     ",
          10) +
      std::string("\x03\x0C*CPhost:1234", 14) + std::string("\xFF\x04\x00\x00\x00", 5) +
      body_pattern(4) + std::string("\xFD\x19\x00", 3) + std::string("\x03\x07*SERVER", 9) +
      std::string("\x01\x08SENDERNA", 10) + std::string("\x02\x04\x0D\x0C\x0B\x0A", 6);
  EXPECT_EQ(msg_bytes(msg), expected);
  ccm_msg_free(ccm_, msg);

  // An address that is not "*CP..." never travels; an address of 63 characters travels whole.
  msg = make_body_msg(ccm_, 1);
  ccm_setaddr(msg, 0, 0, "*SERVER", "", 0);
  cmm_msg_write_sr_data(msg);
  EXPECT_EQ(msg->len, 6);
  ccm_msg_free(ccm_, msg);
  msg = make_body_msg(ccm_, 1);
  std::string cp = "*CP" + std::string(60, 'x');
  ccm_setaddr(msg, 0, 0, cp.c_str(), "", 0);
  cmm_msg_write_sr_data(msg);
  EXPECT_EQ(msg->len, 2 + 63 + 5 + 1);
  EXPECT_EQ(msg_bytes(msg).substr(0, 65), std::string("\x03\x3F", 2) + cp);
  ccm_msg_free(ccm_, msg);
}

TEST_F(SendFrameTest, ProtocolHeaderRefusesLengthsTheFieldCannotCarry) {
  ccm_msg_t* msg = make_body_msg(ccm_, 48);
  std::string before = msg_bytes(msg);
  for (int bad : {-1, 100000000}) {
    msg->len = bad;
    EXPECT_EQ(ccm_msg_set_protocol_header(msg, "NAT"), 0);
    msg->len = 48;
    EXPECT_EQ(msg_bytes(msg), before) << bad;
  }
  msg->len = 0;
  ccm_msg_set_protocol_header(msg, "IPC");
  msg->len = 48;
  EXPECT_EQ(msg_bytes(msg), header_text(0, "IPC"));
  ccm_msg_free(ccm_, msg);
}

TEST_F(SendFrameTest, NativeGssAndIpcFrames) {
  char data[] = "abc";
  ccm_msg_t* msg = make_body_msg(ccm_, 0);
  EXPECT_EQ(ccm_msg_write_native_data(msg, 5, data, 3), nullptr);
  EXPECT_EQ(msg->len, 0);  // only key 4 is written
  std::string big(256, 'z');
  ccm_msg_write_native_data(msg, 4, big.data(), 256);
  EXPECT_EQ(msg->len, 0);  // a length byte cannot say 256
  ccm_msg_write_native_data(msg, 4, data, 3);
  EXPECT_EQ(msg_bytes(msg), std::string("\x04\x03"
                                        "abc",
                                        5));
  ASSERT_EQ(send_native_message(ccm_, msg), 0);
  EXPECT_EQ(msg_bytes(queued()), header_text(53, "NAT") + std::string("\x04\x03"
                                                                      "abc",
                                                                      5));
  EXPECT_EQ(queued()->type, 0);  // native: kind unchanged
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, msg);

  struct Case {
    const char* coding;
    const char* field;
  } cases[] = {{"KERBEROS5X", "KERBEROS"}, {"ABC", "ABC     "}, {nullptr, "        "}};
  for (const Case& c : cases) {
    msg = make_body_msg(ccm_, 2);
    ASSERT_EQ(send_GSS_message(ccm_, msg, c.coding), 0);
    std::string bytes = msg_bytes(queued());
    EXPECT_EQ(bytes.substr(0, 24), header_text(50, "GSS").substr(0, 24));
    EXPECT_EQ(bytes.substr(24, 8), c.field);
    EXPECT_EQ(bytes.substr(32, 16), std::string(16, ' '));
    ccm_queue_pop(&ccm_->sendq);
    ccm_msg_free(ccm_, msg);
  }

  msg = make_body_msg(ccm_, 20);
  ASSERT_EQ(send_IPC_message(ccm_, msg), 0);
  EXPECT_EQ(queued()->type, CCM_MSGTYPE_IPC);
  EXPECT_EQ(msg_bytes(queued()), header_text(68, "IPC") + body_pattern(20));
  EXPECT_EQ(ccm_msg_set_ipc_header(msg, 68), 0);
  EXPECT_EQ(msg->len, 68);
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, msg);
}

TEST_F(SendFrameTest, AFrameThatWouldNotFitIsRefusedAndStaysWithTheCaller) {
  // Too little headroom for the header: writing it would land in front of the data area.
  ccm_msg_t* msg = make_body_msg(ccm_, 10);
  msg->msg_start = msg->buffer1 + 20;
  EXPECT_EQ(send_NAT_message(ccm_, msg), -1);
  EXPECT_EQ(send_native_message(ccm_, msg), -1);
  EXPECT_EQ(send_IPC_message(ccm_, msg), -1);
  EXPECT_EQ(send_GSS_message(ccm_, msg, "X"), -1);
  EXPECT_EQ(msg->msg_start, msg->buffer1 + 20);
  EXPECT_EQ(msg->len, 10);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 0);

  // A body filling the whole area leaves no room behind it for a sender trailer.
  msg->msg_start = msg->buffer1 + 256;
  msg->len = 2 * 32768 - 256;
  ccm_setback(msg, "", "ME", 0);
  EXPECT_EQ(send_NAT_message(ccm_, msg), -1);
  EXPECT_EQ(msg->len, 2 * 32768 - 256);
  // Without a sender the same body fits: only elements in the headroom are needed.
  ccm_setback(msg, "", "", 0);
  EXPECT_EQ(send_NAT_message(ccm_, msg), 0);
  EXPECT_EQ(queued()->len, 2 * 32768 - 256 + 5 + 48);
}

TEST_F(SendFrameTest, RoutingByRunningMode) {
  // Mode 0 (the agent): a message to "*SERVER" is framed for the channel of that name.
  host_.running_mode = 0;
  ccm_msg_t* msg = make_body_msg(ccm_, 100);
  ccm_setaddr(msg, 0, 0, "*SERVER", "FUNC", 0);
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  EXPECT_EQ(queued(), msg);
  EXPECT_STREQ(msg->addr.dst_addr, "*SERVER");
  EXPECT_EQ(msg_bytes(msg).substr(21, 3), "NAT");
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, msg);

  // Any other mode: a ROUTENAT record of 308 + 100 bytes goes to "*IPC(AGENT)" in an IPC frame
  // and the given message is freed.
  host_.running_mode = 3;
  const int free_before = ccm_->nof_freemsg;
  msg = make_body_msg(ccm_, 100);
  ccm_setaddr(msg, 0, 0, "*SERVER", "FUNC", 0x11);
  ccm_setback(msg, "", "ME", 0);
  ccm_addr_t addr_copy = msg->addr;
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  ccm_msg_t* r = queued();
  EXPECT_EQ(r->type, CCM_MSGTYPE_IPC);
  EXPECT_STREQ(r->addr.dst_addr, "*IPC(AGENT)");
  ASSERT_EQ(r->len, 48 + 408);
  std::string bytes = msg_bytes(r);
  EXPECT_EQ(bytes.substr(0, 48), header_text(456, "IPC"));
  EXPECT_EQ(bytes.substr(48, 16), std::string("ROUTENAT\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(memcmp(bytes.data() + 48 + 16, &addr_copy, sizeof(ccm_addr_t)), 0);
  int len = 0;
  memcpy(&len, bytes.data() + 48 + 304, 4);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(bytes.substr(48 + 308), body_pattern(100));
  EXPECT_EQ(ccm_->nof_freemsg, free_before);         // the given message went back to the pool...
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);  // ...and nothing else is left allocated
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, r);

  // A body that fills a standard message still fits its ROUTENAT record (a larger message).
  msg = make_body_msg(ccm_, 2 * 32768 - 256);
  ccm_setaddr(msg, 0, 0, "*SERVER", "", 0);
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  r = queued();
  EXPECT_EQ(r->len, 48 + 308 + 2 * 32768 - 256);
  EXPECT_EQ(msg_bytes(r).substr(48 + 308), body_pattern(2 * 32768 - 256));
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, r);
}

TEST_F(SendFrameTest, DescriptorPassingRecord) {
  qm7::test::LogCapture log;
  ASSERT_EQ(send_file_descriptor(ccm_, "*IPC(FTX)", 9, 3, 4, "file.dat"), 0);
  ccm_msg_t* m = queued();
  EXPECT_STREQ(m->addr.dst_addr, "*IPC(FTX)");
  ASSERT_EQ(m->len, 48 + 156);
  std::string bytes = msg_bytes(m);
  EXPECT_EQ(bytes.substr(0, 48), header_text(204, "IPC"));
  ipcmsg_passfd_t rec;
  memcpy(&rec, bytes.data() + 48, sizeof(rec));
  EXPECT_STREQ(rec.head.msgtype, "PASSFD");
  EXPECT_EQ(rec.fd, 9);
  EXPECT_EQ(rec.agentID, 4);
  EXPECT_EQ(rec.listenerID, 3);
  EXPECT_STREQ(rec.name, "file.dat");
  EXPECT_EQ(m->control_len, CMSG_SPACE(sizeof(int)));
  struct msghdr mh = {};
  mh.msg_control = m->control_data;
  mh.msg_controllen = m->control_len;
  struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cmsg_level, SOL_SOCKET);
  EXPECT_EQ(c->cmsg_type, SCM_RIGHTS);
  EXPECT_EQ(c->cmsg_len, CMSG_LEN(sizeof(int)));
  int fd = -1;
  memcpy(&fd, CMSG_DATA(c), sizeof(int));
  EXPECT_EQ(fd, 9);
  EXPECT_EQ(CMSG_NXTHDR(&mh, c), nullptr);  // exactly one descriptor
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, 2003060);
  EXPECT_EQ(entries[0].second, "9/ID=3");
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, m);

  // A name longer than the field is cut and terminated.
  std::string long_name(300, 'n');
  send_file_descriptor(ccm_, "*IPC(FTX)", 9, 3, 4, long_name.c_str());
  m = queued();
  memcpy(&rec, m->msg_start + 48, sizeof(rec));
  EXPECT_EQ(std::string(rec.name), std::string(127, 'n'));
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, m);
}

TEST_F(SendFrameTest, IpcLoggerSendsLoggingRecords) {
  // Before any dispatch has recorded a host there is nowhere to send to.
  std::atomic_ref<ccm_host_context_t*>(ppcx).store(nullptr);
  EXPECT_EQ(ipc_logger(5, "dropped"), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 0);

  std::atomic_ref<ccm_host_context_t*>(ppcx).store(&host_);
  std::string insert(1100, 'i');
  EXPECT_EQ(ipc_logger(2000102, insert.c_str()), 0);
  std::atomic_ref<ccm_host_context_t*>(ppcx).store(nullptr);
  ccm_msg_t* m = queued();
  EXPECT_STREQ(m->addr.dst_addr, "*IPC(AGENT)");
  ASSERT_EQ(m->len, 48 + 1044);
  ipcmsg_logging_t rec;
  memcpy(&rec, m->msg_start + 48, sizeof(rec));
  EXPECT_STREQ(rec.head.msgtype, "LOGGING");
  EXPECT_EQ(rec.msgnr, 2000102);
  EXPECT_EQ(std::string(rec.msginsert, 1024), insert.substr(0, 1024));  // no terminator
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, m);
}

TEST_F(SendFrameTest, ForwardingACopyOfAReceivedMessage) {
  ccm_channel_t* ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  StringCopy(ch->name, sizeof(ch->name), "*IPC(FTX)");
  ccm_channel_chain(ccm_, ch);

  ccm_msg_t* rcv = make_body_msg(ccm_, 30);
  rcv->type = CCM_MSGTYPE_NAT;
  ccm_setaddr(rcv, 0, 0, "", "TARGET", 0x22);
  ccm_setback(rcv, "", "ORIGIN", 0x33);

  // The ID matches nothing, the name does: the copy goes to the named channel's ID.
  ASSERT_EQ(ccm_forward_NAT_message(ccm_, rcv, 999, "*IPC(FTX)", &err_, 1), 0);
  ccm_msg_t* copy = queued();
  ASSERT_NE(copy, rcv);
  EXPECT_EQ(copy->addr.dst_ID, ch->ID);
  EXPECT_STREQ(copy->addr.dst_name, "TARGET");
  EXPECT_EQ(copy->addr.dst_acv, 0x22);
  EXPECT_STREQ(copy->addr.src_addr, "*SERVER");
  EXPECT_STREQ(copy->addr.src_name, "ORIGIN");
  EXPECT_EQ(copy->addr.src_acv, 0x33);
  std::string bytes = msg_bytes(copy);
  EXPECT_NE(bytes.find(body_pattern(30)), std::string::npos);
  EXPECT_EQ(msg_bytes(rcv), body_pattern(30));  // the received message is untouched
  ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, copy);

  // Neither ID nor name: -1 with "channel not found".
  EXPECT_EQ(ccm_forward_NAT_message(ccm_, rcv, 998, "*IPC(NONE)", &err_, 1), -1);
  EXPECT_EQ(err_.msgnr, 2003070);
  EXPECT_STREQ(err_.msginsert, "998/*IPC(NONE)|channel not found|");
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 0);

  // Unchecked by name: addressed by that name.
  ASSERT_EQ(ccm_forward_NAT_message(ccm_, rcv, 0, "*ANY", &err_, 0), 0);
  EXPECT_STREQ(queued()->addr.dst_addr, "*ANY");
  copy = ccm_queue_pop(&ccm_->sendq);
  ccm_msg_free(ccm_, copy);
  ccm_msg_free(ccm_, rcv);
  qm7::test::merge_newq(ccm_);
}

TEST_F(SendFrameTest, EmptyingQueuesFreesAllButTheSendQueue) {
  ccm_channel_t* ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  ccm_channel_chain(ccm_, ch);
  qm7::test::merge_newq(ccm_);
  auto put = [&](ccm_msg_queue_t* q) {
    ccm_msg_t* m = make_body_msg(ccm_, 1);
    ccm_queue_unlink(&ccm_->msgq_inuse, m);
    ccm_queue_append(q, m);
  };
  put(&ccm_->recvq);
  put(&ccm_->msgq_2dispatch);
  put(&ccm_->sendq);
  put(&ch->sendq);
  put(&ch->sendq);
  put(&ch->recvq);
  make_body_msg(ccm_, 1);  // stays on msgq_inuse
  ch->recv_pos = 5;
  EXPECT_EQ(ccm_msg_emptying_queues(ccm_), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->recvq), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_2dispatch), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);
  EXPECT_EQ(ccm_queue_count(&ch->sendq), 0);
  EXPECT_EQ(ccm_queue_count(&ch->recvq), 0);
  EXPECT_EQ(ch->recv_pos, 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 1);
  EXPECT_EQ(ccm_->nof_freemsg, 6);
}

}  // namespace
