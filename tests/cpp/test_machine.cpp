// Machine declarations: a builder step that fails to allocate changes
// nothing, and building, finalising and ordering the calls of a machine
// cost work linear in its size (chain steps and bytes allocated, counted).
// The run: the table of one-token triggers against a plain map, the
// positions a run steps through, and no allocation once its scratch has
// grown. Messages and results are pinned in Python, against the model.
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_failure.hpp"
#include "check.hpp"
#include "state/call_order.hpp"
#include "types/trie.hpp"

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

TEST(trigger_tokens_answer_as_a_map_of_their_ids) {
  std::mt19937 rng(11);
  // One id, a few, and enough that ids sit away from their home slots;
  // the extreme ids among them.
  for (size_t n_ids : {1, 2, 7, 3000}) {
    std::map<zuldcore::TokenId, uint64_t> want;
    std::vector<std::pair<zuldcore::TokenId, uint64_t>> entries;
    for (size_t e = 0; e < n_ids; ++e) {
      const zuldcore::TokenId id = e == 0 ? 0 : e == 1 ? UINT32_MAX : static_cast<zuldcore::TokenId>(rng() % 20000);
      const uint64_t mask = uint64_t{1} << (rng() % 64);
      entries.emplace_back(id, mask);
      want[id] |= mask;
    }
    zuldcore::TriggerTokens table;
    table.build(entries);
    std::vector<zuldcore::TokenId> stream;
    for (size_t i = 0; i < 30000; ++i) stream.push_back(i % 5 == 0 ? UINT32_MAX - 1 : static_cast<zuldcore::TokenId>(rng() % 25000));
    stream.push_back(UINT32_MAX);
    std::vector<size_t> pos(stream.size());
    std::vector<uint64_t> masks(stream.size());
    const size_t from = 3;
    const size_t found = table.find(stream, from, stream.size(), pos.data(), masks.data());
    std::vector<size_t> want_pos;
    for (size_t i = from; i < stream.size(); ++i) {
      auto it = want.find(stream[i]);
      CHECK_EQ(table.at(stream[i]), it == want.end() ? uint64_t{0} : it->second);
      if (it != want.end()) want_pos.push_back(i);
    }
    CHECK(std::vector<size_t>(pos.begin(), pos.begin() + static_cast<ptrdiff_t>(found)) == want_pos);
    for (size_t f = 0; f < found; ++f) CHECK_EQ(masks[f], want[stream[pos[f]]]);
  }
}

namespace {

// A machine of one state "a" entered by `trigger`, expiring `max_gap` after its last refresh.
std::shared_ptr<const StateMachineDecl> one_state(TokenRef trigger, double max_gap) {
  StateMachineDecl m;
  StateDef d;
  d.max_gap = max_gap;
  m.add_state("a", d, std::nullopt, {}, std::nullopt);
  m.add_entry(1, {}, std::move(trigger), Anchor::End);
  return m.finalized().value();
}

}  // namespace

TEST(a_run_steps_only_where_a_trigger_fires_or_the_instance_expires) {
  // 100,000 positions, one time unit apart; x fires at 10, 20 and 60,000.
  // The instance opened at 10 is refreshed at 20 and expires at 36 (past
  // 20 + 15), the one opened at 60,000 at 60,016: five positions.
  const zuldcore::TokenId x = zuldcore::intern("x"), other = zuldcore::intern("other");
  std::vector<zuldcore::TokenId> ids(100000, other);
  std::vector<double> times(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) times[i] = static_cast<double>(i);
  for (size_t i : {10, 20, 60000}) ids[i] = x;
  const auto machine = one_state(single("x"), 15.0);
  const auto program = zuldcore::MachineProgram::compile(*machine);
  zuldcore::MachineScratch scratch;
  zuldcore::StateColumns out;
  CHECK_EQ(zuldcore::run_machine(program.value(), {ids, times, {}}, scratch, out), size_t{2});
  CHECK_EQ(scratch.positions_visited(), size_t{5});
  CHECK(out.end_pos == std::vector<int64_t>{35, 60015});
}

TEST(a_run_allocates_nothing_once_its_scratch_has_grown) {
  // A one-token trigger, a sequence trigger (its hits listed by a scanner)
  // and a one-token requirement, over a stream of several chunks.
  const auto machine = [] {
    StateMachineDecl m;
    StateDef d;
    d.max_gap = 3.0;
    m.add_state("a", d, std::nullopt, {single("r")}, std::nullopt);
    m.add_entry(1, {}, single("x"), Anchor::End);
    m.add_entry(1, {}, TokenRef{TokenRef::Sequences{zuldcore::build_seq_trie({{"y", "z"}})}}, Anchor::Start);
    return m.finalized().value();
  }();
  const auto program = zuldcore::MachineProgram::compile(*machine);
  std::vector<zuldcore::TokenId> ids;
  const zuldcore::TokenId alphabet[] = {zuldcore::intern("x"), zuldcore::intern("y"), zuldcore::intern("z"),
                                        zuldcore::intern("r"), zuldcore::intern("other")};
  std::mt19937 rng(5);
  std::vector<double> times;
  for (size_t i = 0; i < 20000; ++i) {
    ids.push_back(alphabet[rng() % 5]);
    times.push_back(static_cast<double>(i / 2 + (i / 1000) * 10));
  }
  zuldcore::MachineScratch scratch;
  zuldcore::StateColumns out;
  const zuldcore::StreamView stream{ids, times, {}};
  const size_t rows = zuldcore::run_machine(program.value(), stream, scratch, out);
  CHECK(rows > 0);
  out.truncate(0);  // keeps the columns' storage
  const unsigned long long before = alloc_failure::bytes_allocated();
  CHECK_EQ(zuldcore::run_machine(program.value(), stream, scratch, out), rows);
  CHECK_EQ(alloc_failure::bytes_allocated() - before, 0ull);
}
