// Resolution and scanning of token references. Tests: tests/cpp/test_points.cpp
// (the match order that folding relies on, scans against their plain
// definitions, the shared store), tests/test_bounded_work.py (memory and
// Ctrl-C in a child process) and the annotation model tests.
#include "engine/points.hpp"

#include <algorithm>
#include <deque>
#include <string_view>
#include <utility>

#include "base/ensure.hpp"
#include "base/interrupt.hpp"

namespace zuldcore {

namespace {

// Up to this many distinct ids a set is compared id by id; beyond, a lookup
// table answers in constant time (a 300,000-token set over 300,000 events
// would otherwise cost 9e10 comparisons).
constexpr size_t SMALL_SET_MAX = 8;

// A walk of this many trie levels counts as one more tick of work, so that a
// scan whose walks are long (a long sequence over tied times) answers Ctrl-C
// as promptly as one whose walks are short.
constexpr size_t WALK_LEVELS_PER_TICK = 64;

// The depths of the shallowest terminal node below the root (0 when no
// sequence is stored) and of the deepest node: no occurrence is shorter than
// the first, and no walk reads more positions than the second. Breadth
// first, without recursion, so a trie of any depth is fine.
std::pair<size_t, size_t> sequence_lengths(const Trie& trie) {
  size_t shortest = 0, deepest = 0;
  std::deque<std::pair<const Trie*, size_t>> todo{{&trie, 0}};
  InterruptCheck interrupt;
  while (!todo.empty()) {
    interrupt.tick();
    const auto [node, depth] = todo.front();
    todo.pop_front();
    deepest = std::max(deepest, depth);
    if (node->terminal() && depth > 0 && shortest == 0) shortest = depth;
    for (TokenId tok : node->first_tokens())
      for (const TrieEdge& e : node->edges(tok)) todo.emplace_back(&e.child, depth + 1);
  }
  return {shortest, deepest};
}

// Folds matches into one point per start, keeping the smallest end (and its
// time), as the search finds them. Both the search and the fast path
// complete every match that starts at p before they look past p, so starts
// arrive in ascending order and a match either joins the last point or
// begins the next one (tests/cpp/test_points.cpp pins that order down).
class PointSink final : public MatchSink {
 public:
  PointSink(const StreamView& stream, std::vector<Point>& out) : stream_(stream), out_(out) {}

  void take(size_t start, size_t end, double time) override {
    if (out_.empty() || out_.back().start < start) {
      out_.push_back({start, end, time, stream_.value_at(start)});
      return;
    }
    Point& last = out_.back();
    ZC_ENSURE(last.start == start, "match starting at ", start, " after one starting at ", last.start);
    if (end < last.end) {
      last.end = end;
      last.time = time;
    }
  }

 private:
  const StreamView& stream_;
  std::vector<Point>& out_;
};

// Positions are tested a block at a time: the block's hits are noted
// without a branch (a branch on whether a token is wanted would be
// mispredicted at most hits), then turned into points.
constexpr size_t TOKEN_BLOCK = 1024;

template <class Contains>
void token_points(const StreamView& s, Contains contains, std::vector<Point>& out) {
  uint32_t hits[TOKEN_BLOCK];
  InterruptCheck interrupt;
  for (size_t from = 0; from < s.size(); from += TOKEN_BLOCK) {
    const size_t to = std::min(s.size(), from + TOKEN_BLOCK);
    interrupt.tick(static_cast<uint32_t>(to - from));
    size_t count = 0;
    for (size_t i = from; i < to; ++i) {
      hits[count] = static_cast<uint32_t>(i - from);
      count += contains(s.tokens[i]);
    }
    for (size_t h = 0; h < count; ++h) {
      const size_t i = from + hits[h];
      out.push_back({i, i, s.times[i], s.value_at(i)});
    }
  }
}

// Greedy and without overlap. An occurrence at i lies inside the run of
// positions that share t(i) (every token of it must carry that time), so a
// run shorter than the shortest stored sequence is skipped without a walk.
void sequence_points(const Trie& trie, size_t shortest, size_t deepest, const StreamView& s,
                     std::vector<Point>& out) {
  if (shortest == 0) return;
  size_t run_end = 0;  // end of the run of equal times that holds i, once i < run_end
  InterruptCheck interrupt;
  for (size_t i = 0; i < s.size();) {
    interrupt.tick();
    if (run_end <= i) {
      run_end = i;
      while (run_end < s.size() && s.times[run_end] == s.times[i]) ++run_end;  // stays at i for NaN
    }
    if (run_end - i < shortest) {
      ++i;
      continue;
    }
    for (size_t levels = std::min(run_end - i, deepest); levels >= WALK_LEVELS_PER_TICK;
         levels -= WALK_LEVELS_PER_TICK)
      interrupt.tick();
    std::optional<size_t> len = match_at(trie, s.tokens, s.times, s.values, i);
    if (len && *len >= 1) {
      out.push_back({i, i + *len - 1, s.times[i], s.value_at(i)});
      i += *len;
    } else {
      ++i;
    }
  }
}

}  // namespace

Expected<ResolvedRef> ResolvedRef::resolve(const TokenRef& ref) {
  return std::visit(
      [&](const auto& form) -> Expected<ResolvedRef> {
        using F = std::decay_t<decltype(form)>;
        if constexpr (std::is_same_v<F, TokenRef::Single>) {
          return ResolvedRef(Single{intern(form.token)});
        } else if constexpr (std::is_same_v<F, TokenRef::Set>) {
          const std::vector<std::string_view> strings(form.tokens.begin(), form.tokens.end());
          std::vector<TokenId> ids = intern_stream(strings);  // one lock for the whole set
          std::sort(ids.begin(), ids.end());
          ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
          if (ids.size() <= SMALL_SET_MAX) return ResolvedRef(SmallSet{std::move(ids)});
          LargeSet large;
          large.ids.build(ids);
          return ResolvedRef(std::move(large));
        } else if constexpr (std::is_same_v<F, TokenRef::Sequences>) {
          const auto [shortest, deepest] = sequence_lengths(form.trie);
          return ResolvedRef(Sequences{&form.trie, shortest, deepest});
        } else {
          Expected<Engine> engine = make_engine(form.pattern);
          if (!engine) return fail(engine.message());
          return ResolvedRef(PatternForm{std::make_shared<const MatchProgram>(engine.value())});
        }
      },
      ref.form);
}

PointScanner::PointScanner(const ResolvedRef& ref) : ref_(&ref) {}
PointScanner::~PointScanner() = default;
PointScanner::PointScanner(PointScanner&&) noexcept = default;
PointScanner& PointScanner::operator=(PointScanner&&) noexcept = default;

void PointScanner::scan(const StreamView& s, std::vector<Point>& out) {
  ZC_ENSURE(s.times.size() == s.size() && (s.values.empty() || s.values.size() == s.size()),
            "match_points: stream columns of different lengths");
  out.clear();
  std::visit(
      [&](const auto& form) {
        using F = std::decay_t<decltype(form)>;
        if constexpr (std::is_same_v<F, ResolvedRef::Single>) {
          token_points(s, [id = form.id](TokenId t) { return t == id; }, out);
        } else if constexpr (std::is_same_v<F, ResolvedRef::SmallSet>) {
          token_points(s,
                       [&ids = form.ids](TokenId t) {
                         bool found = false;  // every id compared: no early exit to mispredict
                         for (TokenId id : ids) found |= t == id;
                         return found;
                       },
                       out);
        } else if constexpr (std::is_same_v<F, ResolvedRef::LargeSet>) {
          token_points(s, [&ids = form.ids](TokenId t) { return ids.contains(t); }, out);
        } else if constexpr (std::is_same_v<F, ResolvedRef::Sequences>) {
          sequence_points(*form.trie, form.shortest, form.deepest, s, out);
        } else {
          if (!matcher_) matcher_ = std::make_unique<StreamMatcher>(*form.program);
          PointSink sink(s, out);
          matcher_->match_each(s.tokens, s.times, s.values, sink);
        }
      },
      ref_->form_);
}

Expected<std::vector<Point>> match_points(const TokenRef& ref, const StreamView& s) {
  Expected<ResolvedRef> resolved = ResolvedRef::resolve(ref);
  if (!resolved) return fail(resolved.message());
  std::vector<Point> out;
  PointScanner(resolved.value()).scan(s, out);
  return out;
}

// ---------------------------------------------------------------- stores and caches

Expected<const ResolvedRef*> ResolvedRefs::resolve(const TokenRef& ref, const std::string& key) {
  if (const ResolvedRef* known = find(ref, key)) return known;
  Expected<ResolvedRef> resolved = ResolvedRef::resolve(ref);
  if (!resolved) return fail(resolved.message());
  auto held = std::make_unique<const ResolvedRef>(std::move(resolved).value());
  const ResolvedRef* out = held.get();
  if (key.empty())
    by_address_.emplace(&ref, std::move(held));
  else
    by_key_.emplace(key, std::move(held));
  return out;
}

const ResolvedRef* ResolvedRefs::find(const TokenRef& ref, const std::string& key) const {
  if (key.empty()) {
    auto it = by_address_.find(&ref);
    return it == by_address_.end() ? nullptr : it->second.get();
  }
  auto it = by_key_.find(key);
  return it == by_key_.end() ? nullptr : it->second.get();
}

Expected<std::shared_ptr<const std::vector<Point>>> PointsCache::get(const TokenRef& ref) {
  std::string key = token_ref_key(ref);
  if (!key.empty()) {
    auto it = by_key_.find(key);
    if (it != by_key_.end()) return it->second;
  }
  const ResolvedRef* resolved = read_ != nullptr ? read_->find(ref, key) : nullptr;
  if (resolved == nullptr) {
    Expected<const ResolvedRef*> made = resolve_into_->resolve(ref, key);
    if (!made) return fail(made.message());
    resolved = made.value();
  }
  std::vector<Point> points;
  PointScanner(*resolved).scan(stream_, points);
  auto shared = std::make_shared<const std::vector<Point>>(std::move(points));
  if (!key.empty()) by_key_.emplace(std::move(key), shared);
  return shared;
}

}  // namespace zuldcore
