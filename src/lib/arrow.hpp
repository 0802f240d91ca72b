// Arguments that export Arrow data through the PyCapsule interface
// (__arrow_c_stream__ or __arrow_c_array__): which objects are read that
// way, and their structs taken out of the capsules, chunk by chunk. Reading
// the values is the cores' part (base/arrow.hpp, intern/arrow_tokens.hpp).
#pragma once

#include <optional>

#include "base/arrow.hpp"
#include "lib/py.hpp"

namespace zuldcore {

// An argument's Arrow export: its schema, then its chunks in order. Every
// struct taken out of a capsule is released on every path, errors included.
class ArrowChunks {
 public:
  // The export of `obj`, or nothing when `obj` is not read as Arrow: it
  // exports neither method, or it is NumPy memory (it has __array__ and a
  // NumPy dtype, as a pandas Series of NumPy dtype does), or its export
  // raised ImportError (a producer that needs a library that is not
  // installed) while __array__ can read it instead. A TypeError from the
  // export becomes "argument '{name}': ..." (the original as its cause);
  // other exceptions (an ImportError when there is no __array__) pass
  // through as they were raised; an export that returns anything but the
  // capsules the interface names is a TypeError.
  static std::optional<ArrowChunks> open(PyObject* obj, const char* name);

  const ArrowSchema& schema() const noexcept { return *schema_; }
  // The next chunk into `out` (which is released first); false after the
  // last. A failing stream is ValueError "{name}: the Arrow stream failed: ...".
  bool next(ArrowOwned<ArrowArray>& out);

 private:
  explicit ArrowChunks(const char* name) : name_(name) {}

  const char* name_;
  ArrowOwned<ArrowSchema> schema_;
  ArrowOwned<ArrowArrayStream> stream_;  // a stream export
  ArrowOwned<ArrowArray> array_;         // an array export, handed out once
};

}  // namespace zuldcore
