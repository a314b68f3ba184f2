// qm7-token: turns a value (a password, say) into the token that stands for it in a CMD=
// command of qm_jpmd, encrypted under the messenger's fixed key in the "--10" form that is safe
// inside a shell command; with --decrypt it shows what the messenger would put in a token's
// place. Exit codes: 0 done, 1 the token does not decrypt, 2 bad usage or input.

#include <signal.h>
#include <string.h>  // explicit_bzero
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "qm7/messenger/command.h"
#include "qm7/runtime/maxim.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoToken = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: qm7-token [--] [VALUE]\n"
    "       qm7-token --decrypt TOKEN\n"
    "       qm7-token --help | --version\n"
    "\n"
    "Prints the token that stands for VALUE in a CMD= command of qm_jpmd: \"--10\" followed by\n"
    "hexadecimal digits, safe inside a shell command. qm_jpmd replaces every such token by\n"
    "VALUE before it runs the command. Without VALUE the value is read from the first line of\n"
    "standard input, without echo when that is a terminal. A VALUE that begins with \"-\" is\n"
    "given after \"--\". A value takes at most 119 bytes and no control characters.\n"
    "\n"
    "--decrypt TOKEN  prints the text qm_jpmd would put in the token's place; exits with 1\n"
    "                 when TOKEN is not a token it would decrypt.\n"
    "--version        prints the version of the QM7 Messenger suite.\n";

// A refused command line: one line that names what was wrong, and where to read more.
int usage_error(const std::string& what) {
  std::fprintf(stderr, "qm7-token: %s\nTry 'qm7-token --help'.\n", what.c_str());
  return kExitUsage;
}

// Terminal state to restore when a signal ends the program while echo is off.
struct termios saved_tty;
volatile sig_atomic_t tty_changed = 0;

void restore_tty_and_die(int sig) {
  if (tty_changed) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_tty);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Reads the first line of standard input, without echo on a terminal. False when nothing
// could be read.
bool read_value(std::string* value) {
  bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_tty) == 0;
  if (tty) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, restore_tty_and_die);
    struct termios quiet = saved_tty;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tty_changed = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    std::fputs("Value: ", stderr);
    std::fflush(stderr);
  }
  bool ok = static_cast<bool>(std::getline(std::cin, *value)) || !value->empty();
  if (tty) {
    if (tty_changed) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_tty);
    tty_changed = 0;
    std::fputs("\n", stderr);
  }
  if (!value->empty() && value->back() == '\r') value->pop_back();
  return ok;
}

int encrypt(std::string& value) {
  if (value.find('\0') != std::string::npos) {
    std::fputs("qm7-token: the value contains a zero byte\n", stderr);
    return kExitUsage;
  }
  // A control character would reach the shell command (a line feed splits it), so qm_jpmd
  // refuses a token whose text holds one.
  if (!cmd_token_value_ok(value.data(), value.size())) {
    std::fputs("qm7-token: the value contains a control character, which qm_jpmd refuses\n",
               stderr);
    return kExitUsage;
  }
  if (value.size() > static_cast<std::size_t>(kCmdTokenMaxValue)) {
    std::fprintf(stderr, "qm7-token: the value is %zu bytes long; a token carries at most %d\n",
                 value.size(), kCmdTokenMaxValue);
    return kExitUsage;
  }
  std::vector<char> token(4 + 16 * (value.size() / 8 + 1) + 1);
  ZUSTRNG_EnMaxim2(token.data(), value.c_str(), kCmdTokenKey);
  token[0] = token[1] = '-';  // the printable marker; 0xAD bytes do not survive every shell
  std::printf("%s\n", token.data());
  explicit_bzero(value.data(), value.size());
  return kExitOk;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int decrypt(const std::string& token) {
  bool marker =
      token.size() >= 4 && (token.compare(0, 2, "--") == 0 || token.compare(0, 2, "\xAD\xAD") == 0);
  marker = marker && token.compare(2, 2, "10") == 0;
  std::string digits = marker ? token.substr(4) : std::string();
  bool hex = true;
  for (char& c : digits) {
    hex = hex && is_hex_digit(c);
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (!marker || !hex || digits.size() % 16 != 0 ||
      digits.size() > static_cast<std::size_t>(kCmdTokenMaxDigits)) {
    std::fputs(
        "qm7-token: not a token: \"--10\" and a multiple of 16 hexadecimal digits "
        "(at most 240) expected\n",
        stderr);
    return kExitNoToken;
  }
  std::string src = "--10" + digits;
  std::vector<char> plain(digits.size() / 2 + 1, '\0');
  ZUSTRNG_DeMaxim2(plain.data(), src.c_str(), kCmdTokenKey);
  // The check qm_jpmd makes before it runs a command: garbage from another key or a changed
  // digit usually fails it.
  if (!digits.empty() && !cmd_token_text_ok(reinterpret_cast<const unsigned char*>(plain.data()),
                                            digits.size() / 16)) {
    std::fputs("qm7-token: the token does not decrypt to a text under the messenger's key\n",
               stderr);
    return kExitNoToken;
  }
  std::printf("%s\n", plain.data());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::printf(QM7_VERSION_LINE_FORMAT "\n", "qm7-token", QM7_MESSENGER_VERSION,
                kMessengerChangelist);
    return kExitOk;
  }
  if (!args.empty() && args[0] == "--decrypt") {
    if (args.size() != 2) return usage_error("--decrypt takes one TOKEN");
    return decrypt(args[1]);
  }
  bool end_of_options = !args.empty() && args[0] == "--";
  if (end_of_options) args.erase(args.begin());
  if (!end_of_options && !args.empty() && args[0].size() > 1 && args[0][0] == '-') {
    return usage_error("unknown option '" + args[0] + "'");
  }
  if (args.size() > 1)
    return usage_error("one VALUE expected, " + std::to_string(args.size()) + " given");
  std::string value;
  if (args.empty()) {
    if (!read_value(&value)) {
      std::fputs("qm7-token: no value on standard input\n", stderr);
      return kExitUsage;
    }
  } else {
    value = args[0];
  }
  return encrypt(value);
}
