// Framing and queueing, the lower layer of the send paths: NAT, native, GSS and IPC messages are
// completed in place and queued on the context's sendq for the network thread, which dispatches
// and writes them. The code-conversion hooks of NAT bodies live here too. Nothing here routes: the
// NAT path's choice between routing and framing sits above, in send_route.cc.
#include <cstdio>
#include <cstring>

#include "qm7/ccm/context.h"
#include "qm7/ccm/send.h"
#include "qm7/runtime/protocol_header.h"
#include "qm7/runtime/trace.h"
#include "send_frame.h"
#include "wakeup.h"

namespace {

void trace_msg(const char* func, const char* what, const ccm_msg_t* m) {
  __trace_text(0, "%s(%smsg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)) -->", func, what,
               static_cast<const void*>(m), m->ID, static_cast<const void*>(m->msg_start), m->len,
               m->pos, static_cast<unsigned>(m->flag));
}

}  // namespace

int ccm_send_message_common(ccm_context_t* ccm, ccm_msg_t* ccmmsg, const char* text) {
  if (trc_level()) trcdump(ccmmsg->msg_start, ccmmsg->len, "%s", text != nullptr ? text : "");
  ccm_queue_lock(ccm);
  ccm_queue_unlink(&ccm->msgq_inuse, ccmmsg);
  ccm_queue_append(&ccm->sendq, ccmmsg);
  ccm_queue_unlock(ccm);
  qm7::ccm::wakeup_network_for_send(ccm);
  return 0;
}

namespace qm7::ccm {

int queue_nat_frame(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  const char* fn = "send_NAT_message";
  const ccm_addr_t& a = ccmmsg->addr;
  if (!nat_frame_fits(ccmmsg)) {
    QM7_TRACE("%s <-- (no room for the frame, len=%d)", fn, ccmmsg->len);
    return -1;
  }
  if ((ccmmsg->flag & CCM_MSGFLAG_NOCONV) == 0 && msgconv_ToLan(ccm, ccmmsg) < 0) {
    QM7_TRACE("%s <-- (msgconv ToLAN() error)", fn);
    return -1;
  }
  if (trc_level()) {
    char msg_type[9] = {};
    memcpy(msg_type, ccmmsg->msg_start, ccmmsg->len < 8 ? (ccmmsg->len < 0 ? 0 : ccmmsg->len) : 8);
    __trace_text(0, "%s:      %8.8s send %8.8s  to  %s b-acv: %.8X  c-acv: %.8X", fn, a.src_name,
                 msg_type, a.dst_addr, static_cast<unsigned>(a.src_acv),
                 static_cast<unsigned>(a.dst_acv));
  }
  cmm_msg_write_sr_data(ccmmsg);
  prepend_protocol_header(ccmmsg, qm7::protocol::kProtocolNative);
  ccmmsg->type = CCM_MSGTYPE_NAT;
  ccm_send_message_common(ccm, ccmmsg, "NAT message");
  QM7_TRACE("%s <-- (OK)", fn);
  return 0;
}

}  // namespace qm7::ccm

int send_native_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  if (trc_level()) trace_msg(__func__, "", ccmmsg);
  if (!qm7::ccm::prepend_protocol_header(ccmmsg, qm7::protocol::kProtocolNative)) {
    QM7_TRACE("%s <-- (no room for the header, len=%d)", __func__, ccmmsg->len);
    return -1;
  }
  ccm_send_message_common(ccm, ccmmsg, "native message");
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int send_GSS_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg, const char* coding) {
  namespace proto = qm7::protocol;
  if (trc_level()) trace_msg(__func__, "", ccmmsg);
  if (!qm7::ccm::prepend_protocol_header(ccmmsg, proto::kProtocolGss)) {
    QM7_TRACE("%s <-- (no room for the header, len=%d)", __func__, ccmmsg->len);
    return -1;
  }
  unsigned char* field = ccmmsg->msg_start + proto::kCodingOffset;
  memset(field, ' ', proto::kCodingWidth);
  if (coding != nullptr) memcpy(field, coding, strnlen(coding, proto::kCodingWidth));
  ccm_send_message_common(ccm, ccmmsg, "GSS protocol message");
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int send_IPC_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  if (trc_level()) {
    char type_name[17] = {};
    if (ccmmsg->len > 0) memcpy(type_name, ccmmsg->msg_start, ccmmsg->len < 16 ? ccmmsg->len : 16);
    char what[32];
    snprintf(what, sizeof(what), "%s,", type_name);
    trace_msg(__func__, what, ccmmsg);
  }
  if (!qm7::ccm::prepend_protocol_header(ccmmsg, qm7::protocol::kProtocolIpc)) {
    QM7_TRACE("%s <-- (no room for the header, len=%d)", __func__, ccmmsg->len);
    return -1;
  }
  ccmmsg->type = CCM_MSGTYPE_IPC;
  ccm_send_message_common(ccm, ccmmsg, "IPC message");
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int msgconv_ToLan(ccm_context_t* /*ccm*/, ccm_msg_t* ccmmsg) {
  QM7_TRACE("%s(msg=%p,len=%d) -->", __func__, static_cast<void*>(ccmmsg), ccmmsg->len);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int msgconv_ToHost(ccm_context_t* /*ccm*/, ccm_msg_t* ccmmsg) {
  QM7_TRACE("%s(msg=%p,len=%d) -->", __func__, static_cast<void*>(ccmmsg), ccmmsg->len);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}
