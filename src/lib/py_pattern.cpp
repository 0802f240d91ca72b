// Pattern: the builder of temporal patterns.
#include "lib/module.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

PyType_Slot PATTERN_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Pattern(min_dt=0.0, max_dt=..., min_at=..., max_at=..., ordered=True, "
                                  "collector=\"none\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(not_yet_available_new)},
    {0, nullptr},
};
PyType_Spec PATTERN_SPEC = {"zuldcore.Pattern", sizeof(PyObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, PATTERN_SLOTS};
PyTypeObject* pattern = nullptr;

}  // namespace

PyTypeObject* pattern_type() { return make_type_once(pattern, &PATTERN_SPEC); }

}  // namespace zuldcore
