// The engine's one entry point: match a pattern against an interned stream
// into a MatchBuffer. It sizes the buffer, answers trivial inputs, and runs
// either the fast path for patterns of plain single tokens or the general
// search (engine/search.hpp). It does not check the pattern's size; callers
// build the Engine with make_engine, which does.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "engine/match_buffer.hpp"
#include "engine/search.hpp"
#include "intern/interner.hpp"
#include "types/pattern.hpp"
#include "types/stream.hpp"

namespace zuldcore {

// Every match of the engine's pattern in the stream, in emission order.
// `times` is as long as `tokens`; `values` is empty for a stream without
// values (every value reads as NaN) or as long as `tokens`; other lengths
// are an Internal failure. first_only stops after the first match;
// include_tokens also records each slot's token ids. The buffer has room for
// initial_match_capacity(n_tokens, n_elements) matches before it grows.
MatchBuffer match_stream(const Engine& engine, std::span<const TokenId> tokens,
                         std::span<const double> times, std::span<const double> values,
                         bool first_only, bool include_tokens);
MatchBuffer match_stream(const Engine& engine, const Stream& stream, bool first_only,
                         bool include_tokens);

// Whether the pattern is answered by the fast path: ordered, no midstream
// collector, default pattern bounds (min_dt 0, max_dt +inf, min_at -inf,
// max_at +inf), and only Event elements without a block token whose value
// and block value constraints are Any and whose bounds are the defaults.
// The fast path applies no timing or value test: on a stream whose times
// never decrease and are finite its matches equal the general search's, in
// the same order; elsewhere it also reports matches whose times decrease
// (and t_end is the time at m_end rather than the largest time).
bool uses_fast_path(const Pattern& pattern);

// match_stream for many streams of one engine (the documents of a batch):
// the search tables are built once and the scratch space is kept, and the
// caller's buffer is reset per stream, keeping its storage.
class StreamMatcher {
 public:
  explicit StreamMatcher(const Engine& engine);
  ~StreamMatcher();
  StreamMatcher(StreamMatcher&&) noexcept;
  StreamMatcher& operator=(StreamMatcher&&) noexcept;

  // As match_stream, into `buffer`, which is reset first.
  void match(std::span<const TokenId> tokens, std::span<const double> times,
             std::span<const double> values, bool first_only, bool include_tokens,
             MatchBuffer& buffer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zuldcore
