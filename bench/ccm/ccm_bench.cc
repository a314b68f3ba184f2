// qm7-bench-ccm: channel manager throughput. NAT messages of 276 bytes (the messenger's report
// record) and of 100 000 bytes go from one context to another over 127.0.0.1; the reference
// is a raw blocking-socket sender and receiver with the same framing in the same process.
// Two shapes of traffic: windowed (at most 64 messages in flight, as a host that waits for its
// answers sends) and a burst (5 000 messages sent as fast as they can be allocated, as a host
// with a backlog sends; every body checked byte for byte). Rounds alternate between the two
// sides; the figures are medians of messages per second and body megabytes (10^6 bytes) per
// second from the first send to the last receive, with CPU time and page faults per message.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "pairs.h"

namespace {

using namespace qm7::bench;
using namespace qm7::bench::ccm;

struct Load {
  size_t body_len;
  unsigned count;        // messages per round, sized for about 0.2 to 0.5 s on the channel manager
  unsigned quick_count;  // messages per round with --quick
  double goal;           // ratio to the reference the channel manager should reach
  long window;           // messages in flight at most; 0 for a burst
  double cpu_goal;       // CPU time per message at most this ratio to the reference; 0: none
  double fault_goal;     // page faults per message at most
};

// In flight at most: the 64 standard messages the pool keeps, so that a steady stream is
// served from the pool on both sides, as a host that waits for its answers would be.
constexpr long kWindow = 64;
constexpr unsigned kFullCheckEvery = 64;  // windowed rounds check every 64th body byte for byte

// Runs one load; returns 0 (goals met), 3 (missed) or 1 (could not measure).
enum class Side { both, ccm, raw };

// Process CPU time and minor page faults; only the round's own threads run meanwhile.
struct Usage {
  double cpu_us = 0;
  long faults = 0;
};

Usage usage_now() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  auto us = [](const struct timeval& tv) { return tv.tv_sec * 1e6 + tv.tv_usec; };
  return {us(ru.ru_utime) + us(ru.ru_stime), ru.ru_minflt};
}

// Per-message costs of the rounds of one side.
struct Cost {
  std::vector<double> cpu_us, faults;
  void add(const Usage& before, const Usage& after, unsigned count) {
    cpu_us.push_back((after.cpu_us - before.cpu_us) / count);
    faults.push_back(static_cast<double>(after.faults - before.faults) / count);
  }
};

int run_load(CcmPair& ccm, RawPair& raw, const Load& load, int rounds, bool quick, Side only) {
  const unsigned count = quick ? load.quick_count : load.count;
  char title[160];
  std::snprintf(title, sizeof title,
                "channel manager throughput: %zu-byte NAT messages, %s %u per round, %d "
                "alternating rounds (median)",
                load.body_len, load.window > 0 ? "windowed," : "burst,", count, rounds);
  const unsigned full_every = load.window > 0 ? kFullCheckEvery : 1;
  heading(title);

  std::string failure;
  Cost ccm_cost, raw_cost;
  std::vector<double> ccm_send_us, raw_send_us;
  auto run_ccm = [&]() -> double {
    const Usage before = usage_now();
    RoundResult r = ccm.round(count, load.body_len, load.window, full_every);
    ccm_cost.add(before, usage_now(), count);
    ccm_send_us.push_back(r.send_seconds * 1e6 / count);
    if (!r.failure.empty() && failure.empty()) failure = "channel manager: " + r.failure;
    return r.seconds;
  };
  auto run_raw = [&]() -> double {
    const Usage before = usage_now();
    RoundResult r = raw.round(count, load.body_len, full_every);
    raw_cost.add(before, usage_now(), count);
    raw_send_us.push_back(r.send_seconds * 1e6 / count);
    if (!r.failure.empty() && failure.empty()) failure = "raw sockets: " + r.failure;
    return r.seconds;
  };
  // Untimed first: each pool holds as many messages at once as a round can queue (the window,
  // or a whole burst), then one round each, so the receive buffers have grown. The figures are
  // those of a steady stream or a repeated burst: a burst whose backlog reaches a depth the pools
  // never held touches each block it adds for the first time, as often as the scheduler lets the
  // sender run ahead, and would count those first touches instead of blocks faulted in again.
  if (const std::string err = ccm.hold(load.window > 0 ? load.window : count, load.body_len);
      !err.empty()) {
    std::printf("  could not measure: channel manager: %s\n", err.c_str());
    return 1;
  }
  run_ccm();
  run_raw();
  if (only != Side::both) {
    // Profiling one side: its rounds only, and no comparison.
    std::vector<double> s;
    for (int i = 0; i < rounds; ++i) s.push_back(only == Side::ccm ? run_ccm() : run_raw());
    if (!failure.empty()) {
      std::printf("  could not measure: %s\n", failure.c_str());
      return 1;
    }
    figure(std::to_string(load.body_len) + " bytes, " + (load.window > 0 ? "" : "burst, ") +
               (only == Side::ccm ? "ccm" : "raw") + " messages/s",
           count / median(s), "msg/s");
    return 0;
  }
  Paired p = alternate(rounds, run_ccm, run_raw);
  if (!failure.empty()) {
    std::printf("  could not measure: %s\n", failure.c_str());
    return 1;
  }
  const double ccm_s = median(p.a);
  const double raw_s = median(p.b);
  if (ccm_s <= 0 || raw_s <= 0) {
    std::printf("  could not measure: a round took no time\n");
    return 1;
  }
  const double ccm_rate = count / ccm_s;
  const double raw_rate = count / raw_s;
  const double mb = static_cast<double>(load.body_len) / 1e6;
  const std::string what =
      std::to_string(load.body_len) + " bytes" + (load.window > 0 ? "" : " burst");
  bool met = compare(what + ", messages/s", ccm_rate, raw_rate, "msg/s", Goal::at_least, load.goal);
  met = compare(what + ", MB/s", ccm_rate * mb, raw_rate * mb, "MB/s", Goal::at_least, load.goal) &&
        met;
  // Where the time goes, in figures that depend little on how busy the machine is.
  met = compare(what + ", CPU time per message (all threads)", median(ccm_cost.cpu_us),
                median(raw_cost.cpu_us), "us", Goal::at_most, load.cpu_goal) &&
        met;
  const double faults = median(ccm_cost.faults);
  const bool faults_met = faults <= load.fault_goal;
  std::printf("  %s, page faults per message: %.2f vs reference %.2f (goal <= %.2f): %s\n",
              what.c_str(), faults, median(raw_cost.faults), load.fault_goal,
              faults_met ? "met" : "NOT MET");
  if (load.window <= 0) {
    std::printf("  %s, sending loop per message: %.3f us vs reference %.3f us\n", what.c_str(),
                median(ccm_send_us), median(raw_send_us));
  }
  return met && faults_met ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  Side only = Side::both;
  size_t only_len = 0;
  bool only_burst = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 2 < argc) {
      // --only ccm|raw 276|burst|100000: one side and one load, for profiling.
      only = std::strcmp(argv[i + 1], "raw") == 0 ? Side::raw : Side::ccm;
      only_burst = std::strcmp(argv[i + 2], "burst") == 0;
      only_len = only_burst ? 276 : std::strtoul(argv[i + 2], nullptr, 10);
      i += 2;
    } else if (std::strcmp(argv[i], "--bin") == 0 && i + 1 < argc) {
      ++i;  // this benchmark starts no programs
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--bin DIR] [--only ccm|raw 276|burst|100000]\n",
                   argv[0]);
      return 1;
    }
  }
  const int rounds = quick ? 2 : 7;
  const std::vector<Load> loads = {{276, 20000, 1000, 0.60, kWindow, 1.3, 0.05},
                                   {276, 5000, 500, 0.60, 0, 1.3, 0.05},
                                   {100000, 800, 50, 1.00, kWindow, 0, 2}};

  int status = 0;
  for (const Load& load : loads) {
    if (only != Side::both && (load.body_len != only_len || (load.window <= 0) != only_burst))
      continue;
    CcmPair ccm;
    RawPair raw;
    std::string err = ccm.open();
    if (err.empty()) err = raw.open();
    if (!err.empty()) {
      std::printf("  could not measure: %s\n", err.c_str());
      return 1;
    }
    const int rc = run_load(ccm, raw, load, rounds, quick, only);
    if (rc == 1) return 1;
    if (rc == 3) status = 3;
  }
  return quick ? 0 : status;
}
