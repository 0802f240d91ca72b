// Zuldor and PreprocessedStream: matching one frozen pattern against streams
// of strings, pre-interned streams and integer-coded batches.
#include <cmath>
#include <limits>

#include "engine/matcher.hpp"
#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/numpy.hpp"
#include "lib/py_pattern.hpp"
#include "lib/py_pickle.hpp"
#include "lib/results.hpp"
#include "lib/streams.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

PyTypeObject* zuldor = nullptr;
PyTypeObject* preprocessed = nullptr;

// A Zuldor holds its pattern compiled once, shared by every call (and every
// thread) that matches with it, and the scratch space of finished calls for
// the next ones to reuse. The pool is touched only with the interpreter lock
// held; a call takes a matcher out, runs it without the lock, and puts it
// back.
struct Compiled {
  std::shared_ptr<const CompiledPattern> pattern;
  std::unique_ptr<std::vector<std::unique_ptr<StreamMatcher>>> idle =
      std::make_unique<std::vector<std::unique_ptr<StreamMatcher>>>();
};

// The most matchers a Zuldor keeps between calls (about one per thread that
// uses it at once); more are made when needed and freed after use.
constexpr size_t IDLE_MATCHERS = 8;

// A matcher of the Zuldor's pool for one call, returned on destruction.
class PooledMatcher {
 public:
  PooledMatcher(const Compiled& owner, const MatchProgram& program) : idle_(*owner.idle) {
    if (idle_.empty()) {
      matcher_ = std::make_unique<StreamMatcher>(program);
    } else {
      matcher_ = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  ~PooledMatcher() {
    if (idle_.size() < IDLE_MATCHERS) idle_.push_back(std::move(matcher_));
  }
  PooledMatcher(const PooledMatcher&) = delete;
  PooledMatcher& operator=(const PooledMatcher&) = delete;
  StreamMatcher& operator*() const noexcept { return *matcher_; }

 private:
  std::vector<std::unique_ptr<StreamMatcher>>& idle_;
  std::unique_ptr<StreamMatcher> matcher_;
};

std::optional<CollectorStrategy> midstream_strategy(const Pattern& p) {
  if (!p.midstream) return std::nullopt;
  return p.midstream->collector;
}

// The program of a Zuldor's pattern; a pattern too large to match raises
// its message here, when matching is asked for.
const MatchProgram& program_of(const CompiledPattern& c) {
  if (c.program() == nullptr) throw ValueError(c.error());
  return *c.program();
}

// Runs the engine over one whole stream, without the interpreter lock, and
// builds the result dictionary.
Owned match_to_py(const Compiled& zuldor, const Stream& s, bool first_only, bool include_tokens) {
  const CompiledPattern& compiled = *zuldor.pattern;
  const MatchProgram& program = program_of(compiled);
  MatchBuffer buffer;
  {
    PooledMatcher matcher(zuldor, program);
    GilReleased unlocked(s.size() >= GilReleased::MIN_ITEMS);
    (*matcher).match(s.tokens, s.times,
                     s.has_values ? std::span<const double>(s.values) : std::span<const double>(),
                     first_only, include_tokens, buffer);
  }
  const Pattern& pattern = compiled.pattern();
  return buf_to_py(std::move(buffer), pattern.collector, midstream_strategy(pattern));
}

// ---- Zuldor -------------------------------------------------------------------------------

constexpr auto ZULDOR = function("Zuldor", req("pattern"));

PyObject* py_zuldor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    auto a = bind<ZULDOR>(args, kwargs);
    PyObject* pattern = a["pattern"];
    if (!is_pattern(pattern))
      throw_arg_type_error("pattern", cat("expected Pattern, got '", type_name(pattern), "'"));
    return wrap(type, Compiled{std::make_shared<const CompiledPattern>(pattern_copy(pattern))});
  });
}

constexpr auto MATCH_STREAM = method("match_stream", req("tokens"), req("times"), opt("values", "None"),
                                     opt("first_only", "False"), opt("include_tokens", "False")).with_doc(
    "Match a token stream.\n"
    "\n"
    "Returns a dict with these keys, in this order:\n"
    "\n"
    "- \"m_start\": int64 array (n_matches,), the first stream position of each match\n"
    "- \"m_end\": int64 array (n_matches,), the last stream position of each match\n"
    "- \"t_start\": float64 array (n_matches,), the time of each match's first event\n"
    "- \"t_end\": float64 array (n_matches,), the latest time in each match\n"
    "- \"el_stream_idx\": int64 array (n_matches, n_elements), the stream position of\n"
    "  each matched element (for an unordered pattern, in order of matching)\n"
    "- \"el_times\": float64 array (n_matches, n_elements), the time of each element\n"
    "- \"el_tokens\": list of n_matches rows of n_elements entries, only when\n"
    "  include_tokens=True: the matched token (str), or a list of str for a\n"
    "  same-timestamp sequence\n"
    "- \"result\": the pattern's collector per match (None, a float64 array or a list)\n"
    "- \"mid_result\": the midstream collector per match, or None without one\n"
    "\n"
    "include_tokens=False (the default) skips string resolution entirely; use it when\n"
    "only match positions and times are needed.");

PyObject* py_zuldor_match_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<MATCH_STREAM>(args, nargs, kwnames);
    Shared<Compiled> zuldor{self};
    TokenColumn tokens = convert_tokens(a["tokens"], "tokens");
    std::vector<double> times = convert_floats(a["times"], "times");
    auto values = convert_opt_values(a["values"]);
    bool first_only = bool_or(a["first_only"], "first_only", false);
    bool include_tokens = bool_or(a["include_tokens"], "include_tokens", false);
    Stream s = checked_and_interned(std::move(tokens), std::move(times), std::move(values), "tokens");
    return match_to_py(*zuldor, s, first_only, include_tokens);
  });
}

constexpr auto PREPROCESS = method("preprocess", req("tokens"), req("times"), opt("values", "None")).with_doc(
    "Pre-intern a token stream for repeated matching against multiple patterns.\n"
    "\n"
    "Amortises the string\u2192ID conversion cost across multiple match_preprocessed calls.");

PyObject* py_zuldor_preprocess(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<PREPROCESS>(args, nargs, kwnames);
    Shared<Compiled> zuldor{self};
    TokenColumn tokens = convert_tokens(a["tokens"], "tokens");
    std::vector<double> times = convert_floats(a["times"], "times");
    auto values = convert_opt_values(a["values"]);
    Stream s = checked_and_interned(std::move(tokens), std::move(times), std::move(values), "tokens");
    return wrap<Stream>(preprocessed_stream_type(), std::move(s));
  });
}

constexpr auto MATCH_PREPROCESSED = method("match_preprocessed", req("stream"), opt("first_only", "False"),
                                           opt("include_tokens", "False"));

PyObject* py_zuldor_match_preprocessed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<MATCH_PREPROCESSED>(args, nargs, kwnames);
    Shared<Compiled> zuldor{self};
    PyObject* stream_arg = a["stream"];
    if (!PyObject_TypeCheck(stream_arg, preprocessed_stream_type()))
      throw_arg_type_error("stream", cat("expected PreprocessedStream, got '", type_name(stream_arg), "'"));
    Shared<Stream> stream{stream_arg};
    bool first_only = bool_or(a["first_only"], "first_only", false);
    bool include_tokens = bool_or(a["include_tokens"], "include_tokens", false);
    return match_to_py(*zuldor, *stream, first_only, include_tokens);
  });
}

// ---- match_batch --------------------------------------------------------------------------

constexpr auto MATCH_BATCH =
    method("match_batch", req("token_ids"), req("times"), req("offsets"), opt("values", "None")).with_doc(
    "Batch match over many documents in a single call.\n"
    "\n"
    "Consumes pre-coded integer token ids: no per-token string interning. Obtain the\n"
    "coding with vocab_ids(tokens).\n"
    "\n"
    "Inputs (one-dimensional, contiguous NumPy arrays, read in place):\n"
    "\n"
    "- token_ids: uint32 (total,), token ids in this library's coding\n"
    "- times: float64 (total,), one time per token\n"
    "- offsets: int64 (n_docs + 1,), document k is positions offsets[k] up to but\n"
    "  not including offsets[k + 1]; empty, inverted or out-of-range documents are\n"
    "  skipped\n"
    "- values: float64 (total,) or None, NaN means no value\n"
    "\n"
    "Returns a dict with the first match of each document:\n"
    "\n"
    "- \"m_start\": int64 (n_docs,), first position of the match within its document,\n"
    "  -1 when there is none\n"
    "- \"m_end\": int64 (n_docs,), last position of the match within its document, -1\n"
    "  when there is none\n"
    "- \"mid\": float64 (n_docs,), only with a midstream collector: its count or sum,\n"
    "  or the number of items it collected, for the first match; NaN when there is\n"
    "  none\n"
    "\n"
    "One FFI crossing and no interner lock for the whole corpus.");

// A one-dimensional array of exactly `typenum` (native byte order), read in
// place; the contiguity check comes later, after every argument's type.
PyArrayObject* typed_vector(PyObject* obj, int typenum, const char* name, const char* dtype) {
  ensure_numpy();
  if (PyArray_Check(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    Owned want = made(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
    bool same = PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(want.get()));
    if (same && PyArray_NDIM(arr) == 1) return arr;
  }
  throw_arg_type_error(name, cat("expected a one-dimensional numpy.ndarray of dtype ", dtype, ", got ",
                                 PyArray_Check(obj) ? "an array of another dtype or dimension"
                                                    : cat("'", type_name(obj), "'")));
}

void require_contiguous(PyArrayObject* arr, const char* name) {
  if (!PyArray_IS_C_CONTIGUOUS(arr)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    throw PyErrSet{};
  }
  // Contiguous views into a byte buffer can still be misaligned; reading them
  // through typed pointers would be undefined.
  if (!PyArray_ISALIGNED(arr)) throw_arg_type_error(name, "the given array is not aligned");
}

template <class T>
std::span<const T> view_of(PyArrayObject* arr) {
  return {static_cast<const T*>(PyArray_DATA(arr)), static_cast<size_t>(PyArray_DIM(arr, 0))};
}

PyObject* py_zuldor_match_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<MATCH_BATCH>(args, nargs, kwnames);
    Shared<Compiled> zuldor{self};
    PyArrayObject* ids_arr = typed_vector(a["token_ids"], NPY_UINT32, "token_ids", "uint32");
    PyArrayObject* times_arr = typed_vector(a["times"], NPY_FLOAT64, "times", "float64");
    PyArrayObject* offsets_arr = typed_vector(a["offsets"], NPY_INT64, "offsets", "int64");
    PyArrayObject* values_arr =
        given(a["values"]) ? typed_vector(a["values"], NPY_FLOAT64, "values", "float64") : nullptr;
    require_contiguous(ids_arr, "token_ids");
    require_contiguous(times_arr, "times");
    require_contiguous(offsets_arr, "offsets");
    if (values_arr) require_contiguous(values_arr, "values");

    auto ids = view_of<uint32_t>(ids_arr);
    auto times = view_of<double>(times_arr);
    auto offsets = view_of<int64_t>(offsets_arr);
    std::span<const double> values = values_arr ? view_of<double>(values_arr) : std::span<const double>();
    if (offsets.empty()) throw ValueError("offsets must have length n_docs + 1");
    value_or_raise(check_stream_lens(ids.size(), "token_ids", times.size(), values_arr != nullptr,
                                     values.size()));
    const MatchProgram& program = program_of(*zuldor->pattern);
    BatchResult r;
    {
      // The arrays are read in place: callers must not write them meanwhile.
      GilReleased unlocked(ids.size() + offsets.size() >= GilReleased::MIN_ITEMS);
      r = match_batch(program, ids, times, values, offsets);
    }
    Owned out = made(PyDict_New());
    check_rc(PyDict_SetItemString(out.get(), "m_start", to_numpy(std::move(r.m_start)).get()));
    check_rc(PyDict_SetItemString(out.get(), "m_end", to_numpy(std::move(r.m_end)).get()));
    if (zuldor->pattern->pattern().midstream)
      check_rc(PyDict_SetItemString(out.get(), "mid", to_numpy(std::move(r.mid)).get()));
    return out;
  });
}

PyMethodDef ZULDOR_METHODS[] = {
    fastcall_def<MATCH_STREAM>(py_zuldor_match_stream),
    fastcall_def<PREPROCESS>(py_zuldor_preprocess),
    fastcall_def<MATCH_PREPROCESSED>(py_zuldor_match_preprocessed),
    fastcall_def<MATCH_BATCH>(py_zuldor_match_batch),
    {"__reduce__", py_zuldor_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ZULDOR_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(doc<ZULDOR>())},
    {Py_tp_new, reinterpret_cast<void*>(py_zuldor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Compiled>)},
    {Py_tp_methods, ZULDOR_METHODS},
    {0, nullptr},
};
PyType_Spec ZULDOR_SPEC = {"zuldcore.Zuldor", sizeof(Wrapper<Compiled>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, ZULDOR_SLOTS};

// ---- PreprocessedStream -------------------------------------------------------------------

Py_ssize_t py_stream_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as<Stream>(self)->value.size());
}

PyObject* py_stream_repr(PyObject* self) noexcept {
  return guarded([&] {
    return made(PyUnicode_FromFormat("PreprocessedStream(len=%zu)", as<Stream>(self)->value.size()));
  });
}

PyType_Slot PREPROCESSED_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Stream>)},
    {Py_sq_length, reinterpret_cast<void*>(py_stream_len)},
    {Py_tp_repr, reinterpret_cast<void*>(py_stream_repr)},
    {0, nullptr},
};
PyType_Spec PREPROCESSED_SPEC = {"zuldcore.PreprocessedStream", sizeof(Wrapper<Stream>), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, PREPROCESSED_SLOTS};

}  // namespace

PyTypeObject* zuldor_type() { return make_type_once(zuldor, &ZULDOR_SPEC); }
PyTypeObject* preprocessed_stream_type() { return make_type_once(preprocessed, &PREPROCESSED_SPEC); }
Pattern zuldor_pattern(PyObject* obj) { return as<Compiled>(obj)->value.pattern->pattern(); }
bool is_zuldor(PyObject* obj) { return PyObject_TypeCheck(obj, zuldor_type()); }
std::shared_ptr<const CompiledPattern> zuldor_compiled(PyObject* obj) { return as<Compiled>(obj)->value.pattern; }

}  // namespace zuldcore
