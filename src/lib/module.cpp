// PyInit_zuldcore: single-phase initialisation, cached per process, and the
// registry of the module's eleven names in their fixed order.
#include <cstdint>

#include "lib/guard.hpp"
#include "lib/module.hpp"

namespace zuldcore {
namespace {

// m_size 0, not -1: with -1 the interpreter re-creates the module in another
// interpreter from a copy of its dict without calling PyInit_zuldcore, and
// that interpreter would share our process-wide state unchecked. With 0 every
// import calls PyInit_zuldcore, which returns the cached module or refuses.
PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "zuldcore", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

const char* const CLOSE_REASONS[] = {"exit_event", "timeout", "transition", "end_of_stream"};
const char* const REJECT_REASONS[] = {"none", "unclosed", "too_short", "too_few_events",
                                      "missing_required"};

// Adds `value` under `name` and appends the name to __all__.
void add(PyObject* module, const char* name, PyObject* value) {
  check_rc(PyModule_AddObjectRef(module, name, value));
  Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = check(PyList_New(0));
    check_rc(PyModule_AddObjectRef(module, "__all__", all.get()));
  }
  Owned key = check(PyUnicode_FromString(name));
  check_rc(PyList_Append(all.get(), key.get()));
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  add(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* def) {
  Owned module_name = check(PyUnicode_FromString("zuldcore"));
  Owned fn = check(PyCFunction_NewEx(def, nullptr, module_name.get()));
  add(module, def->ml_name, fn.get());
}

template <size_t N>
void add_list(PyObject* module, const char* name, const char* const (&items)[N]) {
  Owned list = check(PyList_New(N));
  for (size_t i = 0; i < N; ++i)
    list_set(list, i, check(PyUnicode_FromString(items[i])));
  add(module, name, list.get());
}

// The order is the order of failure as well: the first registration that
// fails ends the import, and later names are not attempted.
void module_body(PyObject* m) {
  add_type(m, "Pattern", pattern_type());
  add_type(m, "Zuldor", zuldor_type());
  add_type(m, "PreprocessedStream", preprocessed_stream_type());
  add_type(m, "AnnotationSpec", annotation_spec_type());
  add_type(m, "StateMachine", state_machine_type());
  add_type(m, "StateSpan", state_span_type());
  add_function(m, &ANNOTATE_STREAM_DEF);
  add_function(m, &STATE_SPANS_DEF);
  add_function(m, &VOCAB_IDS_DEF);
  add_list(m, "CLOSE_REASONS", CLOSE_REASONS);
  add_list(m, "REJECT_REASONS", REJECT_REASONS);
  add_corpus_module(m);
}

PyObject* cached_module = nullptr;
int64_t owner_interpreter = -1;

// Set when the interpreter that loaded the module is finalized. An embedding
// program may then start a new one, but the process-wide state here (the
// cached module, whose names finalization set to None, the type objects,
// NumPy's API table) belongs to the old one, and NumPy cannot be loaded
// twice in a process either: the new interpreter gets an ImportError.
bool loader_finalized = false;
void note_finalized() { loader_finalized = true; }

}  // namespace
}  // namespace zuldcore

PyMODINIT_FUNC PyInit_zuldcore(void) {
  using namespace zuldcore;
  const int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (loader_finalized) {
    PyErr_SetString(PyExc_ImportError,
                    "zuldcore cannot be loaded again in this process: the interpreter that first "
                    "loaded it has been finalized");
    return nullptr;
  }
  if (cached_module) {
    if (interp != owner_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "zuldcore can be imported in one interpreter per process only; it is already "
                      "loaded in another interpreter");
      return nullptr;
    }
    return guarded([] { return Owned::borrow(cached_module); });
  }
  if (!internal_failure_type()) return nullptr;
  return guarded([&] {
    install_interrupt_poll();
    Owned m = check(PyModule_Create(&MODULE_DEF));
    module_body(m.get());
    // The package version, from the build; a dunder, so not in __all__.
    check_rc(PyModule_AddStringConstant(m.get(), "__version__", ZULDCORE_VERSION));
    cached_module = Owned::borrow(m.get()).keep_for_process();
    owner_interpreter = interp;
    // Runs after the interpreter is gone and may call no Python API. Fails
    // only when the runtime's table of such functions is full.
    Py_AtExit(&note_finalized);
    return m;
  });
}
