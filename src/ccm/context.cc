// Opening and closing a channel manager context. Opening records the host's context, prepares
// the locks and counters and learns whether IPv6 sockets work; closing releases every message
// still queued or pooled, the locks, the wake-up pipes and the record itself.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "error_util.h"
#include "lock_init.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/host.h"
#include "qm7/ccm/msg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/trace.h"

ccm_host_context_t* ccm_pcx = nullptr;

namespace {

constexpr char kContextEyec[] = "##CCM_CONEXT####";
static_assert(sizeof(kContextEyec) == 17);

// Frees every message of one queue through the pool. The queue is detached first, so the pool
// never meets a message on a list it walks.
void release_queue(ccm_context_t* ccm, ccm_msg_queue_t* q) {
  ccm_queue_lock(ccm);
  ccm_msg_t* msg = ccm_queue_take_all(q);
  ccm_queue_unlock(ccm);
  while (msg != nullptr) {
    ccm_msg_t* next = msg->nxt;
    msg->nxt = nullptr;
    ccm_msg_free(ccm, msg);
    msg = next;
  }
}

// Channels still linked at close: nobody can receive their notices any more, so they are only
// released (socket closed, messages and buffers freed), without log lines.
void release_left_channels(ccm_context_t* ccm, ccm_channel_queue_t* q) {
  ccm_channel_t* ch = ccm_queue_take_all(q);
  while (ch != nullptr) {
    ccm_channel_t* next = ch->nxt;
    ch->type = CCM_TYPE_SILENT;
    ch->msgnr = 0;
    ccm_channel_destroy(ccm, ch, nullptr);
    ch = next;
  }
}

}  // namespace

int ccm_open(void* ppcx, ccm_context_t** pccm, ccm_error_t* ccmerr) {
  QM7_TRACE("%s() -->", __func__);
  if (pccm == nullptr) {
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "ccm_open(pccm=null)|%d-%s|", EINVAL,
                        strerror(EINVAL));
    QM7_TRACE("%s <-- (no location for the context)", __func__);
    return -1;
  }
  auto* ccm = static_cast<ccm_context_t*>(calloc(1, sizeof(ccm_context_t)));
  if (ccm == nullptr) {
    qm7::ccm::set_no_memory(ccmerr, "CCM_OPEN", CCM_MODULE_CCM, __LINE__);
    QM7_TRACE("%s <-- (calloc error)", __func__);
    return -1;
  }
  std::atomic_ref<ccm_host_context_t*>(ccm_pcx).store(static_cast<ccm_host_context_t*>(ppcx));

  memcpy(ccm->eyec, kContextEyec, sizeof(ccm->eyec));
  qm7::ccm::init_lock(&ccm->queue_lock);
  qm7::ccm::init_lock(&ccm->channel_lock);
  ccm->unique_channel_ID = 1;
  ccm->unique_msg_ID = 1;
  ccm->max_frame_len = CCM_DEFAULT_MAX_FRAME_LEN;
  ccm->max_queued_output = CCM_DEFAULT_MAX_QUEUED_OUTPUT;
  ccm->max_accept_per_pass = CCM_DEFAULT_MAX_ACCEPT_PER_PASS;
  ccm->max_queued_input = CCM_DEFAULT_MAX_QUEUED_INPUT;
  ccm->max_partial_input = CCM_DEFAULT_MAX_PARTIAL_INPUT;
  ccm->network_wakeup[0] = ccm->network_wakeup[1] = -1;
  ccm->processor_wakeup[0] = ccm->processor_wakeup[1] = -1;
  *pccm = ccm;

  ccm_error_t v6err{};
  if (ccm_check_ipv6_support(&v6err) != 0) {
    __log(v6err.msgnr, "%s", v6err.msginsert);
    __log(CCM_MSGNR_NO_IPV6, "%s", "");
  } else {
    ccm_flag_set(&ccm->flag, CCM_CTX_IPV6);
  }
  QM7_TRACE("%s <-- (ccm=%p)", __func__, static_cast<void*>(ccm));
  return 0;
}

int ccm_close(ccm_context_t* ccm, ccm_error_t* /*ccmerr*/) {
  if (ccm == nullptr) {
    QM7_TRACE("%s <-- (ccm == null)", __func__);
    return 0;
  }
  QM7_TRACE("%s(ccm=%p) -->", __func__, static_cast<void*>(ccm));

  release_left_channels(ccm, &ccm->channelq);
  release_left_channels(ccm, &ccm->channel_newq);

  release_queue(ccm, &ccm->sendq);
  release_queue(ccm, &ccm->recvq);
  release_queue(ccm, &ccm->recv_batch);
  release_queue(ccm, &ccm->msgq_inuse);
  release_queue(ccm, &ccm->msgq_2dispatch);

  ccm_queue_lock(ccm);
  while (ccm_msg_t* msg = ccm_queue_pop(&ccm->msg_freeq)) {
    QM7_TRACE("%s:      free(msg(%p,msgID=%lu,addr=%p,len=%d,pos=%d,flag=%.8X))", __func__,
              static_cast<void*>(msg), msg->ID, static_cast<void*>(msg->msg_start), msg->len,
              msg->pos, static_cast<unsigned>(msg->flag));
    free(msg);
  }
  ccm->nof_freemsg = 0;
  while (ccm_msg_t* block = ccm_queue_pop(&ccm->msg_spareq)) free(block);
  ccm->nof_spare = 0;
  ccm->spare_bytes = 0;
  while (ccm_msg_t* block = ccm_queue_pop(&ccm->msg_std_spareq)) free(block);
  ccm->nof_std_spare = 0;
  ccm_queue_unlock(ccm);

  pthread_mutex_destroy(&ccm->queue_lock);
  pthread_mutex_destroy(&ccm->channel_lock);
  ccm_close_wakeup_pipes(ccm);
  free(ccm);
  QM7_TRACE("%s <-- ()", __func__);
  return 0;
}
