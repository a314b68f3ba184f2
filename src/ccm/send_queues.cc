// Winding down a context's messages: every queued message goes back to the pool. Meant for a
// channel manager whose network thread has ended, so it takes no lock of its own (the pool's
// free operation still takes queue_lock for each message).
#include "flow_control.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/send.h"
#include "qm7/runtime/trace.h"

namespace {

void free_all(ccm_context_t* ccm, ccm_msg_queue_t* q) {
  ccm_msg_t* m = ccm_queue_take_all(q);
  while (m != nullptr) {
    ccm_msg_t* next = m->nxt;
    m->nxt = nullptr;
    ccm_msg_free(ccm, m);
    m = next;
  }
}

}  // namespace

int ccm_msg_emptying_queues(ccm_context_t* ccm) {
  QM7_TRACE("%s() -->", __func__);
  QM7_TRACE("%s:      empty global RECV queue", __func__);
  free_all(ccm, &ccm->recvq);
  ccm->recvq_bytes = 0;
  free_all(ccm, &ccm->recv_batch);
  ccm->recv_batch_len = 0;
  free_all(ccm, &ccm->msgq_inuse);
  free_all(ccm, &ccm->msgq_2dispatch);
  for (ccm_channel_t* ch = ccm->channelq.head; ch != nullptr; ch = ch->nxt) {
    QM7_TRACE("%s:      empty RECV/SENDQ queue of channel(%p,s=%d/chID=%d,%s,flag=%.8X)", __func__,
              static_cast<void*>(ch), ch->s, ch->ID, ch->name,
              static_cast<unsigned>(ccm_flag_get(&ch->flag)));
    if (ccm_flag_test(&ch->flag, CCM_FLAG_DELETED)) continue;
    ch->recv_pos = 0;
    free_all(ccm, &ch->sendq);
    ch->sendq_bytes = 0;
    free_all(ccm, &ch->recvq);
    qm7::ccm::count_partial(ccm, ch, 0);
  }
  QM7_TRACE("%s <-- (OK)", __func__);
  return 0;
}
