// qm_jpmd, the messenger: reads the job's KEY=value arguments, writes the job report on
// standard output, and exits with the job's return code for a job end, otherwise with 0.
#include <malloc.h>

#include "qm7/messenger.h"

int main(int argc, char** argv) {
  // The run allocates little: one 66 KB message block and a few small records. Left to its
  // defaults, the allocator gives the network thread an arena of its own (reserving 64 MB of
  // address space in four system calls) and clears the message block byte by byte, touching
  // all of its 17 pages where a run uses two. One arena, and fresh zero pages from the system
  // for blocks of 64 KB and more, avoid both.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  pcx = &spcx;
  initialize_messenger(pcx);  // a failed signal set-up is traced and does not stop the run
  set_program_name(pcx, argc > 0 ? argv[0] : nullptr);

  if (is_version_request(argc, argv)) {
    print_version_line(pcx);
    return 0;
  }
  if (is_help_request(argc, argv)) {
    print_usage(pcx);
    return 0;
  }

  parse_arguments(pcx, argc, argv);
  print_job_report(pcx);
  // A closed standard output is told on standard error; the record is still sent.
  report_stdout_failure(pcx);

  // Connect, wait for the greeting, send the one record, wait for the answer, tear down.
  const bool delivered = run_agent_exchange(pcx) == 1;

  trace_end_of_run(pcx);
  report_stdout_failure(pcx);  // the trace lines since, unless already told
  return messenger_exit_code(pcx, delivered);
}
