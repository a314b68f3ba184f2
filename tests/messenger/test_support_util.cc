// Helpers shared by the messenger tests: argv building, output masking and running a program
// as a child process with its standard output collected through a pipe.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "messenger/test_support.h"

namespace qm7_test {

Argv::Argv(std::vector<std::string> args) : args_(std::move(args)) {
  args_.insert(args_.begin(), "qm_jpmd");
  for (std::string& arg : args_) pointers_.push_back(arg.data());
  pointers_.push_back(nullptr);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

namespace {

// True when `text` holds `pattern` at `pos`; a '9' in the pattern stands for any digit.
bool PatternAt(const std::string& text, size_t pos, std::string_view pattern) {
  if (pos + pattern.size() > text.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = text[pos + i];
    if (pattern[i] == '9' ? (c < '0' || c > '9') : c != pattern[i]) return false;
  }
  return true;
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

std::string MaskVolatile(const std::string& text) {
  static constexpr std::string_view kBannerDate = "99.99.9999 / 99:99:99";
  static constexpr std::string_view kXdat = "99999999/999999.999";
  static constexpr std::string_view kNineBlanks = "         ";
  std::string out;
  size_t pos = 0;
  bool line_start = true;
  while (pos < text.size()) {
    if (line_start) {
      size_t hex = 0;
      while (pos + hex < text.size() && hex <= 16 && IsUpperHex(text[pos + hex])) ++hex;
      if (hex >= 8 && hex <= 16 && text.compare(pos + hex, kNineBlanks.size(), kNineBlanks) == 0) {
        out += "TID";
        pos += hex;
      }
    }
    if (PatternAt(text, pos, kBannerDate)) {
      out += "DD.MM.YYYY / hh:mm:ss";
      pos += kBannerDate.size();
    } else if (PatternAt(text, pos, kXdat)) {
      out += "YYYYMMDD/hhmmss.mmm";
      pos += kXdat.size();
    } else {
      out += text[pos];
      line_start = text[pos] == '\n';
      ++pos;
      continue;
    }
    line_start = false;
  }
  return out;
}

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  ProcessResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;

  std::vector<std::string> storage;
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  char tz[] = "TZ=UTC0";
  char* envp[] = {tz, nullptr};

  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    execve(program.c_str(), argv.data(), envp);
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fds[0], buffer, sizeof(buffer));
    if (n > 0) {
      result.out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace qm7_test
