// Collector names, match-map keys and the pattern's texts: the few pieces of
// the pattern model that are more than field declarations. Builders and the
// search are elsewhere.
#include "types/pattern.hpp"

#include <array>

#include "intern/hash.hpp"

namespace zuldcore {

namespace {

struct CollectorNames {
  std::string_view python;
  std::string_view variant;
};

// Indexed by the strategy's value.
constexpr std::array<CollectorNames, N_COLLECTORS> COLLECTOR_NAMES{{
    {"none", "None"},
    {"sum_times", "SumTimes"},
    {"count", "Count"},
    {"collect_tokens", "CollectTokens"},
    {"collect_times", "CollectTimes"},
    {"collect_pairs", "CollectPairs"},
}};

}  // namespace

std::optional<CollectorStrategy> parse_collector(std::string_view name) noexcept {
  for (size_t i = 0; i < N_COLLECTORS; ++i)
    if (COLLECTOR_NAMES[i].python == name) return static_cast<CollectorStrategy>(i);
  return std::nullopt;
}

Expected<CollectorStrategy> collector_from_name(std::string_view name) {
  if (std::optional<CollectorStrategy> c = parse_collector(name)) return *c;
  return fail(cat("Unknown collector '", name,
                  "'. Choose: none, sum_times, count, collect_tokens, collect_times, collect_pairs"));
}

std::string_view collector_variant_name(CollectorStrategy c) noexcept {
  const auto i = static_cast<size_t>(c);
  return i < N_COLLECTORS ? COLLECTOR_NAMES[i].variant : std::string_view("?");
}

std::string_view collector_python_name(CollectorStrategy c) noexcept {
  const auto i = static_cast<size_t>(c);
  return i < N_COLLECTORS ? COLLECTOR_NAMES[i].python : std::string_view("?");
}

ResolvedElement ResolvedElement::single(TokenId token, ValueConstraint vc,
                                        std::vector<TokenId> block_tokens,
                                        std::vector<ValueConstraint> block_vcs, Bounds bounds) {
  ResolvedElement r;
  r.tokens = {token};
  r.vcs = {vc};
  r.block_tokens = std::move(block_tokens);
  r.block_vcs = std::move(block_vcs);
  r.bounds = bounds;
  return r;
}

size_t TokenKeyHash::operator()(std::span<const TokenId> key) const noexcept {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
  for (TokenId id : key) h = mix64(h ^ id, 0xa0761d6478bd642full);
  return static_cast<size_t>(h);
}

const ResolvedElement* MappedEvent::resolve(std::span<const TokenId> key) const {
  auto it = map.find(key);
  if (it != map.end()) return &it->second;
  return default_element ? &*default_element : nullptr;
}

bool is_backtrackable(const PatternElement& e) {
  return std::visit([](const auto& el) { return el.backtrackable; }, e);
}

uint64_t element_index_mask(std::span<const uint64_t> indices) noexcept {
  uint64_t mask = 0;
  for (uint64_t i : indices) mask |= uint64_t{1} << (i % 64);
  return mask;
}

Status check_element_count(const Pattern& p) {
  if (p.elements.size() > MAX_PATTERN_ELEMENTS)
    return fail(cat("Pattern has ", p.elements.size(), " elements; maximum is ", MAX_PATTERN_ELEMENTS));
  return ok();
}

std::string pattern_repr(const Pattern& p) {
  return cat("Pattern(n_elements=", p.elements.size(), ", ordered=", p.ordered ? "true" : "false",
             ", collector=", collector_variant_name(p.collector),
             ", midstream=", p.midstream ? "true" : "false", ")");
}

}  // namespace zuldcore
