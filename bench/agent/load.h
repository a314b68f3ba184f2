// The load generator of the capacity benchmark: it keeps a fixed number of connections to an
// agent open at once, each doing what qm_jpmd does on the wire (connect, read the greeting, send
// one job-end frame with its own job number, read the answer, close), and opens the next one as
// soon as one ends, until every report of the round was tried. One thread, epoll.
#ifndef QM7_BENCH_AGENT_LOAD_H_
#define QM7_BENCH_AGENT_LOAD_H_

#include <string>
#include <vector>

namespace agent_bench {

struct load_result {
  double seconds = 0;  // first connect to last connection ended
  long answered = 0;   // exchanges that got their answer
  long failed = 0;     // exchanges that broke off (error, early close, bad frame, time limit)
  std::string first_failure;  // what went wrong first, empty when nothing did
  std::vector<int> answers;   // per report (job - first_job): answers received
  double p99_ms = 0;          // 99th percentile and longest time from connect to answer
  double max_ms = 0;
};

// Runs `reports` exchanges against 127.0.0.1:`port`, `connections` at a time, job numbers
// first_job, first_job + 1, ... Gives up after `limit_seconds`; what is open then fails.
load_result run_load(int port, int connections, long reports, int first_job, double limit_seconds);

}  // namespace agent_bench

#endif  // QM7_BENCH_AGENT_LOAD_H_
