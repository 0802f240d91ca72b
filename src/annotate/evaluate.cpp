// The evaluator of the nine annotation kinds. Each kind asks for its points
// or spans once and then makes one pass over the stream:
//   - time windows move two forward-only cursors over the ascending point
//     times (flat, NaN-ended arrays), so a window costs O(1) amortised
//     whatever its width, and every aggregate over the same points and
//     window comes from one sweep (sweeps.hpp);
//   - window min and max keep a monotone deque, window mean exact prefix
//     sums (or an ExactSum slid along, when the values span too many bits);
//   - span coverage is a difference array, and span aggregates fill every
//     position from the last span that covers it, asking a block structure
//     for each span's aggregate.
// Every loop over positions, points or spans ticks an InterruptCheck, so a
// long call stops on request. The cursors rely on times that never decrease,
// NaN times aside: a point at a NaN time lies in no window (every comparison
// with NaN fails), so the cursors run over the other points only, and a
// position whose own time is NaN has a window that holds nothing. On other
// times the answers are unspecified but every read stays in bounds.
// Tests: tests/cpp/test_annotate.cpp and tests/test_annotate.py.
#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <optional>

#include "annotate/annotate.hpp"
#include "annotate/exact_sum.hpp"
#include "annotate/sweeps.hpp"
#include "base/interrupt.hpp"

namespace zuldcore {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

using Points = std::vector<Point>;

bool is_nan(double x) noexcept { return x != x; }

// A NaN after the times stops both cursors of a sweep: every comparison with
// it fails, so the loops need no bounds test.
void sentinel_times(const Points& points, std::vector<double>& times) {
  times.clear();
  times.reserve(points.size() + 1);
  for (const Point& p : points)
    if (!is_nan(p.time)) times.push_back(p.time);
  times.push_back(NaN);
}

// The window of position i: [t, t + w] forward, [t - w, t] backward. The
// availability test reads the same bounds, so the two never disagree by a
// rounding.
struct Window {
  double lo, hi;
};
Window window_at(double t, double w, bool forward) noexcept {
  return forward ? Window{t, t + w} : Window{t - w, t};
}

// Whether the window reaches past the stream: beyond its last time forward,
// before its first time backward.
bool unavailable(const Window& win, bool forward, double t_first, double t_last) noexcept {
  return forward ? win.hi > t_last : win.lo < t_first;
}

// The index range [first, last) of the ascending, NaN-ended `times` inside
// [lo, hi]. Windows must be asked for with non-decreasing bounds, NaN bounds
// aside; then each cursor moves only forward, over every time at most once.
// An inverted window (lo > hi) or one with a NaN bound holds nothing, and a
// NaN bound moves neither cursor.
struct Cursors {
  const double* times;
  size_t first = 0;
  size_t last = 0;

  // Whether the window holds nothing. Most positions move a cursor by one
  // point or none: that step is an addition, not a branch the processor
  // would mispredict at every point; only a longer move loops.
  bool seek(double lo, double hi) noexcept {
    first += times[first] < lo;
    if (times[first] < lo) [[unlikely]]
      while (times[first] < lo) ++first;
    last += times[last] <= hi;
    if (times[last] <= hi) [[unlikely]]
      while (times[last] <= hi) ++last;
    return !(lo <= hi) || last <= first;
  }
};

// Labels 1 / 0 / -1 of an occurrence within each position's window of the
// NaN-ended `event_times`, or 2 where `inside` (the span mask, when given)
// is set.
void occurrence_sweep(const StreamView& s, const double* event_times, double w, bool partial_window,
                      bool forward, const uint8_t* inside, int8_t* out) {
  const size_t n = s.size();
  if (n == 0) return;
  const double t_first = s.times[0], t_last = s.times[n - 1];
  Cursors cursor{event_times};
  InterruptCheck interrupt;
  for (size_t i = 0; i < n; ++i) {
    interrupt.tick();
    const Window win = window_at(s.times[i], w, forward);
    const bool empty = cursor.seek(win.lo, win.hi);
    const bool blank = !partial_window && unavailable(win, forward, t_first, t_last);
    int8_t label = blank ? int8_t{-1} : static_cast<int8_t>(!empty);
    if (inside) label = inside[i] ? int8_t{2} : label;
    out[i] = label;
  }
}

// The indices of a sliding window whose values strictly improve from the
// back to the front (NaN values never enter): its front is the window's
// minimum or maximum. Each index is pushed and popped at most once; on a
// tie the newer index replaces the older, so of equal values (0.0 and -0.0)
// the later one is the answer.
template <bool IS_MIN>
struct MonotoneDeque {
  size_t* slots;
  const double* values;
  size_t head = 0, tail = 0;

  void push(size_t j) noexcept {
    const double v = values[j];
    if (v != v) return;
    while (tail > head && !(IS_MIN ? values[slots[tail - 1]] < v : values[slots[tail - 1]] > v)) --tail;
    slots[tail++] = j;
  }
  void drop_before(size_t first) noexcept {
    while (head < tail && slots[head] < first) ++head;
  }
  double best() const noexcept { return head < tail ? values[slots[head]] : NaN; }
};

}  // namespace

void occurrence_labels(const StreamView& s, const Points& points, double w, bool partial_window, bool forward,
                       int8_t* out, SweepScratch& scratch) {
  sentinel_times(points, scratch.times);
  occurrence_sweep(s, scratch.times.data(), w, partial_window, forward, nullptr, out);
}

void before_event_labels(size_t n, const Points& x, const Points& y, bool reset, int8_t* out) {
  if (!reset) {
    int8_t label;
    if (!x.empty())
      label = (y.empty() || x.front().start <= y.front().start) ? 1 : 0;
    else
      label = y.empty() ? -1 : 0;
    std::fill(out, out + n, label);
    return;
  }
  // Each y at q closes the epoch [e, q]; the positions after the last y form
  // a trailing epoch that is 1 once an x is seen there, and otherwise stays
  // -1 because an x may still come.
  std::fill(out, out + n, int8_t{-1});
  size_t e = 0, xi = 0;
  InterruptCheck interrupt;
  for (const Point& q : y) {
    interrupt.tick();
    if (q.start >= n) break;
    if (q.start < e) continue;
    while (xi < x.size() && x[xi].start < e) ++xi;
    const bool has_x = xi < x.size() && x[xi].start <= q.start;
    std::fill(out + e, out + q.start + 1, static_cast<int8_t>(has_x ? 1 : 0));
    e = q.start + 1;
  }
  if (e < n) {
    while (xi < x.size() && x[xi].start < e) ++xi;
    if (xi < x.size()) std::fill(out + e, out + n, int8_t{1});
  }
}

void window_aggregates(const StreamView& s, const Points& points, double w, bool forward, bool partial_window,
                       std::span<const AggOut> outs, SweepScratch& scratch) {
  const size_t n = s.size();
  if (n == 0 || outs.empty()) return;
  // The points that can lie in a window: all but those at a NaN time.
  std::vector<double>& times = scratch.times;
  std::vector<double>& values = scratch.values;
  times.clear();
  values.clear();
  for (const Point& p : points)
    if (!is_nan(p.time)) {
      times.push_back(p.time);
      values.push_back(p.value);
    }
  const size_t m = values.size();
  if (m == 0) {  // no points: NaN everywhere, count included
    for (const AggOut& o : outs) std::fill(o.out, o.out + n, NaN);
    return;
  }
  times.push_back(NaN);

  bool want_min = false, want_max = false, want_mean = false;
  for (const AggOut& o : outs) {
    want_min |= o.agg == AggKind::Min;
    want_max |= o.agg == AggKind::Max;
    want_mean |= o.agg == AggKind::Mean;
  }
  MonotoneDeque<true> mins{nullptr, values.data()};
  MonotoneDeque<false> maxs{nullptr, values.data()};
  if (want_min) {
    scratch.min_slots.resize(m);
    mins.slots = scratch.min_slots.data();
  }
  if (want_max) {
    scratch.max_slots.resize(m);
    maxs.slots = scratch.max_slots.data();
  }
  // The mean of a window [first, last) is its exact sum, correctly rounded,
  // over its count of non-NaN values: the sum read from prefix sums when the
  // values allow (PrefixSums), else from an ExactSum slid along; either way
  // read only when the window's points change.
  bool prefix = false;
  ExactSum sliding;
  size_t added = 0, removed = 0;
  if (want_mean) {
    std::vector<size_t>& valued = scratch.valued;
    valued.resize(m + 1);
    valued[0] = 0;
    for (size_t j = 0; j < m; ++j) valued[j + 1] = valued[j] + !is_nan(values[j]);
    prefix = scratch.sums.build(values);
  }
  double mean = NaN;
  size_t mean_first = 1, mean_last = 0;  // the window `mean` belongs to (none yet)

  const double t_first = s.times[0], t_last = s.times[n - 1];
  Cursors cursor{times.data()};
  size_t pushed = 0;
  InterruptCheck interrupt;
  for (size_t i = 0; i < n; ++i) {
    interrupt.tick();
    const Window win = window_at(s.times[i], w, forward);
    const bool empty = cursor.seek(win.lo, win.hi);
    const size_t first = cursor.first, last = cursor.last;
    if (want_min || want_max) {
      for (; pushed < last; ++pushed) {
        if (want_min) mins.push(pushed);
        if (want_max) maxs.push(pushed);
      }
      if (want_min) mins.drop_before(first);
      if (want_max) maxs.drop_before(first);
    }
    // Every output is written at every position, NaN where the window is
    // blank: a selection, not a branch.
    const bool blank = empty || (!partial_window && unavailable(win, forward, t_first, t_last));
    for (const AggOut& o : outs) {
      double v;
      switch (o.agg) {
        case AggKind::Count: v = static_cast<double>(last - first); break;
        case AggKind::Min: v = mins.best(); break;
        case AggKind::Max: v = maxs.best(); break;
        default:
          if (!blank && (first != mean_first || last != mean_last)) {
            const size_t k = scratch.valued[last] - scratch.valued[first];
            if (k == 0) {
              mean = NaN;
            } else if (prefix) {
              mean = scratch.sums.sum(first, last) / static_cast<double>(k);
            } else {
              for (; added < last; ++added)
                if (!is_nan(values[added])) sliding.add(values[added]);
              for (; removed < first; ++removed)
                if (!is_nan(values[removed])) sliding.remove(values[removed]);
              mean = sliding.value() / static_cast<double>(k);
            }
            mean_first = first;
            mean_last = last;
          }
          v = mean;
      }
      o.out[i] = blank ? NaN : v;
    }
  }
}

namespace {

// Index of the first point whose start is >= pos.
size_t first_start_at_or_after(const Points& points, size_t pos) {
  return static_cast<size_t>(
      std::partition_point(points.begin(), points.end(), [&](const Point& p) { return p.start < pos; }) -
      points.begin());
}

std::vector<int8_t> in_span_labels(size_t n, const Points& x, const std::vector<Span>& spans) {
  // Coverage counts by difference arrays: by every span, and by the spans
  // that hold an x.
  std::vector<int64_t> all(n + 1, 0), with_x(n + 1, 0);
  InterruptCheck interrupt;
  for (const Span& sp : spans) {
    interrupt.tick();
    if (sp.start >= n || sp.end < sp.start) continue;
    const size_t end = std::min(sp.end, n - 1);
    const size_t xi = first_start_at_or_after(x, sp.start);
    ++all[sp.start];
    --all[end + 1];
    if (xi < x.size() && x[xi].start <= sp.end) {
      ++with_x[sp.start];
      --with_x[end + 1];
    }
  }
  std::vector<int8_t> out(n, -1);
  int64_t depth = 0, depth_x = 0;
  for (size_t j = 0; j < n; ++j) {
    interrupt.tick();
    depth += all[j];
    depth_x += with_x[j];
    out[j] = depth_x > 0 ? 1 : depth > 0 ? 0 : -1;
  }
  return out;
}

// ---------------------------------------------------------------- span aggregates

// Aggregates over arbitrary index ranges of the points' values. Min and max
// use a sparse table over blocks of BLOCK points; mean uses an exact prefix
// sum at every block boundary; the partial blocks at either end are scanned.
// A query costs O(BLOCK) and the structure O(points / BLOCK) sums.
class RangeAggregator {
 public:
  static constexpr size_t BLOCK = 64;

  RangeAggregator(const Points& points, AggKind agg) : points_(points), agg_(agg) {
    const size_t m = points.size();
    if (agg == AggKind::Count) return;
    valued_.assign(m + 1, 0);
    for (size_t j = 0; j < m; ++j) valued_[j + 1] = valued_[j] + (points[j].value == points[j].value);
    if (agg == AggKind::Mean) {
      ExactSum running;
      checkpoints_.reserve(m / BLOCK + 1);
      for (size_t j = 0; j < m; ++j) {
        if (j % BLOCK == 0) checkpoints_.push_back(running);
        running.add(points[j].value);
      }
      if (m % BLOCK == 0) checkpoints_.push_back(running);
    } else if (agg == AggKind::Min || agg == AggKind::Max) {
      const size_t blocks = m / BLOCK;  // full blocks only; a last partial block is scanned
      if (blocks == 0) return;
      table_.emplace_back(blocks);
      for (size_t b = 0; b < blocks; ++b) table_[0][b] = scan(b * BLOCK, (b + 1) * BLOCK);
      for (size_t width = 2; width <= blocks; width *= 2) {
        const std::vector<double>& prev = table_.back();
        std::vector<double> level(blocks - width + 1);
        for (size_t b = 0; b + width <= blocks; ++b) level[b] = pick(prev[b], prev[b + width / 2]);
        table_.push_back(std::move(level));
      }
    }
  }

  // The aggregate of points [lo, hi). Count of nothing is 0; min, max and
  // mean of nothing (or of NaN values only) are NaN.
  double query(size_t lo, size_t hi) const {
    if (agg_ == AggKind::Count) return static_cast<double>(hi - lo);
    const size_t valued = valued_[hi] - valued_[lo];
    if (valued == 0) return NaN;
    if (agg_ == AggKind::Mean) return exact_sum(lo, hi).value() / static_cast<double>(valued);
    const size_t bl = (lo + BLOCK - 1) / BLOCK, br = hi / BLOCK;  // the full blocks [bl, br)
    if (bl >= br) return scan(lo, hi);
    const size_t level = static_cast<size_t>(std::bit_width(br - bl)) - 1;
    double best = pick(table_[level][bl], table_[level][br - (size_t{1} << level)]);
    best = pick(best, scan(lo, bl * BLOCK));
    return pick(best, scan(br * BLOCK, hi));
  }

 private:
  // The better of two values; the identity (+inf for min, -inf for max)
  // stands for "no value yet", and a NaN never wins.
  double pick(double a, double b) const noexcept {
    return agg_ == AggKind::Min ? (b < a ? b : a) : (b > a ? b : a);
  }
  double scan(size_t lo, size_t hi) const noexcept {
    double best = agg_ == AggKind::Min ? INF : -INF;
    for (size_t j = lo; j < hi; ++j) best = pick(best, points_[j].value);
    return best;
  }
  ExactSum exact_sum(size_t lo, size_t hi) const {
    ExactSum s = checkpoints_[hi / BLOCK];
    s.subtract(checkpoints_[lo / BLOCK]);
    for (size_t j = hi / BLOCK * BLOCK; j < hi; ++j) s.add(points_[j].value);
    for (size_t j = lo / BLOCK * BLOCK; j < lo; ++j) s.remove(points_[j].value);
    return s;
  }

  const Points& points_;
  AggKind agg_;
  std::vector<size_t> valued_;                // valued_[j]: non-NaN values among points [0, j)
  std::vector<ExactSum> checkpoints_;         // [b]: sum of the values of points [0, b * BLOCK)
  std::vector<std::vector<double>> table_;    // [l][b]: best of blocks [b, b + 2^l)
};

// The next position at or after j that no span has written yet (path
// halving over `next`, where next[j] == j marks a free position).
size_t next_free(std::vector<size_t>& next, size_t j) noexcept {
  while (next[j] != j) {
    next[j] = next[next[j]];
    j = next[j];
  }
  return j;
}

}  // namespace

std::vector<double> span_aggregate_column(size_t n, const Points& k, std::vector<Span> spans, AggKind agg) {
  std::vector<double> out(n, NaN);
  if (n == 0 || spans.empty()) return out;
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
  // The last span in (start, end) order wins every position it covers: walk
  // the spans backwards and let each fill only positions still free, so
  // every position is written once and a span is aggregated only if it
  // wins somewhere.
  const RangeAggregator ranges(k, agg);
  std::vector<size_t> next(n + 1);
  for (size_t j = 0; j <= n; ++j) next[j] = j;
  InterruptCheck interrupt;
  for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
    interrupt.tick();
    if (it->start >= n || it->end < it->start) continue;
    const size_t end = std::min(it->end, n - 1);
    size_t j = next_free(next, it->start);
    if (j > end) continue;
    const double v = ranges.query(first_start_at_or_after(k, it->start), first_start_at_or_after(k, end + 1));
    for (; j <= end; j = next_free(next, j + 1)) {
      interrupt.tick();
      out[j] = v;
      next[j] = j + 1;
    }
  }
  return out;
}

namespace {

// ---------------------------------------------------------------- spans in windows

std::vector<int8_t> span_occurrence(const StreamView& s, const std::vector<Span>& spans, double w,
                                    bool partial_window, bool forward) {
  const size_t n = s.size();
  const std::vector<uint8_t> mask = active_span_mask(n, spans);
  // The start times of the spans in ascending order of start position (a
  // start shared by several spans once: only "some start in the window"
  // matters; a NaN one lies in no window), then the NaN that ends them.
  std::vector<uint8_t> is_start(n, 0);
  for (const Span& sp : spans)
    if (sp.start < n) is_start[sp.start] = 1;
  std::vector<double> start_times;
  for (size_t j = 0; j < n; ++j)
    if (is_start[j] && !is_nan(s.times[j])) start_times.push_back(s.times[j]);
  start_times.push_back(NaN);
  std::vector<int8_t> out(n);
  occurrence_sweep(s, start_times.data(), w, partial_window, forward, mask.data(), out.data());
  return out;
}

// ---------------------------------------------------------------- state labels

Expected<std::vector<int32_t>> state_labels(const StateLabel& spec, PointsCache& cache) {
  ZC_ENSURE(spec.machine != nullptr, "state_label without a machine");
  Expected<std::vector<StateInstance>> run = run_state_machine(*spec.machine, cache);
  if (!run) return fail(run.message());
  const size_t n = cache.stream().size();
  std::vector<int32_t> out(n, spec.default_state);
  // Invalid instances first, so that a valid one overrides them where they
  // overlap; within each group the later in the run's order wins.
  InterruptCheck interrupt;
  for (const bool valid : {false, true}) {
    for (const StateInstance& inst : run.value()) {
      interrupt.tick();
      if (inst.valid != valid || !inst.owns_positions() || inst.start_pos >= n) continue;
      const int32_t label = valid ? static_cast<int32_t>(inst.state) : spec.invalid_label;
      const size_t end = std::min(inst.end_pos, n - 1);
      std::fill(out.begin() + static_cast<ptrdiff_t>(inst.start_pos),
                out.begin() + static_cast<ptrdiff_t>(end) + 1, label);
    }
  }
  return out;
}

// ---------------------------------------------------------------- dispatch

using PointsPtr = std::shared_ptr<const Points>;

Expected<Column> eval(const FutureOccurrence& spec, PointsCache& cache) {
  Expected<PointsPtr> x = cache.get(spec.x);
  if (!x) return fail(x.message());
  std::vector<int8_t> out(cache.stream().size());
  SweepScratch scratch;
  occurrence_labels(cache.stream(), *x.value(), spec.window_t, spec.partial_window, true, out.data(), scratch);
  return Column{std::move(out)};
}

Expected<Column> eval(const PastOccurrence& spec, PointsCache& cache) {
  Expected<PointsPtr> x = cache.get(spec.x);
  if (!x) return fail(x.message());
  std::vector<int8_t> out(cache.stream().size());
  SweepScratch scratch;
  occurrence_labels(cache.stream(), *x.value(), spec.window_t, spec.partial_window, false, out.data(), scratch);
  return Column{std::move(out)};
}

Expected<Column> eval(const BeforeEvent& spec, PointsCache& cache) {
  Expected<PointsPtr> x = cache.get(spec.x);
  if (!x) return fail(x.message());
  Expected<PointsPtr> y = cache.get(spec.y);
  if (!y) return fail(y.message());
  std::vector<int8_t> out(cache.stream().size());
  before_event_labels(out.size(), *x.value(), *y.value(), spec.reset, out.data());
  return Column{std::move(out)};
}

Expected<Column> eval(const InSpan& spec, PointsCache& cache) {
  Expected<PointsPtr> x = cache.get(spec.x);
  if (!x) return fail(x.message());
  Expected<std::vector<Span>> spans = spec.span.resolve(cache);
  if (!spans) return fail(spans.message());
  return Column{in_span_labels(cache.stream().size(), *x.value(), spans.value())};
}

Expected<Column> eval(const WindowAggregate& spec, PointsCache& cache) {
  Expected<PointsPtr> k = cache.get(spec.k);
  if (!k) return fail(k.message());
  std::vector<double> out(cache.stream().size());
  SweepScratch scratch;
  const AggOut agg{spec.agg, out.data()};
  window_aggregates(cache.stream(), *k.value(), spec.window_t, spec.forward, spec.partial_window, {&agg, 1},
                    scratch);
  return Column{std::move(out)};
}

Expected<Column> eval(const SpanAggregate& spec, PointsCache& cache) {
  Expected<PointsPtr> k = cache.get(spec.k);
  if (!k) return fail(k.message());
  Expected<std::vector<Span>> spans = spec.span.resolve(cache);
  if (!spans) return fail(spans.message());
  return Column{span_aggregate_column(cache.stream().size(), *k.value(), std::move(spans).value(), spec.agg)};
}

Expected<Column> eval(const FutureSpanOccurrence& spec, PointsCache& cache) {
  Expected<std::vector<Span>> spans = spec.span.resolve(cache);
  if (!spans) return fail(spans.message());
  return Column{span_occurrence(cache.stream(), spans.value(), spec.window_t, spec.partial_window, true)};
}

Expected<Column> eval(const PastSpanOccurrence& spec, PointsCache& cache) {
  Expected<std::vector<Span>> spans = spec.span.resolve(cache);
  if (!spans) return fail(spans.message());
  return Column{span_occurrence(cache.stream(), spans.value(), spec.window_t, spec.partial_window, false)};
}

Expected<Column> eval(const StateLabel& spec, PointsCache& cache) {
  Expected<std::vector<int32_t>> labels = state_labels(spec, cache);
  if (!labels) return fail(labels.message());
  return Column{std::move(labels).value()};
}

}  // namespace

Expected<Column> evaluate_annotation(const AnnotKind& kind, PointsCache& points) {
  return std::visit([&](const auto& spec) { return eval(spec, points); }, kind);
}

}  // namespace zuldcore
