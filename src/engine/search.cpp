// The general search: tables compiled from the pattern once per Searcher,
// the stack of partial matches, the scan of one partial match, and emission.
// Tests: tests/cpp/test_search.cpp (behaviour, blocking, collectors,
// early stop against the plain scan).
#include "engine/search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "engine/token_table.hpp"
#include "base/ensure.hpp"
#include "base/interrupt.hpp"
#include "types/trie.hpp"

namespace zuldcore {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t NO_POS = std::numeric_limits<size_t>::max();
constexpr uint8_t NO_ELEMENT = 0xFF;

// Variant indices of PatternElement, the engine's dispatch order.
enum Kind : uint8_t {
  K_EVENT = 0,
  K_EVENT_SET = 1,
  K_EVENT_SEQ = 2,
  K_TIME_EVENT = 3,
  K_DYNAMIC_TIME_EVENT = 4,
  K_DYNAMIC_EVENT = 5,
  K_DYNAMIC_EVENT_SET = 6,
  K_MAPPED_EVENT = 7,
};
static_assert(std::variant_size_v<PatternElement> == 8);

constexpr uint64_t bit(size_t i) noexcept { return uint64_t{1} << i; }

// One partial match. The pattern collector is not carried: it is a fold over
// the matched elements, so emission computes it from the path.
struct StackEntry {
  CollectorResult mid;      // the midstream collector along this path (None without one)
  double prev_time = NaN;   // time of the most recent element; meaningful once matched != 0
  double t_min = INF;       // time of the first matched element
  double t_max = -INF;      // largest matched time
  uint64_t matched = 0;     // bit i: element i is matched
  size_t scan_pos = 0;      // first position at which the next element may start
  size_t m_start = NO_POS;  // smallest matched position
  size_t m_end = NO_POS;    // largest matched position
  // The element matched by the step that made this entry (continuations keep
  // their parent's), written into the slot tables when the entry is popped.
  size_t pending_pos = 0;
  double pending_time = 0.0;
  uint32_t pending_count = 0;
  uint8_t pending_element = NO_ELEMENT;
  uint32_t path = PathArena::NONE;  // matched elements, newest first; one reference held
  TokenId last_token = 0;           // first token of the most recent element, once matched != 0
};

// An element hit at one position: which, and how many tokens it consumes.
struct Hit {
  uint8_t element;
  uint32_t length;
};

// A mapped element's rule on the current path.
struct Resolved {
  uint8_t element;
  const ResolvedElement* rule;
};

// One (token, element) pair of the match or block index, with the value
// constraint of the element's first entry for that token.
struct IndexEntry {
  uint8_t element;
  ValueConstraint vc;
};

// What the token index says about one token: the elements it matches and
// the elements it blocks, each ascending by element.
struct TokenUses {
  std::span<const IndexEntry> matches;
  std::span<const IndexEntry> blocks;
};

// The static tokens of every element, grouped by token, so that one lookup
// per scanned position answers both the block and the match tests. One pair
// per (token, element, use): later duplicates of a token in an element's
// list are dropped, so each pair carries the constraint of the first equal
// token.
class TokenIndex {
 public:
  enum Use : uint8_t { MATCH = 0, BLOCK = 1 };

  void add(Use use, TokenId token, size_t element, size_t position, ValueConstraint vc) {
    raw_.push_back({token, use, static_cast<uint8_t>(element), position, vc});
  }

  void finish() {
    std::sort(raw_.begin(), raw_.end(), [](const Raw& a, const Raw& b) {
      if (a.token != b.token) return a.token < b.token;
      if (a.use != b.use) return a.use < b.use;
      if (a.element != b.element) return a.element < b.element;
      return a.position < b.position;
    });
    std::vector<std::pair<TokenId, uint32_t>> keys;
    for (size_t i = 0; i < raw_.size(); ++i) {
      const Raw& r = raw_[i];
      if (i > 0 && raw_[i - 1].token == r.token && raw_[i - 1].use == r.use &&
          raw_[i - 1].element == r.element)
        continue;
      const auto at = static_cast<uint32_t>(entries_.size());
      if (keys.empty() || keys.back().first != r.token) {
        keys.emplace_back(r.token, static_cast<uint32_t>(ranges_.size()));
        ranges_.push_back({at, at, at});
      }
      entries_.push_back({r.element, r.vc});
      Ranges& g = ranges_.back();
      if (r.use == MATCH) g.blocks = g.end = at + 1;
      else g.end = at + 1;
    }
    raw_.clear();
    raw_.shrink_to_fit();
    table_.build(keys);
  }

  TokenUses find(TokenId token) const noexcept {
    const uint32_t r = table_.find(token);
    if (r == TokenTable::MISSING) return {};
    const Ranges& g = ranges_[r];
    const std::span<const IndexEntry> all(entries_);
    return {all.subspan(g.begin, g.blocks - g.begin), all.subspan(g.blocks, g.end - g.blocks)};
  }

 private:
  struct Raw {
    TokenId token;
    Use use;
    uint8_t element;
    size_t position;
    ValueConstraint vc;
  };
  struct Ranges {
    uint32_t begin, blocks, end;  // matches in [begin, blocks), blocks in [blocks, end)
  };
  std::vector<Raw> raw_;
  std::vector<IndexEntry> entries_;
  std::vector<Ranges> ranges_;
  TokenTable table_;
};

template <class F>
void for_each_bit(uint64_t mask, F&& f) {
  for (; mask != 0; mask &= mask - 1) f(static_cast<size_t>(std::countr_zero(mask)));
}

// The ResolvedElement tests, with the first equal token deciding the
// constraint (Any when the constraint array has no entry there).
bool resolved_blocks(const ResolvedElement& r, TokenId tok, double v) noexcept {
  for (size_t i = 0; i < r.block_tokens.size(); ++i)
    if (r.block_tokens[i] == tok) return constraint_at(r.block_vcs, i).passes(v);
  return false;
}

}  // namespace

// ---------------------------------------------------------------- engine

size_t non_decreasing_from(std::span<const double> times) noexcept {
  size_t m = times.size();
  if (m == 0 || std::isnan(times[m - 1])) return m;
  --m;
  while (m > 0 && times[m - 1] <= times[m]) --m;  // false for NaN
  return m;
}

Expected<Engine> make_engine(const Pattern& pattern) {
  Status size = check_element_count(pattern);
  if (!size) return fail(size.message());
  const size_t n = pattern.elements.size();
  const uint64_t full = n == 64 ? ~uint64_t{0} : bit(n) - 1;
  return Engine{pattern, n, full};
}

// ---------------------------------------------------------------- searcher

// What the search derives from the pattern, built once per program and only
// read afterwards, so that any number of Searchers (in any threads) share it.
struct SearchProgram::Tables {
  explicit Tables(const Engine& engine);

  // Whether a scan can react to `tok` beyond its time: some element matches
  // or is blocked by it, or the midstream collector's trie starts with it.
  // Meaningful only while fixed_tokens_ holds.
  bool relevant(TokenId tok) const noexcept { return relevant_tokens.contains(tok); }

  const Pattern& pattern_;
  size_t n_elements_;
  uint64_t full_mask_;
  CollectorStrategy mid_strategy_ = CollectorStrategy::None;

  std::array<uint8_t, 64> kind_{};
  std::array<const Bounds*, 64> bounds_{};  // null for DynamicTimeEvent and MappedEvent
  uint64_t seq_mask_ = 0;         // EventSeq
  uint64_t block_seq_mask_ = 0;   // EventSeq with a block trie
  uint64_t any_token_mask_ = 0;   // TimeEvent and DynamicTimeEvent
  uint64_t dyn_event_mask_ = 0;   // DynamicEvent
  uint64_t last_match_mask_ = 0;  // DynamicEventSet matching the last token
  uint64_t last_block_mask_ = 0;  // DynamicEventSet blocked by the last token
  uint64_t mapped_mask_ = 0;      // MappedEvent
  uint64_t backtrackable_mask_ = 0;
  // Elements whose possible positions depend on the path or the time only.
  uint64_t anywhere_mask_ = 0;
  TokenIndex index_;  // static match tokens (Event, EventSet, DynamicEventSet), all static block tokens
  // Whether every element matches and is blocked only by tokens of fixed
  // sets; false with any element that reacts to any token or to the path's
  // last token.
  bool fixed_tokens_ = true;
  // The tokens a scan reacts to (see relevant), known from the pattern
  // alone; filled when fixed_tokens_ holds.
  TokenFlags relevant_tokens;
};

struct Searcher::Impl {
  explicit Impl(const SearchProgram::Tables& compiled) : tables(compiled) {}

  // Every complete match goes to `sink` when it is given, else to `buffer`.
  void run(std::span<const TokenId> tokens, std::span<const double> times,
           std::span<const double> values, bool first_only, MatchBuffer* buffer, MatchSink* sink,
           const SearchOptions& options);

  // Set when the Searcher was built from an Engine rather than a program.
  std::unique_ptr<const SearchProgram> owned;

 private:
  // A stream being searched, and the run's settings.
  struct Run {
    std::span<const TokenId> tokens;
    std::span<const double> times;
    std::span<const double> values;
    size_t monotone_from;  // scans may stop on time bounds from this position on
    bool early_stop;
    size_t skip_from;      // scans may jump over irrelevant tokens from this position on
    bool prune;
  };

  // Upper time limits of a candidate on one scan.
  struct Limit {
    double max_at;
    double max_dt;
  };

  void scan(StackEntry& e, const Run& run);
  bool may_match_at(size_t element, const Run& run, size_t q, size_t& length) const;
  void compute_reach(const Run& run);
  // Whether reach_ may be used now: computed once the run's work exceeds
  // its budget.
  bool reach_ready(const Run& run) {
    if (!reach_ready_ && stats_.scans + stats_.positions_scanned >= reach_budget_) {
      compute_reach(run);
      reach_ready_ = true;
    }
    return reach_ready_;
  }
  bool feasible(uint64_t matched, size_t scan_pos) const;
  size_t scan_limit(uint64_t unmatched) const;
  void branch(StackEntry& e, size_t p, double t, TokenId tok, std::span<const Hit> hits, bool resume);
  void emit(const StackEntry& e, const Run& run, MatchBuffer& buffer);
  Limit limit_of(size_t element, double r) const;
  uint64_t bounded_among(uint64_t candidates, double r) const;
  uint64_t expired_among(uint64_t candidates, double t, double dt, double r) const;
  bool resolved_matches(const ResolvedElement& rule, const Run& run, size_t p, TokenId tok,
                        double v, double t, double dt, uint32_t& length) const;

  const SearchProgram::Tables& tables;

  // Where the remaining elements can still match, per run (see
  // compute_reach). Ordered patterns: reach_[i] is the latest position at
  // which element i can match with room for elements i + 1 .. after it.
  // Unordered: the last position at which element i can match at all.
  // NO_POS where there is none.
  std::array<size_t, 64> reach_{};
  bool reach_ready_ = false;
  size_t reach_budget_ = NO_POS;

  // Scratch, kept between runs.
  std::vector<StackEntry> stack_;
  PathArena arena_;
  std::vector<Resolved> resolved_;
  std::vector<ElMatch> slots_;
  // The match of each element on the path being extended: start position,
  // token count, time. Filled from `pending` as entries are popped; only the
  // slots of elements matched on the popped entry's path are current.
  std::array<size_t, 64> slot_pos_{};
  std::array<uint32_t, 64> slot_count_{};
  std::array<double, 64> slot_time_{};
  SearchStats stats_;
  InterruptCheck interrupt_;  // ticked per partial match and per scanned position
};

SearchProgram::Tables::Tables(const Engine& engine)
    : pattern_(engine.pattern), n_elements_(engine.n_elements), full_mask_(engine.full_mask) {
  const Pattern& p = engine.pattern;
  ZC_ENSURE(n_elements_ == p.elements.size() && n_elements_ <= MAX_PATTERN_ELEMENTS,
            "engine of ", n_elements_, " elements for a pattern of ", p.elements.size());
  ZC_ENSURE(full_mask_ == (n_elements_ == 64 ? ~uint64_t{0} : bit(n_elements_) - 1),
            "engine mask does not cover its ", n_elements_, " elements");
  if (p.midstream) mid_strategy_ = p.midstream->collector;

  for (size_t i = 0; i < n_elements_; ++i) {
    const PatternElement& el = p.elements[i];
    kind_[i] = static_cast<uint8_t>(el.index());
    if (is_backtrackable(el)) backtrackable_mask_ |= bit(i);
    auto add_blocks = [&](const std::vector<TokenId>& tokens, const std::vector<ValueConstraint>& vcs) {
      for (size_t j = 0; j < tokens.size(); ++j) index_.add(TokenIndex::BLOCK, tokens[j], i, j, constraint_at(vcs, j));
    };
    auto add_matches = [&](const std::vector<TokenId>& tokens, const std::vector<ValueConstraint>& vcs) {
      for (size_t j = 0; j < tokens.size(); ++j) index_.add(TokenIndex::MATCH, tokens[j], i, j, constraint_at(vcs, j));
    };
    switch (el.index()) {
      case K_EVENT: {
        const auto& e = std::get<Event>(el);
        bounds_[i] = &e.bounds;
        index_.add(TokenIndex::MATCH, e.token, i, 0, e.vc);
        if (e.block_token) index_.add(TokenIndex::BLOCK, *e.block_token, i, 0, e.block_vc);
        break;
      }
      case K_EVENT_SET: {
        const auto& e = std::get<EventSet>(el);
        bounds_[i] = &e.bounds;
        add_matches(e.match_tokens, e.vcs);
        add_blocks(e.block_tokens, e.block_vcs);
        break;
      }
      case K_EVENT_SEQ: {
        const auto& e = std::get<EventSeq>(el);
        bounds_[i] = &e.bounds;
        seq_mask_ |= bit(i);
        if (e.block_trie) block_seq_mask_ |= bit(i);
        break;
      }
      case K_TIME_EVENT: {
        const auto& e = std::get<TimeEvent>(el);
        fixed_tokens_ = false;
        bounds_[i] = &e.bounds;
        any_token_mask_ |= bit(i);
        add_blocks(e.block_tokens, e.block_vcs);
        break;
      }
      case K_DYNAMIC_TIME_EVENT: {
        const auto& e = std::get<DynamicTimeEvent>(el);
        fixed_tokens_ = false;
        any_token_mask_ |= bit(i);
        add_blocks(e.block_tokens, e.block_vcs);
        break;
      }
      case K_DYNAMIC_EVENT: {
        const auto& e = std::get<DynamicEvent>(el);
        fixed_tokens_ = false;
        bounds_[i] = &e.bounds;
        dyn_event_mask_ |= bit(i);
        add_blocks(e.static_block_tokens, e.block_vcs);
        break;
      }
      case K_DYNAMIC_EVENT_SET: {
        const auto& e = std::get<DynamicEventSet>(el);
        bounds_[i] = &e.bounds;
        add_matches(e.static_match_tokens, e.vcs);
        add_blocks(e.static_block_tokens, e.block_vcs);
        if (e.match_from_last) last_match_mask_ |= bit(i);
        if (e.block_from_last) last_block_mask_ |= bit(i);
        if (e.match_from_last || e.block_from_last) fixed_tokens_ = false;
        break;
      }
      case K_MAPPED_EVENT:
        mapped_mask_ |= bit(i);
        break;
    }
  }
  anywhere_mask_ = any_token_mask_ | mapped_mask_ | last_match_mask_;
  if (fixed_tokens_) {
    // Every token a scan can react to: the static match and block tokens,
    // the first tokens of sequence and block tries (an occurrence starts
    // with an edge of the root), every rule of a mapped element, and the
    // first tokens of the midstream collector's trie.
    std::vector<TokenId> tokens;
    auto add = [&](const std::vector<TokenId>& v) { tokens.insert(tokens.end(), v.begin(), v.end()); };
    auto add_rule = [&](const ResolvedElement& r) {
      add(r.tokens);
      add(r.block_tokens);
      if (r.seq_trie) add(r.seq_trie->first_tokens());
    };
    for (const PatternElement& el : p.elements) {
      if (const auto* e = std::get_if<Event>(&el)) {
        tokens.push_back(e->token);
        if (e->block_token) tokens.push_back(*e->block_token);
      } else if (const auto* set = std::get_if<EventSet>(&el)) {
        add(set->match_tokens);
        add(set->block_tokens);
      } else if (const auto* seq = std::get_if<EventSeq>(&el)) {
        add(seq->match_trie.first_tokens());
        if (seq->block_trie) add(seq->block_trie->first_tokens());
      } else if (const auto* dyn = std::get_if<DynamicEventSet>(&el)) {
        add(dyn->static_match_tokens);
        add(dyn->static_block_tokens);
      } else if (const auto* mapped = std::get_if<MappedEvent>(&el)) {
        if (mapped->default_element) add_rule(*mapped->default_element);
        for (const auto& [key, rule] : mapped->map) add_rule(rule);
      }
    }
    if (p.midstream) add(p.midstream->match_trie.first_tokens());
    relevant_tokens.build(tokens);
  }
  index_.finish();
}


void Searcher::Impl::run(std::span<const TokenId> tokens, std::span<const double> times,
                         std::span<const double> values, bool first_only, MatchBuffer* buffer,
                         MatchSink* sink, const SearchOptions& options) {
  const size_t n = tokens.size();
  ZC_ENSURE(times.size() == n, "times has length ", times.size(), " but tokens has length ", n);
  ZC_ENSURE(values.empty() || values.size() == n, "values has length ", values.size(),
            " but tokens has length ", n);
  ZC_ENSURE(sink != nullptr || (buffer != nullptr && buffer->n_elements == tables.n_elements_),
            "match buffer of ", buffer != nullptr ? buffer->n_elements : 0,
            " elements for a pattern of ", tables.n_elements_);

  const size_t settled = non_decreasing_from(times);
  const Run r{tokens, times, values, options.early_stop ? settled : NO_POS, options.early_stop,
              options.skip_irrelevant && tables.fixed_tokens_ ? settled : NO_POS, options.prune};
  stats_ = {};
  stack_.clear();
  arena_.clear();
  // Pruning starts once the search has done about twice the stream's length
  // in work: a search that finishes sooner never pays for the tables, and
  // one that would not finish soon pays one pass over the stream.
  reach_ready_ = false;
  reach_budget_ = !r.prune ? NO_POS : options.prune_at_once ? 0 : 2 * n;

  StackEntry initial;
  initial.mid = initial_result(tables.mid_strategy_);
  stack_.push_back(std::move(initial));
  while (!stack_.empty()) {
    interrupt_.tick();
    StackEntry e = std::move(stack_.back());
    stack_.pop_back();
    if (e.pending_element != NO_ELEMENT) {
      slot_pos_[e.pending_element] = e.pending_pos;
      slot_count_[e.pending_element] = e.pending_count;
      slot_time_[e.pending_element] = e.pending_time;
    }
    if (e.matched == tables.full_mask_) {
      const bool emitted = tables.pattern_.accepts_span(e.t_min, e.t_max);
      if (emitted && sink != nullptr)
        sink->take(e.m_start, e.m_end, e.t_min);
      else if (emitted)
        emit(e, r, *buffer);
      arena_.release(e.path);
      if (emitted && first_only) break;
      continue;
    }
    scan(e, r);
  }
  stack_.clear();
  arena_.clear();
  if (options.stats != nullptr) {
    options.stats->scans += stats_.scans;
    options.stats->positions_scanned += stats_.positions_scanned;
    options.stats->pruned += stats_.pruned;
  }
}

// Whether element i could match at q as far as its tokens and value tests
// can tell, and how many tokens it would take (at least 1). Time bounds,
// blocks and the path are ignored, so this holds wherever a real match does:
// elements in tables.anywhere_mask_ say yes everywhere (a DynamicEvent still
// applies its value test).
bool Searcher::Impl::may_match_at(size_t i, const Run& run, size_t q, size_t& length) const {
  length = 1;
  const double v = run.values.empty() ? NaN : run.values[q];
  if (tables.kind_[i] == K_EVENT) {
    const auto& e = std::get<Event>(tables.pattern_.elements[i]);
    return run.tokens[q] == e.token && e.vc.passes(v);
  }
  if (tables.kind_[i] == K_DYNAMIC_EVENT) return std::get<DynamicEvent>(tables.pattern_.elements[i]).vc.passes(v);
  if ((tables.anywhere_mask_ & bit(i)) != 0) return true;
  if (tables.kind_[i] == K_EVENT_SEQ) {
    const auto& seq = std::get<EventSeq>(tables.pattern_.elements[i]);
    const std::optional<size_t> len = match_at(seq.match_trie, run.tokens, run.times, run.values, q);
    if (!len || *len == 0) return false;
    length = *len;
    return true;
  }
  for (const IndexEntry& m : tables.index_.find(run.tokens[q]).matches)
    if (m.element == i) return m.vc.passes(v);
  return false;
}

// Fills reach_ for one stream. Ordered: from the last element backwards,
// each element's latest position that ends before its successor's; the
// ranges searched do not overlap, so this costs one pass over the stream
// from the first element's reach to the end. Unordered: one backward pass
// until every element has been seen.
void Searcher::Impl::compute_reach(const Run& run) {
  const size_t n = run.tokens.size();
  reach_.fill(NO_POS);
  size_t len = 1;
  if (tables.pattern_.ordered) {
    size_t bound = n;  // the element must end before this position
    for (size_t i = tables.n_elements_; i-- > 0;) {
      for (size_t q = bound; q-- > 0;) {
        if (may_match_at(i, run, q, len) && q + len <= bound) {
          reach_[i] = q;
          break;
        }
      }
      if (reach_[i] == NO_POS) return;
      bound = reach_[i];
    }
    return;
  }
  uint64_t unseen = tables.full_mask_;
  for (size_t q = n; q-- > 0 && unseen != 0;) {
    for_each_bit(unseen, [&](size_t i) {
      if (may_match_at(i, run, q, len)) {
        reach_[i] = q;
        unseen &= ~bit(i);
      }
    });
  }
}

// Whether a partial match that has matched `matched` and scans on from
// scan_pos can still complete, as far as reach_ can tell.
bool Searcher::Impl::feasible(uint64_t matched, size_t scan_pos) const {
  const uint64_t unmatched = tables.full_mask_ & ~matched;
  if (unmatched == 0) return true;
  if (tables.pattern_.ordered) {
    const size_t next = static_cast<size_t>(std::countr_zero(unmatched));
    return reach_[next] != NO_POS && reach_[next] >= scan_pos;
  }
  bool ok = true;
  for_each_bit(unmatched, [&](size_t i) { ok = ok && reach_[i] != NO_POS && reach_[i] >= scan_pos; });
  return ok;
}

// The last position at which a scan for the elements of `unmatched` can
// still find a match worth extending: past it, an element would be left
// with nowhere to match.
size_t Searcher::Impl::scan_limit(uint64_t unmatched) const {
  if (tables.pattern_.ordered) return reach_[static_cast<size_t>(std::countr_zero(unmatched))];
  size_t limit = NO_POS;
  for_each_bit(unmatched, [&](size_t i) { limit = std::min(limit, reach_[i]); });
  return limit;
}

// The upper time limits of candidate i on a scan whose reference time is r:
// a match needs t <= max_at and t - prev_time <= max_dt. A DynamicTimeEvent's
// limit is the upper end of its window.
Searcher::Impl::Limit Searcher::Impl::limit_of(size_t i, double r) const {
  if (tables.kind_[i] == K_DYNAMIC_TIME_EVENT) {
    const auto& d = std::get<DynamicTimeEvent>(tables.pattern_.elements[i]);
    return {std::fmin(d.max_at, r + d.rel_max_dt), INF};
  }
  const Bounds* b = tables.bounds_[i];
  if (tables.kind_[i] == K_MAPPED_EVENT) {
    for (const Resolved& rc : resolved_)
      if (rc.element == i) b = &rc.rule->bounds;
  }
  if (b == nullptr) return {INF, INF};
  return {b->max_at, b->max_dt};
}

// Candidates among `candidates` that have a finite limit on this scan; only
// these can expire.
uint64_t Searcher::Impl::bounded_among(uint64_t candidates, double r) const {
  uint64_t out = 0;
  for_each_bit(candidates, [&](size_t i) {
    const Limit l = limit_of(i, r);
    if (l.max_at < INF || l.max_dt < INF) out |= bit(i);
  });
  return out;
}

// Candidates among `candidates` that can match at no position from time t
// on (dt = t - prev_time, or 0 on a scan without one). Both t and dt only
// grow along a stream whose times do not decrease, so an expired candidate
// stays unmatched for the rest of the scan.
uint64_t Searcher::Impl::expired_among(uint64_t candidates, double t, double dt, double r) const {
  uint64_t out = 0;
  for_each_bit(candidates, [&](size_t i) {
    const Limit l = limit_of(i, r);
    if (l.max_at < t || l.max_dt < dt) out |= bit(i);
  });
  return out;
}

bool Searcher::Impl::resolved_matches(const ResolvedElement& rule, const Run& run, size_t p,
                                      TokenId tok, double v, double t, double dt,
                                      uint32_t& length) const {
  if (!rule.bounds.passes(t, dt)) return false;
  if (rule.seq_trie) {
    const std::optional<size_t> len = match_at(*rule.seq_trie, run.tokens, run.times, run.values, p);
    if (!len || *len == 0) return false;
    length = static_cast<uint32_t>(*len);
    return true;
  }
  for (size_t i = 0; i < rule.tokens.size(); ++i) {
    if (rule.tokens[i] != tok) continue;
    if (!constraint_at(rule.vcs, i).passes(v)) return false;
    length = 1;
    return true;
  }
  return false;
}

void Searcher::Impl::scan(StackEntry& e, const Run& run) {
  const bool has_prev = e.matched != 0;
  const uint64_t unmatched = tables.full_mask_ & ~e.matched;
  uint64_t candidates = tables.pattern_.ordered ? (unmatched & (~unmatched + 1)) : unmatched;

  // Mapped candidates take their rule from the tokens their source element
  // matched on this path. A source not matched here gives no key (its slot
  // may hold another branch's match), so the default applies.
  resolved_.clear();
  for_each_bit(candidates & tables.mapped_mask_, [&](size_t i) {
    const auto& m = std::get<MappedEvent>(tables.pattern_.elements[i]);
    const size_t s = m.source_element;
    const ResolvedElement* rule = nullptr;
    if (s < 64 && (e.matched & bit(s)) != 0)
      rule = m.resolve(run.tokens.subspan(slot_pos_[s], slot_count_[s]));
    else if (m.default_element)
      rule = &*m.default_element;
    if (rule == nullptr)
      candidates &= ~bit(i);
    else
      resolved_.push_back({static_cast<uint8_t>(i), rule});
  });

  const bool prune = run.prune && reach_ready(run);
  if (prune && !feasible(e.matched, e.scan_pos)) {
    ++stats_.pruned;
    arena_.release(e.path);
    return;
  }
  ++stats_.scans;
  if (candidates == 0) {  // nothing can match anywhere: drop the partial match
    arena_.release(e.path);
    return;
  }
  const size_t limit = prune ? scan_limit(unmatched) : NO_POS;

  const double prev = e.prev_time;
  const double r = has_prev ? prev : -INF;  // reference time of DynamicTimeEvent windows
  const TokenId last = e.last_token;
  const Trie* mid_trie = nullptr;
  if (tables.pattern_.midstream && tables.pattern_.midstream->active(e.matched)) mid_trie = &tables.pattern_.midstream->match_trie;
  const size_t n = run.tokens.size();

  uint64_t retired = 0;  // blocked for the rest of this scan
  uint64_t expired = 0;  // out of time for the rest of this scan (early stop only)
  const uint64_t unbounded = run.early_stop ? candidates & ~bounded_among(candidates, r) : 0;
  double expiry_checked = NaN;
  std::array<Hit, 64> hits;

  for (size_t p = e.scan_pos; p < n; ++p) {
    if (p >= run.skip_from) {
      // Jump to the next position whose token something reacts to. At a
      // skipped position no midstream, block or match test can fire; only
      // the time tests below could end the scan there. Each of them (t past
      // the pattern's max_dt from t_min or its max_at, a candidate past its
      // max_dt or max_at) only grows truer with t, and times never decrease
      // from skip_from on, so a test true at a skipped position is true
      // again at the next relevant one, which runs every time test before
      // any match test; with no relevant position left the scan ends
      // unmatched either way. Pinned by search_skipping_matches_plain_scan.
      while (p < n && !tables.relevant(run.tokens[p])) ++p;
      if (p == n) break;
    }
    if (p > limit) break;  // an unmatched element has no position left
    interrupt_.tick();
    const double t = run.times[p];
    const TokenId tok = run.tokens[p];
    const double v = run.values.empty() ? NaN : run.values[p];
    const double dt = has_prev ? t - prev : 0.0;
    ++stats_.positions_scanned;

    if (has_prev && t - e.t_min > tables.pattern_.max_dt) break;
    if (p >= run.monotone_from) {
      // Every later position has a time >= t: past the pattern's max_at no
      // complete match can follow, and an expired candidate stays expired.
      if (t > tables.pattern_.max_at) break;
      // Worth checking only once every candidate left has a time limit.
      if ((unbounded & ~retired) == 0 && !(t <= expiry_checked)) {
        expiry_checked = t;
        expired |= expired_among(candidates & ~retired & ~expired, t, dt, r);
        if ((candidates & ~retired & ~expired) == 0) break;
      }
    }

    if (mid_trie != nullptr && match_at(*mid_trie, run.tokens, run.times, run.values, p))
      accumulate(tables.mid_strategy_, e.mid, tok, t);

    // Blocking comes before any match test at p, so a block at the position
    // where the element would match wins.
    uint64_t live = candidates & ~retired;
    uint64_t blocked = 0;
    bool resolved_blocked = false;
    const TokenUses uses = tables.index_.find(tok);
    for (const IndexEntry& b : uses.blocks)
      if ((live & bit(b.element)) != 0 && b.vc.passes(v)) blocked |= bit(b.element);
    if (has_prev && tok == last) blocked |= live & tables.last_block_mask_;
    for_each_bit(live & tables.block_seq_mask_, [&](size_t i) {
      const auto& s = std::get<EventSeq>(tables.pattern_.elements[i]);
      if (match_at(*s.block_trie, run.tokens, run.times, run.values, p)) blocked |= bit(i);
    });
    for (const Resolved& rc : resolved_) {
      if ((live & bit(rc.element)) != 0 && resolved_blocks(*rc.rule, tok, v)) {
        blocked |= bit(rc.element);
        resolved_blocked = true;
      }
    }
    if (blocked != 0) {
      retired |= blocked;
      live &= ~blocked;
      if (live == 0 && (resolved_blocked || run.early_stop)) break;
      if (resolved_blocked) continue;  // a blocked mapped candidate suppresses every test at p
    }
    if (live == 0) continue;

    // Match tests, in this order: sequences, any-token elements, mapped
    // elements, then the token index in element order.
    size_t n_hits = 0;
    for_each_bit(live & tables.seq_mask_, [&](size_t i) {
      const auto& s = std::get<EventSeq>(tables.pattern_.elements[i]);
      if (!s.bounds.passes(t, dt)) return;
      const std::optional<size_t> len = match_at(s.match_trie, run.tokens, run.times, run.values, p);
      if (len && *len >= 1) hits[n_hits++] = {static_cast<uint8_t>(i), static_cast<uint32_t>(*len)};
    });
    for_each_bit(live & tables.any_token_mask_, [&](size_t i) {
      const bool ok = tables.kind_[i] == K_TIME_EVENT
                          ? tables.bounds_[i]->passes(t, dt)
                          : std::get<DynamicTimeEvent>(tables.pattern_.elements[i]).passes(t, dt, r);
      if (ok) hits[n_hits++] = {static_cast<uint8_t>(i), 1};
    });
    for (const Resolved& rc : resolved_) {
      uint32_t len = 0;
      if ((live & bit(rc.element)) != 0 && resolved_matches(*rc.rule, run, p, tok, v, t, dt, len))
        hits[n_hits++] = {rc.element, len};
    }
    uint64_t token_hits = 0;
    uint64_t static_token = 0;  // elements listing tok among their static tokens
    for (const IndexEntry& m : uses.matches) {
      if ((live & bit(m.element)) == 0) continue;
      static_token |= bit(m.element);
      if (m.vc.passes(v) && tables.bounds_[m.element]->passes(t, dt)) token_hits |= bit(m.element);
    }
    if (has_prev && tok == last) {
      for_each_bit(live & tables.dyn_event_mask_, [&](size_t i) {
        const auto& d = std::get<DynamicEvent>(tables.pattern_.elements[i]);
        if (d.vc.passes(v) && d.bounds.passes(t, dt)) token_hits |= bit(i);
      });
      // The last token is unconstrained unless it is also a static token of
      // the element, whose constraint then decided above.
      for_each_bit(live & tables.last_match_mask_ & ~static_token, [&](size_t i) {
        if (tables.bounds_[i]->passes(t, dt)) token_hits |= bit(i);
      });
    }
    for_each_bit(token_hits, [&](size_t i) { hits[n_hits++] = {static_cast<uint8_t>(i), 1}; });

    if (n_hits == 0) continue;
    bool resume = false;  // whether a hit element may be tried later: the scan then continues
    for (size_t h = 0; h < n_hits; ++h) resume = resume || (tables.backtrackable_mask_ & bit(hits[h].element)) != 0;
    if (prune) {
      // Extensions that cannot complete are dropped; the scan still ends at
      // p, as it would have with them, and the continuation keeps its place.
      size_t kept = 0;
      for (size_t h = 0; h < n_hits; ++h) {
        if (feasible(e.matched | bit(hits[h].element), p + hits[h].length))
          hits[kept++] = hits[h];
        else
          ++stats_.pruned;
      }
      if (kept == 0 && !resume) break;
      n_hits = kept;
    }
    branch(e, p, t, tok, std::span<const Hit>(hits.data(), n_hits), resume);
    return;
  }
  arena_.release(e.path);
}

// Pushes the continuation of `e` (when `resume`: a hit element may be tried
// later) and then one extension per hit, the first hit last so that it is
// popped first. Takes over e's path reference.
void Searcher::Impl::branch(StackEntry& e, size_t p, double t, TokenId tok,
                            std::span<const Hit> hits, bool resume) {

  // Room for every push first: `src` may point into the stack.
  const size_t need = stack_.size() + hits.size() + 1;
  if (stack_.capacity() < need) stack_.reserve(std::max(need, stack_.capacity() * 2));
  const StackEntry* src = &e;
  if (resume) {
    e.scan_pos = p + 1;
    stack_.push_back(std::move(e));
    src = &stack_.back();
  }
  const bool has_prev = src->matched != 0;
  for (size_t i = hits.size(); i-- > 0;) {
    const Hit& h = hits[i];
    StackEntry& c = stack_.emplace_back();
    c.mid = src->mid;
    c.prev_time = t;
    c.t_min = has_prev ? src->t_min : t;
    c.t_max = std::isnan(t) ? src->t_max : std::max(src->t_max, t);
    c.matched = src->matched | bit(h.element);
    c.scan_pos = p + h.length;
    c.m_start = std::min(src->m_start, p);
    c.m_end = src->m_end == NO_POS ? p + h.length - 1 : std::max(src->m_end, p + h.length - 1);
    c.pending_pos = p;
    c.pending_time = t;
    c.pending_count = h.length;
    c.pending_element = h.element;
    c.path = arena_.push(src->path, p, h.length, t);
    c.last_token = tok;
  }
  if (!resume) arena_.release(e.path);
}

void Searcher::Impl::emit(const StackEntry& e, const Run& run, MatchBuffer& buffer) {
  slots_.resize(tables.n_elements_);
  uint32_t cell = e.path;
  for (size_t j = tables.n_elements_; j-- > 0;) {
    ZC_ENSURE(cell != PathArena::NONE, "complete match with a path shorter than ", tables.n_elements_);
    const ConsCell& c = arena_[cell];
    slots_[j] = ElMatch{run.tokens.subspan(c.stream_idx, c.token_count), c.stream_idx, c.time};
    cell = c.next;
  }
  ZC_ENSURE(cell == PathArena::NONE, "complete match with a path longer than ", tables.n_elements_);
  buffer.emit(e.m_start, e.m_end, e.t_min, e.t_max, slots_, pattern_result(tables.pattern_.collector, slots_),
              e.mid);
}

// ---------------------------------------------------------------- public

SearchProgram::SearchProgram(const Engine& engine) : tables_(std::make_unique<const Tables>(engine)) {}
SearchProgram::~SearchProgram() = default;
SearchProgram::SearchProgram(SearchProgram&&) noexcept = default;
SearchProgram& SearchProgram::operator=(SearchProgram&&) noexcept = default;

Searcher::Searcher(const SearchProgram& program) : impl_(std::make_unique<Impl>(*program.tables_)) {}

Searcher::Searcher(const Engine& engine) {
  auto program = std::make_unique<const SearchProgram>(engine);
  impl_ = std::make_unique<Impl>(*program->tables_);
  impl_->owned = std::move(program);
}
Searcher::~Searcher() = default;
Searcher::Searcher(Searcher&&) noexcept = default;
Searcher& Searcher::operator=(Searcher&&) noexcept = default;

void Searcher::run(std::span<const TokenId> tokens, std::span<const double> times,
                   std::span<const double> values, bool first_only, MatchBuffer& buffer,
                   const SearchOptions& options) {
  impl_->run(tokens, times, values, first_only, &buffer, nullptr, options);
}

void Searcher::run(std::span<const TokenId> tokens, std::span<const double> times,
                   std::span<const double> values, MatchSink& sink, const SearchOptions& options) {
  impl_->run(tokens, times, values, false, nullptr, &sink, options);
}

void match_full(const Engine& engine, std::span<const TokenId> tokens,
                std::span<const double> times, std::span<const double> values, bool first_only,
                MatchBuffer& buffer, const SearchOptions& options) {
  Searcher(engine).run(tokens, times, values, first_only, buffer, options);
}

}  // namespace zuldcore
