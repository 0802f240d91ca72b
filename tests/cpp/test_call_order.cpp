// builder_call_order: random declarations made the way the builders make
// them, in random interleavings; replaying the calls in the order it gives
// must register every trigger at its original index, keep each list's order
// and name only states already declared.
#include <array>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "state/call_order.hpp"

using zuldcore::Anchor;
using zuldcore::BuilderCall;
using zuldcore::StateMachineDecl;
using zuldcore::TokenRef;

namespace {

// Single and Set references may be shared by several calls; Sequences and
// Pattern references never are.
TokenRef random_ref(std::mt19937_64& rng) {
  const std::string tokens[] = {"a", "b", "c"};
  switch (rng() % 5) {
    case 0:
    case 1: return TokenRef{TokenRef::Single{tokens[rng() % 3]}};
    case 2: return TokenRef{TokenRef::Set{{tokens[rng() % 3], tokens[rng() % 3]}}};
    case 3: return TokenRef{TokenRef::Sequences{}};
    default: return TokenRef{TokenRef::PatternForm{}};
  }
}

Anchor random_anchor(std::mt19937_64& rng) { return rng() % 2 ? Anchor::Start : Anchor::End; }

// A random call of the builder steps (whose arguments pass the checks).
void random_call(StateMachineDecl& m, std::mt19937_64& rng) {
  const uint32_t n_states = static_cast<uint32_t>(m.states.size());
  const uint64_t kind = n_states == 0 ? 0 : rng() % 3;
  if (kind == 0) {
    std::optional<TokenRef> sustain;
    if (rng() % 2) sustain = random_ref(rng);
    std::vector<TokenRef> require;
    for (uint64_t r = rng() % 3; r > 0; --r) require.push_back(random_ref(rng));
    m.add_state("s" + std::to_string(n_states + 1), zuldcore::StateDef{}, std::move(sustain), std::move(require),
                std::nullopt);
  } else if (kind == 1) {
    const uint32_t state = 1 + static_cast<uint32_t>(rng() % n_states);
    std::vector<uint32_t> from;
    for (uint64_t f = rng() % 3; f > 0; --f) from.push_back(static_cast<uint32_t>(rng() % (n_states + 1)));
    TokenRef trigger = random_ref(rng);
    m.add_entry(state, std::move(from), std::move(trigger), random_anchor(rng));
  } else {
    const uint32_t state = 1 + static_cast<uint32_t>(rng() % n_states);
    TokenRef trigger = random_ref(rng);
    m.add_exit(state, std::move(trigger), random_anchor(rng), true);
  }
}

void check_replays(const StateMachineDecl& m, const std::vector<BuilderCall>& order) {
  StateMachineDecl replayed;
  std::array<size_t, 3> next{};
  uint32_t states = 0;
  for (const BuilderCall& c : order) {
    const auto q = static_cast<size_t>(c.kind);
    CHECK_EQ(c.index, next[q]++);
    if (c.kind == BuilderCall::Kind::Entry) {
      CHECK(m.entries[c.index].state <= states);
      for (uint32_t from : m.entries[c.index].from_states) CHECK(from <= states);
    }
    if (c.kind == BuilderCall::Kind::Exit) CHECK(m.exits[c.index].state <= states);
    if (c.kind == BuilderCall::Kind::State) ++states;
    for (uint32_t k : zuldcore::call_triggers(m, c))
      CHECK_EQ(replayed.add_trigger(m.triggers[k].ref, m.triggers[k].anchor), k);
  }
  CHECK_EQ(next[0] + next[1] + next[2], m.states.size() + m.entries.size() + m.exits.size());
  CHECK_EQ(replayed.triggers.size(), m.triggers.size());
}

}  // namespace

TEST(call_order_registers_every_trigger_at_its_index) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 3000; ++round) {
    StateMachineDecl m;
    for (uint64_t n = rng() % 10; n > 0; --n) random_call(m, rng);
    const std::vector<BuilderCall> order = zuldcore::builder_call_order(m);
    check_replays(m, order);
    // A snapshot fills in the sustain triggers that were not given; they
    // are no call's own and change nothing.
    const auto snapshot = m.finalized();  // no timeouts here, so it never fails
    CHECK(snapshot.ok());
    if (snapshot) {
      const std::vector<BuilderCall> again = zuldcore::builder_call_order(*snapshot.value());
      CHECK_EQ(again.size(), order.size());
      for (size_t i = 0; i < order.size() && i < again.size(); ++i)
        CHECK(again[i].kind == order[i].kind && again[i].index == order[i].index);
    }
  }
}
