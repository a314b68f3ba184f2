// A fixed-size text buffer for building output lines: every append is cut at the buffer's size
// less one and the text stays terminated, so a line can never run past its area. Internal to
// the runtime library (formatting and dump helpers).
#ifndef QM7_SRC_RUNTIME_BOUNDED_TEXT_H_
#define QM7_SRC_RUNTIME_BOUNDED_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace qm7::detail {

template <size_t N>
class BoundedText {
  static_assert(N > 1);

 public:
  BoundedText() { clear(); }

  void clear() {
    len_ = 0;
    buf_[0] = '\0';
  }
  const char* c_str() const { return buf_; }
  char* data() { return buf_; }
  size_t size() const { return len_; }
  static constexpr size_t capacity() { return N - 1; }

  void append(char c) {
    if (len_ < N - 1) {
      buf_[len_++] = c;
      buf_[len_] = '\0';
    }
  }
  // Appends blanks until the text is `width` characters long (or the buffer is full).
  void pad_to(size_t width) {
    while (len_ < width && len_ < N - 1) append(' ');
  }
  void appendf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (len_ >= N - 1) return;
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buf_ + len_, N - len_, format, ap);
    va_end(ap);
    if (n > 0) len_ += static_cast<size_t>(n) < N - len_ ? static_cast<size_t>(n) : N - 1 - len_;
  }
  // Cuts the text to at most `width` characters.
  void truncate(size_t width) {
    if (width < len_) {
      len_ = width;
      buf_[len_] = '\0';
    }
  }
  // Overwrites the character at `pos` when the text reaches that far.
  void set_at(size_t pos, char c) {
    if (pos < len_) buf_[pos] = c;
  }

 private:
  char buf_[N];
  size_t len_;
};

// The characters shown as themselves in a character view: ASCII letters, digits, punctuation
// and the blank (what isprint() accepts in the C locale).
inline bool is_printable_ascii(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace qm7::detail

#endif  // QM7_SRC_RUNTIME_BOUNDED_TEXT_H_
