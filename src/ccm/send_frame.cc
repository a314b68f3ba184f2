// Frame writers of the send paths: the 48-byte protocol header, the short data element of a
// native message, and the addressing elements and sender trailer of a NAT message. They write
// into the headroom in front of the body and the space behind it and never move the body.
#include "send_frame.h"

#include <cstdio>
#include <cstring>

#include "qm7/ccm/send.h"
#include "qm7/runtime/byteorder.h"
#include "qm7/runtime/protocol_header.h"

namespace qm7::ccm {
namespace {

namespace proto = qm7::protocol;

constexpr int kNameWire = 8;          // names travel as 8 blank-padded characters
constexpr int kAddrMax = 63;          // address fields hold 63 characters and a terminator
constexpr int kBodyElementSize = 5;   // 0xFF and a 4-byte length
constexpr int kNameElementSize = 10;  // key, length 8, 8 characters
constexpr int kAcvElementSize = 6;    // key, length 4, 4 bytes
constexpr int kTrailerHeadSize = 3;   // 0xFD and a 2-byte count

bool is_cp_address(const char* addr) { return strncmp(addr, "*CP", 3) == 0; }

int addr_len(const char* field) { return static_cast<int>(strnlen(field, kAddrMax)); }

// Sizes of what cmm_msg_write_sr_data puts in front of and behind the body.
int front_size(const ccm_addr_t& a) {
  int n = kBodyElementSize;
  if (a.dst_addr[0] != '\0' && is_cp_address(a.dst_addr)) n += addr_len(a.dst_addr) + 2;
  if (a.dst_name[0] != '\0') n += kNameElementSize;
  if (a.dst_acv != 0) n += kAcvElementSize;
  return n;
}

int trailer_content_size(const ccm_addr_t& a) {
  int n = 0;
  if (a.src_addr[0] != '\0') n += addr_len(a.src_addr) + 2;
  if (a.src_name[0] != '\0') n += kNameElementSize;
  if (a.src_acv != 0) n += kAcvElementSize;
  return n;
}

int back_size(const ccm_addr_t& a) {
  int content = trailer_content_size(a);
  return content == 0 ? 0 : kTrailerHeadSize + content;
}

unsigned char* write_name_element(unsigned char* p, unsigned char key, const char* name) {
  p[0] = key;
  p[1] = kNameWire;
  memset(p + 2, ' ', kNameWire);
  memcpy(p + 2, name, strnlen(name, kNameWire));
  return p + kNameElementSize;
}

unsigned char* write_addr_element(unsigned char* p, unsigned char key, const char* addr) {
  int n = addr_len(addr);
  p[0] = key;
  p[1] = static_cast<unsigned char>(n);
  memcpy(p + 2, addr, n);
  return p + n + 2;
}

unsigned char* write_acv_element(unsigned char* p, unsigned char key, int acv) {
  p[0] = key;
  p[1] = 4;
  memcpy(p + 2, &acv, 4);
  return p + kAcvElementSize;
}

// Moves msg_start back by `n` bytes and adds them to len.
unsigned char* grow_front(ccm_msg_t* msg, int n) {
  msg->msg_start -= n;
  msg->len += n;
  return msg->msg_start;
}

}  // namespace

long headroom(const ccm_msg_t* msg) {
  if (msg->msg_start < msg->buffer1) return -1;
  long room = msg->msg_start - msg->buffer1;
  return room > 2L * msg->size ? -1 : room;
}

long tailroom(const ccm_msg_t* msg) {
  long front = headroom(msg);
  if (front < 0 || msg->len < 0) return -1;
  long room = 2L * msg->size - front - msg->len;
  return room < 0 ? -1 : room;
}

bool nat_frame_fits(const ccm_msg_t* msg) {
  long front = headroom(msg);
  long back = tailroom(msg);
  return front >= front_size(msg->addr) + static_cast<long>(proto::kHeaderSize) &&
         back >= back_size(msg->addr);
}

bool prepend_protocol_header(ccm_msg_t* msg, const char* protocol) {
  if (headroom(msg) < static_cast<long>(proto::kHeaderSize) || msg->len < 0 ||
      msg->len > proto::kMaxLength - static_cast<int>(proto::kHeaderSize)) {
    return false;
  }
  grow_front(msg, proto::kHeaderSize);
  ccm_msg_set_protocol_header(msg, protocol);
  return true;
}

}  // namespace qm7::ccm

int ccm_msg_set_protocol_header(ccm_msg_t* ccmmsg, const char* protocol) {
  namespace proto = qm7::protocol;
  if (ccmmsg->len < 0 || ccmmsg->len > proto::kMaxLength) return 0;
  unsigned char* h = ccmmsg->msg_start;
  // The 8 digits of "%.8d", written directly: this runs for every frame sent.
  unsigned value = static_cast<unsigned>(ccmmsg->len);
  for (size_t i = proto::kLengthWidth; i-- > 0; value /= 10) {
    h[proto::kLengthOffset + i] = static_cast<unsigned char>('0' + value % 10);
  }
  memcpy(h + proto::kEyeCatchOffset, proto::kEyeCatch, proto::kEyeCatchWidth);
  memcpy(h + proto::kVersionOffset, proto::kVersion, proto::kVersionWidth);
  memset(h + proto::kProtocolOffset, ' ', proto::kProtocolWidth);
  if (protocol != nullptr) {
    memcpy(h + proto::kProtocolOffset, protocol, strnlen(protocol, proto::kProtocolWidth));
  }
  memset(h + proto::kCodingOffset, ' ', proto::kCodingWidth + proto::kSessionIdWidth);
  return 0;
}

char* ccm_msg_write_native_data(ccm_msg_t* ccmmsg, char key, char* data, int len) {
  if (static_cast<unsigned char>(key) != CCM_KEY_SHORT_DATA || len < 0 || len > 255) return nullptr;
  if (data == nullptr && len > 0) return nullptr;
  if (qm7::ccm::headroom(ccmmsg) < 0 || 2L * ccmmsg->size - qm7::ccm::headroom(ccmmsg) < len + 2) {
    return nullptr;
  }
  unsigned char* p = ccmmsg->msg_start;
  p[0] = CCM_KEY_SHORT_DATA;
  p[1] = static_cast<unsigned char>(len);
  if (len > 0) memmove(p + 2, data, len);
  ccmmsg->len = len + 2;
  return nullptr;
}

int cmm_msg_write_sr_data(ccm_msg_t* ccmmsg) {
  using namespace qm7::ccm;
  if (!nat_frame_fits(ccmmsg)) return 0;
  const ccm_addr_t& a = ccmmsg->addr;
  const int body_len = ccmmsg->len;

  unsigned char* p = grow_front(ccmmsg, kBodyElementSize);
  p[0] = CCM_KEY_NAT_BODY;
  unsigned int wire_len = iCnvU32(static_cast<unsigned int>(body_len));
  memcpy(p + 1, &wire_len, 4);
  if (a.dst_addr[0] != '\0' && is_cp_address(a.dst_addr)) {
    write_addr_element(grow_front(ccmmsg, addr_len(a.dst_addr) + 2), CCM_KEY_DST_ADDR, a.dst_addr);
  }
  if (a.dst_name[0] != '\0') {
    write_name_element(grow_front(ccmmsg, kNameElementSize), CCM_KEY_DST_NAME, a.dst_name);
  }
  if (a.dst_acv != 0) {
    write_acv_element(grow_front(ccmmsg, kAcvElementSize), CCM_KEY_DST_ACV, a.dst_acv);
  }

  const int content = trailer_content_size(a);
  if (content == 0) return 0;
  unsigned char* t = ccmmsg->msg_start + ccmmsg->len;
  t[0] = CCM_KEY_TRAILER;
  unsigned short wire_count = iCnvU16(static_cast<unsigned short>(content));
  memcpy(t + 1, &wire_count, 2);
  unsigned char* q = t + kTrailerHeadSize;
  if (a.src_addr[0] != '\0') q = write_addr_element(q, CCM_KEY_DST_ADDR, a.src_addr);
  if (a.src_name[0] != '\0') q = write_name_element(q, CCM_KEY_DST_NAME, a.src_name);
  if (a.src_acv != 0) q = write_acv_element(q, CCM_KEY_DST_ACV, a.src_acv);
  ccmmsg->len += static_cast<int>(q - t);
  return 0;
}

int ccm_msg_set_ipc_header(ccm_msg_t* /*ccmmsg*/, size_t /*len*/) { return 0; }
