// Stream arguments read from Python: str items handed by identity and bytes
// to the column de-duplication (intern/column.hpp), NumPy and Arrow buffers
// handed whole, floats read without a detour through Python objects where
// the input allows it. Every loop over items ticks an InterruptCheck: these
// loops hold the interpreter lock, and Ctrl-C must not wait for 20 million
// items to be read.
#include "lib/streams.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/interrupt.hpp"
#include "intern/arrow_tokens.hpp"
#include "lib/args.hpp"
#include "lib/arrow.hpp"
#include "lib/guard.hpp"
#include "lib/numpy.hpp"
#include "base/memory.hpp"

namespace zuldcore {

namespace {

[[noreturn]] void not_a_str(const char* name, PyObject* item) {
  throw_arg_type_error(name, cat("expected a sequence of str, got an item of type '", type_name(item), "'"));
}

std::string_view utf8_of(PyObject* item) {
  // A str of ASCII characters holds its UTF-8 bytes itself.
  if (PyUnicode_IS_COMPACT_ASCII(item))
    return {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<size_t>(PyUnicode_GET_LENGTH(item))};
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(item, &n);
  if (!s) throw PyErrSet{};  // e.g. a lone surrogate: UnicodeEncodeError as Python raises it
  return {s, static_cast<size_t>(n)};
}

// Where the items of a list, tuple or object array are now, and how many.
// Items are borrowed. Python code can run only where the interrupt check
// polls (a signal handler), and may change the container there: readers take
// a fresh view after each poll, and a container that changed size is an
// IndexError, as when a __float__ shrinks a list of times.
struct ItemView {
  const char* base;
  npy_intp stride;
  size_t n;
  const char* what;  // "list", "tuple" or "array", for the error

  PyObject* at(size_t i) const noexcept {
    PyObject* item;
    std::memcpy(&item, base + static_cast<npy_intp>(i) * stride, sizeof item);  // maybe unaligned
    return item ? item : Py_None;  // NumPy reads an unset slot as None
  }
};

ItemView view_of_sequence(PyObject* obj) {
  return {reinterpret_cast<const char*>(PySequence_Fast_ITEMS(obj)), static_cast<npy_intp>(sizeof(PyObject*)),
          static_cast<size_t>(Py_SIZE(obj)), PyList_Check(obj) ? "list" : "tuple"};
}

ItemView view_of_array(PyArrayObject* arr) {
  return {PyArray_BYTES(arr), PyArray_STRIDE(arr, 0), static_cast<size_t>(PyArray_DIM(arr, 0)), "array"};
}

// Items are read in runs between polls.
constexpr size_t POLL_EVERY = 4096;

// After a poll: the container as it is now, which must hold as many items.
template <class View>
ItemView view_after_poll(View& view, size_t n) {
  check_interrupt();
  const ItemView now = view();
  if (now.n != n) {
    PyErr_Format(PyExc_IndexError, "%s changed size during conversion", now.what);
    throw PyErrSet{};
  }
  return now;
}

// The items of `view()` (see ItemView) as a token column.
template <class View>
void read_borrowed(View view, const char* name, TokenColumn& col) {
  ItemView items = view();
  const size_t n = items.n;
  SharedItemCodes codes(col, n);
  reserve_large(col.codes, n);
  col.codes.resize(n);
  // Items are looked up some places ahead of where their slots (of the
  // identity cache, then of the distinct strings) are asked for, so that the
  // waits for memory of neighbouring items overlap. Once identities no
  // longer pay, items go in blocks: every item's bytes and hash first
  // (fetching the next block's objects), then the look-ups in order, so
  // codes still number the strings in order of first sight.
  constexpr size_t AHEAD = 8, BLOCK = 16;
  std::array<std::string_view, BLOCK> bytes;
  std::array<uint64_t, BLOCK> hashes;
  DistinctStrings& distinct = codes.distinct();
  for (size_t i = 0, end = 0; i < n; i = end) {
    if (i > 0) items = view_after_poll(view, n);
    end = std::min(n, i + POLL_EVERY);
    for (; i < end && codes.by_identity(); ++i) {
      if (i + AHEAD < n) codes.prefetch(items.at(i + AHEAD));
      PyObject* item = items.at(i);
      if (PyUnicode_CheckExact(item))
        col.codes[i] = codes.code_of(item, [item] { return utf8_of(item); });
      else if (PyUnicode_Check(item))
        col.codes[i] = codes.code_of(utf8_of(item));
      else
        not_a_str(name, item);
    }
    for (; i < end; i += BLOCK) {
      const size_t m = std::min(BLOCK, end - i);
      for (size_t j = 0; j < m; ++j) {
        if (i + BLOCK + j < n) __builtin_prefetch(items.at(i + BLOCK + j));
        PyObject* item = items.at(i + j);
        if (!PyUnicode_Check(item)) not_a_str(name, item);
        bytes[j] = utf8_of(item);
        hashes[j] = distinct.hash(bytes[j]);
        distinct.prefetch(hashes[j]);
      }
      for (size_t j = 0; j < m; ++j) col.codes[i + j] = distinct.code_of(bytes[j], hashes[j]);
    }
  }
}

// A one-dimensional NumPy str array, read from its buffer (see
// read_ucs4_column). An item beyond U+10FFFF is refused by position. Returns
// false, having read nothing, when an item holds a surrogate, which a str
// holds but UTF-8 cannot encode; the generic path then raises what Python raises.
bool read_ucs4_array(PyArrayObject* arr, const char* name, TokenColumn& col) {
  const Ucs4Decoded got = read_ucs4_column(
      PyArray_BYTES(arr), static_cast<size_t>(PyArray_DIM(arr, 0)), PyArray_STRIDE(arr, 0),
      static_cast<size_t>(PyArray_ITEMSIZE(arr)) / 4, col);
  if (got.outcome == Ucs4Decoded::BadCodePoint) throw_invalid_code_point(name, got.position, got.code_point);
  return got.outcome == Ucs4Decoded::Ok;
}

bool is_plain_ucs4_vector(PyArrayObject* arr) {
  return PyArray_TYPE(arr) == NPY_UNICODE && PyArray_ISNOTSWAPPED(arr);
}

}  // namespace

TokenColumn convert_tokens(PyObject* obj, const char* name) {
  TokenColumn col;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    read_borrowed([obj] { return view_of_sequence(obj); }, name, col);
    return col;
  }
  if (std::optional<ArrowChunks> chunks = ArrowChunks::open(obj, name)) return arrow_tokens(*chunks, name);
  SeqSource src(obj, name);
  src.refuse_masked();
  if (PyObject* vector = src.array()) {
    auto* arr = reinterpret_cast<PyArrayObject*>(vector);
    if (PyArray_TYPE(arr) == NPY_OBJECT) {
      read_borrowed([arr] { return view_of_array(arr); }, name, col);
      return col;
    }
    if (is_plain_ucs4_vector(arr) && read_ucs4_array(arr, name, col)) return col;
    col = TokenColumn{};
  }
  // Any other sequence: each item is fetched (Python code may run) and copied
  // before the next is asked for.
  DistinctStrings distinct(col);
  if (src.exact()) col.codes.reserve(static_cast<size_t>(src.size()));
  InterruptCheck interrupt;
  for (Py_ssize_t i = 0; i < src.size(); ++i) {
    interrupt.tick();
    Owned item = src.item(i);
    if (!PyUnicode_Check(item.get())) not_a_str(name, item.get());
    col.codes.push_back(distinct.code_of(utf8_of(item.get())));
  }
  return col;
}

TokenColumn arrow_tokens(ArrowChunks& chunks, const char* name) {
  TokenColumn col;
  ArrowTokenReader reader(chunks.schema(), name, col);
  ArrowOwned<ArrowArray> chunk;
  while (chunks.next(chunk)) reader.append(*chunk);
  reader.finish();
  return col;
}

namespace {
bool is_real_numeric(PyArrayObject* arr) {
  switch (PyArray_DESCR(arr)->kind) {
    case 'b': case 'i': case 'u': case 'f': return true;
    default: return false;
  }
}

// Dates and durations (datetime64, timedelta64): no number until the caller picks a unit.
bool is_time_kind(PyArrayObject* arr) {
  const char kind = PyArray_DESCR(arr)->kind;
  return kind == 'M' || kind == 'm';
}
}  // namespace

std::vector<double> convert_floats(PyObject* obj, const char* name, Masked masked) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool is_list = PyList_CheckExact(obj);
    const Py_ssize_t n = Py_SIZE(obj);
    std::vector<double> out;
    reserve_large(out, static_cast<size_t>(n));
    out.resize(static_cast<size_t>(n));
    InterruptCheck interrupt;
    // Exact floats are read straight from the objects, fetched a little
    // ahead: the loop runs at the speed of memory. The first item of any
    // other type sends the rest to the loop below.
    size_t at = 0;
    {
      auto view = [obj] { return view_of_sequence(obj); };
      ItemView items = view();
      constexpr size_t AHEAD = 16;
      for (size_t end = 0; at < items.n && at == end;) {
        if (at > 0) items = view_after_poll(view, items.n);
        end = std::min(items.n, at + POLL_EVERY);
        for (; at < end; ++at) {
          if (at + AHEAD < items.n) __builtin_prefetch(items.at(at + AHEAD));
          PyObject* item = items.at(at);
          if (!PyFloat_CheckExact(item)) break;
          out[at] = PyFloat_AS_DOUBLE(item);
        }
      }
    }
    for (Py_ssize_t i = static_cast<Py_ssize_t>(at); i < n; ++i) {
      interrupt.tick();
      // A __float__ below may shrink the list: re-read the live size.
      if (is_list && i >= PyList_GET_SIZE(obj)) {
        PyErr_SetString(PyExc_IndexError, "list changed size during conversion");
        throw PyErrSet{};
      }
      PyObject* item = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
      if (PyFloat_CheckExact(item)) {
        out[i] = PyFloat_AS_DOUBLE(item);
      } else {
        Owned hold = Owned::borrow(item);  // the list may drop it while __float__ runs
        out[i] = arg_f64(hold.get(), name);
      }
    }
    return out;
  }
  if (std::optional<ArrowChunks> chunks = ArrowChunks::open(obj, name)) {
    ArrowNumberReader reader(chunks->schema(), name, masked == Masked::AsNaN);
    std::vector<double> out;
    ArrowOwned<ArrowArray> chunk;
    while (chunks->next(chunk)) reader.append(*chunk, out);
    return out;
  }
  SeqSource src(obj, name);
  if (masked == Masked::Refused) src.refuse_masked();
  constexpr double NO_VALUE = std::numeric_limits<double>::quiet_NaN();
  PyObject* vector = src.array();
  if (vector && is_time_kind(reinterpret_cast<PyArrayObject*>(vector))) {
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(vector));
    Owned dtype = check(PyObject_Str(reinterpret_cast<PyObject*>(descr)));  // "datetime64[ns]"
    throw_time_column(name, cat("a NumPy ", arg_str(dtype.get(), name), " array"));
  }
  if (vector && is_real_numeric(reinterpret_cast<PyArrayObject*>(vector))) {
    // Casting gives exactly what float() gives for each item.
    Owned cast = check(PyArray_FromAny(vector, PyArray_DescrFromType(NPY_FLOAT64), 1, 1,
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST,
                                       nullptr));
    auto* arr = reinterpret_cast<PyArrayObject*>(cast.get());
    const auto* data = static_cast<const double*>(PyArray_DATA(arr));
    std::vector<double> out;
    reserve_large(out, static_cast<size_t>(PyArray_DIM(arr, 0)));
    out.assign(data, data + PyArray_DIM(arr, 0));
    for (size_t i = 0; i < out.size(); ++i)
      if (src.masked(static_cast<Py_ssize_t>(i))) out[i] = NO_VALUE;
    return out;
  }
  std::vector<double> out;
  if (src.exact()) out.reserve(static_cast<size_t>(src.size()));
  InterruptCheck interrupt;
  for (Py_ssize_t i = 0; i < src.size(); ++i) {
    interrupt.tick();
    if (src.masked(i)) {
      out.push_back(NO_VALUE);
      continue;
    }
    Owned item = src.item(i);
    out.push_back(arg_f64(item.get(), name));
  }
  return out;
}

std::optional<std::vector<double>> convert_opt_values(PyObject* obj) {
  if (!obj || obj == Py_None) return std::nullopt;
  return convert_floats(obj, "values", Masked::AsNaN);
}

Stream checked_and_interned(TokenColumn&& tokens, std::vector<double>&& times,
                            std::optional<std::vector<double>>&& values, std::string_view tokens_name) {
  value_or_raise(check_stream_lens(tokens.size(), tokens_name, times.size(), values.has_value(),
                                   values ? values->size() : 0));
  Stream s;
  s.tokens = intern_column(std::move(tokens));
  s.times = std::move(times);
  if (values) {
    s.values = std::move(*values);
    s.has_values = true;
  }
  return s;
}

}  // namespace zuldcore
