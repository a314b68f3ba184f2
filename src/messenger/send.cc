// The three send operations: each fills a pooled message with its record (built
// by records.cc, so the bytes are testable apart from the network), addresses
// it to the agent and hands it to send_NAT_message, which frames and queues it
// for the network thread.
#include "qm7/messenger/send.h"

#include <span>

#include "qm7/ccm.h"
#include "qm7/ccm/send.h"
#include "qm7/messenger/records.h"
#include "qm7/runtime/datetime.h"
#include "qm7/runtime/trace.h"

namespace {

namespace meld = qm7::meld;

meld::report_fields fields_of(const PCX* pcx) {
  meld::report_fields f;
  f.client = pcx->client;
  f.jobnri = pcx->jobnri;
  f.status = pcx->status;
  f.info_text = pcx->info_text;
  f.reti = pcx->reti;
  f.output_login = pcx->output_login;
  f.output_file = pcx->output_file;
  f.var_name = pcx->var_name;
  f.var_value = pcx->var_value;
  f.var_type = pcx->var_type;
  return f;
}

// A pooled message of type NAT, or null. The data area behind msg_start holds
// far more than the largest record (2 x 32768 - 256 bytes).
ccm_msg_t* take_message() {
  ccm_error_t err{};
  ccm_msg_t* msg = ccm_msg_alloc(ccm, &err);
  if (msg != nullptr) msg->type = CCM_MSGTYPE_NAT;
  return msg;
}

std::span<unsigned char> data_area(ccm_msg_t* msg) {
  return {msg->msg_start, static_cast<std::size_t>(2 * msg->size - CCM_MSG_HEADROOM)};
}

// Addresses the record and hands it over. Returns 0, or -1 when the channel
// manager refused it; the message is then still ours and goes back to the pool.
int hand_over(PCX* pcx, ccm_msg_t* msg, std::size_t len) {
  msg->len = static_cast<int>(len);
  ccm_setaddr(msg, pcx->agentID, 0, "", QM7_AGENT_FUNCTION, 0);
  if (send_NAT_message(ccm, msg) != 0) {
    ccm_msg_free(ccm, msg);
    return -1;
  }
  return 0;
}

}  // namespace

int SendJpMd(PCX* pcx) {
  static const char* const kFn = "SendJpMd";
  QM7_TRACE("%s(status=%c,rc=%d,mandant=%d) -->", kFn, pcx->status, pcx->reti, pcx->client);
  ccm_msg_t* msg = take_message();
  if (msg == nullptr) {
    QM7_TRACE("%s <-- (no message buffer)", kFn);
    return -1;
  }
  DATUM_BUFF now;
  GetDatumZeit2(nullptr, &now);
  const meld::process_ids ids = meld::current_process_ids();
  QM7_TRACE("%s:      %-30s : %i", kFn, "process ID", ids.pid);
  QM7_TRACE("%s:      %-30s : %i", kFn, "parent process ID", ids.ppid);
  QM7_TRACE("%s:      %-30s : %i", kFn, "groupID of the calling process", ids.pgrp);
  QM7_TRACE("%s:      %-30s : %i", kFn, "session ID", ids.sid);
  if (hand_over(pcx, msg, meld::build_job_event_record(data_area(msg), fields_of(pcx), now, ids)) !=
      0) {
    QM7_TRACE("%s <-- (not accepted by the channel manager)", kFn);
    return -1;
  }
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

int SendOutputViewMsg(PCX* pcx) {
  static const char* const kFn = "SendOutputViewMsg";
  QM7_TRACE("%s(jobnumber=%d,client=%i,filename=%s,logincheck=%s) -->", kFn, pcx->jobnri,
            pcx->client, pcx->output_file, pcx->output_login == 'Y' ? "YES" : "NO");
  if (pcx->output_file[0] == '\0') {
    QM7_TRACE("%s <-- (filename not defined)", kFn);
    return -1;
  }
  ccm_msg_t* msg = take_message();
  if (msg == nullptr) {
    QM7_TRACE("%s <-- (no message buffer)", kFn);
    return -1;
  }
  DATUM_BUFF now;
  GetDatumZeit2(nullptr, &now);
  if (hand_over(pcx, msg, meld::build_output_file_record(data_area(msg), fields_of(pcx), now)) !=
      0) {
    QM7_TRACE("%s <-- (not accepted by the channel manager)", kFn);
    return -1;
  }
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

int SendRegVariableMsg(PCX* pcx) {
  static const char* const kFn = "SendRegVariableMsg";
  // A type byte of 0 would end the trace text early; it prints as nothing
  // instead.
  const char type_text[2] = {pcx->var_type, '\0'};
  QM7_TRACE("%s(ah_idnr=%d, variable=%s,value=%s,type=%s) -->", kFn, pcx->jobnri, pcx->var_name,
            pcx->var_value, type_text);
  ccm_msg_t* msg = take_message();
  if (msg == nullptr) {
    QM7_TRACE("%s <-- (no message buffer)", kFn);
    return -1;
  }
  DATUM_BUFF now;
  GetDatumZeit2(nullptr, &now);
  if (hand_over(pcx, msg, meld::build_variable_record(data_area(msg), fields_of(pcx), now)) != 0) {
    QM7_TRACE("%s <-- (not accepted by the channel manager)", kFn);
    return -1;
  }
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}
