// Wire bytes of the send paths: the NAT frame of a job-state report, addressing elements and
// sender trailer, native, GSS and IPC frames, routing by running mode, forwarding, descriptor
// passing and logging records, and refusals where a frame would not fit into its message.
#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "ccm/ccm_test_util.h"

namespace {

using namespace qm7::test;

class SendFrameTest : public CcmTest {
 protected:
  // Takes the one message the send path queued on sendq.
  ccm_msg_t* queued() {
    EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 1);
    ccm_msg_t* m = ccm_queue_pop(&ccm_->sendq);
    ccm_queue_push_front(&ccm_->msgq_inuse, m);  // freed by ccm_close if the test fails
    return m;
  }
  std::string sent() {
    ccm_msg_t* m = queued();
    std::string bytes = msg_bytes(m);
    ccm_msg_free(ccm_, m);
    return bytes;
  }
};

TEST_F(SendFrameTest, NatFramesAndTheirAddressingElements) {
  ccm_msg_t* msg = body_msg(276);
  ccm_setaddr(msg, 7, 0, "", "JPAKTJ_R", 0);
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);  // moved, not copied
  EXPECT_EQ(msg->type, CCM_MSGTYPE_NAT);
  EXPECT_EQ(sent(), job_state_frame());

  // Everything present: value, name (3 characters and 5 blanks), "*CP" address, body, trailer.
  msg = body_msg(4);
  ccm_setaddr(msg, 0, 0, "*CPhost:1234", "ABC", 0x04030201);
  ccm_setback(msg, "*SERVER", "SENDERNAMELONG", 0x0A0B0C0D);
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  EXPECT_EQ(sent(), frame("NAT", std::string("\x02\x04\x01\x02\x03\x04\x01\x08"
                                             "ABC     \x03\x0C*CPhost:1234\xFF\x04\0\0\0",
                                             35) +
                                     body_pattern(4) +
                                     std::string("\xFD\x19\x00\x03\x07*SERVER\x01\x08SENDERNA"
                                                 "\x02\x04\x0D\x0C\x0B\x0A",
                                                 28)));
  // An address that is not "*CP..." never travels; one of 63 characters travels whole.
  const std::string cp = "*CP" + std::string(60, 'x');
  for (const std::string& addr : {std::string("*ANY"), cp}) {
    msg = body_msg(1);
    ccm_setaddr(msg, 0, 0, addr.c_str(), "", 0);
    ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
    const std::string cp_elem = addr == cp ? "\x03\x3F" + cp : "";
    EXPECT_EQ(sent(), frame("NAT", cp_elem + std::string("\xFF\1\0\0\0\0", 6)));
  }
}

TEST_F(SendFrameTest, NativeGssAndIpcFramesAndFramesThatWouldNotFit) {
  ccm_msg_t* msg = body_msg(48);
  for (int bad : {-1, 100000000}) {  // lengths the field cannot carry: nothing written
    msg->len = bad;
    ccm_msg_set_protocol_header(msg, "NAT");
    msg->len = 48;
    EXPECT_EQ(msg_bytes(msg), body_pattern(48)) << bad;
  }
  char data[] = "abc";
  std::string big(256, 'z');
  msg->len = 0;
  ccm_msg_write_native_data(msg, 5, data, 3);          // only key 4 is written
  ccm_msg_write_native_data(msg, 4, big.data(), 256);  // a length byte cannot say 256
  EXPECT_EQ(msg->len, 0);
  ccm_msg_write_native_data(msg, 4, data, 3);
  ASSERT_EQ(send_native_message(ccm_, msg), 0);
  EXPECT_EQ(msg->type, 0);  // native: kind unchanged
  EXPECT_EQ(sent(), frame("NAT", "\004\003abc"));
  ccm_msg_t* most = body_msg(0);  // 255 bytes, the most a length byte says, are written
  ccm_msg_write_native_data(most, 4, big.data(), 255);
  EXPECT_EQ(msg_bytes(most), "\004\377" + big.substr(1));
  ccm_msg_free(ccm_, most);

  const struct {
    const char* coding;
    const char* field;
  } cases[] = {{"KERBEROS5X", "KERBEROS"}, {"ABC", "ABC     "}, {nullptr, "        "}};
  for (const auto& c : cases) {
    ASSERT_EQ(send_GSS_message(ccm_, body_msg(2), c.coding), 0);
    const std::string bytes = sent();
    EXPECT_EQ(bytes.substr(0, 24), "00000050QM7:global001GSS");
    EXPECT_EQ(bytes.substr(24), c.field + std::string(16, ' ') + body_pattern(2));
  }
  msg = body_msg(20);
  ASSERT_EQ(send_IPC_message(ccm_, msg), 0);
  EXPECT_EQ(msg->type, CCM_MSGTYPE_IPC);
  EXPECT_EQ(sent(), frame("IPC", body_pattern(20)));

  // A frame that would not fit is refused and stays with the caller.
  msg = body_msg(10);
  msg->msg_start = msg->buffer1 + 20;  // no headroom for the header
  EXPECT_EQ(send_NAT_message(ccm_, msg), -1);
  EXPECT_EQ(send_native_message(ccm_, msg), -1);
  EXPECT_EQ(send_IPC_message(ccm_, msg), -1);
  EXPECT_EQ(send_GSS_message(ccm_, msg, "X"), -1);
  EXPECT_EQ(msg->msg_start, msg->buffer1 + 20);
  EXPECT_EQ(msg->len, 10);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 0);
  // A body filling the whole area leaves no room for a sender trailer, but fits without one.
  msg->msg_start = msg->buffer1 + 256;
  msg->len = 2 * 32768 - 256;
  ccm_setback(msg, "", "ME", 0);
  EXPECT_EQ(send_NAT_message(ccm_, msg), -1);
  EXPECT_EQ(msg->len, 2 * 32768 - 256);
  ccm_setback(msg, "", "", 0);
  EXPECT_EQ(send_NAT_message(ccm_, msg), 0);
  EXPECT_EQ(sent().size(), 2u * 32768 - 256 + 5 + 48);
  // In front of the body go the header, the body element and, with a name only, its element;
  // an address other than a CP's is not written at all.
  for (const auto& [addr, name, front] :
       {std::tuple{"", "FUNC", 48 + 5 + 10}, std::tuple{"", "", 48 + 5},
        std::tuple{"*ID3", "", 48 + 5}}) {
    for (int room : {front - 1, front}) {
      msg = body_msg(10);
      ccm_setaddr(msg, 0, 0, addr, name, 0);
      msg->msg_start = msg->buffer1 + room;
      ASSERT_EQ(send_NAT_message(ccm_, msg), room == front ? 0 : -1) << name << " " << room;
      if (room < front) {
        ccm_msg_free(ccm_, msg);
      } else {
        EXPECT_EQ(sent().size(), static_cast<size_t>(front) + 10) << name;
      }
    }
  }
}

TEST_F(SendFrameTest, RoutingByRunningMode) {
  host_.running_mode = 0;  // the agent: "*SERVER" is a channel name
  ccm_msg_t* msg = body_msg(100);
  ccm_setaddr(msg, 0, 0, "*SERVER", "FUNC", 0);
  ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
  EXPECT_EQ(sent().substr(21, 3), "NAT");

  // Any other mode: a ROUTENAT record (address record, length, body) in an IPC frame goes to
  // "*IPC(AGENT)", and the given message goes back to the pool.
  host_.running_mode = 3;
  for (int len : {100, 2 * 32768 - 256}) {  // a full standard message still fits (larger record)
    msg = body_msg(len);
    ccm_setaddr(msg, 0, 0, "*SERVER", "FUNC", 0x11);
    ccm_setback(msg, "", "ME", 0);
    const ccm_addr_t addr = msg->addr;
    ASSERT_EQ(send_NAT_message(ccm_, msg), 0);
    EXPECT_EQ(ccm_queue_count(&ccm_->msgq_inuse), 0);
    ccm_msg_t* r = queued();
    EXPECT_STREQ(r->addr.dst_addr, "*IPC(AGENT)");
    const std::string bytes = msg_bytes(r);
    ASSERT_EQ(bytes.size(), 48u + 308 + len);
    EXPECT_EQ(bytes.substr(0, 64),
              frame("IPC", "", 356 + len) + std::string("ROUTENAT\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(memcmp(bytes.data() + 64, &addr, sizeof addr), 0);
    EXPECT_EQ(bytes.substr(48 + 304, 4), std::string(reinterpret_cast<const char*>(&len), 4));
    EXPECT_EQ(bytes.substr(48 + 308), body_pattern(len));
    ccm_msg_free(ccm_, r);
  }
}

TEST_F(SendFrameTest, DescriptorPassingAndLoggingRecords) {
  LogCapture log;
  ASSERT_EQ(send_file_descriptor(ccm_, "*IPC(FTX)", 9, 3, 4, std::string(300, 'n').c_str()), 0);
  EXPECT_EQ(log.entries(), (Entries{{2003060, "9/ID=3"}}));
  ccm_msg_t* m = queued();
  EXPECT_STREQ(m->addr.dst_addr, "*IPC(FTX)");
  ASSERT_EQ(msg_bytes(m).substr(0, 48), frame("IPC", "", 204));
  ipcmsg_passfd_t rec;
  memcpy(&rec, m->msg_start + 48, sizeof rec);
  EXPECT_STREQ(rec.head.msgtype, "PASSFD");
  EXPECT_EQ(rec.fd, 9);
  EXPECT_EQ(rec.listenerID, 3);
  EXPECT_EQ(rec.agentID, 4);
  EXPECT_EQ(std::string(rec.name), std::string(127, 'n'));  // cut and terminated
  EXPECT_EQ(passed_fd(m), 9);
  ccm_msg_free(ccm_, m);

  std::atomic_ref<ccm_host_context_t*>(ppcx).store(nullptr);  // no host yet: nowhere to send
  EXPECT_EQ(ipc_logger(5, "dropped"), 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 0);
  std::atomic_ref<ccm_host_context_t*>(ppcx).store(&host_);
  const std::string insert(1100, 'i');
  EXPECT_EQ(ipc_logger(2000102, insert.c_str()), 0);
  std::atomic_ref<ccm_host_context_t*>(ppcx).store(nullptr);
  m = queued();
  EXPECT_STREQ(m->addr.dst_addr, "*IPC(AGENT)");
  ASSERT_EQ(m->len, 48 + 1044);
  ipcmsg_logging_t logged;
  memcpy(&logged, m->msg_start + 48, sizeof logged);
  EXPECT_STREQ(logged.head.msgtype, "LOGGING");
  EXPECT_EQ(logged.msgnr, 2000102);
  EXPECT_EQ(std::string(logged.msginsert, 1024), insert.substr(0, 1024));  // no terminator
  ccm_msg_free(ccm_, m);
}

TEST_F(SendFrameTest, ForwardingACopyOfAReceivedMessage) {
  const int id = add_channel("*IPC(FTX)")->ID;
  ccm_msg_t* rcv = body_msg(30);
  ccm_setaddr(rcv, 0, 0, "", "TARGET", 0x22);
  ccm_setback(rcv, "", "ORIGIN", 0x33);
  // The ID matches nothing, the name does: the copy goes to the named channel's ID.
  ASSERT_EQ(ccm_forward_NAT_message(ccm_, rcv, 999, "*IPC(FTX)", &err_, 1), 0);
  ccm_msg_t* copy = queued();
  EXPECT_EQ(copy->addr.dst_ID, id);
  EXPECT_STREQ(copy->addr.src_addr, "*SERVER");
  EXPECT_EQ(
      msg_bytes(copy),
      frame("NAT",
            std::string("\x02\x04\x22\0\0\0\x01\x08TARGET  \xFF\x1E\0\0\0", 21) + body_pattern(30) +
                std::string("\xFD\x19\0\x03\x07*SERVER\x01\x08ORIGIN  \x02\x04\x33\0\0\0", 28)));
  EXPECT_EQ(msg_bytes(rcv), body_pattern(30));  // the received message is untouched
  ccm_msg_free(ccm_, copy);
  EXPECT_EQ(ccm_forward_NAT_message(ccm_, rcv, 998, "*IPC(NONE)", &err_, 1), -1);
  EXPECT_EQ(err_.msgnr, 2003070);
  EXPECT_STREQ(err_.msginsert, "998/*IPC(NONE)|channel not found|");
  ASSERT_EQ(ccm_forward_NAT_message(ccm_, rcv, 0, "*ANY", &err_, 0), 0);  // unchecked name
  EXPECT_STREQ(queued()->addr.dst_addr, "*ANY");
}

TEST_F(SendFrameTest, EmptyingQueuesFreesAllButTheSendQueue) {
  ccm_channel_t* ch = add_channel(nullptr);
  merge_newq(ccm_);
  for (ccm_msg_queue_t* q :
       {&ccm_->recvq, &ccm_->msgq_2dispatch, &ccm_->sendq, &ch->sendq, &ch->sendq, &ch->recvq}) {
    put(body_msg(1), q);
  }
  body_msg(1);  // stays on msgq_inuse
  ch->recv_pos = 5;
  EXPECT_EQ(ccm_msg_emptying_queues(ccm_), 0);
  for (ccm_msg_queue_t* q :
       {&ccm_->recvq, &ccm_->msgq_2dispatch, &ccm_->msgq_inuse, &ch->sendq, &ch->recvq}) {
    EXPECT_EQ(ccm_queue_count(q), 0);
  }
  EXPECT_EQ(ch->recv_pos, 0);
  EXPECT_EQ(ccm_queue_count(&ccm_->sendq), 1);
  EXPECT_EQ(ccm_->nof_freemsg, 6);
}

}  // namespace
