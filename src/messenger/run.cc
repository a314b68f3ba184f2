// The steps that open and close every messenger run: the job report chosen by melder_type, the
// end-of-run trace line and the exit code. The exchange with the agent runs between them.
#include "qm7/messenger/run.h"

#include "qm7/messenger/report.h"
#include "qm7/runtime/trace.h"

int print_job_report(PCX* pcx) {
  switch (pcx->melder_type) {
    case 'O':
      return printOutputViewReport(pcx);
    case 'V':
      return printRegisteredVariable(pcx);
    default:
      return printMelder(pcx);
  }
}

void trace_end_of_run(const PCX* pcx) {
  // These lines belong to main's trace, so they carry its name.
  if (pcx->abnormal_end == 1) {
    QM7_TRACE("%s:      Program QM7 Messenger Version \"%s\" ended abnormally", "main",
              QM7_MESSENGER_VERSION);
  } else {
    QM7_TRACE("%s:      Program QM7 Messenger Version \"%s\" ended normally", "main",
              QM7_MESSENGER_VERSION);
  }
}

int messenger_exit_code(const PCX* pcx, bool delivered) {
  if (!delivered && pcx->undelivered_exit >= 0) return pcx->undelivered_exit;
  return pcx->melder_type == 'E' ? pcx->reti : 0;
}
