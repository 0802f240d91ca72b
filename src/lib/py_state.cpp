// StateMachine, StateSpan and state_spans: the state machines' Python faces.
// Builders take the machine exclusively, convert and check every argument,
// and change the declaration only after everything passed; readers take it
// shared. The run itself is src/state and never sees Python.
#include "lib/py_state.hpp"

#include <utility>

#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/numpy.hpp"
#include "lib/py_pickle.hpp"
#include "lib/streams.hpp"
#include "lib/token_refs.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

PyTypeObject* state_machine = nullptr;
PyTypeObject* state_span = nullptr;

Owned none() { return Owned::borrow(Py_None); }
bool given(PyObject* obj) { return obj && obj != Py_None; }

// ---- StateMachine -------------------------------------------------------------------------

constexpr Signature<1> STATE_MACHINE_SIG{"StateMachine", {{{"out_name", false}}}};

PyObject* py_machine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    auto a = bind(STATE_MACHINE_SIG, args, kwargs);
    std::string out_name = a[0] ? std::string(arg_str(a[0], "out_name")) : std::string("out");
    return wrap(type, StateMachineDecl(std::move(out_name)));
  });
}

PyObject* py_machine_repr(PyObject* self) noexcept {
  return guarded([&] {
    Shared<StateMachineDecl> m{self};
    std::string text = machine_repr(*m);
    return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  });
}

constexpr Signature<10> ADD_STATE_SIG{"add_state",
                                      {{{"name", true},
                                        {"max_gap", false},
                                        {"gap_anchor", false},
                                        {"sustain", false},
                                        {"self_transition", false},
                                        {"min_duration", false},
                                        {"min_events", false},
                                        {"require", false},
                                        {"drop_unclosed", false},
                                        {"timeout_to", false}}}};

PyDoc_STRVAR(ADD_STATE_DOC,
             "add_state($self, name, max_gap=..., gap_anchor=\"sustain\", sustain=None, "
             "self_transition=\"refresh\", min_duration=0.0, min_events=1, require=None, "
             "drop_unclosed=True, timeout_to=None)\n"
             "--\n"
             "\n"
             "Declare a state.\n"
             "\n"
             "max_gap:         expire the state if its clock is not re-anchored within\n"
             "                 this much time.  Default: never expires.\n"
             "gap_anchor:      what re-anchors the clock \u2014 \"sustain\" (default),\n"
             "                 \"any_event\", or \"entry\".\n"
             "sustain:         triggers that re-anchor the clock under \"sustain\".\n"
             "                 Defaults to the state's own entry triggers.\n"
             "self_transition: \"refresh\" (default), \"restart\", or \"ignore\".\n"
             "min_duration / min_events / require / drop_unclosed:\n"
             "                 retrospective validity rules; instances failing any of\n"
             "                 them are retracted and label as invalid.\n"
             "timeout_to:      state to enter when this one expires, instead of the\n"
             "                 base state.  Requires a finite max_gap.  The target\n"
             "                 opens at the deadline and is flagged `timeout_entered`\n"
             "                 in state_spans; it may be declared later.");

PyObject* py_machine_add_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_STATE_SIG, args, nargs, kwnames);
    Exclusive<StateMachineDecl> m{self};  // held through every conversion: callbacks meet a borrow error
    std::string name(arg_str(a[0], "name"));
    StateDef def;
    if (a[1]) def.max_gap = arg_f64(a[1], "max_gap");
    std::string gap_anchor = a[2] ? std::string(arg_str(a[2], "gap_anchor")) : "sustain";
    std::string self_transition = a[4] ? std::string(arg_str(a[4], "self_transition")) : "refresh";
    if (a[5]) def.min_duration = arg_f64(a[5], "min_duration");
    if (a[6]) def.min_events = arg_u64(a[6], "min_events");
    std::optional<std::vector<Owned>> require_items;
    if (given(a[7])) require_items = arg_object_vec(a[7], "require");
    if (a[8]) def.drop_unclosed = arg_bool(a[8], "drop_unclosed");
    std::optional<std::string> timeout_to;
    if (given(a[9])) timeout_to = std::string(arg_str(a[9], "timeout_to"));

    for (const std::string& existing : m->names)
      if (existing == name) throw ValueError(cat("Duplicate state name '", name, "'"));
    def.gap_anchor = value_or_raise(gap_anchor_from_name(gap_anchor));
    def.self_transition = value_or_raise(self_transition_from_name(self_transition));
    if (timeout_to) {
      if (!std::isfinite(def.max_gap))
        throw ValueError(cat("State '", name, "' has timeout_to='", *timeout_to,
                             "' but no finite max_gap, so it never expires and timeout_to would "
                             "never apply."));
      if (*timeout_to == name) throw ValueError(cat("State '", name, "' cannot time out into itself."));
    }
    std::optional<TokenRef> sustain;
    if (given(a[3])) sustain = parse_token_ref(a[3], "sustain");
    std::vector<TokenRef> require;
    if (require_items) require = parse_token_refs(*require_items, "require");

    // Everything is checked; from here on only appends, which never fail
    // short of memory. A copy is changed and swapped in so that even then
    // the machine stays as it was.
    StateMachineDecl next = *m;
    def.id = static_cast<uint32_t>(next.names.size());
    next.names.push_back(std::move(name));
    if (sustain) def.sustain = {next.add_trigger(std::move(*sustain), Anchor::End)};
    for (TokenRef& r : require) def.require.push_back(next.add_trigger(std::move(r), Anchor::End));
    next.states.push_back(std::move(def));
    next.sustain_given.push_back(sustain.has_value());
    next.timeout_names.push_back(std::move(timeout_to));
    *m = std::move(next);
    return none();
  });
}

constexpr Signature<4> ADD_ENTRY_SIG{
    "add_entry", {{{"state", true}, {"trigger", true}, {"from_states", false}, {"anchor", false}}}};

PyDoc_STRVAR(ADD_ENTRY_DOC,
             "add_entry($self, state, trigger, from_states=None, anchor=\"end\")\n"
             "--\n"
             "\n"
             "Enter `state` when `trigger` fires, optionally only from `from_states`.\n"
             "\n"
             "trigger: str | list[str] | list[list[str]] | Pattern.\n"
             "anchor:  \"end\" (default) fires when the trigger completes; \"start\" when\n"
             "         it begins.  Either way the entered state owns the whole span.\n"
             "Entry rules are tried in declaration order and the first match wins.");

PyObject* py_machine_add_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_ENTRY_SIG, args, nargs, kwnames);
    Exclusive<StateMachineDecl> m{self};
    std::string state(arg_str(a[0], "state"));
    std::vector<std::string> from_names;
    if (given(a[2])) from_names = arg_str_vec(a[2], "from_states");
    std::string anchor_text = a[3] ? std::string(arg_str(a[3], "anchor")) : "end";

    const uint32_t id = value_or_raise(m->state_id(state));
    if (id == 0) throw ValueError(cat("Cannot add an entry rule for the base state '", m->out_name, "'"));
    std::vector<uint32_t> from_states;
    for (const std::string& from : from_names) from_states.push_back(value_or_raise(m->state_id(from)));
    const Anchor anchor = parse_anchor(anchor_text);
    TokenRef trigger = parse_token_ref(a[1], "trigger");

    StateMachineDecl next = *m;
    const uint32_t k = next.add_trigger(std::move(trigger), anchor);
    next.entries.push_back(EntryRule{std::move(from_states), k, id});
    *m = std::move(next);
    return none();
  });
}

constexpr Signature<4> ADD_EXIT_SIG{
    "add_exit", {{{"state", true}, {"trigger", true}, {"inclusive", false}, {"anchor", false}}}};

PyDoc_STRVAR(ADD_EXIT_DOC,
             "add_exit($self, state, trigger, inclusive=True, anchor=\"end\")\n"
             "--\n"
             "\n"
             "Leave `state` when `trigger` fires, returning to the base state.\n"
             "\n"
             "inclusive=True (default) gives the triggering span to the closing state.");

PyObject* py_machine_add_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_EXIT_SIG, args, nargs, kwnames);
    Exclusive<StateMachineDecl> m{self};
    std::string state(arg_str(a[0], "state"));
    const bool inclusive = a[2] ? arg_bool(a[2], "inclusive") : true;
    std::string anchor_text = a[3] ? std::string(arg_str(a[3], "anchor")) : "end";

    const uint32_t id = value_or_raise(m->state_id(state));
    if (id == 0) throw ValueError(cat("Cannot add an exit rule for the base state '", m->out_name, "'"));
    const Anchor anchor = parse_anchor(anchor_text);
    TokenRef trigger = parse_token_ref(a[1], "trigger");

    StateMachineDecl next = *m;
    const uint32_t k = next.add_trigger(std::move(trigger), anchor);
    next.exits.push_back(ExitRule{k, id, inclusive});
    *m = std::move(next);
    return none();
  });
}

constexpr Signature<1> STATE_ID_SIG{"state_id", {{{"name", true}}}};

PyObject* py_machine_state_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(STATE_ID_SIG, args, nargs, kwnames);
    Shared<StateMachineDecl> m{self};
    const uint32_t id = value_or_raise(m->state_id(arg_str(a[0], "name")));
    return made(PyLong_FromUnsignedLong(id));
  });
}

constexpr Signature<2> SPAN_SIG{"span", {{{"state", true}, {"valid_only", false}}}};

PyDoc_STRVAR(SPAN_DOC,
             "span($self, state, valid_only=True)\n"
             "--\n"
             "\n"
             "A span reference over this machine's occupancy of `state`, usable anywhere a span "
             "is accepted (in_span, span_aggregate, ...).\n"
             "\n"
             "The machine is snapshotted here, so later edits to the builder do not affect specs "
             "already created.");

PyObject* py_machine_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(SPAN_SIG, args, nargs, kwnames);
    Shared<StateMachineDecl> m{self};
    std::string state(arg_str(a[0], "state"));
    const bool valid_only = a[1] ? arg_bool(a[1], "valid_only") : true;
    const uint32_t id = value_or_raise(m->state_id(state));
    if (id == 0) throw ValueError(cat("'", state, "' is the base state and has no spans"));
    StateSpanRef ref{value_or_raise(m->finalized()), id, valid_only};
    return wrap(state_span_type(), std::move(ref));
  });
}

PyObject* py_machine_state_names(PyObject* self, void*) noexcept {
  return guarded([&] {
    Shared<StateMachineDecl> m{self};
    Owned list = made(PyList_New(static_cast<Py_ssize_t>(m->names.size())));
    for (size_t i = 0; i < m->names.size(); ++i) {
      const std::string& s = m->names[i];
      Owned item = made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
      list_set(list, i, std::move(item));
    }
    return list;
  });
}

PyMethodDef MACHINE_METHODS[] = {
    {"add_state", ZC_FASTCALL(py_machine_add_state), METH_FASTCALL | METH_KEYWORDS, ADD_STATE_DOC},
    {"add_entry", ZC_FASTCALL(py_machine_add_entry), METH_FASTCALL | METH_KEYWORDS, ADD_ENTRY_DOC},
    {"add_exit", ZC_FASTCALL(py_machine_add_exit), METH_FASTCALL | METH_KEYWORDS, ADD_EXIT_DOC},
    {"state_id", ZC_FASTCALL(py_machine_state_id), METH_FASTCALL | METH_KEYWORDS,
     "state_id($self, name)\n--\n\n"},
    {"span", ZC_FASTCALL(py_machine_span), METH_FASTCALL | METH_KEYWORDS, SPAN_DOC},
    {"__reduce__", py_machine_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MACHINE_GETSET[] = {
    {"state_names", py_machine_state_names, nullptr,
     "State names indexed by id; `state_names[0]` is the base state.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot STATE_MACHINE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("StateMachine(out_name=\"out\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py_machine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StateMachineDecl>)},
    {Py_tp_repr, reinterpret_cast<void*>(py_machine_repr)},
    {Py_tp_methods, MACHINE_METHODS},
    {Py_tp_getset, MACHINE_GETSET},
    {0, nullptr},
};
PyType_Spec STATE_MACHINE_SPEC = {"zuldcore.StateMachine", sizeof(Wrapper<StateMachineDecl>), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STATE_MACHINE_SLOTS};

// ---- StateSpan ----------------------------------------------------------------------------

PyObject* py_span_repr(PyObject* self) noexcept {
  return guarded([&] {
    std::string text = state_span_repr(as<StateSpanRef>(self)->value);
    return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  });
}

PyType_Slot STATE_SPAN_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("A snapshot of one state's occupancy, used as a span source.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StateSpanRef>)},
    {Py_tp_repr, reinterpret_cast<void*>(py_span_repr)},
    {Py_tp_methods, STATE_SPAN_METHODS},
    {0, nullptr},
};
PyType_Spec STATE_SPAN_SPEC = {"zuldcore.StateSpan", sizeof(Wrapper<StateSpanRef>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STATE_SPAN_SLOTS};

// ---- state_spans --------------------------------------------------------------------------

constexpr Signature<5> STATE_SPANS_SIG{"state_spans",
                                       {{{"tokens", true},
                                         {"times", true},
                                         {"machine", true},
                                         {"values", false},
                                         {"include_invalid", false}}}};

template <class T, class F>
Owned column(const std::vector<StateInstance>& rows, F&& field) {
  std::vector<T> out;
  out.reserve(rows.size());
  for (const StateInstance& r : rows) out.push_back(static_cast<T>(field(r)));
  return to_numpy(std::move(out));
}

void set_item(PyObject* dict, const char* key, Owned value) {
  check_rc(PyDict_SetItemString(dict, key, value.get()));
}

PyObject* py_state_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> Owned {
    auto a = bind(STATE_SPANS_SIG, args, nargs, kwnames);
    TokenColumn tokens = convert_tokens(a[0], "tokens");
    std::vector<double> times = convert_floats(a[1], "times");
    if (!is_state_machine(a[2]))
      throw_arg_type_error("machine", cat("expected StateMachine, got '", type_name(a[2]), "'"));
    auto values = convert_opt_values(a[3]);
    const bool include_invalid = a[4] ? arg_bool(a[4], "include_invalid") : true;
    Stream s = checked_and_interned(std::move(tokens), std::move(times), std::move(values), "tokens");
    std::shared_ptr<const StateMachineDecl> machine = machine_snapshot(a[2]);

    PointsCache points(StreamView{s.tokens, s.times,
                                  s.has_values ? std::span<const double>(s.values) : std::span<const double>()});
    Expected<std::vector<StateInstance>> run = fail("");
    {
      GilReleased unlocked;  // the run reads only C++ values
      run = run_state_machine(*machine, points);
    }
    std::vector<StateInstance> rows = value_or_raise(std::move(run));
    if (!include_invalid)
      std::erase_if(rows, [](const StateInstance& r) { return !r.valid; });

    Owned out = made(PyDict_New());
    set_item(out.get(), "state", column<int32_t>(rows, [](auto& r) { return r.state; }));
    set_item(out.get(), "start_pos", column<int64_t>(rows, [](auto& r) { return r.start_pos; }));
    set_item(out.get(), "end_pos", column<int64_t>(rows, [](auto& r) { return r.end_pos; }));
    set_item(out.get(), "t_start", column<double>(rows, [](auto& r) { return r.t_start; }));
    set_item(out.get(), "t_end", column<double>(rows, [](auto& r) { return r.t_end; }));
    set_item(out.get(), "n_events", column<int64_t>(rows, [](auto& r) { return r.n_events; }));
    set_item(out.get(), "close_reason", column<int8_t>(rows, [](auto& r) { return r.close_reason; }));
    set_item(out.get(), "reject_reason", column<int8_t>(rows, [](auto& r) { return r.reject_reason; }));
    set_item(out.get(), "valid", column<int8_t>(rows, [](auto& r) { return r.valid; }));
    set_item(out.get(), "timeout_entered", column<int8_t>(rows, [](auto& r) { return r.timeout_entered; }));
    return out;
  });
}

}  // namespace

PyTypeObject* state_machine_type() { return make_type_once(state_machine, &STATE_MACHINE_SPEC); }
PyTypeObject* state_span_type() { return make_type_once(state_span, &STATE_SPAN_SPEC); }

bool is_state_machine(PyObject* obj) { return PyObject_TypeCheck(obj, state_machine_type()); }

std::shared_ptr<const StateMachineDecl> machine_snapshot(PyObject* obj) {
  ZC_ENSURE(is_state_machine(obj), "machine_snapshot of a '", type_name(obj), "'");
  Shared<StateMachineDecl> m{obj};
  return value_or_raise(m->finalized());
}

bool is_state_span(PyObject* obj) { return PyObject_TypeCheck(obj, state_span_type()); }

StateSpanRef state_span_ref(PyObject* obj) {
  ZC_ENSURE(is_state_span(obj), "state_span_ref of a '", type_name(obj), "'");
  return as<StateSpanRef>(obj)->value;
}

PyMethodDef STATE_SPANS_DEF = {
    "state_spans", ZC_FASTCALL(py_state_spans), METH_FASTCALL | METH_KEYWORDS,
    "state_spans(tokens, times, machine, values=None, include_invalid=True)\n--\n\n"};

}  // namespace zuldcore
