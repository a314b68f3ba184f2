// The run sequence of the messenger between its job report and its end line: the channel
// manager's start, the connection attempts, the greeting, the one record, the answer and the
// teardown in the order the channel manager needs (agent channel, thread, channels, context).
// Every wait has a bound of its own, and the close of a connection never waits, so a run ends
// within the time its arguments allow. It also tells the job, on standard error, when its
// record did not reach the agent, or when nothing confirmed that it did.
#include "qm7/messenger/exchange.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent_address.h"
#include "agent_channel.h"
#include "printable.h"
#include "qm7/ccm.h"
#include "qm7/ccm/send.h"
#include "qm7/ccm/thread.h"
#include "qm7/messenger/send.h"
#include "qm7/runtime/trace.h"

namespace {

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

std::string printf_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

// The insert of a channel manager error, which names the call and the error.
std::string error_text(const ccm_error_t& err) {
  if (err.msginsert[0] == '\0') return printf_string("message %d", err.msgnr);
  return printf_string("%s (message %d)", err.msginsert, err.msgnr);
}

// What a message that is not the greeting was: the close notice of the attempt's channel (a
// refused or broken connection, with the channel's recorded failure), or some other message.
std::string answer_text(const ccm_msg_t* msg) {
  if (qm7::detail::is_close_notice(msg, sizeof(ipcmsg_header_t))) {
    return qm7::detail::close_reason(msg);
  }
  return printf_string("the agent sent a message of type %d, key %d instead of its greeting",
                       msg->type, msg->protocol_key);
}

bool is_greeting(const ccm_msg_t* msg) {
  return msg->type == CCM_MSGTYPE_NATIVE && msg->protocol_key == 4;
}

bool has_address(const char* host) { return host[strspn(host, " ")] != '\0'; }

run_clock::time_point after(int seconds) {
  return run_clock::now() + std::chrono::seconds(seconds);
}

void report_undelivered(const PCX* pcx, const undelivered& why) {
  const std::string text = qm7::detail::printable(
      printf_string("report not delivered to the agent at %s port %d while %s: %s", pcx->ipAddr,
                    pcx->portnri, why.phase.c_str(), why.reason.c_str()));
  fprintf(stderr, "%s: %s\n", qm7::detail::printable(pcx->program_name).c_str(), text.c_str());
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

// After the record was handed over: waits for the agent's answer (TIMEOUT seconds), or without
// an answer wait for the agent's host to take the record. The only proof that the agent has
// the record is its answer; without one, the socket tells whether the record left this host.
// Returns true when the record counts as delivered, else fills `why`. Leaves the agent's
// channel set to close at once.
bool await_delivery(const PCX* pcx, ccm_error_t* err, undelivered* why) {
  using qm7::detail::look_at_record;
  const int agent = pcx->agentID;
  const bool want_answer = pcx->IoTimeOut > 0;
  const int bound = want_answer ? pcx->IoTimeOut : kDefaultWaitSeconds;
  const auto deadline = after(bound);
  bool answered = false;
  std::string closed;
  for (;;) {
    auto until = deadline;
    if (!want_answer) {
      const auto p = look_at_record(agent);
      if (p.gone || (!p.queued && p.unsent == 0)) break;
      until = std::min(deadline, run_clock::now() + std::chrono::milliseconds(5));
    }
    const int got = qm7::detail::receive_until(until, err);
    if (got == 1) {
      if (!ccm_msg_is_internal(ccmmsg) && ccmmsg->addr.src_ID == agent) {
        answered = true;
      } else if (qm7::detail::is_close_notice(ccmmsg, sizeof(ipcmsg_channel_close_t)) &&
                 qm7::detail::channel_of(ccmmsg) == agent) {
        closed = qm7::detail::close_reason(ccmmsg);
      }
      ccm_msg_free(ccm, ccmmsg);
      ccmmsg = nullptr;
      if (answered || !closed.empty()) break;
    } else if (got < 0 || want_answer || run_clock::now() >= deadline) {
      break;  // with an answer wait, 0 means its end: the time-out or a signal
    }
  }
  if (answered) {
    qm7::detail::end_connection(agent, false);
    return true;
  }
  const auto p = look_at_record(agent);
  if (!closed.empty() || p.gone) {
    why->phase = "waiting for the answer";
    why->reason = (closed.empty() ? std::string("the connection ended") : closed) +
                  " before any answer, so the agent may not have the report";
    return false;
  }
  if (p.queued || p.unsent > 0) {
    qm7::detail::end_connection(agent, true);
    why->phase = "sending";
    why->reason = p.queued ? printf_string(
                                 "the agent did not take the report within %d seconds "
                                 "(not written)",
                                 bound)
                           : printf_string(
                                 "the agent did not take the report within %d seconds "
                                 "(%d bytes unsent)",
                                 bound, p.unsent);
    return false;
  }
  qm7::detail::end_connection(agent, false);
  if (!want_answer) return true;
  why->phase = "waiting for the answer";
  why->reason =
      printf_string("no answer within %d seconds, so the agent may not have the report", bound);
  return false;
}

void teardown(PCX* pcx, ccm_error_t* err) {
  if (pcx->agentID != 0) ccm_channel_deletebyID(ccm, pcx->agentID);
  ccm_thread_stop(ccm);
  pthread_join(ccm->thread, nullptr);
  ccm_channel_closeall(ccm);
  ccm_close(ccm, err);
  ccm = nullptr;
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

  const int greeting_wait = pcx->IoTimeOut > 0 ? pcx->IoTimeOut : kDefaultWaitSeconds;
  int attempt = 0;
  bool greeted = false;
  std::string last_failure = "no attempt made";
  // Without an address every attempt would fail, after the pauses between them.
  const bool no_address = pcx->connect_retry > 0 && !has_address(pcx->ipAddr);
  for (; attempt < pcx->connect_retry && !no_address; ++attempt) {
    QM7_TRACE("%s:      connection attempt #%d", kMain, attempt);
    if (attempt > 0) {
      QM7_TRACE("%s:      wait %d seconds before retry connecting", kMain, pcx->connect_wait);
      sleep(static_cast<unsigned>(pcx->connect_wait));
    }
    std::string address;
    ccmID = -1;
    if (qm7::detail::look_up_agent(pcx->ipAddr, greeting_wait, &address, &err) == 0) {
      ccmID = ccm_connect(ccm, address.c_str(), pcx->portnri, CCM_TYPE_MESSENGER, nullptr,
                          kConnectWaitSeconds, &err);
    }
    if (ccmID < 0) {
      QM7_TRACE("%s:      connect failed", kMain);
      last_failure = "connect failed: " + error_text(err);
      continue;
    }
    const int got = qm7::detail::receive_on(ccmID, after(greeting_wait), &err);
    if (got <= 0) {
      pcx->abnormal_end = 1;
      why.phase = "waiting for the greeting";
      why.reason = got < 0 ? "the wait failed: " + error_text(err)
                           : printf_string("no greeting within %d seconds", greeting_wait);
      break;
    }
    if (is_greeting(ccmmsg)) {
      pcx->agentID = ccmmsg->addr.src_ID;
      greeted = true;
      break;
    }
    QM7_TRACE("%s:      invalid answer", kMain);
    last_failure = answer_text(ccmmsg);
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
  }

  bool delivered = false;
  if (no_address) {
    why.phase = "connecting";
    why.reason = "no agent address given (IPA)";
  } else if (!greeted && pcx->abnormal_end == 0 && attempt == pcx->connect_retry) {
    why.phase = "connecting";
    why.reason = pcx->connect_retry == 0
                     ? "no connection attempt (RETRY=0)"
                     : printf_string("%d attempt%s used up, the last: %s", attempt,
                                     attempt == 1 ? "" : "s", last_failure.c_str());
  } else if (pcx->abnormal_end == 0) {
    // Greeted, or a negative RETRY that made no attempt: the record is built and handed over;
    // without a connection the channel manager finds no channel for it and drops it, and there
    // is no answer to wait for.
    QM7_TRACE("%s:      executordata arrived", kMain);
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
    if (send_record(pcx, &why)) {
      if (greeted) {
        delivered = await_delivery(pcx, &err, &why);
      } else {
        why.phase = "connecting";
        why.reason = printf_string("no connection attempt (RETRY=%d), the record was dropped",
                                   pcx->connect_retry);
      }
    }
  }

  teardown(pcx, &err);
  if (!why.phase.empty()) report_undelivered(pcx, why);
  return delivered ? 1 : 0;
}
