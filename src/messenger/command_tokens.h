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

// Copies the `len` bytes of `cmd` into `out` (`out_size` bytes), replacing every token (a
// marker and the hex digits that follow it, at most 251) by its decrypted text under the
// command key; a token not in the encrypted form stays, with its digits upper-cased, and a bare
// marker vanishes. `cmd` must be readable for `len` + 3 bytes (the work area has 4 zero bytes
// behind the command) so that a marker test at the end never reads past it. `out` is always
// terminated and never written past `out_size` bytes. Returns the length written.
// The result holds decrypted secrets: the caller clears it after use.
std::size_t rebuild_command(const char* cmd, std::size_t len, char* out, std::size_t out_size);

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_COMMAND_TOKENS_H_
