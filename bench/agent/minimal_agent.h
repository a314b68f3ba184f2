// The reference of the capacity benchmark: the least an agent can do per report. A child process
// of the benchmark with one thread and epoll accepts, greets, reads one frame, answers and
// closes, and counts; it prints nothing and decodes nothing. Its listen backlog is the system's
// maximum, so a burst of connections is never dropped.
#ifndef QM7_BENCH_AGENT_MINIMAL_AGENT_H_
#define QM7_BENCH_AGENT_MINIMAL_AGENT_H_

#include <sys/types.h>

namespace agent_bench {

struct minimal_agent {
  pid_t pid = -1;
  int port = 0;
  int result_fd = -1;      // the child writes its count here when it is done
  double cpu_seconds = 0;  // user and system CPU time of the child, set by finish
};

// Forks the agent, which ends after answering `reports` frames (or after 60 idle seconds).
// The caller must have no other threads. False when it could not be started.
bool start_minimal_agent(long reports, minimal_agent* agent);

// Waits for the agent to end (at most `seconds`, then kills it) and returns how many frames it
// answered, or -1 when it failed or did not end in time.
long finish_minimal_agent(minimal_agent* agent, double seconds);

}  // namespace agent_bench

#endif  // QM7_BENCH_AGENT_MINIMAL_AGENT_H_
