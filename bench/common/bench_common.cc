// Shared measurement and reporting for the qm7 benchmarks.
#include "bench_common.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace qm7::bench {

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

Paired alternate(int rounds, const std::function<double()>& a, const std::function<double()>& b) {
  Paired out;
  for (int i = 0; i < rounds; ++i) {
    if (i % 2 == 0) {
      out.a.push_back(a());
      out.b.push_back(b());
    } else {
      out.b.push_back(b());
      out.a.push_back(a());
    }
  }
  return out;
}

ChildRun run_child(const std::vector<std::string>& argv, bool keep_stdout) {
  std::vector<char*> args;
  std::vector<std::string> copy = argv;
  for (auto& s : copy) args.push_back(s.data());
  args.push_back(nullptr);
  ChildRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    if (!keep_stdout) {
      const int null_fd = open("/dev/null", O_WRONLY);
      if (null_fd >= 0) dup2(null_fd, 1);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
  }
  run.wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  run.max_rss_kb = usage.ru_maxrss;
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

void heading(const std::string& text) { printf("== %s\n", text.c_str()); }

bool compare(const std::string& what, double figure, double reference, const std::string& unit,
             Goal kind, double goal_ratio) {
  const double ratio = reference > 0 ? figure / reference : 0;
  bool met = true;
  char goal[48] = "no goal";
  if (goal_ratio > 0) {
    met = kind == Goal::at_most ? ratio <= goal_ratio : ratio >= goal_ratio;
    snprintf(goal, sizeof(goal), "goal %s %.2f", kind == Goal::at_most ? "<=" : ">=", goal_ratio);
  }
  printf("  %s: %.3f %s vs reference %.3f %s: ratio %.2f (%s): %s\n", what.c_str(), figure,
         unit.c_str(), reference, unit.c_str(), ratio, goal, met ? "met" : "NOT MET");
  fflush(stdout);
  return met;
}

void figure(const std::string& what, double value, const std::string& unit) {
  printf("  %s: %.3f %s\n", what.c_str(), value, unit.c_str());
  fflush(stdout);
}

}  // namespace qm7::bench
