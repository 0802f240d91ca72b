// The builder calls that rebuild a machine declaration, in an order that
// registers every trigger at its own index again: how a machine is written
// out when it is pickled. A declaration keeps its states, entries and exits
// in three lists, not the order in which the calls came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "state/machine.hpp"

namespace zuldcore {

// One builder call: add_state for states[index], add_entry for
// entries[index] or add_exit for exits[index].
struct BuilderCall {
  enum class Kind : uint8_t { State = 0, Entry = 1, Exit = 2 };
  Kind kind = Kind::State;
  size_t index = 0;
};

// The trigger indices a call registers, in the order it registers them:
// add_state its given sustain trigger, then its requirements; add_entry and
// add_exit their trigger.
std::vector<uint32_t> call_triggers(const StateMachineDecl& m, BuilderCall c);

// Every call of `m` (finalized or not) once: states, entries and exits each
// in their own order, an entry or exit after the states it names, and
// interleaved so that replaying the calls gives each trigger the index it
// has in `m` (tests/cpp/test_call_order.cpp). A declaration that no order
// rebuilds is a broken invariant.
std::vector<BuilderCall> builder_call_order(const StateMachineDecl& m);

}  // namespace zuldcore
