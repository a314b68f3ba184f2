// qm7-agent-sim: a stand-in for the QM7 agent that qm_jpmd reports to. It prints one line per
// report so a job author can check what a job script sends, and can misbehave on purpose so the
// script's handling of an unreachable or silent agent can be rehearsed. Here the process is set
// up before the serving loop starts: the stop signals, the descriptor limit and with it the
// number of connections, the heap's handling of long frames, and the notes on standard error with
// the channel manager's logger.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "notes.h"
#include "options.h"
#include "qm7/messenger/context.h"
#include "qm7/runtime/trace.h"
#include "server.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

// Descriptors kept for everything but connections: standard streams, the wake-up pipes, the
// listening socket, the port file, and the accept in progress.
constexpr rlim_t kReservedDescriptors = 32;
// The channel manager's descriptor sets hold descriptors below 65 536; more are of no use.
constexpr rlim_t kMaxDescriptors = 65536;

void catch_signals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_stop_signal;  // no SA_RESTART: the signal ends the receive wait
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A messenger that closes before its answer is written must not end the simulator, nor a
  // standard error whose reader has gone.
  signal(SIGPIPE, SIG_IGN);
}

// Raises the soft descriptor limit to the hard one (at most what the descriptor sets hold) and
// returns how many connections fit under it.
size_t connection_capacity() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return SIZE_MAX;
  const rlim_t want =
      rl.rlim_max == RLIM_INFINITY || rl.rlim_max > kMaxDescriptors ? kMaxDescriptors : rl.rlim_max;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur < want) {
    rl.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) getrlimit(RLIMIT_NOFILE, &rl);
  }
  const rlim_t limit = rl.rlim_cur == RLIM_INFINITY ? kMaxDescriptors : rl.rlim_cur;
  return limit > kReservedDescriptors * 2 ? static_cast<size_t>(limit - kReservedDescriptors)
                                          : static_cast<size_t>(limit / 2);
}

// Long frames get mappings of their own, given back to the system when they go. By default the
// C library raises the size it maps at to the largest block freed so far, so after a few long
// frames it carves later ones from its heap, which keeps their pages resident once they are
// freed: 120 peers holding frames still arriving left about 12 MiB more resident that way.
void map_long_frames() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

}  // namespace

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
  if (opts.version) {
    printf(QM7_VERSION_LINE_FORMAT "\n", "qm7-agent-sim", QM7_MESSENGER_VERSION,
           kMessengerChangelist);
    return 0;
  }
  catch_signals();
  map_long_frames();
  trcFlag = opts.trace;
  // Standard output carries the simulator's own lines only: the channel manager's log entries,
  // which a peer can provoke at will, become limited notes. Installed before any thread starts.
  static agent_sim::note_writer notes(STDERR_FILENO);
  static agent_sim::library_log log(&notes, opts.verbose, agent_sim::kLogEntriesPerSecond, 1000);
  agent_sim::install_library_logger(&log);
  return agent_sim::serve(opts, {connection_capacity(), &g_stop, &notes, &log});
}
