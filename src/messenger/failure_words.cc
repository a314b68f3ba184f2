// Plain words for the failures the channel manager records on the agent's connection.
#include "failure_words.h"

#include <netdb.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qm7::detail {
namespace {

// The error number in an insert: the first field (at its start or behind a '|') that is a
// number followed by "(" and the error's text. False when no field is.
bool error_number(std::string_view insert, int* number) {
  for (std::size_t at = 0; at < insert.size(); ++at) {
    if (at > 0 && insert[at - 1] != '|') continue;
    std::size_t end = at + (insert[at] == '-');
    const std::size_t digits = end;
    while (end < insert.size() && std::isdigit(static_cast<unsigned char>(insert[end]))) ++end;
    if (end > digits && end < insert.size() && insert[end] == '(') {
      *number = std::atoi(std::string(insert.substr(at, end - at)).c_str());
      return true;
    }
  }
  return false;
}

std::string plain_words(std::string_view insert, const std::string& host, int port) {
  const std::string to = host + " port " + std::to_string(port);
  int number = 0;
  const bool numbered = error_number(insert, &number);
  if (insert.rfind("getaddrinfo|", 0) == 0) {
    if (insert.find("|no answer within") != std::string_view::npos) {
      return "the name server gave no address for " + host + " in time";
    }
    if (numbered && number == EAI_NONAME) return "host " + host + " not found";
    return "the address of host " + host + " could not be looked up";
  }
  const std::size_t idle = insert.find("|idle for ");
  if (idle != std::string_view::npos) {
    const std::string_view ms = insert.substr(idle + 10, insert.find(',', idle) - idle - 10);
    return "the connection to " + to + " carried nothing for " + std::string(ms);
  }
  if (!numbered) return "the connection to " + to + " failed";
  switch (number) {
    case ECONNREFUSED:
      return "connection refused by " + to;
    case ECONNRESET:
      return "connection reset by " + to;
    case ETIMEDOUT:
      return "no answer to the connection request from " + to + " in time";
    case EHOSTUNREACH:
      return "host " + host + " unreachable";
    case ENETUNREACH:
      return "no route to the network of " + host;
    case EPIPE:
      return "the connection to " + to + " broke";
    default: {
      std::string text = std::strerror(number);
      if (!text.empty()) text[0] = static_cast<char>(std::tolower(text[0]));
      return text + " on the connection to " + to;
    }
  }
}

}  // namespace

failure_text failure_words(int msgnr, const char* insert, const std::string& host, int port) {
  char number[32];
  std::snprintf(number, sizeof(number), "message %d", msgnr);
  if (insert[0] == '\0') {
    return {"the connection to " + host + " port " + std::to_string(port) + " failed",
            std::string(" (") + number + ")"};
  }
  return {plain_words(insert, host, port), std::string(" (") + insert + ", " + number + ")"};
}

failure_text failure_words(const ccm_error_t& err, const std::string& host, int port) {
  return failure_words(err.msgnr, err.msginsert, host, port);
}

failure_text close_reason(const ccm_close_info_t& info, const std::string& host, int port) {
  if (info.msgnr == 0) return {"the agent closed the connection", ""};
  return failure_words(info.msgnr, info.msginsert, host, port);
}

}  // namespace qm7::detail
