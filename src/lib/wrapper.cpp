// Heap type creation shared by every class.
#include "lib/wrapper.hpp"

#include "lib/guard.hpp"

namespace zuldcore {

PyTypeObject* make_type_once(PyTypeObject*& slot, PyType_Spec* spec) {
  if (!slot) slot = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(spec)).keep_for_process());
  return slot;
}

PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace zuldcore
