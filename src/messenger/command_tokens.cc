// Replaces the encrypted tokens of a command by their decrypted text. Every token is decrypted
// into a freshly cleared area, so a token that yields nothing inserts nothing and never repeats
// an earlier plaintext, and every append is bounded by the output area. A decrypted token is
// checked before it is used: the encryption puts the text's terminator into the last block, so a
// token cut at a block boundary (no terminator) or with blocks behind its text is refused, as is
// one whose text holds a control character, which a changed digit turns up in most cases and
// which would let a line feed split the shell command.

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

// Checks the `blocks` decrypted 8-byte blocks in `plain`.
token_fault check_plaintext(const unsigned char* plain, std::size_t blocks) {
  const std::size_t bytes = blocks * 8;
  std::size_t end = 0;
  while (end < bytes && plain[end] != 0) ++end;
  if (end == bytes) return token_fault::no_end;
  if (end < bytes - 8) return token_fault::data_behind;
  if (!cmd_token_value_ok(reinterpret_cast<const char*>(plain), end)) {
    return token_fault::control_bytes;
  }
  return token_fault::none;
}

}  // namespace

std::size_t rebuild_command(const char* cmd, std::size_t len, char* out, std::size_t out_size,
                            refused_token* refused) {
  char keyPass[kPassAreaSize] = {};
  char srcPass[kPassAreaSize];
  char dstPass[kPassAreaSize];
  std::memcpy(keyPass, kCmdTokenKey, sizeof(kCmdTokenKey));

  Output result(out, out_size);
  if (out_size > 0) out[0] = '\0';
  std::size_t i = 0;
  int number = 0;
  *refused = {};
  while (i < len) {
    if (!at_marker(cmd + i)) {
      result.append(cmd + i, 1);
      i++;
      continue;
    }
    const std::size_t marker_at = i;
    ++number;
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
    const bool decrypted = ZUSTRNG_DeMaxim2(dstPass, srcPass, keyPass) == 0 && n > 4;
    const token_fault fault =
        decrypted ? check_plaintext(reinterpret_cast<unsigned char*>(dstPass), (n - 4) / 16)
                  : token_fault::none;
    if (fault != token_fault::none) {
      *refused = {fault, number, marker_at};
      explicit_bzero(out, out_size);
      result = Output(out, out_size);
      break;
    }
    result.append(dstPass, strnlen(dstPass, sizeof(dstPass) - 1));
  }
  explicit_bzero(dstPass, sizeof(dstPass));
  explicit_bzero(srcPass, sizeof(srcPass));
  explicit_bzero(keyPass, sizeof(keyPass));
  return result.length();
}

}  // namespace qm7::detail

bool cmd_token_value_ok(const char* text, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

bool cmd_token_text_ok(const unsigned char* plain, std::size_t blocks) {
  return qm7::detail::check_plaintext(plain, blocks) == qm7::detail::token_fault::none;
}
