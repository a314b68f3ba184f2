// The large descriptor set of the channel manager and the rendering of descriptor sets as
// comma-separated lists for trace lines. Membership in a plain fd_set is only asked below
// FD_SETSIZE, where the platform's macro is defined.
#include "qm7/runtime/fdset.h"

#include <cstdio>
#include <cstring>

#include "qm7/runtime/ctools.h"

namespace {

constexpr int kWordBits = CHAR_BIT * sizeof(unsigned long);

bool in_range(int fd) { return fd >= 0 && fd < CCM_FD_SETSIZE; }

unsigned long bit_of(int fd) { return 1UL << (fd % kWordBits); }

// Appends the members below min(maxfd, limit - 1) + 1 to `work`, stopping before a number
// that would not fit in `work_size` bytes.
template <typename IsMember>
char* render(char* work, std::size_t work_size, int maxfd, int limit, IsMember is_member) {
  if (work == nullptr || work_size == 0) return work;
  work[0] = '\0';
  const int last = maxfd < limit ? maxfd : limit - 1;
  std::size_t used = 0;
  for (int fd = 0; fd <= last; ++fd) {
    if (!is_member(fd)) continue;
    char number[16];
    const int n = std::snprintf(number, sizeof number, used == 0 ? "%d" : ",%d", fd);
    if (used + static_cast<std::size_t>(n) + 1 > work_size) break;
    std::memcpy(work + used, number, static_cast<std::size_t>(n) + 1);
    used += static_cast<std::size_t>(n);
  }
  return work;
}

}  // namespace

void ccm_fdset_zero(ccm_fd_set* set) { std::memset(set, 0, sizeof *set); }

int ccm_fdset_add(ccm_fd_set* set, int fd) {
  if (!in_range(fd)) return -1;
  set->fds_bits[fd / kWordBits] |= bit_of(fd);
  return 0;
}

int ccm_fdset_del(ccm_fd_set* set, int fd) {
  if (!in_range(fd)) return -1;
  set->fds_bits[fd / kWordBits] &= ~bit_of(fd);
  return 0;
}

int ccm_fdset_isset(const ccm_fd_set* set, int fd) {
  if (!in_range(fd)) return 0;
  return (set->fds_bits[fd / kWordBits] & bit_of(fd)) != 0 ? 1 : 0;
}

char* fdset2string(char* work, const fd_set* set, int maxfd) {
  // Room for every descriptor an fd_set can hold: the caller's promise covers the rest.
  return render(work, static_cast<std::size_t>(-1), maxfd, FD_SETSIZE,
                [set](int fd) { return FD_ISSET(fd, set) != 0; });
}

char* fdset2string(char* work, const ccm_fd_set* set, int maxfd) {
  return render(work, static_cast<std::size_t>(-1), maxfd, CCM_FD_SETSIZE,
                [set](int fd) { return ccm_fdset_isset(set, fd) != 0; });
}

char* fdset2string_bounded(char* work, std::size_t work_size, const ccm_fd_set* set, int maxfd) {
  return render(work, work_size, maxfd, CCM_FD_SETSIZE,
                [set](int fd) { return ccm_fdset_isset(set, fd) != 0; });
}
