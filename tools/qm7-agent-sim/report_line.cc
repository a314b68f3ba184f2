// Formatting of the simulator's report lines. One field list serves both forms: the text form
// writes name=value pairs, the JSON form an object with the same names.
#include "report_line.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace agent_sim {
namespace {

namespace meld = qm7::meld;

// A field: its name, its value, and whether the value is text (quoted) or a number.
struct field {
  std::string name;
  std::string value;
  bool quoted;
};

std::string escape(const std::string& text, bool json) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof(hex), json ? "\\u%04X" : "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// A field's value behind its name, quoted and escaped where it is text. (Appended piece by piece:
// GCC 12 warns falsely on a literal added to a temporary string here.)
void append_value(std::string* line, const field& f, bool json) {
  if (!f.quoted) {
    *line += f.value;
    return;
  }
  *line += '"';
  *line += escape(f.value, json);
  *line += '"';
}

std::string render(const std::string& event, const std::vector<field>& fields, bool json) {
  std::string line;
  if (json) {
    line = "{\"event\":\"" + event + "\"";
    for (const field& f : fields) {
      line += ",\"" + f.name + "\":";
      append_value(&line, f, true);
    }
    line += "}";
  } else {
    line = event;
    for (const field& f : fields) {
      line += " " + f.name + "=";
      append_value(&line, f, false);
    }
  }
  return line;
}

std::string number(long long value) { return std::to_string(value); }

std::string utc_text(const meld::timestamp_fields& t) {
  char text[64];
  snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
           t.minute, t.second);
  return text;
}

}  // namespace

std::string escape_text(const std::string& text) { return escape(text, false); }

std::string report_line(const meld::decoded_record& r, const peer_info& peer, bool json) {
  std::vector<field> f = {{"job", number(r.job_nr), false}, {"client", number(r.client), false}};
  std::string event;
  switch (r.kind) {
    case meld::record_kind::job_event:
      event = r.status == 'E' ? "job-end" : "job-state";
      f.push_back({"status", std::string(1, r.status), true});
      f.push_back({"rc", number(r.ret_code), false});
      f.push_back({"text", r.info_text, true});
      f.push_back({"time", utc_text(r.time), true});
      f.push_back({"epoch", number(r.time_t_value), false});
      f.push_back({"pid", number(r.pid), false});
      f.push_back({"ppid", number(r.ppid), false});
      f.push_back({"pgrp", number(r.pgrp), false});
      f.push_back({"sid", number(r.sid), false});
      break;
    case meld::record_kind::output_file:
      event = "output-file";
      f.push_back({"login-check", std::string(1, r.login_check), true});
      f.push_back({"path", r.file_name, true});
      f.push_back({"path-terminated", r.file_name_terminated ? "yes" : "no", true});
      f.push_back({"time", utc_text(r.time), true});
      f.push_back({"epoch", number(r.time_t_value), false});
      break;
    case meld::record_kind::variable:
      event = "variable";
      f.push_back({"name", r.has_variable ? r.var_name : "", true});
      f.push_back({"value", r.has_variable ? r.var_value : "", true});
      f.push_back({"type", r.var_type != 0 ? std::string(1, r.var_type) : "", true});
      f.push_back({"has-variable", r.has_variable ? "yes" : "no", true});
      f.push_back({"time", utc_text(r.time), true});
      f.push_back({"epoch", number(r.time_t_value), false});
      break;
  }
  f.push_back({"version", r.md_version, true});
  f.push_back({"conn", number(peer.channel_id), false});
  f.push_back({"from", peer.address + ":" + number(peer.port), true});
  return render(event, f, json);
}

std::string listening_line(const std::string& address, int port, bool json) {
  return render("listening", {{"address", address, true}, {"port", number(port), false}}, json);
}

}  // namespace agent_sim
