// The command line of qm7-agent-sim: where to listen, when to stop, how to print, and which
// misbehaviour to show the messengers that connect.
#ifndef QM7_AGENT_SIM_OPTIONS_H_
#define QM7_AGENT_SIM_OPTIONS_H_

#include <string>

namespace agent_sim {

enum class fault_mode {
  none,         // greet, read the record, answer
  no_greeting,  // accept and stay silent
  close,        // close the connection at once
  other_first,  // send another message instead of the greeting, then stay silent
  no_answer,    // greet and read the record, but never answer
  delay,        // greet only after delay_seconds
};

struct options {
  std::string listen = "127.0.0.1";  // address or name; "*LOCAL" is ::1 or 127.0.0.1
  int port = 0;                      // 0: the system picks one
  std::string port_file;             // where to write the port, empty for none
  long count = 0;                    // exit after this many reports; 0: serve until a signal
  bool json = false;                 // one JSON object per line instead of text
  bool verbose = false;              // connection events on standard error
  fault_mode fault = fault_mode::none;
  int delay_seconds = 0;  // for fault_mode::delay
  long fault_count = -1;  // connections the fault applies to (the first N); -1: all
  int idle_timeout = 10;  // seconds a connection may go without a record; 0: no limit
  int trace = 0;          // channel manager trace level
  bool help = false;
  bool version = false;
};

// Reads argv. Returns true with `out` filled, or false with a one-line message in `error`.
bool parse_options(int argc, char** argv, options* out, std::string* error);

// The text of --help.
const char* usage_text();

// The name of a fault mode as written on the command line.
const char* fault_name(fault_mode mode);

}  // namespace agent_sim

#endif  // QM7_AGENT_SIM_OPTIONS_H_
