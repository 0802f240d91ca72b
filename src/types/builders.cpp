// The pattern builders' rules: value-constraint lists, block arguments, and
// the construction of each element kind from C++ values.
#include "types/builders.hpp"

#include <utility>

namespace zuldcore {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::string length_message(std::string_view name, size_t n, std::string_view tokens_name, size_t n_given) {
  return cat(name, " must have length ", n, " to match ", tokens_name, " (got ", n_given, ")");
}

// The lengths of the three lists, an absent one counting as `n`.
template <class Vals>
std::array<size_t, 3> list_sizes(const Vals& v, size_t n) {
  return {v.min ? v.min->size() : n, v.max ? v.max->size() : n, v.require_nan ? v.require_nan->size() : n};
}

}  // namespace

Expected<std::vector<ValueConstraint>> plural_vcs(const PluralVals& v, size_t n, std::string_view tokens_name) {
  if (!v.any_given()) return std::vector<ValueConstraint>{};
  const std::array<size_t, 3> sizes = list_sizes(v, n);
  for (size_t k = 0; k < 3; ++k)
    if (sizes[k] < n) return fail(length_message(v.names[k], n, tokens_name, sizes[k]));
  std::vector<ValueConstraint> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i)
    out.push_back(ValueConstraint::from_args(v.min ? (*v.min)[i] : NaN, v.max ? (*v.max)[i] : NaN,
                                             v.require_nan ? bool((*v.require_nan)[i]) : false));
  return out;
}

Expected<std::vector<std::vector<ValueConstraint>>> seq_vcs(const PluralSeqVals& v, size_t n,
                                                            std::string_view seqs_name) {
  std::vector<std::vector<ValueConstraint>> out(n);
  if (!v.any_given()) return out;
  const std::array<size_t, 3> outer = list_sizes(v, n);
  for (size_t k = 0; k < 3; ++k)
    if (outer[k] < n) return fail(length_message(v.names[k], n, seqs_name, outer[k]));
  const size_t first = v.min ? 0 : v.max ? 1 : 2;
  const std::array<bool, 3> has = {v.min.has_value(), v.max.has_value(), v.require_nan.has_value()};
  for (size_t i = 0; i < n; ++i) {
    const std::array<size_t, 3> inner = {v.min ? (*v.min)[i].size() : 0, v.max ? (*v.max)[i].size() : 0,
                                         v.require_nan ? (*v.require_nan)[i].size() : 0};
    const size_t m = inner[first];
    for (size_t k = first + 1; k < 3; ++k)
      if (has[k] && inner[k] < m)
        return fail(length_message(cat(v.names[k], "[", i, "]"), m, cat(v.names[first], "[", i, "]"), inner[k]));
    out[i].reserve(m);
    for (size_t j = 0; j < m; ++j)
      out[i].push_back(ValueConstraint::from_args(v.min ? (*v.min)[i][j] : NaN, v.max ? (*v.max)[i][j] : NaN,
                                                  v.require_nan ? bool((*v.require_nan)[i][j]) : false));
  }
  return out;
}

std::vector<TokenId> intern_each(const std::vector<std::string>& tokens) {
  std::vector<TokenId> ids;
  ids.reserve(tokens.size());
  for (const std::string& s : tokens) ids.push_back(intern(s));
  return ids;
}

Trie seq_trie(const std::vector<std::vector<std::string>>& seqs,
              const std::vector<std::vector<ValueConstraint>>& vcs) {
  Trie trie;
  for (size_t i = 0; i < seqs.size(); ++i) trie.insert_with_vals(intern_each(seqs[i]), vcs[i]);
  return trie;
}

// ---------------------------------------------------------------- static elements

PatternElement build_event(EventArgs&& a) {
  Event e;
  e.token = intern(a.match_token);
  if (a.block_token) e.block_token = intern(*a.block_token);
  e.vc = a.val.constraint();
  e.block_vc = a.block_val.constraint();
  e.bounds = a.bounds;
  e.backtrackable = a.backtrackable;
  return e;
}

Expected<PatternElement> build_event_set(EventSetArgs&& a) {
  auto vcs = plural_vcs(a.vals, a.match_tokens.size(), "match_tokens");
  if (!vcs) return fail(vcs.message());
  auto block_vcs = plural_vcs(a.block_vals, a.block_tokens.size(), "block_tokens");
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

Expected<PatternElement> build_event_seq(EventSeqArgs&& a) {
  auto vcs = seq_vcs(a.vals, a.match_seqs.size(), "match_seqs");
  if (!vcs) return fail(vcs.message());
  std::optional<std::vector<std::vector<ValueConstraint>>> block_vcs;
  if (a.block_seqs) {
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
  const size_t n = a.block_tokens->size();
  const std::array<size_t, 3> sizes = list_sizes(a.block_vals, n);
  for (size_t k = 0; k < 3; ++k)
    if (sizes[k] != n) return fail(length_message(a.block_vals.names[k], n, "block_tokens", sizes[k]));
  auto vcs = plural_vcs(a.block_vals, n, "block_tokens");
  if (!vcs) return fail(vcs.message());
  return BlockList{std::move(*a.block_tokens), std::move(vcs).value()};
}

Expected<PatternElement> build_time_event(TimeEventArgs&& a) {
  auto block = time_block_rule(std::move(a.block));
  if (!block) return fail(block.message());
  TimeEvent e;
  e.block_tokens = intern_each(block.value().tokens);
  e.block_vcs = std::move(block.value().vcs);
  e.bounds = a.bounds;
  e.backtrackable = a.backtrackable;
  return PatternElement(std::move(e));
}

// ---------------------------------------------------------------- dynamic elements

Expected<PatternElement> build_dynamic_time_event(DynamicTimeEventArgs&& a) {
  auto block = time_block_rule(std::move(a.block));
  if (!block) return fail(block.message());
  DynamicTimeEvent e;
  e.block_tokens = intern_each(block.value().tokens);
  e.block_vcs = std::move(block.value().vcs);
  e.rel_min_dt = a.rel_min_dt;
  e.rel_max_dt = a.rel_max_dt;
  e.min_at = a.min_at;
  e.max_at = a.max_at;
  e.backtrackable = a.backtrackable;
  return PatternElement(std::move(e));
}

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

Status check_source_element(uint64_t source_element) {
  if (source_element >= MAX_PATTERN_ELEMENTS)
    return fail(cat("source_element must be less than ", MAX_PATTERN_ELEMENTS, " (got ", source_element, ")"));
  return ok();
}

Expected<ResolvedElement> build_resolved(MappedSpecArgs&& a) {
  if (auto* token = std::get_if<std::string>(&a.match)) {
    const PluralVals& v = a.vals;
    const double min = v.min && !v.min->empty() ? v.min->front() : NaN;
    const double max = v.max && !v.max->empty() ? v.max->front() : NaN;
    const bool require_nan = v.require_nan && !v.require_nan->empty() && v.require_nan->front();
    return ResolvedElement::single(intern(*token), ValueConstraint::from_args(min, max, require_nan),
                                   std::move(a.block_tokens), std::move(a.block_vcs), a.bounds);
  }
  ResolvedElement r;
  if (auto* set = std::get_if<std::vector<std::string>>(&a.match)) {
    auto vcs = plural_vcs(a.vals, set->size(), "match");
    if (!vcs) return fail(vcs.message());
    r.vcs = std::move(vcs).value();
    r.tokens = intern_each(*set);
  } else {
    const auto& seqs = std::get<std::vector<std::vector<std::string>>>(a.match);
    auto vcs = seq_vcs(a.seq_vals, seqs.size(), "match");
    if (!vcs) return fail(vcs.message());
    r.seq_trie = seq_trie(seqs, vcs.value());
  }
  r.block_tokens = std::move(a.block_tokens);
  r.block_vcs = std::move(a.block_vcs);
  r.bounds = a.bounds;
  return r;
}

// ---------------------------------------------------------------- midstream collector

Expected<MidstreamCollector> build_midstream(MidstreamArgs&& a) {
  for (const auto& s : a.match_seqs)
    if (s.empty()) return fail("match_tokens sequences must not be empty");
  MidstreamCollector m;
  m.start_after = element_index_mask(a.start_after);
  m.stop_before = element_index_mask(a.stop_before);
  m.match_trie = build_seq_trie(a.match_seqs);
  auto collector = collector_from_name(a.collector);
  if (!collector) return fail(collector.message());
  m.collector = collector.value();
  return m;
}

}  // namespace zuldcore
