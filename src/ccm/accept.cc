// The accept path of the network thread: a listening channel that is readable has a connection
// waiting. The accepted socket becomes a new channel, and the processor thread learns of it
// through a CHANNEL_ACCEPT notice on recvq. Whatever cannot be completed is undone, so that no
// accepted socket is left open without a channel. The pacing of accepts (how many per pass, the
// pause after a lack of descriptors) is here too.
#include "accept.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "channel_text.h"
#include "error_util.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/connect.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/recv.h"
#include "qm7/ccm/thread.h"
#include "qm7/runtime/datetime.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"
#include "sockopt.h"

namespace {

// Releases an entry that was never chained: no close line, no notice (it was never announced),
// and its socket is closed with it.
void discard_entry(ccm_context_t* ccm, ccm_channel_t* ch) {
  ch->type = CCM_TYPE_SILENT;
  ccm_error_t err{};
  ccm_channel_destroy(ccm, ch, &err);
}

// When accept() fails for want of descriptors or memory, the connection stays queued and the
// listening socket stays readable: selecting on it again at once would spin the network thread
// until a descriptor frees. So listening channels sit out the passes of a short pause (the
// context's accept_paused_until), while every other channel is served as usual; a pass that
// destroys a channel ends the pause, as the descriptor it frees may take the next connection.
constexpr long long kAcceptPauseMs = 100;

bool lacks_resources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

namespace qm7::ccm {

void accept_waiting(ccm_context_t* ccm, ccm_channel_t* ch, ccm_error_t* ccmerr) {
  const int bound = ccm->max_accept_per_pass > 0 ? ccm->max_accept_per_pass : 1;
  for (int taken = 0; taken < bound; ++taken) {
    if (ccm_signal_on_listen(ccm, ch, ccmerr) == 0) continue;
    if (lacks_resources(errno)) {
      ccm->accept_paused_until = monotonic_ms() + kAcceptPauseMs;
    }
    return;
  }
}

bool accept_paused(const ccm_context_t* ccm) {
  return ccm->accept_paused_until != 0 && monotonic_ms() < ccm->accept_paused_until;
}

long long accept_pause_left_ms(const ccm_context_t* ccm) {
  if (!accept_paused(ccm)) return -1;
  const long long left = ccm->accept_paused_until - monotonic_ms();
  return left > 0 ? left : 0;
}

}  // namespace qm7::ccm

int ccm_signal_on_listen(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr) {
  QM7_TRACE("%s(%s) -->", __func__, qm7::ccm::channel_short(ccmch).c_str());
  struct sockaddr_in6 peer;
  memset(&peer, 0, sizeof(peer));
  socklen_t peer_len = sizeof(peer);
  QM7_TRACE("%s:         accept(...) -->", __func__);
  int s;
  do {
    s = accept4(ccmch->s, reinterpret_cast<struct sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  const int err = errno;
  QM7_TRACE("%s:         accept(...) <--", __func__);
  if (s < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
    // The queue is empty (the loop accepts until it is, or the peer gave up before we came):
    // no failure of the listener, so the error record is left alone.
    QM7_TRACE("%s <-- (no connection waiting)", __func__);
    errno = err;
    return -1;
  }
  if (s < 0) {
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "accept(...,FIONBIO)|%d-%s", err, strerror(err));
    QM7_TRACE("%s <-- (accept error)", __func__);
    errno = err;  // the network loop tells a lack of descriptors from other failures
    return -1;
  }

  ccm_channel_t* newch = nullptr;
  if (ccm_channel_new_entry(ccm, &newch, ccmerr) != 0) {
    qm7::ccm::close_fd(s);
    QM7_TRACE("%s <-- (unable to allocate new socket entry for LISTEN)", __func__);
    return -1;
  }
  ccm_address2string(&peer, newch->addr, sizeof(newch->addr));
  newch->s = s;
  // sin_port and sin6_port lie at the same offset, so one read serves both families.
  newch->port = ntohs(peer.sin6_port);

  if (ccm_set_nonblocking(ccm, newch, ccmerr) != 0) {
    discard_entry(ccm, newch);
    QM7_TRACE("%s <-- (error set non-blocking mode)", __func__);
    return -1;
  }
  if (ccm_set_linger(ccm, newch, 1, 60, ccmerr) != 0) {
    discard_entry(ccm, newch);
    QM7_TRACE("%s <-- (error set linger)", __func__);
    return -1;
  }
  qm7::ccm::set_nodelay(newch);

  ccm_msg_t* msg = ccm_msg_alloc(ccm, ccmerr);
  if (msg == nullptr) {
    // Without the notice the processor thread would never learn of the channel: refuse the
    // connection rather than keep a socket nobody serves.
    discard_entry(ccm, newch);
    QM7_TRACE("%s <-- (msg alloc error, connection refused)", __func__);
    return -1;
  }
  auto* rec = reinterpret_cast<ipcmsg_channel_accept_t*>(msg->msg_start);
  memset(rec, 0, sizeof(*rec));
  StringCopy(rec->head.msgtype, sizeof(rec->head.msgtype), IPCMSG_CHANNEL_ACCEPT);
  rec->ID = newch->ID;
  msg->len = sizeof(*rec);

  // Described before chaining: from then on the processor thread may find and change it.
  qm7::ccm::ChannelText text{};
  if (trc_level()) text = qm7::ccm::channel_long(newch);
  ccm_channel_chain(ccm, newch);
  send_IPC_internal(ccm, msg);
  QM7_TRACE("%s <-- (new channel created: %s)", __func__, text.c_str());
  return 0;
}
