// Reading the messenger's KEY=value command line into its context record. Arguments are never
// rejected: unknown keys are skipped, over-long values cut, and non-numeric numbers read as 0.
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "qm7/messenger/command.h"
#include "qm7/messenger/context.h"
#include "qm7/runtime/ctools.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr int kKeySize = 64;
constexpr int kValueSize = 8192;
constexpr int kVarNameMax = 200;
constexpr int kTimeOutMax = 600;
constexpr int kTimeOutFallback = 60;

// Reads a number the way atoi does (leading blanks, a sign, then digits; 0 when the text does
// not begin with a number) but saturates at INT_MIN / INT_MAX instead of overflowing, so an
// over-long number cannot produce undefined behaviour.
int to_int(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Applies one KEY=value pair; `key` is upper-cased already. `value` may be changed (TIMEOUT
// upper-cases it).
void apply_argument(PCX* pcx, std::string_view key, char* value) {
  if (key == "JNR") {
    pcx->jobnri = to_int(value);
  } else if (key == "PNR") {
    pcx->portnri = to_int(value);
  } else if (key == "TYP") {
    pcx->melder_type = value[0];
    pcx->status = (value[0] == 'E') ? 'E' : 'R';
  } else if (key == "TXT") {
    StringCopy(pcx->info_text, sizeof(pcx->info_text), value);
  } else if (key == "RET") {
    pcx->reti = to_int(value);
  } else if (key == "IPA") {
    StringCopy(pcx->ipAddr, sizeof(pcx->ipAddr), value);
  } else if (key == "MNR") {
    pcx->client = static_cast<int16_t>(to_int(value));
  } else if (key == "RETRY") {
    pcx->connect_retry = to_int(value);
  } else if (key == "WAIT") {
    // A negative pause would become a huge unsigned sleep; it counts as no pause.
    int wait = to_int(value);
    pcx->connect_wait = wait < 0 ? 0 : wait;
  } else if (key == "TIMEOUT") {
    ToUpperCase(value, static_cast<int>(std::strlen(value)));
    int timeout = std::strcmp(value, "NONE") == 0 ? 0 : to_int(value);
    pcx->IoTimeOut = timeout > kTimeOutMax ? kTimeOutFallback : timeout;
  } else if (key == "TRC") {
    trcFlag = to_int(value);
  } else if (key == "ULOGIN") {
    pcx->output_login = (value[0] == 'Y') ? 'Y' : 'N';
  } else if (key == "OUTFILE") {
    StringCopy(pcx->output_file, sizeof(pcx->output_file), value);
  } else if (key == "CMD") {
    // Runs at once and ends the program: later arguments are never read, nothing is reported.
    StringCopy(pcx->pCmdBuffer, sizeof(pcx->pCmdBuffer), value);
    std::exit(processCmd(pcx) == 0 ? 0 : 1);
  } else if (key == "NAME") {
    StringCopy(pcx->var_name, sizeof(pcx->var_name), value);
    pcx->var_name[kVarNameMax] = '\0';
  } else if (key == "VALUE") {
    StringCopy(pcx->var_value, sizeof(pcx->var_value), value);
    pcx->filler2 = '\0';
  } else if (key == "VTYPE") {
    pcx->var_type = value[0];
  }
}

}  // namespace

int parse_arguments(PCX* pcx, int argc, char** argv) {
  static const char* const kFn = "parse_arguments";
  QM7_TRACE("%s(argc=%d) -->", kFn, argc);

  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument == nullptr) break;
    char key[kKeySize] = {};
    char value[kValueSize] = {};
    QM7_TRACE("%s:      argument-%02i : %s", kFn, i, argument);
    get_word_delimited(argument, '=', 1, key, kKeySize);
    get_word_delimited(argument, '=', -2, value, kValueSize);
    ToUpperCase(key, static_cast<int>(std::strlen(key)));
    QM7_TRACE("%s:      key(%s) = value(%s)", kFn, key, value);
    apply_argument(pcx, key, value);
  }

  QM7_TRACE("%s:      %-30s : '%s'", kFn, "TCP/IP address", pcx->ipAddr);
  QM7_TRACE("%s:      %-30s : '%i'", kFn, "port number", pcx->portnri);
  QM7_TRACE("%s:      %-30s : '%i'", kFn, "job number", pcx->jobnri);
  QM7_TRACE("%s:      %-30s : '%i'", kFn, "client", pcx->client);
  QM7_TRACE("%s:      %-30s : '%i'", kFn, "result", pcx->reti);
  QM7_TRACE("%s:      %-30s : '%s'", kFn, "information", pcx->info_text);
  QM7_TRACE("%s:      %-30s : '%c'", kFn, "type", pcx->status);
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}
