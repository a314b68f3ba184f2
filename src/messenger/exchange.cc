// The run sequence of the messenger between its job report and its end line: the channel
// manager's start, the connection attempts, the greeting, the one record, the answer and the
// teardown in the order the channel manager needs (agent channel, thread, channels, context).
// Every wait has a bound of its own, and the close of a connection never waits, so a run ends
// within the time its arguments allow. It also tells the job, on standard error, when its
// record did not reach the agent, or when nothing confirmed that it did.
#include "qm7/messenger/exchange.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent_channel.h"
#include "failure_words.h"
#include "printable.h"
#include "qm7/ccm.h"
#include "qm7/ccm/send.h"
#include "qm7/ccm/thread.h"
#include "qm7/messenger/send.h"
#include "qm7/runtime/trace.h"

namespace {

using qm7::detail::printf_string;
using qm7::detail::run_clock;

constexpr const char* kMain = "main";  // every trace line of the run carries main's name
constexpr int kConnectWaitSeconds = 60;
// TIMEOUT=NONE (0), or a negative TIMEOUT, waits for no answer; the greeting, the look-up and
// the record still need a bound, and they get the default time-out.
constexpr int kDefaultWaitSeconds = 60;

// Why the record did not reach the agent; empty phase while nothing went wrong.
struct undelivered {
  std::string phase;
  std::string reason;
};

// The insert of a channel manager error, which names the call and the error.
std::string error_text(const ccm_error_t& err) {
  if (err.msginsert[0] == '\0') return printf_string("message %d", err.msgnr);
  return printf_string("%s (message %d)", err.msginsert, err.msgnr);
}

// What a message that is not the greeting was: the close notice of the attempt's channel (a
// refused or broken connection, with the channel's recorded failure), or some other message.
qm7::detail::failure_text answer_text(const PCX* pcx, const ccm_msg_t* msg) {
  ccm_close_info_t info;
  if (ccm_close_notice_info(msg, &info) == 0) {
    return qm7::detail::close_reason(info, pcx->ipAddr, pcx->portnri);
  }
  return {printf_string("the agent sent a message of type %d, key %d instead of its greeting",
                        msg->type, msg->protocol_key),
          ""};
}

bool is_greeting(const ccm_msg_t* msg) {
  return msg->type == CCM_MSGTYPE_NATIVE && msg->protocol_key == 4;
}

bool has_address(const char* host) { return host[strspn(host, " ")] != '\0'; }

run_clock::time_point after(int seconds) {
  return run_clock::now() + std::chrono::seconds(seconds);
}

// Says on standard error at once that connection attempt `attempt` (from 0) failed, why in
// plain words, and when the next one starts, so that a job waiting out the pauses shows why it
// waits. The last attempt's failure, with the channel manager's record, is told by the line
// that ends the run.
void report_failed_attempt(const PCX* pcx, int attempt, const std::string& reason) {
  qm7::detail::tell_operator(
      pcx->program_name,
      printf_string(
          "attempt %d of %d to reach the agent at %s port %d failed: %s; next attempt in %d "
          "second%s",
          attempt + 1, pcx->connect_retry, pcx->ipAddr, pcx->portnri, reason.c_str(),
          pcx->connect_wait, pcx->connect_wait == 1 ? "" : "s"));
}

void report_undelivered(const PCX* pcx, const undelivered& why) {
  const std::string text = qm7::detail::printable(
      printf_string("report not delivered to the agent at %s port %d while %s: %s", pcx->ipAddr,
                    pcx->portnri, why.phase.c_str(), why.reason.c_str()));
  qm7::detail::tell_operator(pcx->program_name, text);
  QM7_TRACE("%s:      %s", kMain, text.c_str());
}

// Sends the record melder_type selects. Returns true when it was handed over.
bool send_record(PCX* pcx, undelivered* why) {
  int rc;
  switch (pcx->melder_type) {
    case 'O':
      rc = SendOutputViewMsg(pcx);
      break;
    case 'V':
      rc = SendRegVariableMsg(pcx);
      break;
    default:
      rc = SendJpMd(pcx);
      break;
  }
  if (rc == 0) return true;
  why->phase = "sending";
  why->reason = pcx->melder_type == 'O' && pcx->output_file[0] == '\0'
                    ? "no output file given (OUTFILE)"
                    : "no message buffer, or the channel manager refused the record";
  return false;
}

// How the wait for the answer (or, without one, for the record to leave) ended.
enum class wait_end { answered, drained, closed, timed_out, interrupted, failed };

// The record is the first and only message on the agent's channel: it has left this process
// once the channel has written one message, and has left this host once nothing of it is
// unacknowledged.
constexpr unsigned long kRecordNumber = 1;

// Waits for the agent's answer (TIMEOUT seconds) or, without an answer wait, for the record to
// leave this host. Only a frame the network thread read after the record was written counts as
// the answer: one the agent sent before it could have read the record is no proof. A close
// notice of the agent's channel ends the wait and fills `*closed`.
wait_end wait_for_answer(int agent, bool want_answer, run_clock::time_point deadline,
                         ccm_close_info_t* closed, ccm_error_t* err) {
  for (;;) {
    auto until = deadline;
    if (!want_answer) {
      // Nothing announces an acknowledgement, so the output is looked at every 5 ms.
      const auto p = qm7::detail::look_at_record(agent);
      if (!p.gone && ccm_output_drained(&p.output)) {
        qm7::detail::testing::point("record_left");
        return wait_end::drained;
      }
      qm7::detail::testing::point("record_on_its_way");
      until = std::min(deadline, run_clock::now() + std::chrono::milliseconds(5));
    }
    const int got = qm7::detail::receive_until(until, err);
    if (got == CCM_WAIT_INTERRUPTED) return wait_end::interrupted;
    if (got < 0) return wait_end::failed;
    if (got == 0) {
      if (want_answer || run_clock::now() >= deadline) return wait_end::timed_out;
      continue;
    }
    wait_end end = wait_end::failed;
    bool ends = false;
    if (!ccm_msg_is_internal(ccmmsg) && ccmmsg->addr.src_ID == agent) {
      if (ccmmsg->out_written >= kRecordNumber) {
        end = wait_end::answered;
        ends = true;
      } else {
        QM7_TRACE("%s:      message of the wrong kind: sent before the record had left", kMain);
      }
    } else if (ccm_close_notice_info(ccmmsg, closed) == 0 && closed->ID == agent) {
      end = wait_end::closed;
      ends = true;
    }
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
    if (ends) return end;
  }
}

// How long a graceful close may still write queued output.
constexpr int kCloseBoundMs = 1000;

// After the record was handed over: waits as wait_for_answer does and judges. The only proof
// that the agent has the record is its answer; without an answer wait, the socket tells whether
// the record left this host, and so does the close notice of a channel that went away
// meanwhile. Returns true when the record counts as delivered, else fills `why`. Closes the
// agent's channel: gracefully, or with a reset when the record is still on its way, so that a
// record declared undelivered never arrives later in part.
bool await_delivery(const PCX* pcx, ccm_error_t* err, undelivered* why) {
  const int agent = pcx->agentID;
  const bool want_answer = pcx->IoTimeOut > 0;
  const int bound = want_answer ? pcx->IoTimeOut : kDefaultWaitSeconds;
  ccm_close_info_t closed{};
  const wait_end end = wait_for_answer(agent, want_answer, after(bound), &closed, err);
  if (end == wait_end::answered || end == wait_end::drained) {
    ccm_channel_close(ccm, agent, CCM_CLOSE_GRACEFUL, kCloseBoundMs);
    return true;
  }
  if (end == wait_end::closed) {
    if (!want_answer && ccm_output_drained(&closed.output)) return true;
    why->phase = "waiting for the answer";
    why->reason = qm7::detail::close_reason(closed, pcx->ipAddr, pcx->portnri).full() +
                  " before any answer, so the agent may not have the report";
    return false;
  }
  const auto p = qm7::detail::look_at_record(agent);
  const std::string ended = end == wait_end::interrupted ? "the wait was ended by a signal"
                            : end == wait_end::failed    ? "the wait failed: " + error_text(*err)
                                                      : printf_string("within %d seconds", bound);
  if (p.gone) {
    why->phase = "waiting for the answer";
    why->reason = "the connection ended before any answer, so the agent may not have the report";
    return false;
  }
  if (p.output.queued > 0 || p.output.unacked > 0) {
    ccm_channel_close(ccm, agent, CCM_CLOSE_ABORT, 0);
    why->phase = "sending";
    const std::string left =
        p.output.queued > 0 ? "not written" : printf_string("%d bytes unsent", p.output.unacked);
    why->reason = end == wait_end::timed_out
                      ? "the agent did not take the report " + ended + " (" + left + ")"
                      : "the report was still on its way when " + ended + " (" + left + ")";
    return false;
  }
  ccm_channel_close(ccm, agent, CCM_CLOSE_GRACEFUL, kCloseBoundMs);
  why->phase = "waiting for the answer";
  why->reason = end == wait_end::timed_out
                    ? "no answer " + ended + ", so the agent may not have the report"
                    : ended + " before any answer, so the agent may not have the report";
  return false;
}

// The agent's channel was closed by the verdict; any other goes with the context.
void teardown(ccm_error_t* err) {
  ccm_thread_stop(ccm);
  ccm_thread_join(ccm);
  ccm_channel_closeall(ccm);
  ccm_close(ccm, err);
  ccm = nullptr;
}

// How the connection attempts ended.
struct connection {
  bool greeted = false;     // the agent greeted; pcx->agentID holds its channel
  bool no_address = false;  // no attempt: IPA is empty
  int attempts = 0;         // attempts made
  qm7::detail::failure_text last_failure = {"no attempt made", ""};
};

// The connection loop: up to RETRY attempts, WAIT seconds apart, each a look-up, a connect and
// the wait for the greeting. An attempt that fails before the last is told on standard error
// at once. A greeting wait that ends without any message ends the loop with abnormal_end set
// and `why` filled.
connection connect_to_agent(PCX* pcx, ccm_error_t* err, undelivered* why) {
  const int greeting_wait = pcx->IoTimeOut > 0 ? pcx->IoTimeOut : kDefaultWaitSeconds;
  connection c;
  // Without an address every attempt would fail, after the pauses between them.
  c.no_address = pcx->connect_retry > 0 && !has_address(pcx->ipAddr);
  for (; c.attempts < pcx->connect_retry && !c.no_address; ++c.attempts) {
    const int attempt = c.attempts;
    if (attempt > 0) report_failed_attempt(pcx, attempt - 1, c.last_failure.words);
    QM7_TRACE("%s:      connection attempt #%d", kMain, attempt);
    if (attempt > 0) {
      QM7_TRACE("%s:      wait %d seconds before retry connecting", kMain, pcx->connect_wait);
      sleep(static_cast<unsigned>(pcx->connect_wait));
    }
    char address[128];
    ccmID = -1;
    if (ccm_hostname2string_bounded(pcx->ipAddr, greeting_wait, address, sizeof(address), err) ==
        0) {
      ccmID = ccm_connect(ccm, address, pcx->portnri, CCM_TYPE_MESSENGER, nullptr,
                          kConnectWaitSeconds, err);
    }
    if (ccmID < 0) {
      QM7_TRACE("%s:      connect failed", kMain);
      c.last_failure = qm7::detail::failure_words(*err, pcx->ipAddr, pcx->portnri);
      continue;
    }
    const int got = qm7::detail::receive_on(ccmID, after(greeting_wait), err);
    if (got != 1) {
      pcx->abnormal_end = 1;
      why->phase = "waiting for the greeting";
      why->reason = got == CCM_WAIT_INTERRUPTED ? std::string("the wait was ended by a signal")
                    : got < 0                   ? "the wait failed: " + error_text(*err)
                              : printf_string("no greeting within %d seconds", greeting_wait);
      break;
    }
    if (is_greeting(ccmmsg)) {
      pcx->agentID = ccmmsg->addr.src_ID;
      c.greeted = true;
      break;
    }
    QM7_TRACE("%s:      invalid answer", kMain);
    c.last_failure = answer_text(pcx, ccmmsg);
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
  }
  return c;
}

}  // namespace

int run_agent_exchange(PCX* pcx) {
  ccm_error_t err;
  memset(&err, 0, sizeof(err));
  undelivered why;

  ccm_host_context_t* host = pcx;
  if (ccm_open(host, &ccm, &err) != 0) {
    ccm = nullptr;
    pcx->abnormal_end = 1;
    report_undelivered(pcx, {"opening the channel manager", error_text(err)});
    return 0;
  }
  if (ccm_thread_start(ccm, &err) != 0) {
    // No thread to stop or join; the pipes that were made go with the context.
    pcx->abnormal_end = 1;
    report_undelivered(pcx, {"starting the channel manager", error_text(err)});
    ccm_close(ccm, &err);
    ccm = nullptr;
    return 0;
  }

  const connection c = connect_to_agent(pcx, &err, &why);
  bool delivered = false;
  if (c.no_address) {
    why.phase = "connecting";
    why.reason = "no agent address given (IPA)";
  } else if (!c.greeted && pcx->abnormal_end == 0 && c.attempts == pcx->connect_retry) {
    why.phase = "connecting";
    why.reason = pcx->connect_retry == 0
                     ? "no connection attempt (RETRY=0)"
                     : printf_string("%d attempt%s used up, the last: %s", c.attempts,
                                     c.attempts == 1 ? "" : "s", c.last_failure.full().c_str());
  } else if (pcx->abnormal_end == 0) {
    // Greeted, or a negative RETRY that made no attempt: the record is built and handed over;
    // without a connection the channel manager finds no channel for it and drops it, and there
    // is no answer to wait for.
    QM7_TRACE("%s:      executordata arrived", kMain);
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
    if (send_record(pcx, &why)) {
      if (c.greeted) {
        delivered = await_delivery(pcx, &err, &why);
      } else {
        why.phase = "connecting";
        why.reason = printf_string("no connection attempt (RETRY=%d), the record was dropped",
                                   pcx->connect_retry);
      }
    }
  }

  teardown(&err);
  if (!why.phase.empty()) report_undelivered(pcx, why);
  return delivered ? 1 : 0;
}
