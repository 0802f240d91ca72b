// Token references from Python arguments.
#include "lib/token_refs.hpp"

#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/py_pattern.hpp"

namespace zuldcore {

namespace {

// A list, a tuple, or an instance of collections.abc.Sequence.
bool is_abc_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
  Owned abc = check(PyImport_ImportModule("collections.abc"));
  Owned sequence = check(PyObject_GetAttrString(abc.get(), "Sequence"));
  int r = PyObject_IsInstance(obj, sequence.get());
  check_rc(r);
  return r == 1;
}

// The sequence's items, fetched in order; errors of the object's own
// __len__ or __getitem__ pass through as they are.
std::vector<Owned> fetch_items(PyObject* obj) {
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) throw PyErrSet{};
  std::vector<Owned> items;
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(check(PySequence_GetItem(obj, i)));
  return items;
}

}  // namespace

TokenRef parse_token_ref(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) return TokenRef{TokenRef::Single{std::string(arg_str(obj, name))}};
  if (is_pattern(obj)) return TokenRef{TokenRef::PatternForm{pattern_copy(obj)}};
  if (!is_abc_sequence(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "Expected str (single token), list[str] (token set), list[list[str]] "
                    "(same-timestamp sequences), or Pattern");
    throw PyErrSet{};
  }
  std::vector<Owned> items = fetch_items(obj);
  if (items.empty()) throw ValueError("Token reference list must not be empty");
  size_t n_str = 0;
  for (const Owned& item : items) n_str += PyUnicode_Check(item.get()) ? 1 : 0;
  if (n_str == items.size()) {
    TokenRef::Set set;
    set.tokens.reserve(items.size());
    for (const Owned& item : items) set.tokens.emplace_back(arg_str(item.get(), name));
    return TokenRef{std::move(set)};
  }
  if (n_str != 0) {
    PyErr_SetString(PyExc_TypeError,
                    "Mixed list of str and list[str]. Use list[str] for a token set or "
                    "list[list[str]] for same-timestamp sequences, not both.");
    throw PyErrSet{};
  }
  std::vector<std::vector<std::string>> sequences;
  sequences.reserve(items.size());
  for (const Owned& item : items) sequences.push_back(arg_str_vec(item.get(), name));
  for (const auto& seq : sequences)
    if (seq.empty()) throw ValueError("Token sequences must not be empty");
  return TokenRef{TokenRef::Sequences{build_seq_trie(sequences)}};
}

std::vector<TokenRef> parse_token_refs(const std::vector<Owned>& items, const char* name) {
  std::vector<TokenRef> refs;
  refs.reserve(items.size());
  for (const Owned& item : items) refs.push_back(parse_token_ref(item.get(), name));
  return refs;
}

std::vector<Owned> arg_object_vec(PyObject* obj, const char* name) {
  SeqSource src(obj, name);
  src.refuse_masked();
  std::vector<Owned> items;
  for (Py_ssize_t i = 0; i < src.size(); ++i) items.push_back(src.item(i));
  return items;
}

Anchor parse_anchor(std::string_view text) { return value_or_raise(anchor_from_name(text)); }

}  // namespace zuldcore
