// Captures what the code under test writes to standard output (file descriptor 1), through
// stdio or write(2), into a string. Header-only so every test program can use it.
#ifndef QM7_TESTS_SUPPORT_STDOUT_CAPTURE_H_
#define QM7_TESTS_SUPPORT_STDOUT_CAPTURE_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qm7_test {

class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    char path[] = "/tmp/qm7_stdout_XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() {
    Restore();
    if (file_ >= 0) close(file_);
  }

  // Stops capturing and returns everything written since the capture began.
  std::string Take() {
    Restore();
    std::string out;
    char buf[4096];
    lseek(file_, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(file_, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  int file_ = -1;
  int saved_ = -1;
};

}  // namespace qm7_test

#endif  // QM7_TESTS_SUPPORT_STDOUT_CAPTURE_H_
