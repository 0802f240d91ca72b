// Trie: insertion and sharing of prefixes, the occurrence walk with its
// tie-breaks (greedy extension, first passing edge, terminal edge ends the
// choice), exact timestamps, value constraints on edges, deep copies, wide
// nodes (and their growth when memory runs out) and very long sequences.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "alloc_failure.hpp"
#include "check.hpp"
#include "intern/interner.hpp"
#include "types/trie.hpp"

using zuldcore::INF;
using zuldcore::Trie;
using zuldcore::TokenId;
using zuldcore::ValueConstraint;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr TokenId A = 1, B = 2, C = 3, D = 4, E = 5, X = 6, Y = 7;

struct Run {
  std::vector<TokenId> tokens;
  std::vector<double> times;
  std::vector<double> values;  // empty: no values
};

// Every token at time t, without values.
Run at_time(std::vector<TokenId> tokens, double t) {
  std::vector<double> times(tokens.size(), t);
  return Run{std::move(tokens), std::move(times), {}};
}

Run with_values(std::vector<TokenId> tokens, double t, std::vector<double> values) {
  Run s = at_time(std::move(tokens), t);
  s.values = std::move(values);
  return s;
}

std::optional<size_t> length_at(const Trie& trie, const Run& s, size_t start = 0) {
  return zuldcore::match_at(trie, s.tokens, s.times, s.values, start);
}

Trie trie_of(std::initializer_list<std::vector<TokenId>> seqs) {
  Trie t;
  for (const auto& seq : seqs) t.insert_with_vals(seq, {});
  return t;
}

const ValueConstraint ANY = ValueConstraint::any();
const ValueConstraint R01 = ValueConstraint::range(0.0, 1.0);

}  // namespace

TEST(trie_greedy_extension) {
  const std::optional<size_t> none;
  for (const Trie& t : {trie_of({{A, B}, {A, B, C}}), trie_of({{A, B, C}, {A, B}})}) {
    CHECK_EQ(length_at(t, at_time({A, B, C}, 5.0)), std::optional<size_t>(3));
    Run later_c = at_time({A, B, C}, 5.0);
    later_c.times[2] = 5.5;
    CHECK_EQ(length_at(t, later_c), std::optional<size_t>(2));
    CHECK_EQ(length_at(t, at_time({A, B, D}, 5.0)), std::optional<size_t>(2));
    CHECK_EQ(length_at(t, at_time({A, C}, 5.0)), none);
  }
  // A single token and its extension.
  const Trie t = trie_of({{A}, {A, B}});
  CHECK_EQ(length_at(t, at_time({A, B, B}, 0.0)), std::optional<size_t>(2));
  CHECK_EQ(length_at(t, at_time({A, A, B}, 0.0)), std::optional<size_t>(1));
}

TEST(trie_timestamps_must_be_exactly_equal) {
  const Trie t = trie_of({{A, B}});
  Run s = at_time({A, B}, 1.0);
  s.times[1] = 1.0 + 1e-12;
  CHECK_EQ(length_at(t, s), std::optional<size_t>());
  // NaN times are never equal, not even to a NaN timestamp.
  const Run nan_times = at_time({A, B}, NaN);
  CHECK_EQ(length_at(t, nan_times), std::optional<size_t>());
  CHECK_EQ(zuldcore::match_at_inner(t, nan_times.tokens, nan_times.times, {}, NaN, 0, 0),
           std::optional<size_t>());
  // The first token is held to t as well.
  const Run same = at_time({A, B}, 2.0);
  CHECK_EQ(zuldcore::match_at_inner(t, same.tokens, same.times, {}, 3.0, 0, 0),
           std::optional<size_t>());
  CHECK_EQ(zuldcore::match_at_inner(t, same.tokens, same.times, {}, 2.0, 0, 0),
           std::optional<size_t>(2));
  // Infinite timestamps compare equal to themselves.
  CHECK_EQ(length_at(t, at_time({A, B}, INF)), std::optional<size_t>(2));
}

TEST(trie_runs_out_of_positions) {
  const Trie t = trie_of({{A, B}});
  const Run s = at_time({X, A}, 0.0);
  CHECK_EQ(length_at(t, s, 1), std::optional<size_t>());
  CHECK_EQ(length_at(t, s, 2), std::optional<size_t>());   // start past the end
  CHECK_EQ(length_at(t, s, 99), std::optional<size_t>());
  CHECK_EQ(length_at(t, Run{}), std::optional<size_t>());
  CHECK_EQ(length_at(Trie{}, s), std::optional<size_t>());
}

TEST(trie_occurrence_is_contiguous) {
  const Trie t = trie_of({{A, B}});
  CHECK_EQ(length_at(t, at_time({A, X, B}, 0.0)), std::optional<size_t>());
  // Lengths count from the start position, wherever it is.
  const Run s = at_time({X, X, A, B, A}, 0.0);
  CHECK_EQ(length_at(t, s, 0), std::optional<size_t>());
  CHECK_EQ(length_at(t, s, 2), std::optional<size_t>(2));
  CHECK_EQ(length_at(t, s, 3), std::optional<size_t>());
  CHECK_EQ(length_at(t, s, 4), std::optional<size_t>());
}

TEST(trie_value_constraints_on_edges) {
  Trie range;
  const ValueConstraint r010 = ValueConstraint::range(0.0, 10.0);
  range.insert_with_vals(std::vector<TokenId>{A, B}, std::vector<ValueConstraint>{ANY, r010});
  CHECK_EQ(length_at(range, with_values({A, B}, 0.0, {NaN, 10.0})), std::optional<size_t>(2));
  CHECK_EQ(length_at(range, with_values({A, B}, 0.0, {NaN, 10.5})), std::optional<size_t>());
  CHECK_EQ(length_at(range, with_values({A, B}, 0.0, {NaN, NaN})), std::optional<size_t>());
  CHECK_EQ(length_at(range, at_time({A, B}, 0.0)), std::optional<size_t>());  // no values: NaN

  Trie nan;
  nan.insert_with_vals(std::vector<TokenId>{A, B},
                       std::vector<ValueConstraint>{ANY, ValueConstraint::require_nan()});
  CHECK_EQ(length_at(nan, with_values({A, B}, 0.0, {1.0, NaN})), std::optional<size_t>(2));
  CHECK_EQ(length_at(nan, with_values({A, B}, 0.0, {NaN, 1.0})), std::optional<size_t>());
  CHECK_EQ(length_at(nan, at_time({A, B}, 0.0)), std::optional<size_t>(2));

  // A failing constraint on the extension falls back to the shorter sequence.
  Trie both;
  both.insert_with_vals(std::vector<TokenId>{A}, {});
  both.insert_with_vals(std::vector<TokenId>{A, B}, std::vector<ValueConstraint>{ANY, R01});
  CHECK_EQ(length_at(both, with_values({A, B}, 0.0, {NaN, 0.5})), std::optional<size_t>(2));
  CHECK_EQ(length_at(both, with_values({A, B}, 0.0, {NaN, 5.0})), std::optional<size_t>(1));
}

TEST(trie_dead_end_edge_then_next_edge) {
  // Under a: [Range[0,1] -> x -> end, Any -> end].
  Trie t;
  t.insert_with_vals(std::vector<TokenId>{A, X}, std::vector<ValueConstraint>{R01});
  t.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{ANY});
  CHECK_EQ(t.edges(A).size(), size_t{2});
  CHECK_EQ(length_at(t, with_values({A, Y}, 0.0, {0.5, NaN})), std::optional<size_t>(1));
  CHECK_EQ(length_at(t, with_values({A}, 0.0, {0.5})), std::optional<size_t>(1));
  CHECK_EQ(length_at(t, with_values({A, X}, 0.0, {0.5, NaN})), std::optional<size_t>(2));
  CHECK_EQ(length_at(t, with_values({A, X}, 0.0, {2.0, NaN})), std::optional<size_t>(1));
}

TEST(trie_terminal_edge_ends_the_choice) {
  // Under a: [Range[0,1] -> end, Any -> b -> end]. Once the Range edge reaches
  // a terminal node, the Any edge is not tried for a longer occurrence.
  Trie t;
  t.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{R01});
  t.insert_with_vals(std::vector<TokenId>{A, B}, std::vector<ValueConstraint>{ANY});
  CHECK_EQ(length_at(t, with_values({A, B}, 0.0, {0.5, NaN})), std::optional<size_t>(1));
  CHECK_EQ(length_at(t, with_values({A, B}, 0.0, {5.0, NaN})), std::optional<size_t>(2));
  CHECK_EQ(length_at(t, at_time({A, B}, 0.0)), std::optional<size_t>(2));
}

TEST(trie_first_edge_wins) {
  // Under a: [Range[0,1] -> b -> end, Any -> b -> c -> end]. The first edge
  // leads to an occurrence of 2, so the longer one behind the Any edge is not
  // consulted.
  Trie t;
  t.insert_with_vals(std::vector<TokenId>{A, B}, std::vector<ValueConstraint>{R01});
  t.insert_with_vals(std::vector<TokenId>{A, B, C}, {});
  CHECK_EQ(length_at(t, with_values({A, B, C}, 0.0, {0.5, NaN, NaN})), std::optional<size_t>(2));
  CHECK_EQ(length_at(t, with_values({A, B, C}, 0.0, {5.0, NaN, NaN})), std::optional<size_t>(3));
}

TEST(trie_backtracks_across_levels) {
  // a(R) b(R) c;  a(R) b(Any) d;  a(Any) b e. A stream a b e with small values
  // enters both constrained branches first and must back out of two levels.
  Trie t;
  t.insert_with_vals(std::vector<TokenId>{A, B, C}, std::vector<ValueConstraint>{R01, R01});
  t.insert_with_vals(std::vector<TokenId>{A, B, D}, std::vector<ValueConstraint>{R01, ANY});
  t.insert_with_vals(std::vector<TokenId>{A, B, E}, {});
  const std::vector<double> small{0.5, 0.5, NaN};
  CHECK_EQ(length_at(t, with_values({A, B, C}, 0.0, small)), std::optional<size_t>(3));
  CHECK_EQ(length_at(t, with_values({A, B, D}, 0.0, small)), std::optional<size_t>(3));
  CHECK_EQ(length_at(t, with_values({A, B, E}, 0.0, small)), std::optional<size_t>(3));
  CHECK_EQ(length_at(t, with_values({A, B, X}, 0.0, small)), std::optional<size_t>());
  // b's value outside R: only a(R) b(Any) d and a(Any) b e remain.
  CHECK_EQ(length_at(t, with_values({A, B, C}, 0.0, {0.5, 7.0, NaN})), std::optional<size_t>());
  CHECK_EQ(length_at(t, with_values({A, B, D}, 0.0, {0.5, 7.0, NaN})), std::optional<size_t>(3));
  CHECK_EQ(length_at(t, with_values({A, B, E}, 0.0, {0.5, 7.0, NaN})), std::optional<size_t>(3));
}

TEST(trie_insert_shares_equal_prefixes) {
  Trie t;
  t.insert_with_vals(std::vector<TokenId>{A, B}, {});
  const size_t edges = t.edge_count();
  CHECK_EQ(edges, size_t{2});
  const Trie before = t;
  t.insert_with_vals(std::vector<TokenId>{A, B}, {});
  CHECK_EQ(t.edge_count(), edges);
  CHECK(t == before);
  // A constraint list shorter than the sequence means Any for the rest, and
  // entries past the sequence are ignored.
  t.insert_with_vals(std::vector<TokenId>{A, B}, std::vector<ValueConstraint>{ANY});
  t.insert_with_vals(std::vector<TokenId>{A, B}, std::vector<ValueConstraint>{ANY, ANY, R01});
  CHECK_EQ(t.edge_count(), edges);
  // Equal ranges share an edge; a different constraint adds one, after the
  // existing edge.
  t.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{R01});
  t.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{ValueConstraint::range(0.0, 1.0)});
  CHECK_EQ(t.edge_count(), edges + 1);
  t.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{ValueConstraint::require_nan()});
  CHECK_EQ(t.edge_count(), edges + 2);
  const auto under_a = t.edges(A);
  CHECK_EQ(under_a.size(), size_t{3});
  CHECK_EQ(under_a[0].constraint, ANY);
  CHECK_EQ(under_a[1].constraint, R01);
  CHECK_EQ(under_a[2].constraint, ValueConstraint::require_nan());
  CHECK(!under_a[0].child.terminal());
  CHECK(under_a[1].child.terminal());
  CHECK(t.edges(B).empty());
}

TEST(trie_empty_sequence_never_matches) {
  Trie t;
  t.insert_with_vals(std::vector<TokenId>{}, {});
  CHECK(t.terminal());
  CHECK(t.leaf());
  CHECK_EQ(t.edge_count(), size_t{0});
  CHECK_EQ(length_at(t, at_time({A}, 0.0)), std::optional<size_t>());
  t.insert_with_vals(std::vector<TokenId>{A}, {});
  CHECK_EQ(length_at(t, at_time({A}, 0.0)), std::optional<size_t>(1));
  CHECK_EQ(length_at(t, at_time({B}, 0.0)), std::optional<size_t>());
  CHECK_EQ(length_at(Trie{}, at_time({A}, 0.0)), std::optional<size_t>());
}

TEST(trie_copies_are_deep) {
  Trie original = trie_of({{A, B}});
  Trie copy = original;
  CHECK(copy == original);
  copy.insert_with_vals(std::vector<TokenId>{A, C}, {});
  copy.insert_with_vals(std::vector<TokenId>{A, B, D}, {});
  CHECK(!(copy == original));
  CHECK_EQ(original.edge_count(), size_t{2});
  CHECK_EQ(length_at(original, at_time({A, C}, 0.0)), std::optional<size_t>());
  CHECK_EQ(length_at(copy, at_time({A, C}, 0.0)), std::optional<size_t>(2));
  CHECK_EQ(length_at(original, at_time({A, B, D}, 0.0)), std::optional<size_t>(2));
  CHECK_EQ(length_at(copy, at_time({A, B, D}, 0.0)), std::optional<size_t>(3));

  // Assignment copies and replaces the previous contents.
  Trie assigned = trie_of({{X}});
  assigned = copy;
  CHECK(assigned == copy);
  CHECK_EQ(length_at(assigned, at_time({X}, 0.0)), std::optional<size_t>());
  assigned = assigned;  // self-assignment keeps the value
  CHECK(assigned == copy);

  // Moving leaves the source empty and usable.
  Trie moved = std::move(copy);
  CHECK(moved == assigned);
  CHECK(copy.leaf());
  CHECK(!copy.terminal());
  copy = std::move(moved);
  CHECK(copy == assigned);
  CHECK(moved.leaf());
}

TEST(trie_equality_ignores_branch_order_only) {
  // Branches under different tokens are a map; edges under one token are an
  // ordered list.
  CHECK(trie_of({{A}, {B}}) == trie_of({{B}, {A}}));
  CHECK(!(trie_of({{A}}) == trie_of({{A}, {B}})));
  CHECK(!(trie_of({{A}}) == trie_of({{A, B}})));
  Trie r_then_any, any_then_r;
  r_then_any.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{R01});
  r_then_any.insert_with_vals(std::vector<TokenId>{A}, {});
  any_then_r.insert_with_vals(std::vector<TokenId>{A}, {});
  any_then_r.insert_with_vals(std::vector<TokenId>{A}, std::vector<ValueConstraint>{R01});
  CHECK(!(r_then_any == any_then_r));
}

TEST(trie_wide_nodes) {
  // Enough branches under the root and under one inner node to leave the
  // linear scan, with scattered ids.
  Trie t;
  std::vector<TokenId> ids;
  for (TokenId i = 0; i < 2000; ++i) ids.push_back((i * 7919u) % 100003u + 10u);
  for (size_t i = 0; i < ids.size(); ++i) {
    t.insert_with_vals(std::vector<TokenId>{ids[i]}, {});
    if (i % 3 == 0) t.insert_with_vals(std::vector<TokenId>{A, ids[i]}, {});
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    CHECK_EQ(length_at(t, at_time({ids[i]}, 0.0)), std::optional<size_t>(1));
    CHECK_EQ(length_at(t, at_time({A, ids[i]}, 0.0)),
             i % 3 == 0 ? std::optional<size_t>(2) : std::optional<size_t>());
  }
  CHECK_EQ(length_at(t, at_time({100003u + 20u}, 0.0)), std::optional<size_t>());
  CHECK_EQ(length_at(t, at_time({0u}, 0.0)), std::optional<size_t>());
  const Trie copy = t;
  CHECK(copy == t);
  for (size_t i = 0; i < ids.size(); i += 97)
    CHECK_EQ(length_at(copy, at_time({ids[i]}, 0.0)), std::optional<size_t>(1));
  CHECK_EQ(copy.edge_count(), ids.size() + 1 + (ids.size() + 2) / 3);
}

TEST(trie_node_growth_out_of_memory_loses_no_branch) {
  // Each insertion at a node that leaves the linear scan, or grows its
  // index, is failed at every allocation in turn, then retried; the node
  // must end as if nothing had failed.
  Trie t, clean;
  for (TokenId k = 1; k <= 40; ++k) {
    const std::vector<TokenId> seq{k * 1000};
    if (k == 9 || k == 17 || k == 33)  // the node leaves the linear scan, then its index grows
      alloc_failure::each_allocation([&] { t.insert_with_vals(seq, {}); }, [] {});
    else
      t.insert_with_vals(seq, {});
    clean.insert_with_vals(seq, {});
    CHECK(t == clean);
    for (TokenId j = 1; j <= k; ++j)
      CHECK_EQ(length_at(t, at_time({j * 1000}, 0.0)), std::optional<size_t>(1));
  }
}

TEST(trie_very_long_sequence) {
  // One node per token: copying, comparing, matching and destroying must not
  // recurse per node.
  constexpr size_t N = 500000;
  std::vector<TokenId> seq(N);
  for (size_t i = 0; i < N; ++i) seq[i] = static_cast<TokenId>(i % 5);
  Trie t;
  t.insert_with_vals(seq, {});
  t.insert_with_vals(std::vector<TokenId>(seq.begin(), seq.begin() + 3), {});
  std::vector<double> times(N, 1.0);
  CHECK_EQ(zuldcore::match_at(t, seq, times, {}, 0), std::optional<size_t>(N));
  times[N - 1] = 2.0;  // the long occurrence breaks at the last token
  CHECK_EQ(zuldcore::match_at(t, seq, times, {}, 0), std::optional<size_t>(3));
  {
    Trie copy = t;
    CHECK(copy == t);
    Trie other;
    other = std::move(copy);
    other = Trie{};
  }
  CHECK_EQ(t.edge_count(), N);
}

TEST(trie_build_seq_trie_interns) {
  const size_t vocab_before = zuldcore::vocabulary_size();
  const std::vector<std::vector<std::string>> seqs{
      {"trie_test_p", "trie_test_q"}, {"trie_test_p"}, {"trie_test_r", "trie_test_p"}};
  const Trie built = zuldcore::build_seq_trie(seqs);
  CHECK_EQ(zuldcore::vocabulary_size(), vocab_before + 3);
  const TokenId p = zuldcore::intern("trie_test_p"), q = zuldcore::intern("trie_test_q"),
                r = zuldcore::intern("trie_test_r");
  CHECK(built == trie_of({{p, q}, {p}, {r, p}}));
  CHECK_EQ(length_at(built, at_time({p, q}, 3.0)), std::optional<size_t>(2));
  CHECK_EQ(length_at(built, at_time({r, q}, 3.0)), std::optional<size_t>());
  // Known strings keep their ids.
  (void)zuldcore::build_seq_trie(seqs);
  CHECK_EQ(zuldcore::vocabulary_size(), vocab_before + 3);
  CHECK(zuldcore::build_seq_trie({}) == Trie{});
}
