// Points of token references: what a match sink sees of the search (every
// match of the buffer, in its order, starts ascending), a pattern's matches
// folded per start against sorting the whole buffer, sequence and set scans
// against their plain definitions, and resolution shared through a store.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "engine/points.hpp"
#include "engine_fixtures.hpp"

using namespace zuldcore;
using namespace engine_fixtures;

namespace {

constexpr TokenId A = 1, B = 2, C = 3;

// Points as text, so that NaN compares equal and failures read plainly.
std::vector<std::string> text(const std::vector<Point>& points) {
  std::vector<std::string> out;
  for (const Point& p : points)
    out.push_back(cat(p.start, "..", p.end, "@", format_f64(p.time), "=", format_f64(p.value)));
  return out;
}

StreamView view(const S& s) { return {s.tokens, s.times, s.values}; }

std::vector<Point> points_of(const TokenRef& ref, const S& s) {
  Expected<std::vector<Point>> p = match_points(ref, view(s));
  ZC_ENSURE(p.ok(), "points failed: ", p.message());
  return std::move(p).value();
}

struct Recorder final : MatchSink {
  std::vector<std::tuple<size_t, size_t, std::string>> seen;  // m_start, m_end, t_start
  void take(size_t m_start, size_t m_end, double t_start) override {
    seen.emplace_back(m_start, m_end, format_f64(t_start));
  }
};

// Random streams over A, B, C: times with many ties, sometimes stepping back
// or NaN; values or none.
S random_stream(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  S s;
  double t = 0.0;
  const bool odd_times = pick(3) == 0;
  for (int i = pick(12); i > 0; --i) {
    t += pick(3) * 0.5;
    s.tokens.push_back(static_cast<TokenId>(1 + pick(3)));
    s.times.push_back(odd_times && pick(4) == 0 ? (pick(2) ? NaN : t - 2.0) : t);
  }
  if (pick(2))
    for (size_t i = 0; i < s.tokens.size(); ++i) s.values.push_back(pick(3) ? 1.0 : NaN);
  return s;
}

// Patterns of one to three elements of four kinds, some bounded, some not
// backtrackable, some unordered; plain ones take the fast path.
Pattern random_pattern(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Pattern p;
  p.ordered = pick(4) != 0;
  for (int j = 1 + pick(3); j > 0; --j) {
    Bounds b;
    if (pick(3) == 0) b.max_dt = pick(3) * 0.5;
    const auto token = static_cast<TokenId>(1 + pick(3));
    switch (pick(5)) {
      case 0: {
        EventSet e;
        e.match_tokens = {token, static_cast<TokenId>(1 + pick(3))};
        e.bounds = b;
        p.elements.push_back(e);
        break;
      }
      case 1: {
        TimeEvent e;
        e.bounds = b;
        e.backtrackable = pick(3) != 0;
        p.elements.push_back(e);
        break;
      }
      case 2: {
        EventSeq e;
        e.match_trie = trie_of({{token}, {token, static_cast<TokenId>(1 + pick(3))}});
        e.bounds = b;
        p.elements.push_back(e);
        break;
      }
      default: {
        Event e = ev(token, b);
        e.backtrackable = pick(4) != 0;
        p.elements.push_back(e);
      }
    }
  }
  return p;
}

}  // namespace

TEST(match_sink_sees_every_match_of_the_buffer_in_order) {
  std::mt19937 rng(5);
  size_t matches = 0, fast = 0;
  for (int round = 0; round < 3000; ++round) {
    const Pattern p = random_pattern(rng);
    const S s = random_stream(rng);
    const Engine engine = make_engine(p).value();
    StreamMatcher matcher(engine);
    MatchBuffer buffer;
    matcher.match(s.tokens, s.times, s.values, false, false, buffer);
    Recorder sink;
    matcher.match_each(s.tokens, s.times, s.values, sink);
    decltype(sink.seen) want;
    for (size_t m = 0; m < buffer.n_matches(); ++m)
      want.emplace_back(buffer.m_start[m], buffer.m_end[m], format_f64(buffer.t_start[m]));
    if (sink.seen != want) {
      CHECK(sink.seen == want);
      std::printf("  round %d: %zu matches seen, %zu recorded\n", round, sink.seen.size(), want.size());
      return;
    }
    // The fold into points relies on starts that never decrease.
    CHECK(std::is_sorted(want.begin(), want.end(),
                         [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); }));
    matches += want.size();
    fast += uses_fast_path(p) && !want.empty();
  }
  CHECK(matches > 3000);
  CHECK(fast > 100);
}

TEST(pattern_points_are_the_shortest_match_per_start) {
  std::mt19937 rng(17);
  for (int round = 0; round < 3000; ++round) {
    TokenRef ref{TokenRef::PatternForm{random_pattern(rng)}};
    const S s = random_stream(rng);
    // The definition: every match, sorted by (start, end), the first per start.
    const MatchBuffer all = match_stream(make_engine(std::get<TokenRef::PatternForm>(ref.form).pattern).value(),
                                         s.tokens, s.times, s.values, false, false);
    std::vector<Point> want;
    for (size_t m = 0; m < all.n_matches(); ++m) {
      const auto start = static_cast<size_t>(all.m_start[m]);
      want.push_back({start, static_cast<size_t>(all.m_end[m]), all.t_start[m], view(s).value_at(start)});
    }
    std::stable_sort(want.begin(), want.end(), [](const Point& a, const Point& b) {
      return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    want.erase(std::unique(want.begin(), want.end(), [](const Point& a, const Point& b) { return a.start == b.start; }),
               want.end());
    if (text(points_of(ref, s)) != text(want)) {
      CHECK_EQ(text(points_of(ref, s)), text(want));
      return;
    }
  }
}

TEST(sequence_scan_equals_the_plain_greedy_scan) {
  // Sequences up to five long over runs of tied times, so that the skip of
  // runs shorter than the shortest sequence and the bound on walks are both
  // exercised; NaN times never start or continue an occurrence.
  std::mt19937 rng(23);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  size_t found = 0;
  for (int round = 0; round < 4000; ++round) {
    Trie trie;
    for (int k = 1 + pick(3); k > 0; --k) {
      std::vector<TokenId> seq;
      for (int j = 1 + pick(5); j > 0; --j) seq.push_back(static_cast<TokenId>(1 + pick(2)));
      trie.insert_with_vals(seq, {});
    }
    S s;
    double t = 0.0;
    for (int i = pick(16); i > 0; --i) {
      if (pick(4) == 0) t += 1.0;
      s.tokens.push_back(static_cast<TokenId>(1 + pick(2)));
      s.times.push_back(pick(10) == 0 ? NaN : t);
    }
    std::vector<Point> want;
    for (size_t i = 0; i < s.tokens.size();) {
      const std::optional<size_t> len = match_at(trie, s.tokens, s.times, s.values, i);
      if (len && *len >= 1) {
        want.push_back({i, i + *len - 1, s.times[i], NaN});
        i += *len;
      } else {
        ++i;
      }
    }
    found += want.size();
    const std::vector<Point> got = points_of(TokenRef{TokenRef::Sequences{trie}}, s);
    if (text(got) != text(want)) {
      CHECK_EQ(text(got), text(want));
      return;
    }
  }
  CHECK(found > 4000);
  // A sequence longer than every run finds nothing, and a trie holding only
  // the empty sequence never matches.
  const S tied = timed(std::vector<TokenId>(50, A), std::vector<double>(50, 0.0));
  CHECK(points_of(TokenRef{TokenRef::Sequences{trie_of({std::vector<TokenId>(51, A)})}}, tied).empty());
  CHECK_EQ(points_of(TokenRef{TokenRef::Sequences{trie_of({std::vector<TokenId>(51, A), {B}, {A}})}}, tied).size(),
           size_t{50});
  CHECK(points_of(TokenRef{TokenRef::Sequences{trie_of({{}})}}, tied).empty());
}

TEST(sets_small_and_large_equal_plain_membership) {
  // Sets of 1 to 30 strings, some never seen in the stream, with duplicates:
  // small ones are compared id by id, large ones looked up in a table.
  std::vector<std::string> pool;
  std::vector<TokenId> ids;
  for (int i = 0; i < 40; ++i) {
    pool.push_back(cat("points-set-", i));
    ids.push_back(intern(pool.back()));
  }
  std::mt19937 rng(29);
  auto pick = [&](size_t n) { return rng() % n; };
  for (int round = 0; round < 500; ++round) {
    TokenRef::Set set;
    for (size_t k = 1 + pick(30); k > 0; --k) set.tokens.push_back(pool[pick(pool.size())]);
    if (pick(4) == 0) set.tokens.push_back(cat("points-set-unseen-", round));
    S s;
    for (size_t i = pick(60); i > 0; --i) {
      s.tokens.push_back(ids[pick(30)]);
      s.times.push_back(static_cast<double>(i));
    }
    std::vector<Point> want;
    for (size_t i = 0; i < s.tokens.size(); ++i) {
      const bool member = std::any_of(set.tokens.begin(), set.tokens.end(),
                                      [&](const std::string& t) { return intern(t) == s.tokens[i]; });
      if (member) want.push_back({i, i, s.times[i], NaN});
    }
    const std::vector<Point> got = points_of(TokenRef{set}, s);
    if (text(got) != text(want)) {
      CHECK_EQ(text(got), text(want));
      return;
    }
  }
}

TEST(points_fold_matches_without_keeping_them) {
  // "a then b" over 300 a's then 300 b's: 90,000 matches, 300 points, each
  // start with its nearest b; the same through a reused scanner.
  std::vector<TokenId> tokens(300, A);
  tokens.resize(600, B);
  const S s = seq(tokens);
  for (Pattern p : {pattern({ev(A), ev(B)}), pattern({ev(A), ev(B, Bounds{0.0, 1e9, -INF, INF})})}) {
    const TokenRef ref{TokenRef::PatternForm{std::move(p)}};
    const ResolvedRef resolved = ResolvedRef::resolve(ref).value();
    PointScanner scanner(resolved);
    for (int again = 0; again < 2; ++again) {
      std::vector<Point> got;
      scanner.scan(view(s), got);
      CHECK_EQ(got.size(), size_t{300});
      CHECK(std::all_of(got.begin(), got.end(), [](const Point& q) { return q.end == 300; }));
      CHECK_EQ(got.back().start, size_t{299});
    }
  }
}

TEST(resolved_store_is_shared_and_scans_without_interning) {
  const std::string seen = "points-store-seen", unseen = "points-store-unseen";
  const S s = timed({intern(seen), A, intern(seen), B}, {0, 1, 1, 2});
  const TokenRef single{TokenRef::Single{seen}};
  const TokenRef set{TokenRef::Set{{seen, "points-store-other", seen}}};
  const TokenRef seqs{TokenRef::Sequences{trie_of({{A}, {intern(seen), B}})}};
  const TokenRef pat{TokenRef::PatternForm{pattern({ev(intern(seen)), ev(B)})}};
  ResolvedRefs store;
  for (const TokenRef* ref : {&single, &set, &seqs, &pat}) CHECK(store.resolve(*ref).ok());

  // Equal keyed references share one resolved form; the others are known by
  // address, so a copy of a sequence reference is not found.
  const TokenRef same_single{TokenRef::Single{seen}};
  CHECK(store.find(same_single) == store.find(single));
  CHECK(store.find(same_single) == store.resolve(same_single).value());
  const TokenRef copy = seqs;
  CHECK(store.find(copy) == nullptr);
  CHECK(store.find(seqs) != nullptr);

  // Caches reading the store intern nothing and agree with match_points.
  const size_t vocabulary = vocabulary_size();
  for (const TokenRef* ref : {&single, &set, &seqs, &pat}) {
    PointsCache cache(view(s), static_cast<const ResolvedRefs&>(store));
    CHECK_EQ(text(*cache.get(*ref).value()), text(points_of(*ref, s)));
  }
  CHECK_EQ(vocabulary_size(), vocabulary);

  // A reference the store lacks is resolved by the cache itself (interning
  // its new token) and left out of the shared store.
  const TokenRef missing{TokenRef::Single{unseen}};
  PointsCache reading(view(s), static_cast<const ResolvedRefs&>(store));
  CHECK(reading.get(missing).value()->empty());
  CHECK_EQ(vocabulary_size(), vocabulary + 1);
  CHECK(store.find(missing) == nullptr);
  // A cache allowed to write resolves into the store.
  PointsCache writing(view(s), store);
  CHECK(writing.get(missing).value()->empty());
  CHECK(store.find(missing) != nullptr);

  // Too large a pattern fails at resolution, in the store too, and nothing
  // is kept.
  Pattern big;
  big.elements.assign(65, ev(A));
  const TokenRef too_big{TokenRef::PatternForm{big}};
  CHECK_EQ(store.resolve(too_big).message(), std::string("Pattern has 65 elements; maximum is 64"));
  CHECK(store.find(too_big) == nullptr);
}
