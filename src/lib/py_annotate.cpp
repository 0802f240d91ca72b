// AnnotationSpec and annotate_stream: the annotation's Python faces. The nine
// static constructors convert their arguments in a fixed order into token
// references, span references or a machine snapshot, so a spec is complete and
// immutable once made; annotate_stream evaluates specs with src/annotate,
// without the interpreter lock, and hands each column to NumPy.
#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "annotate/annotate.hpp"
#include "lib/args.hpp"
#include "lib/py_annotate.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/numpy.hpp"
#include "lib/py_pattern.hpp"
#include "lib/py_pickle.hpp"
#include "lib/py_state.hpp"
#include "lib/streams.hpp"
#include "lib/token_refs.hpp"
#include "lib/wrapper.hpp"
#include "base/interrupt.hpp"

namespace zuldcore {
namespace {

PyTypeObject* annotation_spec = nullptr;

Owned new_spec(std::string name, AnnotKind kind) {
  return wrap(annotation_spec_type(), AnnotationSpec{std::move(name), std::move(kind)});
}

std::string name_arg(PyObject* obj) { return std::string(arg_str(obj, "name")); }

// A Pattern (deep-copied), a StateSpan (its snapshot shared) or a tuple of
// exactly two str (start token, end token). Anything else, a list of two
// str included, is refused.
SpanRef parse_span_ref(PyObject* obj) {
  if (is_pattern(obj)) return SpanRef{SpanRef::PatternForm{pattern_copy(obj)}};
  if (is_state_span(obj)) return SpanRef{state_span_ref(obj)};
  if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2) {
    PyObject* start = PyTuple_GET_ITEM(obj, 0);
    PyObject* end = PyTuple_GET_ITEM(obj, 1);
    if (PyUnicode_Check(start) && PyUnicode_Check(end))
      return SpanRef{SpanRef::TokenPair{std::string(arg_str(start, "span")), std::string(arg_str(end, "span"))}};
  }
  throw TypeError("Expected Pattern or (str, str) tuple for span argument");
}

// ---- occurrence in a time window ----------------------------------------------------------

// Static methods: their text signatures have no "$self".
constexpr auto FUTURE_OCCURRENCE =
    function("future_occurrence", req("name"), req("x"), req("window_t"),
             opt("partial_window", "False")).with_doc(
    "For each position i, label whether X fires within [time[i], time[i]+window_t].\n"
    "\n"
    "x may be str | list[str] | list[list[str]] | Pattern; an occurrence fires at the\n"
    "time of its first event. Both ends of the window are inclusive.\n"
    "\n"
    "Column: int8, one label per position:\n"
    "\n"
    "-  1: X fires within the window\n"
    "-  0: X does not fire within the window\n"
    "- -1: not available: the window reaches past the last time of the stream\n"
    "  (time[i]+window_t > time[-1]) and partial_window is False");

constexpr auto PAST_OCCURRENCE =
    function("past_occurrence", req("name"), req("x"), req("window_t"),
             opt("partial_window", "False")).with_doc(
    "For each position i, label whether X fired within [time[i]-window_t, time[i]].\n"
    "\n"
    "x may be str | list[str] | list[list[str]] | Pattern; an occurrence fires at the\n"
    "time of its first event. Both ends of the window are inclusive.\n"
    "\n"
    "Column: int8, one label per position:\n"
    "\n"
    "-  1: X fired within the window\n"
    "-  0: X did not fire within the window\n"
    "- -1: not available: the window reaches before the first time of the stream\n"
    "  (time[i]-window_t < time[0]) and partial_window is False");

template <class Kind, const auto& Sig>
Owned occurrence_spec(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = bind<Sig>(args, nargs, kwnames);
  std::string name = name_arg(a["name"]);
  const double window_t = arg_f64(a["window_t"], "window_t");
  const bool partial_window = bool_or(a["partial_window"], "partial_window", false);
  TokenRef x = parse_token_ref(a["x"], "x");
  return new_spec(std::move(name), Kind{std::move(x), window_t, partial_window});
}

PyObject* py_spec_future_occurrence(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return occurrence_spec<FutureOccurrence, FUTURE_OCCURRENCE>(args, nargs, kwnames); });
}

PyObject* py_spec_past_occurrence(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return occurrence_spec<PastOccurrence, PAST_OCCURRENCE>(args, nargs, kwnames); });
}

// ---- epochs -------------------------------------------------------------------------------

constexpr auto BEFORE_EVENT =
    function("before_event", req("name"), req("x"), req("y"), opt("reset", "True")).with_doc(
    "Label each Y-delimited epoch by whether X occurs anywhere inside it.\n"
    "\n"
    "x and y may be str | list[str] | list[list[str]] | Pattern; an occurrence is at\n"
    "the position of its first event.\n"
    "\n"
    "With reset=True, every Y closes an epoch that runs from the position after the\n"
    "previous Y (or the start of the stream) up to and including the Y itself. The\n"
    "positions after the last Y form a trailing epoch. With reset=False the whole\n"
    "stream is one epoch, labelled by whether X first occurs no later than Y.\n"
    "\n"
    "Column: int8, the same label at every position of an epoch:\n"
    "\n"
    "-  1: X occurs in the epoch (reset=False: X occurs, and Y never occurs or not\n"
    "  before X's first occurrence)\n"
    "-  0: X does not occur in the epoch (reset=False: Y occurs before X, or only Y\n"
    "  occurs)\n"
    "- -1: not known yet: a trailing epoch without X, where X may still come\n"
    "  (reset=False: neither X nor Y occurs)");

PyObject* py_spec_before_event(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<BEFORE_EVENT>(args, nargs, kwnames);
    std::string name = name_arg(a["name"]);
    const bool reset = bool_or(a["reset"], "reset", true);
    TokenRef x = parse_token_ref(a["x"], "x");
    TokenRef y = parse_token_ref(a["y"], "y");
    return new_spec(std::move(name), BeforeEvent{std::move(x), std::move(y), reset});
  });
}

// ---- spans --------------------------------------------------------------------------------

constexpr auto IN_SPAN = function("in_span", req("name"), req("x"), req("span")).with_doc(
    "For each position i, label whether it is in a span that also contains X.\n"
    "\n"
    "x may be str | list[str] | list[list[str]] | Pattern. span is a Pattern (each\n"
    "match is a span, from its first to its last event) or a (start_token, end_token)\n"
    "string tuple (each start token up to the first end token after it). Spans\n"
    "include both ends; a span contains X when an occurrence of X starts inside it.\n"
    "\n"
    "Column: int8, one label per position:\n"
    "\n"
    "-  1: inside a span that contains X (any of them, where spans overlap)\n"
    "-  0: inside spans, none of which contains X\n"
    "- -1: outside every span");

PyObject* py_spec_in_span(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<IN_SPAN>(args, nargs, kwnames);
    std::string name = name_arg(a["name"]);
    SpanRef span = parse_span_ref(a["span"]);
    TokenRef x = parse_token_ref(a["x"], "x");
    return new_spec(std::move(name), InSpan{std::move(x), std::move(span)});
  });
}

constexpr auto FUTURE_SPAN_OCCURRENCE = function("future_span_occurrence", req("name"), req("span"),
                                              req("window_t"), opt("partial_window", "False")).with_doc(
    "For each position i, label whether a span event occurs within [time[i], "
    "time[i]+window_t].\n"
    "\n"
    "span is a Pattern (each match is a span, from its first to its last event) or a\n"
    "(start_token, end_token) string tuple (each start token up to the first end\n"
    "token after it). A span event is the start of a span, at the time of its first\n"
    "position. Both ends of the window are inclusive.\n"
    "\n"
    "Column: int8, one label per position:\n"
    "\n"
    "-  2: the position is inside a span (whatever the window)\n"
    "-  1: a span starts within the window\n"
    "-  0: no span starts within the window\n"
    "- -1: not available: the window reaches past the last time of the stream\n"
    "  (time[i]+window_t > time[-1]) and partial_window is False");

constexpr auto PAST_SPAN_OCCURRENCE = function("past_span_occurrence", req("name"), req("span"),
                                            req("window_t"), opt("partial_window", "False")).with_doc(
    "For each position i, label whether a span event occurred within "
    "[time[i]-window_t, time[i]].\n"
    "\n"
    "span is a Pattern (each match is a span, from its first to its last event) or a\n"
    "(start_token, end_token) string tuple (each start token up to the first end\n"
    "token after it). A span event is the start of a span, at the time of its first\n"
    "position. Both ends of the window are inclusive.\n"
    "\n"
    "Column: int8, one label per position:\n"
    "\n"
    "-  2: the position is inside a span (whatever the window)\n"
    "-  1: a span started within the window\n"
    "-  0: no span started within the window\n"
    "- -1: not available: the window reaches before the first time of the stream\n"
    "  (time[i]-window_t < time[0]) and partial_window is False");

template <class Kind, const auto& Sig>
Owned span_occurrence_spec(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = bind<Sig>(args, nargs, kwnames);
  std::string name = name_arg(a["name"]);
  const double window_t = arg_f64(a["window_t"], "window_t");
  const bool partial_window = bool_or(a["partial_window"], "partial_window", false);
  SpanRef span = parse_span_ref(a["span"]);
  return new_spec(std::move(name), Kind{std::move(span), window_t, partial_window});
}

PyObject* py_spec_future_span_occurrence(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&] {
    return span_occurrence_spec<FutureSpanOccurrence, FUTURE_SPAN_OCCURRENCE>(args, nargs, kwnames);
  });
}

PyObject* py_spec_past_span_occurrence(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&] {
    return span_occurrence_spec<PastSpanOccurrence, PAST_SPAN_OCCURRENCE>(args, nargs, kwnames);
  });
}

// ---- aggregates ---------------------------------------------------------------------------

constexpr auto WINDOW_AGGREGATE =
    function("window_aggregate", req("name"), req("k"), req("window_t"), opt("agg", "\"mean\""),
             opt("forward", "True"), opt("partial_window", "False")).with_doc(
    "For each position i, compute agg over the values of K in a time window.\n"
    "\n"
    "k may be str | list[str] | list[list[str]] | Pattern; each occurrence has the time\n"
    "and the value of its first event. agg is one of \"min\", \"max\", \"mean\", \"count\".\n"
    "The window is [time[i], time[i]+window_t] when forward is True and\n"
    "[time[i]-window_t, time[i]] when it is False, both ends inclusive.\n"
    "\n"
    "Column: float64, one value per position:\n"
    "\n"
    "- count: the number of occurrences in the window, NaN values included\n"
    "- min, max, mean: over the occurrences' values, skipping NaN; NaN when every\n"
    "  value in the window is NaN. The mean is exact: the sum is rounded once.\n"
    "- NaN when the window holds no occurrence of K (count too), and where the window\n"
    "  reaches past the stream (forward: beyond its last time, backward: before its\n"
    "  first time) and partial_window is False");

PyObject* py_spec_window_aggregate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<WINDOW_AGGREGATE>(args, nargs, kwnames);
    std::string name = name_arg(a["name"]);
    const double window_t = arg_f64(a["window_t"], "window_t");
    const std::string agg = str_or(a["agg"], "agg", "mean");
    const bool forward = bool_or(a["forward"], "forward", true);
    const bool partial_window = bool_or(a["partial_window"], "partial_window", false);
    TokenRef k = parse_token_ref(a["k"], "k");
    const AggKind kind = value_or_raise(agg_kind_from_str(agg));
    return new_spec(std::move(name), WindowAggregate{std::move(k), window_t, kind, forward, partial_window});
  });
}

constexpr auto SPAN_AGGREGATE =
    function("span_aggregate", req("name"), req("k"), req("span"), opt("agg", "\"mean\"")).with_doc(
    "For each span, aggregate the values of K inside it and write that single scalar "
    "to every position in the span.\n"
    "\n"
    "k may be str | list[str] | list[list[str]] | Pattern; an occurrence is inside a\n"
    "span when its first event is, and carries that event's value. agg is one of\n"
    "\"min\", \"max\", \"mean\", \"count\". span is a Pattern (each match is a span, from\n"
    "its first to its last event), a (start_token, end_token) string tuple (each start\n"
    "token up to the first end token after it) or StateMachine.span(name) (each\n"
    "instance of that state). Spans include both ends.\n"
    "\n"
    "Column: float64, one value per position:\n"
    "\n"
    "- count: the number of occurrences in the span, NaN values included; 0 for a\n"
    "  span without K\n"
    "- min, max, mean: over the occurrences' values, skipping NaN; NaN for a span\n"
    "  without K or with NaN values only. The mean is exact: the sum is rounded once.\n"
    "- NaN outside every span\n"
    "\n"
    "Where spans overlap, the span that starts later (or, starting together, ends\n"
    "later) decides the value.");

PyObject* py_spec_span_aggregate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<SPAN_AGGREGATE>(args, nargs, kwnames);
    std::string name = name_arg(a["name"]);
    const std::string agg = str_or(a["agg"], "agg", "mean");
    SpanRef span = parse_span_ref(a["span"]);
    TokenRef k = parse_token_ref(a["k"], "k");
    const AggKind kind = value_or_raise(agg_kind_from_str(agg));
    return new_spec(std::move(name), SpanAggregate{std::move(k), std::move(span), kind});
  });
}

// ---- state labels -------------------------------------------------------------------------

constexpr auto STATE_LABEL = function("state_label", req("name"), req("machine"), opt("default_state", "0"),
                                    opt("invalid_label", "...")).with_doc(
    "Label every position with the state a StateMachine was in at that point.\n"
    "\n"
    "The machine is snapshotted here, so later edits to the builder do not affect\n"
    "this spec. invalid_label defaults to -1.\n"
    "\n"
    "Column: int32, one label per position:\n"
    "\n"
    "- the state's id (1, 2, ... in declaration order) where a valid instance of it\n"
    "  covers the position\n"
    "- invalid_label where only instances rejected by the validity rules cover it\n"
    "- default_state elsewhere (the base state)");

PyObject* py_spec_state_label(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<STATE_LABEL>(args, nargs, kwnames);
    std::string name = name_arg(a["name"]);
    PyObject* machine_arg = a["machine"];
    if (!is_state_machine(machine_arg))
      throw_arg_type_error("machine", cat("expected StateMachine, got '", type_name(machine_arg), "'"));
    const int32_t default_state = a["default_state"] ? arg_i32(a["default_state"], "default_state") : 0;
    const int32_t invalid_label = a["invalid_label"] ? arg_i32(a["invalid_label"], "invalid_label") : -1;
    std::shared_ptr<const StateMachineDecl> machine = machine_snapshot(machine_arg);
    return new_spec(std::move(name), StateLabel{std::move(machine), default_state, invalid_label});
  });
}

// ---- the class ----------------------------------------------------------------------------

PyObject* py_spec_repr(PyObject* self) noexcept {
  return guarded([&] {
    Shared<AnnotationSpec> spec{self};
    const std::string text = cat("AnnotationSpec(name=", quoted(spec->name), ")");
    return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  });
}

// In the order the class lists them.
PyMethodDef ANNOTATION_SPEC_METHODS[] = {
    fastcall_def<FUTURE_OCCURRENCE>(py_spec_future_occurrence, METH_STATIC),
    fastcall_def<PAST_OCCURRENCE>(py_spec_past_occurrence, METH_STATIC),
    fastcall_def<BEFORE_EVENT>(py_spec_before_event, METH_STATIC),
    fastcall_def<IN_SPAN>(py_spec_in_span, METH_STATIC),
    fastcall_def<FUTURE_SPAN_OCCURRENCE>(py_spec_future_span_occurrence, METH_STATIC),
    fastcall_def<PAST_SPAN_OCCURRENCE>(py_spec_past_span_occurrence, METH_STATIC),
    fastcall_def<WINDOW_AGGREGATE>(py_spec_window_aggregate, METH_STATIC),
    fastcall_def<SPAN_AGGREGATE>(py_spec_span_aggregate, METH_STATIC),
    fastcall_def<STATE_LABEL>(py_spec_state_label, METH_STATIC),
    {"__reduce__", py_spec_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ANNOTATION_SPEC_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<AnnotationSpec>)},
    {Py_tp_repr, reinterpret_cast<void*>(py_spec_repr)},
    {Py_tp_methods, ANNOTATION_SPEC_METHODS},
    {0, nullptr},
};
PyType_Spec ANNOTATION_SPEC_SPEC = {"zuldcore.AnnotationSpec", sizeof(Wrapper<AnnotationSpec>), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, ANNOTATION_SPEC_SLOTS};

// ---- annotate_stream ----------------------------------------------------------------------

constexpr auto ANNOTATE_STREAM =
    function("annotate_stream", req("tokens"), req("times"), req("specs"), opt("values", "None"));

// The most column bytes annotate_stream allocates before it evaluates them.
constexpr size_t COLUMN_BATCH_BYTES = size_t{64} << 20;

PyObject* py_annotate_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> Owned {
    auto a = bind<ANNOTATE_STREAM>(args, nargs, kwnames);
    TokenColumn tokens = convert_tokens(a["tokens"], "tokens");
    std::vector<double> times = convert_floats(a["times"], "times");
    const CallSpecs specs(a["specs"]);
    auto values = convert_opt_values(a["values"]);
    Stream s = checked_and_interned(std::move(tokens), std::move(times), std::move(values), "tokens");

    // The specs made into one plan (each reference resolved once, windows
    // over the same points swept together), then evaluated on the stream
    // straight into the columns. The first failing spec ends the call.
    std::vector<Column> columns;
    std::optional<SpecFailure> failure;
    {
      GilReleased unlocked;  // the evaluation reads only C++ values
      AnnotationPlan plan;
      for (size_t i = 0; i < specs.size() && !failure; ++i) {
        Status added = plan.add(specs[i].kind);
        if (!added) failure = SpecFailure{i, added.message()};
      }
      if (!failure) {
        const StreamView stream{s.tokens, s.times,
                                s.has_values ? std::span<const double>(s.values) : std::span<const double>()};
        // The columns are made a batch at a time, each batch evaluated
        // before the next is allocated, so that a call asking for more
        // than memory holds grows no faster than it computes and answers
        // Ctrl-C on the way.
        const size_t batch = std::max<size_t>(1, COLUMN_BATCH_BYTES / (8 * std::max<size_t>(stream.size(), 1)));
        std::vector<ColumnOut> outs;
        AnnotationScratch scratch;
        columns.reserve(specs.size());
        for (size_t from = 0; from < specs.size() && !failure; from += batch) {
          outs.clear();
          for (size_t i = from; i < std::min(specs.size(), from + batch); ++i) {
            columns.push_back(plan.column(i, stream.size()));
            outs.push_back(column_out(columns.back()));
          }
          failure = plan.evaluate(stream, scratch, outs, 0, from);
          check_interrupt();
        }
      }
    }
    if (failure) raise_spec_failure(failure->spec, std::move(failure->message));
    return annotation_columns(specs, std::move(columns));
  });
}

}  // namespace

PyTypeObject* annotation_spec_type() { return make_type_once(annotation_spec, &ANNOTATION_SPEC_SPEC); }

CallSpecs::CallSpecs(PyObject* arg) : items_(arg_object_vec(arg, "specs")) {
  for (size_t i = 0; i < items_.size(); ++i) {
    PyObject* item = items_[i].get();
    with_note(
        [&] {
          if (!PyObject_TypeCheck(item, annotation_spec_type()))
            throw_arg_type_error("specs", cat("expected AnnotationSpec, got '", type_name(item), "'"));
          specs_.emplace_back(item);
        },
        "in specs[%zu]", i);
  }
}

void raise_spec_failure(size_t i, std::string message) {
  with_note([&] { throw ValueError(std::move(message)); }, "in specs[%zu]", i);
  throw PyErrSet{};  // with_note has thrown already
}

Owned annotation_columns(const CallSpecs& specs, std::vector<Column>&& columns) {
  // A later spec of the same name replaces the column and keeps the key's
  // first position, as dict assignment does.
  Owned out = made(PyDict_New());
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& name = specs[i].name;
    Owned key = made(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    Owned column = std::visit([](auto&& c) { return to_numpy(std::move(c)); }, std::move(columns[i]));
    check_rc(PyDict_SetItem(out.get(), key.get(), column.get()));
  }
  return out;
}

PyMethodDef ANNOTATE_STREAM_DEF = fastcall_def<ANNOTATE_STREAM>(py_annotate_stream);

}  // namespace zuldcore
