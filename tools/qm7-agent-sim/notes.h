// The simulator's notes on standard error, one line each behind "qm7-agent-sim: ", written
// without ever blocking the thread that writes them; and the channel manager's log entries turned
// into such notes, escaped and limited in number, so that no peer can write on standard output
// through them nor bury standard error.
#ifndef QM7_AGENT_SIM_NOTES_H_
#define QM7_AGENT_SIM_NOTES_H_

#include <mutex>
#include <string_view>

#include "qm7/runtime/datetime.h"

namespace agent_sim {

// A note longer than this (prefix and line end included) is cut: one write of at most PIPE_BUF
// bytes reaches a pipe whole, never mixed with another writer's, and never waits for room
// once poll() has called the pipe writable.
inline constexpr size_t kMaxNoteBytes = 1024;

// Notes to a descriptor that nobody may be reading (a pipe or socket left full). A note the
// descriptor cannot take at once is dropped and counted; the count follows as a note of its own
// ("N notes dropped") as soon as the descriptor takes one again. Any thread.
class note_writer {
 public:
  explicit note_writer(int fd);
  note_writer(const note_writer&) = delete;
  note_writer& operator=(const note_writer&) = delete;

  // Writes "qm7-agent-sim: " `text` and a line end in one write, cut to kMaxNoteBytes. Returns
  // false when the note was dropped.
  bool write(std::string_view text);

  // Writes the count of dropped notes, if any, when the descriptor takes it now.
  void flush();

 private:
  bool write_line(std::string_view text);  // REQUIRES: mu_ held
  bool flush_dropped();                    // REQUIRES: mu_ held

  const int fd_;
  const bool socket_;  // sent with MSG_DONTWAIT instead of polled and written
  std::mutex mu_;
  long dropped_ = 0;  // [mu_] notes dropped since the last count was written
};

// The channel manager's log entries as notes: free texts (number -1) always, numbered entries
// (a channel's close and failure, the network thread's start) only when asked for. Each is
// escaped as peer texts are and marked "channel manager: ". At most `per_interval` entries are
// written per interval; the number of the others follows in one note ("channel manager: N more
// log entries left out") when their interval has ended. Any thread.
class library_log {
 public:
  library_log(note_writer* notes, bool numbered, int per_interval, long long interval_ms);
  library_log(const library_log&) = delete;
  library_log& operator=(const library_log&) = delete;

  // One entry at `now_ms` (any monotonic clock in milliseconds).
  void log(int msgnr, const char* insert, long long now_ms);

  // Writes the number of entries left out once their interval has ended by `now_ms`. The
  // processor thread calls it between receives, so the number comes even if no entry follows.
  void flush(long long now_ms);
  // Writes the number of entries left out, whatever their interval. At the end.
  void finish();

 private:
  void start_interval(long long now_ms);  // REQUIRES: mu_ held

  note_writer* const notes_;
  const bool numbered_;
  const int per_interval_;
  const long long interval_ms_;
  std::mutex mu_;
  long long interval_start_ = -1;  // [mu_] -1: no entry yet
  int written_ = 0;                // [mu_] entries written in this interval
  long left_out_ = 0;              // [mu_] entries left out and not yet counted in a note
};

// Entries per second the simulator lets through to standard error.
inline constexpr int kLogEntriesPerSecond = 20;

// Makes `log` the channel manager's logger, with CLOCK_MONOTONIC. Call before its network
// thread starts; `log` must outlive every context.
void install_library_logger(library_log* log);

using qm7::monotonic_ms;

}  // namespace agent_sim

#endif  // QM7_AGENT_SIM_NOTES_H_
