// Real messengers at once: many qm_jpmd processes started together against one qm7-agent-sim,
// each with its own job number, to show that the programs themselves deliver every report once
// at the concurrency the load generator measures.
#ifndef QM7_BENCH_AGENT_MESSENGERS_H_
#define QM7_BENCH_AGENT_MESSENGERS_H_

#include <string>

namespace agent_bench {

struct messengers_result {
  double seconds = 0;  // first start to last end
  bool ok = false;     // every messenger ended as it should and the simulator printed each once
  std::string why;     // what failed
};

// Starts `count` qm_jpmd from `bin` at once against a fresh qm7-agent-sim from `bin`.
messengers_result run_messengers(const std::string& bin, int count, int first_job);

}  // namespace agent_bench

#endif  // QM7_BENCH_AGENT_MESSENGERS_H_
