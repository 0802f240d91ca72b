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

// ---- StateMachine -------------------------------------------------------------------------

constexpr auto STATE_MACHINE = function("StateMachine", opt("out_name", "\"out\""));

PyObject* py_machine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    auto a = bind<STATE_MACHINE>(args, kwargs);
    std::string out_name = str_or(a["out_name"], "out_name", "out");
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

constexpr auto ADD_STATE =
    method("add_state", req("name"), opt("max_gap", "..."), opt("gap_anchor", "\"sustain\""),
           opt("sustain", "None"), opt("self_transition", "\"refresh\""), opt("min_duration", "0.0"),
           opt("min_events", "1"), opt("require", "None"), opt("drop_unclosed", "True"),
           opt("timeout_to", "None")).with_doc(
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
    auto a = bind<ADD_STATE>(args, nargs, kwnames);
    Exclusive<StateMachineDecl> m{self};  // held through every conversion: callbacks meet a borrow error
    std::string name(arg_str(a["name"], "name"));
    StateDef def;
    def.max_gap = f64_or(a["max_gap"], "max_gap", def.max_gap);
    std::string gap_anchor = str_or(a["gap_anchor"], "gap_anchor", "sustain");
    std::string self_transition = str_or(a["self_transition"], "self_transition", "refresh");
    def.min_duration = f64_or(a["min_duration"], "min_duration", def.min_duration);
    if (a["min_events"]) def.min_events = arg_u64(a["min_events"], "min_events");
    std::optional<std::vector<Owned>> require_items = opt_arg(a["require"], "require", arg_object_vec);
    def.drop_unclosed = bool_or(a["drop_unclosed"], "drop_unclosed", def.drop_unclosed);
    std::optional<std::string> timeout_to = opt_str(a["timeout_to"], "timeout_to");

    if (m->has_state(name)) throw ValueError(cat("Duplicate state name '", name, "'"));
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
    if (given(a["sustain"])) sustain = parse_token_ref(a["sustain"], "sustain");
    std::vector<TokenRef> require;
    if (require_items) require = parse_token_refs(*require_items, "require");

    // Everything is checked; the append fails only short of memory, and
    // then changes nothing.
    m->add_state(std::move(name), std::move(def), std::move(sustain), std::move(require), std::move(timeout_to));
    return none();
  });
}

constexpr auto ADD_ENTRY = method("add_entry", req("state"), req("trigger"), opt("from_states", "None"),
                                  opt("anchor", "\"end\"")).with_doc(
    "Enter `state` when `trigger` fires, optionally only from `from_states`.\n"
    "\n"
    "trigger: str | list[str] | list[list[str]] | Pattern.\n"
    "anchor:  \"end\" (default) fires when the trigger completes; \"start\" when\n"
    "         it begins.  Either way the entered state owns the whole span.\n"
    "Entry rules are tried in declaration order and the first match wins.");

PyObject* py_machine_add_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_ENTRY>(args, nargs, kwnames);
    Exclusive<StateMachineDecl> m{self};
    std::string state(arg_str(a["state"], "state"));
    std::vector<std::string> from_names = opt_str_vec(a["from_states"], "from_states");
    std::string anchor_text = str_or(a["anchor"], "anchor", "end");

    const uint32_t id = value_or_raise(m->state_id(state));
    if (id == 0) throw ValueError(cat("Cannot add an entry rule for the base state '", m->out_name, "'"));
    std::vector<uint32_t> from_states;
    for (const std::string& from : from_names) from_states.push_back(value_or_raise(m->state_id(from)));
    const Anchor anchor = parse_anchor(anchor_text);
    TokenRef trigger = parse_token_ref(a["trigger"], "trigger");

    m->add_entry(id, std::move(from_states), std::move(trigger), anchor);
    return none();
  });
}

constexpr auto ADD_EXIT = method("add_exit", req("state"), req("trigger"), opt("inclusive", "True"),
                                 opt("anchor", "\"end\"")).with_doc(
    "Leave `state` when `trigger` fires, returning to the base state.\n"
    "\n"
    "inclusive=True (default) gives the triggering span to the closing state.");

PyObject* py_machine_add_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ADD_EXIT>(args, nargs, kwnames);
    Exclusive<StateMachineDecl> m{self};
    std::string state(arg_str(a["state"], "state"));
    const bool inclusive = bool_or(a["inclusive"], "inclusive", true);
    std::string anchor_text = str_or(a["anchor"], "anchor", "end");

    const uint32_t id = value_or_raise(m->state_id(state));
    if (id == 0) throw ValueError(cat("Cannot add an exit rule for the base state '", m->out_name, "'"));
    const Anchor anchor = parse_anchor(anchor_text);
    TokenRef trigger = parse_token_ref(a["trigger"], "trigger");

    m->add_exit(id, std::move(trigger), anchor, inclusive);
    return none();
  });
}

constexpr auto STATE_ID = method("state_id", req("name"));

PyObject* py_machine_state_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<STATE_ID>(args, nargs, kwnames);
    Shared<StateMachineDecl> m{self};
    const uint32_t id = value_or_raise(m->state_id(arg_str(a["name"], "name")));
    return made(PyLong_FromUnsignedLong(id));
  });
}

constexpr auto SPAN = method("span", req("state"), opt("valid_only", "True")).with_doc(
    "A span reference over this machine's occupancy of `state`, usable anywhere a span "
    "is accepted (in_span, span_aggregate, ...).\n"
    "\n"
    "The machine is snapshotted here, so later edits to the builder do not affect specs "
    "already created.");

PyObject* py_machine_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<SPAN>(args, nargs, kwnames);
    Shared<StateMachineDecl> m{self};
    std::string state(arg_str(a["state"], "state"));
    const bool valid_only = bool_or(a["valid_only"], "valid_only", true);
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
    fastcall_def<ADD_STATE>(py_machine_add_state),
    fastcall_def<ADD_ENTRY>(py_machine_add_entry),
    fastcall_def<ADD_EXIT>(py_machine_add_exit),
    fastcall_def<STATE_ID>(py_machine_state_id),
    fastcall_def<SPAN>(py_machine_span),
    {"__reduce__", py_machine_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MACHINE_GETSET[] = {
    {"state_names", py_machine_state_names, nullptr,
     "State names indexed by id; `state_names[0]` is the base state.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot STATE_MACHINE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(doc<STATE_MACHINE>())},
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

constexpr auto STATE_SPANS = function("state_spans", req("tokens"), req("times"), req("machine"),
                                      opt("values", "None"), opt("include_invalid", "True"));

void set_item(PyObject* dict, const char* key, Owned value) {
  check_rc(PyDict_SetItemString(dict, key, value.get()));
}

PyObject* py_state_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> Owned {
    auto a = bind<STATE_SPANS>(args, nargs, kwnames);
    TokenColumn tokens = convert_tokens(a["tokens"], "tokens");
    std::vector<double> times = convert_floats(a["times"], "times");
    PyObject* machine_arg = a["machine"];
    if (!is_state_machine(machine_arg))
      throw_arg_type_error("machine", cat("expected StateMachine, got '", type_name(machine_arg), "'"));
    auto values = convert_opt_values(a["values"]);
    const bool include_invalid = bool_or(a["include_invalid"], "include_invalid", true);
    Stream s = checked_and_interned(std::move(tokens), std::move(times), std::move(values), "tokens");
    std::shared_ptr<const StateMachineDecl> machine = machine_snapshot(machine_arg);

    const StreamView stream{s.tokens, s.times,
                            s.has_values ? std::span<const double>(s.values) : std::span<const double>()};
    StateColumns columns;
    {
      GilReleased unlocked;  // compiling interns the triggers' strings; the run reads only C++ values
      MachineProgram program = value_or_raise(MachineProgram::compile(*machine));
      MachineScratch scratch;
      run_machine(program, stream, scratch, columns, include_invalid);
    }
    return state_spans_columns(std::move(columns));
  });
}

}  // namespace

Owned state_spans_columns(StateColumns&& columns) {
  Owned out = made(PyDict_New());
  set_item(out.get(), "state", to_numpy(std::move(columns.state)));
  set_item(out.get(), "start_pos", to_numpy(std::move(columns.start_pos)));
  set_item(out.get(), "end_pos", to_numpy(std::move(columns.end_pos)));
  set_item(out.get(), "t_start", to_numpy(std::move(columns.t_start)));
  set_item(out.get(), "t_end", to_numpy(std::move(columns.t_end)));
  set_item(out.get(), "n_events", to_numpy(std::move(columns.n_events)));
  set_item(out.get(), "close_reason", to_numpy(std::move(columns.close_reason)));
  set_item(out.get(), "reject_reason", to_numpy(std::move(columns.reject_reason)));
  set_item(out.get(), "valid", to_numpy(std::move(columns.valid)));
  set_item(out.get(), "timeout_entered", to_numpy(std::move(columns.timeout_entered)));
  return out;
}

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

PyMethodDef STATE_SPANS_DEF = fastcall_def<STATE_SPANS>(py_state_spans);

}  // namespace zuldcore
