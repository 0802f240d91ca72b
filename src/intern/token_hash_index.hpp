// An open-addressing index from token id to a position in the caller's own
// array of entries: the one lookup structure behind the engine's per-pattern
// token tables and the trie's wide nodes. It stores no keys; every probe asks
// the caller for the key of an entry, so entries stay where the caller keeps them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "intern/interner.hpp"

namespace zuldcore {

// Linear probing over a power-of-two array, at most half full. A slot holds
// 1 + the entry's position (0 means empty). Token ids are dense small
// integers, so a multiplicative (Fibonacci) hash spreads them; there is no
// seed, because nothing ever iterates the slots and their layout cannot
// reach any output. Tests: tests/cpp/test_intern_columns.cpp.
class TokenHashIndex {
 public:
  static constexpr uint32_t MISSING = UINT32_MAX;

  bool empty() const noexcept { return slots_.empty(); }
  // Entries that fit before the index must be rebuilt larger.
  size_t room() const noexcept { return slots_.size() / 2; }

  // The position of the entry whose key (`key_of(position)`) is `token`, or MISSING.
  template <class KeyOf>
  uint32_t find(TokenId token, const KeyOf& key_of) const noexcept {
    if (slots_.empty()) return MISSING;
    const size_t mask = slots_.size() - 1;
    for (size_t i = slot_of(token);; i = (i + 1) & mask) {
      const uint32_t s = slots_[i];
      if (s == 0) return MISSING;
      if (key_of(s - 1) == token) return s - 1;
    }
  }

  // An index over entries 0 .. n - 1 (keys distinct, n < 2^32 - 1) with room
  // for at least max(n, room) entries. Built aside, so a failed allocation changes no
  // index the caller holds.
  template <class KeyOf>
  static TokenHashIndex over(size_t n, size_t room, const KeyOf& key_of) {
    TokenHashIndex index;
    const size_t capacity = std::bit_ceil(std::max<size_t>(std::max(n, room), 1) * 2);
    index.slots_.assign(capacity, 0);
    index.shift_ = 64 - std::countr_zero(capacity);
    for (size_t e = 0; e < n; ++e) index.put(key_of(e), static_cast<uint32_t>(e));
    return index;
  }

  // Adds entry `position` under `token`, which is not yet present. Requires
  // room() > the number of entries already added; never allocates.
  void add(TokenId token, uint32_t position) noexcept { put(token, position); }

 private:
  size_t slot_of(TokenId token) const noexcept {
    return static_cast<size_t>((uint64_t{token} * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void put(TokenId token, uint32_t position) noexcept {
    const size_t mask = slots_.size() - 1;
    size_t i = slot_of(token);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = position + 1;
  }

  std::vector<uint32_t> slots_;
  int shift_ = 63;
};

}  // namespace zuldcore
