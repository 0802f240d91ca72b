// The points of a token reference on an interned stream: every occurrence,
// sorted by start position, one per start (the shortest).
#pragma once

#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "intern/interner.hpp"
#include "base/expected.hpp"
#include "types/token_ref.hpp"

namespace zuldcore {

struct StreamView {
  std::span<const TokenId> tokens;
  std::span<const double> times;   // as long as tokens
  std::span<const double> values;  // empty (every value NaN) or as long as tokens
  size_t size() const noexcept { return tokens.size(); }
  double value_at(size_t i) const noexcept { return values.empty() ? std::nan("") : values[i]; }
};

// Single and Set intern their strings; Sequences scan greedily without
// overlap; a Pattern runs the search over the whole stream and fails with
// "Pattern has {k} elements; maximum is 64" above the limit.
Expected<std::vector<Point>> match_points(const TokenRef& ref, const StreamView& stream);

// Points of the references used by one call on one stream, computed once per
// distinct reference (token_ref_key); references without a key are computed
// each time they are asked for. The returned pointer stays valid for the
// cache's life.
class PointsCache {
 public:
  explicit PointsCache(StreamView stream) : stream_(stream) {}
  Expected<std::shared_ptr<const std::vector<Point>>> get(const TokenRef& ref);
  const StreamView& stream() const noexcept { return stream_; }

 private:
  StreamView stream_;
  std::unordered_map<std::string, std::shared_ptr<const std::vector<Point>>> by_key_;
};

}  // namespace zuldcore
