// What the rest of the binding needs from the annotation's Python faces: the
// spec list of a call and the dictionary of its columns.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "annotate/annotate.hpp"
#include "lib/py.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {

// A call's `specs` argument (any sequence of AnnotationSpec), each spec held
// by a reference and a shared borrow for the whole call: the list may be
// changed by a callback, or by another thread while the specs are evaluated
// without the interpreter lock. Anything but an AnnotationSpec is a
// TypeError naming specs, with the note "in specs[i]".
class CallSpecs {
 public:
  explicit CallSpecs(PyObject* arg);
  CallSpecs(const CallSpecs&) = delete;
  CallSpecs& operator=(const CallSpecs&) = delete;
  size_t size() const noexcept { return specs_.size(); }
  const AnnotationSpec& operator[](size_t i) const noexcept { return *specs_[i]; }

 private:
  std::vector<Owned> items_;
  std::deque<Shared<AnnotationSpec>> specs_;  // Shared cannot move: a deque keeps it in place
};

// Raises the failure of specs[i] as ValueError with its message and the note "in specs[i]".
[[noreturn]] void raise_spec_failure(size_t i, std::string message);

// The result of annotate_stream: column i under the name of specs[i]; a
// later spec of the same name replaces the column and keeps the key's first
// position, as dict assignment does.
Owned annotation_columns(const CallSpecs& specs, std::vector<Column>&& columns);

}  // namespace zuldcore
