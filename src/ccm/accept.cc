// The accept path of the network thread: a listening channel that is readable has a connection
// waiting. The accepted socket becomes a new channel, and the processor thread learns of it
// through a CHANNEL_ACCEPT notice on recvq. Whatever cannot be completed is undone, so that no
// accepted socket is left open without a channel.
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

}  // namespace

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
