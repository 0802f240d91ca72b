// The walk over an add_mapped_event match map: keys and spec dictionaries
// read into C++ values, in the order the ids are given, and compiled with the
// mapped-spec rules of types/builders.hpp.
#include "lib/match_map.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "types/builders.hpp"

namespace zuldcore {

namespace {

enum SpecKey : size_t {
  K_MATCH,
  K_BLOCK,
  K_MIN_DT,
  K_MAX_DT,
  K_MIN_AT,
  K_MAX_AT,
  K_MIN_VAL,
  K_MAX_VAL,
  K_REQUIRE_NAN_VAL,
  K_BLOCK_MIN_VAL,
  K_BLOCK_MAX_VAL,
  K_BLOCK_REQUIRE_NAN_VAL,
  N_SPEC_KEYS,
};
constexpr std::array<const char*, N_SPEC_KEYS> SPEC_KEY_NAMES = {
    "match",   "block",   "min_dt",          "max_dt",        "min_at",        "max_at",
    "min_val", "max_val", "require_nan_val", "block_min_val", "block_max_val", "block_require_nan_val"};

// spec[key] as a new reference, or null when the key is absent. Key objects
// are made once and kept for the process (one interpreter per process).
Owned spec_get(PyObject* spec, SpecKey key) {
  static std::array<PyObject*, N_SPEC_KEYS> key_objects{};
  if (!key_objects[key])
    key_objects[key] = check(PyUnicode_InternFromString(SPEC_KEY_NAMES[key])).keep_for_process();
  PyObject* v = PyDict_GetItemWithError(spec, key_objects[key]);
  if (!v && PyErr_Occurred()) throw PyErrSet{};
  return Owned::borrow(v);  // taken before any other Python code can drop it
}

// "block" and match keys: a str is one token, else a sequence of str.
std::vector<std::string> str_or_str_vec(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) return {std::string(arg_str(obj, name))};
  return arg_str_vec(obj, name);
}

std::vector<std::string> match_map_key(PyObject* key) {
  if (PyUnicode_Check(key)) return {std::string(arg_str(key, "match_map"))};
  auto tokens = try_form([&] { return arg_str_vec(key, "match_map"); });
  if (!tokens) throw TypeError("match_map keys must be str or a sequence of str");
  if (tokens->empty()) throw ValueError("match_map keys must not be empty");
  return std::move(*tokens);
}

// The three value keys from `first` on, for the one-token and token-set forms.
PluralVals spec_plural_vals(PyObject* spec, SpecKey first, const ValNames& names) {
  PluralVals v{names};
  if (Owned o = spec_get(spec, SpecKey(first))) v.min = arg_f64_vec(o.get(), names[0]);
  if (Owned o = spec_get(spec, SpecKey(first + 1))) v.max = arg_f64_vec(o.get(), names[1]);
  if (Owned o = spec_get(spec, SpecKey(first + 2))) v.require_nan = arg_bool_vec(o.get(), names[2]);
  return v;
}

PluralSeqVals spec_plural_seq_vals(PyObject* spec) {
  PluralSeqVals v{VAL};
  if (Owned o = spec_get(spec, K_MIN_VAL)) v.min = arg_f64_vec_vec(o.get(), VAL[0]);
  if (Owned o = spec_get(spec, K_MAX_VAL)) v.max = arg_f64_vec_vec(o.get(), VAL[1]);
  if (Owned o = spec_get(spec, K_REQUIRE_NAN_VAL)) v.require_nan = arg_bool_vec_vec(o.get(), VAL[2]);
  return v;
}

// "match" decides the spec's form: a str, else a sequence of str, else a
// sequence of sequences of str.
MatchForm spec_match_form(PyObject* match) {
  if (PyUnicode_Check(match)) return std::string(arg_str(match, "match"));
  // Item 0 decides which list form can hold: a str rules out the sequences,
  // anything else the token set (an empty list is a token set). Looking first
  // spares a failed conversion, and its exception, per sequence-form spec.
  std::optional<bool> first_is_str = try_form([&] {
    SeqSource items(match, "match");
    if (items.size() == 0) return true;
    return bool(PyUnicode_Check(items.item(0).get()));
  });
  if (first_is_str && *first_is_str) {
    if (auto set = try_form([&] { return arg_str_vec(match, "match"); })) return std::move(*set);
  } else if (first_is_str) {
    if (auto seqs = try_form([&] { return arg_str_vec_vec(match, "match"); })) return std::move(*seqs);
  }
  throw ValueError("'match' must be str, list[str], or list[list[str]]");
}

}  // namespace

// Timing first, then the block (its tokens interned at once), then the match
// form and its value lists; the first failure ends the call.
ResolvedElement read_mapped_spec(PyObject* spec) {
  MappedSpecArgs s;
  if (Owned o = spec_get(spec, K_MIN_DT)) s.bounds.min_dt = arg_f64(o.get(), "min_dt");
  if (Owned o = spec_get(spec, K_MAX_DT)) s.bounds.max_dt = arg_f64(o.get(), "max_dt");
  if (Owned o = spec_get(spec, K_MIN_AT)) s.bounds.min_at = arg_f64(o.get(), "min_at");
  if (Owned o = spec_get(spec, K_MAX_AT)) s.bounds.max_at = arg_f64(o.get(), "max_at");

  if (Owned block = spec_get(spec, K_BLOCK)) {  // the block value keys are read only with "block"
    s.block_tokens = intern_each(str_or_str_vec(block.get(), "block"));
    PluralVals v = spec_plural_vals(spec, K_BLOCK_MIN_VAL, BLOCK_VAL);
    s.block_vcs = value_or_raise(plural_vcs(v, s.block_tokens.size(), "block"));
  }

  Owned match = spec_get(spec, K_MATCH);
  if (!match) throw ValueError("mapped event spec must contain 'match' key");
  s.match = spec_match_form(match.get());
  if (std::holds_alternative<std::vector<std::vector<std::string>>>(s.match))
    s.seq_vals = spec_plural_seq_vals(spec);
  else
    s.vals = spec_plural_vals(spec, K_MIN_VAL, VAL);
  return value_or_raise(build_resolved(std::move(s)));
}

MatchMap read_match_map(PyObject* match_map) {
  // A snapshot of the entries: converting a spec runs Python code, which
  // must not be able to change the dictionary under the walk.
  Owned items = check(PyDict_Items(match_map));
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  MatchMap map;
  map.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* entry = PyList_GET_ITEM(items.get(), i);  // a (key, spec) tuple that items owns
    PyObject* key = PyTuple_GET_ITEM(entry, 0);
    PyObject* spec = PyTuple_GET_ITEM(entry, 1);
    with_note(
        [&] {
          std::vector<TokenId> ids = intern_each(match_map_key(key));
          if (!PyDict_Check(spec))
            throw_arg_type_error("match_map", cat("each spec must be a dict, got '", type_name(spec), "'"));
          map.insert_or_assign(std::move(ids), read_mapped_spec(spec));  // of equal keys the last wins
        },
        "in match_map entry %R", key);
  }
  return map;
}

}  // namespace zuldcore
