// Stream arguments: tokens de-duplicated while they are read (most token
// lists hold few distinct str objects, each repeated many times), floats read
// without a detour through Python objects where the input allows it.
#include "lib/streams.hpp"

#include <cstring>
#include <limits>
#include <random>

#include "intern/hash.hpp"
#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/numpy.hpp"
#include "base/memory.hpp"

namespace zuldcore {

namespace {

uint64_t local_seed() {
  static const uint64_t seed = std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32);
  return seed;
}

// Distinct byte strings in order of first sight, with an index over them.
class Distinct {
 public:
  explicit Distinct(TokenColumn& col) : col_(col) {}

  uint32_t code_of(std::string_view s) {
    const uint64_t h = hash_bytes(s, local_seed());
    bool inserted = false;
    const auto next = static_cast<uint32_t>(col_.n_distinct());
    uint32_t code = index_.find_or_insert(s, h, next, Keys{&col_}, inserted);
    if (inserted) {
      col_.arena.append(s);
      col_.ends.push_back(col_.arena.size());
    }
    return code;
  }

 private:
  struct Keys {
    const TokenColumn* col;
    std::string_view key(uint32_t i) const { return col->distinct(i); }
    uint64_t hash(uint32_t i) const { return hash_bytes(col->distinct(i), local_seed()); }
  };
  TokenColumn& col_;
  IndexTable index_;
};

// Object identity -> code, for containers whose items are borrowed while no
// Python code runs. Bounded, so a list of all-distinct objects costs one
// failed probe per item and no unbounded memory.
class PointerCodes {
 public:
  int64_t find(const void* p) const {
    if (slots_.empty()) return -1;
    for (size_t i = slot_of(p);; i = (i + 1) & mask_) {
      if (slots_[i].key == p) return slots_[i].code;
      if (!slots_[i].key) return -1;
    }
  }
  void insert(const void* p, uint32_t code) {
    if (size_ >= MAX_ENTRIES) return;
    if ((size_ + 1) * 2 > slots_.size()) grow();
    size_t i = slot_of(p);
    while (slots_[i].key) i = (i + 1) & mask_;
    slots_[i] = {p, code};
    ++size_;
  }

 private:
  static constexpr size_t MAX_ENTRIES = size_t{1} << 16;
  struct Slot {
    const void* key;
    uint32_t code;
  };
  size_t slot_of(const void* p) const {
    return ((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9e3779b97f4a7c15ull >> 20) & mask_;
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 256 : old.size() * 2, Slot{nullptr, 0});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.key) continue;
      size_t i = slot_of(s.key);
      while (slots_[i].key) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

[[noreturn]] void not_a_str(const char* name, PyObject* item) {
  throw_arg_type_error(name, cat("expected a sequence of str, got an item of type '", type_name(item), "'"));
}

std::string_view utf8_of(PyObject* item) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(item, &n);
  if (!s) throw PyErrSet{};  // e.g. a lone surrogate: UnicodeEncodeError as Python raises it
  return {s, static_cast<size_t>(n)};
}

// A list, tuple or object array: items are borrowed (`at(i)` gives item i),
// and nothing below runs Python code, so the container cannot change while
// it is read.
template <class At>
void read_borrowed(At at, size_t n, const char* name, TokenColumn& col) {
  Distinct distinct(col);
  PointerCodes by_identity;
  // The identity cache pays when equal tokens are shared objects; when
  // repeated tokens arrive as objects of their own (strings read from a
  // file) its misses only cost, so after a trial where repeats mostly missed
  // it, it is dropped.
  constexpr size_t TRIAL = 4096;
  bool use_identity = true;
  size_t identity_hits = 0, repeats_missed = 0;
  reserve_large(col.codes, n);
  col.codes.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (i == TRIAL && repeats_missed > identity_hits) use_identity = false;
    PyObject* item = at(i);
    if (PyUnicode_CheckExact(item)) {
      if (use_identity) {
        const int64_t known = by_identity.find(item);
        if (known >= 0) {
          col.codes[i] = static_cast<uint32_t>(known);
          ++identity_hits;
          continue;
        }
      }
      const size_t seen = col.n_distinct();
      const uint32_t code = distinct.code_of(utf8_of(item));
      if (use_identity) {
        by_identity.insert(item, code);
        repeats_missed += col.n_distinct() == seen;
      }
      col.codes[i] = code;
    } else if (PyUnicode_Check(item)) {
      col.codes[i] = distinct.code_of(utf8_of(item));
    } else {
      not_a_str(name, item);
    }
  }
}

void read_object_array(PyArrayObject* arr, const char* name, TokenColumn& col) {
  const char* base = PyArray_BYTES(arr);
  const npy_intp stride = PyArray_STRIDE(arr, 0);
  read_borrowed(
      [base, stride](size_t i) {
        PyObject* item;
        std::memcpy(&item, base + static_cast<npy_intp>(i) * stride, sizeof item);  // maybe unaligned
        return item ? item : Py_None;  // NumPy reads an unset slot as None
      },
      static_cast<size_t>(PyArray_DIM(arr, 0)), name, col);
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A one-dimensional NumPy str array, read from its buffer: items are
// de-duplicated on their raw UCS4 form (trailing NULs stripped, as NumPy
// does), and only distinct items are converted to UTF-8. An item beyond
// U+10FFFF is refused by position. Returns false, having read nothing, when
// an item holds a surrogate, which a str holds but UTF-8 cannot encode; the
// generic path then raises what Python raises.
bool read_ucs4_array(PyArrayObject* arr, const char* name, TokenColumn& col) {
  const npy_intp n = PyArray_DIM(arr, 0);
  const npy_intp stride = PyArray_STRIDE(arr, 0);
  const size_t width = static_cast<size_t>(PyArray_ITEMSIZE(arr)) / 4;
  const char* base = PyArray_BYTES(arr);

  TokenColumn raw;
  Distinct distinct(raw);
  reserve_large(raw.codes, static_cast<size_t>(n));
  raw.codes.resize(static_cast<size_t>(n));
  std::vector<uint32_t> chars(width);
  for (npy_intp i = 0; i < n; ++i) {
    std::memcpy(chars.data(), base + i * stride, width * 4);  // items may be unaligned
    size_t len = width;
    while (len > 0 && chars[len - 1] == 0) --len;
    raw.codes[i] = distinct.code_of(
        std::string_view(reinterpret_cast<const char*>(chars.data()), len * 4));
  }

  col.codes = std::move(raw.codes);
  for (size_t d = 0; d < raw.n_distinct(); ++d) {
    std::string_view bytes = raw.distinct(d);
    bool surrogate = false;
    for (size_t k = 0; k < bytes.size(); k += 4) {
      uint32_t cp;
      std::memcpy(&cp, bytes.data() + k, 4);
      if (cp > 0x10FFFF) {
        // Distinct strings are numbered in order of first sight, so this is
        // the first position that holds a bad item.
        size_t first = 0;
        while (col.codes[first] != d) ++first;
        throw_invalid_code_point(name, first, cp);
      }
      surrogate |= cp >= 0xD800 && cp <= 0xDFFF;
      append_utf8(col.arena, cp);
    }
    if (surrogate) return false;
    col.ends.push_back(col.arena.size());
  }
  return true;
}

bool is_plain_ucs4_vector(PyArrayObject* arr) {
  return PyArray_TYPE(arr) == NPY_UNICODE && PyArray_ISNOTSWAPPED(arr);
}

}  // namespace

TokenColumn convert_tokens(PyObject* obj, const char* name) {
  TokenColumn col;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    PyObject* const* items = PySequence_Fast_ITEMS(obj);
    read_borrowed([items](size_t i) { return items[i]; }, static_cast<size_t>(Py_SIZE(obj)), name, col);
    return col;
  }
  SeqSource src(obj, name);
  src.refuse_masked();
  if (PyObject* vector = src.array()) {
    auto* arr = reinterpret_cast<PyArrayObject*>(vector);
    if (PyArray_TYPE(arr) == NPY_OBJECT) {
      read_object_array(arr, name, col);
      return col;
    }
    if (is_plain_ucs4_vector(arr) && read_ucs4_array(arr, name, col)) return col;
    col = TokenColumn{};
  }
  // Any other sequence: each item is fetched (Python code may run) and copied
  // before the next is asked for.
  Distinct distinct(col);
  if (src.exact()) col.codes.reserve(static_cast<size_t>(src.size()));
  for (Py_ssize_t i = 0; i < src.size(); ++i) {
    Owned item = src.item(i);
    if (!PyUnicode_Check(item.get())) not_a_str(name, item.get());
    col.codes.push_back(distinct.code_of(utf8_of(item.get())));
  }
  return col;
}

namespace {
bool is_real_numeric(PyArrayObject* arr) {
  switch (PyArray_DESCR(arr)->kind) {
    case 'b': case 'i': case 'u': case 'f': return true;
    default: return false;
  }
}
}  // namespace

std::vector<double> convert_floats(PyObject* obj, const char* name, Masked masked) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool is_list = PyList_CheckExact(obj);
    const Py_ssize_t n = Py_SIZE(obj);
    std::vector<double> out;
    reserve_large(out, static_cast<size_t>(n));
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
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
  SeqSource src(obj, name);
  if (masked == Masked::Refused) src.refuse_masked();
  constexpr double NO_VALUE = std::numeric_limits<double>::quiet_NaN();
  PyObject* vector = src.array();
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
  for (Py_ssize_t i = 0; i < src.size(); ++i) {
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

std::vector<TokenId> intern_distinct(const TokenColumn& column) {
  std::vector<std::string_view> distinct(column.n_distinct());
  for (size_t d = 0; d < distinct.size(); ++d) distinct[d] = column.distinct(d);
  std::vector<TokenId> ids(distinct.size());
  intern_stream_into(distinct, ids);
  return ids;
}

std::vector<TokenId> intern_column(TokenColumn&& column) {
  std::vector<TokenId> ids = intern_distinct(column);
  std::vector<TokenId> out = std::move(column.codes);
  for (TokenId& code : out) code = ids[code];
  return out;
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
