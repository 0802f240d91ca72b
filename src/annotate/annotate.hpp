// Annotation: the nine kinds of per-position question an AnnotationSpec asks
// of a stream, the span references some of them ask about, and the evaluator
// that turns one spec into one column. The Python face (lib/py_annotate.cpp)
// parses arguments into these values and hands the columns to NumPy; nothing
// here knows about Python.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/points.hpp"
#include "state/machine.hpp"
#include "base/expected.hpp"
#include "types/pattern.hpp"
#include "types/token_ref.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- aggregations

enum class AggKind : uint8_t { Min = 0, Max = 1, Mean = 2, Count = 3 };

// "min", "max", "mean" or "count", exact and case-sensitive; anything else
// fails with "Unknown aggregation '{text}'. Choose: min, max, mean, count".
Expected<AggKind> agg_kind_from_str(std::string_view text);
std::string_view agg_name(AggKind a);  // the name agg_kind_from_str reads back

// ---------------------------------------------------------------- spans

// An inclusive pair of stream positions.
struct Span {
  size_t start = 0;
  size_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

// A family of spans: the matches of a pattern, each start token paired with
// the first end token after it, or one state's instances under a machine
// snapshot.
struct SpanRef {
  struct PatternForm {
    Pattern pattern;  // a deep copy
  };
  struct TokenPair {
    std::string start_token;  // strings, interned at each resolution
    std::string end_token;
  };
  std::variant<PatternForm, TokenPair, StateSpanRef> form;

  // The spans on the cache's stream. Pattern: (m_start, m_end) of every
  // match in the matcher's order, duplicates kept; fails with "Pattern has
  // {k} elements; maximum is 64". Token pair: every start-token position
  // with the first end-token position after it, by ascending start. State:
  // the instances of the state that own a position (valid ones only when
  // valid_only), in the run's order; fails where the run fails.
  Expected<std::vector<Span>> resolve(PointsCache& points) const;
};
static_assert(std::is_nothrow_move_constructible_v<SpanRef>);

// n flags, 1 at every position that some span covers; parts of spans beyond
// position n - 1 are ignored.
std::vector<uint8_t> active_span_mask(size_t n, std::span<const Span> spans);

// ---------------------------------------------------------------- specs

struct FutureOccurrence {
  TokenRef x;
  double window_t = 0.0;
  bool partial_window = false;
};
struct PastOccurrence {
  TokenRef x;
  double window_t = 0.0;
  bool partial_window = false;
};
struct BeforeEvent {
  TokenRef x;
  TokenRef y;
  bool reset = true;
};
struct InSpan {
  TokenRef x;
  SpanRef span;
};
struct WindowAggregate {
  TokenRef k;
  double window_t = 0.0;
  AggKind agg = AggKind::Mean;
  bool forward = true;
  bool partial_window = false;
};
struct SpanAggregate {
  TokenRef k;
  SpanRef span;
  AggKind agg = AggKind::Mean;
};
struct FutureSpanOccurrence {
  SpanRef span;
  double window_t = 0.0;
  bool partial_window = false;
};
struct PastSpanOccurrence {
  SpanRef span;
  double window_t = 0.0;
  bool partial_window = false;
};
struct StateLabel {
  std::shared_ptr<const StateMachineDecl> machine;  // finalized, shared with other holders
  int32_t default_state = 0;
  int32_t invalid_label = -1;
};

// The tag is the alternative's index.
using AnnotKind = std::variant<FutureOccurrence, PastOccurrence, BeforeEvent, InSpan, WindowAggregate,
                               SpanAggregate, FutureSpanOccurrence, PastSpanOccurrence, StateLabel>;

struct AnnotationSpec {
  std::string name;  // the column's key
  AnnotKind kind;
};
static_assert(std::is_nothrow_move_constructible_v<AnnotationSpec>);

// ---------------------------------------------------------------- evaluation

// The values an evaluation writes at every stream position: labels
// (int8), aggregates (float64) or state ids (int32).
using Column = std::variant<std::vector<int8_t>, std::vector<double>, std::vector<int32_t>>;

// span_aggregate's column for resolved spans over a stream of n positions:
// the spans in (start, end) order, each writing the aggregate of the values
// of the points that start inside it to the positions it covers, so the
// later of two overlapping spans wins. Parts beyond n - 1 are ignored.
std::vector<double> span_aggregate_column(size_t n, const std::vector<Point>& k, std::vector<Span> spans,
                                          AggKind agg);

// Evaluates one kind on the cache's stream, asking the cache for points (so
// equal references are scanned once per call). Fails only with the message
// of a reference's points, a span resolution or a machine run.
Expected<Column> evaluate_annotation(const AnnotKind& kind, PointsCache& points);

}  // namespace zuldcore
