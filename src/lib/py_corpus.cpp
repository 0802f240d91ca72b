// zuldcore.corpus: the Corpus class, many documents interned once and
// reused by every job. Its constructors convert the columns (the stream
// readers of lib/streams.hpp, or a frame's Arrow stream through
// corpus/frame.hpp), have the core check them and intern the tokens; the
// jobs run src/corpus without the interpreter lock and hand the results to
// NumPy. A Corpus never changes, so it is shared as it is by copies and
// refused by pickle: its token ids belong to this process.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "corpus/frame.hpp"
#include "corpus/jobs.hpp"
#include "corpus/pool.hpp"
#include "lib/args.hpp"
#include "lib/arrow.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/numpy.hpp"
#include "lib/py_annotate.hpp"
#include "lib/py_state.hpp"
#include "lib/results.hpp"
#include "lib/streams.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

// The case keys of a corpus made from a frame, one per document.
using Cases = std::variant<std::monostate, std::vector<int64_t>, std::vector<uint64_t>, std::vector<std::string>>;

struct CorpusObject {
  Corpus corpus;
  Cases cases;
};

PyTypeObject* corpus_type_slot = nullptr;
PyTypeObject* corpus_type();

// ---- conversions --------------------------------------------------------------------------

// Token strings still to intern, or ids already checked against the vocabulary.
struct Tokens {
  TokenColumn strings;
  std::optional<std::vector<TokenId>> ids;
  size_t size() const noexcept { return ids ? ids->size() : strings.size(); }
};

std::vector<TokenId> checked_ids(std::vector<TokenId>&& ids, const char* name) {
  value_or_raise(check_token_ids(ids, vocabulary_size(), name));
  return std::move(ids);
}

std::vector<TokenId> ids_from_words(const std::vector<int64_t>& words, const char* name) {
  std::vector<TokenId> ids(words.size());
  for (size_t i = 0; i < words.size(); ++i) ids[i] = static_cast<TokenId>(words[i]);
  return checked_ids(std::move(ids), name);
}

bool is_uint32_array(PyObject* obj) {
  if (!numpy_loaded()) return false;  // no NumPy array can exist yet
  ensure_numpy();
  if (!PyArray_Check(obj)) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_TYPE(arr) == NPY_UINT32;
}

// `tokens` of the constructor: zuldcore ids as a uint32 NumPy or Arrow
// array, or strings in any form a stream argument takes.
Tokens convert_corpus_tokens(PyObject* obj) {
  constexpr const char* NAME = "tokens";
  Tokens out;
  if (is_uint32_array(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1)
      throw_arg_type_error(NAME, cat("expected a one-dimensional array, got ", PyArray_NDIM(arr), " dimensions"));
    Owned flat = check(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_UINT32), 1, 1,
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    const auto* data = static_cast<const TokenId*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    out.ids = checked_ids(std::vector<TokenId>(data, data + PyArray_DIM(arr, 0)), NAME);
    return out;
  }
  if (std::optional<ArrowChunks> chunks = ArrowChunks::open(obj, NAME)) {
    const std::optional<IntegerType> type = integer_type(column_schema(chunks->schema()));
    if (type && type->width == 4 && !type->is_signed) {
      ArrowIntegerReader reader(chunks->schema(), *type, NAME);
      std::vector<int64_t> words;
      ArrowOwned<ArrowArray> chunk;
      while (chunks->next(chunk)) reader.append(*chunk, words);
      out.ids = ids_from_words(words, NAME);
    } else {
      out.strings = arrow_tokens(*chunks, NAME);
    }
    return out;
  }
  out.strings = convert_tokens(obj, NAME);
  return out;
}

std::string dtype_text(PyArrayObject* arr) {
  Owned text = check(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
  return std::string(arg_str(text.get(), "dtype"));
}

// `offsets`: integers from an Arrow array, a NumPy array of any integer
// dtype, or any sequence of integers (the integer protocol). Words of an
// unsigned 64-bit column keep their bits; their check comes with the others.
std::vector<int64_t> convert_offsets(PyObject* obj, size_t n_rows) {
  constexpr const char* NAME = "offsets";
  std::vector<int64_t> out;
  bool words_unsigned = false;
  if (std::optional<ArrowChunks> chunks = ArrowChunks::open(obj, NAME)) {
    const ArrowSchema& column = column_schema(chunks->schema());
    const std::optional<IntegerType> type = integer_type(column);
    if (!type) throw_arg_type_error(NAME, cat("expected integers, got an Arrow array of ", arrow_type_name(column)));
    ArrowIntegerReader reader(chunks->schema(), *type, NAME);
    ArrowOwned<ArrowArray> chunk;
    while (chunks->next(chunk)) reader.append(*chunk, out);
    words_unsigned = !type->is_signed && type->width == 8;
  } else {
    SeqSource src(obj, NAME);
    src.refuse_masked();
    if (PyObject* vector = src.array()) {
      auto* arr = reinterpret_cast<PyArrayObject*>(vector);
      const char kind = PyArray_DESCR(arr)->kind;
      if (kind != 'i' && kind != 'u')
        throw_arg_type_error(NAME, cat("expected integers, got an array of ", dtype_text(arr)));
      words_unsigned = kind == 'u' && PyArray_ITEMSIZE(arr) == 8;
      // Every integer dtype but uint64 fits int64 as it is; uint64 is read
      // as its bits, in the same width.
      Owned cast = check(PyArray_FromAny(vector, PyArray_DescrFromType(words_unsigned ? NPY_UINT64 : NPY_INT64), 1,
                                         1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
      auto* c = reinterpret_cast<PyArrayObject*>(cast.get());
      const auto* data = static_cast<const int64_t*>(PyArray_DATA(c));
      out.assign(data, data + PyArray_DIM(c, 0));
    } else {
      out.reserve(src.exact() ? static_cast<size_t>(src.size()) : 0);
      for (Py_ssize_t i = 0; i < src.size(); ++i) out.push_back(arg_i64(src.item(i).get(), NAME));
    }
  }
  if (words_unsigned)
    for (size_t i = 0; i < out.size(); ++i)
      if (out[i] < 0)
        throw ValueError(cat("offsets[", i, "] is ", static_cast<uint64_t>(out[i]), ", beyond the number of rows (",
                             n_rows, ")"));
  return out;
}

// The corpus of checked columns: lengths, offsets and times, in this order,
// then the tokens interned (nothing is interned when a check fails).
Owned make_corpus(PyTypeObject* type, Tokens&& tokens, std::vector<double>&& times,
                  std::optional<std::vector<double>>&& values, std::vector<int64_t>&& offsets, Cases&& cases,
                  const char* times_name) {
  const size_t n = tokens.size();
  value_or_raise(check_stream_lens(n, "tokens", times.size(), values.has_value(), values ? values->size() : 0));
  value_or_raise(check_offsets(offsets, n));
  value_or_raise(check_document_times(times, offsets, times_name));
  CorpusObject made_corpus;
  Corpus& c = made_corpus.corpus;
  c.tokens = tokens.ids ? std::move(*tokens.ids) : intern_column(std::move(tokens.strings));
  c.times = std::move(times);
  if (values) c.values = std::move(*values);
  c.offsets = std::move(offsets);
  made_corpus.cases = std::move(cases);
  return wrap(type, std::move(made_corpus));
}

// `threads` of the jobs: None for every usable CPU, else at least 1.
size_t threads_arg(PyObject* obj) {
  if (!given(obj)) return ALL_CPUS;
  if (PyBool_Check(obj)) throw_arg_type_error("threads", "expected an int or None, got 'bool'");
  const int64_t n = arg_i64(obj, "threads");
  if (n < 1) throw ValueError(cat("threads must be at least 1 (got ", n, ")"));
  return static_cast<size_t>(n);
}

// A read-only one-dimensional array over `data`, which `owner` keeps alive.
Owned readonly_view(PyObject* owner, const void* data, size_t n, int typenum) {
  ensure_numpy();
  npy_intp len = static_cast<npy_intp>(n);
  if (n == 0) {
    Owned empty = made(PyArray_SimpleNew(1, &len, typenum));
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(empty.get()), NPY_ARRAY_WRITEABLE);
    return empty;
  }
  Owned array = made(PyArray_New(&PyArray_Type, 1, &len, typenum, nullptr, const_cast<void*>(data), 0,
                                 NPY_ARRAY_CARRAY_RO, nullptr));
  set_base(array, Owned::borrow(owner));
  return array;
}

// ---- Corpus(tokens, times, offsets, values=None) ------------------------------------------

constexpr auto CORPUS = function("Corpus", req("tokens"), req("times"), req("offsets"), opt("values", "None"))
    .with_doc(
        "Many documents laid end to end, interned once and reused by every job.\n"
        "\n"
        "tokens:  str tokens in any form a stream takes (list, NumPy, pandas, Arrow,\n"
        "         Polars), or zuldcore ids as a uint32 NumPy or Arrow array (vocab_ids)\n"
        "times:   one float per token; never NaN and never decreasing within a\n"
        "         document (they may go back from one document to the next)\n"
        "offsets: document k is rows offsets[k] up to offsets[k + 1]; integers from\n"
        "         0 to the number of rows, never decreasing (empty documents allowed)\n"
        "values:  None, or one float per token (NaN = no value)\n"
        "\n"
        "Every job runs each document on its own, as the single-stream call would on\n"
        "that document alone; positions in results are rows of the corpus. A Corpus\n"
        "never changes: copies are the same object, and it cannot be pickled (its\n"
        "token ids belong to this process).");

PyObject* py_corpus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    auto a = bind<CORPUS>(args, kwargs);
    Tokens tokens = convert_corpus_tokens(a["tokens"]);
    std::vector<double> times = convert_floats(a["times"], "times");
    std::vector<int64_t> offsets = convert_offsets(a["offsets"], tokens.size());
    auto values = convert_opt_values(a["values"]);
    return make_corpus(type, std::move(tokens), std::move(times), std::move(values), std::move(offsets), Cases{},
                       "times");
  });
}

// ---- from_frame ---------------------------------------------------------------------------

constexpr auto FROM_FRAME = method("from_frame", req("frame"), req("case"), req("token"), req("time"),
                                   opt("value", "None"), opt("time_unit", "None")).with_doc(
    "A corpus of the rows of a frame, one document per case.\n"
    "\n"
    "frame:     anything that exports an Arrow C stream (Polars or pandas DataFrame,\n"
    "           pyarrow Table or RecordBatchReader, DuckDB relation); its rows are\n"
    "           used in their order\n"
    "case:      the column of case keys (integers or strings); each case's rows\n"
    "           must be contiguous, and the keys are kept in `cases`\n"
    "token:     the column of tokens (strings, or uint32 zuldcore ids)\n"
    "time:      the column of times: numbers, or dates, timestamps or durations\n"
    "           with time_unit\n"
    "value:     the column of values, or None; null reads as NaN\n"
    "time_unit: \"us\", \"ms\", \"s\", \"m\", \"h\" or \"d\": a temporal time column becomes\n"
    "           a float number of that unit since the epoch, correctly rounded\n"
    "           from its exact integer count");

PyObject* py_corpus_from_frame(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<FROM_FRAME>(args, nargs, kwnames);
    PyObject* frame = a["frame"];
    std::optional<ArrowChunks> chunks = ArrowChunks::open(frame, "frame");
    if (!chunks)
      throw_arg_type_error("frame", cat("expected a table that exports an Arrow C stream (a Polars or pandas "
                                        "DataFrame, a pyarrow Table or RecordBatchReader, a DuckDB relation), got '",
                                        type_name(frame), "'"));
    FrameColumns names;
    names.case_column = std::string(arg_str(a["case"], "case"));
    names.token_column = std::string(arg_str(a["token"], "token"));
    names.time_column = std::string(arg_str(a["time"], "time"));
    names.value_column = opt_str(a["value"], "value");
    if (std::optional<std::string> unit = opt_str(a["time_unit"], "time_unit"))
      names.time_unit = value_or_raise(time_unit_from_name(*unit));

    FrameReader reader(chunks->schema(), names);
    // The batches are taken first, so that every column is allocated once at
    // its final size (a producer's batches are views of its own memory, or
    // would be made anyway; a negative length counts nothing here and is
    // refused when read). They are released with the interpreter lock held.
    std::vector<ArrowOwned<ArrowArray>> batches;
    size_t n_rows = 0;
    for (ArrowOwned<ArrowArray> batch; chunks->next(batch);) {
      n_rows += static_cast<size_t>(std::max<int64_t>((*batch).length, 0));
      batches.push_back(std::move(batch));
    }
    reader.reserve(n_rows);
    FrameRows rows;
    {
      // Reading touches only the batches' C structures, never a Python object.
      GilReleased unlocked(n_rows >= GilReleased::MIN_ITEMS);
      for (ArrowOwned<ArrowArray>& batch : batches) reader.append(*batch);
      rows = reader.finish();
    }
    batches.clear();
    Tokens tokens;
    if (rows.ids)
      tokens.ids = checked_ids(std::move(*rows.ids), "token");
    else
      tokens.strings = std::move(rows.tokens);
    Cases cases = std::visit([](auto&& keys) { return Cases(std::move(keys)); }, std::move(rows.cases));
    return make_corpus(reinterpret_cast<PyTypeObject*>(cls), std::move(tokens), std::move(rows.times),
                       std::move(rows.values), std::move(rows.offsets), std::move(cases), "time");
  });
}

// ---- jobs ---------------------------------------------------------------------------------

constexpr auto MATCH = method("match", req("zuldor"), opt("include_tokens", "False"), opt("first_only", "False"),
                              opt("threads", "None")).with_doc(
    "Every match of the Zuldor's pattern in each document, never across two.\n"
    "\n"
    "Returns the dictionary of Zuldor.match_stream (the same keys, in the same\n"
    "order, with the same dtypes) and then \"doc\": int64 (n_matches,), the document\n"
    "of each match. m_start, m_end and el_stream_idx are rows of the corpus.\n"
    "first_only gives the first match of each document. threads: None uses every\n"
    "CPU the process may run on, 1 the calling thread only; the result is the\n"
    "same for any number of threads.");

PyObject* py_corpus_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<MATCH>(args, nargs, kwnames);
    Shared<CorpusObject> c{self};
    PyObject* zuldor = a["zuldor"];
    if (!is_zuldor(zuldor)) throw_arg_type_error("zuldor", cat("expected Zuldor, got '", type_name(zuldor), "'"));
    const std::shared_ptr<const CompiledPattern> compiled = zuldor_compiled(zuldor);
    const bool include_tokens = bool_or(a["include_tokens"], "include_tokens", false);
    const bool first_only = bool_or(a["first_only"], "first_only", false);
    const size_t threads = threads_arg(a["threads"]);
    if (compiled->program() == nullptr) throw ValueError(compiled->error());
    CorpusMatches found;
    {
      GilReleased unlocked;  // the corpus never changes; the job reads only C++ values
      found = corpus_match(c->corpus, *compiled->program(), first_only, include_tokens, threads);
    }
    const Pattern& pattern = compiled->pattern();
    std::optional<CollectorStrategy> midstream;
    if (pattern.midstream) midstream = pattern.midstream->collector;
    Owned out = buf_to_py(std::move(found.buffer), pattern.collector, midstream);
    check_rc(PyDict_SetItemString(out.get(), "doc", to_numpy(std::move(found.doc)).get()));
    return out;
  });
}

constexpr auto STATE_SPANS = method("state_spans", req("machine"), opt("include_invalid", "True"),
                                    opt("threads", "None")).with_doc(
    "The state instances of each document, each document run on its own (an\n"
    "instance open at a document's end closes there with end_of_stream).\n"
    "\n"
    "Returns the ten columns of zuldcore.state_spans and then \"doc\": int64, the\n"
    "document of each instance. start_pos and end_pos are rows of the corpus.\n"
    "threads as for match.");

PyObject* py_corpus_state_spans(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<STATE_SPANS>(args, nargs, kwnames);
    Shared<CorpusObject> c{self};
    PyObject* machine_arg = a["machine"];
    if (!is_state_machine(machine_arg))
      throw_arg_type_error("machine", cat("expected StateMachine, got '", type_name(machine_arg), "'"));
    const bool include_invalid = bool_or(a["include_invalid"], "include_invalid", true);
    const size_t threads = threads_arg(a["threads"]);
    std::shared_ptr<const StateMachineDecl> machine = machine_snapshot(machine_arg);
    CorpusStates found;
    {
      GilReleased unlocked;
      found = corpus_state_spans(c->corpus, *machine, include_invalid, threads);
    }
    Owned out = state_spans_columns(std::move(found.columns));
    check_rc(PyDict_SetItemString(out.get(), "doc", to_numpy(std::move(found.doc)).get()));
    return out;
  });
}

constexpr auto ANNOTATE = method("annotate", req("specs"), opt("threads", "None")).with_doc(
    "The columns of zuldcore.annotate_stream, one entry per row of the corpus,\n"
    "each document evaluated on its own: no window, occurrence, epoch or span\n"
    "reaches into another document, and \"not available\" is judged against the\n"
    "document's own first and last times. threads as for match.");

PyObject* py_corpus_annotate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<ANNOTATE>(args, nargs, kwnames);
    Shared<CorpusObject> c{self};
    const CallSpecs specs(a["specs"]);
    const size_t threads = threads_arg(a["threads"]);
    std::vector<const AnnotKind*> kinds;
    kinds.reserve(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) kinds.push_back(&specs[i].kind);
    std::vector<Column> columns;
    std::optional<SpecFailure> failure;
    {
      GilReleased unlocked;
      try {
        columns = corpus_annotate(c->corpus, kinds, threads);
      } catch (SpecFailure& f) {
        failure = std::move(f);
      }
    }
    if (failure) raise_spec_failure(failure->spec, std::move(failure->message));
    return annotation_columns(specs, std::move(columns));
  });
}

// ---- the rest of the class ----------------------------------------------------------------

PyObject* py_corpus_copy(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return Owned::borrow(self); });
}

PyObject* py_corpus_reduce(PyObject*, PyObject*) noexcept {
  return guarded([&]() -> Owned {
    throw TypeError("a Corpus cannot be pickled: its token ids belong to this process; build the corpus where "
                    "it is used");
  });
}

Py_ssize_t py_corpus_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as<CorpusObject>(self)->value.corpus.size());
}

PyObject* py_corpus_repr(PyObject* self) noexcept {
  return guarded([&] {
    const Corpus& c = as<CorpusObject>(self)->value.corpus;
    return made(PyUnicode_FromFormat("Corpus(n_docs=%zu, rows=%zu)", c.n_docs(), c.size()));
  });
}

PyObject* py_corpus_n_docs(PyObject* self, void*) noexcept {
  return guarded([&] { return made(PyLong_FromSize_t(as<CorpusObject>(self)->value.corpus.n_docs())); });
}

PyObject* py_corpus_offsets(PyObject* self, void*) noexcept {
  return guarded([&] {
    const std::vector<int64_t>& offsets = as<CorpusObject>(self)->value.corpus.offsets;
    return readonly_view(self, offsets.data(), offsets.size(), NPY_INT64);
  });
}

PyObject* py_corpus_cases(PyObject* self, void*) noexcept {
  return guarded([&] {
    return std::visit(
        [&](const auto& keys) -> Owned {
          using K = std::decay_t<decltype(keys)>;
          if constexpr (std::is_same_v<K, std::monostate>) {
            return none();
          } else if constexpr (std::is_same_v<K, std::vector<std::string>>) {
            Owned list = made(PyList_New(static_cast<Py_ssize_t>(keys.size())));
            for (size_t i = 0; i < keys.size(); ++i)
              list_set(list, i, made(PyUnicode_DecodeUTF8(keys[i].data(), static_cast<Py_ssize_t>(keys[i].size()),
                                                          "strict")));
            return list;
          } else {
            constexpr int TYPE = std::is_same_v<K, std::vector<int64_t>> ? NPY_INT64 : NPY_UINT64;
            return readonly_view(self, keys.data(), keys.size(), TYPE);
          }
        },
        as<CorpusObject>(self)->value.cases);
  });
}

PyMethodDef CORPUS_METHODS[] = {
    fastcall_def<FROM_FRAME>(py_corpus_from_frame, METH_CLASS),
    fastcall_def<MATCH>(py_corpus_match),
    fastcall_def<STATE_SPANS>(py_corpus_state_spans),
    fastcall_def<ANNOTATE>(py_corpus_annotate),
    {"__copy__", py_corpus_copy, METH_NOARGS, "__copy__($self, /)\n--\n\nThe corpus itself: it never changes."},
    {"__deepcopy__", py_corpus_copy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nThe corpus itself: it never changes."},
    {"__reduce__", py_corpus_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nRefused: a corpus holds token ids of this process."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef CORPUS_GETSET[] = {
    {"n_docs", py_corpus_n_docs, nullptr, "The number of documents.", nullptr},
    {"offsets", py_corpus_offsets, nullptr,
     "int64 (n_docs + 1,), read-only: document k is rows offsets[k] up to offsets[k + 1].", nullptr},
    {"cases", py_corpus_cases, nullptr,
     "The case key of each document when the corpus was made from a frame (an int64 or\n"
     "uint64 array, read-only, for integer keys; a list of str for string keys), else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot CORPUS_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(doc<CORPUS>())},
    {Py_tp_new, reinterpret_cast<void*>(py_corpus_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CorpusObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(py_corpus_repr)},
    {Py_sq_length, reinterpret_cast<void*>(py_corpus_len)},
    {Py_tp_methods, CORPUS_METHODS},
    {Py_tp_getset, CORPUS_GETSET},
    {0, nullptr},
};
PyType_Spec CORPUS_SPEC = {"zuldcore.corpus.Corpus", sizeof(Wrapper<CorpusObject>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, CORPUS_SLOTS};

PyTypeObject* corpus_type() { return make_type_once(corpus_type_slot, &CORPUS_SPEC); }

PyObject* workers_started_fn(PyObject*, PyObject*) noexcept {
  return guarded([] { return made(PyLong_FromUnsignedLongLong(workers_started())); });
}
PyMethodDef WORKERS_STARTED_DEF = {"workers_started", workers_started_fn, METH_NOARGS,
                                   "workers_started()\n--\n\nHow many worker threads the corpus jobs have started in "
                                   "this process (for tests)."};

PyObject* corpus_module = nullptr;  // kept for the process, as the module is

PyObject* package_getattr(PyObject*, PyObject* name) noexcept {
  return guarded([&]() -> Owned {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "corpus") == 0)
      return Owned::borrow(corpus_module);
    PyErr_Format(PyExc_AttributeError, "module 'zuldcore' has no attribute %R", name);
    throw PyErrSet{};
  });
}
PyMethodDef PACKAGE_GETATTR_DEF = {"__getattr__", package_getattr, METH_O,
                                   "__getattr__($module, name, /)\n--\n\nThe submodule zuldcore.corpus."};

}  // namespace

void add_corpus_module(PyObject* parent) {
  Owned name = check(PyUnicode_FromString("zuldcore.corpus"));
  Owned module = check(PyModule_NewObject(name.get()));
  check_rc(PyModule_AddStringConstant(module.get(), "__doc__",
                                      "Many documents in one call: the Corpus, its constructors and its jobs."));
  check_rc(PyModule_AddObjectRef(module.get(), "Corpus", reinterpret_cast<PyObject*>(corpus_type())));
  Owned all = check(Py_BuildValue("[s]", "Corpus"));
  check_rc(PyModule_AddObjectRef(module.get(), "__all__", all.get()));
  check_rc(PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module.get()));
  // The package's names stay its eleven: the submodule is found through the
  // package's __getattr__ (PEP 562), so that zuldcore.corpus works after
  // `import zuldcore.corpus` (which finds it in sys.modules and sets nothing).
  corpus_module = std::move(module).keep_for_process();
  Owned parent_name = check(PyUnicode_FromString("zuldcore"));
  Owned getattr = check(PyCFunction_NewEx(&PACKAGE_GETATTR_DEF, nullptr, parent_name.get()));
  check_rc(PyModule_AddObjectRef(parent, PACKAGE_GETATTR_DEF.ml_name, getattr.get()));

  // The pool's counter joins the other test hooks.
  PyObject* internal = PyDict_GetItemString(PyImport_GetModuleDict(), "zuldcore._internal");  // borrowed
  ZC_ENSURE(internal != nullptr, "zuldcore._internal is not registered");
  Owned internal_name = check(PyUnicode_FromString("zuldcore._internal"));
  Owned fn = check(PyCFunction_NewEx(&WORKERS_STARTED_DEF, nullptr, internal_name.get()));
  check_rc(PyModule_AddObjectRef(internal, WORKERS_STARTED_DEF.ml_name, fn.get()));
}

}  // namespace zuldcore
