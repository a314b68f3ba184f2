// Captures what the code under test writes to standard output (file descriptor 1), through
// stdio or write(2), into a string. Header-only so every test program can use it.
#ifndef QM7_TESTS_SUPPORT_STDOUT_CAPTURE_H_
#define QM7_TESTS_SUPPORT_STDOUT_CAPTURE_H_

#include <unistd.h>

#include <cstdio>
#include <string>

namespace qm7_test {

class StdoutCapture {
 public:
  StdoutCapture() : file_(tmpfile()), saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);
    dup2(fileno(file_), STDOUT_FILENO);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() {
    Restore();
    fclose(file_);
  }

  // Stops capturing and returns everything written since the capture began.
  std::string Take() {
    Restore();
    std::string out;
    rewind(file_);
    for (int c; (c = fgetc(file_)) != EOF;) out += static_cast<char>(c);
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
  FILE* file_;
  int saved_;
};

}  // namespace qm7_test

#endif  // QM7_TESTS_SUPPORT_STDOUT_CAPTURE_H_
