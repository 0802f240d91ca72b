// Collector folding, path cells and the match columns. Tests:
// tests/cpp/test_match_buffer.cpp.
#include "engine/match_buffer.hpp"

#include <algorithm>
#include <limits>

#include "base/ensure.hpp"
#include "base/memory.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- collectors

CollectorResult initial_result(CollectorStrategy strategy) {
  switch (strategy) {
    case CollectorStrategy::None:
      return std::monostate{};
    case CollectorStrategy::SumTimes:
      return 0.0;
    case CollectorStrategy::Count:
      return uint64_t{0};
    case CollectorStrategy::CollectTokens:
      return std::vector<TokenId>{};
    case CollectorStrategy::CollectTimes:
      return std::vector<double>{};
    case CollectorStrategy::CollectPairs:
      return std::vector<CollectedPair>{};
  }
  ZC_ENSURE(false, "collector strategy ", static_cast<int>(strategy), " out of range");
  return std::monostate{};
}

void accumulate(CollectorStrategy strategy, CollectorResult& value, TokenId token, double time) {
  if (strategy == CollectorStrategy::None) {
    value = std::monostate{};
    return;
  }
  // A value of another strategy is left as it is.
  if (static_cast<size_t>(strategy) != value.index()) return;
  switch (strategy) {
    case CollectorStrategy::None:
      break;
    case CollectorStrategy::SumTimes:
      std::get<1>(value) += time;
      break;
    case CollectorStrategy::Count:
      std::get<2>(value) += 1;
      break;
    case CollectorStrategy::CollectTokens:
      std::get<3>(value).push_back(token);
      break;
    case CollectorStrategy::CollectTimes:
      std::get<4>(value).push_back(time);
      break;
    case CollectorStrategy::CollectPairs:
      std::get<5>(value).emplace_back(token, time);
      break;
  }
}

CollectorResult update(CollectorStrategy strategy, const CollectorResult& previous, TokenId token,
                       double time) {
  CollectorResult next = previous;
  accumulate(strategy, next, token, time);
  return next;
}

void push_collector_result(std::vector<double>& scalars,
                           std::vector<std::vector<CollectedPair>>& lists,
                           const CollectorResult& result) {
  switch (strategy_of(result)) {
    case CollectorStrategy::None:
      return;
    case CollectorStrategy::SumTimes:
      scalars.push_back(std::get<1>(result));
      return;
    case CollectorStrategy::Count:
      scalars.push_back(static_cast<double>(std::get<2>(result)));
      return;
    case CollectorStrategy::CollectTokens: {
      const auto& tokens = std::get<3>(result);
      std::vector<CollectedPair> pairs;
      pairs.reserve(tokens.size());
      for (TokenId token : tokens) pairs.emplace_back(token, 0.0);
      lists.push_back(std::move(pairs));
      return;
    }
    case CollectorStrategy::CollectTimes: {
      const auto& times = std::get<4>(result);
      std::vector<CollectedPair> pairs;
      pairs.reserve(times.size());
      for (double time : times) pairs.emplace_back(TokenId{0}, time);
      lists.push_back(std::move(pairs));
      return;
    }
    case CollectorStrategy::CollectPairs:
      lists.push_back(std::get<5>(result));
      return;
  }
}

CollectorResult pattern_result(CollectorStrategy strategy, std::span<const ElMatch> slots) {
  CollectorResult r = initial_result(strategy);
  if (strategy == CollectorStrategy::None) return r;
  for (const ElMatch& s : slots) accumulate(strategy, r, s.tokens.empty() ? 0 : s.tokens[0], s.time);
  return r;
}

// ---------------------------------------------------------------- paths

uint32_t PathArena::push(uint32_t next, size_t stream_idx, uint32_t token_count, double time) {
  uint32_t cell;
  if (free_ != NONE) {
    cell = free_;
    free_ = cells_[cell].next;
  } else {
    ZC_ENSURE(cells_.size() < NONE, "more than ", NONE, " live path cells");
    cells_.emplace_back();
    cell = static_cast<uint32_t>(cells_.size() - 1);
  }
  retain(next);
  cells_[cell] = ConsCell{stream_idx, time, token_count, next, 1};
  ++live_;
  return cell;
}

void PathArena::release(uint32_t cell) noexcept {
  while (cell != NONE) {
    ConsCell& c = cells_[cell];
    if (--c.refs != 0) return;
    const uint32_t next = c.next;
    c.next = free_;
    free_ = cell;
    --live_;
    cell = next;
  }
}

// ---------------------------------------------------------------- buffer

size_t initial_match_capacity(size_t n_tokens, size_t n_elements) noexcept {
  constexpr size_t MIN_MATCHES = 16, MAX_MATCHES = 1'048'576;
  const size_t q = n_tokens / std::max<size_t>(n_elements, 1);
  return std::min(std::max(q, MIN_MATCHES), MAX_MATCHES);
}

MatchBuffer::MatchBuffer(size_t n_elements, bool include_tokens, size_t capacity) {
  reset(n_elements, include_tokens, capacity);
}

void MatchBuffer::reset(size_t n, bool with_tokens, size_t capacity) {
  m_start.clear();
  m_end.clear();
  t_start.clear();
  t_end.clear();
  el_stream_idx.clear();
  el_times.clear();
  el_tokens.clear();
  el_token_counts.clear();
  result_scalars.clear();
  result_lists.clear();
  mid_scalars.clear();
  mid_lists.clear();
  n_elements = n;
  include_tokens = with_tokens;

  // reserve() never shrinks, so a reused buffer keeps its larger storage.
  reserve_matches(capacity);
}

void MatchBuffer::reserve_matches(size_t count, CollectorStrategy collector) {
  reserve_large(m_start, count);
  reserve_large(m_end, count);
  reserve_large(t_start, count);
  reserve_large(t_end, count);
  reserve_large(el_stream_idx, count * n_elements);
  reserve_large(el_times, count * n_elements);
  if (include_tokens) {
    reserve_large(el_tokens, count * n_elements);
    reserve_large(el_token_counts, count * n_elements);
  }
  if (collector == CollectorStrategy::SumTimes || collector == CollectorStrategy::Count)
    reserve_large(result_scalars, count);
}

// Doubles the room of the per-match and per-slot columns together, through
// reserve_large, so that a buffer growing into millions of matches gets huge
// pages instead of one page fault per 4 KiB of every column.
static void grow_if_full(MatchBuffer& b) {
  if (b.m_start.size() < b.m_start.capacity()) return;
  b.reserve_matches(std::max<size_t>(16, 2 * b.m_start.capacity()));
}

void MatchBuffer::emit(size_t first, size_t last, double t_first, double t_last,
                       std::span<const ElMatch> slots, const CollectorResult& result,
                       const CollectorResult& mid_result) {
  ZC_ENSURE(slots.size() == n_elements, "a match of ", slots.size(), " slots for a pattern of ",
            n_elements, " elements");
  grow_if_full(*this);
  m_start.push_back(static_cast<int64_t>(first));
  m_end.push_back(static_cast<int64_t>(last));
  t_start.push_back(t_first);
  t_end.push_back(t_last);
  for (const ElMatch& s : slots) el_stream_idx.push_back(static_cast<int64_t>(s.stream_idx));
  for (const ElMatch& s : slots) el_times.push_back(s.time);
  if (include_tokens) {
    for (const ElMatch& s : slots) {
      el_token_counts.push_back(static_cast<uint32_t>(s.tokens.size()));
      el_tokens.insert(el_tokens.end(), s.tokens.begin(), s.tokens.end());
    }
  }
  push_collector_result(result_scalars, result_lists, result);
  push_collector_result(mid_scalars, mid_lists, mid_result);
}

void MatchBuffer::emit_single_tokens(std::span<const size_t> at, std::span<const TokenId> tokens,
                                     std::span<const double> times, CollectorStrategy collector,
                                     double t_first, double t_last) {
  const size_t k = at.size();
  ZC_ENSURE(k == n_elements && k > 0, "a match of ", k, " slots for a pattern of ", n_elements,
            " elements");
  grow_if_full(*this);
  m_start.push_back(static_cast<int64_t>(at[0]));
  m_end.push_back(static_cast<int64_t>(at[k - 1]));
  t_start.push_back(t_first);
  t_end.push_back(t_last);
  for (size_t p : at) el_stream_idx.push_back(static_cast<int64_t>(p));
  for (size_t p : at) el_times.push_back(times[p]);
  if (include_tokens) {
    for (size_t p : at) {
      el_token_counts.push_back(1);
      el_tokens.push_back(tokens[p]);
    }
  }
  switch (collector) {
    case CollectorStrategy::None:
      return;
    case CollectorStrategy::SumTimes: {
      double sum = 0.0;  // the fold of pattern_result: slot order, from 0.0
      for (size_t p : at) sum += times[p];
      result_scalars.push_back(sum);
      return;
    }
    case CollectorStrategy::Count:
      result_scalars.push_back(static_cast<double>(uint64_t{k}));
      return;
    case CollectorStrategy::CollectTokens:
    case CollectorStrategy::CollectTimes:
    case CollectorStrategy::CollectPairs: {
      std::vector<CollectedPair> pairs;
      pairs.reserve(k);
      for (size_t p : at) {
        if (collector == CollectorStrategy::CollectTokens) pairs.emplace_back(tokens[p], 0.0);
        else if (collector == CollectorStrategy::CollectTimes) pairs.emplace_back(TokenId{0}, times[p]);
        else pairs.emplace_back(tokens[p], times[p]);
      }
      result_lists.push_back(std::move(pairs));
      return;
    }
  }
}

}  // namespace zuldcore
