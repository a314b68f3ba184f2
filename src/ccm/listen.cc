// Listening sockets: ccm_create_listen opens a non-blocking, close-on-exec socket on a local
// address and port and enters it as the channel "*LISTEN" of type 1. The network thread takes
// it over at its next select pass and accepts on it.
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "channel_text.h"
#include "error_util.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/connect.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

int ccm_create_listen(ccm_context_t* ccm, const char* pbind_addr, int port, int listen_count,
                      ccm_error_t* ccmerr) {
  if (pbind_addr == nullptr) pbind_addr = "";
  QM7_TRACE("%s(bind_addr=%s,port=%d,listen=%d) -->", __func__, pbind_addr, port, listen_count);
  const bool ipv6 = ccm_flag_test(&ccm->flag, CCM_CTX_IPV6) != 0;
  char bind_addr[256];
  StringCopy(bind_addr, sizeof(bind_addr), pbind_addr);
  if (strcmp(bind_addr, "*LOCAL") == 0) {
    StringCopy(bind_addr, sizeof(bind_addr), ipv6 ? "::1" : "127.0.0.1");
  }
  QM7_TRACE("%s:      using bindaddr = %s", __func__, bind_addr);

  struct sockaddr_in6 sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin6_family = ipv6 ? AF_INET6 : AF_INET;
  if (bind_addr[0] != '\0' && ccm_hostname2address(bind_addr, 0x2, &sa, ccmerr) != 0) {
    QM7_TRACE("%s <-- (ccm_hostname2address error)", __func__);
    return -1;
  }

  QM7_TRACE("%s:         socket(family=%d) -->", __func__, sa.sin6_family);
  int s = socket(sa.sin6_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int err = errno;
  QM7_TRACE("%s:         socket(...) <-- s=%d", __func__, s);
  if (s < 0) {
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "socket(family=%d,addr=)|%d(%s)", sa.sin6_family,
                        err, strerror(err));
    QM7_TRACE("%s <-- (socket() error)", __func__);
    return -1;
  }
  int on = 1;
  QM7_TRACE("%s:         setsockopt(s=%d,SOL_SOCKET,SO_REUSEADDR)", __func__, s);
  int rslt = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  QM7_TRACE("%s:         setsockopt() <-- rslt=%d", __func__, rslt);

  QM7_TRACE("%s:         bind(%d,family=%d,addr=%s,port=%d) -->", __func__, s, sa.sin6_family,
            bind_addr, port);
  if (port < 0 || port > 65535) {
    rslt = -1;  // a port the address cannot hold: refused as bind() refuses a bad address
    err = EINVAL;
  } else {
    if (sa.sin6_family == AF_INET) {
      reinterpret_cast<struct sockaddr_in*>(&sa)->sin_port = htons(static_cast<uint16_t>(port));
    } else {
      sa.sin6_port = htons(static_cast<uint16_t>(port));
    }
    rslt = bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa));
    err = errno;
  }
  if (rslt != 0) {
    qm7::ccm::close_fd(s);
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "bind(%s:%d)|%d(%s)", bind_addr, port, err,
                        strerror(err));
    QM7_TRACE("%s <-- (bind() error)", __func__);
    return -1;
  }

  QM7_TRACE("%s:         listen(socket=%d,count=%d) -->", __func__, s, listen_count);
  rslt = listen(s, listen_count);
  err = errno;
  QM7_TRACE("%s:         listen(...) <-- rslt=%d,errno=%d(%s)", __func__, rslt, err, strerror(err));
  if (rslt != 0) {
    qm7::ccm::close_fd(s);
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "listen()|%d(%s)", err, strerror(err));
    QM7_TRACE("%s <-- (listen() error)", __func__);
    return -1;
  }

  QM7_TRACE("%s:      ioctl( %d, DONTBLOCK) -->", __func__, s);
  rslt = ioctl(s, FIONBIO, &on);
  err = errno;
  QM7_TRACE("%s:      ioctl(...) <-- rslt=%d,errno=%d-%s", __func__, rslt, err, strerror(err));
  if (rslt != 0) {
    qm7::ccm::close_fd(s);
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "ioctl(...,FIONBIO)|%d-%s", err, strerror(err));
    QM7_TRACE("%s <-- (ioctl error, dontblock)", __func__);
    return -1;
  }

  ccm_channel_t* ch = nullptr;
  if (ccm_channel_new_entry(ccm, &ch, ccmerr) != 0) {
    qm7::ccm::close_fd(s);
    QM7_TRACE("%s <-- (channel entry create error)", __func__);
    return -1;
  }
  ch->s = s;
  ch->type = CCM_TYPE_LISTEN;
  StringCopy(ch->name, sizeof(ch->name), "*LISTEN");
  QM7_TRACE("%s <-- (OK,%s)", __func__, qm7::ccm::channel_long(ch).c_str());
  ccm_channel_chain(ccm, ch);
  return 0;
}
