// A read-only map from token id to a small integer, built once per pattern
// and asked once per scanned stream position; the engine's internal helper.
// It owns no entries of its own: callers keep whatever the integer indexes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "intern/interner.hpp"
#include "intern/token_hash_index.hpp"
#include "base/ensure.hpp"

namespace zuldcore {

// Keys and values side by side, found through a TokenHashIndex; keys are distinct.
class TokenTable {
 public:
  static constexpr uint32_t MISSING = UINT32_MAX;

  // Replaces the contents with the given (token, value) pairs.
  void build(std::span<const std::pair<TokenId, uint32_t>> entries) {
    keys_.clear();
    values_.clear();
    index_ = TokenHashIndex{};
    if (entries.empty()) return;
    ZC_ENSURE(entries.size() < (size_t{1} << 30), "token table of ", entries.size(), " entries");
    for (const auto& [token, value] : entries) {
      keys_.push_back(token);
      values_.push_back(value);
    }
    index_ = TokenHashIndex::over(keys_.size(), 0, [this](size_t e) { return keys_[e]; });
  }

  bool empty() const noexcept { return keys_.empty(); }

  // The value stored for `token`, or MISSING.
  uint32_t find(TokenId token) const noexcept {
    const uint32_t e = index_.find(token, [this](uint32_t i) { return keys_[i]; });
    return e == TokenHashIndex::MISSING ? MISSING : values_[e];
  }

 private:
  std::vector<TokenId> keys_;
  std::vector<uint32_t> values_;
  TokenHashIndex index_;
};

// A set of token ids asked about once per scanned position: a byte per id
// up to a cap, looked up directly (measurably faster in scan loops than a
// bit per id), and a TokenTable for ids beyond the cap.
class TokenFlags {
 public:
  void build(std::span<const TokenId> tokens) {
    TokenId top = 0;
    std::vector<std::pair<TokenId, uint32_t>> large;
    for (TokenId tok : tokens) {
      if (tok < DIRECT_MAX)
        top = std::max(top, tok);
      else
        large.emplace_back(tok, 0);
    }
    bytes_.assign(tokens.empty() ? 0 : size_t{top} + 1, 0);
    for (TokenId tok : tokens)
      if (tok < DIRECT_MAX) bytes_[tok] = 1;
    std::sort(large.begin(), large.end());
    large.erase(std::unique(large.begin(), large.end()), large.end());
    large_.build(large);
  }

  bool contains(TokenId tok) const noexcept {
    if (tok < bytes_.size()) return bytes_[tok] != 0;
    return !large_.empty() && large_.find(tok) != TokenTable::MISSING;
  }

 private:
  static constexpr TokenId DIRECT_MAX = TokenId{1} << 24;  // ids looked up directly: 16 MiB at most
  std::vector<uint8_t> bytes_;
  TokenTable large_;
};

}  // namespace zuldcore
