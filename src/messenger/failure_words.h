// What went wrong with the agent's connection, in the words an operator reads in a job's log:
// the plain cause first ("connection refused by 127.0.0.1 port 4711"), then the channel
// manager's own insert and message number, which name the call and the error for whoever has
// to look deeper. Internal to the messenger library.
#ifndef QM7_SRC_MESSENGER_FAILURE_WORDS_H_
#define QM7_SRC_MESSENGER_FAILURE_WORDS_H_

#include <string>

#include "qm7/ccm/error.h"
#include "qm7/ccm/host_interface.h"

namespace qm7::detail {

// A failure told twice over: in plain words, and with the channel manager's record behind.
struct failure_text {
  std::string words;   // "connection refused by 127.0.0.1 port 4711"
  std::string detail;  // " (<insert>, message <msgnr>)", or empty
  std::string full() const { return words + detail; }
};

// The failure recorded as `msgnr` with `insert` on the way to `host` port `port`. The insert
// keeps the layout the channel manager gives it ("getaddrinfo|-2(...)",
// "*ID3|111(Connection refused),S(...)|"); the plain words come from the error number in it,
// or say only that the connection failed.
failure_text failure_words(int msgnr, const char* insert, const std::string& host, int port);

// failure_words for the failure of a channel manager call.
failure_text failure_words(const ccm_error_t& err, const std::string& host, int port);

// For a close notice (ccm_close_notice_info): what ended the connection. An orderly end is "the
// agent closed the connection", a failure is told by failure_words.
failure_text close_reason(const ccm_close_info_t& info, const std::string& host, int port);

}  // namespace qm7::detail

#endif  // QM7_SRC_MESSENGER_FAILURE_WORDS_H_
