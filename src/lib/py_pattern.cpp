// Pattern: the Python builder of temporal patterns, with its constructor,
// repr and nine builder methods. A builder takes its object exclusively,
// converts every argument to C++ values, checks them, interns the tokens and
// only then appends one element (or sets the midstream collector), so a failed
// call leaves the pattern as it was. The model is src/types/pattern.hpp; the
// search is src/engine and never sees Python.
#include "lib/py_pattern.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/py_pickle.hpp"
#include "lib/wrapper.hpp"

namespace zuldcore {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- conversion helpers

// Python None is the same as leaving an optional token or list parameter out.
bool given(PyObject* obj) { return obj && obj != Py_None; }

double f64_or(PyObject* obj, const char* name, double fallback) {
  return obj ? arg_f64(obj, name) : fallback;
}

bool bool_or(PyObject* obj, const char* name, bool fallback) {
  return obj ? arg_bool(obj, name) : fallback;
}

std::optional<std::string> opt_str(PyObject* obj, const char* name) {
  if (!given(obj)) return std::nullopt;
  return std::string(arg_str(obj, name));
}

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

// The four timing bounds from four consecutive parameter slots, converted in
// signature order; absent ones keep their defaults.
Bounds convert_bounds(PyObject* const* slot) {
  Bounds b;
  b.min_dt = f64_or(slot[0], "min_dt", b.min_dt);
  b.max_dt = f64_or(slot[1], "max_dt", b.max_dt);
  b.min_at = f64_or(slot[2], "min_at", b.min_at);
  b.max_at = f64_or(slot[3], "max_at", b.max_at);
  return b;
}

std::vector<TokenId> intern_each(const std::vector<std::string>& tokens) {
  std::vector<TokenId> ids;
  ids.reserve(tokens.size());
  for (const std::string& s : tokens) ids.push_back(intern(s));
  return ids;
}

std::string length_message(std::string_view name, size_t n, std::string_view tokens_name,
                           size_t n_given) {
  return cat(name, " must have length ", n, " to match ", tokens_name, " (got ", n_given, ")");
}

// ---------------------------------------------------------------- value-constraint rules

using Names = std::array<const char*, 3>;  // the (min, max, require-NaN) parameters' names

constexpr Names VAL = {"min_val", "max_val", "require_nan_val"};
constexpr Names BLOCK_VAL = {"block_min_val", "block_max_val", "block_require_nan_val"};
constexpr Names VALS = {"min_vals", "max_vals", "require_nan_vals"};
constexpr Names BLOCK_VALS = {"block_min_vals", "block_max_vals", "block_require_nan_vals"};

// One constraint from scalars; NaN bounds stand for "not given".
struct ScalarVals {
  double min = NaN;
  double max = NaN;
  bool require_nan = false;

  ValueConstraint constraint() const { return ValueConstraint::from_args(min, max, require_nan); }
  bool any_given() const { return require_nan || !std::isnan(min) || !std::isnan(max); }
};

ScalarVals convert_scalar_vals(PyObject* const* slot, const Names& names) {
  ScalarVals v;
  v.min = f64_or(slot[0], names[0], NaN);
  v.max = f64_or(slot[1], names[1], NaN);
  v.require_nan = bool_or(slot[2], names[2], false);
  return v;
}

// Up to three optional lists, one entry per token.
struct PluralVals {
  Names names;
  std::optional<std::vector<double>> min;
  std::optional<std::vector<double>> max;
  std::optional<std::vector<bool>> require_nan;

  bool any_given() const { return min || max || require_nan; }
};

PluralVals convert_plural_vals(PyObject* const* slot, const Names& names) {
  PluralVals v{names, {}, {}, {}};
  v.min = opt_arg(slot[0], names[0], arg_f64_vec);
  v.max = opt_arg(slot[1], names[1], arg_f64_vec);
  v.require_nan = opt_arg(slot[2], names[2], arg_bool_vec);
  return v;
}

// The plural rule: no list given gives an empty array (every token
// unconstrained); otherwise exactly n constraints, entry i built from entry i
// of each given list. A given list shorter than n fails; longer ones are
// read up to n.
Expected<std::vector<ValueConstraint>> plural_vcs(const PluralVals& v, size_t n,
                                                  std::string_view tokens_name) {
  if (!v.any_given()) return std::vector<ValueConstraint>{};
  const std::array<size_t, 3> sizes = {v.min ? v.min->size() : n, v.max ? v.max->size() : n,
                                       v.require_nan ? v.require_nan->size() : n};
  for (size_t k = 0; k < 3; ++k)
    if (sizes[k] < n) return fail(length_message(v.names[k], n, tokens_name, sizes[k]));
  std::vector<ValueConstraint> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i)
    out.push_back(ValueConstraint::from_args(v.min ? (*v.min)[i] : NaN, v.max ? (*v.max)[i] : NaN,
                                             v.require_nan ? bool((*v.require_nan)[i]) : false));
  return out;
}

// The same lists for same-timestamp sequences: one inner list per sequence.
struct PluralSeqVals {
  Names names;
  std::optional<std::vector<std::vector<double>>> min;
  std::optional<std::vector<std::vector<double>>> max;
  std::optional<std::vector<std::vector<bool>>> require_nan;

  bool any_given() const { return min || max || require_nan; }
};

PluralSeqVals convert_plural_seq_vals(PyObject* const* slot, const Names& names) {
  PluralSeqVals v{names, {}, {}, {}};
  v.min = opt_arg(slot[0], names[0], arg_f64_vec_vec);
  v.max = opt_arg(slot[1], names[1], arg_f64_vec_vec);
  v.require_nan = opt_arg(slot[2], names[2], arg_bool_vec_vec);
  return v;
}

// The sequence form of the plural rule, for n sequences. Sequence i gets m_i
// constraints, m_i being the length of inner list i of the first given list
// (min, else max, else require-NaN); every given list needs at least n inner
// lists, and every inner list i at least m_i entries. m_i need not be the
// sequence's length: the trie reads Any past the array's end and ignores
// entries past the sequence's end.
Expected<std::vector<std::vector<ValueConstraint>>> seq_vcs(const PluralSeqVals& v, size_t n,
                                                            std::string_view seqs_name) {
  std::vector<std::vector<ValueConstraint>> out(n);
  if (!v.any_given()) return out;
  const std::array<size_t, 3> outer = {v.min ? v.min->size() : n, v.max ? v.max->size() : n,
                                       v.require_nan ? v.require_nan->size() : n};
  for (size_t k = 0; k < 3; ++k)
    if (outer[k] < n) return fail(length_message(v.names[k], n, seqs_name, outer[k]));
  const size_t first = v.min ? 0 : v.max ? 1 : 2;
  for (size_t i = 0; i < n; ++i) {
    const std::array<size_t, 3> inner = {v.min ? (*v.min)[i].size() : 0, v.max ? (*v.max)[i].size() : 0,
                                         v.require_nan ? (*v.require_nan)[i].size() : 0};
    const std::array<bool, 3> has = {v.min.has_value(), v.max.has_value(), v.require_nan.has_value()};
    const size_t m = inner[first];
    for (size_t k = first + 1; k < 3; ++k)
      if (has[k] && inner[k] < m)
        return fail(length_message(cat(v.names[k], "[", i, "]"), m, cat(v.names[first], "[", i, "]"),
                                   inner[k]));
    out[i].reserve(m);
    for (size_t j = 0; j < m; ++j)
      out[i].push_back(ValueConstraint::from_args(v.min ? (*v.min)[i][j] : NaN,
                                                  v.max ? (*v.max)[i][j] : NaN,
                                                  v.require_nan ? bool((*v.require_nan)[i][j]) : false));
  }
  return out;
}

// Blocking tokens as strings with their constraints, before interning.
struct BlockList {
  std::vector<std::string> tokens;
  std::vector<ValueConstraint> vcs;
};

// The block arguments of the time elements: one block_token with scalar
// constraints, or block_tokens with plural ones, never both.
struct TimeBlockArgs {
  std::optional<std::string> block_token;
  ScalarVals block_val;
  std::optional<std::vector<std::string>> block_tokens;
  PluralVals block_vals;
};

Expected<BlockList> time_block_rule(TimeBlockArgs&& a) {
  if (!a.block_tokens) {
    if (a.block_vals.any_given()) return fail("plural block value constraints require block_tokens");
    if (!a.block_token) return BlockList{};
    return BlockList{{std::move(*a.block_token)}, {a.block_val.constraint()}};
  }
  if (a.block_token) return fail("use either block_token or block_tokens, not both");
  if (a.block_val.any_given())
    return fail("block_min_val/block_max_val/block_require_nan_val apply to block_token; use the "
                "plural value-constraint arguments with block_tokens");
  // Here each given list must match block_tokens exactly, not merely cover them.
  const size_t n = a.block_tokens->size();
  const PluralVals& v = a.block_vals;
  const std::array<size_t, 3> sizes = {v.min ? v.min->size() : n, v.max ? v.max->size() : n,
                                       v.require_nan ? v.require_nan->size() : n};
  for (size_t k = 0; k < 3; ++k)
    if (sizes[k] != n) return fail(length_message(v.names[k], n, "block_tokens", sizes[k]));
  Expected<std::vector<ValueConstraint>> vcs = plural_vcs(v, n, "block_tokens");
  if (!vcs) return fail(vcs.message());
  return BlockList{std::move(*a.block_tokens), std::move(vcs).value()};
}

// ---------------------------------------------------------------- builders' signatures

constexpr Signature<6> PATTERN_SIG{"Pattern",
                                   {{{"min_dt", false},
                                     {"max_dt", false},
                                     {"min_at", false},
                                     {"max_at", false},
                                     {"ordered", false},
                                     {"collector", false}}}};

constexpr Signature<13> ADD_EVENT_SIG{"add_event",
                                      {{{"match_token", true},
                                        {"block_token", false},
                                        {"min_dt", false},
                                        {"max_dt", false},
                                        {"min_at", false},
                                        {"max_at", false},
                                        {"backtrackable", false},
                                        {"min_val", false},
                                        {"max_val", false},
                                        {"require_nan_val", false},
                                        {"block_min_val", false},
                                        {"block_max_val", false},
                                        {"block_require_nan_val", false}}}};
constexpr const char ADD_EVENT_DOC[] =
    "add_event($self, match_token, block_token=None, min_dt=0.0, max_dt=..., min_at=..., "
    "max_at=..., backtrackable=True, min_val=..., max_val=..., require_nan_val=False, "
    "block_min_val=..., block_max_val=..., block_require_nan_val=False)\n--\n\n";

constexpr Signature<13> ADD_EVENT_SET_SIG{"add_event_set",
                                          {{{"match_tokens", true},
                                            {"block_tokens", false},
                                            {"min_dt", false},
                                            {"max_dt", false},
                                            {"min_at", false},
                                            {"max_at", false},
                                            {"backtrackable", false},
                                            {"min_vals", false},
                                            {"max_vals", false},
                                            {"require_nan_vals", false},
                                            {"block_min_vals", false},
                                            {"block_max_vals", false},
                                            {"block_require_nan_vals", false}}}};
constexpr const char ADD_EVENT_SET_DOC[] =
    "add_event_set($self, match_tokens, block_tokens=None, min_dt=0.0, max_dt=..., min_at=..., "
    "max_at=..., backtrackable=True, min_vals=None, max_vals=None, require_nan_vals=None, "
    "block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)\n--\n\n";

constexpr Signature<13> ADD_EVENT_SEQ_SIG{"add_event_seq",
                                          {{{"match_seqs", true},
                                            {"block_seqs", false},
                                            {"min_dt", false},
                                            {"max_dt", false},
                                            {"min_at", false},
                                            {"max_at", false},
                                            {"backtrackable", false},
                                            {"min_vals", false},
                                            {"max_vals", false},
                                            {"require_nan_vals", false},
                                            {"block_min_vals", false},
                                            {"block_max_vals", false},
                                            {"block_require_nan_vals", false}}}};
constexpr const char ADD_EVENT_SEQ_DOC[] =
    "add_event_seq($self, match_seqs, block_seqs=None, min_dt=0.0, max_dt=..., min_at=..., "
    "max_at=..., backtrackable=True, min_vals=None, max_vals=None, require_nan_vals=None, "
    "block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)\n--\n\n";

constexpr Signature<13> ADD_TIME_EVENT_SIG{"add_time_event",
                                           {{{"block_token", false},
                                             {"min_dt", false},
                                             {"max_dt", false},
                                             {"min_at", false},
                                             {"max_at", false},
                                             {"backtrackable", false},
                                             {"block_min_val", false},
                                             {"block_max_val", false},
                                             {"block_require_nan_val", false},
                                             {"block_tokens", false},
                                             {"block_min_vals", false},
                                             {"block_max_vals", false},
                                             {"block_require_nan_vals", false}}}};
constexpr const char ADD_TIME_EVENT_DOC[] =
    "add_time_event($self, block_token=None, min_dt=0.0, max_dt=..., min_at=..., max_at=..., "
    "backtrackable=True, block_min_val=..., block_max_val=..., block_require_nan_val=False, "
    "block_tokens=None, block_min_vals=None, block_max_vals=None, "
    "block_require_nan_vals=None)\n--\n\n";

constexpr Signature<12> ADD_DYNAMIC_EVENT_SIG{"add_dynamic_event",
                                              {{{"static_block_tokens", false},
                                                {"min_dt", false},
                                                {"max_dt", false},
                                                {"min_at", false},
                                                {"max_at", false},
                                                {"backtrackable", false},
                                                {"min_val", false},
                                                {"max_val", false},
                                                {"require_nan_val", false},
                                                {"block_min_vals", false},
                                                {"block_max_vals", false},
                                                {"block_require_nan_vals", false}}}};
constexpr const char ADD_DYNAMIC_EVENT_DOC[] =
    "add_dynamic_event($self, static_block_tokens=None, min_dt=0.0, max_dt=..., min_at=..., "
    "max_at=..., backtrackable=True, min_val=..., max_val=..., require_nan_val=False, "
    "block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)\n--\n\n";

constexpr Signature<15> ADD_DYNAMIC_EVENT_SET_SIG{"add_dynamic_event_set",
                                                  {{{"static_match_tokens", false},
                                                    {"static_block_tokens", false},
                                                    {"match_from_last", false},
                                                    {"block_from_last", false},
                                                    {"min_dt", false},
                                                    {"max_dt", false},
                                                    {"min_at", false},
                                                    {"max_at", false},
                                                    {"backtrackable", false},
                                                    {"min_vals", false},
                                                    {"max_vals", false},
                                                    {"require_nan_vals", false},
                                                    {"block_min_vals", false},
                                                    {"block_max_vals", false},
                                                    {"block_require_nan_vals", false}}}};
constexpr const char ADD_DYNAMIC_EVENT_SET_DOC[] =
    "add_dynamic_event_set($self, static_match_tokens=None, static_block_tokens=None, "
    "match_from_last=False, block_from_last=False, min_dt=0.0, max_dt=..., min_at=..., max_at=..., "
    "backtrackable=True, min_vals=None, max_vals=None, require_nan_vals=None, block_min_vals=None, "
    "block_max_vals=None, block_require_nan_vals=None)\n--\n\n";

constexpr Signature<13> ADD_DYNAMIC_TIME_EVENT_SIG{"add_dynamic_time_event",
                                                   {{{"block_token", false},
                                                     {"rel_min_dt", false},
                                                     {"rel_max_dt", false},
                                                     {"min_at", false},
                                                     {"max_at", false},
                                                     {"backtrackable", false},
                                                     {"block_min_val", false},
                                                     {"block_max_val", false},
                                                     {"block_require_nan_val", false},
                                                     {"block_tokens", false},
                                                     {"block_min_vals", false},
                                                     {"block_max_vals", false},
                                                     {"block_require_nan_vals", false}}}};
constexpr const char ADD_DYNAMIC_TIME_EVENT_DOC[] =
    "add_dynamic_time_event($self, block_token=None, rel_min_dt=0.0, rel_max_dt=..., min_at=..., "
    "max_at=..., backtrackable=True, block_min_val=..., block_max_val=..., "
    "block_require_nan_val=False, block_tokens=None, block_min_vals=None, block_max_vals=None, "
    "block_require_nan_vals=None)\n--\n\n";

constexpr Signature<4> ADD_MAPPED_EVENT_SIG{"add_mapped_event",
                                            {{{"source_element", true},
                                              {"match_map", true},
                                              {"default", false},
                                              {"backtrackable", false}}}};
constexpr const char ADD_MAPPED_EVENT_DOC[] =
    "add_mapped_event($self, source_element, match_map, default=None, backtrackable=True)\n"
    "--\n"
    "\n"
    "Add a mapped (fully dynamic) element.\n"
    "\n"
    "The token(s) that an earlier element matched choose the rule for this one.\n"
    "\n"
    "Args:\n"
    "    source_element: index of the prior pattern element whose matched token\n"
    "        is the key into `match_map` (the tokens of a same-timestamp\n"
    "        sequence form a tuple key).  Must be less than 64.\n"
    "    match_map: dict[str, dict] mapping source token \u2192 event spec.\n"
    "        A key is a str, or a tuple of str for a sequence.  Spec keys:\n"
    "          \"match\"   (required) str for one token, list[str] for a token set,\n"
    "                    or list[list[str]] for same-timestamp sequences.\n"
    "          \"block\"   str or list[str]: a blocking token seen retires the element\n"
    "                    for the rest of the branch, as `block_token` and\n"
    "                    `block_tokens` do for static elements.\n"
    "          \"min_dt\", \"max_dt\"  float: bounds on the time since the previous\n"
    "                    matched element (defaults 0.0 and inf).\n"
    "          \"min_at\", \"max_at\"  float: bounds on the event's own time\n"
    "                    (defaults -inf and inf).\n"
    "          \"min_val\", \"max_val\", \"require_nan_val\"  per-token value constraints,\n"
    "                    lists (lists of lists for sequences).\n"
    "          \"block_min_val\", \"block_max_val\", \"block_require_nan_val\"\n"
    "                    value constraints of the block tokens, one per token.\n"
    "    default: optional fallback spec used when source token is not in match_map.\n"
    "        If None (default), paths whose source token is absent are abandoned.\n"
    "    backtrackable: whether later positions are tried for this element once it\n"
    "        has matched.\n"
    "\n"
    "Example::\n"
    "\n"
    "    p = Pattern()\n"
    "    p.add_event_set([\"SEPSIS\", \"MI\", \"STROKE\", \"PE\"])       # element 0\n"
    "    p.add_mapped_event(0, {\n"
    "        \"SEPSIS\": {\"match\": \"ANTIBIOTIC\"},\n"
    "        \"MI\": {\"match\": \"ASPIRIN\", \"max_dt\": 1.0},\n"
    "        \"STROKE\": {\"match\": \"TPA\", \"max_dt\": 4.5},\n"
    "        \"PE\": {\"match\": [\"HEPARIN\", \"ENOXAPARIN\"], \"max_dt\": 2.0},\n"
    "    })\n";

constexpr Signature<4> ADD_MIDSTREAM_COLLECTOR_SIG{"add_midstream_collector",
                                                   {{{"match_tokens", true},
                                                     {"start_after", true},
                                                     {"stop_before", true},
                                                     {"collector", false}}}};
constexpr const char ADD_MIDSTREAM_COLLECTOR_DOC[] =
    "add_midstream_collector($self, match_tokens, start_after, stop_before, "
    "collector=\"collect_tokens\")\n"
    "--\n"
    "\n"
    "`match_tokens` accepts `list[str]` for single tokens, or `list[list[str]]`\n"
    "for same-timestamp sequences.  The sequence form is needed when one\n"
    "logical item spans several tokens, since collecting only its first token\n"
    "would not identify it.";

// ---------------------------------------------------------------- static elements

struct EventArgs {
  std::string match_token;
  std::optional<std::string> block_token;
  Bounds bounds;
  bool backtrackable = true;
  ScalarVals val;
  ScalarVals block_val;
};

PatternElement build_event(EventArgs&& a) {
  Event e;
  e.token = intern(a.match_token);
  if (a.block_token) e.block_token = intern(*a.block_token);
  e.vc = a.val.constraint();
  e.block_vc = a.block_val.constraint();  // kept without a block token, where it has no effect
  e.bounds = a.bounds;
  e.backtrackable = a.backtrackable;
  return e;
}

struct EventSetArgs {
  std::vector<std::string> match_tokens;
  std::vector<std::string> block_tokens;  // empty when not given
  Bounds bounds;
  bool backtrackable = true;
  PluralVals vals;
  PluralVals block_vals;
};

Expected<PatternElement> build_event_set(EventSetArgs&& a) {
  // Every check before the first token is interned: a refused call interns nothing.
  Expected<std::vector<ValueConstraint>> vcs = plural_vcs(a.vals, a.match_tokens.size(), "match_tokens");
  if (!vcs) return fail(vcs.message());
  Expected<std::vector<ValueConstraint>> block_vcs =
      plural_vcs(a.block_vals, a.block_tokens.size(), "block_tokens");
  if (!block_vcs) return fail(block_vcs.message());
  EventSet e;
  e.match_tokens = intern_each(a.match_tokens);
  e.vcs = std::move(vcs).value();
  e.block_tokens = intern_each(a.block_tokens);
  e.block_vcs = std::move(block_vcs).value();
  e.bounds = a.bounds;
  e.backtrackable = a.backtrackable;
  return PatternElement(std::move(e));
}

struct EventSeqArgs {
  std::vector<std::vector<std::string>> match_seqs;
  std::optional<std::vector<std::vector<std::string>>> block_seqs;
  Bounds bounds;
  bool backtrackable = true;
  PluralSeqVals vals;
  PluralSeqVals block_vals;
};

// Interns each sequence in order, inserting it with its constraints. Unlike
// build_seq_trie, empty sequences are allowed here (they never match).
Trie seq_trie(const std::vector<std::vector<std::string>>& seqs,
              const std::vector<std::vector<ValueConstraint>>& vcs) {
  Trie trie;
  for (size_t i = 0; i < seqs.size(); ++i) trie.insert_with_vals(intern_each(seqs[i]), vcs[i]);
  return trie;
}

Expected<PatternElement> build_event_seq(EventSeqArgs&& a) {
  auto vcs = seq_vcs(a.vals, a.match_seqs.size(), "match_seqs");
  if (!vcs) return fail(vcs.message());
  std::optional<std::vector<std::vector<ValueConstraint>>> block_vcs;
  if (a.block_seqs) {  // without block_seqs the block lists are ignored
    auto b = seq_vcs(a.block_vals, a.block_seqs->size(), "block_seqs");
    if (!b) return fail(b.message());
    block_vcs = std::move(b).value();
  }
  EventSeq e;
  e.match_trie = seq_trie(a.match_seqs, vcs.value());
  if (a.block_seqs) e.block_trie = seq_trie(*a.block_seqs, *block_vcs);
  e.bounds = a.bounds;
  e.backtrackable = a.backtrackable;
  return PatternElement(std::move(e));
}

// The slots shared by add_time_event and add_dynamic_time_event: block_token,
// four window bounds, backtrackable, the three block scalars, block_tokens and
// the three plural block lists, converted in that order. The window bounds
// are returned raw for the caller (their names differ).
struct TimeArgs {
  TimeBlockArgs block;
  std::array<double, 4> window;
  bool backtrackable = true;
};

TimeArgs convert_time_args(PyObject* const* a, const std::array<const char*, 4>& window_names,
                           const std::array<double, 4>& window_defaults) {
  TimeArgs t;
  t.block.block_token = opt_str(a[0], "block_token");
  for (size_t k = 0; k < 4; ++k) t.window[k] = f64_or(a[1 + k], window_names[k], window_defaults[k]);
  t.backtrackable = bool_or(a[5], "backtrackable", true);
  t.block.block_val = convert_scalar_vals(a + 6, BLOCK_VAL);
  t.block.block_tokens = opt_arg(a[9], "block_tokens", arg_str_vec);
  t.block.block_vals = convert_plural_vals(a + 10, BLOCK_VALS);
  return t;
}

// ---------------------------------------------------------------- dynamic elements

struct DynamicEventArgs {
  std::vector<std::string> static_block_tokens;
  Bounds bounds;
  bool backtrackable = true;
  ScalarVals val;
  PluralVals block_vals;
};

Expected<PatternElement> build_dynamic_event(DynamicEventArgs&& a) {
  auto block_vcs = plural_vcs(a.block_vals, a.static_block_tokens.size(), "static_block_tokens");
  if (!block_vcs) return fail(block_vcs.message());
  DynamicEvent e;
  e.vc = a.val.constraint();
  e.static_block_tokens = intern_each(a.static_block_tokens);
  e.block_vcs = std::move(block_vcs).value();
  e.bounds = a.bounds;
  e.match_from_last = true;
  e.backtrackable = a.backtrackable;
  return PatternElement(std::move(e));
}

struct DynamicEventSetArgs {
  std::vector<std::string> static_match_tokens;
  std::vector<std::string> static_block_tokens;
  bool match_from_last = false;
  bool block_from_last = false;
  Bounds bounds;
  bool backtrackable = true;
  PluralVals vals;
  PluralVals block_vals;
};

Expected<PatternElement> build_dynamic_event_set(DynamicEventSetArgs&& a) {
  auto vcs = plural_vcs(a.vals, a.static_match_tokens.size(), "static_match_tokens");
  if (!vcs) return fail(vcs.message());
  auto block_vcs = plural_vcs(a.block_vals, a.static_block_tokens.size(), "static_block_tokens");
  if (!block_vcs) return fail(block_vcs.message());
  DynamicEventSet e;
  e.static_match_tokens = intern_each(a.static_match_tokens);
  e.vcs = std::move(vcs).value();
  e.static_block_tokens = intern_each(a.static_block_tokens);
  e.block_vcs = std::move(block_vcs).value();
  e.match_from_last = a.match_from_last;
  e.block_from_last = a.block_from_last;
  e.bounds = a.bounds;
  e.backtrackable = a.backtrackable;
  return PatternElement(std::move(e));
}

// ---------------------------------------------------------------- mapped elements
//
// The match map is compiled while it is read: for each entry its key's
// tokens are interned, then its spec's block tokens, then its match tokens,
// so ids are given in that order. A failure part-way leaves the tokens
// interned so far in the vocabulary and the pattern unchanged.

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
  if (!key_objects[key]) key_objects[key] = check(PyUnicode_InternFromString(SPEC_KEY_NAMES[key])).keep_for_process();
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

// The three value keys of a spec for the one-token and token-set forms.
PluralVals spec_plural_vals(PyObject* spec, SpecKey first, const Names& names) {
  PluralVals v{names, {}, {}, {}};
  if (Owned o = spec_get(spec, SpecKey(first))) v.min = arg_f64_vec(o.get(), names[0]);
  if (Owned o = spec_get(spec, SpecKey(first + 1))) v.max = arg_f64_vec(o.get(), names[1]);
  if (Owned o = spec_get(spec, SpecKey(first + 2))) v.require_nan = arg_bool_vec(o.get(), names[2]);
  return v;
}

PluralSeqVals spec_plural_seq_vals(PyObject* spec) {
  PluralSeqVals v{VAL, {}, {}, {}};
  if (Owned o = spec_get(spec, K_MIN_VAL)) v.min = arg_f64_vec_vec(o.get(), VAL[0]);
  if (Owned o = spec_get(spec, K_MAX_VAL)) v.max = arg_f64_vec_vec(o.get(), VAL[1]);
  if (Owned o = spec_get(spec, K_REQUIRE_NAN_VAL)) v.require_nan = arg_bool_vec_vec(o.get(), VAL[2]);
  return v;
}

using MatchForm = std::variant<std::string, std::vector<std::string>, std::vector<std::vector<std::string>>>;

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

// Compiles one spec dictionary; the first failure ends the call.
ResolvedElement compile_spec(PyObject* spec) {
  Bounds bounds;
  if (Owned o = spec_get(spec, K_MIN_DT)) bounds.min_dt = arg_f64(o.get(), "min_dt");
  if (Owned o = spec_get(spec, K_MAX_DT)) bounds.max_dt = arg_f64(o.get(), "max_dt");
  if (Owned o = spec_get(spec, K_MIN_AT)) bounds.min_at = arg_f64(o.get(), "min_at");
  if (Owned o = spec_get(spec, K_MAX_AT)) bounds.max_at = arg_f64(o.get(), "max_at");

  std::vector<TokenId> block_tokens;
  std::vector<ValueConstraint> block_vcs;
  if (Owned block = spec_get(spec, K_BLOCK)) {  // the block value keys are read only with "block"
    block_tokens = intern_each(str_or_str_vec(block.get(), "block"));
    PluralVals v = spec_plural_vals(spec, K_BLOCK_MIN_VAL, BLOCK_VAL);
    block_vcs = value_or_raise(plural_vcs(v, block_tokens.size(), "block"));
  }

  Owned match = spec_get(spec, K_MATCH);
  if (!match) throw ValueError("mapped event spec must contain 'match' key");
  MatchForm form = spec_match_form(match.get());

  if (auto* token = std::get_if<std::string>(&form)) {
    // One token reads the first entry of each value list, if any.
    PluralVals v = spec_plural_vals(spec, K_MIN_VAL, VAL);
    const double min = v.min && !v.min->empty() ? v.min->front() : NaN;
    const double max = v.max && !v.max->empty() ? v.max->front() : NaN;
    const bool require_nan = v.require_nan && !v.require_nan->empty() && v.require_nan->front();
    return ResolvedElement::single(intern(*token), ValueConstraint::from_args(min, max, require_nan),
                                   std::move(block_tokens), std::move(block_vcs), bounds);
  }
  ResolvedElement r;
  if (auto* set = std::get_if<std::vector<std::string>>(&form)) {
    PluralVals v = spec_plural_vals(spec, K_MIN_VAL, VAL);
    r.vcs = value_or_raise(plural_vcs(v, set->size(), "match"));
    r.tokens = intern_each(*set);
  } else {
    auto& seqs = std::get<std::vector<std::vector<std::string>>>(form);
    auto vcs = value_or_raise(seq_vcs(spec_plural_seq_vals(spec), seqs.size(), "match"));
    r.seq_trie = seq_trie(seqs, vcs);
  }
  r.block_tokens = std::move(block_tokens);
  r.block_vcs = std::move(block_vcs);
  r.bounds = bounds;
  return r;
}

// The engine's per-element tables have 64 slots, so a larger source index
// could never be served; it is refused here rather than when matching.
constexpr uint64_t MAX_SOURCE_ELEMENT = MAX_PATTERN_ELEMENTS - 1;

PatternElement build_mapped_event(uint64_t source_element, PyObject* match_map, PyObject* default_spec,
                                  bool backtrackable) {
  MappedEvent e;
  e.source_element = static_cast<uint32_t>(source_element);
  e.backtrackable = backtrackable;
  // A snapshot of the entries: converting a spec runs Python code, which
  // must not be able to change the dictionary under the walk.
  Owned items = check(PyDict_Items(match_map));
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  e.map.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* entry = PyList_GET_ITEM(items.get(), i);  // a (key, spec) tuple that items owns
    PyObject* key = PyTuple_GET_ITEM(entry, 0);
    PyObject* spec = PyTuple_GET_ITEM(entry, 1);
    std::vector<TokenId> ids = intern_each(match_map_key(key));
    if (!PyDict_Check(spec))
      throw_arg_type_error("match_map", cat("each spec must be a dict, got '", type_name(spec), "'"));
    e.map.insert_or_assign(std::move(ids), compile_spec(spec));  // of equal keys the last wins
  }
  if (default_spec) e.default_element = compile_spec(default_spec);
  return e;
}

// ---------------------------------------------------------------- midstream collector

// list[str] (each string a one-token sequence) or list[list[str]].
std::vector<std::vector<std::string>> midstream_sequences(PyObject* obj) {
  if (auto singles = try_form([&] { return arg_str_vec(obj, "match_tokens"); })) {
    std::vector<std::vector<std::string>> seqs;
    seqs.reserve(singles->size());
    for (std::string& s : *singles) seqs.push_back({std::move(s)});
    return seqs;
  }
  auto seqs = try_form([&] { return arg_str_vec_vec(obj, "match_tokens"); });
  if (!seqs) throw TypeError("match_tokens must be list[str] or list[list[str]]");
  for (const auto& s : *seqs)
    if (s.empty()) throw ValueError("match_tokens sequences must not be empty");
  return std::move(*seqs);
}

// ---------------------------------------------------------------- entry points

Owned none() { return Owned::borrow(Py_None); }

PyObject* py_pattern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    auto a = bind(PATTERN_SIG, args, kwargs);
    Pattern p;
    p.min_dt = f64_or(a[0], "min_dt", p.min_dt);
    p.max_dt = f64_or(a[1], "max_dt", p.max_dt);
    p.min_at = f64_or(a[2], "min_at", p.min_at);
    p.max_at = f64_or(a[3], "max_at", p.max_at);
    p.ordered = bool_or(a[4], "ordered", true);
    if (a[5]) p.collector = value_or_raise(collector_from_name(arg_str(a[5], "collector")));
    return wrap(type, std::move(p));
  });
}

PyObject* py_pattern_repr(PyObject* self) noexcept {
  return guarded([&] {
    Shared<Pattern> p{self};
    return made(PyUnicode_FromString(pattern_repr(*p).c_str()));
  });
}

PyObject* py_pattern_add_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_EVENT_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};  // held through every conversion: callbacks meet a borrow error
    EventArgs e;
    e.match_token = std::string(arg_str(a[0], "match_token"));
    e.block_token = opt_str(a[1], "block_token");
    e.bounds = convert_bounds(a.data() + 2);
    e.backtrackable = bool_or(a[6], "backtrackable", true);
    e.val = convert_scalar_vals(a.data() + 7, VAL);
    e.block_val = convert_scalar_vals(a.data() + 10, BLOCK_VAL);
    p->elements.push_back(build_event(std::move(e)));
    return none();
  });
}

PyObject* py_pattern_add_event_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_EVENT_SET_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    EventSetArgs e;
    e.match_tokens = arg_str_vec(a[0], "match_tokens");
    e.block_tokens = opt_arg(a[1], "block_tokens", arg_str_vec).value_or(std::vector<std::string>{});
    e.bounds = convert_bounds(a.data() + 2);
    e.backtrackable = bool_or(a[6], "backtrackable", true);
    e.vals = convert_plural_vals(a.data() + 7, VALS);
    e.block_vals = convert_plural_vals(a.data() + 10, BLOCK_VALS);
    p->elements.push_back(value_or_raise(build_event_set(std::move(e))));
    return none();
  });
}

PyObject* py_pattern_add_event_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_EVENT_SEQ_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    EventSeqArgs e;
    e.match_seqs = arg_str_vec_vec(a[0], "match_seqs");
    e.block_seqs = opt_arg(a[1], "block_seqs", arg_str_vec_vec);
    e.bounds = convert_bounds(a.data() + 2);
    e.backtrackable = bool_or(a[6], "backtrackable", true);
    e.vals = convert_plural_seq_vals(a.data() + 7, VALS);
    e.block_vals = convert_plural_seq_vals(a.data() + 10, BLOCK_VALS);
    p->elements.push_back(value_or_raise(build_event_seq(std::move(e))));
    return none();
  });
}

PyObject* py_pattern_add_time_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_TIME_EVENT_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    const Bounds d;
    TimeArgs t = convert_time_args(a.data(), {"min_dt", "max_dt", "min_at", "max_at"},
                                   {d.min_dt, d.max_dt, d.min_at, d.max_at});
    BlockList block = value_or_raise(time_block_rule(std::move(t.block)));
    TimeEvent e;
    e.block_tokens = intern_each(block.tokens);
    e.block_vcs = std::move(block.vcs);
    e.bounds = Bounds{t.window[0], t.window[1], t.window[2], t.window[3]};
    e.backtrackable = t.backtrackable;
    p->elements.push_back(std::move(e));
    return none();
  });
}

PyObject* py_pattern_add_dynamic_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_DYNAMIC_EVENT_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    DynamicEventArgs e;
    e.static_block_tokens =
        opt_arg(a[0], "static_block_tokens", arg_str_vec).value_or(std::vector<std::string>{});
    e.bounds = convert_bounds(a.data() + 1);
    e.backtrackable = bool_or(a[5], "backtrackable", true);
    e.val = convert_scalar_vals(a.data() + 6, VAL);
    e.block_vals = convert_plural_vals(a.data() + 9, BLOCK_VALS);
    p->elements.push_back(value_or_raise(build_dynamic_event(std::move(e))));
    return none();
  });
}

PyObject* py_pattern_add_dynamic_event_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_DYNAMIC_EVENT_SET_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    DynamicEventSetArgs e;
    e.static_match_tokens =
        opt_arg(a[0], "static_match_tokens", arg_str_vec).value_or(std::vector<std::string>{});
    e.static_block_tokens =
        opt_arg(a[1], "static_block_tokens", arg_str_vec).value_or(std::vector<std::string>{});
    e.match_from_last = bool_or(a[2], "match_from_last", false);
    e.block_from_last = bool_or(a[3], "block_from_last", false);
    e.bounds = convert_bounds(a.data() + 4);
    e.backtrackable = bool_or(a[8], "backtrackable", true);
    e.vals = convert_plural_vals(a.data() + 9, VALS);
    e.block_vals = convert_plural_vals(a.data() + 12, BLOCK_VALS);
    p->elements.push_back(value_or_raise(build_dynamic_event_set(std::move(e))));
    return none();
  });
}

PyObject* py_pattern_add_dynamic_time_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_DYNAMIC_TIME_EVENT_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    const DynamicTimeEvent d;
    TimeArgs t = convert_time_args(a.data(), {"rel_min_dt", "rel_max_dt", "min_at", "max_at"},
                                   {d.rel_min_dt, d.rel_max_dt, d.min_at, d.max_at});
    BlockList block = value_or_raise(time_block_rule(std::move(t.block)));
    DynamicTimeEvent e;
    e.block_tokens = intern_each(block.tokens);
    e.block_vcs = std::move(block.vcs);
    e.rel_min_dt = t.window[0];
    e.rel_max_dt = t.window[1];
    e.min_at = t.window[2];
    e.max_at = t.window[3];
    e.backtrackable = t.backtrackable;
    p->elements.push_back(std::move(e));
    return none();
  });
}

PyObject* py_pattern_add_mapped_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_MAPPED_EVENT_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    const uint64_t source_element = arg_u64(a[0], "source_element");
    if (!PyDict_Check(a[1]))
      throw_arg_type_error("match_map", cat("expected dict, got '", type_name(a[1]), "'"));
    PyObject* default_spec = given(a[2]) ? a[2] : nullptr;
    if (default_spec && !PyDict_Check(default_spec))
      throw_arg_type_error("default", cat("expected dict or None, got '", type_name(default_spec), "'"));
    const bool backtrackable = bool_or(a[3], "backtrackable", true);
    if (source_element > MAX_SOURCE_ELEMENT)
      throw ValueError(cat("source_element must be less than ", MAX_PATTERN_ELEMENTS, " (got ",
                           source_element, ")"));
    p->elements.push_back(build_mapped_event(source_element, a[1], default_spec, backtrackable));
    return none();
  });
}

PyObject* py_pattern_add_midstream_collector(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  return guarded([&] {
    auto a = bind(ADD_MIDSTREAM_COLLECTOR_SIG, args, nargs, kwnames);
    Exclusive<Pattern> p{self};
    const std::vector<uint64_t> start_after = arg_u64_vec(a[1], "start_after");
    const std::vector<uint64_t> stop_before = arg_u64_vec(a[2], "stop_before");
    const std::string collector = a[3] ? std::string(arg_str(a[3], "collector")) : "collect_tokens";
    const std::vector<std::vector<std::string>> seqs = midstream_sequences(a[0]);
    MidstreamCollector m;
    m.start_after = element_index_mask(start_after);
    m.stop_before = element_index_mask(stop_before);
    // Interned before the name is checked: an unknown name leaves these
    // tokens in the vocabulary, and the pattern as it was.
    m.match_trie = build_seq_trie(seqs);
    m.collector = value_or_raise(collector_from_name(collector));
    p->midstream = std::move(m);
    return none();
  });
}

PyMethodDef PATTERN_METHODS[] = {
    {"add_event", ZC_FASTCALL(py_pattern_add_event), METH_FASTCALL | METH_KEYWORDS, ADD_EVENT_DOC},
    {"add_event_set", ZC_FASTCALL(py_pattern_add_event_set), METH_FASTCALL | METH_KEYWORDS,
     ADD_EVENT_SET_DOC},
    {"add_event_seq", ZC_FASTCALL(py_pattern_add_event_seq), METH_FASTCALL | METH_KEYWORDS,
     ADD_EVENT_SEQ_DOC},
    {"add_time_event", ZC_FASTCALL(py_pattern_add_time_event), METH_FASTCALL | METH_KEYWORDS,
     ADD_TIME_EVENT_DOC},
    {"add_mapped_event", ZC_FASTCALL(py_pattern_add_mapped_event), METH_FASTCALL | METH_KEYWORDS,
     ADD_MAPPED_EVENT_DOC},
    {"add_dynamic_event", ZC_FASTCALL(py_pattern_add_dynamic_event), METH_FASTCALL | METH_KEYWORDS,
     ADD_DYNAMIC_EVENT_DOC},
    {"add_dynamic_event_set", ZC_FASTCALL(py_pattern_add_dynamic_event_set),
     METH_FASTCALL | METH_KEYWORDS, ADD_DYNAMIC_EVENT_SET_DOC},
    {"add_dynamic_time_event", ZC_FASTCALL(py_pattern_add_dynamic_time_event),
     METH_FASTCALL | METH_KEYWORDS, ADD_DYNAMIC_TIME_EVENT_DOC},
    {"add_midstream_collector", ZC_FASTCALL(py_pattern_add_midstream_collector),
     METH_FASTCALL | METH_KEYWORDS, ADD_MIDSTREAM_COLLECTOR_DOC},
    {"__reduce__", py_pattern_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot PATTERN_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Pattern(min_dt=0.0, max_dt=..., min_at=..., max_at=..., ordered=True, "
                                  "collector=\"none\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py_pattern_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Pattern>)},
    {Py_tp_repr, reinterpret_cast<void*>(py_pattern_repr)},
    {Py_tp_methods, PATTERN_METHODS},
    {0, nullptr},
};
PyType_Spec PATTERN_SPEC = {"zuldcore.Pattern", sizeof(Wrapper<Pattern>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, PATTERN_SLOTS};
PyTypeObject* pattern = nullptr;

}  // namespace

PyTypeObject* pattern_type() { return make_type_once(pattern, &PATTERN_SPEC); }

bool is_pattern(PyObject* obj) { return PyObject_TypeCheck(obj, pattern_type()); }

Pattern pattern_copy(PyObject* obj) {
  ZC_ENSURE(is_pattern(obj), "pattern_copy of a '", type_name(obj), "'");
  Shared<Pattern> p{obj};
  return *p;
}

}  // namespace zuldcore
