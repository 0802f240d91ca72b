// The replaced global allocation functions behind alloc_failure.hpp; they
// allocate with malloc and free with free, as the standard library does.
#include <cstdlib>
#include <new>

#include "alloc_failure.hpp"

namespace {
thread_local long countdown = -1;  // -1: never fail
thread_local unsigned long long bytes = 0;

void* allocate(std::size_t n) {
  if (countdown >= 0 && countdown-- == 0) throw std::bad_alloc();
  bytes += n;
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace alloc_failure {
void fail_after(long n) { countdown = n; }
void never_fail() { countdown = -1; }
unsigned long long bytes_allocated() { return bytes; }
}  // namespace alloc_failure

// Default visibility, or the standard library's own code (std::string's
// allocations among it) would keep calling its operator new.
#define ZC_REPLACED __attribute__((visibility("default")))
ZC_REPLACED void* operator new(std::size_t n) { return allocate(n); }
ZC_REPLACED void* operator new[](std::size_t n) { return allocate(n); }
ZC_REPLACED void operator delete(void* p) noexcept { std::free(p); }
ZC_REPLACED void operator delete[](void* p) noexcept { std::free(p); }
ZC_REPLACED void operator delete(void* p, std::size_t) noexcept { std::free(p); }
ZC_REPLACED void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
