// Address resolution of the channel manager. The choice of one address out of what the
// resolver returns is kept apart from the resolver call, so that its preference rules do not
// depend on how the host's network is configured.
#include "qm7/ccm/ccm_tools.h"
#include "resolver_internal.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/ctools.h"
#include "qm7/runtime/error_text.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr char kHostname2Address[] = "ccm_hostname2address";

struct AddrinfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoFree>;

void clear_error(ccm_error_t* ccmerr) { std::memset(ccmerr, 0, sizeof *ccmerr); }

// Fills `ccmerr` for a failed system or resolver call: msgnr 2000102, "<what>|<errno>(<text>)".
void syscall_failed(ccm_error_t* ccmerr, const char* what, int err) {
  char text[256];
  ccmerr->xerrno = err;
  ccmerr->msgnr = CCM_MSGNR_SYSCALL;
  std::snprintf(ccmerr->msginsert, sizeof ccmerr->msginsert, "%s|%d(%s)", what, err,
                qm7::error_text(err, text, sizeof text));
}

// Resolves `name` with the hints every caller here uses: any family, stream sockets, no flags.
// Returns the list (possibly null), or reports into `ccmerr` and returns null with `*failed`.
AddrinfoList resolve(const char* name, ccm_error_t* ccmerr, bool* failed) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  errno = 0;
  const int rc = getaddrinfo(name, nullptr, &hints, &list);
  *failed = rc != 0;
  if (*failed) {
    qm7::ccm_detail::resolver_failed(ccmerr, rc, errno);
    return nullptr;
  }
  return AddrinfoList(list);
}

int family_of(const void* sockaddr_any) {
  sa_family_t family;
  std::memcpy(&family, static_cast<const char*>(sockaddr_any) + offsetof(sockaddr, sa_family),
              sizeof family);
  return family;
}

bool is_loopback_or_link_local(const char* upper_text) {
  return std::strcmp(upper_text, "127.0.0.1") == 0 || std::strcmp(upper_text, "::1") == 0 ||
         std::strncmp(upper_text, "FE80:", 5) == 0;
}

}  // namespace

namespace qm7::ccm_detail {

void resolver_failed(ccm_error_t* ccmerr, int rc, int err) {
  if (rc == EAI_SYSTEM) {
    syscall_failed(ccmerr, "getaddrinfo", err);
    return;
  }
  ccmerr->xerrno = rc;
  ccmerr->msgnr = CCM_MSGNR_SYSCALL;
  std::snprintf(ccmerr->msginsert, sizeof ccmerr->msginsert, "getaddrinfo|%d(%s)", rc,
                gai_strerror(rc));
}

const addrinfo* choose_address(const addrinfo* list, int options) {
  const addrinfo* first_candidate = nullptr;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addr == nullptr) continue;
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
    char text[256];
    ccm_address2string(sa, text, sizeof text);
    strupper(text);
    const int family = family_of(entry->ai_addr);
    QM7_TRACE("%s:      sockaddr(%p): nxt=%p, addr=%p, family=%d, addrstr=%s", kHostname2Address,
              static_cast<const void*>(entry), static_cast<const void*>(entry->ai_next),
              static_cast<const void*>(entry->ai_addr), family, text);
    if (is_loopback_or_link_local(text)) continue;
    if (first_candidate == nullptr) first_candidate = entry;
    if (((options & CCM_PREFER_IPV4) != 0 && family == AF_INET) ||
        ((options & CCM_PREFER_IPV6) != 0 && family == AF_INET6)) {
      QM7_TRACE("%s:      preferred found", kHostname2Address);
      return entry;
    }
  }
  return first_candidate != nullptr ? first_candidate : list;
}

void log_address_list(const char* hostname, const addrinfo* list) {
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    char text[64] = "";
    char formatted[64];
    if (entry->ai_addr != nullptr) {
      ccm_address2string(reinterpret_cast<const sockaddr_in6*>(entry->ai_addr), text, sizeof text);
    }
    __log(CCM_MSGNR_ADDRESS, "%s|%s", hostname, ccm_addressformatted(text, formatted));
  }
}

}  // namespace qm7::ccm_detail

int ccm_address2string(const sockaddr_in6* addr, char* dst, socklen_t size) {
  static const char kFn[] = "ccm_address2string";
  if (dst != nullptr && size > 0) dst[0] = '\0';
  if (addr == nullptr || dst == nullptr || size == 0) return -1;
  const int family = family_of(addr);
  QM7_TRACE("%s(addr at %p,family=%d) -->", kFn, static_cast<const void*>(addr), family);
  const char* done;
  if (family == AF_INET6) {
    done = inet_ntop(AF_INET6, &addr->sin6_addr, dst, size);
  } else {
    // An IPv4 socket address lies in the first part of the buffer; only that part is read.
    sockaddr_in v4;
    std::memcpy(&v4, addr, sizeof v4);
    done = inet_ntop(AF_INET, &v4.sin_addr, dst, size);
  }
  if (done == nullptr) {
    const int err = errno;
    dst[0] = '\0';
    char text[256];
    QM7_TRACE("%s <-- (ERROR,%d-%s)", kFn, err, qm7::error_text(err, text, sizeof text));
    return -1;
  }
  QM7_TRACE("%s <-- (OK,%s)", kFn, dst);
  return 0;
}

const char* ccm_addressformatted(const char* in, char* out) {
  if (in == nullptr || std::strchr(in, ':') == nullptr || in[0] == '[') return in;
  std::snprintf(out, 256, "[%s]", in);
  return out;
}

int ccm_hostname2address(const char* phostname, int options, sockaddr_in6* addr,
                         ccm_error_t* ccmerr) {
  static const char* const kFn = kHostname2Address;
  ccm_error_t unused;
  if (ccmerr == nullptr) ccmerr = &unused;
  QM7_TRACE("%s(hostname=%s) -->", kFn, phostname != nullptr ? phostname : "");

  char host[256];
  StringCopy(host, sizeof host, phostname);
  str_replace_char(host, '[', ' ');
  str_replace_char(host, ']', ' ');
  strip(host);
  QM7_TRACE("%s:      hostname without brackets=%s", kFn, host);

  clear_error(ccmerr);
  if (addr != nullptr) std::memset(addr, 0, sizeof *addr);

  bool failed = false;
  AddrinfoList list = resolve(host, ccmerr, &failed);
  if (failed) {
    QM7_TRACE("%s <-- (getaddrinfo error)", kFn);
    return -1;
  }
  const addrinfo* chosen = qm7::ccm_detail::choose_address(list.get(), options);
  if (chosen == nullptr || chosen->ai_addr == nullptr || addr == nullptr) {
    QM7_TRACE("%s <-- (nothing found)", kFn);
    return -1;
  }
  const int family = family_of(chosen->ai_addr);
  std::size_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (len > chosen->ai_addrlen) len = chosen->ai_addrlen;
  std::memcpy(addr, chosen->ai_addr, len);

  if (trc_level()) {
    char text[256];
    const bool ok = ccm_address2string(addr, text, sizeof text) == 0;
    QM7_TRACE("%s <-- (OK,family=%d,address=%s)", kFn, family, ok ? text : "error resolve address");
  }
  return 0;
}

int ccm_getmyIP(int options, char* out, ccm_error_t* ccmerr) {
  static const char kFn[] = "ccm_getmyIP";
  // Every caller wants an IPv4 address where there is one; `options` is not consulted.
  (void)options;
  ccm_error_t unused;
  if (ccmerr == nullptr) ccmerr = &unused;
  QM7_TRACE("%s() -->", kFn);
  clear_error(ccmerr);

  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) {
    syscall_failed(ccmerr, "getmyIP/gethostname()", errno);
    QM7_TRACE("%s <-- (gethostname error)", kFn);
    return -1;
  }
  sockaddr_in6 addr;
  if (ccm_hostname2address(name, CCM_PREFER_IPV4, &addr, ccmerr) != 0) {
    QM7_TRACE("%s <-- (ccm_hostname2address error)", kFn);
    return -1;
  }
  ccm_address2string(&addr, out, 64);
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

int ccm_log_all_ip(const char* hostname, ccm_error_t* ccmerr) {
  static const char kFn[] = "ccm_log_all_ip";
  ccm_error_t unused;
  if (ccmerr == nullptr) ccmerr = &unused;
  QM7_TRACE("%s(hostname=%s) -->", kFn, hostname != nullptr ? hostname : "");
  clear_error(ccmerr);
  bool failed = false;
  AddrinfoList list = resolve(hostname, ccmerr, &failed);
  if (failed) {
    QM7_TRACE("%s <-- (getaddrinfo error)", kFn);
    return -1;
  }
  if (list == nullptr) {
    QM7_TRACE("%s <-- (nothing found)", kFn);
    return -1;
  }
  qm7::ccm_detail::log_address_list(hostname, list.get());
  QM7_TRACE("%s <-- (OK)", kFn);
  return 0;
}

int ccm_check_ipv6_support(ccm_error_t* ccmerr) {
  static const char kFn[] = "ccm_check_ipv6_support";
  QM7_TRACE("%s() -->", kFn);
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) {
    const int err = errno;
    if (ccmerr != nullptr) syscall_failed(ccmerr, "socket(AF_INET6/IPv6)", err);
    QM7_TRACE("%s <-- (socket() error)", kFn);
    return -1;
  }
  close(fd);
  QM7_TRACE("%s <-- (OK - IPv6 supported)", kFn);
  return 0;
}
