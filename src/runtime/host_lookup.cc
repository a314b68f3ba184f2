// Host names to dotted IPv4 addresses and back, and the check of a host definition. Results
// and errors go to the caller's buffers, errno or error record; the resolver calls beneath
// are re-entrant.
#include "qm7/runtime/host_lookup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"
#include "resolver.h"

namespace {

void clear(char* area, int size) {
  if (area != nullptr && size > 0) std::memset(area, 0, static_cast<std::size_t>(size));
}

// The resolver's error text for `herr`, empty when it is no resolver error number.
void put_error_text(char* area, int size, int herr) {
  if (herr > 0) getHerrnoString(area, size, herr);
}

// The error number a failed lookup reports: the resolver's, or the system's in its place.
int error_number(int herr) { return herr > 0 ? herr : -herr; }

}  // namespace

char* getHerrnoString(char* resString, int resLen, int herrno) {
  const char* text = "????";
  switch (herrno) {
    case 1:
      text = "HOST_NOT_FOUND";
      break;
    case 2:
      text = "TRY_AGAIN";
      break;
    case 3:
      text = "NO_RECOVERY";
      break;
    case 4:
      text = "NO_DATA";
      break;
    default:
      break;
  }
  return StringCopy(resString, resLen, text);
}

char* GetHostAddrTh(const char* Host, char* TcpAddr, int oLen) {
  static const char kFn[] = "GetHostAddrTh";
  QM7_TRACE("%s(host=%s) -->", kFn, Host != nullptr ? Host : "");
  clear(TcpAddr, oLen);
  if (qm7::detail::is_dotted_address(Host, nullptr)) {
    StringCopy(TcpAddr, oLen, Host);
    QM7_TRACE("%s <-- (ip=%s, with inet_addr() call)", kFn, Host);
    return TcpAddr;
  }
  in_addr addr{};
  const int herr = qm7::detail::resolve_name(Host, &addr);
  if (herr != 0) {
    QM7_TRACE("%s:           error '%i' in gethostbyname('%s')' call", kFn, herr,
              Host != nullptr ? Host : "");
    put_error_text(TcpAddr, oLen, herr);
    QM7_TRACE("%s <-- (error in gethostbyname() call)", kFn);
    errno = error_number(herr);
    return TcpAddr;
  }
  StringCopy(TcpAddr, oLen, qm7::detail::dotted(addr).c_str());
  QM7_TRACE("%s <-- (ip=%s, with gethostbyname() call)", kFn, TcpAddr != nullptr ? TcpAddr : "");
  errno = 0;
  return TcpAddr;
}

char* GetHostNameTh(const char* IpAddr, char* HostName, int oLen) {
  static const char kFn[] = "GetHostNameTh";
  QM7_TRACE("%s(ip=%s) -->", kFn, IpAddr != nullptr ? IpAddr : "");
  clear(HostName, oLen);
  in_addr addr{};
  if (!qm7::detail::is_dotted_address(IpAddr, &addr)) {
    QM7_TRACE("%s:      'IpAddr' parameter was as host name accepted.", kFn);
    StringCopy(HostName, oLen, IpAddr);
    QM7_TRACE("%s <-- (hostname=%s)", kFn, HostName != nullptr ? HostName : "");
    errno = 0;
    return HostName;
  }
  QM7_TRACE("%s:      TCP/IP address was accepted.", kFn);
  QM7_TRACE("%s:      call gethostbyaddr function", kFn);
  std::string name;
  const int herr = qm7::detail::resolve_address(addr, &name);
  if (herr != 0) {
    QM7_TRACE("%s:      result from gethostbyaddr()-call, h_errno '%i'", kFn, herr);
    put_error_text(HostName, oLen, herr);
    QM7_TRACE("%s <-- (error in gethostbyaddr())", kFn);
    errno = error_number(herr);
    return HostName;
  }
  QM7_TRACE("%s:      Host entry was successfull determined", kFn);
  StringCopy(HostName, oLen, name.c_str());
  QM7_TRACE("%s <-- (hostname=%s)", kFn, HostName != nullptr ? HostName : "");
  errno = 0;
  return HostName;
}

int verifyHostDef(const char* HostDef, char* hostName, int hostSize, char* ipAddr, int ipSize,
                  qm7_error* qm7err) {
  static const char kFn[] = "verifyHostDef";
  qm7_error unused;
  if (qm7err == nullptr) qm7err = &unused;
  QM7_TRACE("%s --> started, host definition '%s'", kFn, HostDef != nullptr ? HostDef : "");
  clear(hostName, hostSize);
  clear(ipAddr, ipSize);
  qm7err->qm_result = 0;
  qm7err->qm_errno = 0;
  qm7err->qm_msgnr = 0;
  qm7err->qm_msgInsert[0] = '\0';

  char host[256];
  StringCopy(host, sizeof host, HostDef);
  int port = 0;
  if (char* colon = std::strchr(host, ':'); colon != nullptr) {
    *colon = '\0';
    port = std::atoi(colon + 1);
    QM7_TRACE("%s   determine port number '%i'", kFn, port);
  }

  in_addr addr{};
  if (qm7::detail::is_dotted_address(host, &addr)) {
    StringCopy(ipAddr, ipSize, host);
    QM7_TRACE("%s     TCP/IP address '%s' was accepted.", kFn, host);
    QM7_TRACE("%s     call gethostbyaddr() function", kFn);
    std::string name;
    const int herr = qm7::detail::resolve_address(addr, &name);
    if (herr != 0) {
      qm7err->qm_errno = error_number(herr);
      qm7err->qm_result = 1;
      put_error_text(qm7err->qm_msgInsert, sizeof qm7err->qm_msgInsert, herr);
      QM7_TRACE("%s     host information for '%s' not found, errno %i", kFn, host, herr);
      QM7_TRACE("%s     result '%s' from gethostbyaddr()-call", kFn, qm7err->qm_msgInsert);
    } else {
      QM7_TRACE("%s     host entry was successfull determined", kFn);
      StringCopy(hostName, hostSize, name.c_str());
      QM7_TRACE("%s     host name '%s' was accepted.", kFn, name.c_str());
    }
    QM7_TRACE("%s <-- terminated normally, tcp/ip address '%s'", kFn, host);
    return port;
  }

  StringCopy(hostName, hostSize, host);
  QM7_TRACE("%s     It was '%s' as a hostname accepted", kFn, host);
  QM7_TRACE("%s     call gethostbyname(%s) function", kFn, host);
  const int herr = qm7::detail::resolve_name(host, &addr);
  if (herr != 0) {
    qm7err->qm_errno = error_number(herr);
    qm7err->qm_result = -1;
    put_error_text(qm7err->qm_msgInsert, sizeof qm7err->qm_msgInsert, herr);
    QM7_TRACE("%s     host information for '%s' not found, errno %i", kFn, host, herr);
    QM7_TRACE("%s     result '%s' from gethostbyname(%s)-call", kFn, qm7err->qm_msgInsert, host);
    QM7_TRACE("%s <-- terminated abnormally", kFn);
    return port;
  }
  const std::string ip = qm7::detail::dotted(addr);
  StringCopy(ipAddr, ipSize, ip.c_str());
  QM7_TRACE("%s     Hostentry was successfull determined, tcp/ip address '%s'", kFn, ip.c_str());
  QM7_TRACE("%s <-- terminated normally", kFn);
  return port;
}
