// A read-only map from token id to a small integer, built once per pattern
// and asked once per scanned stream position; the engine's internal helper.
// It owns no entries of its own: callers keep whatever the integer indexes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "intern/interner.hpp"
#include "base/ensure.hpp"

namespace zuldcore {

// Open addressing with linear probing, at most half full; keys are distinct.
// Token ids are dense small integers, so a multiplicative hash spreads them.
class TokenTable {
 public:
  static constexpr uint32_t MISSING = UINT32_MAX;

  // Replaces the contents with the given (token, value) pairs.
  void build(std::span<const std::pair<TokenId, uint32_t>> entries) {
    keys_.clear();
    values_.clear();
    slots_.clear();
    if (entries.empty()) return;
    ZC_ENSURE(entries.size() < (size_t{1} << 30), "token table of ", entries.size(), " entries");
    const size_t capacity = std::bit_ceil(entries.size() * 2);
    shift_ = 64 - std::countr_zero(capacity);
    slots_.assign(capacity, 0);
    for (const auto& [token, value] : entries) {
      size_t i = slot_of(token);
      while (slots_[i] != 0) i = (i + 1) & (capacity - 1);
      keys_.push_back(token);
      values_.push_back(value);
      slots_[i] = static_cast<uint32_t>(keys_.size());
    }
  }

  bool empty() const noexcept { return keys_.empty(); }

  // The value stored for `token`, or MISSING.
  uint32_t find(TokenId token) const noexcept {
    if (slots_.empty()) return MISSING;
    const size_t mask = slots_.size() - 1;
    for (size_t i = slot_of(token);; i = (i + 1) & mask) {
      const uint32_t s = slots_[i];
      if (s == 0) return MISSING;
      if (keys_[s - 1] == token) return values_[s - 1];
    }
  }

 private:
  size_t slot_of(TokenId token) const noexcept {
    return static_cast<size_t>((uint64_t{token} * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  std::vector<TokenId> keys_;
  std::vector<uint32_t> values_;
  std::vector<uint32_t> slots_;  // 1 + index into keys_, 0 empty
  int shift_ = 63;
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
