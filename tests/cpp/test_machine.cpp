// Machine declarations: the builder steps change nothing when an allocation
// fails, and building, finalising and ordering the calls of a machine cost
// work linear in its size (counted in chain steps and in bytes allocated).
// The messages and the results are pinned in Python, against the model.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "alloc_failure.hpp"
#include "check.hpp"
#include "state/call_order.hpp"

using zuldcore::Anchor;
using zuldcore::FinalizeStats;
using zuldcore::StateDef;
using zuldcore::StateMachineDecl;
using zuldcore::TokenRef;

namespace {

TokenRef single(std::string token) { return TokenRef{TokenRef::Single{std::move(token)}}; }
TokenRef set(std::vector<std::string> tokens) { return TokenRef{TokenRef::Set{std::move(tokens)}}; }
TokenRef sequences() { return TokenRef{TokenRef::Sequences{}}; }

std::string ids_text(const std::vector<uint32_t>& ids) {
  std::string out;
  for (uint32_t id : ids) out += std::to_string(id) + ",";
  return out;
}

// Everything a declaration holds, as text: two declarations with the same
// text are the same declaration. Checks that the two indexes agree with
// the lists they index.
std::string describe(const StateMachineDecl& m) {
  CHECK_EQ(m.ids.size(), m.names.size());
  for (size_t id = 0; id < m.names.size(); ++id) CHECK(m.state_id(m.names[id]).ok() && m.state_id(m.names[id]).value() == id);
  for (const auto& [key, index] : m.trigger_keys) CHECK(index < m.triggers.size());
  CHECK(m.states.size() + 1 == m.names.size() && m.sustain_given.size() == m.states.size() &&
        m.timeout_names.size() == m.states.size());
  std::string out = m.out_name + "|";
  for (const std::string& n : m.names) out += n + ",";
  out += "|" + std::to_string(m.triggers.size()) + "|";
  for (const auto& [key, index] : std::map<std::string, uint32_t>(m.trigger_keys.begin(), m.trigger_keys.end()))
    out += key + "=" + std::to_string(index) + ",";
  for (size_t k = 0; k < m.states.size(); ++k) {
    const StateDef& d = m.states[k];
    out += "|s" + std::to_string(d.id) + ":" + ids_text(d.sustain) + "/" + ids_text(d.require) + "/" +
           (m.sustain_given[k] ? "given" : "-") + "/" + m.timeout_names[k].value_or("-");
  }
  for (const auto& e : m.entries)
    out += "|e" + ids_text(e.from_states) + "/" + std::to_string(e.trigger) + "/" + std::to_string(e.state);
  for (const auto& x : m.exits)
    out += "|x" + std::to_string(x.trigger) + "/" + std::to_string(x.state) + "/" + std::to_string(x.inclusive);
  return out;
}

StateMachineDecl small_machine() {
  StateMachineDecl m("base");
  m.add_state("a", StateDef{}, single("x"), {}, std::nullopt);
  m.add_entry(1, {}, set({"x", "y"}), Anchor::End);
  return m;
}

// One builder step each, with triggers old and new, keyed and not, and two
// equal new references in one call.
using Step = void (*)(StateMachineDecl&);
const Step STEPS[] = {
    [](StateMachineDecl& m) {
      m.add_state("b", StateDef{}, single("x"), {single("z"), sequences(), single("z"), set({"x", "y"})}, "a");
    },
    [](StateMachineDecl& m) { m.add_state("c", StateDef{}, std::nullopt, {}, std::nullopt); },
    [](StateMachineDecl& m) { m.add_entry(1, {0, 1}, set({"w", "v"}), Anchor::Start); },
    [](StateMachineDecl& m) { m.add_entry(1, {}, set({"x", "y"}), Anchor::End); },
    [](StateMachineDecl& m) { m.add_exit(1, single("q"), Anchor::End, false); },
    [](StateMachineDecl& m) { m.add_exit(1, sequences(), Anchor::Start, true); },
    [](StateMachineDecl& m) { (void)m.add_trigger(single("x"), Anchor::Start); },
};

}  // namespace

TEST(machine_builder_steps_change_nothing_when_an_allocation_fails) {
  for (Step step : STEPS) {
    StateMachineDecl want = small_machine();
    step(want);
    StateMachineDecl m = small_machine();
    const std::string before = describe(m);
    const long failures = alloc_failure::each_allocation([&] { step(m); }, [&] { CHECK_EQ(describe(m), before); });
    CHECK(failures > 0);
    CHECK_EQ(describe(m), describe(want));
  }
}

TEST(machine_builder_steps_register_triggers_as_one_call) {
  StateMachineDecl m = small_machine();  // triggers 0: "x", 1: {"x", "y"}
  STEPS[0](m);
  const StateDef& b = m.states.back();
  CHECK_EQ(ids_text(b.sustain), std::string("0,"));
  CHECK_EQ(ids_text(b.require), std::string("2,3,2,1,"));  // the second "z" shares the first's index
  CHECK_EQ(m.triggers.size(), size_t{4});
  CHECK_EQ(m.state_id("b").value(), 2u);
}

// Bytes allocated by `build(n)`, for n and 4n: linear work allocates about
// four times as much, quadratic work sixteen times.
template <class Build>
double growth(Build&& build, size_t n) {
  const auto bytes = [&](size_t size) {
    const unsigned long long start = alloc_failure::bytes_allocated();
    build(size);
    return static_cast<double>(alloc_failure::bytes_allocated() - start);
  };
  return bytes(4 * n) / bytes(n);
}

TEST(machine_building_allocates_in_proportion_to_the_machine) {
  const double ratio = growth(
      [](size_t n) {
        StateMachineDecl m;
        for (size_t k = 0; k < n; ++k) {
          m.add_state("state number " + std::to_string(k), StateDef{}, std::nullopt, {}, std::nullopt);
          m.add_entry(static_cast<uint32_t>(k + 1), {0}, single("token number " + std::to_string(k)), Anchor::End);
          m.add_exit(static_cast<uint32_t>(k + 1), sequences(), Anchor::End, true);
        }
      },
      2000);
  CHECK(ratio < 6.0);
}

TEST(finalisation_follows_each_timeout_chain_once) {
  // A chain s0 -> s1 -> ... and as many states more that time out into s0:
  // a walk from every state passes n^2 / 2 states of the chain and more.
  const size_t n = 3000;
  StateMachineDecl m;
  for (size_t k = 0; k < n; ++k) {
    StateDef d;
    d.max_gap = 1.0;
    m.add_state("s" + std::to_string(k), d, std::nullopt, {},
                k + 1 < n ? std::optional<std::string>("s" + std::to_string(k + 1)) : std::nullopt);
  }
  for (size_t k = 0; k < n; ++k) m.add_state("t" + std::to_string(k), StateDef{}, std::nullopt, {}, "s0");
  FinalizeStats stats;
  const auto snapshot = m.finalized(&stats);
  CHECK(snapshot.ok());
  CHECK_EQ(stats.chain_steps, 2 * n);  // every state once
  if (snapshot) CHECK_EQ(snapshot.value()->states[n - 2].timeout_to.value_or(0), static_cast<uint32_t>(n));
}

TEST(call_order_allocates_in_proportion_to_the_machine) {
  // A state with n requirements waits while n entries register their
  // triggers first: looking at it afresh at every step costs n^2.
  const double ratio = growth(
      [](size_t n) {
        StateMachineDecl m;
        m.add_state("a", StateDef{}, std::nullopt, {}, std::nullopt);
        for (size_t k = 0; k < n; ++k) m.add_entry(1, {}, single("t" + std::to_string(k)), Anchor::End);
        std::vector<TokenRef> require;
        for (size_t k = 0; k < n; ++k) require.push_back(single("r" + std::to_string(k)));
        m.add_state("b", StateDef{}, std::nullopt, std::move(require), std::nullopt);
        const std::vector<zuldcore::BuilderCall> order = zuldcore::builder_call_order(m);
        CHECK_EQ(order.size(), n + 2);
      },
      500);
  CHECK(ratio < 6.0);
}
