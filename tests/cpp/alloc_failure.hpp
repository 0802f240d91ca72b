// Forced allocation failures for the C++ tests: the test program replaces
// the global operator new, which throws std::bad_alloc on the allocation
// that a test asks for. Only the calling thread is affected. It also counts
// the bytes each thread asks for, a measure of work that growth tests can
// compare without timing anything.
#pragma once

#include <new>

namespace alloc_failure {

// The allocation after `n` more successful ones fails (n = 0: the next one).
void fail_after(long n);
// Allocations succeed again.
void never_fail();
// The bytes the calling thread has asked operator new for so far.
unsigned long long bytes_allocated();

// Fails allocation number 0, 1, 2, ... of `body` in turn, calling
// `after_failure` after each failed attempt, until `body` runs without
// failing; returns the number of failed attempts.
template <class Body, class AfterFailure>
long each_allocation(Body&& body, AfterFailure&& after_failure) {
  for (long n = 0;; ++n) {
    fail_after(n);
    try {
      body();
      never_fail();
      return n;
    } catch (const std::bad_alloc&) {
      never_fail();
      after_failure();
    }
  }
}

}  // namespace alloc_failure
