// Reading a native body: the walk over its keyed elements that fills a received message's
// destination and sender fields and moves its data to the start of the data area. Every element
// is checked against the end of the body before a byte of it is read, and every address field is
// filled with a bounded copy, so a hostile body can neither read nor write outside the message.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/reader.h"
#include "qm7/runtime/ctools.h"
#include "qm7/runtime/trace.h"
#include "reader_internal.h"

namespace {

// Copies `data` into the 64-byte address field `field`: cut to 63 characters, terminated.
template <size_t N>
void copy_field(char (&field)[N], std::string_view data) {
  const size_t n = std::min(data.size(), N - 1);
  std::memcpy(field, data.data(), n);
  field[n] = '\0';
}

std::string_view raw_text(const unsigned char* data, size_t n) {
  return {reinterpret_cast<const char*>(data), n};
}

// The 4 bytes of a value element, as they stand; a shorter element leaves the rest zero and a
// longer one is cut.
void copy_value(int* field, const unsigned char* data, size_t n) {
  *field = 0;
  std::memcpy(field, data, std::min(n, sizeof *field));
}

// The unknown sub-keys of one frame's sender trailers. The first few are logged one by one, the
// rest once, with their number, when the walk over the frame ends: a trailer holds up to 128 of
// them and a frame thousands of trailers, and a log line each would let a peer flood the log.
class UnknownSubkeys {
 public:
  UnknownSubkeys() = default;
  UnknownSubkeys(const UnknownSubkeys&) = delete;
  UnknownSubkeys& operator=(const UnknownSubkeys&) = delete;
  ~UnknownSubkeys() {
    if (count_ > kLogged)
      __log(CCM_MSGNR_FREE_TEXT, "invalid kz: %zu more in this frame", count_ - kLogged);
  }
  void note() {
    if (++count_ <= kLogged) __log(CCM_MSGNR_FREE_TEXT, "invalid kz");
  }

 private:
  static constexpr size_t kLogged = 3;
  size_t count_ = 0;
};

// Walks the sender trailer's sub-elements (1-byte length form) inside the work area. A
// sub-element that runs past the work area is cut there; an unknown sub-key is noted and
// stepped over by its length byte.
void read_sender_trailer(ccm_msg_t* msg, const unsigned char* content, size_t n,
                         UnknownSubkeys* unknown) {
  unsigned char work[qm7::ccm::kTrailerWorkArea];
  const size_t wlen = std::min(n, sizeof work);
  std::memcpy(work, content, wlen);
  size_t p = 0;
  while (p + 2 <= wlen) {
    const unsigned char subkey = work[p];
    const size_t m = work[p + 1];
    const unsigned char* data = work + p + 2;
    const size_t avail = std::min(m, wlen - p - 2);
    switch (subkey) {
      case 0x01:
        copy_field(msg->addr.src_name, raw_text(data, avail));
        break;
      case 0x02:
        copy_value(&msg->addr.src_acv, data, avail);
        break;
      case 0x03:
        copy_field(msg->addr.src_addr, raw_text(data, avail));
        break;
      default:
        unknown->note();
        QM7_TRACE("%s:      invalid kz %d(0x%.2X) in sender trailer", __func__, subkey, subkey);
        break;
    }
    p += 2 + m;
  }
}

}  // namespace

int ccm_parse_native_message(ccm_context_t* /*ccm*/, ccm_channel_t* ccmch, ccm_msg_t* ccmmsg,
                             ccm_error_t* /*ccmerr*/) {
  ccmmsg->type = CCM_MSGTYPE_NATIVE;
  if (ccmmsg->len < 0) {
    QM7_TRACE("%s <-- (invalid length %d)", __func__, ccmmsg->len);
    return -1;
  }
  unsigned char* const body = ccmmsg->msg_start;
  const size_t body_len = static_cast<size_t>(ccmmsg->len);
  long len = ccmmsg->len;
  bool moved = false;
  UnknownSubkeys unknown;

  for (size_t pos = 0; pos < body_len;) {
    const unsigned char key = body[pos];
    QM7_TRACE("%s:      protocol key = %d(0x%.2X)", __func__, key, key);
    const int form = qm7::ccm::element_form(key);
    if (form == 0) {
      QM7_TRACE("%s <-- (invalid key %d(0x%.2X))", __func__, key, key);
      return -1;
    }
    const long size = qm7::ccm::element_size({body + pos, body_len - pos}, form);
    if (size < 0) {
      QM7_TRACE("%s <-- (invalid element length, key %d(0x%.2X) at offset %zu)", __func__, key, key,
                pos);
      return -1;
    }
    const size_t prefix = form == 7 ? 8 : static_cast<size_t>(form) + 1;
    unsigned char* const data = body + pos + prefix;
    const size_t n = static_cast<size_t>(size) - prefix;

    switch (key) {
      case 0x01:
        copy_field(ccmmsg->addr.dst_name, raw_text(data, n));
        strip(ccmmsg->addr.dst_name);
        break;
      case 0x02:
        copy_value(&ccmmsg->addr.dst_acv, data, n);
        break;
      case 0x03:
        copy_field(ccmmsg->addr.dst_addr, raw_text(data, n));
        strip(ccmmsg->addr.dst_addr);
        break;
      case 0x04:
      case 0x07:
        // The writers put a short data element alone into the body, where the body length less
        // the key and length byte is the data length.
        ccmmsg->protocol_key = key;
        std::memmove(ccmmsg->msg_start, data, n);
        len = std::max(len - 2, 0L);
        moved = true;
        break;
      case 0x3B:
      case 0xF9:
      case 0x41:
      case 0x44:
        ccmmsg->protocol_key = key;
        std::memmove(ccmmsg->msg_start, data, n);
        len = static_cast<long>(n);
        moved = true;
        break;
      case 0xFE:
      case 0xFF:
        ccmmsg->msg_start = data;
        len = static_cast<long>(n);
        ccmmsg->type = CCM_MSGTYPE_NAT;
        moved = true;
        if (ccmch != nullptr) ccm_flag_clear(&ccmch->flag, CCM_FLAG_CONNECTING);
        break;
      case 0xFD:
        read_sender_trailer(ccmmsg, data, n, &unknown);
        break;
    }
    pos += static_cast<size_t>(size);
  }

  if (moved) {
    // msg_start never leaves the body; the data moved must not reach past its end either.
    const long room = static_cast<long>(body + body_len - ccmmsg->msg_start);
    len = std::clamp(len, 0L, room);
    std::memmove(ccmmsg->buffer1, ccmmsg->msg_start, static_cast<size_t>(len));
    ccmmsg->msg_start = ccmmsg->buffer1;
  }
  ccmmsg->len = static_cast<int>(len);
  return 0;
}
