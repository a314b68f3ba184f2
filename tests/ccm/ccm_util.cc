// Shared helpers of the channel manager tests.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "ccm/ccm_test_util.h"

namespace qm7::test {
namespace {

std::mutex g_mutex;
Entries g_entries;
logger_function_t* g_previous = nullptr;

int capture_logger(int msgnr, const char* msginsert) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.emplace_back(msgnr, msginsert);
  return 0;
}

}  // namespace

std::string frame(std::string_view protocol, std::string_view body, long length) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08ld", length < 0 ? long(48 + body.size()) : length);
  std::string out = std::string(digits, 8) + "QM7:global001" + std::string(protocol);
  out.resize(48, ' ');
  return out.append(body);
}

std::string elem(int form, unsigned char key, std::string_view data) {
  std::string out(1, static_cast<char>(key));
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07zu", data.size());
  if (form == 7) out.append(digits, 7);
  for (int i = 0; i < form && form != 7; ++i)
    out.push_back(static_cast<char>(data.size() >> 8 * i));
  return out.append(data);
}

std::string body_pattern(int len) {
  std::string s(static_cast<size_t>(len), '\0');
  for (int i = 0; i < len; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

MsgPtr make_msg(std::string_view frame_bytes) {
  auto* m = static_cast<ccm_msg_t*>(calloc(1, CCM_MSG_HEADER_SIZE + 2 * CCM_MSG_STD_SIZE));
  m->size = CCM_MSG_STD_SIZE;
  m->buffer1 = m->msg_start = m->buffer;
  m->buffer2 = m->buffer + CCM_MSG_STD_SIZE;
  memcpy(m->buffer1, frame_bytes.data(), frame_bytes.size());
  m->len = static_cast<int>(frame_bytes.size());
  return MsgPtr(m);
}

LogCapture::LogCapture() {
  clear();
  g_previous = default_logger;
  __log_set_logger(capture_logger);
}

LogCapture::~LogCapture() { __log_set_logger(g_previous); }

Entries LogCapture::entries() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_entries;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.clear();
}

void merge_newq(ccm_context_t* ccm) {
  ccm_channel_lock(ccm);
  ccm_channel_merge_newq(ccm);
  ccm_channel_unlock(ccm);
}

void send_with_fd(int sock, std::string_view bytes, int fd) {
  struct iovec iov = {const_cast<char*>(bytes.data()), bytes.size()};
  alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr mh = {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  ASSERT_EQ(sendmsg(sock, &mh, 0), static_cast<ssize_t>(bytes.size()));
}

int passed_fd(const ccm_msg_t* m) {
  struct msghdr mh = {};
  mh.msg_control = const_cast<unsigned char*>(m->control_data);
  mh.msg_controllen = m->control_len;
  const struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
  if (c == nullptr || m->control_len != CMSG_SPACE(sizeof(int)) || c->cmsg_level != SOL_SOCKET ||
      c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int)))
    return -1;
  int fd;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}

int waiting(int fd) {
  int n = -1;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

std::string read_exact(int fd, size_t n) {
  std::string out;
  char buf[65536];
  for (pollfd p = {fd, POLLIN, 0}; out.size() < n && poll(&p, 1, 5000) > 0;) {
    ssize_t r = read(fd, buf, std::min(n - out.size(), sizeof buf));
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

ccm_msg_t* receive(ccm_context_t* ccm, int seconds) {
  ccm_msg_t* m = nullptr;
  ccm_error_t err{};
  return ccm_receive_wait(ccm, seconds * 1000, &m, &err) == 1 ? m : nullptr;
}

void CcmTest::SetUp() {
  ASSERT_EQ(ccm_open(&host_, &ccm_, &err_), 0);
  host_.ccm = ccm_;
}

void CcmTest::TearDown() {
  stop();
  for (int fd : peers_) close(fd);
  peers_.clear();
  ccm_channel_closeall(ccm_);
  ccm_close(ccm_, &err_);
}

void CcmTest::start() {
  ASSERT_EQ(ccm_thread_start(ccm_, &err_), 0);
  running_ = true;
}

void CcmTest::stop() {
  if (!running_) return;
  ccm_thread_stop(ccm_);
  ccm_thread_join(ccm_);
  running_ = false;
}

ccm_channel_t* CcmTest::add_channel(const char* name, int type) {
  ccm_channel_t* ch = nullptr;
  EXPECT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  ch->type = type;
  if (name != nullptr) StringCopy(ch->name, sizeof ch->name, name);
  ccm_channel_chain(ccm_, ch);
  return ch;
}

int CcmTest::add_pair_channel(const char* name, ccm_channel_t** out, int type) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
  ccm_channel_t* ch = nullptr;
  EXPECT_EQ(ccm_channel_new_entry(ccm_, &ch, &err_), 0);
  ch->s = sv[0];
  StringCopy(ch->name, sizeof ch->name, name);
  EXPECT_EQ(ccm_set_nonblocking(ccm_, ch, &err_), 0);
  ccm_channel_chain(ccm_, ch);
  ccm_wakeup_network(ccm_);
  if (out != nullptr) *out = ch;
  peers_.push_back(sv[1]);
  return sv[1];
}

ccm_msg_t* CcmTest::body_msg(int len, ccm_context_t* ccm) {
  const int size = std::max<int>(CCM_MSG_STD_SIZE, (len + CCM_MSG_HEADROOM + 1) / 2);
  ccm_msg_t* m = ccm_msg_alloc_huge(ccm != nullptr ? ccm : ccm_, size, &err_);
  memcpy(m->msg_start, body_pattern(len).data(), len);
  m->len = len;
  return m;
}

void CcmTest::put(ccm_msg_t* m, ccm_msg_queue_t* q) {
  ccm_queue_lock(ccm_);
  ccm_queue_unlink(&ccm_->msgq_inuse, m);
  ccm_queue_unlock(ccm_);
  ccm_queue_append(q, m);
}

}  // namespace qm7::test
