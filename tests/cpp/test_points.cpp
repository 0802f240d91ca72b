// Points of token references, where Python cannot look: what a match sink
// sees of the search (the buffer's matches in its order, starts ascending,
// which the fold into points relies on), large sets against plain
// membership, and resolution shared through a store. Sequence scans are held
// to the model by tests/test_annotate_model.py.
#include <algorithm>
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

constexpr TokenId A = 1, B = 2;

// Points as text, so that NaN compares equal and failures read plainly.
std::vector<std::string> text(const std::vector<Point>& points) {
  std::vector<std::string> out;
  for (const Point& p : points) out.push_back(cat(p.start, "..", p.end, "@", format_f64(p.time)));
  return out;
}

std::vector<std::string> points_of(const TokenRef& ref, const S& s) {
  return text(match_points(ref, {s.tokens, s.times, s.values}).value());
}

struct Recorder final : MatchSink {
  std::vector<std::tuple<size_t, size_t, std::string>> seen;  // m_start, m_end, t_start
  void take(size_t m_start, size_t m_end, double t_start) override {
    seen.emplace_back(m_start, m_end, format_f64(t_start));
  }
};

}  // namespace

TEST(match_sink_sees_every_match_of_the_buffer_in_order) {
  // One to three elements of four kinds (plain events take the fast path),
  // some bounded, some not backtrackable, some unordered; streams over a, b,
  // c with ties, and now and then a time that steps back or is NaN.
  std::mt19937 rng(5);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto token = [&] { return static_cast<TokenId>(1 + pick(3)); };
  size_t matches = 0, fast = 0;
  for (int round = 0; round < 3000; ++round) {
    Pattern p;
    p.ordered = pick(4) != 0;
    for (int j = 1 + pick(3); j > 0; --j) {
      Bounds b;
      if (pick(3) == 0) b.max_dt = pick(3) * 0.5;
      const int kind = pick(5);
      if (kind == 0) p.elements.push_back(EventSet{{token(), token()}, {}, {}, {}, b, true});
      if (kind == 1) p.elements.push_back(TimeEvent{{}, {}, b, pick(3) != 0});
      if (kind == 2) p.elements.push_back(EventSeq{trie_of({{A}, {A, token()}}), std::nullopt, b, true});
      if (kind >= 3) {
        Event e = ev(token(), b);
        e.backtrackable = pick(4) != 0;
        p.elements.push_back(e);
      }
    }
    S s;
    double t = 0.0;
    for (int i = pick(12); i > 0; --i) {
      t += pick(3) * 0.5;
      s.tokens.push_back(token());
      s.times.push_back(pick(12) == 0 ? (pick(2) ? NaN : t - 2.0) : t);
      if (round % 2) s.values.push_back(pick(3) ? 1.0 : NaN);
    }
    StreamMatcher matcher(make_engine(p).value());
    MatchBuffer buffer;
    matcher.match(s.tokens, s.times, s.values, false, false, buffer);
    Recorder sink;
    matcher.match_each(s.tokens, s.times, s.values, sink);
    decltype(sink.seen) want;
    for (size_t m = 0; m < buffer.n_matches(); ++m)
      want.emplace_back(buffer.m_start[m], buffer.m_end[m], format_f64(buffer.t_start[m]));
    if (sink.seen != want || !std::is_sorted(buffer.m_start.begin(), buffer.m_start.end())) {
      CHECK(sink.seen == want);
      CHECK(std::is_sorted(buffer.m_start.begin(), buffer.m_start.end()));
      std::printf("  round %d\n", round);
      return;
    }
    matches += want.size();
    fast += uses_fast_path(p) && !want.empty();
  }
  CHECK(matches > 3000);
  CHECK(fast > 100);
}

TEST(large_sets_equal_plain_membership) {
  // Sets of 9 to 30 strings (with duplicates, and one never seen) are looked
  // up in a table rather than compared id by id.
  std::vector<std::string> pool;
  std::vector<TokenId> ids;
  for (int i = 0; i < 40; ++i) ids.push_back(intern(pool.emplace_back(cat("points-set-", i))));
  std::mt19937 rng(29);
  for (int round = 0; round < 300; ++round) {
    TokenRef::Set set{{cat("points-set-unseen-", round)}};
    for (size_t k = 9 + rng() % 22; k > 0; --k) set.tokens.push_back(pool[rng() % pool.size()]);
    S s;
    std::vector<Point> want;
    for (size_t i = 0; i < 60; ++i) {
      const size_t j = rng() % 30;
      s.tokens.push_back(ids[j]);
      s.times.push_back(static_cast<double>(i));
      if (std::count(set.tokens.begin(), set.tokens.end(), pool[j])) want.push_back({i, i, s.times[i], NaN});
    }
    if (points_of(TokenRef{set}, s) != text(want)) {
      CHECK_EQ(points_of(TokenRef{set}, s), text(want));
      return;
    }
  }
}

TEST(resolved_store_is_shared_and_scans_without_interning) {
  const std::string seen = "points-store-seen";
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

  // Caches reading the store intern nothing and agree with match_points.
  const size_t vocabulary = vocabulary_size();
  for (const TokenRef* ref : {&single, &set, &seqs, &pat}) {
    PointsCache cache({s.tokens, s.times, s.values}, static_cast<const ResolvedRefs&>(store));
    CHECK_EQ(text(*cache.get(*ref).value()), points_of(*ref, s));
  }
  CHECK_EQ(vocabulary_size(), vocabulary);

  // What a reading cache lacks it resolves for itself (interning the new
  // token); a writing cache resolves into the store.
  const TokenRef missing{TokenRef::Single{"points-store-unseen"}};
  PointsCache reading({s.tokens, s.times, s.values}, static_cast<const ResolvedRefs&>(store));
  CHECK(reading.get(missing).value()->empty());
  CHECK_EQ(vocabulary_size(), vocabulary + 1);
  CHECK(store.find(missing) == nullptr);
  PointsCache writing({s.tokens, s.times, s.values}, store);
  CHECK(writing.get(missing).value()->empty());
  CHECK(store.find(missing) != nullptr);

  // Too large a pattern fails at resolution, and the store keeps nothing.
  Pattern big;
  big.elements.assign(65, ev(A));
  const TokenRef too_big{TokenRef::PatternForm{big}};
  CHECK_EQ(store.resolve(too_big).message(), std::string("Pattern has 65 elements; maximum is 64"));
  CHECK(store.find(too_big) == nullptr);
}
