// The Arrow PyCapsule interface: calling an argument's export and moving the
// structs out of the capsules it returns, so that the capsules' destructors
// find them released and we release each exactly once.
#include "lib/arrow.hpp"

#include <string>

#include "lib/args.hpp"
#include "lib/numpy.hpp"

namespace zuldcore {

namespace {

constexpr const char* STREAM_CAPSULE = "arrow_array_stream";
constexpr const char* SCHEMA_CAPSULE = "arrow_schema";
constexpr const char* ARRAY_CAPSULE = "arrow_array";

// Special methods are looked up on the type, as the interpreter does.
bool type_has(PyObject* obj, const char* method) {
  Owned attr = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), method));
  if (attr) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
  PyErr_Clear();
  return false;
}

// An object that exports __array__ and has a NumPy dtype holds NumPy memory
// (a pandas Series of NumPy dtype): __array__ reads it as it is, while its
// Arrow export would be a conversion (turning NaN into null, say).
bool is_numpy_memory(PyObject* obj) {
  if (!numpy_loaded() || !type_has(obj, "__array__")) return false;
  Owned dtype = Owned::steal(PyObject_GetAttrString(obj, "dtype"));
  if (!dtype) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    return false;
  }
  ensure_numpy();
  return PyArray_DescrCheck(dtype.get());
}

std::string describe(PyObject* o) {
  if (PyCapsule_CheckExact(o)) {
    const char* capsule = PyCapsule_GetName(o);
    return capsule ? cat("a capsule named '", capsule, "'") : std::string("a capsule without a name");
  }
  return cat("a '", type_name(o), "'");
}

// Moves the struct out of capsule `cap`, which must be named `capsule`.
template <class T>
ArrowOwned<T> take(PyObject* cap, const char* capsule, const char* method, const char* name) {
  if (!PyCapsule_IsValid(cap, capsule))
    throw_arg_type_error(name, cat(method, "() returned ", describe(cap), ", not an '", capsule, "' capsule"));
  auto* raw = static_cast<T*>(PyCapsule_GetPointer(cap, capsule));
  if (raw == nullptr) throw PyErrSet{};
  if (raw->release == nullptr) throw ValueError(cat(name, ": the Arrow data was already taken from its capsule"));
  return ArrowOwned<T>::take(raw);
}

[[noreturn]] void stream_failed(ArrowArrayStream& s, int rc, const char* name) {
  const char* text = s.get_last_error != nullptr ? s.get_last_error(&s) : nullptr;
  throw ValueError(cat(name, ": the Arrow stream failed: ", text != nullptr ? std::string(text) : cat("error ", rc)));
}

}  // namespace

std::optional<ArrowChunks> ArrowChunks::open(PyObject* obj, const char* name) {
  const bool stream = type_has(obj, "__arrow_c_stream__");
  if (!stream && !type_has(obj, "__arrow_c_array__")) return std::nullopt;
  if (is_numpy_memory(obj)) return std::nullopt;
  const char* method = stream ? "__arrow_c_stream__" : "__arrow_c_array__";
  Owned exported = Owned::steal(PyObject_CallMethod(obj, method, nullptr));
  if (!exported) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      HeldError import_error;
      bool readable = false;
      try {
        readable = type_has(obj, "__array__");
      } catch (const PyErrSet&) {
        PyErr_Clear();  // the producer's failure is the one to report
      }
      if (readable) return std::nullopt;
      import_error.raise_again();
    }
    rethrow_naming(name);
  }

  std::optional<ArrowChunks> out(ArrowChunks{name});
  if (stream) {
    out->stream_ = take<ArrowArrayStream>(exported.get(), STREAM_CAPSULE, method, name);
    ArrowArrayStream& s = *out->stream_.get();
    if (s.get_schema == nullptr || s.get_next == nullptr)
      throw ValueError(cat(name, ": the Arrow stream has no callbacks"));
    if (const int rc = s.get_schema(&s, out->schema_.get()); rc != 0) stream_failed(s, rc, name);
    if (out->schema_.released()) throw ValueError(cat(name, ": the Arrow stream gave no schema"));
    return out;
  }
  if (!PyTuple_Check(exported.get()) || PyTuple_GET_SIZE(exported.get()) != 2)
    throw_arg_type_error(name, cat(method, "() returned ", describe(exported.get()),
                                   ", not a tuple of an 'arrow_schema' and an 'arrow_array' capsule"));
  out->schema_ = take<ArrowSchema>(PyTuple_GET_ITEM(exported.get(), 0), SCHEMA_CAPSULE, method, name);
  out->array_ = take<ArrowArray>(PyTuple_GET_ITEM(exported.get(), 1), ARRAY_CAPSULE, method, name);
  return out;
}

bool ArrowChunks::next(ArrowOwned<ArrowArray>& out) {
  out.reset();
  if (!stream_.released()) {
    ArrowArrayStream& s = *stream_.get();
    if (const int rc = s.get_next(&s, out.get()); rc != 0) stream_failed(s, rc, name_);
    return !out.released();
  }
  if (array_.released()) return false;
  out = std::move(array_);
  return true;
}

}  // namespace zuldcore
