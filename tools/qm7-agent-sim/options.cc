// Command-line reading of qm7-agent-sim. Every option has a long form; values follow as the
// next argument or after "=". Numbers are checked in full, so a typo is an error, not a 0.
#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace agent_sim {
namespace {

bool parse_long(const std::string& text, long low, long high, long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

bool parse_fault(const std::string& text, options* out) {
  static const struct {
    const char* name;
    fault_mode mode;
  } kModes[] = {{"none", fault_mode::none},
                {"no-greeting", fault_mode::no_greeting},
                {"close", fault_mode::close},
                {"other-first", fault_mode::other_first},
                {"no-answer", fault_mode::no_answer}};
  for (const auto& m : kModes) {
    if (text == m.name) {
      out->fault = m.mode;
      return true;
    }
  }
  if (text.rfind("delay:", 0) == 0) {
    long seconds;
    if (!parse_long(text.substr(6), 0, 3600, &seconds)) return false;
    out->fault = fault_mode::delay;
    out->delay_seconds = static_cast<int>(seconds);
    return true;
  }
  return false;
}

}  // namespace

const char* fault_name(fault_mode mode) {
  switch (mode) {
    case fault_mode::none:
      return "none";
    case fault_mode::no_greeting:
      return "no-greeting";
    case fault_mode::close:
      return "close";
    case fault_mode::other_first:
      return "other-first";
    case fault_mode::no_answer:
      return "no-answer";
    case fault_mode::delay:
      return "delay";
  }
  return "?";
}

const char* usage_text() {
  return R"(Usage: qm7-agent-sim [OPTION]...
A stand-in for the QM7 agent: it listens for qm_jpmd, greets each connection, decodes the one
report it sends and prints one line per report, then answers. It serves many messengers at once;
a messenger that misbehaves is reported on standard error and never stops the others.

  --listen ADDR       address or host name to listen on (default 127.0.0.1; ::1 for IPv6;
                      *LOCAL for the loopback address; "" for every local address)
  --port N            TCP port (default 0: the system picks a free one)
  --port-file FILE    write the port number to FILE once listening (written whole, atomically)
  --count N           exit after N reports have been printed and answered (default: serve until
                      SIGINT or SIGTERM)
  --json              print one JSON object per line instead of text
  --verbose           report connections, greetings and closes on standard error
  --fault MODE        misbehave, to rehearse how a job copes:
                        no-greeting   accept the connection and stay silent
                        close         close each connection at once
                        other-first   send another message instead of the greeting
                        no-answer     greet and read the report, but never answer
                        delay:SECS    greet only after SECS seconds
  --fault-count N     apply the fault to the first N connections only, serve the rest normally
  --idle-timeout SECS close a connection that completes no frame for SECS seconds after its
                      accept or its last frame, with a note on standard error (default 10; 0:
                      never). At the descriptor limit the connection idle longest gives way to
                      a new one.
  --trace LEVEL       trace the channel manager on standard output (debugging)
  --help              show this text
  --version           show the version of the QM7 Messenger suite

Standard output: first listening address="ADDR" port=N, then one line per report:
  job-end     job=42 client=100 rc=3 text="done" time=... pid=... ppid=... pgrp=... sid=...
  job-state   the same for status R (start, restart, snooze and wake-up all send status R)
  output-file job=42 client=100 login-check=Y path="..." (path-terminated=no when the path
              filled all 187 bytes the record carries, so it may have been cut)
  variable    job=42 client=100 name="..." value="..." type="..."
Each line ends with the messenger's version and its connection (conn=ID from=ADDR:PORT).

Exit status: 0 after --count reports or a signal, 1 when it cannot listen, 2 on a bad option.

Example, testing a job script against the simulator:
  qm7-agent-sim --port 0 --port-file /tmp/agent.port --count 2 > /tmp/agent.out &
  while [ ! -s /tmp/agent.port ]; do sleep 0.1; done
  PORT=$(cat /tmp/agent.port) ./myjob.sh   # the script calls qm_jpmd IPA=127.0.0.1 PNR=$PORT ...
  wait; cat /tmp/agent.out
)";
}

bool parse_options(int argc, char** argv, options* out, std::string* error) {
  options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string name = arg;
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    auto take_value = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto bad_value = [&]() {
      *error = "invalid value '" + value + "' for " + name;
      return false;
    };
    long number;
    if (name == "--help" || name == "-h") {
      o.help = true;
    } else if (name == "--version") {
      o.version = true;
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--verbose") {
      o.verbose = true;
    } else if (name == "--listen") {
      if (!take_value()) return false;
      o.listen = value;
    } else if (name == "--port") {
      if (!take_value()) return false;
      if (!parse_long(value, 0, 65535, &number)) return bad_value();
      o.port = static_cast<int>(number);
    } else if (name == "--port-file") {
      if (!take_value()) return false;
      if (value.empty()) return bad_value();
      o.port_file = value;
    } else if (name == "--count") {
      if (!take_value()) return false;
      if (!parse_long(value, 1, LONG_MAX, &number)) return bad_value();
      o.count = number;
    } else if (name == "--fault") {
      if (!take_value()) return false;
      if (!parse_fault(value, &o)) return bad_value();
    } else if (name == "--fault-count") {
      if (!take_value()) return false;
      if (!parse_long(value, 0, LONG_MAX, &number)) return bad_value();
      o.fault_count = number;
    } else if (name == "--idle-timeout") {
      if (!take_value()) return false;
      if (!parse_long(value, 0, 86400, &number)) return bad_value();
      o.idle_timeout = static_cast<int>(number);
    } else if (name == "--trace") {
      if (!take_value()) return false;
      if (!parse_long(value, 0, 9, &number)) return bad_value();
      o.trace = static_cast<int>(number);
    } else {
      *error = "unknown option '" + arg + "'";
      return false;
    }
  }
  *out = o;
  return true;
}

}  // namespace agent_sim
