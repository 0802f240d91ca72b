// Argument binding in CPython's wording, and the typed converters.
#include "lib/args.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "lib/numpy.hpp"

namespace zuldcore {

namespace {

// The declaration's two products, checked when compiling.
constexpr auto EXAMPLE = method("f", req("a"), opt("b", "None"), opt("c", "..."));
static_assert(std::string_view(doc<EXAMPLE>()) == "f($self, a, b=None, c=...)\n--\n\n");
constexpr auto EXAMPLE_FUNCTION = function("g", req("x")).with_doc("Body.");
static_assert(std::string_view(doc<EXAMPLE_FUNCTION>()) == "g(x)\n--\n\nBody.");
static_assert(Slot<EXAMPLE>("c").index == 2);

// Raised as a Python exception at once (not as a C++ TypeError) so that
// callers trying one argument form after another can test and clear it.
[[noreturn]] void throw_type(const std::string& text) {
  Owned message = check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PyErrSet{};
}

[[noreturn]] void too_many_positional(const char* fname, size_t n_params, size_t n_required,
                                      Py_ssize_t nargs) {
  if (n_params == 0) throw_type(cat(fname, "() takes no positional arguments"));
  throw_type(cat(fname, "() takes ", n_required == n_params ? "exactly" : "at most", " ", n_params,
                 " positional argument", n_params == 1 ? "" : "s", " (", nargs, " given)"));
}

size_t count_required(const Param* params, size_t n) {
  size_t r = 0;
  for (size_t i = 0; i < n; ++i) r += params[i].required();
  return r;
}

// Sorts keyword `key` (a str) into its slot.
void bind_keyword(const char* fname, const Param* params, size_t n, PyObject* key, PyObject* value,
                  PyObject** out) {
  for (size_t i = 0; i < n; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params[i].name) != 0) continue;
    if (out[i])
      throw_type(cat("argument for ", fname, "() given by name ('", params[i].name,
                     "') and position (", i + 1, ")"));
    out[i] = value;
    return;
  }
  Owned text = check(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", fname, key));
  PyErr_SetObject(PyExc_TypeError, text.get());
  throw PyErrSet{};
}

void check_required(const char* fname, const Param* params, size_t n, PyObject** out) {
  for (size_t i = 0; i < n; ++i)
    if (params[i].required() && !out[i])
      throw_type(cat(fname, "() missing required argument '", params[i].name, "' (pos ", i + 1, ")"));
}

}  // namespace

void bind_into(const char* fname, const Param* params, size_t n, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (static_cast<size_t>(nargs) > n) too_many_positional(fname, n, count_required(params, n), nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      bind_keyword(fname, params, n, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
  }
  check_required(fname, params, n, out);
}

void bind_tuple_into(const char* fname, const Param* params, size_t n, PyObject* args,
                     PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<size_t>(nargs) > n) too_many_positional(fname, n, count_required(params, n), nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) throw_type(cat(fname, "() keywords must be strings"));
      bind_keyword(fname, params, n, key, value, out);
    }
  }
  check_required(fname, params, n, out);
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

void throw_arg_type_error(const char* name, std::string_view detail) {
  throw_type(cat("argument '", name, "': ", detail));
}

void rethrow_naming(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Owned t = Owned::steal(type), cause = Owned::steal(value), b = Owned::steal(tb);
  if (b) check_rc(PyException_SetTraceback(cause.get(), b.get()));
  Owned text = check(PyUnicode_FromFormat("argument '%s': %S", name, cause.get()));
  Owned err = check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  set_cause(err.get(), std::move(cause));
  PyErr_SetObject(PyExc_TypeError, err.get());
  throw PyErrSet{};
}

double arg_f64(PyObject* obj, const char* name) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) rethrow_naming(name);
  return v;
}

std::optional<double> arg_opt_f64(PyObject* obj, const char* name) {
  if (!obj || obj == Py_None) return std::nullopt;
  return arg_f64(obj, name);
}

double f64_or(PyObject* obj, const char* name, double fallback) {
  return obj ? arg_f64(obj, name) : fallback;
}

bool bool_or(PyObject* obj, const char* name, bool fallback) { return obj ? arg_bool(obj, name) : fallback; }

std::string str_or(PyObject* obj, const char* name, std::string_view fallback) {
  return std::string(obj ? arg_str(obj, name) : fallback);
}

std::optional<std::string> opt_str(PyObject* obj, const char* name) {
  if (!given(obj)) return std::nullopt;
  return std::string(arg_str(obj, name));
}

bool arg_bool(PyObject* obj, const char* name) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool_scalar(obj)) {
    int truth = PyObject_IsTrue(obj);
    check_rc(truth);
    return truth != 0;
  }
  throw_arg_type_error(name, cat("expected bool, got '", type_name(obj), "'"));
}

std::vector<std::string> opt_str_vec(PyObject* obj, const char* name) {
  if (!given(obj)) return {};
  return arg_str_vec(obj, name);
}

std::string_view arg_str(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) throw_arg_type_error(name, cat("expected str, got '", type_name(obj), "'"));
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!utf8) rethrow_naming(name);
  return {utf8, static_cast<size_t>(n)};
}

namespace {
// An integer through the index protocol (a float is refused, as int() of the
// builtins would not be).
Owned as_index(PyObject* obj, const char* name) {
  if (PyLong_Check(obj)) return Owned::borrow(obj);
  PyObject* r = PyNumber_Index(obj);
  if (!r) rethrow_naming(name);
  return Owned::steal(r);
}

[[noreturn]] void out_of_range(const char* name, const char* what) {
  PyErr_Clear();
  PyErr_SetString(PyExc_OverflowError, cat("argument '", name, "': out of range for ", what).c_str());
  throw PyErrSet{};
}
}  // namespace

uint64_t arg_u64(PyObject* obj, const char* name) {
  Owned i = as_index(obj, name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) out_of_range(name, "an unsigned 64-bit integer");
    throw PyErrSet{};
  }
  return v;
}

uint32_t arg_u32(PyObject* obj, const char* name) {
  Owned i = as_index(obj, name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) out_of_range(name, "an unsigned 32-bit integer");
    throw PyErrSet{};
  }
  if (v > std::numeric_limits<uint32_t>::max()) out_of_range(name, "an unsigned 32-bit integer");
  return static_cast<uint32_t>(v);
}

int64_t arg_i64(PyObject* obj, const char* name) {
  Owned i = as_index(obj, name);
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) out_of_range(name, "a signed 64-bit integer");
    throw PyErrSet{};
  }
  return v;
}

int32_t arg_i32(PyObject* obj, const char* name) {
  Owned i = as_index(obj, name);
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) out_of_range(name, "a signed 32-bit integer");
    throw PyErrSet{};
  }
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    out_of_range(name, "a signed 32-bit integer");
  return static_cast<int32_t>(v);
}

bool is_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || PyDict_Check(obj))
    return false;
  return PySequence_Check(obj);
}

Py_ssize_t seq_len(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) throw_arg_type_error(name, "Can't extract `str` to `Vec`");
  if (!is_sequence(obj))
    throw_arg_type_error(name, cat("expected a sequence, got '", type_name(obj), "'"));
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) rethrow_naming(name);
  return n;
}

Owned seq_item(PyObject* obj, Py_ssize_t i) {
  if (PyList_CheckExact(obj)) {
    // The list may have shrunk under a callback; report that as an IndexError.
    if (i >= PyList_GET_SIZE(obj)) {
      PyErr_SetString(PyExc_IndexError, "list changed size during conversion");
      throw PyErrSet{};
    }
    return Owned::borrow(PyList_GET_ITEM(obj, i));
  }
  if (PyTuple_CheckExact(obj)) return Owned::borrow(PyTuple_GET_ITEM(obj, i));
  return check(PySequence_GetItem(obj, i));
}

namespace {

// Special methods are looked up on the type, as the interpreter does: an
// instance __getattr__ (a DataFrame's column access) is never consulted.
bool exports_array(PyObject* obj) {
  Owned attr = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__array__"));
  if (attr) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
  PyErr_Clear();
  return false;
}

}  // namespace

SeqSource::SeqSource(PyObject* obj, const char* name) : obj_(obj), name_(name) {
  n_ = seq_len(obj, name);
  exact_ = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  if (exact_ || !numpy_loaded()) return;  // no NumPy object can exist yet
  ensure_numpy();
  PyObject* arr = obj;
  if (!PyArray_Check(obj) && exports_array(obj)) {
    read_ = check(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    arr = read_.get();
  }
  if (!PyArray_Check(arr)) return;
  if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr)) == 1 && !PyArray_CheckExact(arr))
    open_masked(arr);
  auto* a = reinterpret_cast<PyArrayObject*>(get());
  if (a != reinterpret_cast<PyArrayObject*>(obj)) n_ = seq_len(get(), name);  // 0-d: the TypeError
  exact_ = true;
  vector_ = PyArray_NDIM(a) == 1;
  ucs4_ = vector_ && PyArray_TYPE(a) == NPY_UNICODE;
}

void SeqSource::open_masked(PyObject* arr) {
  // numpy.ma is loaded with numpy; a masked array cannot exist without it.
  Owned ma = Owned::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), "numpy.ma"));
  if (!ma || !PyModule_Check(ma.get())) return;
  Owned cls = check(PyObject_GetAttrString(ma.get(), "MaskedArray"));
  const int is_masked = PyObject_IsInstance(arr, cls.get());
  check_rc(is_masked);
  if (!is_masked) return;
  Owned data = check(PyObject_CallMethod(ma.get(), "getdata", "O", arr));
  Owned mask = check(PyObject_CallMethod(ma.get(), "getmaskarray", "O", arr));
  Owned flat = check(PyArray_FromAny(mask.get(), PyArray_DescrFromType(NPY_BOOL), 1, 1,
                                     NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
  auto* d = reinterpret_cast<PyArrayObject*>(data.get());
  auto* m = reinterpret_cast<PyArrayObject*>(flat.get());
  if (!PyArray_Check(data.get()) || PyArray_NDIM(d) != 1 || PyArray_DIM(d, 0) != PyArray_DIM(m, 0))
    throw_arg_type_error(name_, "a masked array whose data and mask differ in shape");
  const auto* bits = static_cast<const unsigned char*>(PyArray_DATA(m));
  const npy_intp n = PyArray_DIM(m, 0);
  read_ = std::move(data);
  for (npy_intp i = 0; i < n; ++i) {
    if (bits[i]) {
      mask_array_ = std::move(flat);
      mask_ = bits;
      break;
    }
  }
}

void SeqSource::refuse_masked() const {
  if (!mask_) return;
  for (Py_ssize_t i = 0; i < n_; ++i)
    if (mask_[i]) throw ValueError(cat(name_, "[", i, "] is masked"));
}

void throw_invalid_code_point(const char* name, size_t i, uint32_t cp) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", cp);
  throw ValueError(cat(name, "[", i, "] holds an invalid code point ", hex));
}

// NumPy would make a str of each character and fail with SystemError on a
// value beyond U+10FFFF; such an item is refused here, by position.
void SeqSource::check_code_points(Py_ssize_t i) const {
  auto* a = reinterpret_cast<PyArrayObject*>(get());
  const size_t width = static_cast<size_t>(PyArray_ITEMSIZE(a)) / 4;
  const char* item = PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0);
  const bool swapped = !PyArray_ISNOTSWAPPED(a);
  for (size_t k = 0; k < width; ++k) {
    uint32_t cp;
    std::memcpy(&cp, item + 4 * k, 4);  // items may be unaligned
    if (swapped) cp = __builtin_bswap32(cp);
    if (cp > 0x10FFFF) throw_invalid_code_point(name_, static_cast<size_t>(i), cp);
  }
}

Owned SeqSource::item(Py_ssize_t i) const {
  if (ucs4_) check_code_points(i);
  return seq_item(get(), i);
}

namespace {
// Masked positions read as `*masked_value`, or are refused when it is null.
template <class T, class F>
std::vector<T> read_seq(PyObject* obj, const char* name, F&& item, const T* masked_value = nullptr) {
  SeqSource src(obj, name);
  if (!masked_value) src.refuse_masked();
  std::vector<T> out;
  if (src.exact()) out.reserve(static_cast<size_t>(src.size()));
  for (Py_ssize_t i = 0; i < src.size(); ++i) {
    if (src.masked(i)) {
      out.push_back(*masked_value);
      continue;
    }
    Owned it = src.item(i);
    out.push_back(item(it.get()));
  }
  return out;
}
}  // namespace

std::vector<std::string> arg_str_vec(PyObject* obj, const char* name) {
  return read_seq<std::string>(obj, name, [&](PyObject* it) { return std::string(arg_str(it, name)); });
}

std::vector<std::vector<std::string>> arg_str_vec_vec(PyObject* obj, const char* name) {
  return read_seq<std::vector<std::string>>(obj, name,
                                            [&](PyObject* it) { return arg_str_vec(it, name); });
}

std::vector<double> arg_f64_vec(PyObject* obj, const char* name) {
  static constexpr double NO_VALUE = std::numeric_limits<double>::quiet_NaN();  // a masked entry
  return read_seq<double>(obj, name, [&](PyObject* it) { return arg_f64(it, name); }, &NO_VALUE);
}

std::vector<std::vector<double>> arg_f64_vec_vec(PyObject* obj, const char* name) {
  return read_seq<std::vector<double>>(obj, name, [&](PyObject* it) { return arg_f64_vec(it, name); });
}

std::vector<bool> arg_bool_vec(PyObject* obj, const char* name) {
  return read_seq<bool>(obj, name, [&](PyObject* it) { return arg_bool(it, name); });
}

std::vector<std::vector<bool>> arg_bool_vec_vec(PyObject* obj, const char* name) {
  return read_seq<std::vector<bool>>(obj, name, [&](PyObject* it) { return arg_bool_vec(it, name); });
}

std::vector<uint64_t> arg_u64_vec(PyObject* obj, const char* name) {
  return read_seq<uint64_t>(obj, name, [&](PyObject* it) { return arg_u64(it, name); });
}

}  // namespace zuldcore
