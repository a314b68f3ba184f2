// A port of 127.0.0.1 where nothing listens: bound to port 0, then released. Header-only so
// every test program can use it.
#ifndef QM7_TESTS_SUPPORT_UNUSED_PORT_H_
#define QM7_TESTS_SUPPORT_UNUSED_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm7_test {

inline int UnusedPort() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bind(s, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

}  // namespace qm7_test

#endif  // QM7_TESTS_SUPPORT_UNUSED_PORT_H_
