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

TEST(exact_sum_is_the_correctly_rounded_true_sum) {
  auto sum = [](std::initializer_list<double> xs) {
    ExactSum s;
    for (double x : xs) s.add(x);
    return s.value();
  };
  const double two53 = 9007199254740992.0, tiny = std::numeric_limits<double>::denorm_min();
  const double big = std::numeric_limits<double>::max();
  CHECK_EQ(sum({1e16, 1.0, -1e16}), 1.0);
  CHECK_EQ(sum({1e100, 1.0, -1e100, 1e-100}), 1.0);
  CHECK_EQ(sum({0.1, 0.2, 0.3}), 0.6);                   // a float sum gives 0.6000000000000001
  CHECK_EQ(sum({two53, 1.0}), two53);                    // a tie stays even
  CHECK_EQ(sum({two53, 3.0}), two53 + 4.0);              // a tie goes up to even
  CHECK_EQ(sum({-two53, -1.0, -1e-300}), -two53 - 2.0);  // just past a tie
  CHECK_EQ(sum({tiny, tiny, tiny}), 3 * tiny);
  CHECK_EQ(sum({big, big}), INF);  // beyond the range rounds to infinity
  CHECK_EQ(sum({big, big, -big}), big);
  CHECK_EQ(sum({-big, -big}), -INF);
  CHECK_EQ(sum({INF, 1.0, NaN}), INF);  // infinities counted apart, NaN ignored
  CHECK(std::isnan(sum({INF, -INF})));
  CHECK(same(sum({}), 0.0) && same(sum({-0.0, 2.5, -2.5}), 0.0));
}

TEST(exact_sum_removals_and_prefix_differences_leave_no_drift) {
  ExactSum w;
  for (double v : {1e16, 1.0, INF}) w.add(v);
  w.remove(1e16);
  w.remove(INF);
  CHECK_EQ(w.value(), 1.0);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mant(-1.0, 1.0);
  std::uniform_int_distribution<int> expo(-60, 60);
  std::vector<double> xs;
  for (int i = 0; i < 500; ++i) xs.push_back(std::ldexp(mant(rng), expo(rng)));
  ExactSum head, all, tail;
  for (size_t i = 0; i < 500; ++i) (i < 200 ? head : tail).add(xs[i]);
  for (double x : xs) all.add(x);
  all.subtract(head);
  CHECK_EQ(all.value(), tail.value());
  for (size_t i = 500; i-- > 200;) tail.remove(xs[i]);  // another order: exactly nothing left
  CHECK(same(tail.value(), 0.0));
  head.clear();
  head.add(-2.0);
  CHECK_EQ(head.value(), -2.0);
}

TEST(prefix_sums_equal_the_exact_sum_bit_for_bit_or_refuse) {
  // Random arrays of narrow and of wider exponent ranges (still within 126
  // bits), with ties to round, subnormals, zeros of both signs, NaN and
  // infinities; every range's sum against a fresh ExactSum.
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; ++round) {
    const int low = static_cast<int>(rng() % 2000) - 1074;  // the finest exponent of the array
    const int span = static_cast<int>(rng() % 60);
    std::vector<double> xs;
    const size_t m = 1 + rng() % 60;
    for (size_t j = 0; j < m; ++j) {
      const uint64_t r = rng();
      if (r % 17 == 0) xs.push_back(r % 2 ? NaN : -0.0);
      else if (r % 31 == 0) xs.push_back(r % 2 ? INF : -INF);
      else {
        const double mant = static_cast<double>(static_cast<int64_t>(rng() >> 11) - (int64_t{1} << 52));
        xs.push_back(std::ldexp(mant, std::min(low + static_cast<int>(rng() % (span + 1)), 971)));
      }
    }
    PrefixSums sums;
    if (!sums.build(xs)) continue;  // beyond the double range at the top: nothing to compare
    for (size_t lo = 0; lo <= m; ++lo)
      for (size_t hi = lo; hi <= m; ++hi) {
        ExactSum exact;
        for (size_t j = lo; j < hi; ++j) exact.add(xs[j]);
        CHECK(same(sums.sum(lo, hi), exact.value()));
      }
  }
  PrefixSums sums;
  CHECK(sums.build(std::vector<double>{1e16, 1.0, -1e16, 0.1}));
  CHECK_EQ(sums.sum(0, 3), 1.0);
  CHECK(!sums.build(std::vector<double>{1e300, 1e-300}));  // more bits than 128 hold
  const double big = std::numeric_limits<double>::max();
  CHECK(sums.build(std::vector<double>{big, big, -big}));
  CHECK_EQ(sums.sum(0, 2), INF);  // beyond the range rounds to infinity
  CHECK_EQ(sums.sum(0, 3), big);
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

TEST(inverted_nan_and_infinite_windows) {
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

TEST(plans_evaluate_as_evaluate_annotation_whole_in_parts_and_at_an_offset) {
  // A list whose window aggregates share points and windows (one sweep for
  // several columns, the sweep split when the list is evaluated in parts),
  // beside kinds that take the points cache.
  std::vector<AnnotKind> kinds;
  for (AggKind agg : {AggKind::Max, AggKind::Mean, AggKind::Count, AggKind::Min, AggKind::Mean})
    kinds.push_back(WindowAggregate{single("k"), 3.0, agg, false, true});
  kinds.push_back(WindowAggregate{single("k"), 3.0, AggKind::Max, true, true});
  kinds.push_back(PastOccurrence{single("k"), 2.0, false});
  kinds.push_back(BeforeEvent{single("k"), single("a"), true});
  kinds.push_back(InSpan{single("k"), pair("a", "k")});
  kinds.push_back(WindowAggregate{single("k"), 3.0, AggKind::Count, false, true});
  AnnotationPlan plan;
  for (const AnnotKind& kind : kinds) CHECK(plan.add(kind).ok());

  std::mt19937_64 rng(5);
  AnnotationScratch scratch;  // one scratch for every stream, as a corpus thread keeps it
  for (int round = 0; round < 40; ++round) {
    const size_t n = rng() % 40;
    std::vector<std::string> toks;
    std::vector<double> times, values;
    for (size_t i = 0; i < n; ++i) {
      toks.push_back(rng() % 3 == 0 ? "a" : "k");
      times.push_back(static_cast<double>(i / 2));
      values.push_back(hostile_value(rng));
    }
    TestStream s(toks, times, values);
    const size_t at = rng() % 3;
    std::vector<Column> whole, parts;
    std::vector<ColumnOut> whole_outs;
    for (size_t i = 0; i < kinds.size(); ++i) {
      whole.push_back(plan.column(i, n + at));
      parts.push_back(plan.column(i, n + at));
      whole_outs.push_back(column_out(whole.back()));
    }
    CHECK(!plan.evaluate(s.view(), scratch, whole_outs, at));
    for (size_t i = 0; i < kinds.size(); ++i) {
      const ColumnOut out = column_out(parts[i]);
      CHECK(!plan.evaluate(s.view(), scratch, {&out, 1}, at, i));
    }
    for (size_t i = 0; i < kinds.size(); ++i) {
      PointsCache cache(s.view());
      const Column alone = evaluate_annotation(kinds[i], cache).value();
      std::visit(
          [&](const auto& want) {
            using C = std::decay_t<decltype(want)>;
            for (const Column* got : {&whole[i], &parts[i]}) {
              C tail(std::get<C>(*got).begin() + static_cast<ptrdiff_t>(at), std::get<C>(*got).end());
              if constexpr (std::is_same_v<C, std::vector<double>>)
                CHECK(same(tail, want));
              else
                CHECK(tail == want);
            }
          },
          alone);
    }
  }
}

TEST(plans_fail_on_what_no_stream_avoids_and_add_nothing) {
  Pattern big;
  big.elements.assign(65, PatternElement{Event{intern("k")}});
  AnnotationPlan plan;
  CHECK(plan.add(WindowAggregate{single("k"), 1.0, AggKind::Max, false, true}).ok());
  const AnnotKind too_big = WindowAggregate{TokenRef{TokenRef::PatternForm{big}}, 1.0, AggKind::Max, false, true};
  const Status refused = plan.add(too_big);
  CHECK(!refused.ok());
  CHECK_EQ(refused.message(), std::string("Pattern has 65 elements; maximum is 64"));
  CHECK_EQ(plan.size(), size_t{1});
}
