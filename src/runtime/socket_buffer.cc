// A socket's buffer sizes as the kernel reports them, for diagnostics. A failed query reads
// as 0 rather than an error: the callers only print the value.
#include <sys/socket.h>

#include <cerrno>

#include "qm7/runtime/host_lookup.h"

namespace {

int socket_buffer(int socket, int option) {
  // Descriptor 0 is standard input, never one of our sockets: not asked.
  if (socket == 0) return 0;
  int size = 0;
  socklen_t len = sizeof size;
  if (getsockopt(socket, SOL_SOCKET, option, &size, &len) != 0) return 0;
  return size;
}

}  // namespace

int GetRecvSocketBuffer(int Socket) { return socket_buffer(Socket, SO_RCVBUF); }

int GetSendSocketBuffer(int Socket) {
  errno = 0;
  return socket_buffer(Socket, SO_SNDBUF);
}
