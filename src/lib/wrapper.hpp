// Python classes as thin wrappers over one C++ value, with borrow tracking:
// a builder holds its object exclusively for the whole call, a reader holds
// it shared, so a conversion that calls back into the same object meets a
// clean error instead of a half-changed value.
#pragma once

#include <memory>
#include <type_traits>

#include "lib/py.hpp"

namespace zuldcore {

template <class T>
struct Wrapper {
  PyObject_HEAD
  Py_ssize_t borrows;  // 0 free, n > 0 shared by n readers, -1 held by a builder
  T value;
};

template <class T>
Wrapper<T>* as(PyObject* self) noexcept {
  return reinterpret_cast<Wrapper<T>*>(self);
}

// Allocates an instance of `type` holding `value`. The value is complete
// before Python sees the object.
template <class T>
Owned wrap(PyTypeObject* type, T value) {
  static_assert(std::is_nothrow_move_constructible_v<T>);
  Owned self = check(type->tp_alloc(type, 0));
  as<T>(self.get())->borrows = 0;
  new (&as<T>(self.get())->value) T(std::move(value));  // nothing can fail after allocation
  return self;
}

template <class T>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as<T>(self)->value);
  type->tp_free(self);
  Py_DECREF(type);  // instances own their heap type
}

template <class T>
class Shared {
 public:
  explicit Shared(PyObject* self) : w_(as<T>(self)) {
    if (w_->borrows < 0) throw BorrowError("Already mutably borrowed");
    ++w_->borrows;
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() { --w_->borrows; }
  const T& operator*() const noexcept { return w_->value; }
  const T* operator->() const noexcept { return &w_->value; }

 private:
  Wrapper<T>* w_;
};

template <class T>
class Exclusive {
 public:
  explicit Exclusive(PyObject* self) : w_(as<T>(self)) {
    if (w_->borrows != 0) throw BorrowError("Already borrowed");
    w_->borrows = -1;
  }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
  ~Exclusive() { w_->borrows = 0; }
  T& operator*() const noexcept { return w_->value; }
  T* operator->() const noexcept { return &w_->value; }

 private:
  Wrapper<T>* w_;
};

// Creates a heap type from `spec` once and keeps it for the process. The
// module adds its own reference when it registers the type.
PyTypeObject* make_type_once(PyTypeObject*& slot, PyType_Spec* spec);

// tp_new for classes that Python must not construct directly.
PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*) noexcept;

}  // namespace zuldcore
