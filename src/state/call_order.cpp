// Interleaving a declaration's calls so that its triggers come out as they
// were registered.
#include "state/call_order.hpp"

#include <algorithm>
#include <array>
#include <optional>

namespace zuldcore {

std::vector<uint32_t> call_triggers(const StateMachineDecl& m, BuilderCall c) {
  switch (c.kind) {
    case BuilderCall::Kind::State: {
      std::vector<uint32_t> refs;
      const StateDef& d = m.states.at(c.index);
      if (m.sustain_given.at(c.index)) refs.push_back(d.sustain.at(0));
      refs.insert(refs.end(), d.require.begin(), d.require.end());
      return refs;
    }
    case BuilderCall::Kind::Entry:
      return {m.entries.at(c.index).trigger};
    case BuilderCall::Kind::Exit:
      return {m.exits.at(c.index).trigger};
  }
  return {};
}

namespace {

// The highest state id a call names (0 for add_state, which names none).
uint32_t state_needed(const StateMachineDecl& m, BuilderCall c) {
  if (c.kind == BuilderCall::Kind::Entry) {
    const EntryRule& r = m.entries[c.index];
    uint32_t id = r.state;
    for (uint32_t from : r.from_states) id = std::max(id, from);
    return id;
  }
  if (c.kind == BuilderCall::Kind::Exit) return m.exits[c.index].state;
  return 0;
}

// The indices at or above `registered`, each at its first occurrence: the
// triggers a call would add when `registered` are there already.
std::vector<uint32_t> new_triggers(const std::vector<uint32_t>& refs, uint32_t registered) {
  std::vector<uint32_t> out;
  for (uint32_t r : refs)
    if (r >= registered && std::find(out.begin(), out.end(), r) == out.end()) out.push_back(r);
  return out;
}

}  // namespace

// In the order the calls were made, the call that registered trigger k
// found k triggers there and added its new ones as k, k + 1, ...; every
// call before it registered nothing new. So at each step: a call whose
// states exist and that adds nothing goes first; else the call whose new
// triggers are exactly the next indices. The original order shows that one
// of the two is always ready. Triggers only a Set or Single reference can
// share; a Sequences or Pattern trigger belongs to one call only.
std::vector<BuilderCall> builder_call_order(const StateMachineDecl& m) {
  const std::array<size_t, 3> sizes = {m.states.size(), m.entries.size(), m.exits.size()};
  std::array<size_t, 3> head{};
  uint32_t registered = 0;
  uint32_t states_known = 0;  // ids 1 .. states_known are declared
  const size_t total = sizes[0] + sizes[1] + sizes[2];
  std::vector<BuilderCall> order;
  order.reserve(total);
  while (order.size() < total) {
    std::optional<BuilderCall> pick;
    size_t added = 0;
    for (int pass = 0; pass < 2 && !pick; ++pass) {
      for (size_t q = 0; q < 3 && !pick; ++q) {
        if (head[q] == sizes[q]) continue;
        const BuilderCall c{static_cast<BuilderCall::Kind>(q), head[q]};
        if (state_needed(m, c) > states_known) continue;
        const std::vector<uint32_t> fresh = new_triggers(call_triggers(m, c), registered);
        bool next = true;
        for (size_t i = 0; i < fresh.size(); ++i) next &= fresh[i] == registered + i;
        if (pass == 0 ? fresh.empty() : next) {
          pick = c;
          added = fresh.size();
        }
      }
    }
    ZC_ENSURE(pick, "no order of the builder calls registers the machine's triggers as declared");
    order.push_back(*pick);
    ++head[static_cast<size_t>(pick->kind)];
    registered += static_cast<uint32_t>(added);
    if (pick->kind == BuilderCall::Kind::State) ++states_known;
  }
  ZC_ENSURE(registered == m.triggers.size(), "the builder calls register ", registered, " of ",
            m.triggers.size(), " triggers");
  return order;
}

}  // namespace zuldcore
