// Frame builders and pool-free message blocks for the reader tests.
#include "ccm/frame_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm7::test {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes frame(std::string_view protocol, const Bytes& body, long length) {
  if (length < 0) length = static_cast<long>(48 + body.size());
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08ld", length);
  Bytes out = bytes(std::string_view(digits, 8));
  Bytes rest = bytes("QM7:global001");
  out.insert(out.end(), rest.begin(), rest.end());
  out.insert(out.end(), protocol.begin(), protocol.end());
  out.resize(48, ' ');
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

namespace {
Bytes elem(unsigned char key, const Bytes& length, const Bytes& data) {
  Bytes out{key};
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}
}  // namespace

Bytes elem1(unsigned char key, const Bytes& data) {
  return elem(key, {static_cast<unsigned char>(data.size())}, data);
}

Bytes elem2(unsigned char key, const Bytes& data) {
  const size_t n = data.size();
  return elem(key, {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8)}, data);
}

Bytes elem4(unsigned char key, const Bytes& data) {
  const size_t n = data.size();
  return elem(key,
              {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
               static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)},
              data);
}

Bytes elem7(unsigned char key, const Bytes& data) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07zu", data.size());
  return elem(key, bytes(std::string_view(digits, 7)), data);
}

Bytes job_state_record() {
  Bytes rec = bytes("MELD    ");
  for (int i = 8; i < 276; ++i) rec.push_back(static_cast<unsigned char>(i));
  return rec;
}

Bytes job_state_frame() {
  return frame("NAT", cat({elem1(0x01, bytes("JPAKTJ_R")), elem4(0xFF, job_state_record())}));
}

void FreeDeleter::operator()(ccm_msg_t* m) const { std::free(m); }

MsgPtr make_msg(const Bytes& frame_bytes, int size) {
  auto* m =
      static_cast<ccm_msg_t*>(std::calloc(1, CCM_MSG_HEADER_SIZE + 2 * static_cast<size_t>(size)));
  m->size = size;
  m->buffer1 = m->buffer;
  m->buffer2 = m->buffer + size;
  m->msg_start = m->buffer1;
  std::memcpy(m->buffer1, frame_bytes.data(), frame_bytes.size());
  m->len = static_cast<int>(frame_bytes.size());
  return MsgPtr(m);
}

}  // namespace qm7::test
