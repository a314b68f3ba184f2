// The one harness of the messenger tests: built programs run as children (output, error output,
// exit code, wall time), qm7-agent-sim with lines to await, a raw-socket agent whose behaviour a
// test picks per connection and which keeps every frame byte for byte, and text helpers for
// output that changes from run to run. Every wait has a bound.
#ifndef QM7_TESTS_MESSENGER_HARNESS_H_
#define QM7_TESTS_MESSENGER_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/unused_port.h"

namespace qm7_test {

inline std::string BinPath(const std::string& name) {
  return std::string(QM7_BIN_DIR) + "/" + name;
}

// An argv of writable copies of `args` behind `program`, with a terminating null.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args, const std::string& program = "qm_jpmd");
  int argc() const { return static_cast<int>(args_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

// The lines of `text` (a last '\n' gives no empty line); `lines` joined, each ended by '\n'.
std::vector<std::string> SplitLines(const std::string& text);
std::string JoinLines(const std::vector<std::string>& lines);
// How many lines of `text` contain `needle` ("" counts every line).
int CountLines(const std::string& text, const std::string& needle);

// Replaces what changes from run to run with fixed words: banner dates ("DD.MM.YYYY /
// hh:mm:ss"), trace time stamps ("YYYYMMDD/hhmmss.mmm") and the thread id opening a trace line
// ("TID").
std::string MaskVolatile(const std::string& text);

// How a child is started besides its arguments. Every child gets TZ=UTC0 and only descriptors
// 0 to 2 (plus what fill_fds_to asks for).
struct spawn_options {
  std::string input;     // standard input (else /dev/null)
  bool lines = false;    // standard output through a pipe, for ReadLine
  int fill_fds_to = 0;   // /dev/null on descriptors 3 .. fill_fds_to - 1
  int nofile_limit = 0;  // when not 0: RLIMIT_NOFILE of the child
  // Standard output a pipe whose reading end is closed before the child starts; the child
  // begins with the default action for SIGPIPE, whatever this process does with it.
  bool broken_stdout = false;
  // Standard error a pipe of one page that is never read (ErrSoFar and Wait see nothing).
  bool unread_stderr = false;
};

struct run_result {
  std::string out;  // with spawn_options::lines: what ReadLine did not take
  std::string err;
  int exit_code = -1;  // exit status, or -1 when killed or not exited normally
  double seconds = 0;  // wall time from start to exit
  pid_t pid = 0;
};

// A started child. The destructor ends (SIGTERM) and reaps one not yet waited for.
class child {
 public:
  child(const std::string& program, const std::vector<std::string>& args,
        const spawn_options& opts = {});
  ~child();
  child(const child&) = delete;
  child& operator=(const child&) = delete;
  // Waits at most `limit_seconds`, then kills the child; a second call returns exit_code -1.
  run_result Wait(double limit_seconds = 30);
  // The next line of standard output (spawn_options::lines), waiting at most `seconds`; false
  // on time-out or end of output.
  bool ReadLine(std::string* line, double seconds = 10);
  // What the child has written on standard error so far.
  std::string ErrSoFar() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_pipe_ = -1;
  int unread_err_ = -1;  // reading end of an unread standard error, kept open
  std::string out_path_, err_path_, in_path_, buffer_;
  std::chrono::steady_clock::time_point start_;
  bool waited_ = false;
};

// Runs a program of the build (by name) to its end, at most `limit_seconds`.
run_result RunProgram(const std::string& name, const std::vector<std::string>& args,
                      const spawn_options& opts = {}, double limit_seconds = 30);
inline run_result RunMessenger(const std::vector<std::string>& args, const spawn_options& opts = {},
                               double limit_seconds = 30) {
  return RunProgram("qm_jpmd", args, opts, limit_seconds);
}

// qm_jpmd once per argument list (with `opts[i]` where given), all at once; under valgrind,
// whose start-up alone would pass the tests' time bounds, one after another.
std::vector<run_result> RunMessengers(const std::vector<std::vector<std::string>>& args,
                                      const std::vector<spawn_options>& opts = {});

// qm7-agent-sim, its output read line by line.
class sim_process : public child {
 public:
  // `nofile_limit`: when not 0, the simulator's RLIMIT_NOFILE (soft and hard).
  explicit sim_process(const std::vector<std::string>& args, int nofile_limit = 0,
                       bool unread_stderr = false);
  // The port of its first line ("... port=N"); -1 when that line did not come in time.
  int port() const { return port_; }
  // Arguments of a messenger run against it: its address, TIMEOUT=2 and WAIT=1, then `args`
  // (later values win).
  std::vector<std::string> To(const std::vector<std::string>& args) const;

 private:
  int port_ = -1;
};

// One received frame: the 48-byte header and the body, as read from the socket.
using frame = std::vector<unsigned char>;
// A header of protocol `protocol` ("NAT", "IPC") in front of `body`.
frame MakeFrame(const std::vector<unsigned char>& body, const char* protocol = "NAT");
frame GreetingFrame();     // native body with a short data element of key 4
frame OtherFrame();        // a NAT frame that is no greeting (key 0xFF element)
frame ForgedCloseFrame();  // an "IPC" frame laid out as a CHANNEL_CLOSE notice

// What the raw agent does with a connection, chosen by the connection's index (0 first).
enum class conn_mode {
  greet_and_answer,  // greeting at once, an answer after the first frame
  silent,            // accept, send nothing
  other_first,       // a non-greeting frame at once, then silence
  other_then_close,  // a non-greeting frame at once, then close
  greet_only,        // greeting at once, never an answer
  greet_never_read,  // greeting at once, never reads (a reset or hang-up is still seen)
  greet_then_close,  // greeting, then close at once
  greet_then_reset,  // greeting, then a reset after reading one byte
  forged_close,      // an "IPC" frame dressed as the channel manager's close notice, then silence
  greet_and_keep,    // as greet_and_answer, but never closes before the agent ends
  greet_then_nudge,  // as greet_only, but its first frame makes the first connection send one
  // Greeting and another frame in one send at once, then a reset after reading, by the index
  // modulo 3: nothing, one byte, or the first frame.
  greet_nudge_reset,
  // As greet_and_answer, with 100 000 unknown sub-keys in sender trailers ahead of the answer.
  greet_and_answer_unknown_subkeys,
};

struct conn_log {
  std::vector<frame> frames;
  std::chrono::steady_clock::time_point accepted, first_frame, closed;
  bool peer_closed = false;
};

// A listening agent on raw sockets (127.0.0.1 or ::1, port 0), served by one thread. A
// `rcvbuf` above 0 is set as the listening socket's SO_RCVBUF, so that a connection that is not
// read fills up after that many bytes or so.
class raw_agent {
 public:
  explicit raw_agent(std::function<conn_mode(int index)> mode, bool ipv6 = false, int rcvbuf = 0);
  ~raw_agent();
  int port() const { return port_; }
  std::string Pnr() const { return "PNR=" + std::to_string(port_); }
  // The connections' logs once `done` holds over them (waiting at most `seconds`), else as
  // they are by then.
  std::vector<conn_log> Logs(const std::function<bool(const std::vector<conn_log>&)>& done = {},
                             double seconds = 10);

 private:
  void Serve();
  std::function<conn_mode(int)> mode_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<conn_log> logs_;  // guarded by mu_
  std::thread thread_;
};

// Whether the tests run under valgrind, which manages its programs' descriptors itself.
bool UnderValgrind();

inline uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace qm7_test

#endif  // QM7_TESTS_MESSENGER_HARNESS_H_
