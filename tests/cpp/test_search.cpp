// The general search: emission order, backtracking, blocking and its
// retirement per scan, every element kind, unordered slot order, mapped
// elements (keys only from elements matched on the path), pattern bounds,
// collectors and the midstream collector, first_only, hostile times, a
// brute-force oracle for ordered patterns, and the early stop against the
// plain scan on seeded random patterns and streams.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "check.hpp"
#include "engine_fixtures.hpp"
#include "engine/search.hpp"

using namespace zuldcore;
using namespace engine_fixtures;

namespace {

constexpr TokenId A = 1, B = 2, C = 3, D = 4, X = 9, Y = 10;

MatchBuffer search(const Pattern& p, const S& s, bool first_only = false, bool early_stop = true,
                   SearchStats* stats = nullptr) {
  const Engine e = make_engine(p).value();
  MatchBuffer b(e.n_elements, true, 16);
  // The plain search (early_stop false) also keeps every partial match; the
  // other prunes from the start.
  match_full(e, s.tokens, s.times, s.values, first_only, b,
             SearchOptions{early_stop, stats, true, early_stop, early_stop});
  return b;
}

MatchBuffer search_with(const Pattern& p, const S& s, bool first_only, const SearchOptions& options) {
  const Engine e = make_engine(p).value();
  MatchBuffer b(e.n_elements, true, 16);
  match_full(e, s.tokens, s.times, s.values, first_only, b, options);
  return b;
}

Rows positions(const Pattern& p, const S& s) { return rows(search(p, s)); }

// Per match, per slot: the slot's token ids.
using Tokens = std::vector<std::vector<std::vector<TokenId>>>;
Tokens slot_tokens(const MatchBuffer& b) {
  Tokens out;
  size_t at = 0;
  for (size_t m = 0; m < b.n_matches(); ++m) {
    auto& row = out.emplace_back();
    for (size_t j = 0; j < b.n_elements; ++j) {
      const uint32_t k = b.el_token_counts[m * b.n_elements + j];
      row.emplace_back(b.el_tokens.begin() + static_cast<ptrdiff_t>(at),
                       b.el_tokens.begin() + static_cast<ptrdiff_t>(at + k));
      at += k;
    }
  }
  return out;
}

Event blocked(TokenId t, TokenId by, ValueConstraint vc = ValueConstraint::any()) {
  Event e = ev(t);
  e.block_token = by;
  e.block_vc = vc;
  return e;
}
Bounds dt_at_most(double max_dt) {
  Bounds b;
  b.max_dt = max_dt;
  return b;
}
bool same_f64(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool same_f64s(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_f64);
}
bool same_lists(const std::vector<Pairs>& a, const std::vector<Pairs>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size()) return false;
    for (size_t j = 0; j < a[i].size(); ++j)
      if (a[i][j].first != b[i][j].first || !same_f64(a[i][j].second, b[i][j].second)) return false;
  }
  return true;
}
bool same_buffers(const MatchBuffer& a, const MatchBuffer& b) {
  return a.m_start == b.m_start && a.m_end == b.m_end && same_f64s(a.t_start, b.t_start) &&
         same_f64s(a.t_end, b.t_end) && a.el_stream_idx == b.el_stream_idx &&
         same_f64s(a.el_times, b.el_times) && a.el_tokens == b.el_tokens &&
         a.el_token_counts == b.el_token_counts && same_f64s(a.result_scalars, b.result_scalars) &&
         same_lists(a.result_lists, b.result_lists) && same_f64s(a.mid_scalars, b.mid_scalars) &&
         same_lists(a.mid_lists, b.mid_lists);
}

}  // namespace

// ---------------------------------------------------------------- order and backtracking

TEST(search_overlapping_matches_depth_first) {
  const Pattern p = pattern({ev(A), ev(B)});
  CHECK_EQ(positions(p, seq({A, A, B})), (Rows{{0, 2}, {1, 2}}));
  CHECK_EQ(positions(p, seq({A, A, B, B})), (Rows{{0, 2}, {0, 3}, {1, 2}, {1, 3}}));
  CHECK_EQ(positions(p, seq({B, A})), Rows{});
}

TEST(search_backtrackable_false) {
  Event a = ev(A);
  a.backtrackable = false;
  CHECK_EQ(positions(pattern({a, ev(B)}), seq({A, A, B})), (Rows{{0, 2}}));
  Event b = ev(B);
  b.backtrackable = false;
  CHECK_EQ(positions(pattern({ev(A), b}), seq({A, A, B, B})), (Rows{{0, 2}, {1, 2}}));
  // Earliest possible position means after the previous element: a later
  // start still gets its own first b.
  CHECK_EQ(positions(pattern({ev(A), b}), seq({A, B, A, B})), (Rows{{0, 1}, {2, 3}}));
}

TEST(search_first_only) {
  const Pattern p = pattern({ev(A), ev(B)});
  const MatchBuffer b = search(p, seq({A, A, B, B}), true);
  CHECK_EQ(rows(b), (Rows{{0, 2}}));
  CHECK_EQ(b.m_start.size(), size_t{1});
  CHECK_EQ(rows(search(p, seq({B, B}), true)), Rows{});
}

TEST(search_columns_of_a_match) {
  Pattern p = pattern({ev(A), ev(B)});
  const MatchBuffer b = search(p, timed({X, A, Y, B}, {0.5, 1.0, 2.0, 3.5}));
  CHECK_EQ(b.m_start, std::vector<int64_t>{1});
  CHECK_EQ(b.m_end, std::vector<int64_t>{3});
  CHECK_EQ(b.t_start, std::vector<double>{1.0});
  CHECK_EQ(b.t_end, std::vector<double>{3.5});
  CHECK_EQ(b.el_times, (std::vector<double>{1.0, 3.5}));
  CHECK_EQ(slot_tokens(b), (Tokens{{{A}, {B}}}));
}

TEST(search_elements_at_increasing_positions) {
  // Same token twice: the second needs a later position.
  CHECK_EQ(positions(pattern({ev(A), ev(A)}), seq({A, A, A})), (Rows{{0, 1}, {0, 2}, {1, 2}}));
  CHECK_EQ(positions(pattern({ev(A), ev(A)}), seq({A})), Rows{});
}

// ---------------------------------------------------------------- timing

TEST(search_first_element_min_dt_never_matches) {
  Bounds b;
  b.min_dt = 1.0;
  CHECK_EQ(positions(pattern({ev(A, b), ev(B)}), seq({A, B, A, B})), Rows{});
  // Later elements measure dt from the previous element.
  CHECK_EQ(positions(pattern({ev(A), ev(B, b)}), timed({A, B, B}, {0.0, 0.5, 1.0})), (Rows{{0, 2}}));
}

TEST(search_element_bounds_inclusive) {
  Bounds b;
  b.min_dt = 1.0;
  b.max_dt = 2.0;
  const Pattern p = pattern({ev(A), ev(B, b)});
  CHECK_EQ(positions(p, timed({A, B, B, B, B}, {0.0, 0.5, 1.0, 2.0, 2.5})), (Rows{{0, 2}, {0, 3}}));
  Bounds at;
  at.min_at = 1.0;
  at.max_at = 2.0;
  CHECK_EQ(positions(pattern({ev(A, at)}), timed({A, A, A, A}, {0.5, 1.0, 2.0, 2.5})), (Rows{{1}, {2}}));
}

TEST(search_decreasing_times_fail_default_min_dt) {
  // dt = -4 fails min_dt 0.
  CHECK_EQ(positions(pattern({ev(A), ev(B, dt_at_most(100))}), timed({A, B}, {5.0, 1.0})), Rows{});
  CHECK_EQ(positions(pattern({ev(A), ev(B, dt_at_most(100))}), timed({A, B}, {5.0, 5.0})), (Rows{{0, 1}}));
}

TEST(search_nan_times_never_match) {
  const S s = timed({A, B, A, B}, {NaN, NaN, 1.0, 2.0});
  CHECK_EQ(positions(pattern({ev(A), ev(B)}), s), (Rows{{2, 3}}));
  TimeEvent any;
  CHECK_EQ(positions(pattern({any}), s), (Rows{{2}, {3}}));
  EventSeq q;
  q.match_trie = trie_of({{A}});
  CHECK_EQ(positions(pattern({q}), s), (Rows{{2}}));
}

TEST(search_pattern_max_dt) {
  Pattern p = pattern({ev(A), ev(B)});
  p.max_dt = 5.0;
  CHECK_EQ(positions(p, timed({A, B}, {0.0, 6.0})), Rows{});
  CHECK_EQ(positions(p, timed({A, B}, {0.0, 5.0})), (Rows{{0, 1}}));
  // The scan for b ends at the first time past 5: it does not look beyond.
  SearchStats stats;
  const S s = timed({A, X, X, X, B}, {0.0, 1.0, 6.0, 7.0, 8.0});
  search_with(p, s, false, {false, &stats, false, false});
  CHECK_EQ(stats.positions_scanned, size_t{5 + 2});  // initial scans 0..4, b's scan 1..2
  // Skipping the x positions, which nothing reacts to, visits 0 and 4, then
  // 4 for b's scan, where the time is past 5 as it was at 2.
  SearchStats skipping;
  CHECK_EQ(search_with(p, s, false, {false, &skipping, true, false}).n_matches(), size_t{0});
  CHECK_EQ(skipping.positions_scanned, size_t{2 + 1});
}

TEST(search_pattern_bounds_on_complete_matches) {
  Pattern p = pattern({ev(A), ev(B)});
  p.min_dt = 2.0;
  CHECK_EQ(positions(p, timed({A, B, B}, {0.0, 1.0, 2.0})), (Rows{{0, 2}}));
  p = pattern({ev(A), ev(B)});
  p.min_at = 1.0;
  p.max_at = 3.0;
  CHECK_EQ(positions(p, timed({A, A, B, B}, {0.0, 1.0, 3.0, 3.5})), (Rows{{1, 2}}));
  // t_end is the largest time, not the last element's: unordered b then a.
  p = pattern({ev(A), ev(B)}, false);
  const MatchBuffer b = search(p, timed({B, A}, {4.0, 4.0}));
  CHECK_EQ(b.t_start, std::vector<double>{4.0});
  CHECK_EQ(b.t_end, std::vector<double>{4.0});
}

TEST(search_dynamic_time_event_window) {
  DynamicTimeEvent w;
  w.rel_min_dt = 1.0;
  w.rel_max_dt = 2.0;
  CHECK_EQ(positions(pattern({ev(A), w}), timed({A, X, Y, X, Y}, {0.0, 0.5, 1.0, 2.0, 2.5})),
           (Rows{{0, 2}, {0, 3}}));
  // Without a reference time only an open rel_max_dt lets it match.
  CHECK_EQ(positions(pattern({w}), seq({X, Y})), Rows{});
  DynamicTimeEvent open;
  open.min_at = 1.0;
  open.max_at = 2.0;
  CHECK_EQ(positions(pattern({open}), seq({X, Y, X, Y})), (Rows{{1}, {2}}));
  // max_at caps the window.
  DynamicTimeEvent capped = w;
  capped.max_at = 1.5;
  CHECK_EQ(positions(pattern({ev(A), capped}), timed({A, X, Y}, {0.0, 1.0, 2.0})), (Rows{{0, 1}}));
}

// ---------------------------------------------------------------- element kinds

TEST(search_event_value_constraint) {
  Event a = ev(A);
  a.vc = ValueConstraint::range(1.0, 2.0);
  const Pattern p = pattern({a});
  CHECK_EQ(positions(p, timed({A, A, A, A}, {0, 1, 2, 3}, {0.5, 1.0, 2.0, NaN})), (Rows{{1}, {2}}));
  CHECK_EQ(positions(p, seq({A})), Rows{});  // no values: NaN
  a.vc = ValueConstraint::require_nan();
  CHECK_EQ(positions(pattern({a}), timed({A, A}, {0, 1}, {1.0, NaN})), (Rows{{1}}));
  CHECK_EQ(positions(pattern({a}), seq({A})), (Rows{{0}}));
}

TEST(search_event_set_first_equal_token_constraint) {
  EventSet s;
  s.match_tokens = {A, B, A};
  s.vcs = {ValueConstraint::range(0.0, 1.0), ValueConstraint::any(), ValueConstraint::any()};
  // The duplicate a is governed by the first a's constraint.
  CHECK_EQ(positions(pattern({s}), timed({A, A, B}, {0, 1, 2}, {0.5, 5.0, 5.0})), (Rows{{0}, {2}}));
  s.vcs = {ValueConstraint::range(0.0, 1.0)};  // shorter: b unconstrained
  CHECK_EQ(positions(pattern({s}), timed({A, B}, {0, 1}, {5.0, 5.0})), (Rows{{1}}));
}

TEST(search_event_seq) {
  EventSeq q;
  q.match_trie = trie_of({{A, B}, {A, B, C}});
  const Pattern p = pattern({q, ev(D)});
  const MatchBuffer b = search(p, timed({A, B, C, D, A, B, D}, {1, 1, 1, 2, 3, 3, 4}));
  CHECK_EQ(rows(b), (Rows{{0, 3}, {0, 6}, {4, 6}}));
  CHECK_EQ(b.m_end, (std::vector<int64_t>{3, 6, 6}));
  CHECK_EQ(slot_tokens(b), (Tokens{{{A, B, C}, {D}}, {{A, B, C}, {D}}, {{A, B}, {D}}}));
  // A sequence consumes its positions: the next element starts after them.
  EventSeq ab;
  ab.match_trie = trie_of({{A, B}});
  const MatchBuffer c = search(pattern({ab, ev(B)}), timed({A, B, B}, {1, 1, 1}));
  CHECK_EQ(rows(c), (Rows{{0, 2}}));
  CHECK_EQ(c.m_end, std::vector<int64_t>{2});
  // A sequence element last: m_end is its last token.
  const MatchBuffer d = search(pattern({ev(C), ab}), timed({C, A, B}, {0, 1, 1}));
  CHECK_EQ(d.m_end, std::vector<int64_t>{2});
}

TEST(search_event_seq_block_trie) {
  EventSeq q;
  q.match_trie = trie_of({{B}});
  q.block_trie = trie_of({{X, Y}});
  const Pattern p = pattern({ev(A), q});
  CHECK_EQ(positions(p, timed({A, X, Y, B}, {0, 1, 1, 2})), Rows{});
  CHECK_EQ(positions(p, timed({A, X, Y, B}, {0, 1, 2, 3})), (Rows{{0, 3}}));  // not same time
  CHECK_EQ(positions(p, timed({A, X, B}, {0, 1, 2})), (Rows{{0, 2}}));
}

TEST(search_time_event) {
  Bounds b;
  b.min_dt = 1.0;
  b.max_dt = 1.0;
  TimeEvent t;
  t.bounds = b;
  t.block_tokens = {X};
  const Pattern p = pattern({ev(A), t});
  CHECK_EQ(positions(p, timed({A, C, D}, {0.0, 0.5, 1.0})), (Rows{{0, 2}}));
  CHECK_EQ(positions(p, timed({A, X, D}, {0.0, 0.5, 1.0})), Rows{});
  CHECK_EQ(slot_tokens(search(p, timed({A, C, D}, {0.0, 0.5, 1.0}))), (Tokens{{{A}, {D}}}));
}

TEST(search_dynamic_event) {
  EventSet first;
  first.match_tokens = {X, Y};
  DynamicEvent same;
  const Pattern p = pattern({first, same});
  CHECK_EQ(positions(p, seq({X, Y, X})), (Rows{{0, 2}}));
  CHECK_EQ(positions(p, seq({Y, X, Y, X})), (Rows{{0, 2}, {1, 3}}));
  // Static block tokens and the value constraint.
  same.static_block_tokens = {C};
  same.vc = ValueConstraint::range(1.0, INF);
  const Pattern q = pattern({first, same});
  CHECK_EQ(positions(q, timed({X, X, X}, {0, 1, 2}, {0.0, 0.0, 1.0})), (Rows{{0, 2}, {1, 2}}));
  CHECK_EQ(positions(q, seq({X, C, X})), Rows{});
  // As a first element there is no last token: never matches.
  CHECK_EQ(positions(pattern({DynamicEvent{}}), seq({X, X})), Rows{});
  // The last token of a sequence element is its first token.
  EventSeq xy;
  xy.match_trie = trie_of({{X, Y}});
  CHECK_EQ(positions(pattern({xy, DynamicEvent{}}), timed({X, Y, Y, X}, {0, 0, 1, 2})), (Rows{{0, 3}}));
}

TEST(search_dynamic_event_set) {
  DynamicEventSet d;
  d.static_match_tokens = {C};
  d.match_from_last = true;
  const Pattern p = pattern({ev(A), d});
  CHECK_EQ(positions(p, seq({A, B, C, A})), (Rows{{0, 2}, {0, 3}}));
  d.match_from_last = false;
  CHECK_EQ(positions(pattern({ev(A), d}), seq({A, B, C, A})), (Rows{{0, 2}}));
  // The last token blocks when asked to.
  d.block_from_last = true;
  CHECK_EQ(positions(pattern({ev(A), d}), seq({A, A, C})), (Rows{{1, 2}}));
  // A static token's constraint also holds when it equals the last token.
  DynamicEventSet c;
  c.static_match_tokens = {A};
  c.vcs = {ValueConstraint::range(5.0, 5.0)};
  c.match_from_last = true;
  CHECK_EQ(positions(pattern({ev(A), c}), timed({A, A, A}, {0, 1, 2}, {0.0, 1.0, 5.0})),
           (Rows{{0, 2}, {1, 2}}));
  // Only the last token, unconstrained.
  DynamicEventSet only_last;
  only_last.match_from_last = true;
  only_last.vcs = {ValueConstraint::require_nan()};
  CHECK_EQ(positions(pattern({ev(B), only_last}), timed({B, B}, {0, 1}, {1.0, 1.0})), (Rows{{0, 1}}));
  // Nothing to match at all.
  CHECK_EQ(positions(pattern({ev(A), DynamicEventSet{}}), seq({A, A})), Rows{});
}

TEST(search_static_block_value_constraints) {
  Event b = blocked(B, X, ValueConstraint::range(0.0, 5.0));
  const Pattern p = pattern({ev(A), b});
  CHECK_EQ(positions(p, timed({A, X, B}, {0, 1, 2}, {0.0, 3.0, 0.0})), Rows{});
  CHECK_EQ(positions(p, timed({A, X, B}, {0, 1, 2}, {0.0, 10.0, 0.0})), (Rows{{0, 2}}));
  CHECK_EQ(positions(p, seq({A, X, B})), (Rows{{0, 2}}));  // NaN is not in the range
  b.block_vc = ValueConstraint::require_nan();
  CHECK_EQ(positions(pattern({ev(A), b}), seq({A, X, B})), Rows{});
  CHECK_EQ(positions(pattern({ev(A), b}), timed({A, X, B}, {0, 1, 2}, {0.0, 1.0, 0.0})), (Rows{{0, 2}}));
  // A block constraint without a block token does nothing.
  Event loose = ev(B);
  loose.block_vc = ValueConstraint::range(0.0, 1.0);
  CHECK_EQ(positions(pattern({ev(A), loose}), timed({A, X, B}, {0, 1, 2}, {0.0, 0.5, 0.5})), (Rows{{0, 2}}));
  // Duplicate block tokens: the first one's constraint decides.
  EventSet s;
  s.match_tokens = {B};
  s.block_tokens = {X, X};
  s.block_vcs = {ValueConstraint::range(0.0, 1.0), ValueConstraint::any()};
  CHECK_EQ(positions(pattern({ev(A), s}), timed({A, X, B}, {0, 1, 2}, {0.0, 9.0, 0.0})), (Rows{{0, 2}}));
}

// ---------------------------------------------------------------- blocking

TEST(search_block_between_elements) {
  const Pattern p = pattern({ev(A), blocked(B, X)});
  CHECK_EQ(positions(p, seq({A, X, B})), Rows{});
  // The continuation that looks past the first b meets x and retires b.
  CHECK_EQ(positions(p, seq({A, B, X, B})), (Rows{{0, 1}}));
  // Before the previous element the block does not count; a later start is
  // not affected by a block before it.
  CHECK_EQ(positions(p, seq({X, A, B})), (Rows{{1, 2}}));
  CHECK_EQ(positions(p, seq({A, X, A, B})), (Rows{{2, 3}}));
}

TEST(search_block_at_same_position_wins) {
  // b blocked by b: the block is examined first at every b.
  CHECK_EQ(positions(pattern({ev(A), blocked(B, B)}), seq({A, B, B})), Rows{});
  EventSet s;
  s.match_tokens = {B, C};
  s.block_tokens = {C};
  CHECK_EQ(positions(pattern({ev(A), s}), seq({A, B})), (Rows{{0, 1}}));
  CHECK_EQ(positions(pattern({ev(A), s}), seq({A, C, B})), Rows{});
}

TEST(search_block_on_first_element) {
  CHECK_EQ(positions(pattern({blocked(A, X), ev(B)}), seq({X, A, B})), Rows{});
  CHECK_EQ(positions(pattern({blocked(A, X), ev(B)}), seq({A, B, X, A, B})), (Rows{{0, 1}, {0, 4}}));
}

TEST(search_unordered_block_retires_one_candidate_only) {
  // d blocked by c; at c's position c still matches, and the scans after it
  // start afresh, so d matches after c.
  const Pattern p = pattern({ev(C), blocked(D, C)}, false);
  CHECK_EQ(positions(p, seq({C, D})), (Rows{{0, 1}}));
}

TEST(search_unordered_retirement_lasts_one_scan) {
  // b is blocked by x. The scan from the start retires b at 0 and matches a
  // at 1; its continuation scans afresh from 2 and matches b there, so the
  // path b, c, a exists although x lies before b.
  const Pattern p = pattern({ev(A), blocked(B, X), ev(C)}, false);
  const MatchBuffer b = search(p, seq({X, A, B, C, A}));
  CHECK_EQ(rows(b), (Rows{{1, 2, 3}, {2, 3, 4}}));
  CHECK_EQ(slot_tokens(b), (Tokens{{{A}, {B}, {C}}, {{B}, {C}, {A}}}));
}

TEST(search_resolved_block_suppresses_every_test_at_its_position) {
  // Mapped element (its default: d, blocked by c) next to a plain c. At the
  // c, the mapped candidate is blocked, so c is not even tested there.
  MappedEvent m;
  m.source_element = 5;  // never matched: the default applies
  m.default_element = ResolvedElement::single(D, ValueConstraint::any(), {C}, {}, Bounds{});
  CHECK_EQ(positions(pattern({ev(C), m}, false), seq({C, D})), Rows{});
  // The mapped candidate stays retired for the rest of that scan, so the
  // next c is tested; the scan after that c starts afresh and finds d.
  CHECK_EQ(positions(pattern({ev(C), m}, false), seq({C, X, C, D})), (Rows{{2, 3}}));
  // With a block token that never occurs, c and d match in both orders.
  m.default_element = ResolvedElement::single(D, ValueConstraint::any(), {Y}, {}, Bounds{});
  CHECK_EQ(positions(pattern({ev(C), m}, false), seq({C, D, C})), (Rows{{0, 1}, {1, 2}}));
  // A blocked plain candidate does not suppress the mapped one.
  m.default_element = ResolvedElement::single(D, ValueConstraint::any(), {}, {}, Bounds{});
  CHECK_EQ(positions(pattern({blocked(C, D), m}, false), seq({D, C})), (Rows{{0, 1}}));
}

// ---------------------------------------------------------------- unordered

TEST(search_unordered_slot_order) {
  const Pattern p = pattern({ev(A), ev(B)}, false);
  const MatchBuffer b = search(p, seq({B, A}));
  CHECK_EQ(rows(b), (Rows{{0, 1}}));
  CHECK_EQ(slot_tokens(b), (Tokens{{{B}, {A}}}));
  CHECK_EQ(b.el_times, (std::vector<double>{0.0, 1.0}));
  // Elements hit at one position each get their own branch, lowest index first.
  EventSet ab;
  ab.match_tokens = {A, B};
  const Pattern q = pattern({ab, ev(A)}, false);
  const MatchBuffer c = search(q, seq({A, A}));
  CHECK_EQ(rows(c), (Rows{{0, 1}, {0, 1}}));
}

TEST(search_unordered_all_orders) {
  const Pattern p = pattern({ev(A), ev(B), ev(C)}, false);
  CHECK_EQ(positions(p, seq({C, A, B})), (Rows{{0, 1, 2}}));
  CHECK_EQ(positions(p, seq({A, B, C, A})), (Rows{{0, 1, 2}, {1, 2, 3}}));
}

// ---------------------------------------------------------------- mapped elements

MappedEvent mapped_on(uint32_t source) {
  MappedEvent m;
  m.source_element = source;
  m.map.emplace(std::vector<TokenId>{A}, ResolvedElement::single(B, ValueConstraint::any(), {}, {}, Bounds{}));
  m.map.emplace(std::vector<TokenId>{C}, ResolvedElement::single(D, ValueConstraint::any(), {}, {}, Bounds{}));
  return m;
}

TEST(search_mapped_event_follows_source) {
  EventSet first;
  first.match_tokens = {A, C, X};
  const Pattern p = pattern({first, mapped_on(0)});
  CHECK_EQ(positions(p, seq({A, D, B})), (Rows{{0, 2}}));
  CHECK_EQ(positions(p, seq({C, B, D})), (Rows{{0, 2}}));
  // Key missing, no default: no match through that path.
  CHECK_EQ(positions(p, seq({X, B, D})), Rows{});
  MappedEvent with_default = mapped_on(0);
  with_default.default_element = ResolvedElement::single(Y, ValueConstraint::any(), {}, {}, Bounds{});
  CHECK_EQ(positions(pattern({first, with_default}), seq({X, B, Y})), (Rows{{0, 2}}));
}

TEST(search_mapped_event_sequence_key_and_rules) {
  // Source is a sequence element: the key is all its tokens.
  EventSeq q;
  q.match_trie = trie_of({{A, C}, {A}});
  MappedEvent m;
  m.source_element = 0;
  m.map.emplace(std::vector<TokenId>{A, C}, ResolvedElement::single(B, ValueConstraint::any(), {}, {}, Bounds{}));
  ResolvedElement set;
  set.tokens = {X, D};
  set.vcs = {ValueConstraint::range(0.0, 1.0)};
  set.bounds.max_dt = 2.0;
  m.map.emplace(std::vector<TokenId>{A}, set);
  const Pattern p = pattern({q, m});
  CHECK_EQ(positions(p, timed({A, C, B}, {0, 0, 1})), (Rows{{0, 2}}));
  CHECK_EQ(positions(p, timed({A, B}, {0, 1})), Rows{});
  CHECK_EQ(positions(p, timed({A, X, X, D, D}, {0, 1, 1, 2, 3}, {NaN, 5.0, 0.5, 9.0, 0.0})),
           (Rows{{0, 2}, {0, 3}}));
  // A resolved rule with a sequence trie matches runs; its tokens are not consulted.
  ResolvedElement runs;
  runs.tokens = {A};
  runs.seq_trie = trie_of({{X, Y}});
  MappedEvent r;
  r.source_element = 9;
  r.default_element = runs;
  const MatchBuffer b = search(pattern({ev(B), r}), timed({B, A, X, Y}, {0, 1, 2, 2}));
  CHECK_EQ(rows(b), (Rows{{0, 2}}));
  CHECK_EQ(b.m_end, std::vector<int64_t>{3});
  CHECK_EQ(slot_tokens(b), (Tokens{{{B}, {X, Y}}}));
}

TEST(search_mapped_source_not_on_path_has_no_key) {
  // Unordered a, b and a mapped element keyed on element 0 (a -> c, default
  // d). On the path that starts with b, element 0 is not matched yet, so the
  // default d applies even though another branch left a in element 0's slot.
  MappedEvent m;
  m.source_element = 0;
  m.map.emplace(std::vector<TokenId>{A}, ResolvedElement::single(C, ValueConstraint::any(), {}, {}, Bounds{}));
  m.default_element = ResolvedElement::single(D, ValueConstraint::any(), {}, {}, Bounds{});
  const Pattern p = pattern({ev(A), ev(B), m}, false);
  const MatchBuffer b = search(p, seq({A, B, C, D, A}));
  const Rows r = rows(b);
  CHECK(std::find(r.begin(), r.end(), std::vector<int64_t>{1, 3, 4}) != r.end());
  CHECK(std::find(r.begin(), r.end(), std::vector<int64_t>{1, 2, 4}) == r.end());
  CHECK_EQ(r, (Rows{{0, 1, 2}, {1, 3, 4}}));
  // A source index beyond the limit is never matched: default or nothing.
  MappedEvent far = m;
  far.source_element = 200;
  CHECK_EQ(positions(pattern({ev(A), far}), seq({A, C, D})), (Rows{{0, 2}}));
  far.default_element.reset();
  CHECK_EQ(positions(pattern({ev(A), far}), seq({A, C, D})), Rows{});
}

TEST(search_mapped_event_bounds_and_blocks) {
  MappedEvent m = mapped_on(0);
  Bounds b;
  b.max_dt = 1.0;
  m.map.at(std::vector<TokenId>{A}) = ResolvedElement::single(B, ValueConstraint::range(0.0, 1.0), {X}, {}, b);
  const Pattern p = pattern({ev(A), m});
  CHECK_EQ(positions(p, timed({A, B, B}, {0, 1, 2}, {NaN, 0.5, 0.5})), (Rows{{0, 1}}));
  CHECK_EQ(positions(p, timed({A, B}, {0, 1}, {NaN, 2.0})), Rows{});
  CHECK_EQ(positions(p, timed({A, X, B}, {0, 0.5, 1}, {NaN, NaN, 0.5})), Rows{});
}

// ---------------------------------------------------------------- collectors

TEST(search_pattern_collectors) {
  Pattern p = pattern({ev(A), ev(B), ev(C)});
  p.collector = CollectorStrategy::Count;
  CHECK_EQ(search(p, seq({A, B, C, C})).result_scalars, (std::vector<double>{3.0, 3.0}));
  p = pattern({ev(A), ev(B)});
  p.collector = CollectorStrategy::SumTimes;
  CHECK_EQ(search(p, timed({A, B}, {1.0, 2.5})).result_scalars, std::vector<double>{3.5});
  p.collector = CollectorStrategy::CollectTokens;
  CHECK_EQ(search(p, timed({A, B}, {1.0, 2.5})).result_lists, (std::vector<Pairs>{{{A, 0.0}, {B, 0.0}}}));
  p.collector = CollectorStrategy::CollectTimes;
  CHECK_EQ(search(p, timed({A, B}, {1.0, 2.5})).result_lists, (std::vector<Pairs>{{{0, 1.0}, {0, 2.5}}}));
  p.collector = CollectorStrategy::CollectPairs;
  const MatchBuffer b = search(p, timed({A, B}, {1.0, 2.5}));
  CHECK_EQ(b.result_lists, (std::vector<Pairs>{{{A, 1.0}, {B, 2.5}}}));
  CHECK(b.result_scalars.empty() && b.mid_scalars.empty() && b.mid_lists.empty());
  p.collector = CollectorStrategy::None;
  const MatchBuffer n = search(p, seq({A, B, B, B}));
  CHECK_EQ(n.n_matches(), size_t{3});
  CHECK(n.result_scalars.empty() && n.result_lists.empty());
  // Unordered: in order of matching; sequences contribute their first token.
  Pattern u = pattern({ev(A), ev(B)}, false);
  u.collector = CollectorStrategy::CollectTokens;
  CHECK_EQ(search(u, seq({B, A})).result_lists, (std::vector<Pairs>{{{B, 0.0}, {A, 0.0}}}));
  EventSeq cd;
  cd.match_trie = trie_of({{C, D}});
  Pattern s = pattern({cd});
  s.collector = CollectorStrategy::CollectPairs;
  CHECK_EQ(search(s, timed({C, D}, {7, 7})).result_lists, (std::vector<Pairs>{{{C, 7.0}}}));
}

TEST(search_midstream_phase) {
  // Collect x after a (element 0) until c (element 2) is matched.
  Pattern p = pattern({ev(A), ev(B), ev(C)});
  p.midstream = midstream({{X}}, CollectorStrategy::Count, 0b001, 0b100);
  const MatchBuffer b = search(p, seq({X, A, X, B, X, X, C, X}));
  CHECK_EQ(b.mid_scalars, std::vector<double>{3.0});
  CHECK(b.mid_lists.empty());
  // start_after naming no element keeps it inactive; entries still appear.
  p.midstream = midstream({{X}}, CollectorStrategy::Count, uint64_t{1} << 40, 0);
  CHECK_EQ(search(p, seq({X, A, X, B, X, C})).mid_scalars, std::vector<double>{0.0});
  p.midstream = midstream({{X}}, CollectorStrategy::CollectTokens);
  CHECK_EQ(search(p, seq({A, B, C})).mid_lists, std::vector<Pairs>{Pairs{}});
  p.midstream = midstream({{X}}, CollectorStrategy::None);
  const MatchBuffer none = search(p, seq({A, X, B, C}));
  CHECK_EQ(none.n_matches(), size_t{1});
  CHECK(none.mid_scalars.empty() && none.mid_lists.empty());
}

TEST(search_midstream_follows_the_final_path) {
  // Positions scanned on the way to each match only: the continuation past
  // the first b carries the x seen before it.
  Pattern p = pattern({ev(A), ev(B)});
  p.midstream = midstream({{X}}, CollectorStrategy::CollectTimes, 0b01, 0);
  const MatchBuffer b = search(p, seq({A, X, B, X, B}));
  CHECK_EQ(rows(b), (Rows{{0, 2}, {0, 4}}));
  CHECK_EQ(b.mid_lists, (std::vector<Pairs>{{{0, 1.0}}, {{0, 1.0}, {0, 3.0}}}));
  // The position where an element matches is scanned too.
  p = pattern({ev(A), ev(B)});
  p.midstream = midstream({{B}}, CollectorStrategy::Count, 0b01, 0);
  CHECK_EQ(search(p, seq({A, B})).mid_scalars, std::vector<double>{1.0});
  // The positions a sequence element consumes after its first are not scanned.
  EventSeq ay;
  ay.match_trie = trie_of({{A, Y}});
  p = pattern({ay, ev(B)});
  p.midstream = midstream({{Y}}, CollectorStrategy::Count);
  CHECK_EQ(search(p, timed({A, Y, B}, {0, 0, 1})).mid_scalars, std::vector<double>{0.0});
  // A collected sequence contributes its first token and time.
  p = pattern({ev(A), ev(B)});
  p.midstream = midstream({{X, Y}}, CollectorStrategy::CollectPairs);
  CHECK_EQ(search(p, timed({A, X, Y, B}, {0, 1, 1, 2})).mid_lists, (std::vector<Pairs>{{{X, 1.0}}}));
  p.midstream = midstream({{X}}, CollectorStrategy::SumTimes);
  CHECK_EQ(search(p, timed({X, A, X, X, B}, {0.5, 1, 2, 2.25, 3})).mid_scalars, std::vector<double>{4.75});
}

// ---------------------------------------------------------------- limits

TEST(search_engine_size_limit) {
  Pattern p;
  for (int i = 0; i < 65; ++i) p.elements.push_back(ev(A));
  const Expected<Engine> too_big = make_engine(p);
  CHECK(!too_big.ok());
  if (!too_big.ok()) CHECK_EQ(too_big.message(), std::string("Pattern has 65 elements; maximum is 64"));
  p.elements.pop_back();
  const Expected<Engine> e = make_engine(p);
  CHECK(e.ok());
  if (e.ok()) {
    CHECK_EQ(e.value().n_elements, size_t{64});
    CHECK_EQ(e.value().full_mask, ~uint64_t{0});
  }
  // 64 elements match: tokens 100, 101, ..., 163 in order.
  std::vector<TokenId> tokens;
  for (TokenId i = 0; i < 64; ++i) {
    p.elements[i] = ev(100 + i);
    tokens.push_back(100 + i);
  }
  CHECK_EQ(search(p, seq(tokens)).n_matches(), size_t{1});
  // Unordered, each element taken at its first position only (exhaustive
  // backtracking would visit every subsequence of the stream).
  Pattern unordered = p;
  unordered.ordered = false;
  for (PatternElement& el : unordered.elements) std::get<Event>(el).backtrackable = false;
  std::reverse(tokens.begin(), tokens.end());
  const MatchBuffer b = search(unordered, seq(tokens));
  CHECK_EQ(b.n_matches(), size_t{1});
  CHECK_EQ(b.el_tokens.front(), TokenId{163});
  const Pattern empty;
  const Expected<Engine> none = make_engine(empty);
  CHECK(none.ok() && none.value().full_mask == 0);
}

TEST(search_rejects_mismatched_stream) {
  const Pattern p = pattern({ev(A)});
  const Engine e = make_engine(p).value();
  MatchBuffer b(1, false, 16);
  const std::vector<TokenId> tokens{A, A};
  const std::vector<double> times{0.0};
  const std::vector<double> two{0.0, 1.0};
  const std::vector<double> values{1.0};
  CHECK_THROWS(match_full(e, tokens, times, {}, false, b), Internal);
  CHECK_THROWS(match_full(e, tokens, two, values, false, b), Internal);
  MatchBuffer wrong(2, false, 16);
  CHECK_THROWS(match_full(e, tokens, two, {}, false, wrong), Internal);
}

TEST(search_empty_inputs) {
  CHECK_EQ(search(pattern({ev(A)}), seq({})).n_matches(), size_t{0});
  CHECK_EQ(search(Pattern{}, seq({A})).n_matches(), size_t{0});
}

// ---------------------------------------------------------------- oracle

// All increasing position tuples of an ordered pattern of Event elements
// (every element backtrackable) that satisfy tokens, values, element bounds,
// blocking between the previous element and the match, and the pattern's
// bounds; in lexicographic order. Valid on streams whose times never
// decrease, where pattern max_dt pruning equals a bound on the span.
Rows oracle(const Pattern& p, const S& s) {
  Rows out;
  std::vector<int64_t> at;
  auto value = [&](size_t i) { return s.values.empty() ? NaN : s.values[i]; };
  std::function<void(size_t, size_t)> extend = [&](size_t j, size_t from) {
    if (j == p.elements.size()) {
      const double t0 = s.times[static_cast<size_t>(at.front())];
      const double t1 = s.times[static_cast<size_t>(at.back())];
      if (t1 - t0 <= p.max_dt && p.accepts_span(t0, t1)) out.push_back(at);
      return;
    }
    const Event& e = std::get<Event>(p.elements[j]);
    for (size_t q = from; q < s.tokens.size(); ++q) {
      if (e.block_token && s.tokens[q] == *e.block_token && e.block_vc.passes(value(q))) return;
      const double dt = j == 0 ? 0.0 : s.times[q] - s.times[static_cast<size_t>(at.back())];
      if (s.tokens[q] != e.token || !e.vc.passes(value(q)) || !e.bounds.passes(s.times[q], dt)) continue;
      at.push_back(static_cast<int64_t>(q));
      extend(j + 1, q + 1);
      at.pop_back();
    }
  };
  if (!p.elements.empty()) extend(0, 0);
  return out;
}

TEST(search_agrees_with_oracle_on_ordered_events) {
  std::mt19937 rng(20240611);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const TokenId alphabet[] = {A, B, C, X};
  for (int round = 0; round < 3000; ++round) {
    Pattern p;
    const int k = 1 + pick(3);
    for (int j = 0; j < k; ++j) {
      Event e = ev(alphabet[pick(3)]);
      if (pick(3) == 0) e.bounds.max_dt = pick(4);
      if (pick(4) == 0) e.bounds.min_dt = pick(3);
      if (pick(5) == 0) e.bounds.max_at = 2 + pick(8);
      if (pick(5) == 0) e.bounds.min_at = pick(4);
      if (pick(3) == 0) e.block_token = alphabet[pick(4)];
      if (pick(4) == 0) e.block_vc = ValueConstraint::range(0.0, 1.0);
      if (pick(4) == 0) e.vc = ValueConstraint::range(0.0, 1.0);
      p.elements.emplace_back(std::in_place_type<Event>, e);
    }
    if (pick(3) == 0) p.max_dt = pick(6);
    if (pick(4) == 0) p.min_dt = pick(3);
    if (pick(5) == 0) p.max_at = 3 + pick(8);
    S s;
    double t = 0;
    const int n = pick(11);
    for (int i = 0; i < n; ++i) {
      t += pick(3);
      s.tokens.push_back(alphabet[pick(4)]);
      s.times.push_back(t);
      if (round % 2 == 0) s.values.push_back(pick(3) == 0 ? NaN : pick(3) * 0.5);
    }
    const Rows expected = oracle(p, s);
    CHECK_EQ(rows(search(p, s)), expected);
    CHECK_EQ(rows(search(p, s, false, false)), expected);
    const Rows first = rows(search(p, s, true));
    CHECK_EQ(first, expected.empty() ? Rows{} : Rows{expected.front()});
  }
}

// ---------------------------------------------------------------- early stop

// A random element of any kind over a small alphabet, with occasional
// bounds, blocks and constraints; mapped elements key on an earlier index.
PatternElement random_element(std::mt19937& rng, size_t index) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const TokenId alphabet[] = {A, B, C, X};
  auto token = [&] { return alphabet[pick(4)]; };
  auto bounds = [&] {
    Bounds b;
    if (pick(2) == 0) b.max_dt = pick(4);
    if (pick(5) == 0) b.min_dt = pick(2);
    if (pick(4) == 0) b.max_at = 1 + pick(10);
    if (pick(6) == 0) b.min_at = pick(4);
    return b;
  };
  auto vc = [&] {
    switch (pick(4)) {
      case 0: return ValueConstraint::range(0.0, 1.0);
      case 1: return ValueConstraint::require_nan();
      default: return ValueConstraint::any();
    }
  };
  auto tokens = [&](int max) {
    std::vector<TokenId> out;
    for (int i = pick(max + 1); i > 0; --i) out.push_back(token());
    return out;
  };
  auto vcs = [&](size_t n) {
    std::vector<ValueConstraint> out;
    if (pick(2) == 0)
      for (size_t i = 0; i < n; ++i) out.push_back(vc());
    return out;
  };
  auto trie = [&] {
    Trie t;
    for (int i = 1 + pick(2); i > 0; --i) {
      std::vector<TokenId> sq{token()};
      if (pick(2) == 0) sq.push_back(token());
      t.insert_with_vals(sq, vcs(sq.size()));
    }
    return t;
  };
  const bool backtrackable = pick(5) != 0;
  switch (pick(8)) {
    case 0: {
      Event e = ev(token(), bounds());
      e.vc = vc();
      if (pick(3) == 0) e.block_token = token();
      e.block_vc = vc();
      e.backtrackable = backtrackable;
      return e;
    }
    case 1: {
      EventSet e;
      e.match_tokens = tokens(3);
      e.vcs = vcs(e.match_tokens.size());
      if (pick(3) == 0) e.block_tokens = tokens(2);
      e.block_vcs = vcs(e.block_tokens.size());
      e.bounds = bounds();
      e.backtrackable = backtrackable;
      return e;
    }
    case 2: {
      EventSeq e;
      e.match_trie = trie();
      if (pick(3) == 0) e.block_trie = trie();
      e.bounds = bounds();
      e.backtrackable = backtrackable;
      return e;
    }
    case 3: {
      TimeEvent e;
      if (pick(2) == 0) e.block_tokens = tokens(2);
      e.block_vcs = vcs(e.block_tokens.size());
      e.bounds = bounds();
      e.backtrackable = backtrackable;
      return e;
    }
    case 4: {
      DynamicTimeEvent e;
      if (pick(2) == 0) e.block_tokens = tokens(2);
      e.rel_min_dt = pick(2);
      e.rel_max_dt = pick(3) == 0 ? INF : pick(4);
      if (pick(4) == 0) e.max_at = 2 + pick(8);
      if (pick(5) == 0) e.min_at = pick(3);
      e.backtrackable = backtrackable;
      return e;
    }
    case 5: {
      DynamicEvent e;
      e.vc = vc();
      if (pick(3) == 0) e.static_block_tokens = tokens(2);
      e.block_vcs = vcs(e.static_block_tokens.size());
      e.bounds = bounds();
      e.backtrackable = backtrackable;
      return e;
    }
    case 6: {
      DynamicEventSet e;
      e.static_match_tokens = tokens(2);
      e.vcs = vcs(e.static_match_tokens.size());
      if (pick(3) == 0) e.static_block_tokens = tokens(2);
      e.block_vcs = vcs(e.static_block_tokens.size());
      e.match_from_last = pick(2) == 0;
      e.block_from_last = pick(4) == 0;
      e.bounds = bounds();
      e.backtrackable = backtrackable;
      return e;
    }
    default: {
      MappedEvent e;
      e.source_element = index == 0 ? 3 : static_cast<uint32_t>(pick(static_cast<int>(index) + 1));
      auto rule = [&] {
        ResolvedElement r;
        if (pick(3) == 0) {
          r.seq_trie = trie();
        } else {
          r.tokens = tokens(2);
          r.vcs = vcs(r.tokens.size());
        }
        if (pick(3) == 0) r.block_tokens = tokens(2);
        r.block_vcs = vcs(r.block_tokens.size());
        r.bounds = bounds();
        return r;
      };
      for (int i = pick(3); i > 0; --i) e.map[std::vector<TokenId>{token()}] = rule();
      if (pick(2) == 0) e.default_element = rule();
      e.backtrackable = backtrackable;
      return e;
    }
  }
}

TEST(search_early_stop_and_pruning_match_plain_scan) {
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const TokenId alphabet[] = {A, B, C, X};
  size_t compared = 0, matched = 0, pruned = 0;
  for (int round = 0; round < 6000; ++round) {
    Pattern p;
    const int k = 1 + pick(3);
    for (int j = 0; j < k; ++j) p.elements.push_back(random_element(rng, static_cast<size_t>(j)));
    p.ordered = pick(3) != 0;
    if (pick(3) == 0) p.max_dt = pick(6);
    if (pick(4) == 0) p.max_at = 2 + pick(10);
    if (pick(6) == 0) p.min_dt = pick(2);
    p.collector = static_cast<CollectorStrategy>(pick(6));
    if (pick(3) == 0) {
      p.midstream = midstream({{alphabet[pick(4)]}}, static_cast<CollectorStrategy>(pick(6)),
                              pick(2) == 0 ? 1 : 0, pick(3) == 0 ? 2 : 0);
    }
    S s;
    double t = 0;
    const int n = pick(13);
    // 0, 1: times never decrease (0 may end at +inf); 2: any order, with
    // infinities; 3: NaN and decreases in the second half only.
    const int shape = round % 4;
    for (int i = 0; i < n; ++i) {
      if (shape < 2) t = shape == 0 && pick(12) == 0 ? INF : t + pick(3);
      else if (shape == 2) t = pick(10) == 0 ? (pick(2) ? INF : -INF) : pick(6);
      else t = i < n / 2 ? t + pick(3) : (pick(4) == 0 ? NaN : t + pick(3) - 1);
      s.tokens.push_back(alphabet[pick(4)]);
      s.times.push_back(t);
      if (shape != 1) s.values.push_back(pick(3) == 0 ? NaN : pick(3) * 0.5);
    }
    for (bool first_only : {false, true}) {
      SearchStats stats;
      const MatchBuffer fast = search(p, s, first_only, true, &stats);
      const MatchBuffer plain = search(p, s, first_only, false);
      ++compared;
      matched += plain.n_matches() > 0;
      pruned += stats.pruned > 0;
      if (!same_buffers(fast, plain)) {
        CHECK(same_buffers(fast, plain));
        std::printf("  round %d: %zu vs %zu matches\n", round, fast.n_matches(), plain.n_matches());
        return;
      }
    }
  }
  CHECK(matched > compared / 10);  // the comparison is not over empty results only
  CHECK(pruned > compared / 10);   // nor over searches that drop nothing
}

// Whether an element tests only fixed tokens, so that scans may skip.
bool fixed_tokens(const PatternElement& el) {
  if (std::holds_alternative<TimeEvent>(el) || std::holds_alternative<DynamicTimeEvent>(el) ||
      std::holds_alternative<DynamicEvent>(el))
    return false;
  const auto* d = std::get_if<DynamicEventSet>(&el);
  return d == nullptr || !(d->match_from_last || d->block_from_last);
}

TEST(search_skipping_matches_plain_scan) {
  // Patterns over A, B, C, X (mostly of fixed-token elements, so that
  // skipping applies), streams over those and D, Y, which no pattern uses.
  std::mt19937 rng(19);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const TokenId pattern_alphabet[] = {A, B, C, X};
  const TokenId stream_alphabet[] = {A, B, C, X, D, Y, Y};
  size_t compared = 0, matched = 0, skipped = 0;
  for (int round = 0; round < 8000; ++round) {
    Pattern p;
    const int k = 1 + pick(3);
    for (int j = 0; j < k; ++j) {
      PatternElement el = random_element(rng, static_cast<size_t>(j));
      while (pick(8) != 0 && !fixed_tokens(el)) el = random_element(rng, static_cast<size_t>(j));
      p.elements.push_back(std::move(el));
    }
    p.ordered = pick(3) != 0;
    if (pick(3) == 0) p.max_dt = pick(6);
    if (pick(4) == 0) p.max_at = 2 + pick(12);
    if (pick(6) == 0) p.min_dt = pick(2);
    p.collector = static_cast<CollectorStrategy>(pick(6));
    if (pick(3) == 0) {
      p.midstream = midstream({{pattern_alphabet[pick(4)]}}, static_cast<CollectorStrategy>(pick(6)),
                              pick(2) == 0 ? 1 : 0, pick(3) == 0 ? 2 : 0);
    }
    S s;
    double t = 0;
    const int n = pick(17);
    // 0, 1: times never decrease (0 may reach +inf, or start at -inf); 2:
    // any order, with infinities; 3: NaN and decreases in the second half;
    // 4: decreases in the first half only, so skipping starts mid-stream.
    const int shape = round % 5;
    for (int i = 0; i < n; ++i) {
      if (shape < 2) t = shape == 0 && pick(12) == 0 ? (i == 0 ? -INF : INF) : t + pick(3);
      else if (shape == 2) t = pick(10) == 0 ? (pick(2) ? INF : -INF) : pick(6);
      else if (shape == 3) t = i < n / 2 ? t + pick(3) : (pick(4) == 0 ? NaN : t + pick(3) - 1);
      else t = i < n / 2 ? pick(8) : t + pick(3);
      s.tokens.push_back(stream_alphabet[pick(7)]);
      s.times.push_back(t);
      if (shape != 1) s.values.push_back(pick(3) == 0 ? NaN : pick(3) * 0.5);
    }
    for (bool first_only : {false, true}) {
      for (bool early_stop : {true, false}) {
        SearchStats with_stats, without_stats;
        const MatchBuffer with = search_with(p, s, first_only, {early_stop, &with_stats, true});
        const MatchBuffer without = search_with(p, s, first_only, {early_stop, &without_stats, false});
        ++compared;
        matched += without.n_matches() > 0;
        skipped += with_stats.positions_scanned < without_stats.positions_scanned;
        if (!same_buffers(with, without)) {
          CHECK(same_buffers(with, without));
          std::printf("  round %d: %zu vs %zu matches\n", round, with.n_matches(), without.n_matches());
          return;
        }
      }
    }
  }
  CHECK(matched > compared / 10);  // the comparison is not over empty results only
  CHECK(skipped > compared / 10);  // nor over scans that skip nothing
}

TEST(search_skipping_bounds_the_work) {
  // a then b within 3 (or with a pattern max_dt), on a stream of mostly
  // unrelated tokens: scans visit only a and b positions once times settle.
  std::vector<TokenId> tokens;
  for (int i = 0; i < 2000; ++i) tokens.push_back(i % 100 == 0 ? A : i % 100 == 2 ? B : Y);
  const S s = seq(tokens);
  Pattern p = pattern({ev(A), ev(B, dt_at_most(3))});
  SearchStats skip, plain;
  const MatchBuffer with = search_with(p, s, false, {true, &skip, true});
  CHECK(same_buffers(with, search_with(p, s, false, {true, &plain, false, false})));
  CHECK_EQ(with.n_matches(), size_t{20});
  CHECK(skip.positions_scanned <= 100);
  CHECK(plain.positions_scanned > 2000);
  // A pattern max_dt ends a scan at the first relevant position past it.
  Pattern q = pattern({ev(A), ev(C)});
  q.max_dt = 5.0;
  SearchStats skip_q;
  CHECK_EQ(search_with(q, s, false, {true, &skip_q, true}).n_matches(), size_t{0});
  CHECK(skip_q.positions_scanned <= 60);
  // An any-token element turns skipping off: every position can match it.
  TimeEvent any;
  any.bounds.max_dt = 1.0;
  SearchStats skip_any, plain_any;
  const Pattern r = pattern({ev(A), any});
  CHECK(same_buffers(search_with(r, s, false, {true, &skip_any, true}),
                     search_with(r, s, false, {true, &plain_any, false})));
  CHECK_EQ(skip_any.positions_scanned, plain_any.positions_scanned);
}

TEST(search_early_stop_bounds_the_work) {
  // a, then b within 5, then c within 5, on 3000 events one time unit apart:
  // each scan for b or c stops after its window instead of running to the
  // end of the stream.
  Pattern p = pattern({ev(A), ev(B, dt_at_most(5)), ev(C, dt_at_most(5))});
  std::mt19937 rng(3);
  S s;
  const TokenId alphabet[] = {A, B, C};
  for (int i = 0; i < 3000; ++i) {
    s.tokens.push_back(alphabet[rng() % 3]);
    s.times.push_back(i);
  }
  SearchStats early, plain;
  const MatchBuffer with = search(p, s, false, true, &early);
  const MatchBuffer without = search(p, s, false, false, &plain);
  CHECK(same_buffers(with, without));
  CHECK(with.n_matches() > 100);
  CHECK(early.positions_scanned < 3000 * 20);
  CHECK(plain.positions_scanned > 3000 * 300);
  // The same with a pattern-level window, and with an any-event element.
  TimeEvent gap;
  gap.bounds.min_dt = 2.0;
  gap.bounds.max_dt = 4.0;
  Pattern q = pattern({ev(A), gap, ev(C)});
  q.max_dt = 8.0;
  SearchStats e2, p2;
  CHECK(same_buffers(search(q, s, false, true, &e2), search(q, s, false, false, &p2)));
  CHECK(e2.positions_scanned < 3000 * 30);
  // A block that retires the only candidate ends the scan at once.
  Pattern r = pattern({ev(A), blocked(X, B)});
  SearchStats e3, p3;
  CHECK(same_buffers(search(r, s, false, true, &e3), search(r, s, false, false, &p3)));
  CHECK(e3.positions_scanned < 3000 * 10);
  CHECK(p3.positions_scanned > 3000 * 300);
}

TEST(search_early_stop_waits_for_times_to_settle) {
  // Times decrease at position 2, so the scan for b cannot stop on max_dt
  // before it: b at position 3 (time 1) is within 2 of a.
  const Pattern p = pattern({ev(A), ev(B, dt_at_most(2))});
  const S s = timed({A, X, X, B}, {0.0, 5.0, 0.5, 1.0});
  CHECK_EQ(rows(search(p, s)), (Rows{{0, 3}}));
  CHECK_EQ(rows(search(p, s, false, false)), (Rows{{0, 3}}));
}

TEST(search_pruning_follows_the_output) {
  // a (with a value test) then b over many a and no b: every partial match
  // is dead, so the initial scan is dropped before it starts.
  Event low = ev(A);
  low.vc = ValueConstraint::range(0.0, 90.0);
  SearchStats dead;
  S s = seq(std::vector<TokenId>(20000, A));
  s.values.assign(20000, 80.0);
  CHECK_EQ(search(pattern({low, ev(B)}), s, false, true, &dead).n_matches(), size_t{0});
  CHECK_EQ(dead.scans, size_t{0});
  // The same unordered, with the missing element last.
  SearchStats unordered;
  CHECK_EQ(search(pattern({ev(A), ev(A), ev(A), ev(A), ev(A), ev(A), ev(A), ev(A), ev(B)}, false),
                  seq(std::vector<TokenId>(14, A)), false, true, &unordered).n_matches(), size_t{0});
  CHECK_EQ(unordered.scans, size_t{0});
  // k a's over k + 1 a's: k + 1 matches, found without the 2^k partial
  // matches of the plain search.
  std::vector<PatternElement> elements(30, low);
  S k_plus_one = seq(std::vector<TokenId>(31, A));
  k_plus_one.values.assign(31, 1.0);
  SearchStats linear;
  CHECK_EQ(search(pattern(elements), k_plus_one, false, true, &linear).n_matches(), size_t{31});
  CHECK(linear.scans < 31 * 31 * 2);
  // By default pruning waits until the work reaches about twice the
  // stream's length; the dead search above then stops there.
  SearchStats late;
  SearchOptions lazy;
  lazy.stats = &late;
  CHECK_EQ(search_with(pattern({low, ev(B)}), s, false, lazy).n_matches(), size_t{0});
  CHECK(late.scans + late.positions_scanned < 4 * 20000);  // not the 2 * 10^8 of the plain search
}
