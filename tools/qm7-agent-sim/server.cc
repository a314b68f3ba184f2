// The simulator's serving loop. The main thread is the channel manager's processor thread: it
// takes accept and close notices and received frames off the receive queue, greets, decodes,
// prints and answers. What it knows of each connection is in the connection table and is dropped
// with the connection's close notice, so a messenger that misbehaves affects only itself: a
// connection that sends nothing is closed after the idle time-out, or sooner when its descriptor
// is needed for a new one; one that keeps sending frames that are no report is closed after
// kMaxBadFrames of them; and only the notices of the channel manager are obeyed, never an "IPC"
// frame a peer sent.
#include "server.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "connections.h"
#include "qm7/ccm.h"
#include "qm7/ccm/send.h"
#include "qm7/ccm/thread.h"
#include "qm7/messenger/records.h"
#include "qm7/messenger/send.h"
#include "report_line.h"

namespace agent_sim {
namespace {

constexpr char kGreeting[] = "QM7-AGENT-SIM";
constexpr char kOtherMessage[] = "NOT-A-GREETING";
// Messengers come in bursts (a batch of jobs ending together). A connection that finds the
// accept queue full has its SYN dropped and retried only a second later, so the queue is made as
// long as the system allows (the kernel cuts it to net.core.somaxconn).
constexpr int kBacklog = 4096;
// At SIGTERM or --count, how long the answers still queued may take to leave: a peer that does
// not read must not hold up the end.
constexpr long long kDrainMs = 500;
// A connection the simulator closes may still write what is queued for it this long.
constexpr int kCloseBoundMs = 500;
// A messenger sends one record per connection; a peer that sends this many frames that are no
// report is not one, and its notes would bury the others'.
constexpr int kMaxBadFrames = 100;
// A connection is spared this long after its greeting at the descriptor limit: a messenger sends
// its record right after the greeting, well within it.
constexpr long long kMinAgeMs = 200;

class server {
 public:
  server(const options& opts, const serve_setup& setup)
      : opts_(opts), setup_(setup), table_(setup.capacity, kMinAgeMs) {}

  int run();

 private:
  bool start();
  void stop();
  bool write_port_file(int port);
  void handle(ccm_msg_t* msg);
  void on_accept(int id);
  void on_close(const ccm_msg_t* notice);
  void on_nat(ccm_msg_t* msg);
  void on_bad_frame(int id);
  void greet(int id);
  void send_greeting(int id);
  void send_other_message(int id);
  void send_answer(ccm_msg_t* received);
  void greet_due_connections();
  void close_connection(int id, const char* why);
  bool find_room(int id, bool last);
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const options& opts_;
  const serve_setup setup_;
  ccm_context_t* ccm_ = nullptr;
  ccm_host_context_t host_{0, nullptr};  // running mode 0: the agent's role
  bool thread_started_ = false;
  connection_table table_;
  long accepted_ = 0;
  long reports_ = 0;
};

void server::note(const char* format, ...) {
  char text[kMaxNoteBytes];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  setup_.notes->write(text);
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
  if (!opts_.port_file.empty() && !write_port_file(listening.port)) return false;
  printf("%s\n", listening_line(listening.addr, listening.port, opts_.json).c_str());
  fflush(stdout);
  return true;
}

void server::stop() {
  if (ccm_ == nullptr) return;
  if (thread_started_) {
    // Let the last answers out before the channels go, but not wait on a peer that does not
    // read: the channels are closed without lingering, so nothing else can hold up the end.
    const long long until = monotonic_ms() + kDrainMs;
    while (ccm_is_all_sendq_empty(ccm_) == 0 && monotonic_ms() < until) {
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
  table_.greeted(id, monotonic_ms());
  if (opts_.verbose) note("conn %d: greeted", id);
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

void server::close_connection(int id, const char* why) {
  const connection* c = table_.find(id);
  if (c == nullptr) return;
  note("conn %d from %s:%d: %s, closed", id, c->peer.address.c_str(), c->peer.port, why);
  ccm_channel_close(ccm_, id, CCM_CLOSE_GRACEFUL, kCloseBoundMs);
  table_.forget(id);
}

// At the descriptor limit a connection gives way to the new one `id`, so that connections which
// never send cannot lock out the messengers that do; but never one whose input (bytes or a
// record) waits unread. When none qualifies, the new connection stays if it has input of its own
// (on the descriptors kept in reserve); without, it waits ungreeted until it is as old as the
// others must be (its record may be on its way), and at that second look (`last`) it is closed.
// Returns whether it may be greeted now.
bool server::find_room(int id, bool last) {
  const long long now = monotonic_ms();
  std::vector<int> gone;  // ended already, their close notices still to come
  const auto unread = [&](int other) {
    const int pending = ccm_channel_input_pending(ccm_, other);  // -1: ended
    if (pending < 0) gone.push_back(other);
    return pending != 0;
  };
  while (table_.over_capacity()) {
    const int victim = table_.choose_to_give_way(now, id, unread);
    for (int other : gone) table_.mark_closed(other);
    if (victim >= 0) {
      close_connection(victim, "gave way to a new connection at the descriptor limit");
    } else if (gone.empty()) {
      break;
    }
    gone.clear();
  }
  if (!table_.over_capacity()) return true;
  const int pending = ccm_channel_input_pending(ccm_, id);
  if (pending < 0) table_.mark_closed(id);
  if (pending != 0) return pending > 0;
  if (last) {
    close_connection(id, "no connection could give way at the descriptor limit");
  } else {
    connection* c = table_.find(id);
    c->room_pending = true;
    table_.greet_at(id, now + kMinAgeMs);
  }
  return false;
}

// What a new connection gets first, by its fault mode.
void server::greet(int id) {
  const connection* c = table_.find(id);
  if (c == nullptr || c->closed) return;  // gone already: its close notice was taken ahead
  switch (c->faulty ? opts_.fault : fault_mode::none) {
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
      break;
    case fault_mode::delay:
      table_.greet_at(id, monotonic_ms() + opts_.delay_seconds * 1000LL);
      break;
  }
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
  table_.add(id, c, monotonic_ms());
  if (!table_.over_capacity() || find_room(id, false)) greet(id);
}

void server::on_close(const ccm_msg_t* notice) {
  ccm_close_info_t info;
  if (ccm_close_notice_info(notice, &info) != 0) return;
  const connection* c = table_.find(info.ID);
  if (c == nullptr) return;
  // The channel manager closes a connection that completes no frame within the idle time-out.
  if (strstr(info.msginsert, "|idle for ") != nullptr) {
    note("conn %d from %s:%d: no record within %d s, closed", info.ID, c->peer.address.c_str(),
         c->peer.port, opts_.idle_timeout);
  } else if (opts_.verbose) {
    note("conn %d closed", info.ID);
  }
  table_.forget(info.ID);
  // Its descriptor is free: the connection that waits longest for room takes it now, ahead of
  // connections still to come, which would otherwise take every descriptor that frees.
  const int waiting = table_.take_first_waiting_for_room();
  if (waiting >= 0) greet(waiting);
}

// Counts a frame that is no report; the connection is closed at the bound.
void server::on_bad_frame(int id) {
  connection* c = table_.find(id);
  if (c != nullptr && ++c->bad_frames >= kMaxBadFrames) {
    char why[64];
    snprintf(why, sizeof(why), "%d frames that are no report", kMaxBadFrames);
    close_connection(id, why);
  }
}

void server::on_nat(ccm_msg_t* msg) {
  const int id = msg->addr.src_ID;
  table_.touch(id, monotonic_ms());
  static const connection unknown;
  const connection* found = table_.find(id);
  const connection& c = found != nullptr ? *found : unknown;
  qm7::meld::decoded_record record;
  std::string why;
  if (msg->len < 0 || !qm7::meld::decode_record(
                          {msg->msg_start, static_cast<std::size_t>(msg->len)}, &record, &why)) {
    // A connection the simulator has closed is neither noted nor answered any more.
    if (found == nullptr) return;
    note("conn %d from %s:%d: not a report (%s), %d bytes", id, c.peer.address.c_str(), c.peer.port,
         escape_text(why).c_str(), msg->len);
    on_bad_frame(id);
    if (table_.find(id) == nullptr) return;
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
  if (c.faulty && opts_.fault == fault_mode::no_answer) return;
  send_answer(msg);
}

void server::handle(ccm_msg_t* msg) {
  const int id = msg->addr.src_ID;
  if (msg->type == CCM_MSGTYPE_IPC) {
    char name[IPCMSG_TYPE_NAME_LEN + 1] = {};
    if (msg->len >= IPCMSG_TYPE_NAME_LEN) memcpy(name, msg->msg_start, IPCMSG_TYPE_NAME_LEN);
    if (!ccm_msg_is_internal(msg)) {
      // An "IPC" frame from a peer is no notice of the channel manager, whatever it reads:
      // obeying a forged CHANNEL_ACCEPT or CHANNEL_CLOSE would greet or forget connections at a
      // peer's word.
      if (table_.find(id) == nullptr) return;
      note("conn %d: IPC frame \"%s\" from the peer dropped", id, escape_text(name).c_str());
      on_bad_frame(id);
      return;
    }
    const int notice_id = ccm_notice_channel_ID(msg);
    if (notice_id < 0) return;
    if (strcmp(name, IPCMSG_CHANNEL_ACCEPT) == 0) {
      on_accept(notice_id);
    } else {
      on_close(msg);
    }
    return;
  }
  if (msg->type == CCM_MSGTYPE_NAT) {
    on_nat(msg);
    return;
  }
  if (table_.find(id) == nullptr) return;
  note("conn %d: unexpected message of type %d, key %d ignored", id, msg->type, msg->protocol_key);
  on_bad_frame(id);
}

// The delayed greetings, and the second look at connections that found no room.
void server::greet_due_connections() {
  for (int id : table_.take_due_greetings(monotonic_ms())) {
    connection* c = table_.find(id);  // null when an earlier one's look made room by it
    if (c == nullptr) continue;
    if (!c->room_pending) {
      send_greeting(id);
      continue;
    }
    c->room_pending = false;
    if (!table_.over_capacity() || find_room(id, true)) greet(id);
  }
}

int server::run() {
  if (!start()) {
    stop();
    return 1;
  }
  while (!*setup_.stop && (opts_.count == 0 || reports_ < opts_.count)) {
    // The report lines are written out whenever nothing more is queued: at once when the
    // simulator is idle, and in one write for a burst of reports rather than one per line.
    ccm_msg_t* msg = nullptr;
    ccm_error_t err{};
    int got = ccm_receive_wait(ccm_, 0, &msg, &err);
    if (got == 0) {
      fflush(stdout);
      setup_.notes->flush();
      setup_.log->flush(monotonic_ms());
      got = ccm_receive_wait(ccm_, table_.ms_to_next_greeting(monotonic_ms(), 1000), &msg, &err);
    }
    if (got == 1) {
      handle(msg);
      ccm_msg_free(ccm_, msg);
    }
    greet_due_connections();
  }
  fflush(stdout);
  stop();
  setup_.log->finish();
  return 0;
}

}  // namespace

int serve(const options& opts, const serve_setup& setup) {
  server s(opts, setup);
  return s.run();
}

}  // namespace agent_sim
