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
  pcx->undelivered_exit = -1;

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

namespace {

bool is_single_argument(int argc, char** argv, const char* a, const char* b) {
  return argc == 2 && argv != nullptr && argv[1] != nullptr &&
         (std::strcmp(argv[1], a) == 0 || std::strcmp(argv[1], b) == 0);
}

}  // namespace

bool is_version_request(int argc, char** argv) {
  return is_single_argument(argc, argv, "-V", "--version");
}

bool is_help_request(int argc, char** argv) {
  return is_single_argument(argc, argv, "-h", "--help");
}

void print_usage(const PCX* pcx) {
  const char* name = pcx->program_name;
  mprintf(
      "Usage: %s KEY=value ...\n"
      "       %s -V | --version\n"
      "       %s -h | --help\n"
      "Reports a batch job's state, an output file or a variable to the QM7 agent, or runs a\n"
      "command with encrypted tokens. Keys are case-free; a value is all behind the first '='.\n"
      "\n"
      "  TYP=S|E|0|1|O|V    job start, job end, snooze, wake-up, output file, variable;\n"
      "                     anything else a job restart (the default)\n"
      "  JNR=N  MNR=N       job number, client number\n"
      "  TXT=TEXT           text of the job message, at most 63 characters\n"
      "  RET=N              return code of the job; for TYP=E also the exit code\n"
      "  IPA=HOST  PNR=PORT address and TCP port of the agent\n"
      "  RETRY=N            connection attempts (default 3, at most 100)\n"
      "  WAIT=SECONDS       pause between two attempts (default 120, at most 600)\n"
      "  TIMEOUT=SECONDS    wait for each answer (default 60, at most 600; NONE: no answer)\n"
      "  FAILRET=N          exit code when the report was not delivered (0 to 255)\n"
      "  OUTFILE=PATH       output file to register (TYP=O); ULOGIN=Y: check the login\n"
      "  NAME=  VALUE=  VTYPE=  variable to register (TYP=V)\n"
      "  CMD=COMMAND        run COMMAND after decrypting its tokens, instead of reporting\n"
      "  TRC=N              trace lines on standard output\n"
      "\n"
      "See qm_jpmd(1).",
      name, name, name);
}

void print_version_line(const PCX* pcx) {
  mprintf(QM7_VERSION_LINE_FORMAT, pcx->program_name, QM7_MESSENGER_VERSION, kMessengerChangelist);
}
