// The pattern model: defaults, collector names, repr text, the element-count
// limit, timing rules, match-map lookup, midstream masks, and deep copies
// that later changes to the original (or the copy) do not reach.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "types/pattern.hpp"

using namespace zuldcore;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr TokenId A = 1, B = 2, C = 3, X = 9;

Trie trie_of(std::initializer_list<std::vector<TokenId>> seqs) {
  Trie t;
  for (const auto& seq : seqs) t.insert_with_vals(seq, {});
  return t;
}

std::optional<size_t> length_at(const Trie& t, std::vector<TokenId> tokens) {
  std::vector<double> times(tokens.size(), 0.0);
  return match_at(t, tokens, times, {}, 0);
}

}  // namespace

TEST(pattern_defaults_and_repr) {
  const Pattern p;
  CHECK(p.elements.empty());
  CHECK(p.ordered);
  CHECK_EQ(p.collector, CollectorStrategy::None);
  CHECK(!p.midstream.has_value());
  CHECK_EQ(p.min_dt, 0.0);
  CHECK_EQ(p.max_dt, INF);
  CHECK_EQ(p.min_at, -INF);
  CHECK_EQ(p.max_at, INF);
  CHECK_EQ(pattern_repr(p), "Pattern(n_elements=0, ordered=true, collector=None, midstream=false)");

  Pattern q;
  q.collector = *parse_collector("sum_times");
  q.elements.push_back(Event{});
  q.elements.push_back(TimeEvent{});
  CHECK_EQ(pattern_repr(q), "Pattern(n_elements=2, ordered=true, collector=SumTimes, midstream=false)");
  q.ordered = false;
  q.collector = CollectorStrategy::Count;
  q.midstream = MidstreamCollector{};
  CHECK_EQ(pattern_repr(q), "Pattern(n_elements=2, ordered=false, collector=Count, midstream=true)");
}

TEST(pattern_collector_names) {
  const char* python[] = {"none", "sum_times", "count", "collect_tokens", "collect_times", "collect_pairs"};
  const char* variant[] = {"None", "SumTimes", "Count", "CollectTokens", "CollectTimes", "CollectPairs"};
  for (size_t i = 0; i < N_COLLECTORS; ++i) {
    const auto c = static_cast<CollectorStrategy>(i);
    CHECK_EQ(parse_collector(python[i]), std::optional<CollectorStrategy>(c));
    CHECK_EQ(collector_python_name(c), python[i]);
    CHECK_EQ(collector_variant_name(c), variant[i]);
  }
  CHECK_EQ(static_cast<int>(CollectorStrategy::CollectPairs), 5);
  CHECK_EQ(sizeof(CollectorStrategy), size_t{1});
  // Exact, case-sensitive, whole-string comparison.
  for (std::string_view bad : std::vector<std::string_view>{"Count", "COUNT", "None", "SumTimes", " count", "count ", "", "coun",
                               "counts", std::string_view("count\0", 6)})
    CHECK_EQ(parse_collector(bad), std::optional<CollectorStrategy>());

  CHECK(collector_from_name("count").ok());
  CHECK_EQ(collector_from_name("count").value(), CollectorStrategy::Count);
  const Expected<CollectorStrategy> bad = collector_from_name("Count");
  CHECK(!bad.ok());
  CHECK_EQ(bad.message(),
           "Unknown collector 'Count'. Choose: none, sum_times, count, collect_tokens, "
           "collect_times, collect_pairs");
}

TEST(pattern_element_count_limit) {
  Pattern p;
  p.elements.resize(64, Event{});
  CHECK(check_element_count(p).ok());
  p.elements.push_back(TimeEvent{});
  const Status s = check_element_count(p);
  CHECK(!s.ok());
  CHECK_EQ(s.message(), "Pattern has 65 elements; maximum is 64");
  CHECK(check_element_count(Pattern{}).ok());
}

TEST(pattern_element_alternatives) {
  // The variant order is the dispatch order; every alternative defaults to
  // backtrackable and carries its own flag.
  const std::vector<PatternElement> all{Event{}, EventSet{}, EventSeq{}, TimeEvent{},
                                        DynamicTimeEvent{}, DynamicEvent{}, DynamicEventSet{},
                                        MappedEvent{}};
  for (size_t i = 0; i < all.size(); ++i) {
    CHECK_EQ(all[i].index(), i);
    CHECK(is_backtrackable(all[i]));
    PatternElement e = all[i];
    std::visit([](auto& el) { el.backtrackable = false; }, e);
    CHECK(!is_backtrackable(e));
  }
  const Event ev;
  CHECK_EQ(ev.vc, ValueConstraint::any());
  CHECK(!ev.block_token.has_value());
  CHECK_EQ(ev.bounds.min_dt, 0.0);
  CHECK_EQ(ev.bounds.max_dt, INF);
  CHECK_EQ(ev.bounds.min_at, -INF);
  CHECK_EQ(ev.bounds.max_at, INF);
  CHECK(DynamicEvent{}.match_from_last);
  CHECK(!DynamicEventSet{}.match_from_last);
  CHECK(!DynamicEventSet{}.block_from_last);
  CHECK_EQ(DynamicTimeEvent{}.rel_min_dt, 0.0);
  CHECK_EQ(DynamicTimeEvent{}.rel_max_dt, INF);
  CHECK(!EventSeq{}.block_trie.has_value());
}

TEST(pattern_constraint_arrays) {
  const std::vector<ValueConstraint> vcs{ValueConstraint::range(1.0, INF)};
  CHECK_EQ(constraint_at(vcs, 0), ValueConstraint::range(1.0, INF));
  CHECK_EQ(constraint_at(vcs, 1), ValueConstraint::any());  // no entry: unconstrained
  CHECK_EQ(constraint_at({}, 0), ValueConstraint::any());
}

TEST(pattern_timing_bounds) {
  const Bounds def;
  CHECK(def.passes(-1e300, 0.0));
  CHECK(def.passes(INF, INF));
  CHECK(!def.passes(0.0, -1.0));  // min_dt 0
  CHECK(!def.passes(NaN, 0.0));
  CHECK(!def.passes(0.0, NaN));

  const Bounds b{1.0, 2.0, 10.0, 20.0};
  CHECK(b.passes(10.0, 1.0));
  CHECK(b.passes(20.0, 2.0));  // inclusive on every side
  CHECK(!b.passes(9.999, 1.5));
  CHECK(!b.passes(20.001, 1.5));
  CHECK(!b.passes(15.0, 0.999));
  CHECK(!b.passes(15.0, 2.001));
  // The first element has dt 0, so a positive min_dt never lets it match.
  CHECK(!Bounds{1.0, INF, -INF, INF}.passes(5.0, 0.0));

  Pattern p;
  CHECK(p.accepts_span(3.0, 3.0));
  CHECK(!p.accepts_span(NaN, 3.0));
  CHECK(!p.accepts_span(3.0, NaN));
  p.min_dt = 1.0;
  p.max_dt = 5.0;
  p.min_at = 0.0;
  p.max_at = 100.0;
  CHECK(p.accepts_span(0.0, 1.0));
  CHECK(p.accepts_span(95.0, 100.0));
  CHECK(!p.accepts_span(0.0, 0.5));
  CHECK(!p.accepts_span(0.0, 5.5));
  CHECK(!p.accepts_span(-0.5, 1.0));
  CHECK(!p.accepts_span(96.0, 100.5));
}

TEST(pattern_dynamic_time_window) {
  DynamicTimeEvent e;  // rel [0, inf], at [-inf, inf]
  // Without a reference time (r = -inf): -inf + inf is NaN, so the window's
  // upper side stays at max_at and any time is in.
  CHECK(e.passes(-5.0, 0.0, -INF));
  CHECK(e.passes(1e300, 0.0, -INF));
  CHECK(!e.passes(1.0, -0.5, -INF));  // dt must not be negative
  CHECK(!e.passes(NaN, 0.0, -INF));

  e.rel_max_dt = 3.0;  // without a reference time no finite time fits
  CHECK(!e.passes(0.0, 0.0, -INF));
  CHECK(!e.passes(1e300, 0.0, -INF));

  e.rel_min_dt = 1.0;  // reference 10: window [11, 13]
  CHECK(!e.passes(10.5, 0.5, 10.0));
  CHECK(e.passes(11.0, 1.0, 10.0));
  CHECK(e.passes(13.0, 3.0, 10.0));
  CHECK(!e.passes(13.5, 3.5, 10.0));

  e.min_at = 12.0;  // the absolute bounds narrow it: [12, 12.5]
  e.max_at = 12.5;
  CHECK(!e.passes(11.5, 1.5, 10.0));
  CHECK(e.passes(12.0, 2.0, 10.0));
  CHECK(e.passes(12.5, 2.5, 10.0));
  CHECK(!e.passes(12.75, 2.75, 10.0));
}

TEST(pattern_match_map_lookup) {
  MappedEvent m;
  m.map[{A}] = ResolvedElement::single(X, ValueConstraint::range(1.0, INF), {B}, {}, Bounds{});
  m.map[{A, B}] = ResolvedElement::single(C, ValueConstraint::any(), {}, {}, Bounds{0.0, 2.0, -INF, INF});
  // A later entry under an equal key replaces the earlier one.
  m.map[{A}] = ResolvedElement::single(B, ValueConstraint::any(), {}, {}, Bounds{});
  CHECK_EQ(m.map.size(), size_t{2});

  const std::vector<TokenId> stream{C, A, B};
  const ResolvedElement* one = m.resolve(std::span(stream).subspan(1, 1));
  CHECK(one != nullptr);
  if (one) CHECK_EQ(one->tokens, std::vector<TokenId>{B});
  const ResolvedElement* two = m.resolve(std::span(stream).subspan(1, 2));
  CHECK(two != nullptr);
  if (two) {
    CHECK_EQ(two->tokens, std::vector<TokenId>{C});
    CHECK_EQ(two->bounds.max_dt, 2.0);
  }
  // Missing key: no default, no rule; with a default, the default.
  CHECK(m.resolve(std::span(stream).subspan(0, 1)) == nullptr);
  CHECK(m.resolve(std::span(stream).subspan(0, 0)) == nullptr);
  m.default_element = ResolvedElement::single(X, ValueConstraint::any(), {}, {}, Bounds{});
  const ResolvedElement* fallback = m.resolve(std::span(stream).subspan(0, 1));
  CHECK(fallback == &*m.default_element);

  // Keys hash and compare by content, whatever holds them.
  const TokenKeyHash h;
  CHECK_EQ(h(std::vector<TokenId>{A, B}), h(std::span(stream).subspan(1, 2)));
  CHECK(!(h(std::vector<TokenId>{A, B}) == h(std::vector<TokenId>{B, A})));
}

TEST(pattern_resolved_single) {
  const Bounds b{0.5, 4.0, -1.0, 9.0};
  const ResolvedElement r =
      ResolvedElement::single(A, ValueConstraint::require_nan(), {B, C},
                              {ValueConstraint::range(0.0, 1.0)}, b);
  CHECK_EQ(r.tokens, std::vector<TokenId>{A});
  CHECK_EQ(r.vcs, std::vector<ValueConstraint>{ValueConstraint::require_nan()});
  CHECK_EQ(r.block_tokens, (std::vector<TokenId>{B, C}));
  CHECK_EQ(r.block_vcs, std::vector<ValueConstraint>{ValueConstraint::range(0.0, 1.0)});
  CHECK(!r.seq_trie.has_value());
  CHECK_EQ(r.bounds.min_dt, 0.5);
  CHECK_EQ(r.bounds.max_at, 9.0);
}

TEST(pattern_midstream_masks) {
  CHECK_EQ(element_index_mask(std::vector<uint64_t>{0, 0}), element_index_mask(std::vector<uint64_t>{0}));
  CHECK_EQ(element_index_mask(std::vector<uint64_t>{64}), uint64_t{1});
  CHECK_EQ(element_index_mask(std::vector<uint64_t>{2, 65, 63}), (uint64_t{1} << 63) | 0b110u);
  CHECK_EQ(element_index_mask({}), uint64_t{0});

  MidstreamCollector m;
  CHECK_EQ(m.collector, CollectorStrategy::CollectTokens);
  CHECK(m.active(0));  // empty start_after: active from the first element's search
  m.start_after = element_index_mask(std::vector<uint64_t>{0});
  m.stop_before = element_index_mask(std::vector<uint64_t>{2});
  CHECK(!m.active(0b000));
  CHECK(m.active(0b001));
  CHECK(m.active(0b011));
  CHECK(!m.active(0b111));
  CHECK(!m.active(0b100));
  // An index naming no element keeps start_after unsatisfied forever.
  m.start_after = element_index_mask(std::vector<uint64_t>{5});
  CHECK(!m.active(0b111));
}

TEST(pattern_copies_are_deep) {
  Pattern original;
  original.collector = CollectorStrategy::CollectPairs;
  EventSeq seq;
  seq.match_trie = trie_of({{A, B}});
  seq.block_trie = trie_of({{X}});
  original.elements.push_back(seq);
  MappedEvent mapped;
  mapped.source_element = 0;
  ResolvedElement with_trie;
  with_trie.seq_trie = trie_of({{C}});
  mapped.map[{A}] = with_trie;
  mapped.default_element = ResolvedElement::single(C, ValueConstraint::any(), {}, {}, Bounds{});
  original.elements.push_back(mapped);
  MidstreamCollector mid;
  mid.match_trie = trie_of({{X}});
  original.midstream = mid;

  // A holder takes its copy; then the builder goes on changing the original.
  const Pattern held = original;
  std::get<EventSeq>(original.elements[0]).match_trie.insert_with_vals(std::vector<TokenId>{A, C}, {});
  std::get<EventSeq>(original.elements[0]).block_trie.reset();
  auto& om = std::get<MappedEvent>(original.elements[1]);
  om.map.at({A}).seq_trie->insert_with_vals(std::vector<TokenId>{B}, {});
  om.map[{B}] = ResolvedElement{};
  om.default_element.reset();
  original.midstream->match_trie.insert_with_vals(std::vector<TokenId>{B}, {});
  original.elements.push_back(Event{});

  CHECK_EQ(held.elements.size(), size_t{2});
  const auto& hs = std::get<EventSeq>(held.elements[0]);
  CHECK_EQ(length_at(hs.match_trie, {A, C}), std::optional<size_t>());
  CHECK_EQ(length_at(hs.match_trie, {A, B}), std::optional<size_t>(2));
  CHECK(hs.block_trie.has_value());
  const auto& hm = std::get<MappedEvent>(held.elements[1]);
  CHECK_EQ(hm.map.size(), size_t{1});
  CHECK_EQ(length_at(*hm.map.at({A}).seq_trie, {B}), std::optional<size_t>());
  CHECK(hm.default_element.has_value());
  CHECK_EQ(length_at(held.midstream->match_trie, {B}), std::optional<size_t>());
  CHECK_EQ(held.collector, CollectorStrategy::CollectPairs);
  CHECK_EQ(pattern_repr(held), "Pattern(n_elements=2, ordered=true, collector=CollectPairs, midstream=true)");

  // And the other way round: changing a copy leaves the original alone.
  Pattern copy = held;
  std::get<EventSeq>(copy.elements[0]).match_trie = Trie{};
  CHECK_EQ(length_at(std::get<EventSeq>(held.elements[0]).match_trie, {A, B}), std::optional<size_t>(2));

  // Moving keeps the value.
  Pattern moved = std::move(copy);
  CHECK_EQ(moved.elements.size(), size_t{2});
  CHECK(moved.midstream.has_value());
}
