// The engine's one entry point: match a pattern against an interned stream
// into a MatchBuffer. It sizes the buffer, answers trivial inputs, and runs
// the fast path for patterns of plain single tokens, the chain walk for other
// ordered patterns of single tokens, or the general search
// (engine/search.hpp). It does not check the pattern's size; callers build
// the Engine with make_engine, which does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/match_buffer.hpp"
#include "engine/search.hpp"
#include "engine/token_table.hpp"
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

// Whether the pattern is answered by the chain walk: ordered, no midstream
// collector, only Event elements (any bounds, value tests and block tokens,
// any pattern bounds), and not on the fast path. The walk is the general
// search specialised to such patterns: the same matches in the same order,
// with no stack entries, paths or tables per stream. Where a stream makes it
// revisit too many positions it hands the stream to the general search,
// whose pruning bounds the work.
bool uses_chain_walk(const Pattern& pattern);

// What matching derives from one engine's pattern: the fast path's tables or
// the search's, built once and then only read, so that any number of
// StreamMatchers (in any threads) share them. The engine's pattern must
// outlive the program.
class MatchProgram {
 public:
  // Internal failure when `engine` is inconsistent with its pattern.
  explicit MatchProgram(const Engine& engine);
  ~MatchProgram();
  MatchProgram(const MatchProgram&) = delete;
  MatchProgram& operator=(const MatchProgram&) = delete;

  const Engine& engine() const noexcept { return engine_; }

  // False only when no match can exist in `tokens`, judged by the tokens
  // alone: an ordered pattern needs its elements' tokens in order (the
  // first token of a sequence; elements whose tokens the pattern does not
  // fix may sit anywhere), an unordered one needs some token of every such
  // element. One pass over the tokens; value tests, times and blocks are
  // left to the search.
  bool may_match_in(std::span<const TokenId> tokens) const noexcept;

 private:
  friend class StreamMatcher;
  struct Fast;
  struct Chain;
  void compute_element_tokens();

  Engine engine_;
  // The tokens each element can match, for the elements whose tokens the
  // pattern fixes, in element order (the others are left out).
  std::vector<TokenFlags> element_tokens_;
  std::unique_ptr<const Fast> fast_tables_;      // patterns on the fast path
  std::unique_ptr<const Chain> chain_;           // patterns for the chain walk
  std::unique_ptr<const SearchProgram> search_;  // the others
};

// A pattern together with its program, for holders that match it many times
// (a Zuldor, shared by all its calls). A pattern of more than 64 elements
// has no program; its failure message is kept for the caller to raise when
// matching is asked for.
class CompiledPattern {
 public:
  explicit CompiledPattern(Pattern pattern);
  CompiledPattern(const CompiledPattern&) = delete;  // the program refers to pattern_
  CompiledPattern& operator=(const CompiledPattern&) = delete;

  const Pattern& pattern() const noexcept { return pattern_; }
  // Null when the pattern cannot be matched; error() then says why.
  const MatchProgram* program() const noexcept { return program_.get(); }
  const std::string& error() const noexcept { return error_; }

 private:
  Pattern pattern_;
  std::unique_ptr<const MatchProgram> program_;
  std::string error_;
};

// The first match of one stream as a batch reports it (see match_batch):
// its m_start and m_end, and the midstream collector's count or sum, or its
// number of items (NaN without a midstream collector or a value from it).
struct FirstMatch {
  int64_t m_start = -1;
  int64_t m_end = -1;
  double mid = std::numeric_limits<double>::quiet_NaN();
};

// match_stream for many streams of one program (the documents of a batch,
// the calls of one thread): the scratch space is kept, and the caller's
// buffer is reset per stream, keeping its storage.
class StreamMatcher {
 public:
  // The program must outlive the matcher.
  explicit StreamMatcher(const MatchProgram& program);
  // A matcher with a program of its own.
  explicit StreamMatcher(const Engine& engine);
  ~StreamMatcher();
  StreamMatcher(StreamMatcher&&) noexcept;
  StreamMatcher& operator=(StreamMatcher&&) noexcept;

  // As match_stream, into `buffer`, which is reset first.
  void match(std::span<const TokenId> tokens, std::span<const double> times,
             std::span<const double> values, bool first_only, bool include_tokens,
             MatchBuffer& buffer);
  // Every match of the stream handed to `sink` as it is found, in
  // match_stream's order, with the same enumeration; nothing is kept per
  // match, so memory does not grow with their number.
  void match_each(std::span<const TokenId> tokens, std::span<const double> times,
                  std::span<const double> values, MatchSink& sink);
  // The first match of the stream, as match with first_only finds it, into
  // `out`; false (and `out` untouched) when there is none. Patterns on the
  // fast path or the chain walk record nothing but positions on the way.
  bool first_match(std::span<const TokenId> tokens, std::span<const double> times,
                   std::span<const double> values, FirstMatch& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The first match of every document of a corpus laid end to end: document k
// is positions offsets[k] up to offsets[k + 1]; an empty, inverted, negative
// or out-of-range document has no match. Positions are relative to the
// document, -1 where there is none. `mid` (only for a pattern with a
// midstream collector) is the collector's count or sum, or its number of
// items, for the first match, NaN where there is none.
struct BatchResult {
  std::vector<int64_t> m_start;
  std::vector<int64_t> m_end;
  std::vector<double> mid;
};
BatchResult match_batch(const MatchProgram& program, std::span<const TokenId> tokens,
                        std::span<const double> times, std::span<const double> values,
                        std::span<const int64_t> offsets);

}  // namespace zuldcore
