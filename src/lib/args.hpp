// One argument binder for METH_FASTCALL | METH_KEYWORDS entry points, and the
// typed converters whose TypeErrors name the argument ("argument 'x': ...").
// Binding only sorts arguments into parameter slots; converting is separate
// so that each entry point converts in its own signature order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py.hpp"

namespace zuldcore {

struct Param {
  const char* name;
  bool required;
};

template <size_t N>
struct Signature {
  const char* name;  // the function's name, for CPython-worded arity errors
  std::array<Param, N> params;
};

// Slot i holds the borrowed argument for parameter i, or null when it was
// not given. The references live as long as the call's argument vector.
template <size_t N>
using Bound = std::array<PyObject*, N>;

void bind_into(const char* fname, const Param* params, size_t n, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound<N> out{};
  bind_into(sig.name, sig.params.data(), N, args, nargs, kwnames, out.data());
  return out;
}

// The same for tp_new / tp_init style (args tuple, kwargs dict or null).
void bind_tuple_into(const char* fname, const Param* params, size_t n, PyObject* args,
                     PyObject* kwargs, PyObject** out);

template <size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  Bound<N> out{};
  bind_tuple_into(sig.name, sig.params.data(), N, args, kwargs, out.data());
  return out;
}

// Raises TypeError "argument '{name}': {detail}".
[[noreturn]] void throw_arg_type_error(const char* name, std::string_view detail);
// If the pending exception is a TypeError, replaces it with one whose text is
// prefixed "argument '{name}': " and whose __cause__ is the original; any
// other pending exception is left as it is. Always throws PyErrSet.
[[noreturn]] void rethrow_naming(const char* name);

// The name of an object's type, for messages.
std::string type_name(PyObject* obj);

double arg_f64(PyObject* obj, const char* name);  // float protocol; exact float read directly
bool arg_bool(PyObject* obj, const char* name);   // bool or NumPy bool scalar only
std::string_view arg_str(PyObject* obj, const char* name);  // view into obj's UTF-8 form
uint32_t arg_u32(PyObject* obj, const char* name);          // integer protocol; OverflowError
uint64_t arg_u64(PyObject* obj, const char* name);
int64_t arg_i64(PyObject* obj, const char* name);
int32_t arg_i32(PyObject* obj, const char* name);           // integer protocol; OverflowError
std::optional<double> arg_opt_f64(PyObject* obj, const char* name);  // None (or absent) -> empty

// Sequences (the sequence protocol; a bare str is refused with
// "Can't extract `str` to `Vec`").
std::vector<std::string> arg_str_vec(PyObject* obj, const char* name);
std::vector<std::vector<std::string>> arg_str_vec_vec(PyObject* obj, const char* name);
std::vector<double> arg_f64_vec(PyObject* obj, const char* name);
std::vector<std::vector<double>> arg_f64_vec_vec(PyObject* obj, const char* name);
std::vector<bool> arg_bool_vec(PyObject* obj, const char* name);
std::vector<std::vector<bool>> arg_bool_vec_vec(PyObject* obj, const char* name);
std::vector<uint64_t> arg_u64_vec(PyObject* obj, const char* name);

// The sequence protocol under the converters: a list or tuple, or any object
// with sq_item that is not a str, bytes or dict. Items are fetched one at a
// time by index, each a new reference, so callbacks that mutate the sequence
// cannot leave us holding a dangling pointer.
bool is_sequence(PyObject* obj);
Py_ssize_t seq_len(PyObject* obj, const char* name);
Owned seq_item(PyObject* obj, Py_ssize_t i);

// A sequence argument opened for reading its items by position:
//  - a bare str, bytes, dict or non-sequence is refused as by seq_len();
//  - an object that exports __array__ (a pandas or Polars Series or Index, a
//    NumPy-like array) is read through the NumPy array it gives, because its
//    own obj[i] may take i as a label (a pandas Series does);
//  - a one-dimensional numpy.ma array is read through its data, its mask kept
//    apart (masked(), refuse_masked());
//  - an item of a NumPy str array that holds a code point no str can hold is
//    refused by item() with ValueError "{name}[{i}] holds an invalid code point ...".
// The length that a sequence reports is not trusted to size a reservation:
// exact() says whether it counts storage that exists.
class SeqSource {
 public:
  SeqSource(PyObject* obj, const char* name);
  SeqSource(const SeqSource&) = delete;
  SeqSource& operator=(const SeqSource&) = delete;

  PyObject* get() const noexcept { return read_ ? read_.get() : obj_; }  // what items come from
  PyObject* array() const noexcept { return vector_ ? get() : nullptr; }  // get(), if a 1-D ndarray
  Py_ssize_t size() const noexcept { return n_; }
  bool exact() const noexcept { return exact_; }
  bool masked(Py_ssize_t i) const noexcept { return mask_ != nullptr && mask_[i] != 0; }
  // ValueError "{name}[{i}] is masked" for the first masked position, if any.
  void refuse_masked() const;
  Owned item(Py_ssize_t i) const;  // item i, a new reference

 private:
  void open_masked(PyObject* arr);
  void check_code_points(Py_ssize_t i) const;

  PyObject* obj_;                        // the argument, borrowed for the call
  const char* name_;
  Owned read_;                           // the array read instead of obj_, if any
  Owned mask_array_;                     // a C-contiguous bool array, when a position is masked
  const unsigned char* mask_ = nullptr;  // its data
  Py_ssize_t n_ = 0;
  bool exact_ = false;
  bool vector_ = false;                  // get() is a one-dimensional ndarray
  bool ucs4_ = false;                    // ... of NumPy str items
};

// ValueError "{name}[{i}] holds an invalid code point 0x{cp}".
[[noreturn]] void throw_invalid_code_point(const char* name, size_t i, uint32_t cp);

}  // namespace zuldcore
