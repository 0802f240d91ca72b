// Machine declarations: a builder step that fails to allocate changes
// nothing, and building, finalising and ordering the calls of a machine
// cost work linear in its size (chain steps and bytes allocated, counted).
// Messages and results are pinned in Python, against the model.
#include <string>
#include <vector>

#include "alloc_failure.hpp"
#include "check.hpp"
#include "state/call_order.hpp"

using zuldcore::Anchor;
using zuldcore::StateDef;
using zuldcore::StateMachineDecl;
using zuldcore::TokenRef;

namespace {

TokenRef single(std::string token) { return TokenRef{TokenRef::Single{std::move(token)}}; }
TokenRef pair_set() { return TokenRef{TokenRef::Set{{"x", "y"}}}; }
TokenRef sequences() { return TokenRef{TokenRef::Sequences{}}; }

// The length of every list and index: the steps only append, so a step
// half done shows in them. The indexes must agree with their lists.
std::vector<size_t> shape(const StateMachineDecl& m) {
  for (size_t id = 0; id < m.names.size(); ++id) CHECK_EQ(m.state_id(m.names[id]).value(), id);
  for (const auto& [key, index] : m.trigger_keys) CHECK(index < m.triggers.size());
  return {m.names.size(), m.ids.size(), m.triggers.size(), m.trigger_keys.size(), m.states.size(),
          m.sustain_given.size(), m.timeout_names.size(), m.entries.size(), m.exits.size()};
}

// One step each, with triggers known and new, keyed and not, and two equal
// new references in one call.
using Step = void (*)(StateMachineDecl&);
const Step STEPS[] = {
    [](StateMachineDecl& m) { m.add_state("b", {}, single("x"), {single("z"), sequences(), single("z"), pair_set()}, "a"); },
    [](StateMachineDecl& m) { m.add_entry(1, {0, 1}, single("w"), Anchor::Start); },
    [](StateMachineDecl& m) { m.add_entry(1, {}, pair_set(), Anchor::End); },
    [](StateMachineDecl& m) { m.add_exit(1, sequences(), Anchor::End, false); },
};

// Bytes allocated by build(4n) over those of build(n): about 4 for linear
// work, 16 for quadratic.
template <class Build>
double growth(Build&& build, size_t n) {
  const auto bytes = [&](size_t size) {
    const unsigned long long start = alloc_failure::bytes_allocated();
    build(size);
    return static_cast<double>(alloc_failure::bytes_allocated() - start);
  };
  return bytes(4 * n) / bytes(n);
}

}  // namespace

TEST(machine_builder_steps_change_nothing_when_an_allocation_fails) {
  for (Step step : STEPS) {
    StateMachineDecl m("base");
    m.add_state("a", {}, single("x"), {}, std::nullopt);
    m.add_entry(1, {}, pair_set(), Anchor::End);
    const std::vector<size_t> before = shape(m);
    CHECK(alloc_failure::each_allocation([&] { step(m); }, [&] { CHECK(shape(m) == before); }) > 0);
    CHECK(shape(m) != before);
  }
}

TEST(machine_building_and_call_order_allocate_in_proportion_to_the_machine) {
  const auto build = [](size_t n) {
    StateMachineDecl m;
    m.add_state("first", {}, std::nullopt, {}, std::nullopt);
    std::vector<TokenRef> require;
    for (size_t k = 0; k < n; ++k) {
      m.add_entry(1, {0}, single("entry trigger " + std::to_string(k)), Anchor::End);
      m.add_exit(1, sequences(), Anchor::End, true);
      require.push_back(single("required token " + std::to_string(k)));
    }
    // Waits for every entry and exit before it: looked at afresh at each
    // step, its n requirements would cost n^2.
    m.add_state("last", {}, std::nullopt, std::move(require), std::nullopt);
    CHECK_EQ(zuldcore::builder_call_order(m).size(), 2 * n + 2);
  };
  CHECK(growth(build, 150) < 6.0);
}

TEST(finalisation_follows_each_timeout_chain_once) {
  // A chain s0 -> s1 -> ... and as many states more that time out into s0:
  // a walk from every state would pass n^2 / 2 states of the chain.
  const size_t n = 3000;
  StateMachineDecl m;
  StateDef expires;
  expires.max_gap = 1.0;
  for (size_t k = 0; k < n; ++k)
    m.add_state("s" + std::to_string(k), expires, std::nullopt, {},
                k + 1 < n ? std::optional<std::string>("s" + std::to_string(k + 1)) : std::nullopt);
  for (size_t k = 0; k < n; ++k) m.add_state("t" + std::to_string(k), expires, std::nullopt, {}, "s0");
  zuldcore::FinalizeStats stats;
  CHECK(m.finalized(&stats).ok());
  CHECK_EQ(stats.chain_steps, 2 * n);  // every state once
}
