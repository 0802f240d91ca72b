// Buffer sizing, trivial inputs, the fast path, the chain walk and the
// hand-off to the general search. Tests: tests/cpp/test_matcher.cpp (fast
// path and chain walk against the search, buffer sizing and reuse).
#include "engine/matcher.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

#include "engine/token_table.hpp"
#include "base/ensure.hpp"
#include "base/interrupt.hpp"
#include "base/memory.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zuldcore {

bool uses_fast_path(const Pattern& p) {
  if (!p.ordered || p.midstream) return false;
  if (!(p.min_dt == 0.0 && p.max_dt == INF && p.min_at == -INF && p.max_at == INF)) return false;
  const Bounds defaults;
  for (const PatternElement& el : p.elements) {
    const Event* e = std::get_if<Event>(&el);
    if (e == nullptr || e->block_token) return false;
    if (e->vc.kind != ValueConstraint::Kind::Any || e->block_vc.kind != ValueConstraint::Kind::Any)
      return false;
    if (!(e->bounds.min_dt == defaults.min_dt && e->bounds.max_dt == defaults.max_dt &&
          e->bounds.min_at == defaults.min_at && e->bounds.max_at == defaults.max_at))
      return false;
  }
  return true;
}

bool uses_chain_walk(const Pattern& p) {
  if (!p.ordered || p.midstream || p.elements.empty() || uses_fast_path(p)) return false;
  return std::all_of(p.elements.begin(), p.elements.end(),
                     [](const PatternElement& el) { return std::holds_alternative<Event>(el); });
}

// Chain-walk tables: one step per element, in order.
struct MatchProgram::Chain {
  struct Step {
    TokenId token = 0;
    TokenId block = 0;           // meaningful when has_block
    bool has_block = false;
    bool backtrackable = true;
    bool bounded = false;        // a finite max_at or max_dt: the step can expire on a scan
    ValueConstraint vc, block_vc;
    Bounds bounds;
  };
  std::array<Step, 64> steps{};
  size_t n_steps = 0;
};

// Fast-path tables: each element's token and which position list serves it.
struct MatchProgram::Fast {
  std::array<TokenId, 64> element_token{};
  std::array<uint32_t, 64> element_list{};  // which position list serves the element
  uint64_t backtrackable = 0;
  TokenTable lists;                         // distinct element token -> list number
  size_t n_lists = 0;
};

MatchProgram::MatchProgram(const Engine& engine)
    : engine_(engine) {
  ZC_ENSURE(engine.n_elements == engine.pattern.elements.size() &&
                engine.n_elements <= MAX_PATTERN_ELEMENTS,
            "engine of ", engine.n_elements, " elements for a pattern of ",
            engine.pattern.elements.size());
  compute_element_tokens();
  if (!uses_fast_path(engine.pattern)) {
    search_ = std::make_unique<const SearchProgram>(engine);
    if (uses_chain_walk(engine.pattern)) {
      auto chain = std::make_unique<Chain>();
      for (const PatternElement& el : engine.pattern.elements) {
        const auto& e = std::get<Event>(el);
        Chain::Step& step = chain->steps[chain->n_steps++];
        step.token = e.token;
        step.has_block = e.block_token.has_value();
        step.block = e.block_token.value_or(0);
        step.backtrackable = e.backtrackable;
        step.bounded = e.bounds.max_at < INF || e.bounds.max_dt < INF;
        step.vc = e.vc;
        step.block_vc = e.block_vc;
        step.bounds = e.bounds;
      }
      chain_ = std::move(chain);
    }
    return;
  }
  auto fast = std::make_unique<Fast>();
  std::vector<std::pair<TokenId, uint32_t>> distinct;
  for (size_t i = 0; i < engine.n_elements; ++i) {
    const auto& e = std::get<Event>(engine.pattern.elements[i]);
    fast->element_token[i] = e.token;
    if (e.backtrackable) fast->backtrackable |= uint64_t{1} << i;
    auto same = std::find_if(distinct.begin(), distinct.end(),
                             [&](const auto& d) { return d.first == e.token; });
    if (same == distinct.end()) {
      distinct.emplace_back(e.token, static_cast<uint32_t>(distinct.size()));
      same = distinct.end() - 1;
    }
    fast->element_list[i] = same->second;
  }
  fast->n_lists = distinct.size();
  fast->lists.build(distinct);
  fast_tables_ = std::move(fast);
}

MatchProgram::~MatchProgram() = default;

bool MatchProgram::may_match_in(std::span<const TokenId> tokens) const noexcept {
  const size_t k = element_tokens_.size();
  if (k == 0) return true;
  if (engine_.pattern.ordered) {
    size_t want = 0;  // the next element to find, in order
    for (TokenId tok : tokens)
      if (element_tokens_[want].contains(tok) && ++want == k) return true;
    return false;
  }
  uint64_t missing = k == 64 ? ~uint64_t{0} : (uint64_t{1} << k) - 1;
  for (TokenId tok : tokens) {
    for (uint64_t m = missing; m != 0; m &= m - 1) {
      const auto i = static_cast<size_t>(std::countr_zero(m));
      if (element_tokens_[i].contains(tok)) missing &= ~(uint64_t{1} << i);
    }
    if (missing == 0) return true;
  }
  return false;
}

namespace {

// The tokens that element `el` can match (a sequence: its first tokens), or
// nothing when it can match tokens the pattern does not fix.
std::optional<std::vector<TokenId>> fixed_tokens_of(const PatternElement& el) {
  if (const auto* e = std::get_if<Event>(&el)) return std::vector<TokenId>{e->token};
  if (const auto* e = std::get_if<EventSet>(&el)) return e->match_tokens;
  if (const auto* e = std::get_if<EventSeq>(&el)) return e->match_trie.first_tokens();
  if (const auto* e = std::get_if<DynamicEventSet>(&el)) {
    if (e->match_from_last) return std::nullopt;
    return e->static_match_tokens;
  }
  return std::nullopt;
}

}  // namespace

void MatchProgram::compute_element_tokens() {
  for (const PatternElement& el : engine_.pattern.elements) {
    std::optional<std::vector<TokenId>> tokens = fixed_tokens_of(el);
    if (!tokens) continue;
    TokenFlags set;
    set.build(*tokens);
    element_tokens_.push_back(std::move(set));
  }
}

struct StreamMatcher::Impl {
  explicit Impl(const MatchProgram& program) : program(program), engine_(program.engine()) {
    if (program.fast_tables_) {
      const MatchProgram::Fast& f = *program.fast_tables_;
      element_token_ = f.element_token;
      element_list_ = f.element_list;
      backtrackable_ = f.backtrackable;
      n_lists_ = f.n_lists;
    }
  }

  void match(std::span<const TokenId> tokens, std::span<const double> times,
             std::span<const double> values, bool first_only, bool include_tokens,
             MatchBuffer& buffer);
  void match_each(std::span<const TokenId> tokens, std::span<const double> times,
                  std::span<const double> values, MatchSink& sink);
  bool first_match(std::span<const TokenId> tokens, std::span<const double> times,
                   std::span<const double> values, FirstMatch& out);

  const MatchProgram& program;
  std::unique_ptr<const MatchProgram> owned;  // when built from an Engine

 private:
  void search(std::span<const TokenId> tokens, std::span<const double> times,
              std::span<const double> values, bool first_only, MatchBuffer& buffer) {
    if (!searcher_) searcher_.emplace(*program.search_);
    searcher_->run(tokens, times, values, first_only, buffer);
  }
  bool fast_first(std::span<const TokenId> tokens);
  template <class OnMatch>
  bool chain_walk(std::span<const TokenId> tokens, std::span<const double> times,
                  std::span<const double> values, OnMatch&& on_match);
  template <class Pos, class Out>
  void fast_all(std::span<const TokenId> tokens, std::span<const double> times,
                std::vector<Pos>& positions, Out& out);
  template <class Pos>
  size_t count_fast(const std::vector<Pos>& positions);
  void emit_fast(std::span<const TokenId> tokens, std::span<const double> times, MatchBuffer& buffer);
  void emit_fast(std::span<const TokenId>, std::span<const double> times, MatchSink& sink) {
    sink.take(at_[0], at_[engine_.n_elements - 1], times[at_[0]]);
  }
  uint32_t list_of_token(TokenId tok) const { return program.fast_tables_->lists.find(tok); }

  const Engine& engine_;
  std::optional<Searcher> searcher_;  // made on first use, for patterns off the fast path

  // Fast path: copies of the program's small per-element tables, and the
  // element tokens' position lists of the current stream.
  std::array<TokenId, 64> element_token_{};
  std::array<uint32_t, 64> element_list_{};
  uint64_t backtrackable_ = 0;
  size_t n_lists_ = 0;
  std::vector<size_t> list_begin_;     // list i is positions[list_begin_[i] .. list_begin_[i + 1])
  std::vector<size_t> fill_;           // next free entry of each list while filling
  std::vector<uint32_t> positions32_;  // streams of fewer than 2^32 positions
  std::vector<uint64_t> positions64_;
  std::array<size_t, 64> at_{};        // the current position of each element
  std::array<size_t, 64> cursor_{};    // per depth: next index into the element's list
  std::array<size_t, 64> cursor_end_{};
  std::array<size_t, 64> reach_end_{};  // per depth: end of the entries from which a match can follow
  std::vector<uint64_t> suffix_, next_suffix_;  // count_fast: completions per list entry

  // Chain walk: per depth, where the scan for that step resumes and the
  // partial match it extends (the previous step's time, the first step's
  // time, the largest time so far).
  struct ChainFrame {
    size_t from;
    double prev, t_min, t_max;
  };
  std::array<ChainFrame, 64> frames_{};
  MatchBuffer first_buffer_;  // first_match through the general search
};

namespace {
[[noreturn]] void lengths_differ(size_t n, std::span<const double> times, std::span<const double> values) {
  ZC_ENSURE(times.size() == n, "times has length ", times.size(), " but tokens has length ", n);
  throw Internal(cat("values has length ", values.size(), " but tokens has length ", n));
}
inline void check_lengths(size_t n, std::span<const double> times, std::span<const double> values) {
  if (times.size() != n || (!values.empty() && values.size() != n)) [[unlikely]]
    lengths_differ(n, times, values);
}

// The first position from p on whose token is a or b, or n: four tokens per
// compare where the processor has vector compares, since most positions of
// a long stream hold neither.
inline size_t find_token(const TokenId* tokens, size_t p, size_t n, TokenId a, TokenId b) noexcept {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi32(static_cast<int>(a));
  const __m128i vb = _mm_set1_epi32(static_cast<int>(b));
  auto hits = [&](size_t q) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tokens + q));
    return _mm_or_si128(_mm_cmpeq_epi32(x, va), _mm_cmpeq_epi32(x, vb));
  };
  auto first_of = [](__m128i m) { return _mm_movemask_ps(_mm_castsi128_ps(m)); };
  for (; p + 8 <= n; p += 8) {
    if (first_of(_mm_or_si128(hits(p), hits(p + 4))) == 0) continue;
    if (const int m = first_of(hits(p))) return p + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(m)));
    return p + 4 + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(first_of(hits(p + 4)))));
  }
  if (p + 4 <= n) {
    if (const int m = first_of(hits(p))) return p + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(m)));
    p += 4;
  }
#endif
  for (; p < n; ++p)
    if (tokens[p] == a || tokens[p] == b) return p;
  return n;
}

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t NOT_YET = std::numeric_limits<size_t>::max();

// The chain walk's allowance, in positions visited: a few passes over the
// stream, and a few per match it finds. Beyond it a stream goes to the
// general search, whose pruning keeps dead ends from costing quadratic work.
constexpr size_t CHAIN_PASSES = 4, CHAIN_SLACK = 64, CHAIN_PER_MATCH = 4;
}  // namespace

void StreamMatcher::Impl::match(std::span<const TokenId> tokens, std::span<const double> times,
                                std::span<const double> values, bool first_only,
                                bool include_tokens, MatchBuffer& buffer) {
  const size_t n = tokens.size();
  check_lengths(n, times, values);
  const size_t k = engine_.n_elements;
  buffer.reset(k, include_tokens, initial_match_capacity(n, k));
  if (n == 0 || k == 0) return;
  if (program.chain_) {
    const CollectorStrategy collector = engine_.pattern.collector;
    const bool done = chain_walk(tokens, times, values, [&](double t_min, double t_max) {
      buffer.emit_single_tokens(std::span<const size_t>(at_.data(), k), tokens, times, collector, t_min, t_max);
      return first_only;
    });
    if (done) return;
    buffer.reset(k, include_tokens, initial_match_capacity(n, k));  // what the walk found goes
  }
  if (!program.fast_tables_) {
    search(tokens, times, values, first_only, buffer);
    return;
  }
  if (first_only) {
    if (fast_first(tokens)) emit_fast(tokens, times, buffer);
  } else if (n <= std::numeric_limits<uint32_t>::max()) {
    fast_all(tokens, times, positions32_, buffer);
  } else {
    fast_all(tokens, times, positions64_, buffer);
  }
}

void StreamMatcher::Impl::match_each(std::span<const TokenId> tokens, std::span<const double> times,
                                     std::span<const double> values, MatchSink& sink) {
  const size_t n = tokens.size();
  check_lengths(n, times, values);
  if (n == 0 || engine_.n_elements == 0) return;
  if (!program.fast_tables_) {
    // Not the chain walk: a sink cannot take back what it was given when the
    // walk hands a stream over to the search.
    if (!searcher_) searcher_.emplace(*program.search_);
    searcher_->run(tokens, times, values, sink);
  } else if (n <= std::numeric_limits<uint32_t>::max()) {
    fast_all(tokens, times, positions32_, sink);
  } else {
    fast_all(tokens, times, positions64_, sink);
  }
}

void StreamMatcher::Impl::emit_fast(std::span<const TokenId> tokens, std::span<const double> times,
                                    MatchBuffer& buffer) {
  const size_t k = engine_.n_elements;
  buffer.emit_single_tokens(std::span<const size_t>(at_.data(), k), tokens, times, engine_.pattern.collector,
                            times[at_[0]], times[at_[k - 1]]);
}

bool StreamMatcher::Impl::first_match(std::span<const TokenId> tokens, std::span<const double> times,
                                      std::span<const double> values, FirstMatch& out) {
  const size_t n = tokens.size();
  check_lengths(n, times, values);
  const size_t k = engine_.n_elements;
  if (n == 0 || k == 0) return false;
  if (program.fast_tables_) {
    if (!fast_first(tokens)) return false;
    out.m_start = static_cast<int64_t>(at_[0]);
    out.m_end = static_cast<int64_t>(at_[k - 1]);
    return true;
  }
  if (program.chain_) {
    bool found = false;
    const bool done = chain_walk(tokens, times, values, [&](double, double) {
      out.m_start = static_cast<int64_t>(at_[0]);
      out.m_end = static_cast<int64_t>(at_[k - 1]);
      return found = true;
    });
    if (done) return found;
  } else if (!program.may_match_in(tokens)) {
    return false;
  }
  first_buffer_.reset(k, false, 1);
  search(tokens, times, values, true, first_buffer_);
  if (first_buffer_.n_matches() == 0) return false;
  out.m_start = first_buffer_.m_start[0];
  out.m_end = first_buffer_.m_end[0];
  if (!first_buffer_.mid_scalars.empty())
    out.mid = first_buffer_.mid_scalars[0];
  else if (!first_buffer_.mid_lists.empty())
    out.mid = static_cast<double>(first_buffer_.mid_lists[0].size());
  return true;
}

// The general search for an ordered pattern of Event elements, without its
// stack, paths and tables: depth d scans for step d from frames_[d].from,
// exactly as a partial match's scan does (Searcher::Impl::scan), and a hit
// either completes a match or starts the scan for the next step; a scan that
// ends without a hit resumes the one below it after its hit (unless that
// step is not backtrackable). Depth first, earliest positions first: the
// search's order. What the search does at a position whose token the step
// neither matches nor is blocked by comes down to the pattern's max_dt test,
// and from where times never decrease on (`settled`) even that one is
// decided at the next relevant position, so such positions are jumped over.
// The early stops (times past a bound where they cannot come back) change
// nothing but the work, as in the search. `on_match(t_min, t_max)` receives
// each match (positions in at_) and returns true to stop. Returns false,
// having given up, when the walk exceeds its allowance of positions.
// Pinned by test_matcher.cpp (matcher_chain_walk_equals_search).
template <class OnMatch>
bool StreamMatcher::Impl::chain_walk(std::span<const TokenId> tokens, std::span<const double> times,
                                     std::span<const double> values, OnMatch&& on_match) {
  const MatchProgram::Chain& chain = *program.chain_;
  const Pattern& pattern = engine_.pattern;
  const size_t n = tokens.size();
  const size_t k = chain.n_steps;
  const bool pattern_gap = pattern.max_dt < INF;  // t - t_min > max_dt can end any later scan
  size_t settled = NOT_YET;
  auto settled_from = [&] {
    if (settled == NOT_YET) settled = non_decreasing_from(times);
    return settled;
  };
  size_t work = 0, matches = 0;
  const size_t allowance = CHAIN_PASSES * n + CHAIN_SLACK;
  InterruptCheck interrupt;

  size_t d = 0;
  frames_[0] = {0, NaN, INF, -INF};
  for (;;) {
    interrupt.tick();
    const MatchProgram::Chain::Step& s = chain.steps[d];
    ChainFrame& f = frames_[d];
    const TokenId other = s.has_block ? s.block : s.token;
    bool hit = false;
    size_t p = f.from;
    while (p < n) {
      const size_t q = find_token(tokens.data(), p, n, s.token, other);
      work += q - p + 1;
      if (work > allowance + CHAIN_PER_MATCH * k * matches) return false;
      if (q == n) break;
      if (d > 0 && pattern_gap) {
        // Where times may still decrease, a skipped position can end the scan.
        bool gap = false;
        for (size_t r = p, end = std::min(q, settled_from()); r < end && !gap; ++r)
          gap = times[r] - f.t_min > pattern.max_dt;
        if (gap) break;
      }
      p = q;
      const double t = times[p];
      const double v = values.empty() ? NaN : values[p];
      const double dt = d > 0 ? t - f.prev : 0.0;
      if (d > 0 && t - f.t_min > pattern.max_dt) break;
      if ((pattern.max_at < INF || s.bounded) && p >= settled_from()) {
        if (t > pattern.max_at) break;
        if (s.bounded && (s.bounds.max_at < t || s.bounds.max_dt < dt)) break;
      }
      const TokenId tok = tokens[p];
      if (s.has_block && tok == s.block && s.block_vc.passes(v)) break;  // a block wins at its position
      if (tok == s.token && s.vc.passes(v) && s.bounds.passes(t, dt)) {
        hit = true;
        break;
      }
      ++p;
    }
    if (!hit) {
      if (d == 0) return true;
      --d;
      continue;
    }
    at_[d] = p;
    const double t = times[p];
    const ChainFrame next{p + 1, t, d == 0 ? t : f.t_min, std::isnan(t) ? f.t_max : std::max(f.t_max, t)};
    f.from = s.backtrackable ? p + 1 : n;
    if (d + 1 < k) {
      frames_[++d] = next;
    } else if (pattern.accepts_span(next.t_min, next.t_max)) {
      ++matches;
      if (on_match(next.t_min, next.t_max)) return true;
    }
  }
}

// The number of matches fast_all will emit, from the position lists alone,
// or COUNT_UNKNOWN when it reaches COUNT_UNKNOWN. Walking the elements from
// the last to the first, suffix_[j] holds the completions of the elements
// from d on when element d takes any of the entries j, j + 1, ... of its list
// (so entry j alone accounts for suffix_[j] - suffix_[j + 1]); element d - 1
// at position p continues at the first entry of element d's list after p:
// with all of them if element d is backtrackable, else with that entry only.
// Lists are sorted, so one merge per element finds those entries.
// COUNT_UNKNOWN times 64 elements still fits a reservation's size_t (a
// request that large fails as bad_alloc, as growing to it would).
constexpr uint64_t COUNT_UNKNOWN = uint64_t{1} << 34;

template <class Pos>
size_t StreamMatcher::Impl::count_fast(const std::vector<Pos>& positions) {
  const size_t k = engine_.n_elements;
  auto list = [&](size_t d) {
    const size_t l = element_list_[d];
    return std::span<const Pos>(positions.data() + list_begin_[l], list_begin_[l + 1] - list_begin_[l]);
  };
  // Saturating sum: both operands are at most COUNT_UNKNOWN, so it cannot wrap.
  auto add = [](uint64_t a, uint64_t b) { return std::min(a + b, COUNT_UNKNOWN); };
  {
    const size_t m = list(k - 1).size();
    suffix_.resize(m + 1);
    for (size_t j = 0; j <= m; ++j) suffix_[j] = m - j;
  }
  for (size_t d = k - 1; d-- > 0;) {
    const std::span<const Pos> here = list(d), next = list(d + 1);
    const bool all = ((backtrackable_ >> (d + 1)) & 1) != 0;
    next_suffix_.resize(here.size() + 1);
    next_suffix_[here.size()] = 0;
    size_t u = next.size();  // first entry of `next` after here[j], found walking j downwards
    for (size_t j = here.size(); j-- > 0;) {
      while (u > 0 && next[u - 1] > here[j]) --u;
      const uint64_t c = u == next.size() ? 0 : all ? suffix_[u] : suffix_[u] - suffix_[u + 1];
      next_suffix_[j] = add(next_suffix_[j + 1], c);
    }
    suffix_.swap(next_suffix_);
    if (suffix_[0] >= COUNT_UNKNOWN) return COUNT_UNKNOWN;
  }
  if (suffix_.size() == 1) return 0;
  return (backtrackable_ & 1) != 0 ? suffix_[0] : suffix_[0] - suffix_[1];
}

// The first match in the search order takes every element at its earliest
// position after the previous one, and when that greedy walk runs out of
// stream no match exists at all (any match's positions are at or after the
// greedy ones). So one forward pass answers first_only, however long the
// stream after the match. The positions go to at_.
bool StreamMatcher::Impl::fast_first(std::span<const TokenId> tokens) {
  const size_t k = engine_.n_elements;
  const size_t n = tokens.size();
  size_t p = 0;
  for (size_t want = 0; want < k; ++want) {
    const TokenId tok = element_token_[want];
    p = find_token(tokens.data(), p, n, tok, tok);
    if (p == n) return false;
    at_[want] = p++;
  }
  return true;
}

// Depth-first over the elements' position lists: at depth d the cursor walks
// element d's positions after element d - 1's; a non-backtrackable element
// takes only the first of them. Gives the general search's order: earliest
// positions first, the earlier element varying slowest.
template <class Pos, class Out>
void StreamMatcher::Impl::fast_all(std::span<const TokenId> tokens, std::span<const double> times,
                                   std::vector<Pos>& positions, Out& out) {
  const size_t k = engine_.n_elements;
  const size_t n = tokens.size();

  // Position lists of the distinct element tokens, one counting pass and one
  // filling pass; tokens no element uses are skipped.
  list_begin_.assign(n_lists_ + 1, 0);
  for (size_t p = 0; p < n; ++p) {
    const uint32_t l = list_of_token(tokens[p]);
    if (l != TokenTable::MISSING) ++list_begin_[l + 1];
  }
  for (size_t l = 0; l < n_lists_; ++l) list_begin_[l + 1] += list_begin_[l];
  positions.resize(list_begin_[n_lists_]);
  fill_.assign(list_begin_.begin(), list_begin_.end() - 1);
  for (size_t p = 0; p < n; ++p) {
    const uint32_t l = list_of_token(tokens[p]);
    if (l != TokenTable::MISSING) positions[fill_[l]++] = static_cast<Pos>(p);
  }

  // Every column at its final size up front: growing them by doubling
  // costs more than the emission itself when there are millions of matches.
  // A sink keeps no columns.
  const size_t count = count_fast(positions);
  if (count == 0) return;
  if constexpr (std::is_same_v<Out, MatchBuffer>)
    if (count < COUNT_UNKNOWN) out.reserve_matches(count, engine_.pattern.collector);

  // The walk never descends where no match can follow: reach_end_[d] ends
  // element d's entries at the latest position that still leaves room for
  // elements d + 1 .. after it (each element's latest position before its
  // successor's latest). A match exists, so every element has one.
  auto list_of = [&](size_t d) { return element_list_[d]; };
  {
    Pos bound = static_cast<Pos>(n);
    for (size_t d = k; d-- > 0;) {
      const Pos* begin = positions.data() + list_begin_[list_of(d)];
      const Pos* end = positions.data() + list_begin_[list_of(d) + 1];
      const Pos* last = std::lower_bound(begin, end, bound);  // first entry at or after bound
      ZC_ENSURE(last != begin, "fast path: element ", d, " has no position although a match exists");
      reach_end_[d] = static_cast<size_t>(last - positions.data());
      bound = *(last - 1);
    }
  }
  size_t d = 0;
  cursor_[0] = list_begin_[list_of(0)];
  cursor_end_[0] = reach_end_[0];
  InterruptCheck interrupt;
  for (;;) {
    interrupt.tick();
    if (cursor_[d] == cursor_end_[d]) {
      if (d == 0) return;
      --d;
      continue;
    }
    if constexpr (std::is_same_v<Out, MatchBuffer>) {
      // The last element's entries after the earlier ones' positions: one
      // match each, all sharing those positions, written column by column.
      if (d + 1 == k && ((backtrackable_ >> d) & 1) != 0) {
        const std::span<const Pos> run(positions.data() + cursor_[d], cursor_end_[d] - cursor_[d]);
        out.emit_single_token_run(std::span<const size_t>(at_.data(), k - 1), run, tokens, times,
                                  engine_.pattern.collector);
        cursor_[d] = cursor_end_[d];
        continue;
      }
    }
    const size_t p = positions[cursor_[d]];
    cursor_[d] = (backtrackable_ >> d) & 1 ? cursor_[d] + 1 : cursor_end_[d];
    at_[d] = p;
    if (d + 1 == k) {
      emit_fast(tokens, times, out);
      continue;
    }
    const size_t l = list_of(d + 1);
    const Pos* begin = positions.data() + list_begin_[l];
    const Pos* end = positions.data() + list_begin_[l + 1];
    cursor_[d + 1] = static_cast<size_t>(std::upper_bound(begin, end, static_cast<Pos>(p)) - positions.data());
    cursor_end_[d + 1] = std::max(cursor_[d + 1], reach_end_[d + 1]);
    ++d;
  }
}

StreamMatcher::StreamMatcher(const MatchProgram& program) : impl_(std::make_unique<Impl>(program)) {}

StreamMatcher::StreamMatcher(const Engine& engine) {
  auto program = std::make_unique<const MatchProgram>(engine);
  impl_ = std::make_unique<Impl>(*program);
  impl_->owned = std::move(program);
}
StreamMatcher::~StreamMatcher() = default;
StreamMatcher::StreamMatcher(StreamMatcher&&) noexcept = default;
StreamMatcher& StreamMatcher::operator=(StreamMatcher&&) noexcept = default;

void StreamMatcher::match(std::span<const TokenId> tokens, std::span<const double> times,
                          std::span<const double> values, bool first_only, bool include_tokens,
                          MatchBuffer& buffer) {
  impl_->match(tokens, times, values, first_only, include_tokens, buffer);
}

void StreamMatcher::match_each(std::span<const TokenId> tokens, std::span<const double> times,
                               std::span<const double> values, MatchSink& sink) {
  impl_->match_each(tokens, times, values, sink);
}

bool StreamMatcher::first_match(std::span<const TokenId> tokens, std::span<const double> times,
                                std::span<const double> values, FirstMatch& out) {
  return impl_->first_match(tokens, times, values, out);
}

MatchBuffer match_stream(const Engine& engine, std::span<const TokenId> tokens,
                         std::span<const double> times, std::span<const double> values,
                         bool first_only, bool include_tokens) {
  MatchBuffer buffer;
  StreamMatcher(engine).match(tokens, times, values, first_only, include_tokens, buffer);
  return buffer;
}

CompiledPattern::CompiledPattern(Pattern pattern) : pattern_(std::move(pattern)) {
  Expected<Engine> engine = make_engine(pattern_);
  if (engine)
    program_ = std::make_unique<const MatchProgram>(engine.value());
  else
    error_ = engine.message();
}

BatchResult match_batch(const MatchProgram& program, std::span<const TokenId> tokens,
                        std::span<const double> times, std::span<const double> values,
                        std::span<const int64_t> offsets) {
  ZC_ENSURE(times.size() == tokens.size() && (values.empty() || values.size() == tokens.size()),
            "match_batch: stream columns of different lengths");
  const size_t n_docs = offsets.empty() ? 0 : offsets.size() - 1;
  const bool has_mid = program.engine().pattern.midstream.has_value();
  BatchResult out;
  reserve_large(out.m_start, n_docs);  // in huge pages before the first write
  reserve_large(out.m_end, n_docs);
  out.m_start.assign(n_docs, -1);
  out.m_end.assign(n_docs, -1);
  out.mid.assign(has_mid ? n_docs : 0, std::numeric_limits<double>::quiet_NaN());
  StreamMatcher matcher(program);
  InterruptCheck interrupt;
  // A document's times are read only where its tokens hit, too sparsely for
  // the processor to fetch them ahead: ask for those of a later document now.
  constexpr size_t AHEAD = 16;
  auto prefetch_times = [&](size_t k) {
    const auto s = static_cast<uint64_t>(offsets[k]);
    const auto e = static_cast<uint64_t>(offsets[k + 1]);
    if (!(s < e && e <= times.size())) return;
    __builtin_prefetch(times.data() + s);
    __builtin_prefetch(times.data() + e - 1);
  };
  for (size_t k = 0; k < n_docs; ++k) {
    interrupt.tick();
    if (k + AHEAD < n_docs) prefetch_times(k + AHEAD);
    // Offsets are read as unsigned: a negative one is a huge one, and skips.
    const auto s = static_cast<uint64_t>(offsets[k]);
    const auto e = static_cast<uint64_t>(offsets[k + 1]);
    if (!(s < e && e <= tokens.size())) continue;
    FirstMatch first;
    if (!matcher.first_match(tokens.subspan(s, e - s), times.subspan(s, e - s),
                             values.empty() ? values : values.subspan(s, e - s), first))
      continue;
    out.m_start[k] = first.m_start;
    out.m_end[k] = first.m_end;
    if (has_mid) out.mid[k] = first.mid;
  }
  return out;
}

MatchBuffer match_stream(const Engine& engine, const Stream& stream, bool first_only,
                         bool include_tokens) {
  std::span<const double> values;
  if (stream.has_values) values = stream.values;
  return match_stream(engine, stream.tokens, stream.times, values, first_only, include_tokens);
}

}  // namespace zuldcore
