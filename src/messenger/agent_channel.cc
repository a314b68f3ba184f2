// The main thread's view of the agent connection, through the channel manager's host calls: a
// receive with a deadline in milliseconds, the notices decoded, and the output state of the
// agent's channel.
#include "agent_channel.h"

#include <climits>

#include "qm7/ccm/recv.h"
#include "qm7/messenger/context.h"
#include "qm7/runtime/trace.h"

namespace qm7::detail {

namespace testing {
std::atomic<Hook> hook{nullptr};
}  // namespace testing

int receive_until(run_clock::time_point deadline, ccm_error_t* ccmerr) {
  ccmmsg = nullptr;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - run_clock::now());
  const long long ms = left.count() < 0 ? 0 : left.count();
  return ccm_receive_wait(::ccm, ms > INT_MAX ? INT_MAX : static_cast<int>(ms), &ccmmsg, ccmerr);
}

int receive_on(int channel, run_clock::time_point deadline, ccm_error_t* ccmerr) {
  for (;;) {
    const int got = receive_until(deadline, ccmerr);
    if (got != 1 || channel_of(ccmmsg) == channel) return got;
    QM7_TRACE("%s:      message of an earlier connection ignored", "main");
    ccm_msg_free(::ccm, ccmmsg);
    ccmmsg = nullptr;
  }
}

int channel_of(const ccm_msg_t* msg) {
  const int id = ccm_notice_channel_ID(msg);
  return id >= 0 ? id : msg->addr.src_ID;
}

record_progress look_at_record(int agentID) {
  record_progress p;
  p.gone = ccm_channel_output(::ccm, agentID, &p.output) != 0;
  return p;
}

}  // namespace qm7::detail
