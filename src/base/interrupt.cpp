#include "base/interrupt.hpp"

namespace zuldcore {

namespace {
std::atomic<InterruptPoll> installed{nullptr};
thread_local const StopFlag* scope_flag = nullptr;  // the innermost StopScope's
}  // namespace

void set_interrupt_poll(InterruptPoll poll) noexcept { installed.store(poll, std::memory_order_release); }

StopScope::StopScope(const StopFlag& flag) noexcept : outer_(scope_flag) { scope_flag = &flag; }
StopScope::~StopScope() { scope_flag = outer_; }

void check_interrupt() {
  if (const StopFlag* flag = scope_flag) {
    if (flag->raised()) throw Interrupted{};
    return;
  }
  const InterruptPoll poll = installed.load(std::memory_order_acquire);
  if (poll != nullptr && poll()) throw Interrupted{};
}

}  // namespace zuldcore
