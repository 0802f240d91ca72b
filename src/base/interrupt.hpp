// Stopping long calls on request. The cores' long loops tick an
// InterruptCheck; every few thousand ticks it asks the poll that the
// embedding installed (the Python binding asks whether a signal such as
// Ctrl-C is pending) and throws Interrupted when the answer is yes. Without a
// poll nothing is ever interrupted, so the cores run alone in their tests.
//
// A call that shares its work among threads gives every thread one StopFlag:
// its worker threads consult only the flag (the embedding's poll serves the
// calling thread), and the calling thread raises the flag when its poll says
// stop, so that every worker stops at its next check.
#pragma once

#include <atomic>
#include <cstdint>

namespace zuldcore {

// Thrown out of a core when the poll asked it to stop; whoever installed the
// poll knows why (the binding has already set the Python exception).
struct Interrupted {};

// True when the running call should stop. Must be safe to call from any
// thread that runs core work, and cheap enough to be asked every few
// thousand steps (a poll that must do something costly paces itself).
using InterruptPoll = bool (*)() noexcept;

void set_interrupt_poll(InterruptPoll poll) noexcept;

// The stop of one call shared by the threads that work on it.
class StopFlag {
 public:
  void raise() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool raised() const noexcept { return stop_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
};

// While alive, check_interrupt() on this thread answers from `flag` alone
// and never asks the poll: for the worker threads of a call, which nothing
// but their calling thread can stop. Scopes nest; the innermost applies.
class StopScope {
 public:
  explicit StopScope(const StopFlag& flag) noexcept;
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  const StopFlag* outer_;
};

// Asks the poll now (or the flag of the thread's StopScope); throws
// Interrupted on yes.
void check_interrupt();

class InterruptCheck {
 public:
  // Counts one step of work; every 4096 steps asks the poll.
  void tick() {
    if ((++steps_ & 4095u) == 0) [[unlikely]]
      check_interrupt();
  }
  // Counts `n` steps at once (a document of n rows, say), asking the poll
  // whenever the count passes a multiple of 4096.
  void tick(uint32_t n) {
    const uint32_t before = steps_;
    steps_ += n;
    if ((before & ~4095u) != (steps_ & ~4095u)) [[unlikely]]
      check_interrupt();
  }

 private:
  uint32_t steps_ = 0;
};

}  // namespace zuldcore
