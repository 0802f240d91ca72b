// The annotation core: the exact sum under additions and removals, window
// arithmetic at the edges, the span mask and span pairing, and the sliding
// and block structures behind the aggregates checked against recomputing
// every window from scratch.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "annotate/annotate.hpp"
#include "annotate/exact_sum.hpp"
#include "check.hpp"

using namespace zuldcore;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Bitwise equality, so that NaN equals NaN and -0.0 differs from 0.0.
bool same(double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b && std::signbit(a) == std::signbit(b); }
bool same(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i])) return false;
  return true;
}

// A stream of token strings (interned here), with its times and values.
struct TestStream {
  std::vector<TokenId> tokens;
  std::vector<double> times;
  std::vector<double> values;
  TestStream(const std::vector<std::string>& toks, std::vector<double> t, std::vector<double> v = {})
      : times(std::move(t)), values(std::move(v)) {
    for (const std::string& s : toks) tokens.push_back(intern(s));
  }
  StreamView view() const { return {tokens, times, values}; }
};

TokenRef single(std::string s) { return TokenRef{TokenRef::Single{std::move(s)}}; }
SpanRef pair(std::string a, std::string b) { return SpanRef{SpanRef::TokenPair{std::move(a), std::move(b)}}; }

template <class T>
std::vector<T> column(const TestStream& s, const AnnotKind& kind) {
  PointsCache cache(s.view());
  Expected<Column> c = evaluate_annotation(kind, cache);
  ZC_ENSURE(c.ok(), "evaluation failed: ", c.message());
  return std::get<std::vector<T>>(std::move(c).value());
}

std::vector<double> sequence(size_t n) {
  std::vector<double> t;
  for (size_t i = 0; i < n; ++i) t.push_back(static_cast<double>(i));
  return t;
}

}  // namespace

// ---------------------------------------------------------------- ExactSum

TEST(exact_sum_keeps_what_a_float_sum_cancels) {
  ExactSum s;
  for (double v : {1e16, 1.0, -1e16}) s.add(v);
  CHECK_EQ(s.value(), 1.0);
  // The same through a sliding window: 1e16 leaves after 1 came in.
  ExactSum w;
  w.add(1e16);
  w.add(1.0);
  w.remove(1e16);
  CHECK_EQ(w.value(), 1.0);
  w.add(-3.5);
  w.remove(1.0);
  CHECK_EQ(w.value(), -3.5);
  w.remove(-3.5);
  CHECK(same(w.value(), 0.0));
}

TEST(exact_sum_rounds_to_nearest_with_ties_to_even) {
  const double two53 = 9007199254740992.0;  // 2^53: its spacing is 2
  auto sum = [](std::initializer_list<double> xs) {
    ExactSum s;
    for (double x : xs) s.add(x);
    return s.value();
  };
  CHECK_EQ(sum({two53, 1.0}), two53);               // tie: stays even
  CHECK_EQ(sum({two53, 3.0}), two53 + 4.0);         // tie: up to even
  CHECK_EQ(sum({two53, 1.0, 1e-300}), two53 + 2.0);  // just above the tie
  CHECK_EQ(sum({-two53, -1.0, -1e-300}), -two53 - 2.0);
  CHECK_EQ(sum({0.1, 0.2, 0.3}), 0.6);  // math.fsum agrees; a float sum gives 0.6000000000000001
  CHECK_EQ(sum({1e100, 1.0, -1e100, 1e-100}), 1.0);
}

TEST(exact_sum_subnormals_and_the_ends_of_the_range) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double big = std::numeric_limits<double>::max();
  ExactSum s;
  for (int i = 0; i < 3; ++i) s.add(tiny);
  CHECK_EQ(s.value(), 3 * tiny);
  s.add(std::numeric_limits<double>::min());  // smallest normal
  CHECK_EQ(s.value(), std::numeric_limits<double>::min() + 3 * tiny);

  ExactSum o;
  o.add(big);
  o.add(big);
  CHECK_EQ(o.value(), INF);  // beyond the range: rounds to infinity
  o.remove(big);
  CHECK_EQ(o.value(), big);  // and comes back exactly
  o.add(-big);
  o.add(-big);
  o.add(-big);
  CHECK_EQ(o.value(), -INF);
}

TEST(exact_sum_infinities_are_counted_apart) {
  ExactSum s;
  s.add(INF);
  s.add(1.0);
  CHECK_EQ(s.value(), INF);
  s.add(-INF);
  CHECK(std::isnan(s.value()));
  s.remove(INF);
  CHECK_EQ(s.value(), -INF);
  s.remove(-INF);
  CHECK_EQ(s.value(), 1.0);
  s.add(NaN);  // missing values are not part of a sum
  CHECK_EQ(s.value(), 1.0);
}

TEST(exact_sum_prefix_differences_and_clear) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mant(-1.0, 1.0);
  std::uniform_int_distribution<int> expo(-60, 60);
  std::vector<double> xs;
  for (int i = 0; i < 500; ++i) xs.push_back(std::ldexp(mant(rng), expo(rng)));
  ExactSum prefix_a, prefix_b, direct;
  for (size_t i = 0; i < 200; ++i) prefix_a.add(xs[i]);
  for (size_t i = 0; i < 500; ++i) prefix_b.add(xs[i]);
  for (size_t i = 200; i < 500; ++i) direct.add(xs[i]);
  prefix_b.subtract(prefix_a);
  CHECK_EQ(prefix_b.value(), direct.value());
  // Adding and removing everything in another order leaves exactly nothing.
  for (size_t i = 500; i-- > 200;) direct.remove(xs[i]);
  CHECK(same(direct.value(), 0.0));
  prefix_a.clear();
  CHECK(same(prefix_a.value(), 0.0));
  prefix_a.add(-2.0);
  CHECK_EQ(prefix_a.value(), -2.0);
}

// ---------------------------------------------------------------- spans

TEST(token_pair_spans_pair_each_start_with_the_first_later_end) {
  struct Case {
    std::vector<std::string> tokens;
    std::string z, y;
    std::vector<Span> spans;
  };
  const std::vector<Case> cases = {
      {{"a", "b", "a", "c", "b"}, "a", "b", {{0, 1}, {2, 4}}},
      {{"a", "a", "b"}, "a", "b", {{0, 2}, {1, 2}}},
      {{"b", "a", "b", "a"}, "a", "b", {{1, 2}}},
      {{"a", "a", "a"}, "a", "a", {{0, 1}, {1, 2}}},
      {{}, "a", "b", {}},
  };
  for (const Case& c : cases) {
    TestStream s(c.tokens, sequence(c.tokens.size()));
    PointsCache cache(s.view());
    Expected<std::vector<Span>> spans = pair(c.z, c.y).resolve(cache);
    CHECK(spans.ok());
    CHECK(spans.value() == c.spans);
  }
}

TEST(pattern_span_of_more_than_64_elements_fails_at_resolution) {
  Pattern p;
  for (int i = 0; i < 65; ++i) {
    Event e;
    e.token = intern("a");
    p.elements.push_back(e);
  }
  TestStream s({"a"}, {0.0});
  PointsCache cache(s.view());
  Expected<std::vector<Span>> spans = SpanRef{SpanRef::PatternForm{std::move(p)}}.resolve(cache);
  CHECK(!spans.ok());
  CHECK_EQ(spans.message(), std::string("Pattern has 65 elements; maximum is 64"));
}

TEST(span_mask_covers_the_union_and_stops_at_the_stream_end) {
  const std::vector<Span> spans = {{2, 3}, {1, 2}};
  CHECK_EQ(active_span_mask(5, spans), (std::vector<uint8_t>{0, 1, 1, 1, 0}));
  CHECK_EQ(active_span_mask(5, {}), (std::vector<uint8_t>(5, 0)));
  // Ends past the stream cover to its end; starts past it and inverted
  // spans cover nothing; an empty stream has an empty mask.
  const std::vector<Span> odd = {{3, 1000}, {7, 9}, {2, 1}, {0, std::numeric_limits<size_t>::max()}};
  CHECK_EQ(active_span_mask(5, std::span(odd).subspan(0, 3)), (std::vector<uint8_t>{0, 0, 0, 1, 1}));
  CHECK_EQ(active_span_mask(5, odd), (std::vector<uint8_t>(5, 1)));
  CHECK(active_span_mask(0, odd).empty());
}

// ---------------------------------------------------------------- windows

TEST(window_bounds_are_inclusive_and_exact) {
  // x at times 0 and 10; with w = 10 both edges of every window count.
  TestStream s({"x", "a", "x", "a"}, {0.0, 5.0, 10.0, 20.0});
  CHECK_EQ(column<int8_t>(s, FutureOccurrence{single("x"), 10.0, true}), (std::vector<int8_t>{1, 1, 1, 0}));
  CHECK_EQ(column<int8_t>(s, PastOccurrence{single("x"), 10.0, true}), (std::vector<int8_t>{1, 1, 1, 1}));
  CHECK_EQ(column<int8_t>(s, PastOccurrence{single("x"), 9.5, true}), (std::vector<int8_t>{1, 1, 1, 0}));
  // Not available: the window leaves [t_first, t_last].
  CHECK_EQ(column<int8_t>(s, FutureOccurrence{single("x"), 10.0, false}), (std::vector<int8_t>{1, 1, 1, -1}));
  CHECK_EQ(column<int8_t>(s, PastOccurrence{single("x"), 10.0, false}), (std::vector<int8_t>{-1, -1, 1, 1}));
  // 0.1 + 0.2 > 0.3 in doubles: the window [0.1, 0.1 + 0.2] is computed
  // once, so it both holds the x at 0.3 and reaches past t_last = 0.3.
  TestStream f({"a", "x"}, {0.1, 0.3});
  CHECK_EQ(column<int8_t>(f, FutureOccurrence{single("x"), 0.2, false}), (std::vector<int8_t>{-1, -1}));
  CHECK_EQ(column<int8_t>(f, FutureOccurrence{single("x"), 0.2, true}), (std::vector<int8_t>{1, 1}));
}

TEST(degenerate_windows_hold_nothing_and_never_read_out_of_bounds) {
  TestStream s({"x", "x", "a", "x"}, {0.0, 1.0, 2.0, 3.0}, {1.0, 2.0, 3.0, 4.0});
  for (double w : {-1.0, -INF, NaN}) {
    CHECK_EQ(column<int8_t>(s, FutureOccurrence{single("x"), w, true}), (std::vector<int8_t>(4, 0)));
    CHECK_EQ(column<int8_t>(s, PastOccurrence{single("x"), w, true}), (std::vector<int8_t>(4, 0)));
    for (AggKind agg : {AggKind::Min, AggKind::Max, AggKind::Mean, AggKind::Count})
      for (bool forward : {true, false})
        CHECK(same(column<double>(s, WindowAggregate{single("x"), w, agg, forward, true}),
                   std::vector<double>(4, NaN)));
  }
  // An infinite window holds everything when partial windows are allowed,
  // and nothing is available otherwise.
  CHECK(same(column<double>(s, WindowAggregate{single("x"), INF, AggKind::Count, true, true}),
             std::vector<double>{3, 2, 1, 1}));
  CHECK(same(column<double>(s, WindowAggregate{single("x"), INF, AggKind::Count, true, false}),
             std::vector<double>(4, NaN)));
  // Unsorted and NaN times give unspecified labels, but every kind runs.
  TestStream bad({"x", "a", "x", "b", "x", "a"}, {5.0, NaN, -1.0, 7.0, INF, -INF}, {1, NaN, 3, 4, 5, 6});
  for (double w : {0.0, 2.0, INF, NaN}) {
    for (AggKind agg : {AggKind::Min, AggKind::Max, AggKind::Mean, AggKind::Count}) {
      CHECK_EQ(column<double>(bad, WindowAggregate{single("x"), w, agg, true, true}).size(), 6u);
      CHECK_EQ(column<double>(bad, WindowAggregate{single("x"), w, agg, false, false}).size(), 6u);
      CHECK_EQ(column<double>(bad, SpanAggregate{single("x"), pair("a", "b"), agg}).size(), 6u);
    }
    CHECK_EQ(column<int8_t>(bad, FutureSpanOccurrence{pair("x", "a"), w, false}).size(), 6u);
    CHECK_EQ(column<int8_t>(bad, PastSpanOccurrence{pair("a", "x"), w, true}).size(), 6u);
  }
}

TEST(span_occurrence_marks_inside_before_availability) {
  // Span (1, 2) from a to b; its start time is 1.
  TestStream s({"c", "a", "b", "c", "c"}, {0.0, 1.0, 2.0, 3.0, 4.0});
  CHECK_EQ(column<int8_t>(s, FutureSpanOccurrence{pair("a", "b"), 1.0, false}),
           (std::vector<int8_t>{1, 2, 2, 0, -1}));
  CHECK_EQ(column<int8_t>(s, PastSpanOccurrence{pair("a", "b"), 1.0, false}),
           (std::vector<int8_t>{-1, 2, 2, 0, 0}));
  CHECK_EQ(column<int8_t>(s, PastSpanOccurrence{pair("a", "b"), 2.0, true}),
           (std::vector<int8_t>{0, 2, 2, 1, 0}));
}

// ---------------------------------------------------------------- aggregates

namespace {

// Every window recomputed from scratch: the windows' points by a linear
// scan, the mean through a fresh ExactSum.
double aggregate_of(const std::vector<double>& vals, AggKind agg, bool empty_is_nan) {
  if (vals.empty()) return agg == AggKind::Count && !empty_is_nan ? 0.0 : NaN;
  if (agg == AggKind::Count) return static_cast<double>(vals.size());
  double best = NaN;
  ExactSum sum;
  size_t valued = 0;
  for (double v : vals) {
    if (std::isnan(v)) continue;
    ++valued;
    sum.add(v);
    if (std::isnan(best) || (agg == AggKind::Min ? v < best : v > best)) best = v;
  }
  if (valued == 0) return NaN;
  return agg == AggKind::Mean ? sum.value() / static_cast<double>(valued) : best;
}

std::vector<double> slow_window(const TestStream& s, const std::string& k, double w, AggKind agg, bool forward) {
  const TokenId id = intern(k);
  std::vector<double> out;
  for (size_t i = 0; i < s.times.size(); ++i) {
    const double lo = forward ? s.times[i] : s.times[i] - w, hi = forward ? s.times[i] + w : s.times[i];
    std::vector<double> vals;
    for (size_t j = 0; j < s.times.size(); ++j)
      if (s.tokens[j] == id && lo <= s.times[j] && s.times[j] <= hi) vals.push_back(s.values[j]);
    out.push_back(aggregate_of(vals, agg, true));
  }
  return out;
}

std::vector<double> slow_span_aggregate(const TestStream& s, const std::string& k, std::vector<Span> spans,
                                        AggKind agg) {
  const TokenId id = intern(k);
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
  std::vector<double> out(s.times.size(), NaN);
  for (const Span& sp : spans) {
    std::vector<double> vals;
    for (size_t j = sp.start; j <= sp.end; ++j)
      if (s.tokens[j] == id) vals.push_back(s.values[j]);
    const double v = aggregate_of(vals, agg, false);
    for (size_t j = sp.start; j <= sp.end; ++j) out[j] = v;
  }
  return out;
}

// Values whose sums cancel badly: huge and tiny magnitudes of both signs,
// repeated values (ties in the deques), NaN and the occasional infinity.
double hostile_value(std::mt19937_64& rng) {
  switch (rng() % 10) {
    case 0: return NaN;
    case 1: return 1e16;
    case 2: return -1e16;
    case 3: return static_cast<double>(rng() % 3);
    case 4: return std::ldexp(static_cast<double>(rng() % 1000) - 500.0, static_cast<int>(rng() % 200) - 100);
    case 5: return rng() % 50 == 0 ? INF : 0.1;
    default: return static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) / 8.0;
  }
}

}  // namespace

TEST(sliding_window_aggregates_equal_recomputing_every_window) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 60; ++round) {
    const size_t n = 1 + rng() % 300;
    std::vector<std::string> toks;
    std::vector<double> times, values;
    double t = 0.0;
    for (size_t i = 0; i < n; ++i) {
      toks.push_back(rng() % 3 == 0 ? "a" : "k");
      t += static_cast<double>(rng() % 3);  // equal times are common
      times.push_back(t);
      values.push_back(hostile_value(rng));
    }
    TestStream s(toks, times, values);
    const double w = static_cast<double>(rng() % 40);
    for (AggKind agg : {AggKind::Min, AggKind::Max, AggKind::Mean, AggKind::Count})
      for (bool forward : {true, false}) {
        const std::vector<double> fast = column<double>(s, WindowAggregate{single("k"), w, agg, forward, true});
        CHECK(same(fast, slow_window(s, "k", w, agg, forward)));
      }
  }
}

TEST(span_aggregates_equal_recomputing_every_span_across_blocks) {
  // Spans up to several hundred points long cross the 64-point blocks of the
  // range structure at every offset; nested and overlapping spans test that
  // the later span in (start, end) order wins.
  std::mt19937_64 rng(99);
  for (int round = 0; round < 40; ++round) {
    const size_t n = 1 + rng() % 700;
    std::vector<std::string> toks;
    std::vector<double> values;
    for (size_t i = 0; i < n; ++i) {
      toks.push_back(rng() % 4 == 0 ? "a" : "k");
      values.push_back(hostile_value(rng));
    }
    TestStream s(toks, sequence(n), values);
    std::vector<Span> spans;
    const size_t n_spans = rng() % 12;
    for (size_t j = 0; j < n_spans; ++j) {
      const size_t a = rng() % n, len = rng() % (n - a);
      spans.push_back({a, a + len});
    }
    PointsCache cache(s.view());
    const std::vector<Point>& k = *cache.get(single("k")).value();
    for (AggKind agg : {AggKind::Min, AggKind::Max, AggKind::Mean, AggKind::Count})
      CHECK(same(span_aggregate_column(n, k, spans, agg), slow_span_aggregate(s, "k", spans, agg)));
  }
}

TEST(span_aggregate_later_span_wins_and_ends_past_the_stream_are_cut) {
  // k values by position: 1, NaN, 5, 2, 7.
  TestStream s({"k", "k", "k", "k", "k"}, sequence(5), {1.0, NaN, 5.0, 2.0, 7.0});
  PointsCache cache(s.view());
  const std::vector<Point>& k = *cache.get(single("k")).value();
  // (0, 4) then (1, 2) in (start, end) order: the inner one wins its part.
  CHECK(same(span_aggregate_column(5, k, {{1, 2}, {0, 4}}, AggKind::Max), std::vector<double>{7, 5, 5, 7, 7}));
  // (1, 2) and (1, 3): the longer comes later and wins all of 1..3.
  CHECK(same(span_aggregate_column(5, k, {{1, 3}, {1, 2}}, AggKind::Min), std::vector<double>{NaN, 2, 2, 2, NaN}));
  CHECK(same(span_aggregate_column(5, k, {{3, 99}, {9, 12}}, AggKind::Count),
             std::vector<double>{NaN, NaN, NaN, 2, 2}));
  // A span over a NaN value only: count 1, the others NaN.
  CHECK(same(span_aggregate_column(5, k, {{1, 1}}, AggKind::Count), std::vector<double>{NaN, 1, NaN, NaN, NaN}));
  CHECK(same(span_aggregate_column(5, k, {{1, 1}}, AggKind::Mean), std::vector<double>(5, NaN)));
  CHECK(same(span_aggregate_column(0, k, {{0, 3}}, AggKind::Mean), std::vector<double>{}));
}
