// Classifying a received frame: the protocol name of its header decides whether
// the body is an internal IPC record, a GSS exchange or a native body, and so
// the kind of the message the processor thread receives.
#include <cstring>

#include "qm7/ccm/reader.h"
#include "qm7/ccm/send.h"
#include "qm7/runtime/protocol_header.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

int ccm_classify_message(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_msg_t* ccmmsg,
                         ccm_error_t* ccmerr) {
  using qm7::protocol::kHeaderSize;
  if (ccmmsg->len < static_cast<int>(kHeaderSize)) {
    QM7_TRACE("%s <-- (frame shorter than its header: %d)", __func__, ccmmsg->len);
    return -1;
  }
  const unsigned char* protocol = ccmmsg->msg_start + qm7::protocol::kProtocolOffset;
  if (std::memcmp(protocol, qm7::protocol::kProtocolIpc, qm7::protocol::kProtocolWidth) == 0) {
    ccmmsg->type = CCM_MSGTYPE_IPC;
    ccmmsg->msg_start += kHeaderSize;
    ccmmsg->len -= static_cast<int>(kHeaderSize);
    StringCopy(ccmmsg->addr.src_addr, sizeof ccmmsg->addr.src_addr,
               ccmch != nullptr ? ccmch->name : "");
    QM7_TRACE("%s <-- (IPC message)", __func__);
    return 0;
  }
  if (is_gss_message(ccm, ccmmsg)) {
    ccmmsg->type = CCM_MSGTYPE_GSS;
    QM7_TRACE("%s <-- (GSS protocol message)", __func__);
    return 0;
  }

  ccmmsg->msg_start += kHeaderSize;
  ccmmsg->len -= static_cast<int>(kHeaderSize);
  if (ccm_parse_native_message(ccm, ccmch, ccmmsg, ccmerr) != 0) {
    QM7_TRACE("%s <-- (error parsing message)", __func__);
    return -1;
  }
  if (ccmmsg->len >= 5 && std::memcmp(ccmmsg->msg_start, "<?xml", 5) == 0) {
    ccmmsg->flag |= CCM_MSGFLAG_NOCONV;
  }
  if (ccmmsg->type == CCM_MSGTYPE_NAT && (ccmmsg->flag & CCM_MSGFLAG_NOCONV) == 0) {
    if (msgconv_ToHost(ccm, ccmmsg) < 0) {
      QM7_TRACE("%s <-- (msgconv ToHost error)", __func__);
      return -1;
    }
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}
