// The run sequence of the messenger between its job report and its end line: the channel
// manager's start, the connection attempts, the greeting, the one record, the answer and the
// teardown in the order the channel manager needs (agent channel, thread, channels, context).
// It also tells the job, on standard error, when its record did not reach the agent.
#include "qm7/messenger/exchange.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "qm7/ccm.h"
#include "qm7/ccm/send.h"
#include "qm7/ccm/thread.h"
#include "qm7/messenger/send.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr const char* kMain = "main";  // every trace line of the run carries main's name
constexpr int kConnectWaitSeconds = 60;

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

// True for a CHANNEL_CLOSE notice of at least `min_len` bytes.
bool is_close_notice(const ccm_msg_t* msg, size_t min_len) {
  return msg->type == CCM_MSGTYPE_IPC && msg->len >= static_cast<int>(min_len) &&
         strncmp(reinterpret_cast<const char*>(msg->msg_start), IPCMSG_CHANNEL_CLOSE,
                 IPCMSG_TYPE_NAME_LEN) == 0;
}

// What a message that is not the greeting was: the close notice of the attempt's channel (a
// refused or broken connection, with the channel's recorded failure), or some other message.
std::string answer_text(const ccm_msg_t* msg) {
  if (is_close_notice(msg, sizeof(ipcmsg_header_t))) {
    if (msg->len < static_cast<int>(sizeof(ipcmsg_channel_close_t))) {
      return "the connection was closed";
    }
    // The record sits in the message's data area, which is not aligned for it: copy it out.
    ccm_channel_t closed;
    memcpy(&closed, msg->msg_start + offsetof(ipcmsg_channel_close_t, ccmch), sizeof(closed));
    closed.msginsert[sizeof(closed.msginsert) - 1] = '\0';
    if (closed.msgnr == 0) return "the agent closed the connection";
    return printf_string("the connection failed: %s (message %d)", closed.msginsert, closed.msgnr);
  }
  return printf_string("the agent sent a message of type %d, key %d instead of its greeting",
                       msg->type, msg->protocol_key);
}

bool is_greeting(const ccm_msg_t* msg) {
  return msg->type == CCM_MSGTYPE_NATIVE && msg->protocol_key == 4;
}

// True while the record still waits in the channel manager to be written on the agent's
// channel. Messages only move forward (sendq, dispatch list, channel sendq, written), so
// looking at the context's queues before the channel's never misses one in transit.
bool record_pending(int agentID) {
  ccm_queue_lock(ccm);
  const bool queued = ccm->sendq.head != nullptr || ccm->msgq_2dispatch.head != nullptr;
  ccm_queue_unlock(ccm);
  if (queued) return true;
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, agentID);  // returns with channel_lock held
  if (ch == nullptr) return false;                        // gone: nothing will be written
  ccmch_queue_lock(ccm, ch);
  const bool pending = ch->sendq.head != nullptr;
  ccmch_queue_unlock(ccm, ch);
  ccm_channel_unlock(ccm);
  return pending;
}

// The answer wait can end before the network thread has written the record (TIMEOUT=NONE, a
// signal, a wake-up byte left over). Deleting the channel then would drop the record unsent,
// so give the network thread up to `seconds` to write it first. True when it was written (or
// its channel is gone).
bool let_record_out(int agentID, int seconds) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (record_pending(agentID)) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= seconds) {
      QM7_TRACE("%s:      record still queued after %d seconds", kMain, seconds);
      return false;
    }
    struct timespec pause = {0, 1000000};  // 1 ms
    nanosleep(&pause, nullptr);
  }
  return true;
}

// The agent has answered on its channel after the record was written: it has read the record,
// and nothing of ours is left to deliver. The channel manager makes every connection linger 60
// seconds on close, and on this last close that would only hold the network thread, and the
// join behind it, until the agent acknowledges our end of the connection; an agent that does
// not close its side at once acknowledges after its delayed-ACK time (40 ms and more). So this
// close does not linger; the system still completes the shutdown of the connection.
void close_without_linger(int agentID) {
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, agentID);  // returns with channel_lock held
  if (ch == nullptr) return;
  const struct linger off = {0, 0};
  setsockopt(ch->s, SOL_SOCKET, SO_LINGER, &off, sizeof(off));
  ccm_channel_unlock(ccm);
}

// A message taken off the receive queue without a wait leaves its wake-up byte in the pipe, and
// the next wait would return at once with nothing: a greeting wait would end the run as if the
// agent were silent, an answer wait would not wait at all. While the queue is empty, such bytes
// announce nothing and are dropped. The producer appends before it writes its byte, so a byte
// read here never belongs to a message that is not yet on the queue.
void drop_stale_wakeups() {
  for (;;) {
    ccm_queue_lock(ccm);
    const bool empty = ccm->recvq.head == nullptr;
    ccm_queue_unlock(ccm);
    struct pollfd p = {ccm->processor_wakeup[0], POLLIN, 0};
    if (!empty || poll(&p, 1, 0) <= 0) return;
    char byte;
    if (read(ccm->processor_wakeup[0], &byte, 1) != 1) return;
  }
}

// ccm_receive_message with a wait that lasts the whole time-out unless something arrives (or a
// signal interrupts it).
int receive(int seconds, ccm_error_t* err) {
  drop_stale_wakeups();
  ccmmsg = nullptr;
  return ccm_receive_message(ccm, seconds, &ccmmsg, err);
}

// The channel a received message is about: the one it arrived on, or for a close notice the
// channel that was closed.
int channel_of(const ccm_msg_t* msg) {
  if (is_close_notice(msg, sizeof(ipcmsg_channel_close_t))) {
    int id;
    memcpy(&id,
           msg->msg_start + offsetof(ipcmsg_channel_close_t, ccmch) + offsetof(ccm_channel_t, ID),
           sizeof(id));
    return id;
  }
  return msg->addr.src_ID;
}

// receive() for the connection `channel`: what arrives about an earlier attempt's connection
// (its close notice, a late message) is no answer on this one; it is dropped and the wait goes
// on for the rest of its time.
int receive_on(int channel, int seconds, ccm_error_t* err) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int left = seconds;
  for (;;) {
    const int got = receive(left, err);
    if (got != 1 || channel_of(ccmmsg) == channel) return got;
    QM7_TRACE("%s:      message of an earlier connection ignored", kMain);
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left = seconds - static_cast<int>(now.tv_sec - start.tv_sec);
    if (left < 0) left = 0;
  }
}

void report_undelivered(const PCX* pcx, const undelivered& why) {
  const std::string text =
      printf_string("report not delivered to the agent at %s port %d while %s: %s", pcx->ipAddr,
                    pcx->portnri, why.phase.c_str(), why.reason.c_str());
  fprintf(stderr, "%s: %s\n", pcx->program_name, text.c_str());
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

  int attempt = 0;
  bool greeted = false;
  std::string last_failure = "no attempt made";
  for (; attempt < pcx->connect_retry; ++attempt) {
    QM7_TRACE("%s:      connection attempt #%d", kMain, attempt);
    if (attempt > 0) {
      QM7_TRACE("%s:      wait %d seconds before retry connecting", kMain, pcx->connect_wait);
      sleep(static_cast<unsigned>(pcx->connect_wait));
    }
    ccmID = ccm_connect(ccm, pcx->ipAddr, pcx->portnri, CCM_TYPE_MESSENGER, nullptr,
                        kConnectWaitSeconds, &err);
    if (ccmID < 0) {
      QM7_TRACE("%s:      connect failed", kMain);
      last_failure = "connect failed: " + error_text(err);
      continue;
    }
    const int got = receive_on(ccmID, pcx->IoTimeOut, &err);
    if (got <= 0) {
      pcx->abnormal_end = 1;
      why.phase = "waiting for the greeting";
      why.reason = got < 0 ? "the wait failed: " + error_text(err)
                           : printf_string("no greeting within %d seconds", pcx->IoTimeOut);
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

  bool handed_over = false;
  if (!greeted && pcx->abnormal_end == 0 && attempt == pcx->connect_retry) {
    why.phase = "connecting";
    why.reason = pcx->connect_retry == 0
                     ? "no connection attempt (RETRY=0)"
                     : printf_string("%d attempt%s used up, the last: %s", attempt,
                                     attempt == 1 ? "" : "s", last_failure.c_str());
  } else if (pcx->abnormal_end == 0) {
    // Greeted, or a negative RETRY that made no attempt: the record is built and handed over;
    // without a connection the channel manager finds no channel for it and drops it.
    QM7_TRACE("%s:      executordata arrived", kMain);
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
    handed_over = send_record(pcx, &why);
    if (handed_over && !greeted) {
      why.phase = "connecting";
      why.reason = printf_string("no connection attempt (RETRY=%d), the record was dropped",
                                 pcx->connect_retry);
    }
    bool answered = false;
    if (receive(pcx->IoTimeOut, &err) == 1) {
      answered = ccmmsg->type != CCM_MSGTYPE_IPC && ccmmsg->addr.src_ID == pcx->agentID;
      ccm_msg_free(ccm, ccmmsg);
    }
    ccmmsg = nullptr;
    if (handed_over && greeted &&
        let_record_out(pcx->agentID, pcx->IoTimeOut > 1 ? pcx->IoTimeOut : 1) && answered) {
      close_without_linger(pcx->agentID);
    }
  }

  teardown(pcx, &err);
  if (!why.phase.empty()) report_undelivered(pcx, why);
  return handed_over && greeted ? 1 : 0;
}
