// Re-entrant wrappers around the platform's IPv4 host-entry lookups. The caller's work area
// grows until the entry fits, so long alias lists do not turn into a failed lookup.
#include "resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace qm7::detail {

namespace {

constexpr std::size_t kFirstBuffer = 1024;
constexpr std::size_t kLargestBuffer = 1 << 20;

// Runs `call(hostent*, buf, len, hostent**, int*)` with a growing buffer; returns 0 with
// `*out` valid (pointing into `buf`) or the resolver's error number as resolve_name gives it.
template <typename Call>
int with_host_entry(std::vector<char>& buf, hostent* entry, hostent** out, Call call) {
  buf.resize(kFirstBuffer);
  for (;;) {
    int herr = 0;
    *out = nullptr;
    errno = 0;
    const int rc = call(entry, buf.data(), buf.size(), out, &herr);
    if (rc == ERANGE && buf.size() < kLargestBuffer) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc == 0 && *out != nullptr) return 0;
    if (herr > 0) return herr;
    // No resolver error number (none, or NETDB_INTERNAL): the system's error number stands for
    // it, given negated so that it is never taken for one of the resolver's.
    const int err = rc != 0 ? rc : errno;
    return err > 0 ? -err : -ENOENT;
  }
}

}  // namespace

bool is_dotted_address(const char* text, in_addr* addr) {
  if (text == nullptr || text[0] == '\0') return false;
  const in_addr_t a = inet_addr(text);
  if (a == INADDR_NONE) return false;
  if (addr != nullptr) addr->s_addr = a;
  return true;
}

std::string dotted(in_addr addr) {
  unsigned char b[4];
  std::memcpy(b, &addr.s_addr, 4);
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

int resolve_name(const char* name, in_addr* addr) {
  if (name == nullptr || name[0] == '\0') return HOST_NOT_FOUND;
  std::vector<char> buf;
  hostent entry{};
  hostent* found = nullptr;
  const int herr = with_host_entry(buf, &entry, &found,
                                   [name](hostent* e, char* b, std::size_t n, hostent** r, int* h) {
                                     return gethostbyname_r(name, e, b, n, r, h);
                                   });
  if (herr != 0) return herr;
  if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list == nullptr ||
      found->h_addr_list[0] == nullptr) {
    return NO_DATA;
  }
  std::memcpy(&addr->s_addr, found->h_addr_list[0], 4);
  return 0;
}

int resolve_address(in_addr addr, std::string* name) {
  std::vector<char> buf;
  hostent entry{};
  hostent* found = nullptr;
  const int herr = with_host_entry(
      buf, &entry, &found, [&addr](hostent* e, char* b, std::size_t n, hostent** r, int* h) {
        return gethostbyaddr_r(&addr, sizeof addr, AF_INET, e, b, n, r, h);
      });
  if (herr != 0) return herr;
  if (found->h_name == nullptr) return NO_DATA;
  *name = found->h_name;
  return 0;
}

}  // namespace qm7::detail
