// Command execution with encrypted tokens: the CMD argument's command is run through the shell
// after every token in it (a marker "--10" or 0xAD 0xAD "10" and the printable encrypted form's
// hex digits) has been replaced by its decrypted text under the messenger's fixed key.
#ifndef QM7_MESSENGER_COMMAND_H_
#define QM7_MESSENGER_COMMAND_H_

// The fixed key under which command tokens are encrypted and decrypted (8 characters).
inline constexpr char kCmdTokenKey[] = "hB3Wy&5v";

#endif  // QM7_MESSENGER_COMMAND_H_
