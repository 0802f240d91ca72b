// Seeded byte hashing and an open-addressing index table, shared by the
// token interner and by the per-call de-duplication of stream tokens.
// The table stores only (hash tag, index); the caller owns the keys.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace zuldcore {

inline uint64_t mix64(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

// A wyhash-style hash: 8 bytes per multiply, short keys in one or two loads.
inline uint64_t hash_bytes(std::string_view s, uint64_t seed) {
  constexpr uint64_t K0 = 0xa0761d6478bd642full, K1 = 0xe7037ed1a0b428dbull,
                     K2 = 0x8ebc6af09c88c6e3ull;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  auto load64 = [](const unsigned char* q) { uint64_t v; std::memcpy(&v, q, 8); return v; };
  auto load32 = [](const unsigned char* q) { uint32_t v; std::memcpy(&v, q, 4); return uint64_t{v}; };
  uint64_t h = seed ^ (n * K0);
  while (n > 16) {
    h = mix64(load64(p) ^ K1, load64(p + 8) ^ h);
    p += 16;
    n -= 16;
  }
  uint64_t a = 0, b = 0;
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    a = (uint64_t{p[0]} << 16) | (uint64_t{p[n >> 1]} << 8) | p[n - 1];
  }
  return mix64(a ^ K1 ^ h, b ^ K2);
}

// Byte equality, inline for the short keys that tokens usually are (two
// overlapping loads per side instead of a call to memcmp).
inline bool same_bytes(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(a.data());
  const auto* q = reinterpret_cast<const unsigned char*>(b.data());
  auto load64 = [](const unsigned char* r) { uint64_t v; std::memcpy(&v, r, 8); return v; };
  auto load32 = [](const unsigned char* r) { uint32_t v; std::memcpy(&v, r, 4); return v; };
  if (n > 16) return std::memcmp(p, q, n) == 0;
  if (n >= 8) return load64(p) == load64(q) && load64(p + n - 8) == load64(q + n - 8);
  if (n >= 4) return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (p[i] != q[i]) return false;
  return true;
}

// Open addressing with linear probing over a power-of-two array, at most half
// full. A slot holds the upper hash bits (low bit forced to 1 so that 0 means
// empty) and a 32-bit index into the caller's key array.
class IndexTable {
  struct Slot {
    uint32_t tag;
    uint32_t index;
  };
  struct NoTick {
    void operator()() const noexcept {}
  };

 public:
  size_t size() const noexcept { return size_; }

  // Asks the processor for the slot where a look-up of `hash` starts, so
  // that look-ups of several keys can overlap their waits for memory.
  void prefetch(uint64_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // The index stored for a key equal to `key`, or -1.
  template <class Keys>
  int64_t find(std::string_view key, uint64_t hash, const Keys& keys) const {
    if (slots_.empty()) return -1;
    const uint32_t tag = tag_of(hash);
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.tag == 0) return -1;
      if (s.tag == tag && same_bytes(keys.key(s.index), key)) return s.index;
    }
  }

  // Returns the index stored for a key equal to `key`, or inserts `next`
  // (which the caller then appends to its key array) and returns it.
  // `keys.key(i)` and `keys.hash(i)` give the caller's key for index i and
  // its hash under the same seed. Only growing the table can throw, and a
  // failed growth leaves the table as it was; after reserve(k), the next k
  // insertions cannot throw.
  template <class Keys>
  uint32_t find_or_insert(std::string_view key, uint64_t hash, uint32_t next, const Keys& keys,
                          bool& inserted) {
    if ((size_ + 1) * 2 > slots_.size()) grow(keys, size_ + 1);
    const uint32_t tag = tag_of(hash);
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.tag == 0) {
        s = Slot{tag, next};
        ++size_;
        inserted = true;
        return next;
      }
      if (s.tag == tag && same_bytes(keys.key(s.index), key)) {
        inserted = false;
        return s.index;
      }
    }
  }

  // Room for `extra` more keys. `tick()` is called once per key moved by a
  // growth; whatever it throws, like std::bad_alloc, leaves the table as it
  // was.
  template <class Keys, class Tick = NoTick>
  void reserve(size_t extra, const Keys& keys, Tick&& tick = Tick{}) {
    if (!has_room(extra)) grow(keys, size_ + extra, tick);
  }

  bool has_room(size_t extra) const noexcept { return (size_ + extra) * 2 <= slots_.size(); }

  // Growth a step at a time, for an owner that must not stop for a whole
  // rebuild of a large table (it releases a lock between steps): the new
  // slots are zeroed and then filled from the old ones, at most `budget`
  // slots per step, while the table goes on working on its old slots; they
  // are replaced only when the new ones are complete. A key inserted between
  // steps makes the steps so far useless, and the growth starts over.
  // Returns true once there is room for `extra` more keys. A failed or
  // abandoned growth changes nothing.
  class Growth {
    friend class IndexTable;
    std::vector<Slot> fresh_;
    size_t target_ = 0;     // slots of the new array
    size_t moved_ = 0;      // old slots moved into fresh_
    size_t keys_at_ = 0;    // the table's key count when the growth began
  };
  template <class Keys>
  bool grow_step(Growth& g, size_t extra, const Keys& keys, size_t budget) {
    if (has_room(extra)) {
      g = Growth{};
      return true;
    }
    const size_t n_slots = grown_size(size_ + extra);
    if (g.target_ != n_slots || g.keys_at_ != size_) {
      g = Growth{};
      g.fresh_.reserve(n_slots);
      g.target_ = n_slots;
      g.keys_at_ = size_;
    }
    const size_t zeroed = std::min(n_slots - g.fresh_.size(), budget);
    g.fresh_.resize(g.fresh_.size() + zeroed, Slot{0, 0});
    budget -= zeroed;
    if (g.fresh_.size() < n_slots) return false;
    const size_t end = g.moved_ + std::min(budget, slots_.size() - g.moved_);
    for (; g.moved_ < end; ++g.moved_) place(g.fresh_, slots_[g.moved_], keys);
    if (g.moved_ < slots_.size()) return false;
    slots_.swap(g.fresh_);
    g = Growth{};
    return true;
  }

 private:
  static uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash >> 32) | 1u; }

  // The slot count for n_keys: the table doubles until they fill at most half.
  size_t grown_size(size_t n_keys) const noexcept {
    size_t n_slots = slots_.empty() ? 64 : slots_.size() * 2;
    while (n_keys * 2 > n_slots) n_slots *= 2;
    return n_slots;
  }

  template <class Keys>
  static void place(std::vector<Slot>& fresh, const Slot& s, const Keys& keys) {
    if (s.tag == 0) return;
    const size_t mask = fresh.size() - 1;
    size_t i = keys.hash(s.index) & mask;
    while (fresh[i].tag != 0) i = (i + 1) & mask;
    fresh[i] = s;
  }

  // Slots keep only 32 hash bits, so growing re-hashes each key once; that
  // costs less over a table's life than doubling the slot size for good.
  // The new array is filled before it replaces the old one, so running out
  // of memory (or a throwing tick) here loses no key.
  template <class Keys, class Tick = NoTick>
  void grow(const Keys& keys, size_t n_keys, Tick&& tick = Tick{}) {
    std::vector<Slot> fresh(grown_size(n_keys), Slot{0, 0});
    for (const Slot& s : slots_) {
      if (s.tag == 0) continue;
      tick();
      place(fresh, s, keys);
    }
    slots_.swap(fresh);
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace zuldcore
