// The bounded look-up of a host. The resolver offers no time-out of its own (a name
// server that never answers holds getaddrinfo for its retries, 10 seconds and more), so it runs
// in a detached thread, and the run waits for it no longer than its time-out allows. The thread
// and the waiter share one record; whoever finishes last frees it and the resolver's list.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "error_util.h"
#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/runtime/ctools.h"
#include "qm7/runtime/text.h"
#include "resolver_internal.h"

namespace qm7::ccm {
namespace {

struct lookup {
  std::mutex mu;
  std::condition_variable done_cv;
  bool done = false;  // [mu]
  int rc = 0;         // getaddrinfo's result, valid once done
  int err = 0;        // errno after it, for EAI_SYSTEM
  addrinfo* list = nullptr;
  ~lookup() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

void fail(ccm_error_t* ccmerr, int xerrno, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void fail(ccm_error_t* ccmerr, int xerrno, const char* format, ...) {
  ccmerr->xerrno = xerrno;
  ccmerr->msgnr = CCM_MSGNR_SYSCALL;
  va_list args;
  va_start(args, format);
  vsnprintf(ccmerr->msginsert, sizeof(ccmerr->msginsert), format, args);
  va_end(args);
}

// The numeric text of the entry the channel manager would take, with the scope of a link-local
// IPv6 address, so that resolving the text again gives the same socket address.
std::string numeric_text(const addrinfo* list) {
  const addrinfo* chosen = qm7::ccm_detail::choose_address(list, CCM_PREFER_IPV4);
  if (chosen == nullptr || chosen->ai_addr == nullptr) return "";
  sockaddr_in6 sa{};
  std::memcpy(&sa, chosen->ai_addr, std::min<size_t>(chosen->ai_addrlen, sizeof(sa)));
  char text[INET6_ADDRSTRLEN + 16];
  if (ccm_address2string(&sa, text, sizeof(text)) != 0) return "";
  std::string out = text;
  if (sa.sin6_family == AF_INET6 && sa.sin6_scope_id != 0) {
    out += '%';
    out += std::to_string(sa.sin6_scope_id);
  }
  return out;
}

}  // namespace

int resolve_bounded(const char* host, int seconds, std::string* address, ccm_error_t* ccmerr,
                    resolver_fn resolve) {
  char name[256];
  StringCopy(name, sizeof(name), host);
  str_replace_char(name, '[', ' ');
  str_replace_char(name, ']', ' ');
  strip(name);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo numeric = hints;
  numeric.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (resolve(name, nullptr, &numeric, &list) == 0) {
    freeaddrinfo(list);
    *address = name;
    return 0;
  }

  auto job = std::make_shared<lookup>();
  const std::string wanted = name;
  std::thread([job, wanted, hints, resolve] {
    addrinfo* found = nullptr;
    errno = 0;
    const int rc = resolve(wanted.c_str(), nullptr, &hints, &found);
    const int err = errno;
    std::lock_guard<std::mutex> lock(job->mu);
    job->rc = rc;
    job->err = err;
    job->list = rc == 0 ? found : nullptr;
    job->done = true;
    job->done_cv.notify_all();
  }).detach();

  const int bound = seconds > 0 ? seconds : 1;
  std::unique_lock<std::mutex> lock(job->mu);
  if (!job->done_cv.wait_for(lock, std::chrono::seconds(bound), [&] { return job->done; })) {
    fail(ccmerr, 0, "getaddrinfo|no answer within %d seconds", bound);
    return -1;
  }
  if (job->rc != 0) {
    qm7::ccm_detail::resolver_failed(ccmerr, job->rc, job->err);
    return -1;
  }
  *address = numeric_text(job->list);
  if (address->empty()) {
    fail(ccmerr, 0, "getaddrinfo|no usable address");
    return -1;
  }
  return 0;
}

}  // namespace qm7::ccm

int ccm_hostname2string_bounded(const char* phostname, int seconds, char* out, size_t size,
                                ccm_error_t* ccmerr) {
  std::string address;
  if (size > 0) out[0] = '\0';
  if (qm7::ccm::resolve_bounded(phostname != nullptr ? phostname : "", seconds, &address, ccmerr,
                                ::getaddrinfo) != 0) {
    return -1;
  }
  if (address.size() >= size) {
    qm7::ccm::set_error(ccmerr, CCM_MSGNR_SYSCALL, "getaddrinfo|address too long");
    return -1;
  }
  memcpy(out, address.c_str(), address.size() + 1);
  return 0;
}
