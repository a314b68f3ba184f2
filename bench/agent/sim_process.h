// qm7-agent-sim as the capacity benchmark runs it: started on a free port with --port-file and
// --count, its standard output and error in files, and after its end the check that its report
// lines name every job of the round exactly once and nothing else.
#ifndef QM7_BENCH_AGENT_SIM_PROCESS_H_
#define QM7_BENCH_AGENT_SIM_PROCESS_H_

#include <sys/types.h>

#include <string>

namespace agent_bench {

class sim_process {
 public:
  // Starts `program` to serve `count` reports. port() is 0 when it did not come up.
  sim_process(const std::string& program, long count);
  ~sim_process();
  sim_process(const sim_process&) = delete;
  sim_process& operator=(const sim_process&) = delete;

  int port() const { return port_; }
  // User and system CPU time the simulator used, known after finish_and_check.
  double cpu_seconds() const { return cpu_seconds_; }

  // Waits for the simulator's end (at most `seconds`, then kills it) and checks its output: exit
  // status 0, nothing on standard error, and one report line for each job number from
  // `first_job` to first_job + count - 1. Returns whether all holds; `why` says what did not.
  bool finish_and_check(int first_job, double seconds, std::string* why);

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;  // unlinked files the child writes to
  int err_fd_ = -1;
  int port_ = 0;
  long count_;
  double cpu_seconds_ = 0;
  std::string port_file_;
};

}  // namespace agent_bench

#endif  // QM7_BENCH_AGENT_SIM_PROCESS_H_
