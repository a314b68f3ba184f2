// Counting queries of a context: live channels by type group, and the state of the send queues.
// A live channel is one on channelq without the deleted flag; channel_newq is not counted.
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/runtime/trace.h"

namespace {

template <typename Pred>
int count_live(ccm_context_t* ccm, Pred matches) {
  int n = 0;
  ccm_channel_lock(ccm);
  for (ccm_channel_t* ch = ccm->channelq.head; ch != nullptr; ch = ch->nxt) {
    if (!ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) && matches(ch->type)) ++n;
  }
  ccm_channel_unlock(ccm);
  return n;
}

}  // namespace

int ccm_get_nof_server_connections(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  int n = count_live(ccm, [](int t) { return t == CCM_TYPE_SERVER || t == CCM_TYPE_CP; });
  QM7_TRACE("%s <-- (nof server connections=%d)", __func__, n);
  return n;
}

int ccm_get_nof_connections(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  int n = count_live(
      ccm, [](int t) { return t == CCM_TYPE_LISTEN || t == CCM_TYPE_SERVER || t == CCM_TYPE_CP; });
  QM7_TRACE("%s <-- (nof connections=%d)", __func__, n);
  return n;
}

int ccm_get_nof_agent_connections(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  int n = count_live(ccm, [](int t) { return t == CCM_TYPE_AGENT; });
  QM7_TRACE("%s <-- (nof agent connections=%d)", __func__, n);
  return n;
}

int ccm_get_nof_channels(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  int n = count_live(ccm, [](int t) { return t != CCM_TYPE_PASSIVE; });
  QM7_TRACE("%s <-- (nof channels=%d)", __func__, n);
  return n;
}

int ccm_get_sendq_count(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  ccm_queue_lock(ccm);
  int n = ccm_queue_count(&ccm->sendq);
  ccm_queue_unlock(ccm);
  QM7_TRACE("%s <-- (nof msgs=%d)", __func__, n);
  return n;
}

int ccm_is_all_sendq_empty(ccm_context_t* ccm) {
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));
  ccm_channel_lock(ccm);
  ccm_queue_lock(ccm);
  // The dispatch list counts too: the network thread moves messages from it to the channels'
  // queues under both locks, so a message in transit is always on one of the queues read here.
  int empty = ccm->sendq.head == nullptr && ccm->msgq_2dispatch.head == nullptr ? 1 : 0;
  ccm_queue_unlock(ccm);
  // The channels' queues are read under their own locks, one at a time, never nested in the
  // context's queue_lock: only channel_lock is held around them, as the lock order wants.
  for (ccm_channel_t* ch = ccm->channelq.head; empty && ch != nullptr; ch = ch->nxt) {
    if (ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) || ch->type == CCM_TYPE_SILENT) continue;
    ccmch_queue_lock(ccm, ch);
    if (ch->sendq.head != nullptr) empty = 0;
    ccmch_queue_unlock(ccm, ch);
  }
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (empty=%d)", __func__, empty);
  return empty;
}
