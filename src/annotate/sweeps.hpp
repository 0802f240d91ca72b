// The per-position sweeps behind the window kinds, shared by
// evaluate_annotation and AnnotationPlan: each walks the stream once with
// forward-only cursors over flat arrays of point times (ended by a NaN, which
// stops every cursor without a bounds test) and writes one entry per
// position straight into the caller's column. Internal to src/annotate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "annotate/annotate.hpp"
#include "annotate/exact_sum.hpp"

namespace zuldcore {

// Flat arrays a sweep fills from a stream's points, kept from stream to
// stream so that a corpus of small documents allocates nothing per document.
struct SweepScratch {
  std::vector<double> times;     // the points' times but NaN ones, then a NaN
  std::vector<double> values;    // the values of those points
  std::vector<size_t> valued;    // [j]: non-NaN values among the first j
  std::vector<size_t> min_slots;  // the deques of the sliding minimum and maximum
  std::vector<size_t> max_slots;
  PrefixSums sums;
};

// One aggregate a window sweep writes: position j's value to out[j].
struct AggOut {
  AggKind agg;
  double* out;
};

// window_aggregate for every aggregate of `outs` at once, all over the same
// points and window: [t, t + w] forward, [t - w, t] backward. A position
// whose window reaches past the stream (unless partial_window), holds no
// point, or whose time is NaN gets NaN; so does every position when the
// points are empty.
void window_aggregates(const StreamView& s, const std::vector<Point>& points, double w, bool forward,
                       bool partial_window, std::span<const AggOut> outs, SweepScratch& scratch);

// future_occurrence (forward) or past_occurrence: 1 where a point lies in
// the window, 0 where none does, -1 where the window reaches past the
// stream (unless partial_window).
void occurrence_labels(const StreamView& s, const std::vector<Point>& points, double w, bool partial_window,
                       bool forward, int8_t* out, SweepScratch& scratch);

// before_event: the labels of the epochs that y's points delimit.
void before_event_labels(size_t n, const std::vector<Point>& x, const std::vector<Point>& y, bool reset,
                         int8_t* out);

}  // namespace zuldcore
