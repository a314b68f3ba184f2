// Helpers of the network-thread, writer and send-path tests.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "ccm/net_test_util.h"

namespace qm7::test {

std::string body_pattern(int len) {
  std::string s(static_cast<size_t>(len), '\0');
  for (int i = 0; i < len; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

ccm_msg_t* make_body_msg(ccm_context_t* ccm, int len) {
  ccm_error_t err{};
  ccm_msg_t* m = ccm_msg_alloc(ccm, &err);
  if (m == nullptr) return nullptr;
  std::string body = body_pattern(len);
  memcpy(m->msg_start, body.data(), body.size());
  m->len = len;
  return m;
}

ccm_channel_t* make_channel(ccm_context_t* ccm, int s, const char* name) {
  ccm_error_t err{};
  ccm_channel_t* ch = nullptr;
  if (ccm_channel_new_entry(ccm, &ch, &err) != 0) return nullptr;
  ch->s = s;
  StringCopy(ch->name, sizeof(ch->name), name);
  ccm_set_nonblocking(ccm, ch, &err);
  return ch;
}

void discard_channel(ccm_context_t* ccm, ccm_channel_t* ch) {
  ch->type = CCM_TYPE_SILENT;
  ccm_error_t err{};
  ccm_channel_destroy(ccm, ch, &err);
}

std::string read_exact(int fd, size_t n, int timeout_ms) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
    ssize_t r = read(fd, buf, want);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string msg_bytes(const ccm_msg_t* m) {
  return std::string(reinterpret_cast<const char*>(m->msg_start), static_cast<size_t>(m->len));
}

std::string header_text(int len, const char* proto) {
  char digits[16];
  snprintf(digits, sizeof(digits), "%.8d", len);
  return std::string(digits) + "QM7:global001" + proto + std::string(24, ' ');
}

ccm_msg_t* receive(ccm_context_t* ccm, int seconds, bool skip_accept) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    ccm_msg_t* m = nullptr;
    ccm_error_t err{};
    if (ccm_receive_message(ccm, 1, &m, &err) == 1) {
      if (skip_accept && m->type == CCM_MSGTYPE_IPC && ipc_type(m) == IPCMSG_CHANNEL_ACCEPT) {
        ccm_msg_free(ccm, m);
        continue;
      }
      return m;
    }
  }
  return nullptr;
}

std::string ipc_type(const ccm_msg_t* m) {
  return std::string(reinterpret_cast<const char*>(m->msg_start),
                     strnlen(reinterpret_cast<const char*>(m->msg_start), 16));
}

}  // namespace qm7::test
