// The steps of a messenger run around the exchange with the agent: the job report that opens
// it, and the end-of-run trace line and exit code that close it. Main thread only.
#ifndef QM7_MESSENGER_RUN_H_
#define QM7_MESSENGER_RUN_H_

#include "qm7/messenger/context.h"

// Writes the report that melder_type selects: printOutputViewReport for 'O',
// printRegisteredVariable for 'V', printMelder otherwise. Returns that function's result.
int print_job_report(PCX* pcx);

// Traces (as "main") whether the run ended normally or, when abnormal_end is 1, abnormally.
void trace_end_of_run(const PCX* pcx);

// The exit code of the run: undelivered_exit (FAILRET) when it is set and the report was not
// `delivered`; otherwise reti for a job-end report (melder_type 'E'), else 0.
int messenger_exit_code(const PCX* pcx, bool delivered);

#endif  // QM7_MESSENGER_RUN_H_
