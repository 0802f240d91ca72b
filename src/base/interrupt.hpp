// Stopping long calls on request. The cores' long loops tick an
// InterruptCheck; every few thousand ticks it asks the poll that the
// embedding installed (the Python binding asks whether a signal such as
// Ctrl-C is pending) and throws Interrupted when the answer is yes. Without a
// poll nothing is ever interrupted, so the cores run alone in their tests.
#pragma once

#include <cstdint>

namespace zuldcore {

// Thrown out of a core when the poll asked it to stop; whoever installed the
// poll knows why (the binding has already set the Python exception).
struct Interrupted {};

// True when the running call should stop. Must be safe to call from any
// thread that runs core work.
using InterruptPoll = bool (*)() noexcept;

void set_interrupt_poll(InterruptPoll poll) noexcept;

// Asks the poll now; throws Interrupted on yes.
void check_interrupt();

class InterruptCheck {
 public:
  // Counts one step of work; every 4096 steps asks the poll.
  void tick() {
    if ((++steps_ & 4095u) == 0) [[unlikely]]
      check_interrupt();
  }

 private:
  uint32_t steps_ = 0;
};

}  // namespace zuldcore
