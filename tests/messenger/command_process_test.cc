// The CMD argument through the real qm_jpmd binary, and the qm7-token tool: tokens replaced in
// the command the shell runs, exit codes 0 and 1, and the decrypted text kept off standard
// output also with tracing on.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qm7/messenger/command.h"
#include "qm7/runtime/maxim.h"

namespace {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string read_all(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) s.append(buf, static_cast<size_t>(n));
  }
  return s;
}

// Runs `program` with `args` (no shell in between), feeding `input` to its standard input.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input = "") {
  int in[2], out[2], err[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty()) {
    signal(SIGPIPE, SIG_IGN);  // a child that exits without reading must not end the test
    EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
  }
  close(in[1]);
  RunResult r;
  r.out = read_all(out[0]);  // stderr output is small: it fits the pipe meanwhile
  r.err = read_all(err[0]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

const std::string kJpmd = QM7_BIN_DIR "/qm_jpmd";
const std::string kTool = QM7_BIN_DIR "/qm7-token";

std::string token(const std::string& value, bool dashes = true) {
  std::vector<char> buf(4 + 16 * (value.size() / 8 + 1) + 1);
  ZUSTRNG_EnMaxim2(buf.data(), value.c_str(), kCmdTokenKey);
  std::string t(buf.data());
  if (dashes) t[0] = t[1] = '-';
  return t;
}

class CmdProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qm7_cmd_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    file_ = dir_ + "/out";
  }
  void TearDown() override {
    unlink(file_.c_str());
    rmdir(dir_.c_str());
  }
  std::string file() {
    std::ifstream f(file_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Runs qm_jpmd with CMD=<cmd> (the command's output goes into the file) and extra arguments.
  RunResult jpmd(const std::string& cmd, std::vector<std::string> before = {}) {
    unlink(file_.c_str());
    before.push_back("CMD=" + cmd);
    return run(kJpmd, before);
  }
  std::string to_file() { return " > " + file_; }

  std::string dir_, file_;
};

TEST_F(CmdProcess, TokensAreReplacedWhereverTheyEnd) {
  std::string pw = token("Secr3t pass");
  RunResult r = jpmd("printf '[%s]' '" + pw + "/db' " + pw + " x" + to_file());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(file(), "[Secr3t pass/db][Secr3t][pass][x]");

  // Both markers in one command; lower-case digits decrypt too.
  std::string user = token("alice", false);
  std::string lower = token("pw-2");
  for (std::size_t i = 4; i < lower.size(); i++)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  r = jpmd("printf '%s' " + user + ":" + lower + "@host" + to_file());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file(), "alice:pw-2@host");
}

TEST_F(CmdProcess, NonTokensAndBareMarkers) {
  RunResult r = jpmd("printf '%s' --10ab" + to_file());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file(), "--10AB");

  // A bare marker first vanishes, and later in the command too, also after a real token.
  r = jpmd("--10 printf '[%s]' a --10 " + token("k") + " --10 b" + to_file());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(file(), "[a][k][b]");
}

TEST_F(CmdProcess, ExitCodes) {
  EXPECT_EQ(jpmd("exit 3").exit_code, 1);
  EXPECT_EQ(jpmd("true").exit_code, 0);
  EXPECT_EQ(jpmd("").exit_code, 0);  // the shell runs an empty command
  EXPECT_EQ(jpmd("/nonexistent/program").exit_code, 1);
  // Later arguments are never read: no report, no connection, and RET does not count.
  RunResult r = run(kJpmd, {"TYP=E", "CMD=exit 0", "RET=7", "IPA=127.0.0.1", "PNR=1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(CmdProcess, DecryptedTextNeverReachesStandardOutput) {
  const std::string secret = "TopSecret-4711";
  std::string pw = token(secret);
  RunResult r = jpmd("printf '%s' " + pw + to_file(), {"TRC=1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file(), secret);
  EXPECT_NE(r.out.find("processCmd(cmd=printf '%s' " + pw), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("processCmd <-- (result=0)"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;

  // A failing command: still nothing of the secret, result traced.
  r = jpmd("exit 2; echo " + pw, {"TRC=1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
}

TEST_F(CmdProcess, TokenToolRoundTripsThroughTheMessenger) {
  RunResult t = run(kTool, {"p@ss word;$x"});
  ASSERT_EQ(t.exit_code, 0) << t.err;
  ASSERT_EQ(t.out.back(), '\n');
  std::string tok = t.out.substr(0, t.out.size() - 1);
  ASSERT_EQ(tok.size(), 4u + 32u);
  EXPECT_EQ(tok.substr(0, 4), "--10");
  EXPECT_EQ(tok.find_first_not_of("0123456789ABCDEF", 4), std::string::npos);

  // The shell sees the decrypted value: quoted, its blank, ";" and "$" stay as they are.
  RunResult r = jpmd("printf '%s' '" + tok + "'" + to_file());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file(), "p@ss word;$x");

  RunResult d = run(kTool, {"--decrypt", tok});
  EXPECT_EQ(d.exit_code, 0);
  EXPECT_EQ(d.out, "p@ss word;$x\n");
}

TEST(TokenTool, ReadsStandardInputAndChecksTokens) {
  // From a pipe: the first line, without its line end.
  RunResult t = run(kTool, {}, "from stdin\nsecond line\n");
  ASSERT_EQ(t.exit_code, 0) << t.err;
  RunResult d = run(kTool, {"--decrypt", t.out.substr(0, t.out.size() - 1)});
  EXPECT_EQ(d.out, "from stdin\n");
  t = run(kTool, {}, "crlf\r\n");
  d = run(kTool, {"--decrypt", t.out.substr(0, t.out.size() - 1)});
  EXPECT_EQ(d.out, "crlf\n");
  EXPECT_EQ(run(kTool, {}, "").exit_code, 2);  // nothing to read

  // Values that begin with "-" come after "--"; the empty value is a 20-character token.
  t = run(kTool, {"--", "-dash"});
  ASSERT_EQ(t.exit_code, 0);
  EXPECT_EQ(run(kTool, {"--decrypt", t.out.substr(0, t.out.size() - 1)}).out, "-dash\n");
  t = run(kTool, {""});
  EXPECT_EQ(t.out.size(), 21u);
  EXPECT_EQ(run(kTool, {"-x"}).exit_code, 2);
  EXPECT_EQ(run(kTool, {"a", "b"}).exit_code, 2);

  // The longest value a token carries, and one byte more.
  EXPECT_EQ(run(kTool, {std::string(kCmdTokenMaxValue, 'v')}).exit_code, 0);
  EXPECT_EQ(run(kTool, {std::string(kCmdTokenMaxValue + 1, 'v')}).exit_code, 2);

  // Lower-case digits and the 0xAD marker are accepted like the messenger accepts them.
  std::string tok = token("mixed");
  std::string lower = tok;
  for (std::size_t i = 4; i < lower.size(); i++)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  EXPECT_EQ(run(kTool, {"--decrypt", lower}).out, "mixed\n");
  EXPECT_EQ(run(kTool, {"--decrypt", token("mag", false)}).out, "mag\n");

  // Not tokens: exit 1, nothing on standard output.
  for (std::string bad : {std::string("--10ab"), tok + "0", tok.substr(0, 19) + "G",
                          std::string("plain"), "--11" + tok.substr(4), std::string("")}) {
    RunResult b = run(kTool, {"--decrypt", bad});
    EXPECT_EQ(b.exit_code, 1) << bad;
    EXPECT_EQ(b.out, "") << bad;
  }
  EXPECT_EQ(run(kTool, {"--decrypt"}).exit_code, 2);

  RunResult h = run(kTool, {"--help"});
  EXPECT_EQ(h.exit_code, 0);
  EXPECT_NE(h.out.find("--decrypt TOKEN"), std::string::npos);
}

}  // namespace
