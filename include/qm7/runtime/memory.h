// Zero-filled work areas of the runtime library. Running out of memory is not a condition the
// programs of this system recover from: the allocators here end the process instead of
// returning null, except mem_alloc_copy, whose callers check.
#ifndef QM7_RUNTIME_MEMORY_H_
#define QM7_RUNTIME_MEMORY_H_

#include <cstddef>

// Record of one allocation for allocation tracing. The library holds one, `Dmall`; nothing in
// this system fills it.
typedef struct _dmall_area {
  int Index;
  void* AreaAddr;
  int size;
  int line;
  char ModulName[256];
} DMALL_AREA;

extern DMALL_AREA Dmall;

// Returns a zero-filled area of `msgLength` bytes, owned by the caller and released with
// FreeMallocArea. A request of 0 bytes still returns a distinct area. When no memory is left
// it prints "error on calloc()-call, MemAllocRetArea(), '<reason>'" on standard output and
// ends the process with exit status 1: it never returns null. Any thread.
void* MemAllocRetArea(std::size_t msgLength);

// Frees the area `*fArea` points to, if any, and sets `*fArea` to null, so a second call on
// the same pointer does nothing. `Text` names the area for diagnostics only. A null `fArea` is
// ignored.
void FreeMallocArea(void** fArea, const char* Text);

// Clears errno and returns a new area of `Length` + 2 zero bytes holding a copy of the first
// `Length` bytes of `Was` (nothing is copied when `Was` is null); the copy is thus followed by
// two zero bytes. A negative `Length` counts as 0. Ends the process when memory runs out, as
// MemAllocRetArea does. The caller owns the area.
char* MemCopy(const char* Was, int Length);

// Returns a new area of `len` + 2 bytes holding the first `len` bytes of `src` followed by two
// zero bytes, and frees `dst` (which may be null, or the area `src` points into: the copy is
// taken before `dst` is freed). Returns null, with `dst` still freed, when `len` is negative or
// the area cannot be allocated. The caller owns the result.
char* mem_alloc_copy(char* dst, const char* src, int len);

#endif  // QM7_RUNTIME_MEMORY_H_
