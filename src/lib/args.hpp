// One declaration per entry point's signature, read by the argument binder
// and turned into the docstring's text signature when compiling; the binder
// for METH_FASTCALL | METH_KEYWORDS entry points; and the typed converters
// whose TypeErrors name the argument ("argument 'x': ..."). Binding only sorts
// arguments into parameter slots, looked up by name; converting is separate
// so that each entry point converts in its own signature order:
//
//   constexpr auto SPAN = method("span", req("state"), opt("valid_only", "True")).with_doc("...");
//   auto a = bind<SPAN>(args, nargs, kwnames);
//   bool valid_only = bool_or(a["valid_only"], "valid_only", true);   // a["valid"] would not compile
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py.hpp"

namespace zuldcore {

// One parameter: its name and, for an optional one, its default as the text
// signature shows it ("None", "0.0", "..." for inf, which inspect cannot read).
struct Param {
  const char* name;
  const char* default_text;  // null when the parameter is required

  constexpr bool required() const noexcept { return default_text == nullptr; }
};

consteval Param req(const char* name) { return {name, nullptr}; }
consteval Param opt(const char* name, const char* default_text) { return {name, default_text}; }

// Called only in constant evaluation, where a call of a function that is not
// constexpr stops the build: the name is not a parameter of the signature.
void no_such_parameter_in_signature(const char* name);

// The one declaration of an entry point's parameters. The binder reads the
// names and what is required; the docstring's text signature ("name($self,
// a, b=None)\n--\n\n") is built from the same declaration (see doc<Sig>).
template <size_t N>
struct Signature {
  const char* name;             // the function's name, for CPython-worded arity errors
  bool is_method;               // "$self" opens the text signature
  std::array<Param, N> params;
  const char* body = "";        // the docstring after the text signature

  // The same declaration with a docstring body.
  consteval Signature with_doc(const char* text) const {
    Signature s = *this;
    s.body = text;
    return s;
  }

  consteval size_t slot(std::string_view param) const {
    for (size_t i = 0; i < N; ++i)
      if (param == params[i].name) return i;
    no_such_parameter_in_signature(param.data());
    return N;
  }
};

// A method's signature (the text signature has "$self"), and a function's: a
// module-level function, a static method or a class's constructor.
template <std::same_as<Param>... P>
consteval Signature<sizeof...(P)> method(const char* name, P... params) {
  return {name, true, {params...}};
}
template <std::same_as<Param>... P>
consteval Signature<sizeof...(P)> function(const char* name, P... params) {
  return {name, false, {params...}};
}

namespace detail {
// Writes the docstring of `sig` to `out`, or only counts it when `out` is null.
template <size_t N>
consteval size_t write_doc(const Signature<N>& sig, char* out) {
  size_t n = 0;
  auto put = [&](const char* s) {
    for (size_t i = 0; s[i] != '\0'; ++i, ++n)
      if (out) out[n] = s[i];
  };
  put(sig.name);
  put("(");
  if (sig.is_method) put(N ? "$self, " : "$self");
  for (size_t i = 0; i < N; ++i) {
    if (i) put(", ");
    put(sig.params[i].name);
    if (sig.params[i].default_text) {
      put("=");
      put(sig.params[i].default_text);
    }
  }
  put(")\n--\n\n");
  put(sig.body);
  return n;
}

template <const auto& Sig>
consteval auto make_doc() {
  std::array<char, write_doc(Sig, nullptr) + 1> text{};
  write_doc(Sig, text.data());
  return text;
}

template <const auto& Sig>
inline constexpr auto DOC = make_doc<Sig>();
}  // namespace detail

// The docstring of `Sig`, made when compiling: the text signature, then the body.
template <const auto& Sig>
constexpr const char* doc() {
  return detail::DOC<Sig>.data();
}

// A parameter of `Sig` named by a string literal; a name that is not one of
// its parameters does not compile.
template <const auto& Sig>
struct Slot {
  size_t index;
  consteval Slot(const char* name) : index(Sig.slot(name)) {}
};

// The arguments of one call sorted into the parameters of `Sig`: a["name"] is
// the borrowed argument, or null when it was not given. The references live
// as long as the call's argument vector.
template <const auto& Sig>
class Args {
 public:
  // Read through the element pointer, not the array: the optimiser may fold
  // the instantiations of two signatures that share slot positions, and an
  // access typed as the array of one would then look out of bounds in the other.
  PyObject* operator[](Slot<Sig> s) const noexcept { return slots_.data()[s.index]; }
  PyObject** slots() noexcept { return slots_.data(); }

 private:
  std::array<PyObject*, Sig.params.size()> slots_{};
};

void bind_into(const char* fname, const Param* params, size_t n, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <const auto& Sig>
Args<Sig> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<Sig> out;
  bind_into(Sig.name, Sig.params.data(), Sig.params.size(), args, nargs, kwnames, out.slots());
  return out;
}

// The same for tp_new / tp_init style (args tuple, kwargs dict or null).
void bind_tuple_into(const char* fname, const Param* params, size_t n, PyObject* args,
                     PyObject* kwargs, PyObject** out);

template <const auto& Sig>
Args<Sig> bind(PyObject* args, PyObject* kwargs) {
  Args<Sig> out;
  bind_tuple_into(Sig.name, Sig.params.data(), Sig.params.size(), args, kwargs, out.slots());
  return out;
}

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table entry of a METH_FASTCALL | METH_KEYWORDS entry point:
// name and docstring from `Sig`; `flags` adds METH_STATIC and the like.
template <const auto& Sig>
PyMethodDef fastcall_def(FastcallFunction fn, int flags = 0) {
  return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),
          METH_FASTCALL | METH_KEYWORDS | flags, doc<Sig>()};
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

// Optional parameters. An absent one (null) takes the fallback; given() and
// the opt_ forms also take None as absent, for parameters whose default is None.
inline bool given(PyObject* obj) noexcept { return obj && obj != Py_None; }
double f64_or(PyObject* obj, const char* name, double fallback);
bool bool_or(PyObject* obj, const char* name, bool fallback);
std::string str_or(PyObject* obj, const char* name, std::string_view fallback);
std::optional<std::string> opt_str(PyObject* obj, const char* name);
std::vector<std::string> opt_str_vec(PyObject* obj, const char* name);  // empty when not given

// `convert(obj, name)` when the parameter is given and not None.
template <class Convert>
auto opt_arg(PyObject* obj, const char* name, Convert convert)
    -> std::optional<decltype(convert(obj, name))> {
  if (!given(obj)) return std::nullopt;
  return convert(obj, name);
}

// Runs one conversion attempt of a "this form, else that form" rule. A
// TypeError means "not this form": it is cleared and the result is empty.
// Any other exception (a callback's own error, a borrow error) ends the call.
template <class F>
auto try_form(F&& convert) -> std::optional<decltype(convert())> {
  try {
    return convert();
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    PyErr_Clear();
    return std::nullopt;
  }
}

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
