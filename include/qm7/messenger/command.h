// Command execution with encrypted tokens: the CMD argument's command is run through the shell
// after every token in it (a marker "--10" or 0xAD 0xAD "10" and the printable encrypted form's
// hex digits) has been replaced by its decrypted text under the messenger's fixed key.
#ifndef QM7_MESSENGER_COMMAND_H_
#define QM7_MESSENGER_COMMAND_H_

#include <cstddef>

#include "qm7/messenger/context.h"

// The fixed key under which command tokens are encrypted and decrypted (8 characters).
inline constexpr char kCmdTokenKey[] = "hB3Wy&5v";

// A token takes at most 251 hex digits behind its marker, so the longest value a token can
// carry is 15 blocks of 8 bytes less the terminator: 119 bytes.
inline constexpr int kCmdTokenMaxDigits = 251;
inline constexpr int kCmdTokenMaxValue = kCmdTokenMaxDigits / 16 * 8 - 1;

// Whether the `blocks` 8-byte blocks decrypted from a token hold a text as the encryption makes
// it: its end in the last block and no control character before it (a line feed would split the
// shell command). A cut, altered or doubled token nearly always fails. Any thread.
bool cmd_token_text_ok(const unsigned char* plain, std::size_t blocks);

// Whether the `len` bytes of `text` hold no control character (below 0x20, or 0x7F): the rule a
// token's text must meet, for the tool that makes tokens. Any thread.
bool cmd_token_value_ok(const char* text, std::size_t len);

// Rebuilds pcx->pCmdBuffer with every token replaced by its decrypted text (a token that is
// not in the encrypted form stays, its digits upper-cased; a bare marker vanishes), runs it
// with system() and returns system()'s result: 0 when the command succeeded. A token that
// decrypts to no whole text, or to one with control characters, is named by its number and
// place on standard error and nothing is run: the result is then -1. The command is
// traced (tokens still encrypted) while tracing is on; the rebuilt one never is. Out of memory
// ends the process with status 1. Main thread, before the channel manager exists.
int processCmd(PCX* pcx);

#endif  // QM7_MESSENGER_COMMAND_H_
