// Plans: a list of specs made ready once and then evaluated on stream after
// stream (annotate_stream's one stream, or every document of a corpus) with
// nothing resolved, hashed or allocated per stream once the scratch has
// grown. The kinds that read spans or run a machine are evaluated as
// evaluate_annotation does, through a PointsCache over the stream reading
// the plan's store; the others take their points from the scratch by slot
// and write through the sweeps straight into the caller's columns.
// Tests: tests/cpp/test_annotate.cpp (plans against evaluate_annotation),
// tests/test_annotate_model.py and tests/test_corpus.py.
#include <algorithm>
#include <cstring>
#include <utility>

#include "annotate/annotate.hpp"
#include "annotate/sweeps.hpp"
#include "base/ensure.hpp"
#include "base/memory.hpp"

namespace zuldcore {

namespace {
constexpr uint32_t NONE = ~uint32_t{0};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

// A spec as evaluate() reads it, without visiting the kind's variant.
struct AnnotationPlan::Planned {
  enum class Op : uint8_t { Occurrence, BeforeEvent, Window, Cached };
  const AnnotKind* kind = nullptr;
  Op op = Op::Cached;      // Cached: evaluated through a PointsCache
  bool flag = false;       // forward of an occurrence, reset of before_event
  bool partial_window = false;
  double window_t = 0.0;
  AggKind agg = AggKind::Mean;
  uint32_t a = NONE;       // the slot of x or k
  uint32_t b = NONE;       // the slot of y
  uint32_t group = NONE;   // the window group of a window aggregate
};

// Window aggregates over one reference's points and one window: one sweep
// writes all of their columns.
struct AnnotationPlan::WindowGroup {
  uint32_t slot = NONE;
  double window_t = 0.0;
  bool forward = true;
  bool partial_window = false;
  std::vector<uint32_t> specs;  // the members, in list order
};

struct AnnotationScratch::Sweep {
  SweepScratch arrays;
  std::vector<AggOut> aggs;  // the outputs of the group being swept
};

AnnotationPlan::AnnotationPlan() : store_(std::make_unique<ResolvedRefs>()) {}
AnnotationPlan::~AnnotationPlan() = default;
AnnotationPlan::AnnotationPlan(AnnotationPlan&&) noexcept = default;
AnnotationPlan& AnnotationPlan::operator=(AnnotationPlan&&) noexcept = default;

AnnotationScratch::AnnotationScratch() : sweep_(std::make_unique<Sweep>()) {}
AnnotationScratch::~AnnotationScratch() = default;
AnnotationScratch::AnnotationScratch(AnnotationScratch&&) noexcept = default;
AnnotationScratch& AnnotationScratch::operator=(AnnotationScratch&&) noexcept = default;

// Equal references share a resolved form in the store (by key, or by
// address for those without one), and so a slot: their points are scanned
// once per stream.
uint32_t AnnotationPlan::slot_of(const ResolvedRef* resolved) {
  for (size_t s = 0; s < slots_.size(); ++s)
    if (slots_[s] == resolved) return static_cast<uint32_t>(s);
  slots_.push_back(resolved);
  return static_cast<uint32_t>(slots_.size() - 1);
}

Status AnnotationPlan::add(const AnnotKind& kind) {
  Planned planned;
  planned.kind = &kind;
  auto slot = [&](const TokenRef& ref, uint32_t& into) -> Status {
    Expected<const ResolvedRef*> resolved = store_->resolve(ref);
    if (!resolved) return fail(resolved.message());
    into = slot_of(resolved.value());
    return ok();
  };
  using Op = Planned::Op;
  Status added = std::visit(
      Overloaded{
          [&](const FutureOccurrence& spec) {
            planned = {&kind, Op::Occurrence, true, spec.partial_window, spec.window_t};
            return slot(spec.x, planned.a);
          },
          [&](const PastOccurrence& spec) {
            planned = {&kind, Op::Occurrence, false, spec.partial_window, spec.window_t};
            return slot(spec.x, planned.a);
          },
          [&](const BeforeEvent& spec) -> Status {
            planned = {&kind, Op::BeforeEvent, spec.reset};
            Status x = slot(spec.x, planned.a);
            return x ? slot(spec.y, planned.b) : x;
          },
          [&](const WindowAggregate& spec) -> Status {
            planned = {&kind, Op::Window};
            planned.agg = spec.agg;
            Status k = slot(spec.k, planned.a);
            if (!k) return k;
            auto same = [&](const WindowGroup& g) {
              return g.slot == planned.a && std::memcmp(&g.window_t, &spec.window_t, sizeof(double)) == 0 &&
                     g.forward == spec.forward && g.partial_window == spec.partial_window;
            };
            auto it = std::find_if(groups_.begin(), groups_.end(), same);
            if (it == groups_.end()) {
              groups_.push_back(WindowGroup{planned.a, spec.window_t, spec.forward, spec.partial_window, {}});
              it = groups_.end() - 1;
            }
            it->specs.push_back(static_cast<uint32_t>(specs_.size()));
            planned.group = static_cast<uint32_t>(it - groups_.begin());
            return ok();
          },
          [&](const auto&) -> Status {
            // Spans and machines: what can fail fails on no data as on any,
            // and the run on nothing resolves every reference they use into
            // the store.
            has_cached_ = true;
            PointsCache nothing(StreamView{}, *store_);
            Expected<Column> column = evaluate_annotation(kind, nothing);
            if (!column) return fail(column.message());
            return ok();
          },
      },
      kind);
  if (!added) {
    // A window group may hold the spec that was not added: drop it again.
    if (planned.group != NONE) groups_[planned.group].specs.pop_back();
    return added;
  }
  specs_.push_back(planned);
  return ok();
}

size_t AnnotationPlan::size() const noexcept { return specs_.size(); }

Column AnnotationPlan::column(size_t i, size_t n) const {
  ZC_ENSURE(i < specs_.size(), "spec ", i, " of a plan of ", specs_.size());
  // Asked for in huge pages before the first write (the zeroing), which
  // then faults a corpus-long column in a few hundred steps, not 4 KiB ones.
  auto zeros = [n]<class T>(T) {
    std::vector<T> v;
    reserve_large(v, n);
    v.resize(n);
    return Column{std::move(v)};
  };
  return std::visit(Overloaded{
                        [&](const WindowAggregate&) { return zeros(double{}); },
                        [&](const SpanAggregate&) { return zeros(double{}); },
                        [&](const StateLabel&) { return zeros(int32_t{}); },
                        [&](const auto&) { return zeros(int8_t{}); },
                    },
                    *specs_[i].kind);
}

ColumnOut column_out(Column& column) {
  return std::visit([](auto& c) { return ColumnOut{std::span(c)}; }, column);
}

namespace {

// Where position 0 of the stream goes in spec i's column: `at` entries in,
// with room for the n positions.
template <class T>
T* out_at(const ColumnOut& out, size_t at, size_t n, size_t i) {
  const std::span<T>* column = std::get_if<std::span<T>>(&out);
  ZC_ENSURE(column != nullptr && at <= column->size() && n <= column->size() - at, "spec ", i,
            " has a column of another type or too short");
  return column->data() + at;
}

}  // namespace

std::optional<SpecFailure> AnnotationPlan::evaluate(const StreamView& stream, AnnotationScratch& scratch,
                                                    std::span<const ColumnOut> outs, size_t at,
                                                    size_t first) const {
  ZC_ENSURE(first <= specs_.size() && outs.size() <= specs_.size() - first, outs.size(), " columns from spec ",
            first, " of ", specs_.size());
  const size_t end = first + outs.size();
  const size_t n = stream.size();
  if (scratch.scanners_.size() < slots_.size()) {
    scratch.scanners_.resize(slots_.size());
    scratch.points_.resize(slots_.size());
    scratch.scanned_.resize(slots_.size(), 0);
  }
  if (scratch.swept_.size() < groups_.size()) scratch.swept_.resize(groups_.size(), 0);
  const uint64_t current = ++scratch.stream_;
  auto points = [&](uint32_t s) -> const std::vector<Point>& {
    if (scratch.scanned_[s] != current) {
      if (!scratch.scanners_[s]) scratch.scanners_[s].emplace(*slots_[s]);
      scratch.scanners_[s]->scan(stream, scratch.points_[s]);
      scratch.scanned_[s] = current;
    }
    return scratch.points_[s];
  };
  SweepScratch& arrays = scratch.sweep_->arrays;
  using Op = Planned::Op;
  for (size_t i = first; i < end; ++i) {
    const Planned& p = specs_[i];
    const ColumnOut& out = outs[i - first];
    switch (p.op) {
      case Op::Occurrence:
        occurrence_labels(stream, points(p.a), p.window_t, p.partial_window, p.flag, out_at<int8_t>(out, at, n, i),
                          arrays);
        break;
      case Op::BeforeEvent:
        before_event_labels(n, points(p.a), points(p.b), p.flag, out_at<int8_t>(out, at, n, i));
        break;
      case Op::Window: {
        // The group's first member in the range sweeps for all of them there.
        if (scratch.swept_[p.group] == current) break;
        scratch.swept_[p.group] = current;
        const WindowGroup& g = groups_[p.group];
        std::vector<AggOut>& aggs = scratch.sweep_->aggs;
        aggs.clear();
        for (uint32_t member : g.specs)
          if (member >= first && member < end)
            aggs.push_back({specs_[member].agg, out_at<double>(outs[member - first], at, n, member)});
        window_aggregates(stream, points(g.slot), g.window_t, g.forward, g.partial_window, aggs, arrays);
        break;
      }
      case Op::Cached:
        break;
    }
  }
  if (has_cached_) return evaluate_cached(stream, outs, at, first);
  return std::nullopt;
}

// The kinds that read spans or run a machine, as evaluate_annotation
// evaluates them, sharing one PointsCache over the stream that reads the
// plan's store (apart, so that a list without them never makes one).
std::optional<SpecFailure> AnnotationPlan::evaluate_cached(const StreamView& stream,
                                                           std::span<const ColumnOut> outs, size_t at,
                                                           size_t first) const {
  const size_t n = stream.size();
  PointsCache cache(stream, std::as_const(*store_));
  for (size_t i = first; i < first + outs.size(); ++i) {
    if (specs_[i].op != Planned::Op::Cached) continue;
    Expected<Column> column = evaluate_annotation(*specs_[i].kind, cache);
    if (!column) return SpecFailure{i, column.message()};
    std::visit(
        [&](const auto& from) {
          using T = typename std::decay_t<decltype(from)>::value_type;
          ZC_ENSURE(from.size() == n, "spec ", i, " gave ", from.size(), " entries for ", n, " positions");
          std::copy(from.begin(), from.end(), out_at<T>(outs[i - first], at, n, i));
        },
        column.value());
  }
  return std::nullopt;
}

}  // namespace zuldcore
