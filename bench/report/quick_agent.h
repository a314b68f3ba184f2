// The agent both clients of the report benchmark talk to: one thread in the benchmark that
// accepts a connection on 127.0.0.1, sends at once the greeting qm7-agent-sim sends, reads one
// frame, checks that it is the 339-byte NAT frame of a job report, answers at once with the
// answer qm7-agent-sim gives, and closes when the client has gone. Its own cost is small and the
// same for every client, since it does exactly the same for each.
#ifndef QM7_BENCH_REPORT_QUICK_AGENT_H
#define QM7_BENCH_REPORT_QUICK_AGENT_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace qm7::bench {

class quick_agent {
 public:
  // Listens on 127.0.0.1, port chosen by the system, and starts the thread. port() is 0 when
  // that failed.
  quick_agent();
  // Stops the thread and closes the socket.
  ~quick_agent();
  quick_agent(const quick_agent&) = delete;
  quick_agent& operator=(const quick_agent&) = delete;

  int port() const { return port_; }
  // Connections that delivered the expected frame (counted before the answer goes out, so a
  // client that has read its answer is already counted).
  int good() const { return good_.load(); }
  // Connections that did not: no frame, a wrong length or protocol, a lost client.
  int bad() const { return bad_.load(); }
  // What went wrong last, for the error message.
  std::string last_problem() const;

 private:
  void serve();
  void handle(int fd);
  void fail(const std::string& why);

  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> good_{0};
  std::atomic<int> bad_{0};
  mutable std::mutex problem_lock_;
  std::string problem_;  // guarded by problem_lock_
  std::thread thread_;
};

}  // namespace qm7::bench

#endif
