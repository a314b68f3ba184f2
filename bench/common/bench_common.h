// What every qm7 benchmark shares: medians of alternating runs against a reference measured in
// the same run, child processes timed with their peak resident size, and one line per goal in
// the format bench/run collects. A benchmark's exit status is 0 when all its goals are met,
// 3 when one is missed, 1 when it could not measure (a lost report, a failed exchange).
#ifndef QM7_BENCH_COMMON_H
#define QM7_BENCH_COMMON_H

#include <functional>
#include <string>
#include <vector>

namespace qm7::bench {

// The directory this program was started from ("." when it cannot be told): where bench/run
// and the build put the programs a benchmark measures.
std::string own_dir();

// Median of the samples; 0 for none.
double median(std::vector<double> samples);

// Runs `a` and `b` `rounds` times each, alternating and swapping which goes first every round so
// that neither always runs on a warmer or a busier machine. Each call returns one sample.
struct Paired {
  std::vector<double> a, b;
};
Paired alternate(int rounds, const std::function<double()>& a, const std::function<double()>& b);

// One finished child process: wall time from fork to reaped, peak resident set, exit status.
struct ChildRun {
  double wall_ms = 0;
  long max_rss_kb = 0;
  int exit_status = -1;  // -1 when it did not exit normally
};

// Starts argv[0] with argv (stdout to /dev/null unless keep_stdout; no descriptor beyond 2
// inherited), waits for it, and times it. Any thread may call; calls are serialised. The child
// is forked by the small helper qm7-bench-spawn beside the benchmark, because wait4's peak RSS
// also counts the process a child was forked from; so the figure is the child's own. Without
// the helper the child is forked from here (a note on standard error says so). A run that could
// not start has exit_status -1.
ChildRun run_child(const std::vector<std::string>& argv, bool keep_stdout = false);

// Prints a heading line for one benchmark.
void heading(const std::string& text);

enum class Goal { at_most, at_least };

// Prints one comparison line and returns whether the goal is met:
//   "  <what>: <figure> <unit> vs reference <reference> <unit>: ratio <r> (goal <= g): met"
// A goal ratio of 0 means there is no goal: the line shows the ratio only and counts as met.
bool compare(const std::string& what, double figure, double reference, const std::string& unit,
             Goal kind, double goal_ratio);

// Prints a figure that has no reference (a capacity, a count).
void figure(const std::string& what, double value, const std::string& unit);

}  // namespace qm7::bench

#endif
