// The request and reply between run_child (bench_common.cc) and qm7-bench-spawn, which both
// sides build from the same sources on the same host, so the reply travels as a plain struct.
#ifndef QM7_BENCH_SPAWN_PROTOCOL_H
#define QM7_BENCH_SPAWN_PROTOCOL_H

#include <cstdint>

namespace qm7::bench {

inline constexpr int kSpawnMaxArgs = 256;
inline constexpr uint32_t kSpawnMaxRequest = 64 * 1024;
inline constexpr unsigned kSpawnLimitSeconds = 120;  // then the program is killed

struct spawn_reply {
  double wall_ms;   // from fork to reaped, measured by the spawner
  long max_rss_kb;  // the child's peak resident set (wait4)
  int exit_status;  // exit status, -1 when it did not exit normally
  int started;      // 0 when the request was unusable or fork failed
};

}  // namespace qm7::bench

#endif
