// Fuzz target of the channel reader: the input is the byte stream of one channel. It is fed to
// the reader's framing and classification in read-sized pieces, the socket replaced by copies
// into the receive buffer. Each input runs twice, with different piece sizes and with message
// allocations failing now and then in the second run: both runs must deliver the same messages,
// in the same order, each once. Every delivered message must lie inside its own block.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm7/ccm.h"
#include "reader_internal.h"

namespace {

ccm_host_context_t g_host{3, nullptr};
ccm_context_t* g_ccm = nullptr;

// A small deterministic generator for piece sizes and allocation failures.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

uint64_t fnv1a(const uint8_t* data, size_t size) {
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ULL;
  return h | 1;
}

Rng* g_alloc_rng = nullptr;
ccm_msg_t* flaky_alloc(ccm_context_t* ccm, size_t len, qm7::ccm::FrameStock* stock,
                       ccm_error_t* err) {
  if (g_alloc_rng != nullptr && g_alloc_rng->next() % 5 == 0) return nullptr;
  return qm7::ccm::detail::default_frame_msg_alloc(ccm, len, stock, err);
}

bool field_ok(const char (&f)[64]) { return memchr(f, '\0', sizeof f) != nullptr; }

// What the processor thread would see of one message.
std::string summary(const ccm_msg_t* m) {
  const unsigned char* area_end = m->buffer1 + 2 * static_cast<size_t>(m->size);
  if (m->type < 0 || m->type > 3 || m->len < 0 || m->msg_start < m->buffer1 ||
      m->msg_start + m->len > area_end || !field_ok(m->addr.dst_addr) ||
      !field_ok(m->addr.dst_name) || !field_ok(m->addr.src_addr) || !field_ok(m->addr.src_name)) {
    abort();  // a message reaching outside its block, or an unterminated field
  }
  std::string s(reinterpret_cast<const char*>(m->msg_start), static_cast<size_t>(m->len));
  s += '|' + std::to_string(m->type) + '|' + std::to_string(m->protocol_key) + '|' +
       std::to_string(m->flag) + '|' + m->addr.dst_name + '|' + m->addr.dst_addr + '|' +
       m->addr.src_name + '|' + m->addr.src_addr + '|' + std::to_string(m->addr.dst_acv) + '|' +
       std::to_string(m->addr.src_acv);
  return s;
}

void drain(std::vector<std::string>* out) {
  for (;;) {
    ccm_queue_lock(g_ccm);
    ccm_msg_t* m = ccm_queue_pop(&g_ccm->recvq);
    ccm_queue_unlock(g_ccm);
    if (m == nullptr) return;
    out->push_back(summary(m));
    ccm_msg_free(g_ccm, m);
  }
}

// Feeds the stream in pieces; returns the messages delivered.
std::vector<std::string> run(const uint8_t* data, size_t size, uint64_t seed, bool flaky) {
  std::vector<std::string> out;
  ccm_error_t err{};
  ccm_channel_t* ch = nullptr;
  if (ccm_channel_new_entry(g_ccm, &ch, &err) != 0) abort();
  ch->type = CCM_TYPE_MESSENGER;
  std::strcpy(ch->name, "*FUZZ");  // the same sender name in both runs
  Rng pieces{seed};
  Rng failures{seed * 31 + 7};
  g_alloc_rng = flaky ? &failures : nullptr;
  qm7::ccm::detail::frame_msg_alloc = flaky_alloc;

  size_t off = 0;
  bool alive = true;
  while (alive && off < size) {
    if (qm7::ccm::recv_buffer_reserve(g_ccm, ch, &err) != 0) abort();  // memory is plentiful
    const uint64_t r = pieces.next();
    size_t piece = (r & 3) == 0 ? 1 + (r >> 8) % 9000 : 1 + (r >> 8) % 64;
    piece = std::min({piece, size - off, static_cast<size_t>(ch->recv_size - ch->recv_pos)});
    memcpy(ch->recv_buffer + ch->recv_pos, data + off, piece);
    ch->recv_pos += static_cast<int>(piece);
    off += piece;
    if (ch->recv_pos > ch->recv_size) abort();
    qm7::ccm::take_frames(g_ccm, ch, nullptr, 0, &err);
    alive = !ccm_flag_test(&ch->flag, CCM_FLAG_DELETED);
    drain(&out);
  }
  // Frames held back by a failed allocation are delivered once memory is back.
  g_alloc_rng = nullptr;
  if (alive) qm7::ccm::take_frames(g_ccm, ch, nullptr, 0, &err);
  drain(&out);

  ch->type = CCM_TYPE_PASSIVE;  // released without log line or notice
  ccm_channel_destroy(g_ccm, ch, &err);
  qm7::ccm::detail::frame_msg_alloc = qm7::ccm::detail::default_frame_msg_alloc;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ccm_error_t err{};
  if (ccm_open(&g_host, &g_ccm, &err) != 0) abort();
  g_host.ccm = g_ccm;
  __log_set_logger([](int, const char*) { return 0; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t seed = fnv1a(data, size);
  const std::vector<std::string> plain = run(data, size, seed, false);
  const std::vector<std::string> flaky = run(data, size, seed * 0x9E3779B97F4A7C15ULL | 1, true);
  if (plain != flaky) abort();  // a frame lost, repeated or cut differently
  return 0;
}
