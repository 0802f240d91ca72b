// The replaced global allocation functions behind alloc_failure.hpp; they
// allocate with malloc and free with free, as the standard library does.
#include <cstdlib>
#include <new>

#include "alloc_failure.hpp"

namespace {
thread_local long countdown = -1;  // -1: never fail

void* allocate(std::size_t n) {
  if (countdown >= 0 && countdown-- == 0) throw std::bad_alloc();
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace alloc_failure {
void fail_after(long n) { countdown = n; }
void never_fail() { countdown = -1; }
}  // namespace alloc_failure

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
