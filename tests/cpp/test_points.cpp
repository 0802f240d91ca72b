// Points of token references: what a match sink sees of the search (every
// match of the buffer, in its order, starts ascending).
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "engine/matcher.hpp"
#include "engine_fixtures.hpp"

using namespace zuldcore;
using namespace engine_fixtures;

namespace {

constexpr TokenId A = 1, B = 2, C = 3;

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
