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

// What the order asks of one call, worked out once. With `registered`
// triggers there, the call's new triggers are its indices at or above
// `registered`, each at its first occurrence. It adds none when `registered`
// exceeds its highest index; it adds exactly the next indices, in order,
// when `registered` lies in [first_next, highest]: that range is what is
// left of the call's indices, read from the highest down, while each
// index is one less than the one above it and first occurs before it.
struct CallFacts {
  uint32_t state_needed = 0;
  bool any = false;         // whether the call names any trigger
  uint32_t highest = 0;     // its highest trigger index
  uint32_t first_next = 0;  // see above
};

CallFacts call_facts(const StateMachineDecl& m, BuilderCall c) {
  CallFacts f;
  f.state_needed = state_needed(m, c);
  const std::vector<uint32_t> refs = call_triggers(m, c);
  if (refs.empty()) return f;
  // (index, first position), by index.
  std::vector<std::pair<uint32_t, size_t>> first;
  first.reserve(refs.size());
  for (size_t i = 0; i < refs.size(); ++i) first.emplace_back(refs[i], i);
  std::sort(first.begin(), first.end());
  first.erase(std::unique(first.begin(), first.end(), [](auto& a, auto& b) { return a.first == b.first; }),
              first.end());
  size_t low = first.size() - 1;
  while (low > 0 && first[low - 1].first + 1 == first[low].first && first[low - 1].second < first[low].second)
    --low;
  f.any = true;
  f.highest = first.back().first;
  f.first_next = first[low].first;
  return f;
}

}  // namespace

// In the order the calls were made, the call that registered trigger k
// found k triggers there and added its new ones as k, k + 1, ...; every
// call before it registered nothing new. So at each step: a call whose
// states exist and that adds nothing goes first; else the call whose new
// triggers are exactly the next indices. The original order shows that one
// of the two is always ready. Triggers only a Set or Single reference can
// share; a Sequences or Pattern trigger belongs to one call only. Each
// call's facts are worked out once, so a step costs constant time.
std::vector<BuilderCall> builder_call_order(const StateMachineDecl& m) {
  const std::array<size_t, 3> sizes = {m.states.size(), m.entries.size(), m.exits.size()};
  std::array<std::vector<CallFacts>, 3> facts;
  for (size_t q = 0; q < 3; ++q) {
    facts[q].reserve(sizes[q]);
    for (size_t i = 0; i < sizes[q]; ++i) facts[q].push_back(call_facts(m, {static_cast<BuilderCall::Kind>(q), i}));
  }
  std::array<size_t, 3> head{};
  uint32_t registered = 0;
  uint32_t states_known = 0;  // ids 1 .. states_known are declared
  const size_t total = sizes[0] + sizes[1] + sizes[2];
  std::vector<BuilderCall> order;
  order.reserve(total);
  while (order.size() < total) {
    std::optional<BuilderCall> pick;
    uint32_t added = 0;
    for (int pass = 0; pass < 2 && !pick; ++pass) {
      for (size_t q = 0; q < 3 && !pick; ++q) {
        if (head[q] == sizes[q]) continue;
        const CallFacts& f = facts[q][head[q]];
        if (f.state_needed > states_known) continue;
        const bool adds_nothing = !f.any || f.highest < registered;
        if (pass == 0 ? adds_nothing : f.first_next <= registered && registered <= f.highest) {
          pick = BuilderCall{static_cast<BuilderCall::Kind>(q), head[q]};
          added = adds_nothing ? 0 : f.highest - registered + 1;
        }
      }
    }
    ZC_ENSURE(pick, "no order of the builder calls registers the machine's triggers as declared");
    order.push_back(*pick);
    ++head[static_cast<size_t>(pick->kind)];
    registered += added;
    if (pick->kind == BuilderCall::Kind::State) ++states_known;
  }
  ZC_ENSURE(registered == m.triggers.size(), "the builder calls register ", registered, " of ",
            m.triggers.size(), " triggers");
  return order;
}

}  // namespace zuldcore
