// Maps C++ exceptions to Python exceptions and owns the internal-failure type.
#include "lib/guard.hpp"

#include <exception>

#include "types/interrupt.hpp"

namespace zuldcore {

PyObject* internal_failure_type() {
  // Created once, never freed: one process, one type, whatever happens to
  // the module object.
  static PyObject* type = [] {
    PyObject* t = PyErr_NewExceptionWithDoc(
        "zuldcore.InternalError",
        "An internal failure of zuldcore (a broken invariant). Derived from BaseException so that "
        "`except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
    return t;
  }();
  return type;
}

std::string take_error_text() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Owned t = Owned::steal(type), v = Owned::steal(value), b = Owned::steal(tb);
  if (!t) return "unknown error";
  std::string text = reinterpret_cast<PyTypeObject*>(t.get())->tp_name;
  if (v) {
    Owned s = Owned::steal(PyObject_Str(v.get()));
    const char* utf8 = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (utf8) text += cat(": ", utf8);
    PyErr_Clear();
  }
  return text;
}

bool python_stop_requested() noexcept {
  // Signal handlers run on the main thread with the interpreter lock; a
  // core running without the lock takes it just to ask.
  if (PyGILState_Check()) return PyErr_CheckSignals() < 0;
  PyGILState_STATE held = PyGILState_Ensure();
  const bool stop = PyErr_CheckSignals() < 0;
  PyGILState_Release(held);
  return stop;
}

Owned made(PyObject* p) {
  if (!p) throw Internal(cat("failed to create a Python object: ", take_error_text()));
  return Owned::steal(p);
}

namespace {
// The whole message, NULs included; invalid UTF-8 cannot come from a Python
// str, but is replaced rather than lost if it ever does.
void set_text(PyObject* type, const std::string& text) {
  Owned message = Owned::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message)
    PyErr_SetObject(type, message.get());
  else if (!PyErr_Occurred())
    PyErr_NoMemory();
}

void set_internal(const char* what) {
  PyObject* type = internal_failure_type();
  if (type)
    PyErr_SetString(type, what);
  else if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, what);
}
}  // namespace

void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) set_internal("an exception was signalled but none was set");
  } catch (const Interrupted&) {
    // The poll has set the signal handler's exception; a stop asked for
    // without one is still a KeyboardInterrupt.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const ValueError& e) {
    set_text(PyExc_ValueError, e.message());
  } catch (const TypeError& e) {
    set_text(PyExc_TypeError, e.message());
  } catch (const OverflowError& e) {
    set_text(PyExc_OverflowError, e.message());
  } catch (const BorrowError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Internal& e) {
    set_internal(e.what());
  } catch (const std::exception& e) {
    set_internal(e.what());
  } catch (...) {
    set_internal("unknown C++ exception");
  }
}

}  // namespace zuldcore
