// Replaces the encrypted tokens of a command by their decrypted text. Every token is decrypted
// into a freshly cleared area, so a token that yields nothing inserts nothing and never repeats
// an earlier plaintext, and every append is bounded by the output area.

#include "command_tokens.h"

#include <string.h>  // explicit_bzero

#include <algorithm>
#include <cstring>

#include "qm7/messenger/command.h"
#include "qm7/runtime/maxim.h"
#include "qm7/runtime/text.h"

namespace qm7::detail {
namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool at_marker(const char* p) {
  return std::memcmp(p, head_all_norm, 4) == 0 || std::memcmp(p, head_all_mag, 4) == 0;
}

// Bounded output: keeps one byte for the terminator.
class Output {
 public:
  Output(char* out, std::size_t size) : out_(out), size_(size) {}
  void append(const char* s, std::size_t n) {
    if (size_ == 0) return;
    n = std::min(n, size_ - 1 - len_);
    std::memcpy(out_ + len_, s, n);
    len_ += n;
    out_[len_] = '\0';
  }
  std::size_t length() const { return len_; }

 private:
  char* out_;
  std::size_t size_;
  std::size_t len_ = 0;
};

}  // namespace

std::size_t rebuild_command(const char* cmd, std::size_t len, char* out, std::size_t out_size) {
  char keyPass[kPassAreaSize] = {};
  char srcPass[kPassAreaSize];
  char dstPass[kPassAreaSize];
  std::memcpy(keyPass, kCmdTokenKey, sizeof(kCmdTokenKey));

  Output result(out, out_size);
  if (out_size > 0) out[0] = '\0';
  std::size_t i = 0;
  while (i < len) {
    if (!at_marker(cmd + i)) {
      result.append(cmd + i, 1);
      i++;
      continue;
    }
    std::memset(srcPass, 0, sizeof(srcPass));
    std::memcpy(srcPass, cmd + i, 4);
    i += 4;
    std::size_t n = 4;
    while (n < 4 + kMaxTokenDigits && i < len && is_hex_digit(cmd[i])) srcPass[n++] = cmd[i++];
    srcPass[n] = '\0';
    ToUpperCase(srcPass + 4, static_cast<int>(n - 4));

    // At most 4 + 251 characters decrypt to at most 15 blocks (120 bytes), so the cleared
    // 256-byte area always holds a terminator behind the plaintext.
    std::memset(dstPass, 0, sizeof(dstPass));
    ZUSTRNG_DeMaxim2(dstPass, srcPass, keyPass);
    result.append(dstPass, strnlen(dstPass, sizeof(dstPass) - 1));
  }
  explicit_bzero(dstPass, sizeof(dstPass));
  explicit_bzero(srcPass, sizeof(srcPass));
  explicit_bzero(keyPass, sizeof(keyPass));
  return result.length();
}

}  // namespace qm7::detail
