// Trace lines, free texts and numbered log messages. Everything goes to standard output, so the
// job report, trace lines and dumps share one stream; each line is written with one call so the
// lines of the main thread and the network thread never mix within a line.
#include "qm7/runtime/trace.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>

#include "qm7/runtime/datetime.h"

int trcFlag = 0;
logger_function_t* default_logger = messenger_logger;

namespace {
constexpr int kTextSize = 2048;  // at most 2047 characters of any formatted text
}  // namespace

int trc_level(void) { return trcFlag; }

void __trace_text(int /*_stdout*/, const char* text, ...) {
  char buffer[kTextSize];
  va_list args;
  va_start(args, text);
  vsnprintf(buffer, sizeof(buffer), text, args);
  va_end(args);

  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  fprintf(stdout, "%.8lX         %s - %s\n", static_cast<unsigned long>(pthread_self()), dt.dt_xdat,
          buffer);
}

int mprintf(const char* format, ...) {
  char buffer[kTextSize];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  fprintf(stdout, "%s\n", buffer);
  fflush(stdout);
  return 0;
}

int __log(int msgnr, const char* insert, ...) {
  logger_function_t* logger = default_logger;
  // The messenger's logger drops every numbered message, so its insert need not be formatted.
  if (logger == nullptr || (logger == messenger_logger && msgnr != -1)) return 0;
  char buffer[kTextSize];
  va_list args;
  va_start(args, insert);
  vsnprintf(buffer, sizeof(buffer), insert, args);
  va_end(args);
  logger(msgnr, buffer);
  return 0;
}

int __log_set_logger(logger_function_t* function_pointer) {
  default_logger = function_pointer;
  return 0;
}

int messenger_logger(int msgnr, const char* msginsert) {
  if (msgnr == -1) fprintf(stdout, "%d - %s", msgnr, msginsert);
  return 0;
}

int is_gss_message(ccm_context_t* /*ccm*/, ccm_msg_t* /*msg*/) { return 0; }
