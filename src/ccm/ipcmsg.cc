// Dispatch of the channel manager's IPC records: a table maps a record's 16-byte type name to
// its handler; the empty row at the end catches every type nobody handles. Host programs call
// process_IPC_message for the messages of type 3 they receive.
#include <atomic>
#include <cstring>

#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

ccm_host_context_t* ppcx = nullptr;

const sr_function_t ipc_function_list[] = {
    {IPCMSG_CHANNEL_CLOSE, process_ipc_channel_close},
    {"", process_ipc_unknown},
};

namespace {

// The record's type name as a terminated text; a record shorter than 16 bytes is read only as
// far as it goes, the rest counts as NUL padding.
void record_type_name(const ccm_msg_t* ccmmsg, char (&name)[IPCMSG_TYPE_NAME_LEN + 1]) {
  memset(name, 0, sizeof(name));
  if (ccmmsg->msg_start == nullptr || ccmmsg->len <= 0) return;
  size_t n = ccmmsg->len < IPCMSG_TYPE_NAME_LEN ? static_cast<size_t>(ccmmsg->len)
                                                : static_cast<size_t>(IPCMSG_TYPE_NAME_LEN);
  memcpy(name, ccmmsg->msg_start, n);
}

int log_unserved(const char* fn, ccm_msg_t* ccmmsg, const char* what) {
  QM7_TRACE("%s() -->", fn);
  char name[IPCMSG_TYPE_NAME_LEN + 1];
  record_type_name(ccmmsg, name);
  __log(CCM_MSGNR_FREE_TEXT, "IPC message (%s) is %s", name, what);
  __log(CCM_MSGNR_IPC_UNKNOWN, "%.*s|", static_cast<int>(sizeof(ccmmsg->addr.src_name)),
        ccmmsg->addr.src_name);
  QM7_TRACE("%s <-- (ERROR)", fn);
  return -1;
}

}  // namespace

int process_IPC_message(ccm_host_context_t* pcx, ccm_context_t* /*ccm*/, ccm_msg_t* ccmmsg) {
  char name[IPCMSG_TYPE_NAME_LEN + 1];
  record_type_name(ccmmsg, name);
  QM7_TRACE("%s(%s,msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X)) -->", __func__, name,
            static_cast<void*>(ccmmsg), ccmmsg->ID, static_cast<void*>(ccmmsg->msg_start),
            ccmmsg->len, ccmmsg->pos, static_cast<unsigned>(ccmmsg->flag));
  if (trc_level() && ccmmsg->len > 0) {
    trcdump(ccmmsg->msg_start, ccmmsg->len, "IPC message to process ");
  }
  std::atomic_ref<ccm_host_context_t*>(ppcx).store(pcx);

  // The comparison covers the whole NUL-padded field; `name` holds it with the padding zeroed.
  const sr_function_t* row = ipc_function_list;
  while (row->name[0] != '\0' && memcmp(row->name, name, IPCMSG_TYPE_NAME_LEN) != 0) ++row;
  int rslt = row->function_addr(pcx, ccmmsg);
  QM7_TRACE("%s <-- (function rslt=%d)", __func__, rslt);
  return rslt;
}

int process_ipc_channel_close(ccm_host_context_t* /*pcx*/, ccm_msg_t* /*ccmmsg*/) { return 0; }

int process_ipc_unknown(ccm_host_context_t* /*pcx*/, ccm_msg_t* ccmmsg) {
  return log_unserved(__func__, ccmmsg, "not known");
}

int process_ipc_not_implemented(ccm_host_context_t* /*pcx*/, ccm_msg_t* ccmmsg) {
  return log_unserved(__func__, ccmmsg, "not implemented");
}
