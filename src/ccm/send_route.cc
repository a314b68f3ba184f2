// Routing, the upper layer of the send paths: the NAT path's choice between routing a message
// through the local agent as a ROUTENAT record and framing it for its own channel, forwarding a
// copy of a received NAT message to another channel, passing a socket descriptor to another
// process as a PASSFD record with SCM_RIGHTS control data, and the IPC logger. Everything here
// frames and queues through send.cc, which calls nothing here.
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "error_util.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/host.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/send.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"
#include "send_frame.h"

namespace {

constexpr char kAgentIpc[] = "*IPC(AGENT)";

// The host's running mode; a process without a recorded host counts as the messenger (3),
// which routes nothing.
int running_mode() { return ccm_pcx != nullptr ? ccm_pcx->running_mode : 3; }

// A message whose data area can hold `bytes` behind the 256-byte headroom: a standard one when
// that suffices, else a large one of the size needed. Null when memory is exhausted or the size
// cannot be represented.
ccm_msg_t* alloc_for(ccm_context_t* ccm, long bytes, ccm_error_t* ccmerr) {
  long needed = (bytes + CCM_MSG_HEADROOM + 1) / 2;
  if (needed <= CCM_MSG_STD_SIZE) return ccm_msg_alloc(ccm, ccmerr);
  if (needed > 0x3FFFFFFF) return nullptr;
  return ccm_msg_alloc_huge(ccm, static_cast<int>(needed), ccmerr);
}

}  // namespace

int send_NAT_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  const ccm_addr_t& a = ccmmsg->addr;
  if (trc_level()) {
    __trace_text(0,
                 "%s(msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X),addr(src=(ID=%d,addr=%s,"
                 "name=%s,acv=%.8X),dst=(ID=%d,addr=%s,name=%s,acv=%.8X))) -->",
                 __func__, static_cast<void*>(ccmmsg), ccmmsg->ID,
                 static_cast<void*>(ccmmsg->msg_start), ccmmsg->len, ccmmsg->pos,
                 static_cast<unsigned>(ccmmsg->flag), a.src_ID, a.src_addr, a.src_name,
                 static_cast<unsigned>(a.src_acv), a.dst_ID, a.dst_addr, a.dst_name,
                 static_cast<unsigned>(a.dst_acv));
  }
  if (running_mode() != 0 && strcmp(a.dst_addr, "*SERVER") == 0) {
    if (send_NAT_message_route(ccm, ccmmsg) != 0) {
      QM7_TRACE("%s <-- (routing error)", __func__);
      return -1;
    }
    QM7_TRACE("%s <-- (routed)", __func__);
    return 0;
  }
  return qm7::ccm::queue_nat_frame(ccm, ccmmsg);
}

int send_NAT_message_route(ccm_context_t* ccm, ccm_msg_t* ccmmsg) {
  QM7_TRACE("%s(msg=%p,len=%d) -->", __func__, static_cast<void*>(ccmmsg), ccmmsg->len);
  const int body_len = ccmmsg->len < 0 ? 0 : ccmmsg->len;
  ccm_error_t err{};
  ccm_msg_t* route = alloc_for(ccm, static_cast<long>(sizeof(ipcmsg_routenat_t)) + body_len, &err);
  if (route == nullptr) {
    QM7_TRACE("%s <-- (msg alloc error, ROUTENAT not sent)", __func__);
    return -1;
  }
  auto* rec = reinterpret_cast<ipcmsg_routenat_t*>(route->msg_start);
  memset(rec, 0, sizeof(ipcmsg_routenat_t));
  StringCopy(rec->head.msgtype, sizeof(rec->head.msgtype), IPCMSG_ROUTENAT);
  memcpy(&rec->addr, &ccmmsg->addr, sizeof(ccm_addr_t));
  rec->len = body_len;
  if (body_len > 0)
    memcpy(route->msg_start + sizeof(ipcmsg_routenat_t), ccmmsg->msg_start, body_len);
  route->len = static_cast<int>(sizeof(ipcmsg_routenat_t)) + body_len;
  ccm_setaddr(route, 0, 0, kAgentIpc, "", 0);
  if (send_IPC_message(ccm, route) != 0) {
    ccm_msg_free(ccm, route);
    QM7_TRACE("%s <-- (frame error, ROUTENAT not sent)", __func__);
    return -1;
  }
  ccm_msg_free(ccm, ccmmsg);
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ccm_forward_NAT_message(ccm_context_t* ccm, ccm_msg_t* ccmmsg, int channelID,
                            const char* channelName, ccm_error_t* ccmerr, int check_channel) {
  const char* name = channelName != nullptr ? channelName : "";
  QM7_TRACE("%s(foward to ID=%d,name=%s) -->", __func__, channelID, name);
  int found_id = channelID;
  char found_name[64] = {};
  if (check_channel != 0) {
    ccm_channel_t* ch = channelID != 0 ? ccm_channel_getbyID(ccm, channelID) : nullptr;
    if (ch == nullptr && name[0] != '\0') ch = ccm_channel_getbyName(ccm, name);
    if (ch == nullptr) {
      qm7::ccm::set_error(ccmerr, CCM_MSGNR_FORWARD_FAILED, "%d/%s|channel not found|", channelID,
                          name);
      QM7_TRACE("%s <-- (ftx ipc channel not found)", __func__);
      return -1;
    }
    found_id = ch->ID;
    StringCopy(found_name, sizeof(found_name), ch->name);
    ccm_channel_unlock(ccm);
  }
  const int len = ccmmsg->len < 0 ? 0 : ccmmsg->len;
  ccm_error_t err{};
  // Room for the body, its addressing elements, the trailer and the header.
  ccm_msg_t* copy = alloc_for(ccm, static_cast<long>(len) + 512, &err);
  if (copy == nullptr) {
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_FORWARD_FAILED, "%d/%s|alloc error|", channelID, name);
    QM7_TRACE("%s <-- (alloc error)", __func__);
    return -1;
  }
  const ccm_addr_t& a = ccmmsg->addr;
  if (channelID != 0) {
    ccm_setaddr(copy, found_id, 0, "", a.dst_name, a.dst_acv);
  } else {
    ccm_setaddr(copy, 0, 0, name, a.dst_name, a.dst_acv);
  }
  ccm_setback(copy, "*SERVER", a.src_name, a.src_acv);
  if (len > 0) memcpy(copy->msg_start, ccmmsg->msg_start, len);
  copy->len = len;
  copy->type = CCM_MSGTYPE_NAT;
  copy->flag = ccmmsg->flag & CCM_MSGFLAG_NOCONV;
  if (send_NAT_message(ccm, copy) != 0) {
    ccm_msg_free(ccm, copy);
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_FORWARD_FAILED, "%d/%s|alloc error|", channelID, name);
    QM7_TRACE("%s <-- (send error)", __func__);
    return -1;
  }
  QM7_TRACE("%s <-- (fowarded to ID=%d,name='%s')", __func__, found_id,
            check_channel != 0 ? found_name : name);
  return 0;
}

int send_file_descriptor(ccm_context_t* ccm, const char* destination, int fd, int listenerID,
                         int agentID, const char* name) {
  const char* dest = destination != nullptr ? destination : "";
  QM7_TRACE("%s(passing fd=%d to partner %s) -->", __func__, fd, dest);
  __log(CCM_MSGNR_FD_PASSED, "%d/ID=%d", fd, listenerID);
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm, &err);
  if (msg == nullptr) {
    QM7_TRACE("%s <-- (msg alloc error, descriptor not passed)", __func__);
    return -1;
  }
  auto* rec = reinterpret_cast<ipcmsg_passfd_t*>(msg->msg_start);
  memset(rec, 0, sizeof(ipcmsg_passfd_t));
  StringCopy(rec->head.msgtype, sizeof(rec->head.msgtype), IPCMSG_PASSFD);
  rec->fd = fd;
  rec->agentID = agentID;
  rec->listenerID = listenerID;
  StringCopy(rec->name, sizeof(rec->name), name != nullptr ? name : "");
  msg->len = sizeof(ipcmsg_passfd_t);

  // The control message is laid out with the platform's own macros (header size and alignment
  // differ between hosts); the writer attaches it to every send call of this frame.
  static_assert(CMSG_SPACE(sizeof(int)) <= sizeof(msg->control_data));
  memset(msg->control_data, 0, sizeof(msg->control_data));
  auto* cmsg = reinterpret_cast<struct cmsghdr*>(msg->control_data);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
  msg->control_len = CMSG_SPACE(sizeof(int));

  ccm_setaddr(msg, 0, 0, dest, "", 0);
  if (send_IPC_message(ccm, msg) != 0) {
    ccm_msg_free(ccm, msg);
    QM7_TRACE("%s <-- (frame error, descriptor not passed)", __func__);
    return -1;
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}

int ipc_logger(int msgnr, const char* msginsert) {
  ccm_host_context_t* host = std::atomic_ref<ccm_host_context_t*>(ppcx).load();
  if (host == nullptr || host->ccm == nullptr) return 0;
  auto* ccm = static_cast<ccm_context_t*>(host->ccm);
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm, &err);
  if (msg == nullptr) return 0;
  auto* rec = reinterpret_cast<ipcmsg_logging_t*>(msg->msg_start);
  memset(rec, 0, sizeof(ipcmsg_logging_t));
  memcpy(rec->head.msgtype, IPCMSG_LOGGING, sizeof(IPCMSG_LOGGING) - 1);
  rec->msgnr = msgnr;
  // Cut at 1024 characters; the field carries a terminator only when the text is shorter.
  if (msginsert != nullptr)
    memcpy(rec->msginsert, msginsert, strnlen(msginsert, sizeof(rec->msginsert)));
  msg->len = sizeof(ipcmsg_logging_t);
  ccm_setaddr(msg, 0, 0, kAgentIpc, "", 0);
  if (send_IPC_message(ccm, msg) != 0) ccm_msg_free(ccm, msg);
  return 0;
}
