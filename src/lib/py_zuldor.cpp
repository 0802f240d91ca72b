// Zuldor and PreprocessedStream: the matcher's Python faces.
#include "lib/module.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

PyType_Slot ZULDOR_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Zuldor(pattern)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(not_yet_available_new)},
    {0, nullptr},
};
PyType_Spec ZULDOR_SPEC = {"zuldcore.Zuldor", sizeof(PyObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, ZULDOR_SLOTS};

PyType_Slot PREPROCESSED_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {0, nullptr},
};
PyType_Spec PREPROCESSED_SPEC = {"zuldcore.PreprocessedStream", sizeof(PyObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, PREPROCESSED_SLOTS};

PyTypeObject* zuldor = nullptr;
PyTypeObject* preprocessed = nullptr;

}  // namespace

PyTypeObject* zuldor_type() { return make_type_once(zuldor, &ZULDOR_SPEC); }
PyTypeObject* preprocessed_stream_type() { return make_type_once(preprocessed, &PREPROCESSED_SPEC); }

}  // namespace zuldcore
