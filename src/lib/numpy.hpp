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

// Imports the NumPy C API once. Whatever the import raises (an ImportError
// of a broken install, a KeyboardInterrupt while NumPy loads) passes through
// as itself: it describes the caller's environment, not a fault of ours.
void ensure_numpy();

// Whether the numpy module is in sys.modules. No NumPy object can exist
// before it is, so callers that merely recognise NumPy inputs ask this
// first and spare programs that never use NumPy the import.
bool numpy_loaded();

// A NumPy bool scalar; never imports NumPy to find out.
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

// Makes `base` the owner of the array's data. NumPy takes the reference on
// failure too, so the caller never drops it.
inline void set_base(const Owned& array, Owned base) {
  check_rc(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()));
}

// A one-dimensional array that takes over the vector's storage (no copy).
template <class T>
Owned to_numpy(std::vector<T>&& column) {
  static_assert(NPY_TYPE_OF<T> != 0);
  ensure_numpy();
  auto owner = std::make_unique<std::vector<T>>(std::move(column));
  npy_intp n = static_cast<npy_intp>(owner->size());
  // An empty vector may have no storage; NumPy wants a valid pointer.
  if (owner->capacity() == 0) owner->reserve(1);
  Owned array = made(PyArray_SimpleNewFromData(1, &n, NPY_TYPE_OF<T>, owner->data()));
  Owned base = made(PyCapsule_New(owner.get(), COLUMN_CAPSULE, &free_column<T>));
  owner.release();  // the capsule owns the vector now
  set_base(array, std::move(base));
  return array;
}

// Arrays over the columns of one C++ value (a whole result buffer), without
// copying: the value moves into one capsule that every array keeps alive as
// its base, so a result of many columns costs one owner, not one per column.
template <class Owner>
class SharedColumns {
 public:
  explicit SharedColumns(Owner&& value) {
    ensure_numpy();
    auto owner = std::make_unique<Owner>(std::move(value));
    value_ = owner.get();
    capsule_ = made(PyCapsule_New(owner.get(), COLUMN_CAPSULE, &free_owner));
    owner.release();  // the capsule owns the value now
  }
  Owner& value() noexcept { return *value_; }

  // A one-dimensional array over `column`, which must belong to value().
  template <class T>
  Owned array(std::vector<T>& column) {
    static_assert(NPY_TYPE_OF<T> != 0);
    if (column.capacity() == 0) column.reserve(1);  // NumPy wants a valid pointer
    npy_intp n = static_cast<npy_intp>(column.size());
    Owned array = made(PyArray_SimpleNewFromData(1, &n, NPY_TYPE_OF<T>, column.data()));
    set_base(array, Owned::borrow(capsule_.get()));
    return array;
  }

  // A row-major (rows, cols) array over `column` (rows * cols entries), as a
  // view whose base is the one-dimensional array over the same entries.
  template <class T>
  Owned array_2d(std::vector<T>& column, npy_intp rows, npy_intp cols) {
    ZC_ENSURE(column.size() == static_cast<size_t>(rows) * static_cast<size_t>(cols), "a column of ",
              column.size(), " entries for ", rows, " rows of ", cols);
    Owned flat = array(column);
    npy_intp dims[2] = {rows, cols};
    // Made directly rather than reshaped: the same view for less work.
    Owned view = made(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_TYPE_OF<T>), 2, dims,
                                           nullptr, column.data(), NPY_ARRAY_CARRAY, nullptr));
    set_base(view, std::move(flat));
    return view;
  }

 private:
  static void free_owner(PyObject* capsule) noexcept {
    delete static_cast<Owner*>(PyCapsule_GetPointer(capsule, COLUMN_CAPSULE));
  }
  Owner* value_ = nullptr;
  Owned capsule_;
};

}  // namespace zuldcore
