// The general pattern search: a depth-first walk over partial matches that
// appends every complete match of one pattern in one interned stream to a
// MatchBuffer. It neither sizes the buffer nor takes shortcuts for simple
// patterns; the stream matcher (engine/matcher.hpp) does both and is the entry
// point that callers use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/match_buffer.hpp"
#include "intern/interner.hpp"
#include "base/expected.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

// A pattern ready to be matched. It refers to the pattern, which must outlive
// it and every Searcher or StreamMatcher built from it.
struct Engine {
  const Pattern& pattern;
  size_t n_elements;   // the pattern's element count, at most 64
  uint64_t full_mask;  // the n_elements lowest bits (all 64 for 64 elements)
};

// The engine of `pattern`; fails with "Pattern has {n} elements; maximum is
// 64" when the pattern is too large to be matched.
Expected<Engine> make_engine(const Pattern& pattern);

// The first stream position from which times never decrease and are never
// NaN up to the end (the stream's length when the last time is NaN). Scans
// may stop on time bounds only from there on: a later position cannot then
// have an earlier time.
size_t non_decreasing_from(std::span<const double> times) noexcept;

// Counters a test can ask for; the search never reads them.
struct SearchStats {
  size_t scans = 0;              // partial matches whose next element was searched for
  size_t positions_scanned = 0;  // stream positions examined by those scans
  size_t pruned = 0;             // partial matches dropped because they cannot complete
};

struct SearchOptions {
  // Lets a scan end as soon as nothing it could still find can match: no
  // candidate left unretired, or (where the stream's times never decrease
  // from the scanned position on) every candidate past its max_dt or max_at,
  // or the time past the pattern's max_at. The matches are the same either
  // way; false keeps the plain scan so that tests can compare the two.
  bool early_stop = true;
  SearchStats* stats = nullptr;  // incremented when given
  // Lets a scan jump over positions whose token no element and no midstream
  // collector reacts to, where the stream's times never decrease from the
  // scanned position on and every element tests only fixed tokens (no
  // TimeEvent, DynamicTimeEvent, DynamicEvent, or DynamicEventSet matching or
  // blocked by the last token). The matches are the same either way; false
  // visits every position so that tests can compare the two.
  bool skip_irrelevant = true;
  // Drops a partial match as soon as its remaining elements cannot all be
  // found in what is left of the stream, judged by where each element's
  // tokens and value tests can still match (ignoring time bounds and blocks,
  // so the judgement only ever drops what is dead). The matches are the same
  // either way; false keeps every partial match so that tests can compare.
  bool prune = true;
  // Pruning normally starts only once the search has done about twice the
  // stream's length in work, so that searches that end sooner never pay for
  // it; true starts it at once (tests exercise it on small streams so).
  bool prune_at_once = false;
};

// Receives complete matches one at a time, in emission order, for callers
// that keep a summary of the matches rather than all of them (the points of
// a token reference keep one per start). Nothing else of a match (slots,
// tokens, collectors) is computed for a sink.
class MatchSink {
 public:
  // One complete match: its smallest and largest stream positions and the
  // time of its first matched element (m_start, m_end, t_start of a buffer).
  virtual void take(size_t m_start, size_t m_end, double t_start) = 0;

 protected:
  ~MatchSink() = default;
};

// The tables the search derives from one engine's pattern, built once and
// then only read: any number of Searchers, in any threads, may share them.
// The engine's pattern must outlive the program.
class SearchProgram {
 public:
  // Internal failure when `engine` is inconsistent with its pattern.
  explicit SearchProgram(const Engine& engine);
  ~SearchProgram();
  SearchProgram(SearchProgram&&) noexcept;
  SearchProgram& operator=(SearchProgram&&) noexcept;

  struct Tables;

 private:
  friend class Searcher;
  std::unique_ptr<const Tables> tables_;
};

// The search of one program, with the scratch space of a run kept between
// runs so that matching many streams (documents of a batch) allocates only
// while they grow. One Searcher serves one thread at a time.
class Searcher {
 public:
  // The program must outlive the Searcher.
  explicit Searcher(const SearchProgram& program);
  // A Searcher with a program of its own. Internal failure when `engine` is
  // inconsistent with its pattern.
  explicit Searcher(const Engine& engine);
  ~Searcher();
  Searcher(Searcher&&) noexcept;
  Searcher& operator=(Searcher&&) noexcept;

  // Appends every complete match of the pattern in the stream to `buffer`,
  // in emission order: depth first, earliest positions first (see
  // match_full). `times` is as long as `tokens`; `values` is empty for a
  // stream without values (every value then reads as NaN) or as long as
  // `tokens`. `buffer` must have the engine's n_elements. With first_only the
  // search ends after the first emitted match. Internal failure on
  // mismatched lengths.
  void run(std::span<const TokenId> tokens, std::span<const double> times,
           std::span<const double> values, bool first_only, MatchBuffer& buffer,
           const SearchOptions& options = {});
  // The same search, handing every match to `sink` as it is completed
  // instead of recording it: the same matches in the same order, with the
  // same work, and no storage that grows with their number.
  void run(std::span<const TokenId> tokens, std::span<const double> times,
           std::span<const double> values, MatchSink& sink, const SearchOptions& options = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Searcher(engine).run(...): every complete match of the pattern, appended
// to `buffer` in the order the search completes them.
//
// For a partial match the next element is the lowest unmatched one (ordered
// patterns) or any unmatched one (unordered; a match's slots then follow the
// order of matching). Its search scans forward from the position after the
// previous element; at each position the pattern's max_dt may end the scan,
// the midstream collector takes the position, blocking tokens retire
// candidates for the rest of that scan (a blocked mapped candidate suppresses
// every match test at its position), and the match tests run. A hit pushes a
// continuation of the scan (unless no hit element is backtrackable) and one
// extension per hit element, so the first hit is explored first.
// A mapped element whose source element is not matched on the path has no
// key: its default applies, or it is not a candidate.
// Pinned down by tests/cpp/test_search.cpp.
void match_full(const Engine& engine, std::span<const TokenId> tokens,
                std::span<const double> times, std::span<const double> values, bool first_only,
                MatchBuffer& buffer, const SearchOptions& options = {});

}  // namespace zuldcore
