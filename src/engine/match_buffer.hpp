// The column-oriented record of a call's matches (MatchBuffer), the shared
// paths that partial matches are built from (ConsCell in a PathArena), and
// collector evaluation (CollectorResult, update, push_collector_result).
// It decides nothing about which matches exist; the search and the fast path
// do, and the Python face turns the columns into arrays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "intern/interner.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- collectors

// One collected item: a token id and a time. Tokens-only collectors store
// time 0.0, times-only collectors token 0 (see push_collector_result).
using CollectedPair = std::pair<TokenId, double>;

// The running value of a collector. The alternative's index is the value of
// the strategy that produced it: None, SumTimes (sum), Count (count),
// CollectTokens, CollectTimes, CollectPairs.
using CollectorResult = std::variant<std::monostate, double, uint64_t, std::vector<TokenId>,
                                     std::vector<double>, std::vector<CollectedPair>>;

// The strategy whose value `r` holds.
inline CollectorStrategy strategy_of(const CollectorResult& r) noexcept {
  return static_cast<CollectorStrategy>(r.index());
}

// The value before anything was collected: None, 0.0, 0 or an empty list.
CollectorResult initial_result(CollectorStrategy strategy);

// `previous` with (token, time) folded in by `strategy`; `previous` is not
// changed. None gives None; a previous value of another strategy is returned
// unchanged.
CollectorResult update(CollectorStrategy strategy, const CollectorResult& previous, TokenId token,
                       double time);

// `update` in place: the search's form, which allocates only when a list grows.
void accumulate(CollectorStrategy strategy, CollectorResult& value, TokenId token, double time);

// Appends one finished result to a collector's two output columns: nothing
// for None; the sum or the count (as f64) to `scalars`; to `lists` the pairs
// (token, 0.0) for CollectTokens, (0, time) for CollectTimes, or the pairs
// themselves for CollectPairs.
void push_collector_result(std::vector<double>& scalars,
                           std::vector<std::vector<CollectedPair>>& lists,
                           const CollectorResult& result);

// ---------------------------------------------------------------- paths

// One matched element of a path. Its token ids are the `token_count` stream
// tokens from `stream_idx` on (one for a single token, L for a same-timestamp
// sequence), so a cell refers to the stream instead of copying them.
struct ConsCell {
  size_t stream_idx = 0;   // stream position of the element's first token
  double time = 0.0;       // time at that position
  uint32_t token_count = 0;
  uint32_t next = 0;       // the previously matched element, or PathArena::NONE
  uint32_t refs = 0;       // holders: stack entries and the cells in front of this one
};

// Persistent singly linked lists of ConsCell, newest element first, shared
// between partial matches: a new partial match puts one cell in front of its
// parent's list, so siblings share their common tail. Cells are indices into
// one vector with plain (non-atomic) reference counts; released cells are
// reused, so a search allocates only while its live paths grow.
class PathArena {
 public:
  static constexpr uint32_t NONE = UINT32_MAX;  // the empty path

  // A new cell in front of `next` (which gains a reference); the caller holds
  // the one reference of the new cell.
  uint32_t push(uint32_t next, size_t stream_idx, uint32_t token_count, double time);
  // One more holder of `cell` (NONE is ignored).
  void retain(uint32_t cell) noexcept {
    if (cell != NONE) ++cells_[cell].refs;
  }
  // One holder fewer; a cell left without holders is freed and releases its
  // `next` in turn (iteratively, so path length never matters).
  void release(uint32_t cell) noexcept;
  const ConsCell& operator[](uint32_t cell) const noexcept { return cells_[cell]; }
  // Drops every cell at once, keeping the storage.
  void clear() noexcept {
    cells_.clear();
    free_ = NONE;
    live_ = 0;
  }
  // Cells held by somebody (for tests: zero once every holder released).
  size_t live() const noexcept { return live_; }

 private:
  std::vector<ConsCell> cells_;
  uint32_t free_ = NONE;  // freed cells, chained through `next`
  size_t live_ = 0;
};

// One slot of a complete match, as the buffer receives it: the element's
// token ids (a view into the stream), its first stream position and its time.
struct ElMatch {
  std::span<const TokenId> tokens;
  size_t stream_idx = 0;
  double time = 0.0;
};

// ---------------------------------------------------------------- buffer

// The matches of one call, column by column, in the order they were emitted.
// Per match: m_start, m_end, t_start, t_end; n_elements entries in
// el_stream_idx and el_times (match-major: entry m * n_elements + j is match m,
// slot j); with include_tokens, n_elements counts in el_token_counts and their
// ids in el_tokens; one entry in the scalar or the list column of each
// collector whose strategy is not None (which one follows from the strategy).
// The columns are public so that the Python face can move them into arrays.
struct MatchBuffer {
  std::vector<int64_t> m_start;        // smallest matched stream position
  std::vector<int64_t> m_end;          // largest (the last token of a sequence element)
  std::vector<double> t_start;         // time of the first matched element
  std::vector<double> t_end;           // largest matched time
  std::vector<int64_t> el_stream_idx;  // per slot: stream position of its first token
  std::vector<double> el_times;        // per slot: its time
  std::vector<TokenId> el_tokens;      // all slots' ids, concatenated (include_tokens only)
  std::vector<uint32_t> el_token_counts;  // per slot: how many of el_tokens are its own
  std::vector<double> result_scalars;  // pattern collector, SumTimes or Count
  std::vector<std::vector<CollectedPair>> result_lists;  // pattern collector, list strategies
  std::vector<double> mid_scalars;     // midstream collector, as above
  std::vector<std::vector<CollectedPair>> mid_lists;
  size_t n_elements = 0;               // row width of the per-slot columns
  bool include_tokens = false;         // whether el_tokens and el_token_counts are filled

  MatchBuffer() = default;
  // An empty buffer with room for `capacity` matches (token columns only when
  // include_tokens is set; collector columns start without room).
  MatchBuffer(size_t n_elements, bool include_tokens, size_t capacity);

  // Empties every column and sets the shape for the next stream, keeping the
  // storage already allocated and growing it to `capacity` matches if needed.
  // Batch matching reuses one buffer for every document this way.
  void reset(size_t n_elements, bool include_tokens, size_t capacity);

  size_t n_matches() const noexcept { return m_start.size(); }

  // Appends one complete match: m_start, m_end, t_start, t_end; the slots'
  // positions and times; with include_tokens each slot's count and ids; then
  // the pattern collector's and the midstream collector's results.
  // `slots` must hold n_elements entries (else Internal).
  void emit(size_t m_start, size_t m_end, double t_start, double t_end, std::span<const ElMatch> slots,
            const CollectorResult& result, const CollectorResult& mid_result);

  // emit for a match whose slot j is the one token at stream position at[j]
  // (positions ascending), with no midstream collector and `collector` as
  // the pattern collector: m_start is at[0], m_end at.back(). The same
  // columns as emit, written without building slots or collector values.
  // `at` must hold n_elements entries.
  void emit_single_tokens(std::span<const size_t> at, std::span<const TokenId> tokens,
                          std::span<const double> times, CollectorStrategy collector, double t_start,
                          double t_end);

  // emit_single_tokens for a run of matches that share their first slots
  // (positions `prefix`, one fewer than n_elements) and take each position
  // of `last` in turn for the last slot, in order: the fast path's innermost
  // loop, written column by column rather than match by match.
  template <class Pos>
  void emit_single_token_run(std::span<const size_t> prefix, std::span<const Pos> last,
                             std::span<const TokenId> tokens, std::span<const double> times,
                             CollectorStrategy collector);

  // Room for `count` matches in every per-match and per-slot column (and the
  // scalar column of a SumTimes or Count `collector`), so that emitting that
  // many never reallocates. Large columns are asked for in huge pages.
  void reserve_matches(size_t count, CollectorStrategy collector = CollectorStrategy::None);
};

template <class Pos>
void MatchBuffer::emit_single_token_run(std::span<const size_t> prefix, std::span<const Pos> last,
                                        std::span<const TokenId> tokens, std::span<const double> times,
                                        CollectorStrategy collector) {
  const size_t m = last.size();
  const bool lists = collector == CollectorStrategy::CollectTokens ||
                     collector == CollectorStrategy::CollectTimes || collector == CollectorStrategy::CollectPairs;
  if (lists || prefix.size() + 1 != n_elements) {  // each match a list of its own: one at a time
    std::vector<size_t> at(prefix.begin(), prefix.end());
    at.push_back(0);
    for (const Pos p : last) {
      at.back() = p;
      emit_single_tokens(at, tokens, times, collector, times[at[0]], times[p]);
    }
    return;
  }
  if (m_start.size() + m > m_start.capacity()) reserve_matches(std::max(m_start.size() + m, 2 * m_start.capacity()), collector);
  const bool alone = prefix.empty();  // one element: each match is its last slot alone
  const int64_t first = alone ? 0 : static_cast<int64_t>(prefix[0]);
  const double t_first = alone ? 0.0 : times[prefix[0]];
  const size_t k = n_elements;
  // Each column at its new size, then written through a pointer: a push per
  // entry stores the column's end every time, which costs more than the
  // zeroing of a resize.
  auto grown = [m](auto& column, size_t width) {
    column.resize(column.size() + m * width);
    return column.data() + (column.size() - m * width);
  };
  int64_t* ms = grown(m_start, 1);
  int64_t* me = grown(m_end, 1);
  double* ts = grown(t_start, 1);
  double* te = grown(t_end, 1);
  int64_t* idx = grown(el_stream_idx, k);
  double* et = grown(el_times, k);
  for (size_t j = 0; j < m; ++j) {
    const Pos p = last[j];
    ms[j] = alone ? static_cast<int64_t>(p) : first;
    me[j] = static_cast<int64_t>(p);
    ts[j] = alone ? times[p] : t_first;
    te[j] = times[p];
  }
  for (size_t j = 0; j < m; ++j) {
    for (size_t e = 0; e + 1 < k; ++e) idx[j * k + e] = static_cast<int64_t>(prefix[e]);
    idx[j * k + k - 1] = static_cast<int64_t>(last[j]);
  }
  for (size_t j = 0; j < m; ++j) {
    for (size_t e = 0; e + 1 < k; ++e) et[j * k + e] = times[prefix[e]];
    et[j * k + k - 1] = times[last[j]];
  }
  if (include_tokens) {
    el_token_counts.insert(el_token_counts.end(), m * n_elements, 1u);
    for (const Pos p : last) {
      for (size_t q : prefix) el_tokens.push_back(tokens[q]);
      el_tokens.push_back(tokens[p]);
    }
  }
  if (collector == CollectorStrategy::SumTimes) {
    double before = 0.0;  // the fold of pattern_result: slot order, from 0.0
    for (size_t q : prefix) before += times[q];
    for (const Pos p : last) result_scalars.push_back(before + times[p]);
  } else if (collector == CollectorStrategy::Count) {
    result_scalars.insert(result_scalars.end(), m, static_cast<double>(uint64_t{n_elements}));
  }
}

// Matches preallocated for a stream of n_tokens and a pattern of n_elements:
// max(n_tokens / max(n_elements, 1), 16), at most 1,048,576.
size_t initial_match_capacity(size_t n_tokens, size_t n_elements) noexcept;

// The pattern collector of a complete match: `strategy` folded over the slots
// in order, each with its first token id and its time.
CollectorResult pattern_result(CollectorStrategy strategy, std::span<const ElMatch> slots);

}  // namespace zuldcore
