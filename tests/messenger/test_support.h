// Helpers shared by the messenger tests: an argv built from strings, standard output captured
// around a call, and the built qm_jpmd run as a child process.
#ifndef QM7_TESTS_MESSENGER_TEST_SUPPORT_H_
#define QM7_TESTS_MESSENGER_TEST_SUPPORT_H_

#include <string>
#include <vector>

namespace qm7_test {

// An argv of writable copies of `args`, with "qm_jpmd" as argv[0] and a terminating null.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args);
  int argc() const { return static_cast<int>(args_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

// The lines of `text`, split at '\n'; a text ending in '\n' gives no empty last line.
std::vector<std::string> SplitLines(const std::string& text);

// `lines`, each followed by '\n'.
std::string JoinLines(const std::vector<std::string>& lines);

// Replaces what changes from run to run with fixed words: the date texts of the banner
// ("DD.MM.YYYY / hh:mm:ss"), the dt_xdat texts ("YYYYMMDD/hhmmss.mmm") and the thread
// identifier that begins a trace line ("TID").
std::string MaskVolatile(const std::string& text);

struct ProcessResult {
  std::string out;     // everything the program wrote on standard output
  int exit_code = -1;  // its exit status, or -1 when it did not exit normally
};

// Runs `program` with `args` (argv[0] is the program's path) and the environment TZ=UTC0,
// collecting standard output until the program ends; standard input is /dev/null.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// The built qm_jpmd.
inline std::string QmJpmdPath() { return std::string(QM7_BIN_DIR) + "/qm_jpmd"; }

}  // namespace qm7_test

#endif  // QM7_TESTS_MESSENGER_TEST_SUPPORT_H_
