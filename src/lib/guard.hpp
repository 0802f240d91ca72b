// The one guard between C++ and CPython: every function that CPython calls
// runs its body through guarded(), so no C++ exception crosses into C.
#pragma once

#include <cstdint>
#include <new>

#include "lib/py.hpp"

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that PyMethodDef stores.
#define ZC_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

namespace zuldcore {

// The internal-failure exception type (derived from BaseException), created
// once per process.
PyObject* internal_failure_type();

// The interrupt poll installed for the cores: runs pending signal handlers
// and says whether one raised (Ctrl-C raises KeyboardInterrupt). Only the
// main thread can see a signal, so elsewhere it answers no at once; on the
// main thread without the interpreter lock it takes the lock for it, paced
// by the clock (see guard.cpp).
bool python_stop_requested() noexcept;

// Finds the main thread and installs python_stop_requested for the cores;
// throws PyErrSet when the threading module cannot say which thread that is.
void install_interrupt_poll();

// How many polls took the interpreter lock in this process (for tests).
uint64_t locked_poll_count() noexcept;

// Sets the Python exception for the C++ exception in flight. Call only from
// inside a catch block.
void set_python_error_from_current() noexcept;

// The result of an entry point that returns nothing.
inline Owned none() { return Owned::borrow(Py_None); }

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    Owned result = body();
    if (!result) {
      if (!PyErr_Occurred())
        PyErr_SetString(internal_failure_type(), "entry point returned no result");
      return nullptr;
    }
    return result.release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

// Adds a note to the pending exception saying where it happened, its text
// made as PyUnicode_FromFormat(format, ...) does (BaseException.add_note:
// Python 3.11 and later; before, nothing is added). When the note cannot be
// made or added (a key's __repr__ raises, say), the pending exception goes on
// without it.
void note_pending_error(const char* format, ...) noexcept;

// Runs `body`; whatever it raises, a C++ or a Python exception, leaves as the
// Python exception the guard would raise, with the same message and a note
// naming where it happened: with_note(read_entry, "in match_map entry %R", key).
// Only PyUnicode_FromFormat's arguments may follow the format.
template <class Body, class... Args>
decltype(auto) with_note(Body&& body, const char* format, Args... args) {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current();
    note_pending_error(format, args...);
    throw PyErrSet{};
  }
}

// For slots that return int (0 ok, -1 error) or Py_ssize_t.
template <class R, class F>
R guarded_value(R error_value, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current();
    return error_value;
  }
}

}  // namespace zuldcore

#include "base/expected.hpp"

namespace zuldcore {

// Raises a core's validation failure as ValueError with its exact text.
template <class T>
T value_or_raise(Expected<T>&& e) {
  if (!e) throw ValueError(e.message());
  return std::move(e).value();
}

}  // namespace zuldcore
