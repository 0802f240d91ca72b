// Owns the NumPy C API table and its lazy import.
#define ZULDCORE_NUMPY_OWNER
#include "lib/numpy.hpp"

namespace zuldcore {

const char* const COLUMN_CAPSULE = "zuldcore.column";

void ensure_numpy() {
  static bool imported = false;
  if (imported) return;
  // _import_array finds the right module on NumPy 1.x and 2.x; unlike the
  // import_array() macros it neither prints nor returns from the caller.
  if (_import_array() < 0) throw Internal(cat("NumPy C API unavailable: ", take_error_text()));
  imported = true;
}

bool is_numpy_bool_scalar(PyObject* obj) {
  ensure_numpy();
  return PyArray_IsScalar(obj, Bool);
}

Owned reshape_2d(Owned array, npy_intp rows, npy_intp cols) {
  npy_intp dims[2] = {rows, cols};
  PyArray_Dims shape = {dims, 2};
  return made(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(array.get()), &shape, NPY_CORDER));
}

}  // namespace zuldcore
