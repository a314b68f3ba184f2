// The one line qm7-agent-sim prints per report, as text or as a JSON object, from a decoded
// "MELD    " record and the connection it came on.
#ifndef QM7_AGENT_SIM_REPORT_LINE_H_
#define QM7_AGENT_SIM_REPORT_LINE_H_

#include <string>

#include "qm7/messenger/records.h"

namespace agent_sim {

// Where a report came from.
struct peer_info {
  int channel_id = 0;
  std::string address;
  int port = 0;
};

// The line for `record` (no line end). Texts are quoted; bytes that are not printable ASCII are
// escaped (\xNN in text, \u00NN in JSON), so every line is one line and valid JSON stays valid.
std::string report_line(const qm7::meld::decoded_record& record, const peer_info& peer, bool json);

// `text` as it appears between the quotes of a text line: printable ASCII kept, a quote or
// backslash behind a backslash, every other byte as \xNN. For every peer text the simulator
// writes, so a peer can neither forge a line nor send the terminal escape sequences.
std::string escape_text(const std::string& text);

// The first line: where the simulator listens.
std::string listening_line(const std::string& address, int port, bool json);

}  // namespace agent_sim

#endif  // QM7_AGENT_SIM_REPORT_LINE_H_
