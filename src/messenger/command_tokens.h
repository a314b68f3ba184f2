// Token replacement of the command execution: finds the encrypted tokens in a command and
// replaces each by its decrypted text. Internal to the messenger library; processCmd owns the
// work areas and runs the result.
#ifndef QM7_SRC_MESSENGER_COMMAND_TOKENS_H_
#define QM7_SRC_MESSENGER_COMMAND_TOKENS_H_

#include <cstddef>

#include "qm7/messenger/command.h"

namespace qm7::detail {

// The two token markers: two minus signs or the bytes 0xAD 0xAD, then the version "10".
inline constexpr char head_normal[2] = {'-', '-'};
inline constexpr char head_magic[2] = {'\xAD', '\xAD'};
inline constexpr char head_vers10[2] = {'1', '0'};
inline constexpr char head_all_norm[4] = {head_normal[0], head_normal[1], head_vers10[0],
                                          head_vers10[1]};
inline constexpr char head_all_mag[4] = {head_magic[0], head_magic[1], head_vers10[0],
                                         head_vers10[1]};

// Size of the token, plaintext and key areas, and the most hex digits one token takes.
inline constexpr std::size_t kPassAreaSize = 256;
inline constexpr std::size_t kMaxTokenDigits = kCmdTokenMaxDigits;

// Why a token was refused: its text would not be what was encrypted.
enum class token_fault {
  none,
  no_end,         // no end of text in its blocks: cut at a block boundary, or altered
  data_behind,    // its text ends before its last block: altered, or two tokens run together
  control_bytes,  // its text holds a control character (below 0x20, or 0x7F): altered
};

// The first refused token of a command: its number (the first marker is 1) and the offset of
// its marker in the command.
struct refused_token {
  token_fault fault = token_fault::none;
  int number = 0;
  std::size_t offset = 0;
};

// Copies the `len` bytes of `cmd` into `out` (`out_size` bytes), replacing every token (a
// marker and the hex digits that follow it, at most 251) by its decrypted text under the
// command key; a token not in the encrypted form stays, with its digits upper-cased, and a bare
// marker vanishes. A token that decrypts, but not to what the encryption can have made (a text
// ending in its last block) or to a text without control characters, stops the copy: `*refused`
// names it and `out` is cleared. `cmd` must be readable for `len` + 3 bytes (the work area has 4
// zero bytes behind the command) so that a marker test at the end never reads past it. `out` is
// always terminated and never written past `out_size` bytes. Returns the length written.
// The result holds decrypted secrets: the caller clears it after use.
std::size_t rebuild_command(const char* cmd, std::size_t len, char* out, std::size_t out_size,
                            refused_token* refused);

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_COMMAND_TOKENS_H_
