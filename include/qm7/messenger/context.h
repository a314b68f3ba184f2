// The messenger's run state: the one context record PCX, its defaults and signal set-up, the
// program name, the version switch and the reading of the KEY=value command line. Everything
// here runs on the main thread before any other thread exists.
#ifndef QM7_MESSENGER_CONTEXT_H_
#define QM7_MESSENGER_CONTEXT_H_

#include <sys/types.h>

#include <cstdint>

#include "qm7/ccm/host.h"
#include "qm7/runtime/trace.h"

// Version of the messenger, shown by "-V", in the job report and in the end-of-run trace line.
#define QM7_MESSENGER_VERSION "12.2.0+build.2108"
inline constexpr int kMessengerVersionMajor = 12;
inline constexpr int kMessengerVersionMinor = 2;
inline constexpr int kMessengerVersionPatch = 0;
inline constexpr int kMessengerChangelist = 1530016094;
// The version line of every program of the suite, with the program's name, QM7_MESSENGER_VERSION
// and kMessengerChangelist (a literal, so that the compiler checks the arguments).
#define QM7_VERSION_LINE_FORMAT "QM7 Agent \"%s\" version %s, changelist '%i'"

// Running mode of the messenger for the channel manager: none of agent (0), listener (1) or
// file transfer (2).
inline constexpr int kMessengerRunningMode = 3;

// The messenger's single run-state record. The channel manager's view of it (running_mode, ccm)
// is the base record, so the channel manager can read it without this header. Filled by
// initialize_messenger (defaults), main (program_name) and parse_arguments (arguments); the run
// sequence later writes agentID, abnormal_end and stdout_failed only.
typedef struct __messenger_context : ccm_host_context_t {
  char eyec[8];            // eye-catcher; left all zero
  int agentID;             // channel ID of the agent's connection; 0 while not connected
  int abnormal_end;        // 1 when the run ended abnormally
  int stdout_failed;       // 1 once a failed standard output was told on standard error
  char program_name[256];  // argv[0] behind its last '/'
  char ipAddr[64];         // IPA: host name or address of the agent
  char melder_type;        // TYP: kind of report ('S', 'E', '0', '1', 'O', 'V'; others: restart)
  char status;             // 'E' for a job end, otherwise 'R'
  char output_login;       // ULOGIN: 'Y' or 'N'
  char output_file[1024];  // OUTFILE: path of the output file to register
  int connect_retry;       // RETRY: number of connection attempts
  int connect_wait;        // WAIT: seconds between two connection attempts, never negative
  int IoTimeOut;           // TIMEOUT: seconds to wait for each answer of the agent
  char info_text[64];      // TXT: text of the job message
  char var_name[256];      // NAME: name of the registered variable, at most 200 characters
  char filler1;            // terminator behind var_name
  char var_value[1024];    // VALUE: value of the registered variable
  char filler2;            // terminator behind var_value
  char var_type;           // VTYPE: type letter of the registered variable; 0 when not given
  int jobnri;              // JNR: job number
  int portnri;             // PNR: TCP port of the agent
  int reti;                // RET: return code of the job
  int16_t client;          // MNR: client number
  char pCmdBuffer[8192];   // CMD: command line to execute
  int undelivered_exit;    // FAILRET: exit code when the report was not delivered; -1: none
} PCX;

// The record and the pointer through which every part of the program reaches it. main points
// pcx at spcx before anything else runs.
extern PCX spcx;
extern PCX* pcx;

// Channel manager state of the run: its context, the message last received, and the result of
// the last connect. Used by the main thread only.
extern ccm_context_t* ccm;
extern ccm_msg_t* ccmmsg;
extern int ccmID;

// Parent process ID shown in the job report; set by printMelder.
extern pid_t wPid;

// Sets every byte of `pcx` to zero, then the defaults (running_mode 3, status 'R', melder_type
// 'U', IoTimeOut 60, connect_retry 3, connect_wait 120, output_login 'N', undelivered_exit -1
// (no FAILRET)), installs
// signal_handler_common for SIGPIPE and SIGUSR1 and unblocks SIGUSR1 in the calling thread.
// Returns 0, or -1 (traced) when the signal set-up failed; the defaults are set either way.
int initialize_messenger(PCX* pcx);

// Handler for SIGUSR1 and SIGPIPE. Does nothing: SIGUSR1 only interrupts a blocking call, and a
// write to a pipe without reader fails with EPIPE instead of ending the process.
void signal_handler_common(int signalID);

// Stores the program name, argv[0] behind its last '/' and cut to 255 characters, into
// program_name. A null argv0 (a process started with an empty argument list) gives "qm_jpmd".
void set_program_name(PCX* pcx, const char* argv0);

// True when the command line is exactly one argument "-V" or "--version" (case matters).
bool is_version_request(int argc, char** argv);

// True when the command line is exactly one argument "-h" or "--help".
bool is_help_request(int argc, char** argv);

// Writes the usage text (synopsis and keys) on standard output.
void print_usage(const PCX* pcx);

// Writes the version line "QM7 Agent "<program_name>" version <version>, changelist '<n>'".
void print_version_line(const PCX* pcx);

// Reads argv[1] to argv[argc - 1], KEY=value each, into `pcx`. Keys are case-free; unknown keys
// are skipped, over-long values cut, non-numeric numbers read as 0, RETRY cut to 100 and WAIT
// to 0..600; each argument not taken as given gets one line on standard error naming it and the
// value used. Sets trcFlag from TRC. CMD runs the command at once (processCmd) and exits with 0
// or 1; a command longer than pCmdBuffer holds is not run (exit 1). Returns 0.
int parse_arguments(PCX* pcx, int argc, char** argv);

#endif  // QM7_MESSENGER_CONTEXT_H_
