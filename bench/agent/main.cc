// qm7-bench-agent: how many reports per second qm7-agent-sim takes with 200 messengers connected
// at once, and whether every report arrives exactly once. A load generator that speaks the
// messenger's protocol keeps 200 exchanges open at a time against the simulator and, in
// alternating rounds, against a minimal agent in this program that does nothing but accept,
// greet, read, answer and close; the ratio says how near the simulator comes to a bare server.
// Then 200 real qm_jpmd processes at once show that the programs deliver every report once.
// Usage: qm7-bench-agent [--bin DIR] [--quick] [--rounds N] [--reports R] [--connections C]
//                        [--messengers M] [--against PORT]
// --against PORT only runs the load once against an agent already listening on 127.0.0.1:PORT
// (to profile a server under this load) and prints the rate and the load generator's check.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "load.h"
#include "messengers.h"
#include "minimal_agent.h"
#include "sim_process.h"

namespace {

using agent_bench::load_result;

struct options {
  std::string bin;
  int rounds = 9;
  long reports = 10000;
  int connections = 200;
  int messengers = 200;
  int messenger_rounds = 3;
  double limit_seconds = 120;
  bool quick = false;
  int against = 0;  // a port: only run the load against the agent listening there
};

bool parse_options(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      o->quick = true;
      o->rounds = 1;
      o->reports = 2000;
      o->messenger_rounds = 1;
      o->limit_seconds = 60;
    } else if (arg == "--bin" && has_value) {
      o->bin = argv[++i];
    } else if (arg == "--rounds" && has_value) {
      o->rounds = atoi(argv[++i]);
    } else if (arg == "--reports" && has_value) {
      o->reports = atol(argv[++i]);
    } else if (arg == "--connections" && has_value) {
      o->connections = atoi(argv[++i]);
    } else if (arg == "--against" && has_value) {
      o->against = atoi(argv[++i]);
    } else if (arg == "--messengers" && has_value) {
      o->messengers = atoi(argv[++i]);
    } else {
      return false;
    }
  }
  if (o->bin.empty()) o->bin = qm7::bench::own_dir();
  return o->rounds >= 1 && o->reports >= 1 && o->connections >= 1 && o->messengers >= 0;
}

// What went wrong in one kind of round; the first failure is kept.
struct verdict {
  int rounds = 0;
  std::string failure;
  void fail(const std::string& why) {
    if (failure.empty()) failure = why;
  }
  bool print(const std::string& what) const {
    printf("  every report exactly once, %s (%d rounds): %s%s\n", what.c_str(), rounds,
           failure.empty() ? "pass" : "FAIL: ", failure.c_str());
    fflush(stdout);
    return failure.empty();
  }
};

// The load generator's side of the check: every exchange got exactly one answer.
void check_load(const load_result& l, long reports, verdict* v) {
  if (l.answered != reports || l.failed != 0) {
    v->fail(std::to_string(l.answered) + " of " + std::to_string(reports) + " answered, " +
            std::to_string(l.failed) + " broke off (first: " + l.first_failure + ")");
  }
  for (int n : l.answers) {
    if (n != 1) {
      v->fail("an exchange got " + std::to_string(n) + " answers");
      break;
    }
  }
}

void print_rounds(const char* what, const std::vector<double>& rates) {
  printf("  rounds, %s (reports/s):", what);
  for (double r : rates) printf(" %.0f", r);
  printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_options(argc, argv, &o)) {
    fprintf(stderr,
            "usage: qm7-bench-agent [--bin DIR] [--quick] [--rounds N] [--reports R] "
            "[--connections C] [--messengers M] [--against PORT]\n");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  if (o.against > 0) {
    const load_result l =
        agent_bench::run_load(o.against, o.connections, o.reports, 1, o.limit_seconds);
    verdict v;
    v.rounds = 1;
    check_load(l, o.reports, &v);
    qm7::bench::figure("agent on port " + std::to_string(o.against),
                       l.seconds > 0 ? static_cast<double>(l.answered) / l.seconds : 0,
                       "reports/s");
    return v.print("load generator's side") ? 0 : 1;
  }
  const std::string sim_program = o.bin + "/qm7-agent-sim";
  int next_job = 1;

  verdict sim_verdict, ref_verdict;
  std::vector<double> sim_cpu_us, ref_cpu_us;  // CPU time per report of the measured rounds
  std::vector<double> sim_p99, ref_p99, sim_max, ref_max;  // exchange times (ms) of the rounds
  auto sim_round = [&](long reports, bool measured) {
    const int first_job = next_job;
    next_job += static_cast<int>(reports);
    agent_bench::sim_process sim(sim_program, reports);
    if (sim.port() == 0) {
      sim_verdict.fail("qm7-agent-sim (" + sim_program + ") did not start");
      return 0.0;
    }
    const load_result l =
        agent_bench::run_load(sim.port(), o.connections, reports, first_job, o.limit_seconds);
    check_load(l, reports, &sim_verdict);
    std::string why;
    if (!sim.finish_and_check(first_job, 10, &why)) sim_verdict.fail(why);
    if (measured) {
      ++sim_verdict.rounds;
      sim_cpu_us.push_back(sim.cpu_seconds() * 1e6 / static_cast<double>(reports));
      sim_p99.push_back(l.p99_ms);
      sim_max.push_back(l.max_ms);
    }
    return l.seconds > 0 ? static_cast<double>(l.answered) / l.seconds : 0.0;
  };
  auto reference_round = [&](long reports, bool measured) {
    const int first_job = next_job;
    next_job += static_cast<int>(reports);
    agent_bench::minimal_agent agent;
    if (!agent_bench::start_minimal_agent(reports, &agent)) {
      ref_verdict.fail("the minimal agent did not start");
      return 0.0;
    }
    const load_result l =
        agent_bench::run_load(agent.port, o.connections, reports, first_job, o.limit_seconds);
    check_load(l, reports, &ref_verdict);
    const long served = agent_bench::finish_minimal_agent(&agent, 10);
    if (served != reports) {
      ref_verdict.fail("the minimal agent answered " + std::to_string(served) + " of " +
                       std::to_string(reports));
    }
    if (measured) {
      ++ref_verdict.rounds;
      ref_cpu_us.push_back(agent.cpu_seconds * 1e6 / static_cast<double>(reports));
      ref_p99.push_back(l.p99_ms);
      ref_max.push_back(l.max_ms);
    }
    return l.seconds > 0 ? static_cast<double>(l.answered) / l.seconds : 0.0;
  };

  char title[256];
  snprintf(title, sizeof(title),
           "agent capacity: job-end reports with %d connections at once, %ld reports per round, "
           "%d rounds each, alternating with a minimal agent",
           o.connections, o.reports, o.rounds);
  qm7::bench::heading(title);
  // One small unmeasured round of each, so both start with warm caches and a loaded program.
  sim_round(o.reports / 10 + 1, false);
  reference_round(o.reports / 10 + 1, false);
  const qm7::bench::Paired p = qm7::bench::alternate(
      o.rounds, [&] { return sim_round(o.reports, true); },
      [&] { return reference_round(o.reports, true); });
  print_rounds("qm7-agent-sim", p.a);
  print_rounds("minimal agent", p.b);
  qm7::bench::compare("qm7-agent-sim", qm7::bench::median(p.a), qm7::bench::median(p.b),
                      "reports/s", qm7::bench::Goal::at_least, 0);
  // CPU time per report depends far less than the rate on what else the machine runs.
  qm7::bench::compare("qm7-agent-sim CPU time per report", qm7::bench::median(sim_cpu_us),
                      qm7::bench::median(ref_cpu_us), "us", qm7::bench::Goal::at_most, 0);
  // A connection whose SYN found the accept queue full waits a second for its retry: it shows in
  // the slowest exchanges, not in the rate.
  qm7::bench::compare("qm7-agent-sim 99th percentile exchange", qm7::bench::median(sim_p99),
                      qm7::bench::median(ref_p99), "ms", qm7::bench::Goal::at_most, 0);
  qm7::bench::compare("qm7-agent-sim slowest exchange", qm7::bench::median(sim_max),
                      qm7::bench::median(ref_max), "ms", qm7::bench::Goal::at_most, 0);
  bool ok = sim_verdict.print("qm7-agent-sim");
  ok = ref_verdict.print("minimal agent") && ok;

  if (o.messengers > 0) {
    snprintf(title, sizeof(title), "%d qm_jpmd processes at once against qm7-agent-sim",
             o.messengers);
    qm7::bench::heading(title);
    verdict v;
    std::vector<double> rates;
    for (int i = 0; i < o.messenger_rounds; ++i) {
      const agent_bench::messengers_result r =
          agent_bench::run_messengers(o.bin, o.messengers, next_job);
      next_job += o.messengers;
      ++v.rounds;
      if (!r.ok) v.fail(r.why);
      if (r.seconds > 0) rates.push_back(o.messengers / r.seconds);
    }
    qm7::bench::figure("qm_jpmd", qm7::bench::median(rates), "reports/s");
    ok = v.print("qm_jpmd") && ok;
  }
  return ok ? 0 : 1;
}
