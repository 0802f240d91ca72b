// Maps C++ exceptions to Python exceptions and owns the internal-failure type.
#include "lib/guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

PyObject* locked_polls_fn(PyObject*, PyObject*) noexcept {
  return guarded([] { return check(PyLong_FromUnsignedLongLong(locked_poll_count())); });
}
PyMethodDef LOCKED_POLLS_DEF = {"locked_polls", locked_polls_fn, METH_NOARGS,
                                "locked_polls()\n--\n\nHow many times the interrupt poll took the interpreter "
                                "lock in this process (for tests)."};

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
    Owned polls = check(PyCFunction_NewEx(&LOCKED_POLLS_DEF, nullptr, name.get()));
    check_rc(PyModule_AddObjectRef(module.get(), LOCKED_POLLS_DEF.ml_name, polls.get()));
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

namespace {

// CPython runs signal handlers on its main thread only; a poll on any other
// thread can never see one. After a fork the forking thread is the child's
// main thread, as CPython makes it.
std::atomic<unsigned long> signal_thread{0};
void after_fork_in_child() noexcept { signal_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); }
bool on_signal_thread() noexcept {
  return PyThread_get_thread_ident() == signal_thread.load(std::memory_order_relaxed);
}

// Polls of the signal thread while it runs without the interpreter lock.
// Taking the lock waits for the thread that holds it (up to the switch
// interval, 5 ms by default, when another thread runs Python), so such a
// poll is paced by the clock: at most one per interval, the interval long
// enough that the wait stays near 2% of the time between polls, and never
// so long that Ctrl-C goes unanswered for more than about half a second.
// Only the signal thread reads or writes these.
using Clock = std::chrono::steady_clock;
constexpr Clock::duration MIN_POLL_INTERVAL = std::chrono::milliseconds(20);
constexpr Clock::duration MAX_POLL_INTERVAL = std::chrono::milliseconds(500);
constexpr int WAIT_SHARE = 50;  // interval = 50 x the last wait for the lock
Clock::time_point next_locked_poll;
Clock::duration locked_poll_interval = MIN_POLL_INTERVAL;
std::atomic<uint64_t> locked_polls{0};

}  // namespace

void install_interrupt_poll() {
  Owned threading = check(PyImport_ImportModule("threading"));
  Owned main_thread = check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  Owned ident = check(PyObject_GetAttrString(main_thread.get(), "ident"));
  const unsigned long id = PyLong_AsUnsignedLong(ident.get());
  if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PyErrSet{};
  signal_thread.store(id, std::memory_order_relaxed);
  static const bool fork_handler = pthread_atfork(nullptr, nullptr, &after_fork_in_child) == 0;
  (void)fork_handler;  // without it a child forked off a non-main thread polls less, and stays correct
  set_interrupt_poll(&python_stop_requested);
}

void note_lock_released() noexcept {
  if (on_signal_thread()) next_locked_poll = Clock::now() + locked_poll_interval;
}

uint64_t locked_poll_count() noexcept { return locked_polls.load(std::memory_order_relaxed); }

bool python_stop_requested() noexcept {
  if (!on_signal_thread()) return false;
  if (PyGILState_Check()) return PyErr_CheckSignals() < 0;
  const Clock::time_point asked = Clock::now();
  if (asked < next_locked_poll) return false;
  PyGILState_STATE held = PyGILState_Ensure();
  const Clock::time_point got = Clock::now();
  const bool stop = PyErr_CheckSignals() < 0;
  PyGILState_Release(held);
  locked_polls.fetch_add(1, std::memory_order_relaxed);
  locked_poll_interval = std::clamp<Clock::duration>((got - asked) * WAIT_SHARE, MIN_POLL_INTERVAL,
                                                     MAX_POLL_INTERVAL);
  next_locked_poll = Clock::now() + locked_poll_interval;
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
