// Small builders shared by the engine tests: streams with default times,
// plain events and patterns, and a buffer's matches as rows of positions.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "engine/match_buffer.hpp"
#include "types/pattern.hpp"

namespace engine_fixtures {

using namespace zuldcore;

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

using Rows = std::vector<std::vector<int64_t>>;
using Pairs = std::vector<CollectedPair>;

struct S {
  std::vector<TokenId> tokens;
  std::vector<double> times;
  std::vector<double> values;  // empty: no values
};

// Times 0, 1, 2, ...
inline S seq(std::vector<TokenId> tokens) {
  S s{std::move(tokens), {}, {}};
  for (size_t i = 0; i < s.tokens.size(); ++i) s.times.push_back(static_cast<double>(i));
  return s;
}
inline S timed(std::vector<TokenId> tokens, std::vector<double> times, std::vector<double> values = {}) {
  return S{std::move(tokens), std::move(times), std::move(values)};
}

inline Event ev(TokenId t) {
  Event e;
  e.token = t;
  return e;
}
inline Event ev(TokenId t, Bounds b) {
  Event e = ev(t);
  e.bounds = b;
  return e;
}
inline Pattern pattern(std::vector<PatternElement> elements, bool ordered = true) {
  Pattern p;
  p.elements = std::move(elements);
  p.ordered = ordered;
  return p;
}

// el_stream_idx, one row per match.
inline Rows rows(const MatchBuffer& b) {
  Rows out;
  for (size_t m = 0; m < b.n_matches(); ++m)
    out.emplace_back(b.el_stream_idx.begin() + static_cast<ptrdiff_t>(m * b.n_elements),
                     b.el_stream_idx.begin() + static_cast<ptrdiff_t>((m + 1) * b.n_elements));
  return out;
}

inline Trie trie_of(std::initializer_list<std::vector<TokenId>> seqs) {
  Trie t;
  for (const auto& s : seqs) t.insert_with_vals(s, {});
  return t;
}

inline MidstreamCollector midstream(std::initializer_list<std::vector<TokenId>> seqs, CollectorStrategy c,
                             uint64_t start_after = 0, uint64_t stop_before = 0) {
  MidstreamCollector m;
  m.match_trie = trie_of(seqs);
  m.collector = c;
  m.start_after = start_after;
  m.stop_before = stop_before;
  return m;
}

}  // namespace engine_fixtures
