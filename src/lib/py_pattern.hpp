// What the rest of the binding needs from the Python Pattern class: telling a
// Pattern object apart, and taking the deep copy that every holder keeps.
#pragma once

#include "lib/py.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

// True for an instance of zuldcore.Pattern.
bool is_pattern(PyObject* obj);

// A deep copy of the Pattern held by `obj` (which must satisfy is_pattern),
// taken under a shared borrow: BorrowError ("Already mutably borrowed") when
// a builder of that object is running, that is, from a callback it made.
Pattern pattern_copy(PyObject* obj);

}  // namespace zuldcore
