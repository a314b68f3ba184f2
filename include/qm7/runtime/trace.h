// Trace and logging facility shared by every layer: time-stamped trace lines and hex dumps on
// standard output while tracing is on, free texts through mprintf, and numbered log messages
// through a replaceable logger.
#ifndef QM7_RUNTIME_TRACE_H_
#define QM7_RUNTIME_TRACE_H_

typedef struct ccm_context ccm_context_t;
typedef struct ccm_msg ccm_msg_t;

// The trace switch: 0 at start, set once from the TRC argument before any second thread exists
// and only read afterwards.
extern int trcFlag;

// Returns trcFlag. Every trace call is guarded by it, so nothing is formatted while it is 0.
int trc_level(void);

// Writes one trace line "%.8lX         %s - %s\n" (thread, local time with milliseconds, text)
// to standard output in one write. `_stdout` is not used. Text is cut at 2047 characters.
void __trace_text(int _stdout, const char* text, ...) __attribute__((format(printf, 2, 3)));

// Formats (at most 2047 characters), writes the text and a newline to standard output and
// flushes it. Returns 0.
int mprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

typedef int logger_function_t(int msgnr, const char* msginsert);

// The current logger; starts as messenger_logger. Not locked: set it before threads start.
extern logger_function_t* default_logger;

// Formats the insert (at most 2047 characters) and hands it to the current logger. Returns 0.
int __log(int msgnr, const char* insert, ...) __attribute__((format(printf, 2, 3)));

// Makes `function_pointer` the current logger. Returns 0.
int __log_set_logger(logger_function_t* function_pointer);

// The messenger's logger: writes "-1 - text" (no line end) for free texts (msgnr -1) and drops
// every numbered message. Returns 0.
int messenger_logger(int msgnr, const char* msginsert);

// Writes a hex dump of `len` bytes at `area` under a heading formatted from `format`.
void trcdump(const void* area, int len, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Does nothing: the messenger never limits its dumps.
void trcdump_limited(const void* area, int len, int limit, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Always 0: no message the messenger handles is a GSS message.
int is_gss_message(ccm_context_t* ccm, ccm_msg_t* msg);

// Writes a trace line only while tracing is on; the arguments are not evaluated otherwise.
#define QM7_TRACE(...)                             \
  do {                                             \
    if (trc_level()) __trace_text(0, __VA_ARGS__); \
  } while (0)

#endif  // QM7_RUNTIME_TRACE_H_
