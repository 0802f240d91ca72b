// Large buffers: ask the kernel for huge pages before the first write, so
// that filling a column of millions of entries does not pay one page fault
// per 4 KiB. A hint only; nothing depends on it being honoured.
#pragma once

#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zuldcore {

template <class T>
void reserve_large(std::vector<T>& v, size_t n) {
  v.reserve(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t HUGE = uintptr_t{1} << 21;
  const size_t bytes = n * sizeof(T);
  if (bytes < 2 * HUGE) return;
  auto begin = (reinterpret_cast<uintptr_t>(v.data()) + HUGE - 1) & ~(HUGE - 1);
  auto end = (reinterpret_cast<uintptr_t>(v.data()) + bytes) & ~(HUGE - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace zuldcore
