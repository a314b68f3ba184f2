// Test harness for the messenger's exchange with an agent: the built qm_jpmd run as a child
// with its output, error output, exit code and wall time; qm7-agent-sim run as a child whose
// lines can be awaited; and a small agent on raw sockets whose behaviour a test chooses per
// connection and which records every frame byte for byte. Everything waits for events with a
// bound, never for a fixed time.
#ifndef QM7_TESTS_MESSENGER_AGENT_HARNESS_H_
#define QM7_TESTS_MESSENGER_AGENT_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agent_test {

inline std::string BinPath(const std::string& name) {
  return std::string(QM7_BIN_DIR) + "/" + name;
}

// How a child is started besides its arguments.
struct spawn_options {
  int fill_fds_to = 0;   // open /dev/null on descriptors 3 .. fill_fds_to - 1 (inherited files)
  int nofile_limit = 0;  // when not 0: RLIMIT_NOFILE for the child
};

struct run_result {
  std::string out;
  std::string err;
  int exit_code = -1;  // exit status, or -1 when killed or not exited normally
  double seconds = 0;  // wall time from spawn to exit
  pid_t pid = 0;
};

// A started child whose output goes to files; Wait collects it.
class child {
 public:
  child(const std::string& program, const std::vector<std::string>& args,
        const spawn_options& opts = {});
  ~child();
  child(const child&) = delete;
  child& operator=(const child&) = delete;
  pid_t pid() const { return pid_; }
  // Waits at most `limit_seconds`, then kills the child. Collects output and exit code.
  run_result Wait(double limit_seconds = 30);

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::string out_path_, err_path_;
  std::chrono::steady_clock::time_point start_;
  bool waited_ = false;
};

// Runs qm_jpmd with `args` to its end (at most `limit_seconds`).
run_result RunMessenger(const std::vector<std::string>& args, double limit_seconds = 30,
                        const spawn_options& opts = {});

// qm7-agent-sim as a child. Its standard output is read line by line; standard error goes to a
// file.
class sim_process {
 public:
  explicit sim_process(std::vector<std::string> args);
  ~sim_process();
  // The port from the first line, "listening ... port=N"; -1 when it did not come in time.
  int port() const { return port_; }
  // The next line, waiting at most `seconds`; false on time-out or end of output.
  bool ReadLine(std::string* line, double seconds = 10);
  // Waits for the simulator to exit (at most `seconds`, then kills it); its exit code.
  int WaitExit(double seconds = 10);
  // SIGTERM, then WaitExit.
  int Stop();
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string buffer_;
  std::string err_path_;
  int port_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
};

// One received frame: the 48-byte header and the body, as read from the socket.
using frame = std::vector<unsigned char>;

// A frame with a 48-byte "NAT" header in front of `body`.
frame MakeFrame(const std::vector<unsigned char>& body);
// The greeting an agent sends: a native body with a short data element of key 4.
frame GreetingFrame();
// A NAT frame that is not a greeting (key 0xFF body element).
frame OtherFrame();

// What the raw agent does with a connection, chosen by the connection's index (0 first).
enum class conn_mode {
  greet_and_answer,  // greeting at once, an answer after the first frame
  silent,            // accept, send nothing
  other_first,       // a non-greeting frame at once, then silence
  refuse,            // close at once
  other_then_close,  // a non-greeting frame at once, then close
  greet_only,        // greeting at once, never an answer
};

struct conn_log {
  std::vector<frame> frames;
  std::chrono::steady_clock::time_point accepted;
  std::chrono::steady_clock::time_point first_frame;  // when the first frame was complete
  std::chrono::steady_clock::time_point closed;       // when the peer closed
  bool got_frame = false;
  bool peer_closed = false;
};

// A listening agent on raw sockets (127.0.0.1 or ::1, port 0), served by one thread.
class raw_agent {
 public:
  explicit raw_agent(std::function<conn_mode(int index)> mode, bool ipv6 = false);
  ~raw_agent();
  int port() const { return port_; }
  // Waits until `pred` holds over the logs (at most `seconds`); returns whether it did.
  bool WaitFor(const std::function<bool(const std::vector<conn_log>&)>& pred, double seconds = 10);
  std::vector<conn_log> Logs();

 private:
  void Serve();
  std::function<conn_mode(int)> mode_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<conn_log> logs_;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
int UnusedPort();

// The lines of `text` that contain `needle`.
int CountLines(const std::string& text, const std::string& needle);

}  // namespace agent_test

#endif  // QM7_TESTS_MESSENGER_AGENT_HARNESS_H_
