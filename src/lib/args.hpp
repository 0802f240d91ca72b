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

}  // namespace zuldcore
