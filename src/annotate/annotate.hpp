// Annotation: the nine kinds of per-position question an AnnotationSpec asks
// of a stream, the span references some of them ask about, and the evaluator
// that turns one spec into one column. The Python face (lib/py_annotate.cpp)
// parses arguments into these values and hands the columns to NumPy; nothing
// here knows about Python.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

// ---------------------------------------------------------------- plans

// Where a spec's values go: a column (of the type its kind gives) that
// holds the stream at some offset.
using ColumnOut = std::variant<std::span<int8_t>, std::span<double>, std::span<int32_t>>;

// The spec of a list that failed, and the message.
struct SpecFailure {
  size_t spec = 0;
  std::string message;
};

class AnnotationScratch;

// A list of specs made ready for any number of streams (the documents of a
// corpus, or the one stream of annotate_stream): every token reference
// resolved once and numbered, so that a stream's points are found without
// hashing, and window aggregates over the same points and window grouped,
// so that one sweep gives every aggregate the list asks for. Only read once
// made: threads may share it, each with its own scratch. The specs must
// outlive the plan, unchanged and in place.
class AnnotationPlan {
 public:
  AnnotationPlan();
  ~AnnotationPlan();
  AnnotationPlan(AnnotationPlan&&) noexcept;
  AnnotationPlan& operator=(AnnotationPlan&&) noexcept;

  // Appends the next spec. Fails, adding nothing, with what no stream can
  // avoid: a reference that cannot be resolved ("Pattern has {k} elements;
  // maximum is 64"), a machine that cannot run ("Too many distinct
  // triggers: ..."); the same message evaluate_annotation gives.
  Status add(const AnnotKind& kind);
  size_t size() const noexcept;

  // A column of spec i's type with n entries.
  Column column(size_t i, size_t n) const;

  // Evaluates the specs first .. first + outs.size() - 1 on `stream`: the
  // entry of position j of spec first + k goes to outs[k][at + j] (each of
  // the spec's type and long enough). Each column is exactly what
  // evaluate_annotation gives on the stream. A spec that fails anyway (the
  // failures are data-independent, so add() has seen them) is returned with
  // its message, the columns then only partly written.
  std::optional<SpecFailure> evaluate(const StreamView& stream, AnnotationScratch& scratch,
                                      std::span<const ColumnOut> outs, size_t at = 0, size_t first = 0) const;

 private:
  friend class AnnotationScratch;
  struct Planned;
  struct WindowGroup;
  uint32_t slot_of(const ResolvedRef* resolved);
  std::optional<SpecFailure> evaluate_cached(const StreamView& stream, std::span<const ColumnOut> outs, size_t at,
                                             size_t first) const;

  std::unique_ptr<ResolvedRefs> store_;              // the references resolved, in place for the plan's life
  std::vector<const ResolvedRef*> slots_;            // one per distinct reference
  std::vector<Planned> specs_;
  std::vector<WindowGroup> groups_;
  bool has_cached_ = false;                          // some spec reads spans or runs a machine
};

// The whole of a column, to write into.
ColumnOut column_out(Column& column);

// What one thread keeps from stream to stream while it evaluates a plan:
// the points of each reference (their storage kept), the scanners (a
// pattern's matcher scratch kept) and the sweeps' flat arrays. One plan,
// one thread at a time.
class AnnotationScratch {
 public:
  AnnotationScratch();
  ~AnnotationScratch();
  AnnotationScratch(AnnotationScratch&&) noexcept;
  AnnotationScratch& operator=(AnnotationScratch&&) noexcept;

 private:
  friend class AnnotationPlan;
  struct Sweep;
  std::vector<std::optional<PointScanner>> scanners_;  // by slot, made on first use
  std::vector<std::vector<Point>> points_;             // by slot: the current stream's
  std::vector<uint64_t> scanned_;                      // by slot: the stream points_ belongs to
  std::vector<uint64_t> swept_;                        // by group: the stream last swept
  uint64_t stream_ = 0;                                // streams evaluated so far
  std::unique_ptr<Sweep> sweep_;
};

}  // namespace zuldcore
