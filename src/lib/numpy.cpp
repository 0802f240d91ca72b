// Owns the NumPy C API table and its lazy import.
#define ZULDCORE_NUMPY_OWNER
#include "lib/numpy.hpp"

#include <string_view>

namespace zuldcore {

const char* const COLUMN_CAPSULE = "zuldcore.column";

void ensure_numpy() {
  static bool imported = false;
  if (imported) return;
  // _import_array finds the right module on NumPy 1.x and 2.x; unlike the
  // import_array() macros it neither prints nor returns from the caller.
  if (_import_array() < 0) {
    if (PyErr_Occurred()) throw PyErrSet{};
    throw Internal("NumPy C API unavailable, and the import set no exception");
  }
  imported = true;
}

bool numpy_loaded() {
  // sys.modules["numpy"] may be None, which is how a program blocks the import.
  PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
  return numpy != nullptr && PyModule_Check(numpy);
}

bool is_numpy_bool_scalar(PyObject* obj) {
  // NumPy's scalar types are named "numpy.bool" (2.x) or "numpy.bool_"
  // (1.x); any other type is answered without NumPy.
  if (std::string_view(Py_TYPE(obj)->tp_name).rfind("numpy.", 0) != 0) return false;
  ensure_numpy();
  return PyArray_IsScalar(obj, Bool);
}

}  // namespace zuldcore
