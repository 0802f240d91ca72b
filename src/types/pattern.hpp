// The pattern model: elements with their value, timing and blocking rules,
// the pattern-wide bounds and collector, and the optional midstream
// collector, as plain values whose copies are deep. The builders' rules are
// types/builders.hpp, argument conversion is the Python face's, and the
// search lives in src/engine. This file holds only the model and small pure
// helpers on it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

#include "intern/interner.hpp"
#include "base/expected.hpp"
#include "types/trie.hpp"
#include "types/value_constraint.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- collectors

// What a collector computes over a match; the order is the stored value.
enum class CollectorStrategy : uint8_t {
  None = 0,
  SumTimes = 1,
  Count = 2,
  CollectTokens = 3,
  CollectTimes = 4,
  CollectPairs = 5,
};
inline constexpr size_t N_COLLECTORS = 6;

// The exact, case-sensitive Python name ("none", "sum_times", ...), or
// nothing for any other text.
std::optional<CollectorStrategy> parse_collector(std::string_view name) noexcept;
// parse_collector, failing with "Unknown collector '{name}'. Choose: none,
// sum_times, count, collect_tokens, collect_times, collect_pairs".
Expected<CollectorStrategy> collector_from_name(std::string_view name);
// "None", "SumTimes", ... as __repr__ prints them.
std::string_view collector_variant_name(CollectorStrategy c) noexcept;
// "none", "sum_times", ... as Python callers spell them.
std::string_view collector_python_name(CollectorStrategy c) noexcept;

// ---------------------------------------------------------------- elements

// Timing bounds of an element, all inclusive. t is the candidate event's own
// time, dt its distance from the partial match's reference time (0 for the
// first element, so min_dt > 0 keeps a first element from ever matching).
struct Bounds {
  double min_dt = 0.0;
  double max_dt = INF;
  double min_at = -INF;
  double max_at = INF;

  // Every comparison with NaN fails.
  bool passes(double t, double dt) const noexcept {
    return min_dt <= dt && dt <= max_dt && min_at <= t && t <= max_at;
  }
};

// An array of constraints runs parallel to an array of token ids and is
// either empty (every token unconstrained) or as long as its tokens; a
// position without an entry is Any. This reads position i by that rule.
inline ValueConstraint constraint_at(std::span<const ValueConstraint> vcs, size_t i) noexcept {
  if (i < vcs.size()) return vcs[i];
  return ValueConstraint::any();
}

// One token: `token` whose value passes `vc`.
struct Event {
  TokenId token = 0;
  ValueConstraint vc;
  std::optional<TokenId> block_token;
  ValueConstraint block_vc;  // stored even without block_token, where it has no effect
  Bounds bounds;
  bool backtrackable = true;
};

// One of `match_tokens` (duplicates kept), its value passing the parallel
// entry of `vcs`.
struct EventSet {
  std::vector<TokenId> match_tokens;
  std::vector<ValueConstraint> vcs;
  std::vector<TokenId> block_tokens;
  std::vector<ValueConstraint> block_vcs;
  Bounds bounds;
  bool backtrackable = true;
};

// A run of same-timestamp events spelling a sequence of `match_trie`, whose
// edges carry the per-position constraints.
struct EventSeq {
  Trie match_trie;
  std::optional<Trie> block_trie;
  Bounds bounds;
  bool backtrackable = true;
};

// Any event inside the timing bounds.
struct TimeEvent {
  std::vector<TokenId> block_tokens;
  std::vector<ValueConstraint> block_vcs;
  Bounds bounds;
  bool backtrackable = true;
};

// Any event with dt >= 0 inside a window placed relative to the reference
// time r (see `passes`).
struct DynamicTimeEvent {
  std::vector<TokenId> block_tokens;
  std::vector<ValueConstraint> block_vcs;
  double rel_min_dt = 0.0;
  double rel_max_dt = INF;
  double min_at = -INF;
  double max_at = INF;
  bool backtrackable = true;

  // t in [max(min_at, r + rel_min_dt), min(max_at, r + rel_max_dt)] and
  // dt >= 0. Pass r = -inf when the partial match has no reference time.
  // max and min drop a NaN operand (fmax, fmin), so a sum that is NaN
  // (-inf + inf) leaves that side of the window at min_at or max_at; hence
  // without a reference time only rel_max_dt = +inf opens the window.
  bool passes(double t, double dt, double r) const noexcept {
    const double lo = std::fmax(min_at, r + rel_min_dt);
    const double hi = std::fmin(max_at, r + rel_max_dt);
    return lo <= t && t <= hi && 0.0 <= dt;
  }
};

// The partial match's last matched token (match_from_last is always true).
struct DynamicEvent {
  ValueConstraint vc;
  std::vector<TokenId> static_block_tokens;
  std::vector<ValueConstraint> block_vcs;
  Bounds bounds;
  bool match_from_last = true;
  bool backtrackable = true;
};

// One of `static_match_tokens` or, with match_from_last, the last matched
// token (which is then unconstrained, as a match and as a block).
struct DynamicEventSet {
  std::vector<TokenId> static_match_tokens;
  std::vector<ValueConstraint> vcs;
  std::vector<TokenId> static_block_tokens;
  std::vector<ValueConstraint> block_vcs;
  Bounds bounds;
  bool match_from_last = false;
  bool block_from_last = false;
  bool backtrackable = true;
};

// The compiled rule of one mapped-event entry: a token or token set (tokens
// with parallel vcs), or same-timestamp sequences (seq_trie; tokens then
// stay empty and are not consulted).
struct ResolvedElement {
  std::vector<TokenId> tokens;
  std::vector<ValueConstraint> vcs;
  std::vector<TokenId> block_tokens;
  std::vector<ValueConstraint> block_vcs;
  std::optional<Trie> seq_trie;
  Bounds bounds;

  // The one-token form: tokens = [token], vcs = [vc], no seq_trie.
  static ResolvedElement single(TokenId token, ValueConstraint vc, std::vector<TokenId> block_tokens,
                                std::vector<ValueConstraint> block_vcs, Bounds bounds);
};

// Hashing and equality of match-map keys. Both accept any contiguous run of
// ids, so the engine looks keys up straight from the stream, without
// building a vector.
struct TokenKeyHash {
  using is_transparent = void;
  size_t operator()(std::span<const TokenId> key) const noexcept;
  size_t operator()(const std::vector<TokenId>& key) const noexcept {
    return (*this)(std::span<const TokenId>(key));
  }
};
struct TokenKeyEq {
  using is_transparent = void;
  bool operator()(std::span<const TokenId> a, std::span<const TokenId> b) const noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }
};
using MatchMap = std::unordered_map<std::vector<TokenId>, ResolvedElement, TokenKeyHash, TokenKeyEq>;

// The rule is chosen by the token ids that element `source_element` matched.
struct MappedEvent {
  uint32_t source_element = 0;
  MatchMap map;
  std::optional<ResolvedElement> default_element;  // used when the key has no entry
  bool backtrackable = true;

  // The entry for `key`, else the default, else null (the path cannot
  // continue through this element).
  const ResolvedElement* resolve(std::span<const TokenId> key) const;
};

// The order of the alternatives is the engine's dispatch order.
using PatternElement = std::variant<Event, EventSet, EventSeq, TimeEvent, DynamicTimeEvent,
                                    DynamicEvent, DynamicEventSet, MappedEvent>;

// Whether later positions may be tried for the element once it has matched.
bool is_backtrackable(const PatternElement& e);

// ---------------------------------------------------------------- pattern

// Element indices as a set: bit (i mod 64) for each i, as the midstream
// collector's masks are built.
uint64_t element_index_mask(std::span<const uint64_t> indices) noexcept;

struct MidstreamCollector {
  uint64_t start_after = 0;  // all of these elements must be matched ...
  uint64_t stop_before = 0;  // ... and none of these, for collecting to run
  Trie match_trie;           // what is collected; inserted without constraints
  CollectorStrategy collector = CollectorStrategy::CollectTokens;

  // Collecting runs on a partial match whose matched-element mask is `matched`.
  bool active(uint64_t matched) const noexcept {
    return (matched & start_after) == start_after && (matched & stop_before) == 0;
  }
};

// Elements are matched through a 64-bit mask; builders accept more, every
// consumer checks this limit before use.
inline constexpr size_t MAX_PATTERN_ELEMENTS = 64;

struct Pattern {
  std::vector<PatternElement> elements;  // an element's index is its position
  std::optional<MidstreamCollector> midstream;
  double min_dt = 0.0;
  double max_dt = INF;
  double min_at = -INF;
  double max_at = INF;
  bool ordered = true;
  CollectorStrategy collector = CollectorStrategy::None;

  // A complete match whose first matched event is at t_start and whose
  // latest is at t_end is emitted only when min_dt <= t_end - t_start <=
  // max_dt, t_start >= min_at and t_end <= max_at (NaN fails).
  bool accepts_span(double t_start, double t_end) const noexcept {
    const double d = t_end - t_start;
    return min_dt <= d && d <= max_dt && min_at <= t_start && t_end <= max_at;
  }
};

// Patterns are moved into Python objects after all checks, where nothing may fail.
static_assert(std::is_nothrow_move_constructible_v<Pattern>);

// Fails with "Pattern has {n} elements; maximum is 64" above the limit.
Status check_element_count(const Pattern& p);

// "Pattern(n_elements=2, ordered=true, collector=SumTimes, midstream=false)".
std::string pattern_repr(const Pattern& p);

}  // namespace zuldcore
