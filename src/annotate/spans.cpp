// Span references resolved on a stream, the span mask, and the names of the
// aggregations.
#include <algorithm>

#include "annotate/annotate.hpp"
#include "engine/matcher.hpp"

namespace zuldcore {

namespace {
constexpr std::string_view AGG_NAMES[] = {"min", "max", "mean", "count"};  // by AggKind value
}  // namespace

Expected<AggKind> agg_kind_from_str(std::string_view text) {
  for (uint8_t i = 0; i < std::size(AGG_NAMES); ++i)
    if (text == AGG_NAMES[i]) return static_cast<AggKind>(i);
  return fail(cat("Unknown aggregation '", text, "'. Choose: min, max, mean, count"));
}

std::string_view agg_name(AggKind a) { return AGG_NAMES[static_cast<uint8_t>(a)]; }

namespace {

// Every match's (m_start, m_end) as the search finds it, without the
// buffer's other columns.
class SpanSink final : public MatchSink {
 public:
  explicit SpanSink(std::vector<Span>& out) : out_(out) {}
  void take(size_t m_start, size_t m_end, double) override { out_.push_back({m_start, m_end}); }

 private:
  std::vector<Span>& out_;
};

Expected<std::vector<Span>> pattern_spans(const Pattern& pattern, const StreamView& s) {
  Expected<Engine> engine = make_engine(pattern);
  if (!engine) return fail(engine.message());
  std::vector<Span> out;
  SpanSink sink(out);
  StreamMatcher(engine.value()).match_each(s.tokens, s.times, s.values, sink);
  return out;
}

// Each start position with the first end position after it. One cursor into
// the end positions that never moves back, so consecutive starts before one
// end share it (nested spans), and with equal tokens each occurrence pairs
// with the next.
Expected<std::vector<Span>> token_pair_spans(const SpanRef::TokenPair& pair, PointsCache& cache) {
  auto starts = cache.get(TokenRef{TokenRef::Single{pair.start_token}});
  if (!starts) return fail(starts.message());
  auto ends = cache.get(TokenRef{TokenRef::Single{pair.end_token}});
  if (!ends) return fail(ends.message());
  const std::vector<Point>& z = *starts.value();
  const std::vector<Point>& y = *ends.value();
  std::vector<Span> out;
  size_t j = 0;
  for (const Point& p : z) {
    while (j < y.size() && y[j].start <= p.start) ++j;
    if (j == y.size()) break;
    out.push_back({p.start, y[j].start});
  }
  return out;
}

Expected<std::vector<Span>> state_spans_of(const StateSpanRef& ref, PointsCache& cache) {
  ZC_ENSURE(ref.machine != nullptr, "span reference without a machine");
  Expected<std::vector<StateInstance>> run = run_state_machine(*ref.machine, cache);
  if (!run) return fail(run.message());
  std::vector<Span> out;
  for (const StateInstance& inst : run.value()) {
    if (inst.state != ref.state || (ref.valid_only && !inst.valid) || !inst.owns_positions()) continue;
    out.push_back({inst.start_pos, inst.end_pos});
  }
  return out;
}

}  // namespace

Expected<std::vector<Span>> SpanRef::resolve(PointsCache& points) const {
  return std::visit(
      [&](const auto& f) -> Expected<std::vector<Span>> {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<F, PatternForm>)
          return pattern_spans(f.pattern, points.stream());
        else if constexpr (std::is_same_v<F, TokenPair>)
          return token_pair_spans(f, points);
        else
          return state_spans_of(f, points);
      },
      form);
}

// A difference array instead of the sorted sweep: the union of the spans is
// the same, and it costs O(n + spans) with no sort.
std::vector<uint8_t> active_span_mask(size_t n, std::span<const Span> spans) {
  std::vector<int64_t> delta(n + 1, 0);
  for (const Span& s : spans) {
    if (s.start >= n || s.end < s.start) continue;
    ++delta[s.start];
    --delta[std::min(s.end, n - 1) + 1];
  }
  std::vector<uint8_t> mask(n, 0);
  int64_t depth = 0;
  for (size_t j = 0; j < n; ++j) {
    depth += delta[j];
    mask[j] = depth > 0;
  }
  return mask;
}

}  // namespace zuldcore
