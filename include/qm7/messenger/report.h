// The job report that the messenger writes on standard output before it contacts the agent:
// a framed banner for job events, one line for an output file or a variable. Main thread only.
#ifndef QM7_MESSENGER_REPORT_H_
#define QM7_MESSENGER_REPORT_H_

#include "qm7/messenger/context.h"

// Writes the framed banner of 72-character lines for a job event (start, end, snooze, wake-up,
// restart) chosen by melder_type, and sets wPid to the parent's process ID. Longer values
// widen their line; nothing is cut. Returns 0.
int printMelder(PCX* pcx);

// Writes the line that registers output_file, followed by an empty line. Returns 0, or -1
// with nothing written when output_file is empty.
int printOutputViewReport(PCX* pcx);

// Writes "Registered variable: '<type>' <name>=<value>", "NULL" standing for an empty name or
// value. A type byte of 0 leaves the quotes empty. Returns 0.
int printRegisteredVariable(PCX* pcx);

// Flushes standard output and, the first time the flush or an earlier write to it has failed,
// writes "<program_name>: the report could not be written to standard output: <reason>" on
// standard error and sets stdout_failed. Returns true when standard output has failed.
bool report_stdout_failure(PCX* pcx);

#endif  // QM7_MESSENGER_REPORT_H_
