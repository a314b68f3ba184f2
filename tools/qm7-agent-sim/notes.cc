// Notes that never block and the channel manager's logger. A note is one write of one line; the
// check that the descriptor takes it comes right before, under the writer's lock, so only
// another process writing to the same pipe between the two can still make a write wait.
#include "notes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "qm7/runtime/trace.h"
#include "report_line.h"

namespace agent_sim {
namespace {

constexpr char kPrefix[] = "qm7-agent-sim: ";

bool is_socket(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

library_log* g_library_log = nullptr;  // set before the network thread starts, then only read

int simulator_logger(int msgnr, const char* msginsert) {
  if (g_library_log != nullptr) g_library_log->log(msgnr, msginsert, monotonic_ms());
  return 0;
}

}  // namespace

note_writer::note_writer(int fd) : fd_(fd), socket_(is_socket(fd)) {}

bool note_writer::write(std::string_view text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!flush_dropped() || !write_line(text)) {
    ++dropped_;
    return false;
  }
  return true;
}

void note_writer::flush() {
  std::lock_guard<std::mutex> lock(mu_);
  flush_dropped();
}

bool note_writer::flush_dropped() {
  if (dropped_ == 0) return true;
  if (!write_line(std::to_string(dropped_) +
                  (dropped_ == 1 ? " note dropped" : " notes dropped"))) {
    return false;
  }
  dropped_ = 0;
  return true;
}

bool note_writer::write_line(std::string_view text) {
  std::string line = kPrefix;
  line.append(text.substr(0, kMaxNoteBytes - line.size() - 1));
  line += '\n';
  for (;;) {
    ssize_t n;
    if (socket_) {
      n = send(fd_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      struct pollfd p = {fd_, POLLOUT, 0};
      if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return false;
      n = ::write(fd_, line.data(), line.size());
    }
    if (n == static_cast<ssize_t>(line.size())) return true;
    if (n < 0 && errno == EINTR) continue;
    // Full, closed, or cut short: what is left would have to wait.
    return false;
  }
}

library_log::library_log(note_writer* notes, bool numbered, int per_interval, long long interval_ms)
    : notes_(notes), numbered_(numbered), per_interval_(per_interval), interval_ms_(interval_ms) {}

void library_log::log(int msgnr, const char* insert, long long now_ms) {
  if (msgnr != -1 && !numbered_) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (interval_start_ < 0 || now_ms - interval_start_ >= interval_ms_) start_interval(now_ms);
  if (written_ >= per_interval_) {
    ++left_out_;
    return;
  }
  ++written_;
  std::string text = "channel manager: ";
  if (msgnr != -1) text += std::to_string(msgnr) + " ";
  text += escape_text(insert);
  notes_->write(text);
}

void library_log::flush(long long now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  if (left_out_ > 0 && now_ms - interval_start_ >= interval_ms_) start_interval(now_ms);
}

void library_log::finish() {
  std::lock_guard<std::mutex> lock(mu_);
  start_interval(0);
}

void library_log::start_interval(long long now_ms) {
  if (left_out_ > 0) {
    notes_->write("channel manager: " + std::to_string(left_out_) +
                  (left_out_ == 1 ? " more log entry left out" : " more log entries left out"));
    left_out_ = 0;
  }
  interval_start_ = now_ms;
  written_ = 0;
}

void install_library_logger(library_log* log) {
  g_library_log = log;
  __log_set_logger(simulator_logger);
}

}  // namespace agent_sim
