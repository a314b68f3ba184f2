// qm_jpmd, the messenger: reads the job's KEY=value arguments, writes the job report on
// standard output, and exits with the job's return code for a job end, otherwise with 0.
#include "qm7/messenger.h"

int main(int argc, char** argv) {
  pcx = &spcx;
  initialize_messenger(pcx);  // a failed SIGUSR1 set-up is traced and does not stop the run
  set_program_name(pcx, argc > 0 ? argv[0] : nullptr);

  if (is_version_request(argc, argv)) {
    print_version_line(pcx);
    return 0;
  }

  parse_arguments(pcx, argc, argv);
  print_job_report(pcx);

  // Connect, wait for the greeting, send the one record, wait for the answer, tear down.
  run_agent_exchange(pcx);

  trace_end_of_run(pcx);
  return messenger_exit_code(pcx);
}
