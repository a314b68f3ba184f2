// Each messenger reports a job end with return code 3, so it must exit with 3; its standard
// output (the job banner) is dropped and its standard error, which stays empty when the report
// reached the agent, is collected in one file for all of them.
#include "messengers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "sim_process.h"

namespace agent_bench {

constexpr int kReturnCode = 3;

messengers_result run_messengers(const std::string& bin, int count, int first_job) {
  messengers_result r;
  sim_process sim(bin + "/qm7-agent-sim", count);
  if (sim.port() == 0) {
    r.why = "qm7-agent-sim did not start";
    return r;
  }
  char err_path[] = "/tmp/qm7-bench-agent-err-XXXXXX";
  const int err_fd = mkostemp(err_path, O_CLOEXEC | O_APPEND);
  if (err_fd < 0) {
    r.why = "no file for the messengers' standard error";
    return r;
  }
  unlink(err_path);
  const std::string program = bin + "/qm_jpmd";
  const std::string pnr = "PNR=" + std::to_string(sim.port());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);

  std::vector<pid_t> pids;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> args = {program,
                                     "TYP=E",
                                     "TXT=bench",
                                     "RET=" + std::to_string(kReturnCode),
                                     "JNR=" + std::to_string(first_job + i),
                                     "IPA=127.0.0.1",
                                     pnr,
                                     "TIMEOUT=30",
                                     "WAIT=1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
      pids.push_back(pid);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  int wrong_exit = 0;
  for (pid_t pid : pids) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != kReturnCode) ++wrong_exit;
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  char text[512];
  const ssize_t n = pread(err_fd, text, sizeof(text) - 1, 0);
  close(err_fd);
  std::string sim_why;
  const bool sim_ok = sim.finish_and_check(first_job, 10, &sim_why);
  if (static_cast<int>(pids.size()) != count) {
    r.why = std::to_string(count - static_cast<int>(pids.size())) + " messengers did not start";
  } else if (wrong_exit > 0) {
    r.why = std::to_string(wrong_exit) + " messengers did not exit with the job's return code";
  } else if (n > 0) {
    text[n] = '\0';
    r.why = std::string("a messenger wrote on standard error: ") + text;
    r.why = r.why.substr(0, r.why.find('\n'));
  } else if (!sim_ok) {
    r.why = sim_why;
  }
  r.ok = r.why.empty();
  return r;
}

}  // namespace agent_bench
