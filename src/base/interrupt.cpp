#include "base/interrupt.hpp"

#include <atomic>

namespace zuldcore {

namespace {
std::atomic<InterruptPoll> installed{nullptr};
}  // namespace

void set_interrupt_poll(InterruptPoll poll) noexcept { installed.store(poll, std::memory_order_release); }

void check_interrupt() {
  const InterruptPoll poll = installed.load(std::memory_order_acquire);
  if (poll != nullptr && poll()) throw Interrupted{};
}

}  // namespace zuldcore
