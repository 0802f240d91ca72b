// Pickling by value. A state is a version number and the public calls that
// rebuild the object: the constructor's keyword arguments and the builder
// calls in order, with tokens as strings. The loaders replay those calls on
// the public classes, so every check a builder makes also checks a loaded
// state; the loaders themselves check only the state's shape and that it
// holds nothing but plain data, so no foreign code runs while it is read.
#include "lib/py_pickle.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "annotate/annotate.hpp"
#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/py_pattern.hpp"
#include "lib/py_state.hpp"
#include "lib/wrapper.hpp"
#include "state/call_order.hpp"
#include "state/machine.hpp"
#include "types/trie_sequences.hpp"

namespace zuldcore {
namespace {

// The one state layout so far. A later layout gets a new number; a loader
// refuses numbers it does not know rather than guess.
constexpr long STATE_VERSION = 1;
// Real states nest about eight levels (calls, a match map, a spec, a list of
// sequences); the bound keeps a hostile state from exhausting the stack.
constexpr int MAX_STATE_DEPTH = 16;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// ================================================================ writing states

// Bitwise equality: a default is left out only when the value is exactly
// it, so -0.0 is written where the default is 0.0.
bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

Owned py_float(double v) { return made(PyFloat_FromDouble(v)); }
Owned py_bool(bool v) { return Owned::borrow(v ? Py_True : Py_False); }
Owned py_uint(uint64_t v) { return made(PyLong_FromUnsignedLongLong(v)); }
Owned py_int(int64_t v) { return made(PyLong_FromLongLong(v)); }
Owned py_name(const char* s) { return made(PyUnicode_InternFromString(s)); }
Owned new_list() { return made(PyList_New(0)); }
void append(const Owned& list, const Owned& item) { check_rc(PyList_Append(list.get(), item.get())); }
Owned pair(const Owned& a, const Owned& b) { return made(PyTuple_Pack(2, a.get(), b.get())); }

// The strings of one state, each made once: pickle writes an object it has
// already written as a back-reference, so a token that recurs across
// elements costs a few bytes after its first use. Token ids are resolved
// here, in the process that wrote them.
class Strings {
 public:
  Owned text(std::string_view s) {
    auto it = by_text_.find(std::string(s));
    if (it == by_text_.end()) {
      Owned str = made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
      it = by_text_.emplace(std::string(s), std::move(str)).first;
    }
    return Owned::borrow(it->second.get());
  }
  Owned token(TokenId id) {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) it = by_id_.emplace(id, text(resolve_batch(std::span(&id, 1)).front())).first;
    return Owned::borrow(it->second.get());
  }
  Owned tokens(std::span<const TokenId> ids) {
    Owned list = new_list();
    for (TokenId id : ids) append(list, token(id));
    return list;
  }
  Owned texts(std::span<const std::string> items) {
    Owned list = new_list();
    for (const std::string& s : items) append(list, text(s));
    return list;
  }

 private:
  std::unordered_map<std::string, Owned> by_text_;
  std::unordered_map<TokenId, Owned> by_id_;
};

// Keyword arguments of one call, in the order they are set.
class Kwargs {
 public:
  Kwargs() : dict_(made(PyDict_New())) {}
  // Keys are interned by PyDict_SetItemString, so each name is written once per pickle.
  void set(const char* key, const Owned& value) {
    check_rc(PyDict_SetItemString(dict_.get(), key, value.get()));
  }
  const Owned& dict() const noexcept { return dict_; }

 private:
  Owned dict_;
};

Owned call(const char* method, const Kwargs& kw) { return pair(py_name(method), kw.dict()); }

Owned state_tuple(const Owned& arguments, const Owned& calls) {
  Owned version = py_int(STATE_VERSION);
  return made(PyTuple_Pack(3, version.get(), arguments.get(), calls.get()));
}

// ---------------------------------------------------------------- tries

Owned sequence_lists(Strings& s, const std::vector<StoredSequence>& seqs) {
  Owned list = new_list();
  for (const StoredSequence& q : seqs) append(list, s.tokens(q.tokens));
  return list;
}

// ---------------------------------------------------------------- value constraints

using Names = std::array<const char*, 3>;  // the (min, max, require-NaN) parameters

constexpr Names VAL = {"min_val", "max_val", "require_nan_val"};
constexpr Names BLOCK_VAL = {"block_min_val", "block_max_val", "block_require_nan_val"};
constexpr Names VALS = {"min_vals", "max_vals", "require_nan_vals"};
constexpr Names BLOCK_VALS = {"block_min_vals", "block_max_vals", "block_require_nan_vals"};

// The builders' arguments for one constraint: a range gives its bounds, a
// NaN requirement its flag, Any neither (a NaN bound reads as "not given").
struct VcArgs {
  double min = NaN;
  double max = NaN;
  bool require_nan = false;
};
VcArgs vc_args(const ValueConstraint& c) {
  switch (c.kind) {
    case ValueConstraint::Kind::Range:
      return {c.min, c.max, false};
    case ValueConstraint::Kind::RequireNan:
      return {NaN, NaN, true};
    case ValueConstraint::Kind::Any:
      break;
  }
  return {};
}

void put_scalar(Kwargs& kw, const ValueConstraint& c, const Names& names) {
  const VcArgs a = vc_args(c);
  if (c.kind == ValueConstraint::Kind::Range) {
    kw.set(names[0], py_float(a.min));
    kw.set(names[1], py_float(a.max));
  } else if (a.require_nan) {
    kw.set(names[2], py_bool(true));
  }
}

// Which of the three lists a run of constraints needs: min and max where
// some entry is a range, the flags where some entry requires NaN.
struct Needed {
  bool bounds = false;
  bool flags = false;
};
Needed needed(std::span<const ValueConstraint> vcs, Needed n = {}) {
  for (const ValueConstraint& c : vcs) {
    n.bounds |= c.kind == ValueConstraint::Kind::Range;
    n.flags |= c.kind == ValueConstraint::Kind::RequireNan;
  }
  return n;
}

// The plural lists, one entry per token, that rebuild `vcs`. An array of
// unconstrained entries is not the same value as an empty one, so it is
// written as a list of False flags.
void put_plural(Kwargs& kw, std::span<const ValueConstraint> vcs, const Names& names) {
  if (vcs.empty()) return;
  Needed n = needed(vcs);
  if (!n.bounds) n.flags = true;
  std::array<Owned, 3> lists;
  for (size_t k = 0; k < 3; ++k) lists[k] = new_list();
  for (const ValueConstraint& c : vcs) {
    const VcArgs a = vc_args(c);
    append(lists[0], py_float(a.min));
    append(lists[1], py_float(a.max));
    append(lists[2], py_bool(a.require_nan));
  }
  if (n.bounds) {
    kw.set(names[0], lists[0]);
    kw.set(names[1], lists[1]);
  }
  if (n.flags) kw.set(names[2], lists[2]);
}

// The list-of-lists form for sequences: inner list i as long as sequence i.
// A trie reads Any past a short list, so unconstrained sequences need none.
void put_sequence_plural(Kwargs& kw, const std::vector<StoredSequence>& seqs, const Names& names) {
  Needed n;
  for (const StoredSequence& q : seqs) n = needed(q.constraints, n);
  if (!n.bounds && !n.flags) return;
  std::array<Owned, 3> outer;
  for (size_t k = 0; k < 3; ++k) outer[k] = new_list();
  for (const StoredSequence& q : seqs) {
    std::array<Owned, 3> inner;
    for (size_t k = 0; k < 3; ++k) inner[k] = new_list();
    for (const ValueConstraint& c : q.constraints) {
      const VcArgs a = vc_args(c);
      append(inner[0], py_float(a.min));
      append(inner[1], py_float(a.max));
      append(inner[2], py_bool(a.require_nan));
    }
    for (size_t k = 0; k < 3; ++k) append(outer[k], inner[k]);
  }
  if (n.bounds) {
    kw.set(names[0], outer[0]);
    kw.set(names[1], outer[1]);
  }
  if (n.flags) kw.set(names[2], outer[2]);
}

// ---------------------------------------------------------------- patterns

void put_f64(Kwargs& kw, const char* name, double v, double fallback) {
  if (!same_bits(v, fallback)) kw.set(name, py_float(v));
}

void put_bounds(Kwargs& kw, const Bounds& b) {
  const Bounds d;
  put_f64(kw, "min_dt", b.min_dt, d.min_dt);
  put_f64(kw, "max_dt", b.max_dt, d.max_dt);
  put_f64(kw, "min_at", b.min_at, d.min_at);
  put_f64(kw, "max_at", b.max_at, d.max_at);
}

void put_backtrackable(Kwargs& kw, bool backtrackable) {
  if (!backtrackable) kw.set("backtrackable", py_bool(false));
}

void put_tokens(Kwargs& kw, Strings& s, const char* name, std::span<const TokenId> ids) {
  if (!ids.empty()) kw.set(name, s.tokens(ids));
}

// One builder call per element, as (method name, keyword arguments).
class PatternWriter {
 public:
  explicit PatternWriter(Strings& s) : s_(s) {}

  Owned state(const Pattern& p) {
    Kwargs args;
    const Pattern d;
    put_f64(args, "min_dt", p.min_dt, d.min_dt);
    put_f64(args, "max_dt", p.max_dt, d.max_dt);
    put_f64(args, "min_at", p.min_at, d.min_at);
    put_f64(args, "max_at", p.max_at, d.max_at);
    if (!p.ordered) args.set("ordered", py_bool(false));
    if (p.collector != d.collector) args.set("collector", collector(p.collector));
    Owned calls = new_list();
    for (const PatternElement& e : p.elements)
      append(calls, std::visit([&](const auto& el) { return element(el); }, e));
    if (p.midstream) append(calls, midstream(*p.midstream));
    return state_tuple(args.dict(), calls);
  }

 private:
  Owned collector(CollectorStrategy c) { return s_.text(collector_python_name(c)); }

  Owned element(const Event& e) {
    Kwargs kw;
    kw.set("match_token", s_.token(e.token));
    if (e.block_token) kw.set("block_token", s_.token(*e.block_token));
    put_bounds(kw, e.bounds);
    put_backtrackable(kw, e.backtrackable);
    put_scalar(kw, e.vc, VAL);
    put_scalar(kw, e.block_vc, BLOCK_VAL);  // kept without a block token, as the builder keeps it
    return call("add_event", kw);
  }

  Owned element(const EventSet& e) {
    Kwargs kw;
    kw.set("match_tokens", s_.tokens(e.match_tokens));
    put_tokens(kw, s_, "block_tokens", e.block_tokens);
    put_bounds(kw, e.bounds);
    put_backtrackable(kw, e.backtrackable);
    put_plural(kw, e.vcs, VALS);
    put_plural(kw, e.block_vcs, BLOCK_VALS);
    return call("add_event_set", kw);
  }

  Owned element(const EventSeq& e) {
    Kwargs kw;
    const std::vector<StoredSequence> match = stored_sequences(e.match_trie);
    kw.set("match_seqs", sequence_lists(s_, match));
    put_sequence_plural(kw, match, VALS);
    if (e.block_trie) {
      const std::vector<StoredSequence> block = stored_sequences(*e.block_trie);
      kw.set("block_seqs", sequence_lists(s_, block));
      put_sequence_plural(kw, block, BLOCK_VALS);
    }
    put_bounds(kw, e.bounds);
    put_backtrackable(kw, e.backtrackable);
    return call("add_event_seq", kw);
  }

  Owned element(const TimeEvent& e) {
    Kwargs kw;
    put_tokens(kw, s_, "block_tokens", e.block_tokens);
    put_plural(kw, e.block_vcs, BLOCK_VALS);
    put_bounds(kw, e.bounds);
    put_backtrackable(kw, e.backtrackable);
    return call("add_time_event", kw);
  }

  Owned element(const DynamicTimeEvent& e) {
    Kwargs kw;
    const DynamicTimeEvent d;
    put_tokens(kw, s_, "block_tokens", e.block_tokens);
    put_plural(kw, e.block_vcs, BLOCK_VALS);
    put_f64(kw, "rel_min_dt", e.rel_min_dt, d.rel_min_dt);
    put_f64(kw, "rel_max_dt", e.rel_max_dt, d.rel_max_dt);
    put_f64(kw, "min_at", e.min_at, d.min_at);
    put_f64(kw, "max_at", e.max_at, d.max_at);
    put_backtrackable(kw, e.backtrackable);
    return call("add_dynamic_time_event", kw);
  }

  Owned element(const DynamicEvent& e) {
    Kwargs kw;
    put_tokens(kw, s_, "static_block_tokens", e.static_block_tokens);
    put_plural(kw, e.block_vcs, BLOCK_VALS);
    put_bounds(kw, e.bounds);
    put_backtrackable(kw, e.backtrackable);
    put_scalar(kw, e.vc, VAL);
    return call("add_dynamic_event", kw);
  }

  Owned element(const DynamicEventSet& e) {
    Kwargs kw;
    put_tokens(kw, s_, "static_match_tokens", e.static_match_tokens);
    put_plural(kw, e.vcs, VALS);
    put_tokens(kw, s_, "static_block_tokens", e.static_block_tokens);
    put_plural(kw, e.block_vcs, BLOCK_VALS);
    if (e.match_from_last) kw.set("match_from_last", py_bool(true));
    if (e.block_from_last) kw.set("block_from_last", py_bool(true));
    put_bounds(kw, e.bounds);
    put_backtrackable(kw, e.backtrackable);
    return call("add_dynamic_event_set", kw);
  }

  // A match-map spec. A token list is written as a list even for one token:
  // the one-token form compiles to the same rule as a one-token list with
  // value lists.
  Owned spec(const ResolvedElement& r) {
    Kwargs kw;
    if (r.seq_trie) {
      const std::vector<StoredSequence> seqs = stored_sequences(*r.seq_trie);
      kw.set("match", sequence_lists(s_, seqs));
      put_sequence_plural(kw, seqs, VAL);
    } else {
      kw.set("match", s_.tokens(r.tokens));
      put_plural(kw, r.vcs, VAL);
    }
    put_tokens(kw, s_, "block", r.block_tokens);
    put_plural(kw, r.block_vcs, BLOCK_VAL);
    put_bounds(kw, r.bounds);
    return Owned::borrow(kw.dict().get());
  }

  Owned element(const MappedEvent& e) {
    // Entries in the order of their keys' strings, so that equal patterns
    // give equal pickles whatever the ids or the hash table's layout.
    std::vector<std::pair<std::vector<std::string>, const ResolvedElement*>> entries;
    entries.reserve(e.map.size());
    for (const auto& [key, rule] : e.map) entries.emplace_back(resolve_batch(key), &rule);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Owned map = made(PyDict_New());
    for (const auto& [key, rule] : entries) {
      Owned items = s_.texts(key);
      Owned tuple = made(PyList_AsTuple(items.get()));
      check_rc(PyDict_SetItem(map.get(), tuple.get(), spec(*rule).get()));
    }
    Kwargs kw;
    kw.set("source_element", py_uint(e.source_element));
    kw.set("match_map", map);
    if (e.default_element) kw.set("default", spec(*e.default_element));
    put_backtrackable(kw, e.backtrackable);
    return call("add_mapped_event", kw);
  }

  Owned midstream(const MidstreamCollector& m) {
    const std::vector<StoredSequence> seqs = stored_sequences(m.match_trie);
    const bool singles =
        std::all_of(seqs.begin(), seqs.end(), [](const StoredSequence& q) { return q.tokens.size() == 1; });
    Owned match = new_list();
    for (const StoredSequence& q : seqs) append(match, singles ? s_.token(q.tokens[0]) : s_.tokens(q.tokens));
    Kwargs kw;
    kw.set("match_tokens", match);
    kw.set("start_after", mask_indices(m.start_after));
    kw.set("stop_before", mask_indices(m.stop_before));
    if (m.collector != CollectorStrategy::CollectTokens) kw.set("collector", collector(m.collector));
    return call("add_midstream_collector", kw);
  }

  static Owned mask_indices(uint64_t mask) {
    Owned list = new_list();
    for (; mask != 0; mask &= mask - 1) append(list, py_uint(static_cast<uint64_t>(std::countr_zero(mask))));
    return list;
  }

  Strings& s_;
};

Owned pattern_object(const Pattern& p) { return wrap(pattern_type(), Pattern(p)); }

// ---------------------------------------------------------------- state machines

Owned token_ref_value(Strings& s, const TokenRef& ref) {
  struct Visit {
    Strings& s;
    Owned operator()(const TokenRef::Single& r) { return s.text(r.token); }
    Owned operator()(const TokenRef::Set& r) { return s.texts(r.tokens); }
    Owned operator()(const TokenRef::Sequences& r) { return sequence_lists(s, stored_sequences(r.trie)); }
    Owned operator()(const TokenRef::PatternForm& r) { return pattern_object(r.pattern); }
  };
  return std::visit(Visit{s}, ref.form);
}

// The constructor and the builder calls, in the order that registers every
// trigger at its own index again (state/call_order.hpp).
class MachineWriter {
 public:
  MachineWriter(Strings& s, const StateMachineDecl& m) : s_(s), m_(m) {}

  Owned state() {
    Kwargs args;
    if (m_.out_name != "out") args.set("out_name", s_.text(m_.out_name));
    Owned calls = new_list();
    for (const BuilderCall& c : builder_call_order(m_)) {
      switch (c.kind) {
        case BuilderCall::Kind::State: append(calls, state_call(c.index)); break;
        case BuilderCall::Kind::Entry: append(calls, entry_call(c.index)); break;
        case BuilderCall::Kind::Exit: append(calls, exit_call(c.index)); break;
      }
    }
    return state_tuple(args.dict(), calls);
  }

 private:
  Owned trigger(uint32_t k) { return token_ref_value(s_, m_.triggers.at(k).ref); }
  Owned name(uint32_t id) { return s_.text(m_.names.at(id)); }

  void put_anchor(Kwargs& kw, uint32_t k) {
    if (m_.triggers.at(k).anchor == Anchor::Start) kw.set("anchor", s_.text("start"));
  }

  Owned state_call(size_t k) {
    const StateDef& d = m_.states[k];
    const StateDef fallback;
    Kwargs kw;
    kw.set("name", name(static_cast<uint32_t>(k + 1)));
    put_f64(kw, "max_gap", d.max_gap, fallback.max_gap);
    if (d.gap_anchor != fallback.gap_anchor) kw.set("gap_anchor", s_.text(gap_anchor_name(d.gap_anchor)));
    if (m_.sustain_given[k]) kw.set("sustain", trigger(d.sustain.at(0)));
    if (d.self_transition != fallback.self_transition)
      kw.set("self_transition", s_.text(self_transition_name(d.self_transition)));
    put_f64(kw, "min_duration", d.min_duration, fallback.min_duration);
    if (d.min_events != fallback.min_events) kw.set("min_events", py_uint(d.min_events));
    if (!d.require.empty()) {
      Owned require = new_list();
      for (uint32_t r : d.require) append(require, trigger(r));
      kw.set("require", require);
    }
    if (!d.drop_unclosed) kw.set("drop_unclosed", py_bool(false));
    if (m_.timeout_names[k]) kw.set("timeout_to", s_.text(*m_.timeout_names[k]));
    return call("add_state", kw);
  }

  Owned entry_call(size_t k) {
    const EntryRule& r = m_.entries[k];
    Kwargs kw;
    kw.set("state", name(r.state));
    kw.set("trigger", trigger(r.trigger));
    if (!r.from_states.empty()) {
      Owned from = new_list();
      for (uint32_t id : r.from_states) append(from, name(id));
      kw.set("from_states", from);
    }
    put_anchor(kw, r.trigger);
    return call("add_entry", kw);
  }

  Owned exit_call(size_t k) {
    const ExitRule& r = m_.exits[k];
    Kwargs kw;
    kw.set("state", name(r.state));
    kw.set("trigger", trigger(r.trigger));
    if (!r.inclusive) kw.set("inclusive", py_bool(false));
    put_anchor(kw, r.trigger);
    return call("add_exit", kw);
  }

  Strings& s_;
  const StateMachineDecl& m_;
};

Owned machine_object(const StateMachineDecl& m) { return wrap(state_machine_type(), StateMachineDecl(m)); }

// ---------------------------------------------------------------- annotation specs

// The constructor's name and its keyword arguments.
class SpecWriter {
 public:
  explicit SpecWriter(Strings& s) : s_(s) {}

  Owned state(const AnnotationSpec& spec) {
    Kwargs kw;
    kw.set("name", s_.text(spec.name));
    const char* constructor = std::visit([&](const auto& k) { return put(kw, k); }, spec.kind);
    Owned version = py_int(STATE_VERSION);
    Owned name = py_name(constructor);
    return made(PyTuple_Pack(3, version.get(), name.get(), kw.dict().get()));
  }

 private:
  Owned ref(const TokenRef& r) { return token_ref_value(s_, r); }
  Owned span(const SpanRef& r) {
    struct Visit {
      Strings& s;
      Owned operator()(const SpanRef::PatternForm& f) { return pattern_object(f.pattern); }
      Owned operator()(const SpanRef::TokenPair& p) {
        Owned start = s.text(p.start_token), end = s.text(p.end_token);
        return pair(start, end);
      }
      Owned operator()(const StateSpanRef& ref) { return wrap(state_span_type(), StateSpanRef(ref)); }
    };
    return std::visit(Visit{s_}, r.form);
  }
  void put_window(Kwargs& kw, double window_t, bool partial_window) {
    kw.set("window_t", py_float(window_t));
    if (partial_window) kw.set("partial_window", py_bool(true));
  }

  const char* put(Kwargs& kw, const FutureOccurrence& k) {
    kw.set("x", ref(k.x));
    put_window(kw, k.window_t, k.partial_window);
    return "future_occurrence";
  }
  const char* put(Kwargs& kw, const PastOccurrence& k) {
    kw.set("x", ref(k.x));
    put_window(kw, k.window_t, k.partial_window);
    return "past_occurrence";
  }
  const char* put(Kwargs& kw, const BeforeEvent& k) {
    kw.set("x", ref(k.x));
    kw.set("y", ref(k.y));
    if (!k.reset) kw.set("reset", py_bool(false));
    return "before_event";
  }
  const char* put(Kwargs& kw, const InSpan& k) {
    kw.set("x", ref(k.x));
    kw.set("span", span(k.span));
    return "in_span";
  }
  const char* put(Kwargs& kw, const WindowAggregate& k) {
    kw.set("k", ref(k.k));
    put_window(kw, k.window_t, k.partial_window);
    if (k.agg != AggKind::Mean) kw.set("agg", s_.text(agg_name(k.agg)));
    if (!k.forward) kw.set("forward", py_bool(false));
    return "window_aggregate";
  }
  const char* put(Kwargs& kw, const SpanAggregate& k) {
    kw.set("k", ref(k.k));
    kw.set("span", span(k.span));
    if (k.agg != AggKind::Mean) kw.set("agg", s_.text(agg_name(k.agg)));
    return "span_aggregate";
  }
  const char* put(Kwargs& kw, const FutureSpanOccurrence& k) {
    kw.set("span", span(k.span));
    put_window(kw, k.window_t, k.partial_window);
    return "future_span_occurrence";
  }
  const char* put(Kwargs& kw, const PastSpanOccurrence& k) {
    kw.set("span", span(k.span));
    put_window(kw, k.window_t, k.partial_window);
    return "past_span_occurrence";
  }
  const char* put(Kwargs& kw, const StateLabel& k) {
    kw.set("machine", machine_object(*k.machine));
    if (k.default_state != 0) kw.set("default_state", py_int(k.default_state));
    if (k.invalid_label != -1) kw.set("invalid_label", py_int(k.invalid_label));
    return "state_label";
  }

  Strings& s_;
};

// ================================================================ loading states

PyObject* loader(size_t i);  // the loader functions, once registered

// (loader, (state,)), the pair __reduce__ returns.
Owned reduce_to(size_t which, const Owned& state) {
  Owned args = made(PyTuple_Pack(1, state.get()));
  return made(PyTuple_Pack(2, loader(which), args.get()));
}

// The calls each class's state may name.
constexpr std::array<std::string_view, 9> PATTERN_BUILDERS = {
    "add_event",         "add_event_set",         "add_event_seq",
    "add_time_event",    "add_mapped_event",      "add_dynamic_event",
    "add_dynamic_event_set", "add_dynamic_time_event", "add_midstream_collector"};
constexpr std::array<std::string_view, 3> MACHINE_BUILDERS = {"add_state", "add_entry", "add_exit"};
constexpr std::array<std::string_view, 9> SPEC_CONSTRUCTORS = {
    "future_occurrence", "past_occurrence", "before_event", "in_span", "future_span_occurrence",
    "past_span_occurrence", "window_aggregate", "span_aggregate", "state_label"};

template <size_t N>
bool one_of(std::string_view s, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), s) != names.end();
}

// Objects the plain-data check below has examined in this process, for the
// tests that tie its work to the size of a state (zuldcore._internal).
std::atomic<uint64_t> plain_check_visits{0};

// Refuses anything but plain data and zuldcore's own picklable objects, so
// that reading the state runs no code of the state's: no __float__,
// __index__ or __getitem__ of a foreign object, no subclass of list or dict.
// The builders see only values whose conversions they fully control.
//
// Pickle writes an object it has written before as a reference to it, so a
// state may hold one container in many places: lists each holding K
// references to the next take a few bytes a level, and a walk down every
// reference visits K^depth items. So each container is walked once and its
// height (the longest way down from it) remembered by identity; where the
// walk meets it again, the nesting cap is decided from that height. The
// refusal is the one a walk down every reference would meet first: the
// container held no foreign object when it was walked, so only the cap can
// refuse it again, and a container met again while it is being walked lies
// on a cycle, which a full walk would follow past the cap. No Python code
// runs during the walk, so nothing can change or be freed under it.
class PlainCheck {
 public:
  explicit PlainCheck(std::string_view what) : what_(what) {}
  ~PlainCheck() { plain_check_visits.fetch_add(visits_, std::memory_order_relaxed); }
  PlainCheck(const PlainCheck&) = delete;
  PlainCheck& operator=(const PlainCheck&) = delete;

  // The height of `obj`, met `depth` levels down (0 for the state itself).
  int walk(PyObject* obj, int depth) {
    ++visits_;
    if (depth > MAX_STATE_DEPTH) throw too_deep();
    if (obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
        PyUnicode_CheckExact(obj))
      return 0;
    const PyTypeObject* type = Py_TYPE(obj);
    if (type == pattern_type() || type == state_machine_type() || type == state_span_type()) return 0;
    if (!PyTuple_CheckExact(obj) && !PyList_CheckExact(obj) && !PyDict_CheckExact(obj))
      throw TypeError(cat("cannot load ", what_, ": the state holds a '", type_name(obj),
                          "' object; a state holds only None, bool, int, float, str, tuple, list, dict, "
                          "Pattern, StateMachine and StateSpan"));
    const auto [seen, first] = heights_.try_emplace(obj, WALKING);
    if (!first) {
      if (seen->second == WALKING || depth + seen->second > MAX_STATE_DEPTH) throw too_deep();
      return seen->second;
    }
    int height = 0;
    const auto down = [&](PyObject* item) { height = std::max(height, 1 + walk(item, depth + 1)); };
    if (PyDict_CheckExact(obj)) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(obj, &pos, &key, &value)) {
        down(key);
        down(value);
      }
    } else {
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) down(PySequence_Fast_GET_ITEM(obj, i));
    }
    heights_[obj] = height;  // looked up again: the walk below may have rehashed the table
    return height;
  }

 private:
  static constexpr int WALKING = -1;

  ValueError too_deep() const {
    return ValueError(cat("cannot load ", what_, ": the state nests more than ", MAX_STATE_DEPTH, " levels deep"));
  }

  std::string_view what_;
  std::unordered_map<PyObject*, int> heights_;  // containers walked or being walked
  uint64_t visits_ = 0;
};

PyObject* py_state_check_visits(PyObject*, PyObject*) noexcept {
  return guarded([&] { return made(PyLong_FromUnsignedLongLong(plain_check_visits.load(std::memory_order_relaxed))); });
}

// A wrong shape, as messages name it: "a tuple of 2 items" or "'list'".
std::string described(PyObject* obj) {
  if (PyTuple_CheckExact(obj)) return cat("a tuple of ", PyTuple_GET_SIZE(obj), " items");
  return cat("'", type_name(obj), "'");
}

// The items of a state tuple of `n` items that starts with the version.
std::span<PyObject* const> open_state(std::string_view what, PyObject* state, Py_ssize_t n,
                                      std::string_view layout) {
  if (!PyTuple_CheckExact(state) || PyTuple_GET_SIZE(state) != n)
    throw TypeError(cat("cannot load ", what, ": the state must be a tuple ", layout, ", got ",
                        described(state)));
  PyObject* version = PyTuple_GET_ITEM(state, 0);
  if (!PyLong_CheckExact(version))
    throw TypeError(cat("cannot load ", what, ": the state's version must be an int, got '",
                        type_name(version), "'"));
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(version, &overflow);
  if (v != STATE_VERSION || overflow != 0)
    throw ValueError(cat("cannot load ", what, ": unknown state version",
                         overflow != 0 ? std::string() : cat(" ", v), " (this zuldcore reads version ",
                         STATE_VERSION, "); it was written by another version of zuldcore"));
  PlainCheck(what).walk(state, 0);
  return {PySequence_Fast_ITEMS(state), static_cast<size_t>(n)};
}

PyObject* require_dict(std::string_view what, PyObject* obj, std::string_view role) {
  if (!PyDict_CheckExact(obj))
    throw TypeError(cat("cannot load ", what, ": ", role, " must be a dict, got '", type_name(obj), "'"));
  return obj;
}

// Calls `callable(*args, **kwargs)`; on failure notes `where`.
Owned call_noting(PyObject* callable, PyObject* args, PyObject* kwargs, const std::string& where) {
  PyObject* result = PyObject_Call(callable, args, kwargs);
  if (!result) {
    note_pending_error("%s", where.c_str());
    throw PyErrSet{};
  }
  return Owned::steal(result);
}

Owned empty_tuple() { return made(PyTuple_New(0)); }

// Builds an instance of `type` from the constructor's keyword arguments and
// replays the calls on it, each of them one of `allowed`.
template <size_t N>
Owned replay(std::string_view what, PyTypeObject* type, PyObject* arguments, PyObject* calls,
             const std::array<std::string_view, N>& allowed) {
  require_dict(what, arguments, "the constructor's arguments");
  if (!PyList_CheckExact(calls) && !PyTuple_CheckExact(calls))
    throw TypeError(cat("cannot load ", what, ": the calls must be a list, got '", type_name(calls), "'"));
  Owned none = empty_tuple();
  Owned obj = call_noting(reinterpret_cast<PyObject*>(type), none.get(), arguments,
                          cat("when loading a ", what, ": its constructor"));
  // The builders run no code of the state's, but a collection during a call
  // may run some finalizer that holds the list: so its size is read afresh
  // and each call is held while it is replayed.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(calls); ++i) {
    const Owned held = Owned::borrow(PySequence_Fast_GET_ITEM(calls, i));
    PyObject* c = held.get();
    if (!PyTuple_CheckExact(c) || PyTuple_GET_SIZE(c) != 2)
      throw TypeError(cat("cannot load ", what, ": call ", i,
                          " must be a tuple (method name, keyword arguments), got ", described(c)));
    PyObject* name = PyTuple_GET_ITEM(c, 0);
    if (!PyUnicode_CheckExact(name))
      throw TypeError(cat("cannot load ", what, ": the method name of call ", i, " must be a str, got '",
                          type_name(name), "'"));
    const std::string_view method = arg_str(name, "method");
    if (!one_of(method, allowed))
      throw ValueError(cat("cannot load ", what, ": call ", i, " names '", method, "', which is not a ",
                           what, " builder"));
    PyObject* kwargs = require_dict(what, PyTuple_GET_ITEM(c, 1), cat("the arguments of call ", i));
    Owned bound = check(PyObject_GetAttr(obj.get(), name));
    call_noting(bound.get(), none.get(), kwargs, cat("when loading a ", what, ": call ", i, ", ", method));
  }
  return obj;
}

PyObject* load_pattern(PyObject*, PyObject* state) noexcept {
  return guarded([&] {
    auto items = open_state("Pattern", state, 3, "(version, arguments, calls)");
    return replay("Pattern", pattern_type(), items[1], items[2], PATTERN_BUILDERS);
  });
}

PyObject* load_machine(PyObject*, PyObject* state) noexcept {
  return guarded([&] {
    auto items = open_state("StateMachine", state, 3, "(version, arguments, calls)");
    return replay("StateMachine", state_machine_type(), items[1], items[2], MACHINE_BUILDERS);
  });
}

PyObject* load_span(PyObject*, PyObject* state) noexcept {
  return guarded([&] {
    auto items = open_state("StateSpan", state, 4, "(version, machine, state, valid_only)");
    if (!is_state_machine(items[1]))
      throw TypeError(cat("cannot load StateSpan: the machine must be a StateMachine, got '",
                          type_name(items[1]), "'"));
    Owned span = check(PyObject_GetAttrString(items[1], "span"));
    Owned args = made(PyTuple_Pack(2, items[2], items[3]));
    return call_noting(span.get(), args.get(), nullptr, "when loading a StateSpan");
  });
}

PyObject* load_spec(PyObject*, PyObject* state) noexcept {
  return guarded([&] {
    auto items = open_state("AnnotationSpec", state, 3, "(version, constructor, arguments)");
    if (!PyUnicode_CheckExact(items[1]))
      throw TypeError(cat("cannot load AnnotationSpec: the constructor's name must be a str, got '",
                          type_name(items[1]), "'"));
    const std::string_view constructor = arg_str(items[1], "constructor");
    if (!one_of(constructor, SPEC_CONSTRUCTORS))
      throw ValueError(cat("cannot load AnnotationSpec: '", constructor,
                           "' is not an AnnotationSpec constructor"));
    PyObject* kwargs = require_dict("AnnotationSpec", items[2], "the constructor's arguments");
    Owned fn = check(PyObject_GetAttr(reinterpret_cast<PyObject*>(annotation_spec_type()), items[1]));
    Owned none = empty_tuple();
    return call_noting(fn.get(), none.get(), kwargs, cat("when loading an AnnotationSpec: ", constructor));
  });
}

PyMethodDef LOADER_DEFS[] = {
    {"pattern", load_pattern, METH_O, "pattern(state, /)\n--\n\nRebuilds a pickled zuldcore.Pattern."},
    {"state_machine", load_machine, METH_O,
     "state_machine(state, /)\n--\n\nRebuilds a pickled zuldcore.StateMachine."},
    {"state_span", load_span, METH_O, "state_span(state, /)\n--\n\nRebuilds a pickled zuldcore.StateSpan."},
    {"annotation_spec", load_spec, METH_O,
     "annotation_spec(state, /)\n--\n\nRebuilds a pickled zuldcore.AnnotationSpec."},
};
PyMethodDef STATE_CHECK_VISITS_DEF = {
    "state_check_visits", py_state_check_visits, METH_NOARGS,
    "state_check_visits()\n--\n\nHow many objects the loaders have examined, in this process, while checking that "
    "states hold only plain data: a count for tests of that check's work."};
enum Loader : size_t { PATTERN_LOADER, MACHINE_LOADER, SPAN_LOADER, SPEC_LOADER, N_LOADERS };
static_assert(std::size(LOADER_DEFS) == N_LOADERS);

std::array<PyObject*, N_LOADERS> loaders{};  // kept for the process, as the module is

PyObject* loader(size_t i) {
  ZC_ENSURE(loaders[i] != nullptr, "the pickle loaders are not registered");
  return loaders[i];
}

}  // namespace

// ================================================================ entry points

PyObject* py_pattern_reduce(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    const Pattern p = pattern_copy(self);  // a copy: building the state allocates Python objects
    Strings s;
    return reduce_to(PATTERN_LOADER, PatternWriter(s).state(p));
  });
}

PyObject* py_machine_reduce(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    StateMachineDecl m = [&] {
      Shared<StateMachineDecl> held{self};
      return *held;
    }();
    Strings s;
    return reduce_to(MACHINE_LOADER, MachineWriter(s, m).state());
  });
}

PyObject* py_span_reduce(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    const StateSpanRef ref = state_span_ref(self);
    Strings s;
    Owned version = py_int(STATE_VERSION);
    Owned machine = machine_object(*ref.machine);
    Owned name = s.text(ref.machine->names.at(ref.state));
    Owned state = made(PyTuple_Pack(4, version.get(), machine.get(), name.get(), py_bool(ref.valid_only).get()));
    return reduce_to(SPAN_LOADER, state);
  });
}

PyObject* py_spec_reduce(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    AnnotationSpec spec = [&] {
      Shared<AnnotationSpec> held{self};
      return *held;
    }();
    Strings s;
    return reduce_to(SPEC_LOADER, SpecWriter(s).state(spec));
  });
}

PyObject* py_zuldor_reduce(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    Owned pattern = pattern_object(zuldor_pattern(self));
    Owned args = made(PyTuple_Pack(1, pattern.get()));
    return made(PyTuple_Pack(2, reinterpret_cast<PyObject*>(zuldor_type()), args.get()));
  });
}

PyMethodDef STATE_SPAN_METHODS[] = {
    {"__reduce__", py_span_reduce, METH_NOARGS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

void add_pickle_loaders(PyObject* module) {
  Owned name = check(PyModule_GetNameObject(module));
  for (size_t i = 0; i < N_LOADERS; ++i) {
    Owned fn = check(PyCFunction_NewEx(&LOADER_DEFS[i], nullptr, name.get()));
    check_rc(PyModule_AddObjectRef(module, LOADER_DEFS[i].ml_name, fn.get()));
    loaders[i] = std::move(fn).keep_for_process();
  }
  Owned visits = check(PyCFunction_NewEx(&STATE_CHECK_VISITS_DEF, nullptr, name.get()));
  check_rc(PyModule_AddObjectRef(module, STATE_CHECK_VISITS_DEF.ml_name, visits.get()));
}

}  // namespace zuldcore
