// The job report on standard output: the framed banner of a job event, the line of an output
// file registration and the line of a variable registration. Every line goes through mprintf,
// so it shares one stream with the trace and is flushed at once. A standard output that could
// not take the report is told once on standard error.
#include "qm7/messenger/report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "printable.h"
#include "qm7/runtime/datetime.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr const char* kStars =
    "************************************************************************";

// Writes the text line of the banner, chosen by melder_type read as a signed character code.
void print_text_line(const PCX* pcx) {
  signed char type = static_cast<signed char>(pcx->melder_type);
  if (type < '0') {
    mprintf("**  TEXT=\"%-32s\"                           **", pcx->info_text);
  } else if (type == '0' || type == '1') {
    mprintf("**  %-20s : RETRY=%02i, WAIT=%02i                        **", "parameters",
            pcx->connect_retry, pcx->connect_wait);
  } else if (type == 'E') {
    mprintf("**  TEXT=\"%-32s\"  RETCODE=%02i               **", pcx->info_text, pcx->reti);
  } else {
    mprintf("**  TEXT=\"%-32s\"                           **", pcx->info_text);
  }
}

}  // namespace

int printMelder(PCX* pcx) {
  static const char* const kFn = "printMelder";
  QM7_TRACE("%s() -->", kFn);

  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  mprintf("%s", kStars);
  mprintf("**  %-10s version %-24s changelist %-8i **", pcx->program_name, QM7_MESSENGER_VERSION,
          kMessengerChangelist);

  char local[64];
  std::snprintf(local, sizeof(local), "%02i.%02i.%02i / %02i:%02i:%02i", dt.dt_tag, dt.dt_mon,
                dt.dt_jahr, dt.dt_std, dt.dt_min, dt.dt_sek);
  wPid = getppid();

  switch (pcx->melder_type) {
    case 'S':
      mprintf("**  JOB %08i (ProcID:%010i) START AT   %s **", pcx->jobnri, wPid, local);
      break;
    case 'E':
      mprintf("**  JOB %08i (ProcID:%010i) ENDED AT   %s **", pcx->jobnri, wPid, local);
      break;
    case '0':
      mprintf("**  SNOOZE-Message, TCP/IP = '%-15s' PNR=%i             **", pcx->ipAddr,
              pcx->portnri);
      break;
    case '1':
      mprintf("**  WAKEUP-Message, TCP/IP = '%-15s' PNR=%i             **", pcx->ipAddr,
              pcx->portnri);
      break;
    default:
      mprintf("**  JOB %08i (ProcID:%010i) RESTART AT %s **", pcx->jobnri, wPid, local);
      break;
  }

  mprintf("**                                   UTC TIME   %02i.%02i.%02i / %02i:%02i:%02i **",
          dt.utc_tag, dt.utc_mon, dt.utc_jahr, dt.utc_std, dt.utc_min, dt.utc_sek);
  print_text_line(pcx);
  mprintf("%s", kStars);

  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

int printOutputViewReport(PCX* pcx) {
  static const char* const kFn = "printOutputViewReport";
  QM7_TRACE("%s(filename=%s,login=%c) -->", kFn, pcx->output_file, pcx->output_login);
  if (pcx->output_file[0] == '\0') {
    QM7_TRACE("%s <-- (filename not defined)", kFn);
    return -1;
  }
  char now[32];
  GetDtChar2(nullptr, now, sizeof(now));
  mprintf("%s QM7 messenger '%s', login check '%c', registered output file '%s'\n", now,
          pcx->program_name, pcx->output_login, pcx->output_file);
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

int printRegisteredVariable(PCX* pcx) {
  static const char* const kFn = "printRegisteredVariable";
  QM7_TRACE("%s() -->", kFn);
  const char* value = pcx->var_value[0] != '\0' ? pcx->var_value : "NULL";
  const char* name = pcx->var_name[0] != '\0' ? pcx->var_name : "NULL";
  // The type goes in as a one-character string: a type byte of 0 then prints nothing (a %c
  // would put a NUL into the line and end it there), and any other byte prints as it is.
  const char type[2] = {pcx->var_type, '\0'};
  mprintf("Registered variable: '%s' %s=%s", type, name, value);
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

bool report_stdout_failure(PCX* pcx) {
  if (pcx->stdout_failed == 1) return true;
  // A write that failed earlier has left its error in errno and the stream's error flag; a
  // flush that fails now has the fresher error.
  int err = errno;
  if (std::fflush(stdout) != 0) {
    err = errno;
  } else if (!std::ferror(stdout)) {
    return false;
  }
  pcx->stdout_failed = 1;
  qm7::detail::tell_operator(pcx->program_name,
                             std::string("the report could not be written to standard output: ") +
                                 std::strerror(err != 0 ? err : EIO));
  return true;
}
