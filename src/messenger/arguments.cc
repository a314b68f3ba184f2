// Reading the messenger's KEY=value command line into its context record. Arguments are never
// rejected: unknown keys are skipped, over-long values cut, and non-numeric numbers read as 0.
// Each argument not taken as given (an unknown key, a number that is not one, a value beyond its
// bound) is named in one line on standard error, with what the run uses instead, so that a
// mistyped job definition shows in the job's log; standard output is never touched here.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "printable.h"
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
// A run ends within RETRY times (look-up, greeting wait and WAIT pause); these keep that finite
// in the job's terms: at most 100 attempts, 10 minutes apart, as TIMEOUT bounds each wait.
constexpr int kRetryMax = 100;
constexpr int kWaitMax = 600;
constexpr int kShownValueMax = 40;  // characters of a value quoted on standard error

// Names an argument not taken as given in one line on standard error.
void warn(const PCX* pcx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void warn(const PCX* pcx, const char* format, ...) {
  va_list args;
  va_start(args, format);
  qm7::detail::tell_operator(pcx->program_name, qm7::detail::vprintf_string(format, args));
  va_end(args);
}

// KEY=value as the job wrote it, a long value shortened, for a line on standard error.
std::string shown(std::string_view key, std::string_view value) {
  std::string text(key);
  text += '=';
  if (value.size() <= kShownValueMax) return text.append(value);
  return text.append(value.substr(0, kShownValueMax)).append("...");
}

// How a number argument read.
enum class number_form { number, empty, not_number, out_of_range };

// Reads a number the way atoi does (leading blanks, a sign, then digits; 0 when the text does
// not begin with a number) but saturates at INT_MIN / INT_MAX instead of overflowing, so an
// over-long number cannot produce undefined behaviour. `*form` tells whether the whole text was
// that number (blanks around it allowed).
int to_int(const char* text, number_form* form) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  const char* start = text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  const char* digits = text;
  long long value = 0;
  bool big = false;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    if (!big) value = value * 10 + (*text - '0');
    big = big || value > static_cast<long long>(INT_MAX) + 1;
  }
  const char* end = text;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  if (negative) value = -value;
  *form = *start == '\0'                       ? number_form::empty
          : end == digits || *text != '\0'     ? number_form::not_number
          : value > INT_MAX || value < INT_MIN ? number_form::out_of_range
                                               : number_form::number;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The number in `value`, cut to `low`..`high`. A value that is not wholly a number, or lies
// beyond the bounds, is named in one line with the number used instead.
int number_argument(const PCX* pcx, std::string_view key, const char* value, int low = INT_MIN,
                    int high = INT_MAX) {
  number_form form;
  const int n = to_int(value, &form);
  const int used = n < low ? low : n > high ? high : n;
  const std::string arg = shown(key, value);
  if (form == number_form::empty) {
    warn(pcx, "%s has no value; %d used", arg.c_str(), used);
  } else if (form == number_form::not_number) {
    warn(pcx, "%s is not a number; %d used", arg.c_str(), used);
  } else if (used != n) {
    warn(pcx, "%s is %s %d; %d used", arg.c_str(), n < low ? "below" : "above", used, used);
  } else if (form == number_form::out_of_range) {
    warn(pcx, "%s is out of range; %d used", arg.c_str(), used);
  }
  return used;
}

// Applies one KEY=value pair; `key` is upper-cased already, `raw_key` as the job wrote it.
// `value` may be changed (TIMEOUT upper-cases it); `value_len` is its length in the argument,
// before the value buffer cut it.
void apply_argument(PCX* pcx, std::string_view key, std::string_view raw_key, char* value,
                    std::size_t value_len) {
  if (key == "JNR") {
    pcx->jobnri = number_argument(pcx, raw_key, value);
  } else if (key == "PNR") {
    pcx->portnri = number_argument(pcx, raw_key, value);
  } else if (key == "TYP") {
    pcx->melder_type = value[0];
    pcx->status = (value[0] == 'E') ? 'E' : 'R';
  } else if (key == "TXT") {
    StringCopy(pcx->info_text, sizeof(pcx->info_text), value);
  } else if (key == "RET") {
    pcx->reti = number_argument(pcx, raw_key, value);
  } else if (key == "IPA") {
    StringCopy(pcx->ipAddr, sizeof(pcx->ipAddr), value);
  } else if (key == "MNR") {
    const int n = number_argument(pcx, raw_key, value);
    pcx->client = static_cast<int16_t>(n);
    if (pcx->client != n) {
      warn(pcx, "%s does not fit in 16 bits; %d used", shown(raw_key, value).c_str(), pcx->client);
    }
  } else if (key == "RETRY") {
    // Negative counts are described (RETRY=-1 hands the record over unconnected); only the
    // upper end is bounded.
    pcx->connect_retry = number_argument(pcx, raw_key, value, INT_MIN, kRetryMax);
  } else if (key == "WAIT") {
    // A negative pause would become a huge unsigned sleep; it counts as no pause.
    pcx->connect_wait = number_argument(pcx, raw_key, value, 0, kWaitMax);
  } else if (key == "TIMEOUT") {
    const std::string arg = shown(raw_key, value);
    ToUpperCase(value, static_cast<int>(std::strlen(value)));
    const int timeout = std::strcmp(value, "NONE") == 0 ? 0 : number_argument(pcx, raw_key, value);
    pcx->IoTimeOut = timeout > kTimeOutMax ? kTimeOutFallback : timeout;
    if (timeout > kTimeOutMax) {
      warn(pcx, "%s is above %d; %d used", arg.c_str(), kTimeOutMax, kTimeOutFallback);
    }
  } else if (key == "TRC") {
    trcFlag = number_argument(pcx, raw_key, value);
  } else if (key == "FAILRET") {
    number_form form;
    const int code = to_int(value, &form);
    if (form == number_form::number && code >= 0 && code <= 255) {
      pcx->undelivered_exit = code;
    } else {
      warn(pcx, "%s is not an exit code (0 to 255); ignored", shown(raw_key, value).c_str());
    }
  } else if (key == "ULOGIN") {
    pcx->output_login = (value[0] == 'Y') ? 'Y' : 'N';
  } else if (key == "OUTFILE") {
    StringCopy(pcx->output_file, sizeof(pcx->output_file), value);
  } else if (key == "CMD") {
    // Runs at once and ends the program: later arguments are never read, nothing is reported.
    // A command that does not fit is not run at all: cut, it would be another command.
    if (value_len >= sizeof(pcx->pCmdBuffer)) {
      warn(pcx, "command not run: it has %zu characters, more than the %zu allowed", value_len,
           sizeof(pcx->pCmdBuffer) - 1);
      std::exit(1);
    }
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
  } else {
    warn(pcx, "unknown key '%.*s' ignored", static_cast<int>(raw_key.size()), raw_key.data());
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
    const char* equals = std::strchr(argument, '=');
    const std::size_t raw_len = equals ? equals - argument : std::strlen(argument);
    const std::string_view raw_key(argument, std::min<std::size_t>(raw_len, kKeySize - 1));
    apply_argument(pcx, key, raw_key, value, equals ? std::strlen(equals + 1) : 0);
  }
  if (pcx->melder_type == 'V' && pcx->var_name[0] == '\0') {
    warn(pcx, "TYP=V without NAME; an empty name used");
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
