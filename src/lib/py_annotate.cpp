// AnnotationSpec and annotate_stream: the annotation's Python faces.
#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/streams.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

PyType_Slot ANNOTATION_SPEC_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {0, nullptr},
};
PyType_Spec ANNOTATION_SPEC_SPEC = {"zuldcore.AnnotationSpec", sizeof(PyObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                    ANNOTATION_SPEC_SLOTS};
PyTypeObject* annotation_spec = nullptr;

constexpr Signature<4> ANNOTATE_STREAM_SIG{
    "annotate_stream", {{{"tokens", true}, {"times", true}, {"specs", true}, {"values", false}}}};

PyObject* py_annotate_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> Owned {
    auto a = bind(ANNOTATE_STREAM_SIG, args, nargs, kwnames);
    TokenColumn tokens = convert_tokens(a[0], "tokens");
    std::vector<double> times = convert_floats(a[1], "times");
    Py_ssize_t n_specs = seq_len(a[2], "specs");
    for (Py_ssize_t i = 0; i < n_specs; ++i) {
      Owned spec = seq_item(a[2], i);
      if (!PyObject_TypeCheck(spec.get(), annotation_spec_type()))
        throw_arg_type_error("specs", cat("expected AnnotationSpec, got '", type_name(spec.get()), "'"));
    }
    auto values = convert_opt_values(a[3]);
    value_or_raise(check_stream_lens(tokens.size(), "tokens", times.size(), values.has_value(),
                                     values ? values->size() : 0));
    PyErr_SetString(PyExc_NotImplementedError,
                    "annotate_stream is not available in this version of zuldcore yet");
    throw PyErrSet{};
  });
}

}  // namespace

PyTypeObject* annotation_spec_type() { return make_type_once(annotation_spec, &ANNOTATION_SPEC_SPEC); }

PyMethodDef ANNOTATE_STREAM_DEF = {"annotate_stream", ZC_FASTCALL(py_annotate_stream),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "annotate_stream(tokens, times, specs, values=None)\n--\n\n"};

}  // namespace zuldcore
