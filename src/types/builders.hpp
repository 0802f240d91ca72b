// The rules of the pattern builders: from argument values already read into
// C++ (tokens as strings, not yet interned) to one pattern element, or the
// message that refuses them. Each builder checks everything before it interns
// its first token, so a refused call interns nothing; the two exceptions
// (a mapped spec's block tokens, a midstream collector's name) say so below.
// Reading Python arguments is the binding's business; this file never sees
// Python.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/expected.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- value constraints

// The names of one (min, max, require-NaN) argument triple, as messages and
// callers spell them.
using ValNames = std::array<const char*, 3>;

inline constexpr ValNames VAL = {"min_val", "max_val", "require_nan_val"};
inline constexpr ValNames BLOCK_VAL = {"block_min_val", "block_max_val", "block_require_nan_val"};
inline constexpr ValNames VALS = {"min_vals", "max_vals", "require_nan_vals"};
inline constexpr ValNames BLOCK_VALS = {"block_min_vals", "block_max_vals", "block_require_nan_vals"};

// One constraint from scalars; a NaN bound stands for "not given".
struct ScalarVals {
  double min = std::numeric_limits<double>::quiet_NaN();
  double max = std::numeric_limits<double>::quiet_NaN();
  bool require_nan = false;

  ValueConstraint constraint() const noexcept { return ValueConstraint::from_args(min, max, require_nan); }
  bool any_given() const noexcept { return require_nan || !std::isnan(min) || !std::isnan(max); }
};

// Up to three optional lists, one entry per token.
struct PluralVals {
  ValNames names = VALS;
  std::optional<std::vector<double>> min;
  std::optional<std::vector<double>> max;
  std::optional<std::vector<bool>> require_nan;

  bool any_given() const noexcept { return min || max || require_nan; }
};

// The same lists for same-timestamp sequences: one inner list per sequence.
struct PluralSeqVals {
  ValNames names = VALS;
  std::optional<std::vector<std::vector<double>>> min;
  std::optional<std::vector<std::vector<double>>> max;
  std::optional<std::vector<std::vector<bool>>> require_nan;

  bool any_given() const noexcept { return min || max || require_nan; }
};

// The plural rule for n tokens: no list given gives an empty array (every
// token unconstrained); otherwise exactly n constraints, entry i built from
// entry i of each given list. A given list shorter than n fails with
// "{list} must have length {n} to match {tokens_name} (got {len})"; longer
// ones are read up to n.
Expected<std::vector<ValueConstraint>> plural_vcs(const PluralVals& v, size_t n, std::string_view tokens_name);

// The plural rule for n sequences. Sequence i gets m_i constraints, m_i being
// the length of inner list i of the first given list (min, else max, else
// require-NaN); every given list needs at least n inner lists, and every inner
// list i at least m_i entries ("max_val[0] must have length 2 to match
// min_val[0] (got 1)"). m_i need not be the sequence's length: the trie reads
// Any past the array's end and ignores entries past the sequence's end.
Expected<std::vector<std::vector<ValueConstraint>>> seq_vcs(const PluralSeqVals& v, size_t n,
                                                            std::string_view seqs_name);

// ---------------------------------------------------------------- interning

// The ids of `tokens`, interned one by one in order.
std::vector<TokenId> intern_each(const std::vector<std::string>& tokens);

// Interns each sequence in order, inserting it with its constraints (vcs[i]
// for sequence i). Unlike build_seq_trie, empty sequences are allowed (they
// never match).
Trie seq_trie(const std::vector<std::vector<std::string>>& seqs,
              const std::vector<std::vector<ValueConstraint>>& vcs);

// ---------------------------------------------------------------- static elements

struct EventArgs {
  std::string match_token;
  std::optional<std::string> block_token;
  Bounds bounds;
  bool backtrackable = true;
  ScalarVals val;
  ScalarVals block_val;  // kept without a block token, where it has no effect
};
PatternElement build_event(EventArgs&& a);

struct EventSetArgs {
  std::vector<std::string> match_tokens;
  std::vector<std::string> block_tokens;  // empty when not given
  Bounds bounds;
  bool backtrackable = true;
  PluralVals vals{VALS};
  PluralVals block_vals{BLOCK_VALS};
};
// The value lists against match_tokens, then the block lists against block_tokens.
Expected<PatternElement> build_event_set(EventSetArgs&& a);

struct EventSeqArgs {
  std::vector<std::vector<std::string>> match_seqs;
  std::optional<std::vector<std::vector<std::string>>> block_seqs;
  Bounds bounds;
  bool backtrackable = true;
  PluralSeqVals vals{VALS};
  PluralSeqVals block_vals{BLOCK_VALS};  // ignored without block_seqs
};
Expected<PatternElement> build_event_seq(EventSeqArgs&& a);

// The block arguments of the time elements: one block_token with scalar
// constraints, or block_tokens with plural ones, never both.
struct TimeBlockArgs {
  std::optional<std::string> block_token;
  ScalarVals block_val;
  std::optional<std::vector<std::string>> block_tokens;
  PluralVals block_vals{BLOCK_VALS};
};

// Blocking tokens as strings with their constraints, before interning.
struct BlockList {
  std::vector<std::string> tokens;
  std::vector<ValueConstraint> vcs;
};

// The block rule of the time elements. With block_tokens every given list
// must match them exactly, not merely cover them.
Expected<BlockList> time_block_rule(TimeBlockArgs&& a);

struct TimeEventArgs {
  TimeBlockArgs block;
  Bounds bounds;
  bool backtrackable = true;
};
Expected<PatternElement> build_time_event(TimeEventArgs&& a);

// ---------------------------------------------------------------- dynamic elements

struct DynamicTimeEventArgs {
  TimeBlockArgs block;
  double rel_min_dt = 0.0;
  double rel_max_dt = INF;
  double min_at = -INF;
  double max_at = INF;
  bool backtrackable = true;
};
Expected<PatternElement> build_dynamic_time_event(DynamicTimeEventArgs&& a);

struct DynamicEventArgs {
  std::vector<std::string> static_block_tokens;
  Bounds bounds;
  bool backtrackable = true;
  ScalarVals val;
  PluralVals block_vals{BLOCK_VALS};
};
Expected<PatternElement> build_dynamic_event(DynamicEventArgs&& a);

struct DynamicEventSetArgs {
  std::vector<std::string> static_match_tokens;
  std::vector<std::string> static_block_tokens;
  bool match_from_last = false;
  bool block_from_last = false;
  Bounds bounds;
  bool backtrackable = true;
  PluralVals vals{VALS};
  PluralVals block_vals{BLOCK_VALS};
};
Expected<PatternElement> build_dynamic_event_set(DynamicEventSetArgs&& a);

// ---------------------------------------------------------------- mapped elements
//
// A match map is compiled while it is read, entry by entry: the key's tokens
// are interned, then the spec's block tokens, then (by build_resolved) its
// match tokens. A failure part-way leaves the tokens interned so far in the
// vocabulary and the pattern unchanged.

// The engine's per-element tables have 64 slots, so a larger source index
// could never be served; it is refused when building rather than when
// matching: "source_element must be less than 64 (got {n})".
Status check_source_element(uint64_t source_element);

// The "match" of a spec: one token, a token set, or same-timestamp sequences.
using MatchForm = std::variant<std::string, std::vector<std::string>, std::vector<std::vector<std::string>>>;

struct MappedSpecArgs {
  Bounds bounds;
  std::vector<TokenId> block_tokens;  // interned as read
  std::vector<ValueConstraint> block_vcs;
  MatchForm match;
  PluralVals vals{VAL};         // the one-token and token-set forms
  PluralSeqVals seq_vals{VAL};  // the sequence form
};

// One spec's element. The one-token form reads the first entry of each value
// list, if any; the others take the plural rules against "match".
Expected<ResolvedElement> build_resolved(MappedSpecArgs&& a);

// ---------------------------------------------------------------- midstream collector

struct MidstreamArgs {
  std::vector<std::vector<std::string>> match_seqs;  // a single token is a sequence of one
  std::vector<uint64_t> start_after;
  std::vector<uint64_t> stop_before;
  std::string collector = "collect_tokens";
};

// Refuses an empty sequence ("match_tokens sequences must not be empty"),
// then interns the sequences before the collector's name is checked: an
// unknown name leaves them in the vocabulary.
Expected<MidstreamCollector> build_midstream(MidstreamArgs&& a);

}  // namespace zuldcore
