// A descriptor set of 65 536 bits for select() beyond the 1024 descriptors that fd_set holds.
// The bits lie exactly as in fd_set (bit fd % word-bits of word fd / word-bits), so select()
// reads it through ccm_fdset_native() when its first argument is at most 65 536. Never apply
// FD_SET, FD_CLR or FD_ISSET to it: they refuse descriptors of 1024 and above.
#ifndef QM7_RUNTIME_FDSET_H_
#define QM7_RUNTIME_FDSET_H_

#include <sys/select.h>

#include <climits>
#include <cstddef>

#define CCM_FD_SETSIZE 65536

typedef struct ccm_fd_set {
  unsigned long fds_bits[CCM_FD_SETSIZE / (CHAR_BIT * sizeof(unsigned long))];
} ccm_fd_set;

static_assert(sizeof(ccm_fd_set) * CHAR_BIT == CCM_FD_SETSIZE);
static_assert(sizeof(ccm_fd_set) % sizeof(fd_set) == 0);

// The helpers work on the caller's set only; a set shared between threads needs the caller's
// lock. A descriptor outside 0 to 65 535 is never a member: add and del ignore it and return
// -1 (0 otherwise); isset answers 0.
void ccm_fdset_zero(ccm_fd_set* set);
int ccm_fdset_add(ccm_fd_set* set, int fd);
int ccm_fdset_del(ccm_fd_set* set, int fd);
int ccm_fdset_isset(const ccm_fd_set* set, int fd);

// The set as select() takes it. REQUIRES: the nfds passed to select() is at most
// CCM_FD_SETSIZE.
inline fd_set* ccm_fdset_native(ccm_fd_set* set) { return reinterpret_cast<fd_set*>(set); }

#endif  // QM7_RUNTIME_FDSET_H_
