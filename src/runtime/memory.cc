// Work-area allocation: zero-filled areas that end the process when memory runs out, the
// matching free that clears the caller's pointer, and two copy helpers that leave two zero
// bytes behind the copy so text and 16-bit text can be read from it safely.
#include "qm7/runtime/memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qm7/runtime/error_text.h"

DMALL_AREA Dmall;

void* MemAllocRetArea(std::size_t msgLength) {
  // calloc(0) may legally return null; asking for one byte keeps "null means exhausted" true.
  void* area = std::calloc(1, msgLength == 0 ? 1 : msgLength);
  if (area == nullptr) {
    char buf[256];
    const int err = errno != 0 ? errno : ENOMEM;
    std::fprintf(stdout, "error on calloc()-call, MemAllocRetArea(), '%s'\n",
                 qm7::error_text(err, buf, sizeof buf));
    std::fflush(stdout);
    std::exit(1);
  }
  return area;
}

void FreeMallocArea(void** fArea, const char* Text) {
  (void)Text;
  if (fArea == nullptr || *fArea == nullptr) return;
  std::free(*fArea);
  *fArea = nullptr;
}

char* MemCopy(const char* Was, int Length) {
  errno = 0;
  const std::size_t len = Length > 0 ? static_cast<std::size_t>(Length) : 0;
  auto* area = static_cast<char*>(MemAllocRetArea(len + 2));
  if (Was != nullptr && len > 0) std::memcpy(area, Was, len);
  return area;
}

char* mem_alloc_copy(char* dst, const char* src, int len) {
  char* area = nullptr;
  if (len >= 0) {
    const auto n = static_cast<std::size_t>(len);
    area = static_cast<char*>(std::malloc(n + 2));
    if (area != nullptr) {
      // Copy before freeing dst: src may point into it.
      if (src != nullptr && n > 0) std::memcpy(area, src, n);
      if (src == nullptr) std::memset(area, 0, n);
      area[n] = '\0';
      area[n + 1] = '\0';
    }
  }
  std::free(dst);
  return area;
}
