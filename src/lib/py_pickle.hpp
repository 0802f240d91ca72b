// Copying and pickling by value. Each class's __reduce__ gives a loader in
// zuldcore._internal and a state of plain Python data (token strings, never
// this process's token ids); copy and deepcopy use the same pair.
#pragma once

#include "lib/py.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

inline constexpr const char REDUCE_DOC[] =
    "__reduce__($self, /)\n--\n\nThe object as plain data (token strings and builder calls), for "
    "pickle and copy.";

// The __reduce__ methods (METH_NOARGS) of Pattern, StateMachine, StateSpan,
// AnnotationSpec and Zuldor.
PyObject* py_pattern_reduce(PyObject* self, PyObject*) noexcept;
PyObject* py_machine_reduce(PyObject* self, PyObject*) noexcept;
PyObject* py_span_reduce(PyObject* self, PyObject*) noexcept;
PyObject* py_spec_reduce(PyObject* self, PyObject*) noexcept;
PyObject* py_zuldor_reduce(PyObject* self, PyObject*) noexcept;

// StateSpan's only methods: its __reduce__.
extern PyMethodDef STATE_SPAN_METHODS[];

// Adds the loaders that those states name to `module` (zuldcore._internal),
// and state_check_visits(), the count of objects their plain-data check has
// examined, for tests of its work. Throws PyErrSet on failure.
void add_pickle_loaders(PyObject* module);

// A copy of the pattern a Zuldor holds (`obj` must be a Zuldor).
Pattern zuldor_pattern(PyObject* obj);

}  // namespace zuldcore
