// The one way into the NumPy C API. numpy.cpp owns the API table; every other
// file sees it through NO_IMPORT_ARRAY. The API is imported on first use.
#pragma once

#include "lib/py.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL ZULDCORE_ARRAY_API
#ifndef ZULDCORE_NUMPY_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstring>
#include <memory>
#include <vector>

namespace zuldcore {

// Imports the NumPy C API once; a failure is Internal (NumPy is a runtime
// dependency, so it cannot be missing in a sound install).
void ensure_numpy();

bool is_numpy_bool_scalar(PyObject* obj);

template <class T>
constexpr int NPY_TYPE_OF = 0;
template <> inline constexpr int NPY_TYPE_OF<int64_t> = NPY_INT64;
template <> inline constexpr int NPY_TYPE_OF<double> = NPY_FLOAT64;
template <> inline constexpr int NPY_TYPE_OF<int32_t> = NPY_INT32;
template <> inline constexpr int NPY_TYPE_OF<int8_t> = NPY_INT8;
template <> inline constexpr int NPY_TYPE_OF<uint32_t> = NPY_UINT32;
// Stream positions are kept unsigned by the engine and handed to Python as
// int64 (the same bits: no stream reaches 2^63 positions).
template <> inline constexpr int NPY_TYPE_OF<uint64_t> = NPY_INT64;

extern const char* const COLUMN_CAPSULE;

template <class T>
void free_column(PyObject* capsule) noexcept {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, COLUMN_CAPSULE));
}

// Columns up to this size are copied into an array that NumPy allocates
// itself: one allocation instead of three (the array, the vector's owner and
// its capsule), which is most of what a small result (a per-patient call)
// costs. Larger columns hand their storage over without a copy.
inline constexpr size_t COPY_LIMIT_BYTES = 16 * 1024;

// An array of shape dims[0..nd) holding the column (row-major), which must
// hold exactly the product of dims entries.
template <class T>
Owned to_numpy_shaped(std::vector<T>&& column, int nd, npy_intp* dims) {
  static_assert(NPY_TYPE_OF<T> != 0);
  ensure_numpy();
  if (column.size() * sizeof(T) <= COPY_LIMIT_BYTES) {
    Owned array = made(PyArray_SimpleNew(nd, dims, NPY_TYPE_OF<T>));
    if (!column.empty())
      std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), column.data(),
                  column.size() * sizeof(T));
    return array;
  }
  auto owner = std::make_unique<std::vector<T>>(std::move(column));
  Owned array = made(PyArray_SimpleNewFromData(nd, dims, NPY_TYPE_OF<T>, owner->data()));
  Owned base = made(PyCapsule_New(owner.get(), COLUMN_CAPSULE, &free_column<T>));
  owner.release();  // the capsule owns the vector now
  check_rc(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()));
  return array;
}

// A one-dimensional array of the column.
template <class T>
Owned to_numpy(std::vector<T>&& column) {
  npy_intp n = static_cast<npy_intp>(column.size());
  return to_numpy_shaped(std::move(column), 1, &n);
}

// A row-major (rows, cols) array of the column, which holds rows * cols entries.
template <class T>
Owned to_numpy_2d(std::vector<T>&& column, npy_intp rows, npy_intp cols) {
  ZC_ENSURE(column.size() == static_cast<size_t>(rows) * static_cast<size_t>(cols), "a column of ",
            column.size(), " entries for ", rows, " rows of ", cols);
  npy_intp dims[2] = {rows, cols};
  return to_numpy_shaped(std::move(column), 2, dims);
}

}  // namespace zuldcore
