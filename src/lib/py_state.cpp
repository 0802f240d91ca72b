// StateMachine, StateSpan and state_spans: the state machines' Python faces.
#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/streams.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

PyType_Slot STATE_MACHINE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("StateMachine(out_name=\"out\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(not_yet_available_new)},
    {0, nullptr},
};
PyType_Spec STATE_MACHINE_SPEC = {"zuldcore.StateMachine", sizeof(PyObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STATE_MACHINE_SLOTS};

PyType_Slot STATE_SPAN_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("A snapshot of one state's occupancy, used as a span source.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {0, nullptr},
};
PyType_Spec STATE_SPAN_SPEC = {"zuldcore.StateSpan", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STATE_SPAN_SLOTS};

PyTypeObject* state_machine = nullptr;
PyTypeObject* state_span = nullptr;

constexpr Signature<5> STATE_SPANS_SIG{"state_spans",
                                       {{{"tokens", true},
                                         {"times", true},
                                         {"machine", true},
                                         {"values", false},
                                         {"include_invalid", false}}}};

PyObject* py_state_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> Owned {
    auto a = bind(STATE_SPANS_SIG, args, nargs, kwnames);
    TokenColumn tokens = convert_tokens(a[0], "tokens");
    std::vector<double> times = convert_floats(a[1], "times");
    if (!PyObject_TypeCheck(a[2], state_machine_type()))
      throw_arg_type_error("machine", cat("expected StateMachine, got '", type_name(a[2]), "'"));
    auto values = convert_opt_values(a[3]);
    if (a[4]) (void)arg_bool(a[4], "include_invalid");
    value_or_raise(check_stream_lens(tokens.size(), "tokens", times.size(), values.has_value(),
                                     values ? values->size() : 0));
    PyErr_SetString(PyExc_NotImplementedError,
                    "state_spans is not available in this version of zuldcore yet");
    throw PyErrSet{};
  });
}

}  // namespace

PyTypeObject* state_machine_type() { return make_type_once(state_machine, &STATE_MACHINE_SPEC); }
PyTypeObject* state_span_type() { return make_type_once(state_span, &STATE_SPAN_SPEC); }

PyMethodDef STATE_SPANS_DEF = {
    "state_spans", ZC_FASTCALL(py_state_spans), METH_FASTCALL | METH_KEYWORDS,
    "state_spans(tokens, times, machine, values=None, include_invalid=True)\n--\n\n"};

}  // namespace zuldcore
