// What the rest of the binding needs from the state machines' Python faces.
#pragma once

#include <memory>
#include <vector>

#include "lib/py.hpp"
#include "state/machine.hpp"

namespace zuldcore {

bool is_state_machine(PyObject* obj);
// The validated snapshot of the machine held by `obj` (which must satisfy
// is_state_machine), under a shared borrow; a validation failure is raised
// as ValueError.
std::shared_ptr<const StateMachineDecl> machine_snapshot(PyObject* obj);

bool is_state_span(PyObject* obj);
// The reference held by a StateSpan object (its snapshot shared, not copied).
StateSpanRef state_span_ref(PyObject* obj);

// The ten columns of state_spans, in their order, handed to NumPy.
Owned state_spans_columns(StateColumns&& columns);

}  // namespace zuldcore
