// The per-channel deadlines of the network loop and the end of a pending connect.
#include "channel_timers.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "error_util.h"
#include "output_state.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

namespace qm7::ccm {
namespace {

bool is_connection(int type) {
  return type == CCM_TYPE_UNSET || type == CCM_TYPE_SERVER || type == CCM_TYPE_AGENT ||
         type == CCM_TYPE_MESSENGER || type == CCM_TYPE_CP;
}

void lower(long long* nearest, long long deadline) {
  if (*nearest < 0 || deadline < *nearest) *nearest = deadline;
}

bool same_address(const sockaddr_storage& a, socklen_t alen, const sockaddr_storage& b,
                  socklen_t blen) {
  return alen == blen && memcmp(&a, &b, alen) == 0;
}

}  // namespace

bool check_channel_timers(ccm_context_t* ccm, ccm_channel_t* ch, long long now,
                          long long* nearest) {
  const int flag = ccm_flag_get(&ch->flag);
  if (flag & CCM_FLAG_CLOSING) {
    // What was sent after this pass's dispatch waits on the context's queues: it counts too.
    ccm_output_state_t out;
    read_output_state(ccm, ch, &out);
    if (out.queued == 0) {
      QM7_TRACE("%s:      channel(chID=%d) closed: output drained", "ccm_network_select", ch->ID);
      ccm_channel_delete(ccm, ch);
      return false;
    }
    if (now >= ch->close_deadline) {
      QM7_TRACE("%s:      channel(chID=%d) aborted: output not drained in time",
                "ccm_network_select", ch->ID);
      ccm_flag_set(&ch->flag, CCM_FLAG_ABORT);
      ccm_channel_delete(ccm, ch);
      return false;
    }
    lower(nearest, ch->close_deadline);
  }
  if ((flag & CCM_FLAG_CONNECT_WAIT) && ch->connect_deadline >= 0) {
    if (now >= ch->connect_deadline) {
      fail_receive(ccm, ch, ETIMEDOUT);
      return false;
    }
    lower(nearest, ch->connect_deadline);
  }
  // A connect still in progress has its own time-out; the idle time counts from its end.
  if (ccm->idle_timeout_ms > 0 && is_connection(ch->type) && !(flag & CCM_FLAG_CONNECT_WAIT)) {
    const long long due = ch->last_msg_time + ccm->idle_timeout_ms;
    if (now >= due) {
      ch->msgnr = CCM_MSGNR_RECV_FAILED;
      snprintf(ch->msginsert, sizeof(ch->msginsert), "%s|idle for %d ms,S(%d(ID=%d))|", ch->name,
               ccm->idle_timeout_ms, ch->s, ch->ID);
      ccm_channel_delete(ccm, ch);
      return false;
    }
    lower(nearest, due);
  }
  return true;
}

void finish_connect(ccm_context_t* ccm, ccm_channel_t* ch) {
  ccm_flag_clear(&ch->flag, CCM_FLAG_CONNECT_WAIT);
  ch->last_msg_time = monotonic_ms();
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(ch->s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0) {
    sockaddr_storage local{}, peer{};
    socklen_t llen = sizeof(local), plen = sizeof(peer);
    if (getsockname(ch->s, reinterpret_cast<sockaddr*>(&local), &llen) == 0 &&
        getpeername(ch->s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 &&
        same_address(local, llen, peer, plen)) {
      QM7_TRACE("%s:      channel(chID=%d) connected to itself", "ccm_network_select", ch->ID);
      err = ECONNREFUSED;
    }
  }
  if (err != 0) fail_receive(ccm, ch, err);
}

}  // namespace qm7::ccm
