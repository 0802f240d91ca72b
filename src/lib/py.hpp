// The one owner of PyObject references in C++ code, and the markers that
// carry "a Python exception is already set" through C++ frames.
// Every file that includes Python.h includes it through here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

#include "base/ensure.hpp"

namespace zuldcore {

class Owned {
 public:
  static Owned steal(PyObject* p) noexcept {  // p is a new reference
    Owned o;
    o.p_ = p;
    return o;
  }
  static Owned borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  Owned() noexcept = default;
  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    Py_XSETREF(p_, std::exchange(o.p_, nullptr));
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hand-off only, and only in the binding layer's headers: to an API that
  // steals a reference (the helpers below), or to the guard.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // For caches that live as long as the process (interned keys, type objects,
  // the module itself): the reference is kept on purpose and never dropped.
  [[nodiscard]] PyObject* keep_for_process() && noexcept { return release(); }

 private:
  PyObject* p_ = nullptr;
};

// Starts the clock of the interrupt poll's next look at pending signals
// from a thread that runs without the interpreter lock (lib/guard.cpp).
void note_lock_released() noexcept;

// Releases the interpreter lock for the life of the guard, around pure C++
// work that touches no Python object; other threads run meanwhile. Work
// over fewer than MIN_ITEMS items keeps the lock (`when` is false): it is
// over before another thread could use the lock, and giving it up and
// taking it back would cost more than the work.
class GilReleased {
 public:
  static constexpr size_t MIN_ITEMS = 1024;

  explicit GilReleased(bool when = true) noexcept : state_(when ? PyEval_SaveThread() : nullptr) {
    if (state_ != nullptr) note_lock_released();
  }
  ~GilReleased() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Thrown when a Python exception is already set; the guard lets it through.
struct PyErrSet {};

inline Owned check(PyObject* p) {
  if (!p) throw PyErrSet{};
  return Owned::steal(p);
}
inline void check_rc(int rc) {
  if (rc < 0) throw PyErrSet{};
}

// The C API calls that steal a reference, taking it as Owned so that the
// hand-off is visible in the type.
inline void list_set(const Owned& list, size_t i, Owned item) noexcept {
  PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
}
inline void set_cause(PyObject* exception, Owned cause) noexcept {
  PyException_SetCause(exception, cause.release());
}

// The pending exception, held aside while more Python runs (a lookup that
// fails would replace it); raise_again() sets it again as it was and throws
// PyErrSet. Dropped unraised, it is simply released.
class HeldError {
 public:
  HeldError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = Owned::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    type_ = Owned::steal(type);
    value_ = Owned::steal(value);
    tb_ = Owned::steal(tb);
#endif
  }
  HeldError(const HeldError&) = delete;
  HeldError& operator=(const HeldError&) = delete;

  [[noreturn]] void raise_again() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
#endif
    throw PyErrSet{};
  }

 private:
  Owned type_, value_, tb_;
};

// For objects that the module builds for a result: a null here is not the
// caller's fault, so it becomes an internal failure carrying the
// interpreter's message; MemoryError and KeyboardInterrupt pass through.
Owned made(PyObject* p);

// The pending exception's text ("TypeError: ..."), clearing it.
std::string take_error_text();

}  // namespace zuldcore

namespace zuldcore {
// A conflicting borrow of a wrapped object; raised as RuntimeError.
class BorrowError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
}  // namespace zuldcore
