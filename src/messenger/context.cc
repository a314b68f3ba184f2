// The messenger's context record: the globals of the run, the defaults and the SIGUSR1 and
// SIGPIPE set-up of initialize_messenger, the program name and the "-V" version switch.
#include "qm7/messenger/context.h"

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

PCX spcx;
PCX* pcx = nullptr;

ccm_context_t* ccm = nullptr;
ccm_msg_t* ccmmsg = nullptr;
int ccmID = 0;

pid_t wPid = 0;

void signal_handler_common(int /*signalID*/) {}

int initialize_messenger(PCX* pcx) {
  static const char* const kFn = "initialize_messenger";

  // PCX is trivially copyable, so clearing the bytes (padding included) is well defined.
  std::memset(static_cast<void*>(pcx), 0, sizeof(*pcx));
  pcx->running_mode = kMessengerRunningMode;
  pcx->status = 'R';
  pcx->melder_type = 'U';
  pcx->IoTimeOut = 60;
  pcx->connect_retry = 3;
  pcx->connect_wait = 120;
  pcx->output_login = 'N';

  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = signal_handler_common;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  // SIGPIPE is caught rather than ignored: a write to a closed standard output then fails with
  // EPIPE instead of ending the run before the agent has the record, and the commands that CMD
  // starts through the shell still begin with the default action (exec resets a caught signal,
  // but would pass an ignored one on).
  for (int signal_id : {SIGPIPE, SIGUSR1}) {
    if (sigaction(signal_id, &action, nullptr) != 0) {
      int err = errno;
      QM7_TRACE("%s <-- (sigaction(%d) error %d-%s)", kFn, signal_id, err, strerror(err));
      return -1;
    }
  }

  sigset_t set;
  sigemptyset(&set);
  if (sigaddset(&set, SIGUSR1) != 0) {
    int err = errno;
    QM7_TRACE("%s <-- (sigaddset(%d) error %d-%s)", kFn, SIGUSR1, err, strerror(err));
    return -1;
  }

  // pthread_sigmask reports its error as the result, not through errno. Threads created later
  // inherit the mask.
  int rc = pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  if (rc != 0) {
    QM7_TRACE("%s <-- (sigprocmask(SIG_SETMASK,...) error %d-%s)", kFn, rc, strerror(rc));
    return -1;
  }
  return 0;
}

void set_program_name(PCX* pcx, const char* argv0) {
  if (argv0 == nullptr) {
    StringCopy(pcx->program_name, sizeof(pcx->program_name), "qm_jpmd");
    return;
  }
  // GetPName only returns a pointer into its argument; it never writes through it.
  StringCopy(pcx->program_name, sizeof(pcx->program_name), GetPName(const_cast<char*>(argv0)));
}

bool is_version_request(int argc, char** argv) {
  return argc == 2 && argv != nullptr && argv[1] != nullptr && std::strcmp(argv[1], "-V") == 0;
}

void print_version_line(const PCX* pcx) {
  mprintf("QM7 Agent \"%s\" version %s, changelist '%i'", pcx->program_name, QM7_MESSENGER_VERSION,
          kMessengerChangelist);
}
