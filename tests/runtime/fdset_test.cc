// Descriptor sets: the large set's bit helpers and its use by select() above descriptor 1024,
// and the comma lists of both kinds of set, bounded and unbounded.
#include "qm7/runtime/fdset.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "qm7/runtime/ctools.h"

namespace {

std::unique_ptr<ccm_fd_set> set_of(std::initializer_list<int> fds) {
  auto set = std::make_unique<ccm_fd_set>();
  std::memset(set.get(), 0xFF, sizeof *set);
  ccm_fdset_zero(set.get());
  for (int fd : fds) EXPECT_EQ(ccm_fdset_add(set.get(), fd), 0) << fd;
  return set;
}

TEST(FdSet, MembershipWithinTheSetAndItsPlatformLayout) {
  const auto set = set_of({0, 5, 63, 64, 70, 1023, 1024, 4711, 65535});
  for (int fd : {0, 5, 63, 64, 70, 1023, 1024, 4711, 65535})
    EXPECT_EQ(ccm_fdset_isset(set.get(), fd), 1);
  for (int fd : {1, 65, 1025, 65534}) EXPECT_EQ(ccm_fdset_isset(set.get(), fd), 0);
  EXPECT_EQ(ccm_fdset_del(set.get(), 1024), 0);
  EXPECT_EQ(ccm_fdset_isset(set.get(), 1024), 0);
  EXPECT_EQ(ccm_fdset_isset(set.get(), 1023), 1);
  // Below FD_SETSIZE the bits lie as in a platform set.
  const fd_set* native = ccm_fdset_native(set.get());
  for (int fd = 0; fd < FD_SETSIZE; ++fd) {
    EXPECT_EQ(FD_ISSET(fd, native) != 0,
              fd == 0 || fd == 5 || fd == 63 || fd == 64 || fd == 70 || fd == 1023)
        << fd;
  }
  // Outside the set: refused, never a member, and no bit elsewhere changes.
  const ccm_fd_set before = *set;
  EXPECT_EQ(ccm_fdset_add(set.get(), 65536), -1);
  EXPECT_EQ(ccm_fdset_add(set.get(), -1), -1);
  EXPECT_EQ(ccm_fdset_del(set.get(), -64), -1);
  EXPECT_EQ(ccm_fdset_isset(set.get(), 65536), 0);
  EXPECT_EQ(ccm_fdset_isset(set.get(), -1), 0);
  EXPECT_EQ(std::memcmp(&before, set.get(), sizeof before), 0);
}

TEST(FdSet, SelectWatchesADescriptorAbove1024) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < 2100) {
    lim.rlim_cur = lim.rlim_max < 2100 ? lim.rlim_max : 2100;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < 2100) GTEST_SKIP() << "descriptor limit below 2100";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(dup2(fds[0], 2000), 2000);
  ASSERT_EQ(write(fds[1], "N", 1), 1);
  auto set = set_of({2000});
  timeval tv{5, 0};
  EXPECT_EQ(select(2001, ccm_fdset_native(set.get()), nullptr, nullptr, &tv), 1);
  EXPECT_EQ(ccm_fdset_isset(set.get(), 2000), 1);
  close(2000);
  close(fds[0]);
  close(fds[1]);
}

TEST(FdSet, CommaListsStopAtMaxfdAndTheSetAndTheBoundedOneBeforeANumberThatDoesNotFit) {
  fd_set platform;
  FD_ZERO(&platform);
  char work[64];
  EXPECT_STREQ(fdset2string(work, &platform, 1023), "");
  for (int fd : {0, 10, 1023}) FD_SET(fd, &platform);
  EXPECT_STREQ(fdset2string(work, &platform, 10), "0,10");
  EXPECT_STREQ(fdset2string(work, &platform, 9), "0");
  EXPECT_STREQ(fdset2string(work, &platform, -1), "");
  // A maxfd beyond the platform set is cut to its last descriptor, never read past.
  EXPECT_STREQ(fdset2string(work, &platform, 5000), "0,10,1023");

  auto set = set_of({});
  EXPECT_STREQ(fdset2string(work, set.get(), 65535), "");
  set = set_of({0, 10, 1500, 65535});
  EXPECT_STREQ(fdset2string(work, set.get(), 1500), "0,10,1500");
  EXPECT_STREQ(fdset2string(work, set.get(), 70000), "0,10,1500,65535");

  // The full set fits the documented room of 7 bytes per member and a terminator.
  set = set_of({});
  for (int fd = 0; fd < CCM_FD_SETSIZE; ++fd) ccm_fdset_add(set.get(), fd);
  std::string all(7 * CCM_FD_SETSIZE + 1, '\xEE');
  const std::string list = fdset2string(all.data(), set.get(), CCM_FD_SETSIZE - 1);
  EXPECT_EQ(list.substr(0, 8), "0,1,2,3,");
  EXPECT_EQ(list.substr(list.size() - 12), ",65534,65535");
  set = set_of({3, 5, 1234});
  std::memset(work, '#', sizeof work);
  EXPECT_STREQ(fdset2string_bounded(work, 8, set.get(), 65535), "3,5");  // ",1234" needs 9
  EXPECT_EQ(work[8], '#');
  EXPECT_STREQ(fdset2string_bounded(work, 9, set.get(), 65535), "3,5,1234");
  EXPECT_STREQ(fdset2string_bounded(work, 1, set.get(), 65535), "");
  EXPECT_EQ(fdset2string_bounded(work, 0, set.get(), 65535), work);
}

}  // namespace
