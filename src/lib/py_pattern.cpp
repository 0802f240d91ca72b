// Pattern: the Python builder of temporal patterns, with its constructor,
// repr and nine builder methods, each face beside its declaration. A builder
// takes its object exclusively, converts every argument to C++ values in
// signature order, and hands them to its rule in types/builders.hpp, which
// checks them and interns the tokens; only then is one element appended (or
// the midstream collector set), so a failed call leaves the pattern as it
// was. The model is types/pattern.hpp; the search is src/engine and never
// sees Python.
#include "lib/py_pattern.hpp"

#include <string>
#include <utility>
#include <vector>

#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/match_map.hpp"
#include "lib/module.hpp"
#include "lib/py_pickle.hpp"
#include "lib/wrapper.hpp"
#include "types/builders.hpp"

namespace zuldcore {
namespace {

// ---------------------------------------------------------------- parameter groups
//
// Groups of parameters that several builders share, converted in signature
// order from any signature that declares them.

// The four timing bounds; absent ones keep their defaults.
template <class A>
Bounds convert_bounds(const A& a) {
  Bounds b;
  b.min_dt = f64_or(a["min_dt"], "min_dt", b.min_dt);
  b.max_dt = f64_or(a["max_dt"], "max_dt", b.max_dt);
  b.min_at = f64_or(a["min_at"], "min_at", b.min_at);
  b.max_at = f64_or(a["max_at"], "max_at", b.max_at);
  return b;
}

// One (min, max, require-NaN) triple of scalars, named by N.
template <const ValNames& N, class A>
ScalarVals convert_scalar_vals(const A& a) {
  ScalarVals v;
  v.min = f64_or(a[N[0]], N[0], v.min);
  v.max = f64_or(a[N[1]], N[1], v.max);
  v.require_nan = bool_or(a[N[2]], N[2], false);
  return v;
}

// The same triple as lists, one entry per token; None is not given.
template <const ValNames& N, class A>
PluralVals convert_plural_vals(const A& a) {
  PluralVals v{N};
  v.min = opt_arg(a[N[0]], N[0], arg_f64_vec);
  v.max = opt_arg(a[N[1]], N[1], arg_f64_vec);
  v.require_nan = opt_arg(a[N[2]], N[2], arg_bool_vec);
  return v;
}

// ... and as lists of lists, one inner list per sequence.
template <const ValNames& N, class A>
PluralSeqVals convert_plural_seq_vals(const A& a) {
  PluralSeqVals v{N};
  v.min = opt_arg(a[N[0]], N[0], arg_f64_vec_vec);
  v.max = opt_arg(a[N[1]], N[1], arg_f64_vec_vec);
  v.require_nan = opt_arg(a[N[2]], N[2], arg_bool_vec_vec);
  return v;
}

// The block parameters that follow a time element's window and
// backtrackable: the three block scalars, block_tokens, the three block lists.
template <class A>
void convert_time_block(const A& a, TimeBlockArgs& block) {
  block.block_val = convert_scalar_vals<BLOCK_VAL>(a);
  block.block_tokens = opt_arg(a["block_tokens"], "block_tokens", arg_str_vec);
  block.block_vals = convert_plural_vals<BLOCK_VALS>(a);
}

// ---------------------------------------------------------------- Pattern(...)

// "..." stands for an infinite default, which inspect could not evaluate.
constexpr auto PATTERN = function("Pattern", opt("min_dt", "0.0"), opt("max_dt", "..."), opt("min_at", "..."),
                                  opt("max_at", "..."), opt("ordered", "True"), opt("collector", "\"none\""));

PyObject* py_pattern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    auto a = bind<PATTERN>(args, kwargs);
    Pattern p;
    p.min_dt = f64_or(a["min_dt"], "min_dt", p.min_dt);
    p.max_dt = f64_or(a["max_dt"], "max_dt", p.max_dt);
    p.min_at = f64_or(a["min_at"], "min_at", p.min_at);
    p.max_at = f64_or(a["max_at"], "max_at", p.max_at);
    p.ordered = bool_or(a["ordered"], "ordered", true);
    if (a["collector"]) p.collector = value_or_raise(collector_from_name(arg_str(a["collector"], "collector")));
    return wrap(type, std::move(p));
  });
}

PyObject* py_pattern_repr(PyObject* self) noexcept {
  return guarded([&] {
    Shared<Pattern> p{self};
    return made(PyUnicode_FromString(pattern_repr(*p).c_str()));
  });
}

// ---------------------------------------------------------------- static elements

constexpr auto ADD_EVENT =
    method("add_event", req("match_token"), opt("block_token", "None"), opt("min_dt", "0.0"), opt("max_dt", "..."),
           opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"), opt("min_val", "..."),
           opt("max_val", "..."), opt("require_nan_val", "False"), opt("block_min_val", "..."),
           opt("block_max_val", "..."), opt("block_require_nan_val", "False"));

PyObject* py_pattern_add_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_EVENT>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};  // held through every conversion: callbacks meet a borrow error
    EventArgs e;
    e.match_token = std::string(arg_str(a["match_token"], "match_token"));
    e.block_token = opt_str(a["block_token"], "block_token");
    e.bounds = convert_bounds(a);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    e.val = convert_scalar_vals<VAL>(a);
    e.block_val = convert_scalar_vals<BLOCK_VAL>(a);
    p->elements.push_back(build_event(std::move(e)));
    return none();
  });
}

constexpr auto ADD_EVENT_SET =
    method("add_event_set", req("match_tokens"), opt("block_tokens", "None"), opt("min_dt", "0.0"),
           opt("max_dt", "..."), opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"),
           opt("min_vals", "None"), opt("max_vals", "None"), opt("require_nan_vals", "None"),
           opt("block_min_vals", "None"), opt("block_max_vals", "None"), opt("block_require_nan_vals", "None"));

PyObject* py_pattern_add_event_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_EVENT_SET>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    EventSetArgs e;
    e.match_tokens = arg_str_vec(a["match_tokens"], "match_tokens");
    e.block_tokens = opt_str_vec(a["block_tokens"], "block_tokens");
    e.bounds = convert_bounds(a);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    e.vals = convert_plural_vals<VALS>(a);
    e.block_vals = convert_plural_vals<BLOCK_VALS>(a);
    p->elements.push_back(value_or_raise(build_event_set(std::move(e))));
    return none();
  });
}

constexpr auto ADD_EVENT_SEQ =
    method("add_event_seq", req("match_seqs"), opt("block_seqs", "None"), opt("min_dt", "0.0"),
           opt("max_dt", "..."), opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"),
           opt("min_vals", "None"), opt("max_vals", "None"), opt("require_nan_vals", "None"),
           opt("block_min_vals", "None"), opt("block_max_vals", "None"), opt("block_require_nan_vals", "None"));

PyObject* py_pattern_add_event_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_EVENT_SEQ>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    EventSeqArgs e;
    e.match_seqs = arg_str_vec_vec(a["match_seqs"], "match_seqs");
    e.block_seqs = opt_arg(a["block_seqs"], "block_seqs", arg_str_vec_vec);
    e.bounds = convert_bounds(a);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    e.vals = convert_plural_seq_vals<VALS>(a);
    e.block_vals = convert_plural_seq_vals<BLOCK_VALS>(a);
    p->elements.push_back(value_or_raise(build_event_seq(std::move(e))));
    return none();
  });
}

constexpr auto ADD_TIME_EVENT =
    method("add_time_event", opt("block_token", "None"), opt("min_dt", "0.0"), opt("max_dt", "..."),
           opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"), opt("block_min_val", "..."),
           opt("block_max_val", "..."), opt("block_require_nan_val", "False"), opt("block_tokens", "None"),
           opt("block_min_vals", "None"), opt("block_max_vals", "None"), opt("block_require_nan_vals", "None"));

PyObject* py_pattern_add_time_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_TIME_EVENT>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    TimeEventArgs e;
    e.block.block_token = opt_str(a["block_token"], "block_token");
    e.bounds = convert_bounds(a);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    convert_time_block(a, e.block);
    p->elements.push_back(value_or_raise(build_time_event(std::move(e))));
    return none();
  });
}

// ---------------------------------------------------------------- dynamic elements

constexpr auto ADD_DYNAMIC_EVENT =
    method("add_dynamic_event", opt("static_block_tokens", "None"), opt("min_dt", "0.0"), opt("max_dt", "..."),
           opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"), opt("min_val", "..."),
           opt("max_val", "..."), opt("require_nan_val", "False"), opt("block_min_vals", "None"),
           opt("block_max_vals", "None"), opt("block_require_nan_vals", "None"));

PyObject* py_pattern_add_dynamic_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_DYNAMIC_EVENT>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    DynamicEventArgs e;
    e.static_block_tokens = opt_str_vec(a["static_block_tokens"], "static_block_tokens");
    e.bounds = convert_bounds(a);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    e.val = convert_scalar_vals<VAL>(a);
    e.block_vals = convert_plural_vals<BLOCK_VALS>(a);
    p->elements.push_back(value_or_raise(build_dynamic_event(std::move(e))));
    return none();
  });
}

constexpr auto ADD_DYNAMIC_EVENT_SET =
    method("add_dynamic_event_set", opt("static_match_tokens", "None"), opt("static_block_tokens", "None"),
           opt("match_from_last", "False"), opt("block_from_last", "False"), opt("min_dt", "0.0"),
           opt("max_dt", "..."), opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"),
           opt("min_vals", "None"), opt("max_vals", "None"), opt("require_nan_vals", "None"),
           opt("block_min_vals", "None"), opt("block_max_vals", "None"), opt("block_require_nan_vals", "None"));

PyObject* py_pattern_add_dynamic_event_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_DYNAMIC_EVENT_SET>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    DynamicEventSetArgs e;
    e.static_match_tokens = opt_str_vec(a["static_match_tokens"], "static_match_tokens");
    e.static_block_tokens = opt_str_vec(a["static_block_tokens"], "static_block_tokens");
    e.match_from_last = bool_or(a["match_from_last"], "match_from_last", false);
    e.block_from_last = bool_or(a["block_from_last"], "block_from_last", false);
    e.bounds = convert_bounds(a);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    e.vals = convert_plural_vals<VALS>(a);
    e.block_vals = convert_plural_vals<BLOCK_VALS>(a);
    p->elements.push_back(value_or_raise(build_dynamic_event_set(std::move(e))));
    return none();
  });
}

constexpr auto ADD_DYNAMIC_TIME_EVENT =
    method("add_dynamic_time_event", opt("block_token", "None"), opt("rel_min_dt", "0.0"),
           opt("rel_max_dt", "..."), opt("min_at", "..."), opt("max_at", "..."), opt("backtrackable", "True"),
           opt("block_min_val", "..."), opt("block_max_val", "..."), opt("block_require_nan_val", "False"),
           opt("block_tokens", "None"), opt("block_min_vals", "None"), opt("block_max_vals", "None"),
           opt("block_require_nan_vals", "None"));

PyObject* py_pattern_add_dynamic_time_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_DYNAMIC_TIME_EVENT>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    DynamicTimeEventArgs e;
    e.block.block_token = opt_str(a["block_token"], "block_token");
    e.rel_min_dt = f64_or(a["rel_min_dt"], "rel_min_dt", e.rel_min_dt);
    e.rel_max_dt = f64_or(a["rel_max_dt"], "rel_max_dt", e.rel_max_dt);
    e.min_at = f64_or(a["min_at"], "min_at", e.min_at);
    e.max_at = f64_or(a["max_at"], "max_at", e.max_at);
    e.backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    convert_time_block(a, e.block);
    p->elements.push_back(value_or_raise(build_dynamic_time_event(std::move(e))));
    return none();
  });
}

// ---------------------------------------------------------------- mapped elements

constexpr auto ADD_MAPPED_EVENT = method("add_mapped_event", req("source_element"), req("match_map"),
                                         opt("default", "None"), opt("backtrackable", "True")).with_doc(
    "Add a mapped (fully dynamic) element.\n"
    "\n"
    "The token(s) that an earlier element matched choose the rule for this one.\n"
    "\n"
    "Args:\n"
    "    source_element: index of the prior pattern element whose matched token\n"
    "        is the key into `match_map` (the tokens of a same-timestamp\n"
    "        sequence form a tuple key).  Must be less than 64.\n"
    "    match_map: dict[str, dict] mapping source token \u2192 event spec.\n"
    "        A key is a str, or a tuple of str for a sequence.  Spec keys:\n"
    "          \"match\"   (required) str for one token, list[str] for a token set,\n"
    "                    or list[list[str]] for same-timestamp sequences.\n"
    "          \"block\"   str or list[str]: a blocking token seen retires the element\n"
    "                    for the rest of the branch, as `block_token` and\n"
    "                    `block_tokens` do for static elements.\n"
    "          \"min_dt\", \"max_dt\"  float: bounds on the time since the previous\n"
    "                    matched element (defaults 0.0 and inf).\n"
    "          \"min_at\", \"max_at\"  float: bounds on the event's own time\n"
    "                    (defaults -inf and inf).\n"
    "          \"min_val\", \"max_val\", \"require_nan_val\"  per-token value constraints,\n"
    "                    lists (lists of lists for sequences).\n"
    "          \"block_min_val\", \"block_max_val\", \"block_require_nan_val\"\n"
    "                    value constraints of the block tokens, one per token.\n"
    "    default: optional fallback spec used when source token is not in match_map.\n"
    "        If None (default), paths whose source token is absent are abandoned.\n"
    "    backtrackable: whether later positions are tried for this element once it\n"
    "        has matched.\n"
    "\n"
    "Example::\n"
    "\n"
    "    p = Pattern()\n"
    "    p.add_event_set([\"SEPSIS\", \"MI\", \"STROKE\", \"PE\"])       # element 0\n"
    "    p.add_mapped_event(0, {\n"
    "        \"SEPSIS\": {\"match\": \"ANTIBIOTIC\"},\n"
    "        \"MI\": {\"match\": \"ASPIRIN\", \"max_dt\": 1.0},\n"
    "        \"STROKE\": {\"match\": \"TPA\", \"max_dt\": 4.5},\n"
    "        \"PE\": {\"match\": [\"HEPARIN\", \"ENOXAPARIN\"], \"max_dt\": 2.0},\n"
    "    })\n");

PyObject* py_pattern_add_mapped_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_MAPPED_EVENT>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    const uint64_t source_element = arg_u64(a["source_element"], "source_element");
    PyObject* match_map = a["match_map"];
    if (!PyDict_Check(match_map))
      throw_arg_type_error("match_map", cat("expected dict, got '", type_name(match_map), "'"));
    PyObject* default_spec = given(a["default"]) ? a["default"] : nullptr;
    if (default_spec && !PyDict_Check(default_spec))
      throw_arg_type_error("default", cat("expected dict or None, got '", type_name(default_spec), "'"));
    const bool backtrackable = bool_or(a["backtrackable"], "backtrackable", true);
    value_or_raise(check_source_element(source_element));
    MappedEvent e;
    e.source_element = static_cast<uint32_t>(source_element);
    e.backtrackable = backtrackable;
    e.map = read_match_map(match_map);
    if (default_spec)
      e.default_element = with_note([&] { return read_mapped_spec(default_spec); }, "in the default spec");
    p->elements.push_back(std::move(e));
    return none();
  });
}

// ---------------------------------------------------------------- midstream collector

constexpr auto ADD_MIDSTREAM_COLLECTOR =
    method("add_midstream_collector", req("match_tokens"), req("start_after"), req("stop_before"),
           opt("collector", "\"collect_tokens\"")).with_doc(
    "`match_tokens` accepts `list[str]` for single tokens, or `list[list[str]]`\n"
    "for same-timestamp sequences.  The sequence form is needed when one\n"
    "logical item spans several tokens, since collecting only its first token\n"
    "would not identify it.");

// list[str] (each string a one-token sequence) or list[list[str]].
std::vector<std::vector<std::string>> midstream_sequences(PyObject* obj) {
  if (auto singles = try_form([&] { return arg_str_vec(obj, "match_tokens"); })) {
    std::vector<std::vector<std::string>> seqs;
    seqs.reserve(singles->size());
    for (std::string& s : *singles) seqs.push_back({std::move(s)});
    return seqs;
  }
  auto seqs = try_form([&] { return arg_str_vec_vec(obj, "match_tokens"); });
  if (!seqs) throw TypeError("match_tokens must be list[str] or list[list[str]]");
  return std::move(*seqs);
}

PyObject* py_pattern_add_midstream_collector(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_MIDSTREAM_COLLECTOR>(args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    MidstreamArgs m;
    m.start_after = arg_u64_vec(a["start_after"], "start_after");
    m.stop_before = arg_u64_vec(a["stop_before"], "stop_before");
    m.collector = str_or(a["collector"], "collector", m.collector);
    m.match_seqs = midstream_sequences(a["match_tokens"]);
    p->midstream = value_or_raise(build_midstream(std::move(m)));
    return none();
  });
}

// ---------------------------------------------------------------- the class

PyMethodDef PATTERN_METHODS[] = {
    fastcall_def<ADD_EVENT>(py_pattern_add_event),
    fastcall_def<ADD_EVENT_SET>(py_pattern_add_event_set),
    fastcall_def<ADD_EVENT_SEQ>(py_pattern_add_event_seq),
    fastcall_def<ADD_TIME_EVENT>(py_pattern_add_time_event),
    fastcall_def<ADD_MAPPED_EVENT>(py_pattern_add_mapped_event),
    fastcall_def<ADD_DYNAMIC_EVENT>(py_pattern_add_dynamic_event),
    fastcall_def<ADD_DYNAMIC_EVENT_SET>(py_pattern_add_dynamic_event_set),
    fastcall_def<ADD_DYNAMIC_TIME_EVENT>(py_pattern_add_dynamic_time_event),
    fastcall_def<ADD_MIDSTREAM_COLLECTOR>(py_pattern_add_midstream_collector),
    {"__reduce__", py_pattern_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot PATTERN_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(doc<PATTERN>())},
    {Py_tp_new, reinterpret_cast<void*>(py_pattern_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Pattern>)},
    {Py_tp_repr, reinterpret_cast<void*>(py_pattern_repr)},
    {Py_tp_methods, PATTERN_METHODS},
    {0, nullptr},
};
PyType_Spec PATTERN_SPEC = {"zuldcore.Pattern", sizeof(Wrapper<Pattern>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, PATTERN_SLOTS};
PyTypeObject* pattern = nullptr;

}  // namespace

PyTypeObject* pattern_type() { return make_type_once(pattern, &PATTERN_SPEC); }

bool is_pattern(PyObject* obj) { return PyObject_TypeCheck(obj, pattern_type()); }

Pattern pattern_copy(PyObject* obj) {
  ZC_ENSURE(is_pattern(obj), "pattern_copy of a '", type_name(obj), "'");
  Shared<Pattern> p{obj};
  return *p;
}

}  // namespace zuldcore
