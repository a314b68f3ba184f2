// qm7-agent-sim: a stand-in for the QM7 agent that qm_jpmd reports to. It prints one line per
// report so a job author can check what a job script sends, and can misbehave on purpose so the
// script's handling of an unreachable or silent agent can be rehearsed.
#include <cstdio>
#include <string>

#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
  agent_sim::options opts;
  std::string error;
  if (!agent_sim::parse_options(argc, argv, &opts, &error)) {
    fprintf(stderr, "qm7-agent-sim: %s\nTry 'qm7-agent-sim --help'.\n", error.c_str());
    return 2;
  }
  if (opts.help) {
    fputs(agent_sim::usage_text(), stdout);
    return 0;
  }
  return agent_sim::serve(opts);
}
