// The simulator's serving loop. The main thread is the channel manager's processor thread: it
// takes accept and close notices and received frames off the receive queue, greets, decodes,
// prints and answers. Per-connection state lives in a map keyed by channel ID and is dropped
// with the connection's close notice, so a messenger that misbehaves affects only itself: a
// connection that sends nothing is closed after the idle time-out, or sooner when its descriptor
// is needed for a new one, and only the notices of the channel manager are obeyed, never an
// "IPC" frame a peer sent.
#include "server.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "qm7/ccm.h"
#include "qm7/ccm/send.h"
#include "qm7/ccm/thread.h"
#include "qm7/messenger/records.h"
#include "qm7/messenger/send.h"
#include "report_line.h"

namespace agent_sim {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

constexpr char kProgram[] = "qm7-agent-sim";
constexpr char kGreeting[] = "QM7-AGENT-SIM";
constexpr char kOtherMessage[] = "NOT-A-GREETING";
// Messengers come in bursts (a batch of jobs ending together). A connection that finds the
// accept queue full has its SYN dropped and retried only a second later, so the queue is made as
// long as the system allows (the kernel cuts it to net.core.somaxconn).
constexpr int kBacklog = 4096;
// Descriptors kept for everything but connections: standard streams, the wake-up pipes, the
// listening socket, the port file, and the accept in progress.
constexpr rlim_t kReservedDescriptors = 32;
// The channel manager's descriptor sets hold descriptors below 65 536; more are of no use.
constexpr rlim_t kMaxDescriptors = 65536;
// At SIGTERM or --count, how long the answers still queued may take to leave: a peer that does
// not read must not hold up the end.
constexpr double kDrainSeconds = 0.5;
// A connection the simulator closes may still write what is queued for it this long.
constexpr int kCloseBoundMs = 500;

double monotonic_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct connection {
  peer_info peer;
  bool faulty = false;      // the fault mode applies to this connection
  double greet_due = -1.0;  // monotonic time of a delayed greeting; -1: none pending
  double idle_since = 0;    // its accept or its last frame: the order in which connections give way
};

// Raises the soft descriptor limit to the hard one (at most what the descriptor sets hold) and
// returns how many connections fit under it.
size_t connection_capacity() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return SIZE_MAX;
  const rlim_t want =
      rl.rlim_max == RLIM_INFINITY || rl.rlim_max > kMaxDescriptors ? kMaxDescriptors : rl.rlim_max;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur < want) {
    rl.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) getrlimit(RLIMIT_NOFILE, &rl);
  }
  const rlim_t limit = rl.rlim_cur == RLIM_INFINITY ? kMaxDescriptors : rl.rlim_cur;
  return limit > kReservedDescriptors * 2 ? static_cast<size_t>(limit - kReservedDescriptors)
                                          : static_cast<size_t>(limit / 2);
}

class server {
 public:
  explicit server(const options& opts) : opts_(opts) {}

  int run();

 private:
  bool start();
  void stop();
  bool write_port_file(int port);
  void handle(ccm_msg_t* msg);
  void on_accept(int id);
  void on_close(const ccm_msg_t* notice);
  void on_report(ccm_msg_t* msg);
  void send_greeting(int id);
  void send_other_message(int id);
  void send_answer(ccm_msg_t* received);
  void greet_due_connections();
  void touch(int id, connection* c);
  void forget(int id);
  void close_connection(int id, const connection& c, const char* why);
  void make_room();
  void drop_peer_ipc(const ccm_msg_t* msg, const char* name);
  int receive_timeout_ms() const;
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const options& opts_;
  ccm_context_t* ccm_ = nullptr;
  ccm_host_context_t host_{0, nullptr};  // running mode 0: the agent's role
  bool thread_started_ = false;
  std::map<int, connection> conns_;
  long accepted_ = 0;
  long reports_ = 0;
  long greetings_due_ = 0;  // connections in conns_ with a delayed greeting still to send
  // Every connection by the time of its accept or last frame, (idle_since, channel ID): the
  // first gives way at the descriptor limit. One entry per connection.
  std::set<std::pair<double, int>> idle_order_;
  size_t capacity_ = SIZE_MAX;  // connections that fit under the descriptor limit
};

void server::note(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  fprintf(stderr, "%s: %s\n", kProgram, text);
}

bool server::write_port_file(int port) {
  // Written under a temporary name and renamed, so a script never reads half a number.
  const std::string tmp = opts_.port_file + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    note("cannot write %s: %s", tmp.c_str(), strerror(errno));
    return false;
  }
  fprintf(f, "%d\n", port);
  if (fclose(f) != 0 || rename(tmp.c_str(), opts_.port_file.c_str()) != 0) {
    note("cannot write %s: %s", opts_.port_file.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool server::start() {
  capacity_ = connection_capacity();
  ccm_error_t err{};
  if (ccm_open(&host_, &ccm_, &err) != 0) {
    note("cannot open the channel manager: %s", err.msginsert);
    return false;
  }
  // The network loop keeps the idle time-out: from a connection's accept and from each frame
  // it completes, so a peer that trickles bytes is closed too.
  ccm_->idle_timeout_ms = opts_.idle_timeout * 1000;
  if (ccm_create_listen(ccm_, opts_.listen.c_str(), opts_.port, kBacklog, &err) != 0) {
    note("cannot listen on %s port %d: %s", opts_.listen.c_str(), opts_.port, err.msginsert);
    return false;
  }
  ccm_endpoint_t listening;
  if (ccm_channel_endpoints(ccm_, 0, "*LISTEN", &listening, nullptr) != 0) {
    note("cannot learn the listening address: %s", strerror(errno));
    return false;
  }
  const char* address = listening.addr;
  const int port = listening.port;

  // The network thread must not take the stop signals: they are to interrupt the receive wait
  // of this thread. It inherits the mask in force when it is created.
  sigset_t stop_signals, old_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
  const int rc = ccm_thread_start(ccm_, &err);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (rc != 0) {
    note("cannot start the network thread: %s", err.msginsert);
    return false;
  }
  thread_started_ = true;

  // The port file first: whoever has read the listening line may rely on the file.
  if (!opts_.port_file.empty() && !write_port_file(port)) return false;
  printf("%s\n", listening_line(address, port, opts_.json).c_str());
  fflush(stdout);
  return true;
}

void server::stop() {
  if (ccm_ == nullptr) return;
  if (thread_started_) {
    // Let the last answers out before the channels go, but not wait on a peer that does not
    // read: the channels are closed without lingering, so nothing else can hold up the end.
    const double until = monotonic_now() + kDrainSeconds;
    while (ccm_is_all_sendq_empty(ccm_) == 0 && monotonic_now() < until) {
      struct timespec pause = {0, 1000000};
      nanosleep(&pause, nullptr);
    }
    ccm_thread_stop(ccm_);
    ccm_thread_join(ccm_);
  }
  ccm_channel_closeall(ccm_);
  ccm_error_t err{};
  ccm_close(ccm_, &err);
  ccm_ = nullptr;
}

void server::send_greeting(int id) {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err);
  if (msg == nullptr) {
    note("conn %d: no message buffer for the greeting", id);
    return;
  }
  char data[sizeof(kGreeting)];
  memcpy(data, kGreeting, sizeof(data));
  ccm_msg_write_native_data(msg, 4, data, static_cast<int>(sizeof(kGreeting) - 1));
  ccm_setaddr(msg, id, 0, "", "", 0);
  if (send_native_message(ccm_, msg) != 0) {
    ccm_msg_free(ccm_, msg);
    note("conn %d: the greeting could not be queued", id);
    return;
  }
  if (opts_.verbose) note("conn %d: greeted", id);
}

void server::touch(int id, connection* c) {
  idle_order_.erase({c->idle_since, id});
  c->idle_since = monotonic_now();
  idle_order_.insert({c->idle_since, id});
}

void server::forget(int id) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  if (it->second.greet_due >= 0) --greetings_due_;
  idle_order_.erase({it->second.idle_since, id});
  conns_.erase(it);
}

void server::close_connection(int id, const connection& c, const char* why) {
  note("conn %d from %s:%d: %s, closed", id, c.peer.address.c_str(), c.peer.port, why);
  ccm_channel_close(ccm_, id, CCM_CLOSE_GRACEFUL, kCloseBoundMs);
  forget(id);
}

// At the descriptor limit the connection idle longest gives way, so that connections which
// never send cannot lock out the messengers that do.
void server::make_room() {
  while (conns_.size() > capacity_ && !idle_order_.empty()) {
    const int victim = idle_order_.begin()->second;
    close_connection(victim, conns_[victim],
                     "gave way to a new connection at the descriptor limit");
  }
}

void server::send_other_message(int id) {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err);
  if (msg == nullptr) return;
  msg->type = CCM_MSGTYPE_NAT;
  memcpy(msg->msg_start, kOtherMessage, sizeof(kOtherMessage) - 1);
  msg->len = static_cast<int>(sizeof(kOtherMessage) - 1);
  ccm_setaddr(msg, id, 0, "", "", 0);
  if (send_NAT_message(ccm_, msg) != 0) ccm_msg_free(ccm_, msg);
  if (opts_.verbose) note("conn %d: sent another message instead of the greeting", id);
}

void server::send_answer(ccm_msg_t* received) {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm_, &err);
  if (msg == nullptr) {
    note("conn %d: no message buffer for the answer", received->addr.src_ID);
    return;
  }
  // The answer is a bare record header ("MELD    ", "03", msgnr 0); the messenger only waits
  // for some message before it closes its side.
  msg->type = CCM_MSGTYPE_NAT;
  QM_HEADM head;
  CreateQmHeadm(&head, qm7::meld::kMsgTyp, 0, 0);
  memset(msg->msg_start, 0, qm7::meld::kBodyOffset);
  memcpy(msg->msg_start, &head, sizeof(head));
  msg->len = static_cast<int>(qm7::meld::kBodyOffset);
  ccm_setaddr_reply(msg, received);
  if (send_NAT_message(ccm_, msg) != 0) ccm_msg_free(ccm_, msg);
}

void server::on_accept(int id) {
  connection c;
  c.peer.channel_id = id;
  ccm_endpoint_t peer;
  if (ccm_channel_endpoints(ccm_, id, nullptr, nullptr, &peer) == 0) {
    c.peer.address = peer.addr;
    c.peer.port = peer.port;
  }
  c.faulty =
      opts_.fault != fault_mode::none && (opts_.fault_count < 0 || accepted_ < opts_.fault_count);
  ++accepted_;
  if (opts_.verbose) {
    note("conn %d from %s:%d accepted%s%s", id, c.peer.address.c_str(), c.peer.port,
         c.faulty ? ", fault " : "", c.faulty ? fault_name(opts_.fault) : "");
  }
  const fault_mode mode = c.faulty ? opts_.fault : fault_mode::none;
  if (mode == fault_mode::delay) {
    c.greet_due = monotonic_now() + opts_.delay_seconds;
    ++greetings_due_;
  }
  conns_[id] = c;
  touch(id, &conns_[id]);
  make_room();
  if (conns_.count(id) == 0) return;
  switch (mode) {
    case fault_mode::none:
    case fault_mode::no_answer:
      send_greeting(id);
      break;
    case fault_mode::close:
      ccm_channel_close(ccm_, id, CCM_CLOSE_GRACEFUL, 0);
      break;
    case fault_mode::other_first:
      send_other_message(id);
      break;
    case fault_mode::no_greeting:
    case fault_mode::delay:
      break;
  }
}

void server::on_close(const ccm_msg_t* notice) {
  ccm_close_info_t info;
  if (ccm_close_notice_info(notice, &info) != 0) return;
  auto it = conns_.find(info.ID);
  if (it == conns_.end()) return;
  // The channel manager closes a connection that completes no frame within the idle time-out.
  if (strstr(info.msginsert, "|idle for ") != nullptr) {
    note("conn %d from %s:%d: no record within %d s, closed", info.ID,
         it->second.peer.address.c_str(), it->second.peer.port, opts_.idle_timeout);
  } else if (opts_.verbose) {
    note("conn %d closed", info.ID);
  }
  forget(info.ID);
}

void server::on_report(ccm_msg_t* msg) {
  const int id = msg->addr.src_ID;
  auto it = conns_.find(id);
  static const connection unknown;
  const connection& c = it != conns_.end() ? it->second : unknown;
  qm7::meld::decoded_record record;
  std::string why;
  if (msg->len < 0 || !qm7::meld::decode_record(
                          {msg->msg_start, static_cast<std::size_t>(msg->len)}, &record, &why)) {
    note("conn %d from %s:%d: not a report (%s), %d bytes", id, c.peer.address.c_str(), c.peer.port,
         escape_text(why).c_str(), msg->len);
  } else {
    if (strcmp(msg->addr.dst_name, QM7_AGENT_FUNCTION) != 0) {
      note("conn %d: report addressed to '%s', not '%s'", id,
           escape_text(msg->addr.dst_name).c_str(), QM7_AGENT_FUNCTION);
    }
    peer_info peer = c.peer;
    peer.channel_id = id;
    const std::string line = report_line(record, peer, opts_.json);
    fwrite(line.data(), 1, line.size(), stdout);
    putchar('\n');
    ++reports_;
  }
  if (it != conns_.end()) touch(id, &it->second);
  if (c.faulty && opts_.fault == fault_mode::no_answer) return;
  send_answer(msg);
}

void server::handle(ccm_msg_t* msg) {
  if (msg->type == CCM_MSGTYPE_IPC) {
    char name[IPCMSG_TYPE_NAME_LEN + 1] = {};
    if (msg->len >= IPCMSG_TYPE_NAME_LEN) memcpy(name, msg->msg_start, IPCMSG_TYPE_NAME_LEN);
    if (!ccm_msg_is_internal(msg)) {
      drop_peer_ipc(msg, name);
      return;
    }
    const int id = ccm_notice_channel_ID(msg);
    if (id < 0) return;
    if (strcmp(name, IPCMSG_CHANNEL_ACCEPT) == 0) {
      on_accept(id);
    } else {
      on_close(msg);
    }
    return;
  }
  if (msg->type == CCM_MSGTYPE_NAT) {
    on_report(msg);
    return;
  }
  note("conn %d: unexpected message of type %d, key %d ignored", msg->addr.src_ID, msg->type,
       msg->protocol_key);
}

// An "IPC" frame from a peer is no notice of the channel manager, whatever it reads: obeying a
// forged CHANNEL_ACCEPT or CHANNEL_CLOSE would greet or forget connections at a peer's word.
void server::drop_peer_ipc(const ccm_msg_t* msg, const char* name) {
  note("conn %d: IPC frame \"%s\" from the peer dropped", msg->addr.src_ID,
       escape_text(name).c_str());
}

void server::greet_due_connections() {
  if (greetings_due_ == 0) return;
  const double now = monotonic_now();
  for (auto& [id, c] : conns_) {
    if (c.greet_due >= 0 && c.greet_due <= now) {
      c.greet_due = -1.0;
      --greetings_due_;
      send_greeting(id);
    }
  }
}

// Until the next delayed greeting is due, at most a second.
int server::receive_timeout_ms() const {
  if (greetings_due_ == 0) return 1000;
  double next = -1.0;
  for (const auto& [id, c] : conns_) {
    if (c.greet_due >= 0 && (next < 0 || c.greet_due < next)) next = c.greet_due;
  }
  if (next < 0) return 1000;
  const double left = next - monotonic_now();
  return left <= 0 ? 0 : left >= 1.0 ? 1000 : static_cast<int>(left * 1000) + 1;
}

int server::run() {
  if (!start()) {
    stop();
    return 1;
  }
  while (!g_stop && (opts_.count == 0 || reports_ < opts_.count)) {
    // The report lines are written out whenever nothing more is queued: at once when the
    // simulator is idle, and in one write for a burst of reports rather than one per line.
    ccm_msg_t* msg = nullptr;
    ccm_error_t err{};
    int got = ccm_receive_wait(ccm_, 0, &msg, &err);
    if (got == 0) {
      fflush(stdout);
      got = ccm_receive_wait(ccm_, receive_timeout_ms(), &msg, &err);
    }
    if (got == 1) {
      handle(msg);
      ccm_msg_free(ccm_, msg);
    }
    greet_due_connections();
  }
  fflush(stdout);
  stop();
  return 0;
}

}  // namespace

int serve(const options& opts) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_stop_signal;  // no SA_RESTART: the signal ends the receive wait
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A messenger that closes before its answer is written must not end the simulator.
  signal(SIGPIPE, SIG_IGN);
  trcFlag = opts.trace;
  server s(opts);
  return s.run();
}

}  // namespace agent_sim
