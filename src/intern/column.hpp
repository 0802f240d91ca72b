// A stream's token column between reading and interning: each position's
// local code into the column's distinct strings, numbered in order of first
// sight, built without the interner's lock; then one locked pass interns the
// distinct strings. Reading the caller's items (Python objects, NumPy or
// Arrow buffers) is not done here; the readers hand over bytes or identities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.hpp"
#include "intern/hash.hpp"
#include "intern/interner.hpp"

namespace zuldcore {

// Tokens read but not yet interned.
struct TokenColumn {
  std::vector<uint32_t> codes;     // one per position
  std::string arena;               // the distinct strings' UTF-8 bytes, back to back
  std::vector<size_t> ends{0};     // distinct string i is arena[ends[i], ends[i + 1])

  size_t size() const noexcept { return codes.size(); }
  size_t n_distinct() const noexcept { return ends.size() - 1; }
  std::string_view distinct(size_t i) const {
    return std::string_view(arena).substr(ends[i], ends[i + 1] - ends[i]);
  }
  // The first position that holds distinct string d (which exists: codes
  // are numbered in order of first sight, so the scan stops early).
  size_t first_position_of(uint32_t d) const;
};

// The hash seed of per-call de-duplication: random per process, so that
// nobody can choose tokens that collide.
uint64_t column_seed();

// Distinct byte strings of one column in order of first sight.
class DistinctStrings {
 public:
  explicit DistinctStrings(TokenColumn& col) : col_(col) {}

  // The code of `s`, appending it to the column's distinct strings when new.
  uint32_t code_of(std::string_view s) { return code_of(s, hash(s)); }

  // The same in two steps, for readers that hash a few strings ahead of
  // their look-ups: hash(s), maybe prefetch(h), then code_of(s, h).
  uint64_t hash(std::string_view s) const noexcept { return hash_bytes(s, seed_); }
  void prefetch(uint64_t h) const noexcept { index_.prefetch(h); }
  uint32_t code_of(std::string_view s, uint64_t h) {
    // A table of millions of strings takes a while to grow: Ctrl-C is heard meanwhile.
    index_.reserve(1, Keys{&col_, seed_}, [this] { interrupt_.tick(); });
    bool inserted = false;
    const auto next = static_cast<uint32_t>(col_.n_distinct());
    const uint32_t code = index_.find_or_insert(s, h, next, Keys{&col_, seed_}, inserted);
    if (inserted) {
      col_.arena.append(s);
      col_.ends.push_back(col_.arena.size());
    }
    return code;
  }

 private:
  struct Keys {
    const TokenColumn* col;
    uint64_t seed;
    std::string_view key(uint32_t i) const { return col->distinct(i); }
    uint64_t hash(uint32_t i) const { return hash_bytes(col->distinct(i), seed); }
  };
  TokenColumn& col_;
  uint64_t seed_ = column_seed();
  IndexTable index_;
  InterruptCheck interrupt_;
};

// Item identity -> code, in front of DistinctStrings for readers whose items
// are objects (a list taken from a DataFrame column holds one str object per
// distinct token). Bounded, so a column of all-distinct objects costs one
// failed probe per item and no unbounded memory. The cache pays when equal
// tokens are shared objects; when repeated tokens arrive as objects of their
// own (strings read from a file) its misses only cost, so after a trial in
// which repeats mostly missed it, it switches itself off.
class SharedItemCodes {
 public:
  // `n_items`, the number of items to come, sizes the cache's first table.
  SharedItemCodes(TokenColumn& col, size_t n_items) : col_(col), distinct_(col), n_items_(n_items) {}

  // The code of `item`, whose bytes `bytes()` gives; equal items must have
  // equal bytes, and `item` must stay alive (so its address stays its own)
  // for the life of this object.
  template <class Bytes>
  uint32_t code_of(const void* item, Bytes&& bytes) {
    if (enabled_) [[likely]] {
      const int64_t known = find(item);
      if (known >= 0) {
        ++hits_;
        return static_cast<uint32_t>(known);
      }
      const size_t seen = col_.n_distinct();
      const uint32_t code = distinct_.code_of(bytes());
      remember(item, code, col_.n_distinct() == seen);
      return code;
    }
    return distinct_.code_of(bytes());
  }

  // By bytes alone, for items whose identity says nothing.
  uint32_t code_of(std::string_view bytes) { return distinct_.code_of(bytes); }

  // False once the cache has switched itself off: every item then goes by
  // its bytes, through distinct().
  bool by_identity() const noexcept { return enabled_; }
  DistinctStrings& distinct() noexcept { return distinct_; }
  // Asks the processor for the cache slot of `item` ahead of its look-up.
  void prefetch(const void* item) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(item)]);
  }

 private:
  static constexpr size_t TRIAL = 4096;
  static constexpr size_t MAX_ENTRIES = size_t{1} << 16;
  struct Slot {
    const void* key;
    uint32_t code;
  };

  size_t slot_of(const void* p) const {
    return ((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9e3779b97f4a7c15ull >> 20) & mask_;
  }
  int64_t find(const void* p) const {
    if (slots_.empty()) return -1;
    for (size_t i = slot_of(p);; i = (i + 1) & mask_) {
      if (slots_[i].key == p) return slots_[i].code;
      if (!slots_[i].key) return -1;
    }
  }
  // A miss: the item is cached, and once the trial is over the cache is
  // judged (only here, to keep hits cheap).
  void remember(const void* p, uint32_t code, bool repeat) {
    repeats_missed_ += repeat;
    if (++misses_ + hits_ >= TRIAL && !judged_) {
      judged_ = true;
      if (repeats_missed_ > hits_) {
        enabled_ = false;
        return;
      }
    }
    if (size_ >= MAX_ENTRIES) return;
    if ((size_ + 1) * 2 > slots_.size()) grow();
    size_t i = slot_of(p);
    while (slots_[i].key) i = (i + 1) & mask_;
    slots_[i] = {p, code};
    ++size_;
  }
  void grow();

  TokenColumn& col_;
  DistinctStrings distinct_;
  size_t n_items_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
  size_t hits_ = 0, misses_ = 0, repeats_missed_ = 0;
  bool enabled_ = true;
  bool judged_ = false;
};

// How a column of fixed-width UCS4 items decoded.
struct Ucs4Decoded {
  enum Outcome { Ok, Surrogate, BadCodePoint } outcome = Ok;
  size_t position = 0;  // BadCodePoint: the first position holding one
  uint32_t code_point = 0;
};

// Reads n items of `width` UCS4 code units each (NumPy's str layout: item i
// at base + i * stride, native byte order, possibly unaligned, trailing NULs
// not part of the string) into `col`, de-duplicating on the raw units so that
// only distinct items are converted to UTF-8. A unit beyond U+10FFFF gives
// BadCodePoint; a surrogate, which UTF-8 cannot encode, gives Surrogate. On
// any outcome but Ok, `col` holds nothing useful. Ticks an InterruptCheck per
// item.
Ucs4Decoded read_ucs4_column(const char* base, size_t n, std::ptrdiff_t stride, size_t width,
                             TokenColumn& col);

// The ids of a column's distinct strings, interned by intern_stream_into in
// order of first sight (which is their order in the column).
std::vector<TokenId> intern_distinct(const TokenColumn& column);

// Interns a column (see intern_stream: in chunks, with interrupt checks);
// new strings get ids in order of their first position.
std::vector<TokenId> intern_column(TokenColumn&& column);

}  // namespace zuldcore
