// Dispatch of IPC records by their 16-byte type name, including records too short to hold one.
#include <cstring>

#include "ccm/ccm_test_util.h"
#include "support/stdout_capture.h"

namespace {

using namespace qm7::test;

class IpcDispatchTest : public CcmTest {
 protected:
  int process(const void* record, int len, const char* src_name = "") {
    ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err_);
    memcpy(msg->msg_start, record, len);
    msg->len = len;
    msg->type = CCM_MSGTYPE_IPC;
    ccm_setback(msg, "", src_name, 0);
    const int rslt = process_IPC_message(&host_, ccm_, msg);
    ccm_msg_free(ccm_, msg);
    return rslt;
  }
  LogCapture log_;
};

TEST_F(IpcDispatchTest, KnownUnknownAndShortRecords) {
  const char close_rec[64] = "CHANNEL_CLOSE";
  qm7_test::StdoutCapture out;  // with the trace off, no dump reaches standard output
  EXPECT_EQ(process(close_rec, sizeof close_rec), 0);
  EXPECT_EQ(out.Take(), "");
  EXPECT_EQ(ppcx, &host_);
  EXPECT_TRUE(log_.entries().empty());
  const char accept[20] = "CHANNEL_ACCEPT";
  EXPECT_EQ(process(accept, sizeof accept, "SRCNAME"), -1);
  EXPECT_EQ(log_.entries(),
            (Entries{{-1, "IPC message (CHANNEL_ACCEPT) is not known"}, {2000033, "SRCNAME|"}}));
  // The whole field is compared: a byte behind the NUL makes another type.
  char odd[32] = "CHANNEL_CLOSE";
  odd[15] = 'x';
  EXPECT_EQ(process(odd, sizeof odd), -1);
  // A record shorter than a type name is never read past its length.
  log_.clear();
  EXPECT_EQ(process("CHANNEL_CLOSE", 7), -1);
  EXPECT_EQ(log_.entries().at(0).second, "IPC message (CHANNEL) is not known");

  log_.clear();
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err_);
  memcpy(msg->msg_start, "PASSFD\0\0\0\0\0\0\0\0\0\0", 16);
  msg->len = 16;
  EXPECT_EQ(process_ipc_not_implemented(&host_, msg), -1);
  EXPECT_EQ(log_.entries().at(0).second, "IPC message (PASSFD) is not implemented");
  ccm_msg_free(ccm_, msg);
}

}  // namespace
