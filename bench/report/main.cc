// qm7-bench-report: one job report end to end. qm_jpmd TYP=S and a minimal raw-socket client
// (qm7-bench-report-client) take turns delivering a report to the same local agent, a thread of
// this program that greets and answers at once; every run must bring the agent the 339-byte
// frame. Prints the medians of wall time and peak RSS of both and their ratios against the
// goals (wall time at most 1.30 times the client's, peak RSS at most 2.00 times).
// Usage: qm7-bench-report [--bin DIR] [--rounds N] [--quick]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "quick_agent.h"

namespace {

using qm7::bench::ChildRun;

constexpr int kDefaultRounds = 100;
constexpr int kQuickRounds = 3;
constexpr int kWarmupRounds = 3;  // unmeasured turns of each, so both start from warm caches

struct options {
  std::string bin;
  int rounds = kDefaultRounds;
  bool quick = false;
};

bool parse_options(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      o->quick = true;
      o->rounds = kQuickRounds;
    } else if (arg == "--bin" && i + 1 < argc) {
      o->bin = argv[++i];
    } else if (arg == "--rounds" && i + 1 < argc) {
      o->rounds = atoi(argv[++i]);
      if (o->rounds < 1) return false;
    } else {
      return false;
    }
  }
  if (o->bin.empty()) o->bin = qm7::bench::own_dir();
  return true;
}

// The client program: beside this benchmark, else in --bin.
std::string client_path(const options& o) {
  const std::string beside = qm7::bench::own_dir() + "/qm7-bench-report-client";
  return access(beside.c_str(), X_OK) == 0 ? beside : o.bin + "/qm7-bench-report-client";
}

// Runs of one program, each checked: exit status 0 and one more good exchange at the agent.
struct series {
  const char* name;
  std::vector<std::string> argv;
  std::vector<double> wall_ms, rss_kb;
  int failures = 0;
};

double run_once(series* s, qm7::bench::quick_agent* agent, bool keep) {
  const int good_before = agent->good();
  const ChildRun run = qm7::bench::run_child(s->argv);
  if (run.exit_status != 0 || agent->good() != good_before + 1) {
    ++s->failures;
    fprintf(stderr, "qm7-bench-report: %s: exit status %d, agent: %s\n", s->name, run.exit_status,
            agent->good() == good_before + 1 ? "frame received" : agent->last_problem().c_str());
  }
  if (keep) {
    s->wall_ms.push_back(run.wall_ms);
    s->rss_kb.push_back(static_cast<double>(run.max_rss_kb));
  }
  return run.wall_ms;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_options(argc, argv, &o)) {
    fprintf(stderr, "usage: qm7-bench-report [--bin DIR] [--rounds N] [--quick]\n");
    return 1;
  }
  const std::string messenger = o.bin + "/qm_jpmd";
  const std::string client = client_path(o);
  for (const std::string& program : {messenger, client}) {
    if (access(program.c_str(), X_OK) != 0) {
      fprintf(stderr, "qm7-bench-report: %s not found\n", program.c_str());
      return 1;
    }
  }

  qm7::bench::quick_agent agent;
  if (agent.port() == 0) {
    fprintf(stderr, "qm7-bench-report: the agent could not listen on 127.0.0.1\n");
    return 1;
  }
  const std::vector<std::string> report_args = {
      "TYP=S",    "IPA=127.0.0.1", "PNR=" + std::to_string(agent.port()),
      "JNR=4711", "MNR=100",       "TXT=bench report",
      "TIMEOUT=5"};
  series jpmd{"qm_jpmd", {messenger}, {}, {}, 0};
  series raw{"raw-socket client", {client}, {}, {}, 0};
  for (const auto& arg : report_args) {
    jpmd.argv.push_back(arg);
    raw.argv.push_back(arg);
  }

  qm7::bench::heading("report: qm_jpmd TYP=S vs a minimal raw-socket client, same local agent (" +
                      std::to_string(o.rounds) + " alternating rounds, medians)");
  for (int i = 0; i < kWarmupRounds; ++i) {
    run_once(&jpmd, &agent, false);
    run_once(&raw, &agent, false);
  }
  qm7::bench::alternate(
      o.rounds, [&] { return run_once(&jpmd, &agent, true); },
      [&] { return run_once(&raw, &agent, true); });
  if (jpmd.failures + raw.failures > 0) {
    fprintf(stderr, "qm7-bench-report: %d of %d runs failed; no figures\n",
            jpmd.failures + raw.failures, 2 * (o.rounds + kWarmupRounds));
    return 1;
  }

  using qm7::bench::Goal;
  using qm7::bench::median;
  const bool wall_met = qm7::bench::compare("wall time", median(jpmd.wall_ms), median(raw.wall_ms),
                                            "ms", Goal::at_most, 1.30);
  const bool rss_met = qm7::bench::compare("peak RSS", median(jpmd.rss_kb), median(raw.rss_kb),
                                           "KB", Goal::at_most, 2.00);
  if (wall_met && rss_met) return 0;
  return o.quick ? 0 : 3;
}
