// Work areas, the mutex-guarded integer and the library's error record: zero fill, the double
// free that must not happen, copies that overlap their destination, concurrent writers.
#include "qm7/runtime/memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qm7/runtime/atomic_int.h"
#include "qm7/runtime/qm7_error.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizedAllocator = true;
#else
constexpr bool kSanitizedAllocator = false;
#endif
#else
constexpr bool kSanitizedAllocator = false;
#endif

// The first `n` bytes of `area`, which is then freed through FreeMallocArea.
std::string take(char* area, size_t n) {
  std::string bytes(area, n);
  void* p = area;
  FreeMallocArea(&p, "test");
  EXPECT_EQ(p, nullptr);
  return bytes;
}

TEST(MemoryDeathTest, ExhaustionEndsTheProcessWithStatusOne) {
  if (kSanitizedAllocator) GTEST_SKIP() << "the sanitizer's allocator aborts before calloc fails";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the message goes to stdout; let the test see it
        MemAllocRetArea(SIZE_MAX / 2);
      },
      ::testing::ExitedWithCode(1), "error on calloc\\(\\)-call, MemAllocRetArea\\(\\), '.+'");
}

TEST(Memory, AreasAreZeroFilledFreedOnceAndCopiesLeaveTwoZeroBytesBehind) {
  void* zeroed = MemAllocRetArea(4096);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(zeroed), 4096), std::string(4096, '\0'));
  FreeMallocArea(&zeroed, "pBuff1");
  FreeMallocArea(&zeroed, "pBuff1");  // second call: nothing left to free (ASan checks)
  FreeMallocArea(nullptr, "no pointer at all");
  void* empty = MemAllocRetArea(0);  // a zero-size request is not "out of memory"
  EXPECT_NE(empty, nullptr);
  FreeMallocArea(&empty, nullptr);

  using namespace std::string_literals;
  errno = EINVAL;
  char* copy = MemCopy("abc", 3);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(take(copy, 5), "abc\0\0"s);
  EXPECT_EQ(take(MemCopy(nullptr, 6), 8), std::string(8, '\0'));  // null source: zero bytes
  EXPECT_EQ(take(MemCopy("xyz", -5), 2), std::string(2, '\0'));   // negative: copies nothing

  char* area = mem_alloc_copy(nullptr, "hello", 5);
  ASSERT_NE(area, nullptr);
  // The source lies inside the area being replaced: the copy is taken before the free.
  area = mem_alloc_copy(area, area + 1, 3);
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(std::string(area, 5), "ell\0\0"s);
  area = mem_alloc_copy(area, nullptr, 4);
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(std::string(area, 6), std::string(6, '\0'));
  area = mem_alloc_copy(area, "x", 0);  // an empty copy is still an area
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(std::string(area, 2), std::string(2, '\0'));
  EXPECT_EQ(mem_alloc_copy(area, "x", -1), nullptr);  // frees area, allocates nothing
}

TEST(AtomicInt, EachSetterGetsBackWhatItWroteWhileOthersWrite) {
  atomic_int_t counter, shared;
  ASSERT_EQ(atomic_lock_init(&counter), 0);
  ASSERT_EQ(atomic_lock_init(&shared), 0);
  shared.value = 99;
  EXPECT_EQ(atomic_int_init(&shared), 0);
  EXPECT_EQ(atomic_int_get(&shared), 0);
  EXPECT_EQ(atomic_int_init(&counter), 0);

  constexpr int kThreads = 4, kRounds = 2000;
  std::vector<std::thread> threads;
  std::vector<int> wrong(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const int mine = t * kRounds + i;
        if (atomic_int_set(&shared, mine) != mine) ++wrong[t];
        const int seen = atomic_int_get(&shared);
        if (seen < 0 || seen >= kThreads * kRounds) ++wrong[t];
        atomic_lock(&counter);
        ++counter.value;
        atomic_unlock(&counter);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
  EXPECT_EQ(atomic_int_get(&counter), kThreads * kRounds);
  EXPECT_EQ(atomic_lock_destroy(&counter), 0);
  EXPECT_EQ(atomic_lock_destroy(&shared), 0);
}

TEST(Qm7Error, InsertsAreFormattedAndCutToTheField) {
  qm7_error err;
  err.qm_result = 7;
  err.qm_errno = 8;
  FillMessageOnPermissionError(&err, ENOENT, "batch");
  EXPECT_EQ(err.qm_msgnr, 2000102);
  EXPECT_EQ(std::string(err.qm_msgInsert),
            "getpwnam(batch)|" + std::to_string(ENOENT) + " - " + std::strerror(ENOENT));
  EXPECT_EQ(err.qm_result, 7);  // other fields stay
  EXPECT_EQ(err.qm_errno, 8);
  FillMessageOnPermissionError(&err, EACCES, std::string(2000, 'u').c_str());
  EXPECT_EQ(std::strlen(err.qm_msgInsert), 1023u);
  FillMessageOnPermissionError(&err, EPERM, nullptr);
  EXPECT_EQ(std::string(err.qm_msgInsert).substr(0, 11), "getpwnam()|");
  FillMessageOnPermissionError(nullptr, EPERM, "x");  // ignored

  FillMessageOnPasswordError(&err, 42, "user %s|%d", "alice", 17);
  EXPECT_EQ(err.qm_msgnr, 2001007);
  EXPECT_STREQ(err.qm_msgInsert, "user alice|17");
  EXPECT_EQ(err.qm_errno, 8);  // error_code is not stored
  FillMessageOnPasswordError(&err, 0, "%s", std::string(3000, 'p').c_str());
  EXPECT_EQ(std::strlen(err.qm_msgInsert), 1023u);
}

}  // namespace
