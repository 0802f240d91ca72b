// Maps C++ exceptions to Python exceptions and owns the internal-failure type.
#include "lib/guard.hpp"

#include <cstdarg>
#include <exception>

#include "base/interrupt.hpp"
#include "lib/py_pickle.hpp"

namespace zuldcore {

namespace {

// Pickle finds a class or function by its module and name, and the
// internal-failure type is deliberately not one of the module's names. Its
// instances therefore pickle as a call of this function, which lives in a
// module of its own, registered only in sys.modules under the name below.
// Importing that name in a process that has not loaded zuldcore imports
// zuldcore first, which registers it. A worker process can so hand the
// failure to its parent (concurrent.futures, Dask, ...).
constexpr const char* PICKLE_MODULE = "zuldcore._internal";

PyObject* rebuild_internal_error(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return check(PyObject_Call(internal_failure_type(), args, nullptr)); });
}
PyMethodDef REBUILD_DEF = {"internal_error", rebuild_internal_error, METH_VARARGS,
                           "internal_error(*args)\n--\n\nRebuilds an unpickled zuldcore.InternalError."};
PyObject* rebuild_function = nullptr;  // kept for the process, as the type is

// BaseException.__reduce__ with the rebuilding function in place of the type.
PyObject* reduce_internal_error(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    Owned args = check(PyObject_GetAttrString(self, "args"));
    Owned state = check(PyObject_GetAttrString(self, "__dict__"));  // __notes__ and the like
    if (PyDict_Check(state.get()) && PyDict_GET_SIZE(state.get()) == 0)
      return made(PyTuple_Pack(2, rebuild_function, args.get()));
    return made(PyTuple_Pack(3, rebuild_function, args.get(), state.get()));
  });
}
PyMethodDef REDUCE_DEF = {"__reduce__", reduce_internal_error, METH_NOARGS, nullptr};

// Makes instances of `type` picklable; false with a Python error set.
bool make_picklable(PyObject* type) {
  try {
    Owned name = check(PyUnicode_FromString(PICKLE_MODULE));
    Owned module = check(PyModule_NewObject(name.get()));
    check_rc(PyModule_AddStringConstant(module.get(), "__doc__",
                                        "What pickle needs to rebuild zuldcore's failures in another process."));
    Owned fn = check(PyCFunction_NewEx(&REBUILD_DEF, nullptr, name.get()));
    check_rc(PyModule_AddObjectRef(module.get(), REBUILD_DEF.ml_name, fn.get()));
    add_pickle_loaders(module.get());
    Owned reduce = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &REDUCE_DEF));
    check_rc(PyObject_SetAttrString(type, "__reduce__", reduce.get()));
    check_rc(PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module.get()));
    rebuild_function = std::move(fn).keep_for_process();
    return true;
  } catch (const PyErrSet&) {
    return false;
  }
}

}  // namespace

PyObject* internal_failure_type() {
  // Created once, never freed: one process, one type, whatever happens to
  // the module object.
  static PyObject* type = [] {
    PyObject* t = PyErr_NewExceptionWithDoc(
        "zuldcore.InternalError",
        "An internal failure of zuldcore (a broken invariant). Derived from BaseException so that "
        "`except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
    if (t && !make_picklable(t)) {
      Owned failed = Owned::steal(t);
      return static_cast<PyObject*>(nullptr);
    }
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

void note_pending_error(const char* format, ...) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  va_list vargs;
  va_start(vargs, format);
  // The note is made with no exception pending; the pending one is taken
  // aside and put back as it was, whatever happens meanwhile.
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
#else
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  PyErr_NormalizeException(&type, &exc, &tb);
  if (exc && tb) PyException_SetTraceback(exc, tb);
#endif
  if (exc) {
    Owned note = Owned::steal(PyUnicode_FromFormatV(format, vargs));
    Owned added = note ? Owned::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Owned();
    if (!added) PyErr_Clear();
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(type, exc, tb);
#endif
  va_end(vargs);
#else
  (void)format;
#endif
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
  if (!p) {
    // Running out of memory, or a Ctrl-C met while NumPy was being loaded
    // for the result, is not a fault of ours: the caller sees it as it is.
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
      throw PyErrSet{};
    throw Internal(cat("failed to create a Python object: ", take_error_text()));
  }
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
