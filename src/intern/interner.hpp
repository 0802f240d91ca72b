// The process-wide token vocabulary: token string <-> dense 32-bit id.
// Ids follow the order of first sight in the process and are never freed.
// One mutex guards the vocabulary; nothing here knows about Python.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "intern/hash.hpp"

namespace zuldcore {

using TokenId = uint32_t;

// Strings by index in blocks that never move, so that a vocabulary of
// millions grows without copying what it holds.
class StringBlocks {
 public:
  size_t size() const noexcept { return size_; }
  const std::string& operator[](size_t i) const noexcept { return blocks_[i >> SHIFT][i & (BLOCK - 1)]; }
  // Room for n strings in all. On failure (std::bad_alloc) nothing changed.
  void reserve(size_t n);
  // Appends `s`; reserve must have made room for it.
  void push_back(std::string&& s) noexcept { blocks_[size_ >> SHIFT][size_ & (BLOCK - 1)] = std::move(s), ++size_; }

 private:
  static constexpr size_t SHIFT = 12, BLOCK = size_t{1} << SHIFT;
  std::vector<std::unique_ptr<std::string[]>> blocks_;
  size_t size_ = 0;
};

// The vocabulary itself. Not synchronised: the free functions below hold the
// process-wide mutex around every use.
class Interner {
 public:
  explicit Interner(uint64_t seed) : seed_(seed) {}

  // The id of `s`, giving it the next id if it is new. Throws OverflowError
  // (and changes nothing) when every 32-bit id is taken.
  TokenId intern(std::string_view s);
  // The ids of `tokens` into `out` (of the same length); new strings get
  // consecutive ids in order of their first position. All or nothing: on
  // std::bad_alloc or OverflowError the vocabulary is unchanged.
  void intern_all(std::span<const std::string_view> tokens, std::span<TokenId> out);
  // The string of `id`; an id outside the vocabulary is an Internal failure.
  const std::string& at(TokenId id) const;
  size_t size() const noexcept { return strings_.size(); }
  // One step towards room for `extra` more strings, doing at most about
  // `budget` slots' work of growing the index (see IndexTable::grow_step);
  // true once there is room, so that interning them grows nothing. A caller
  // that takes a lock per step can stop between steps: nothing changes
  // until the last one.
  bool make_room(size_t extra, size_t budget);

 private:
  struct Keys {
    const Interner* self;
    std::string_view key(uint32_t i) const { return self->strings_[i]; }
    uint64_t hash(uint32_t i) const { return hash_bytes(self->strings_[i], self->seed_); }
  };

  uint64_t seed_;
  StringBlocks strings_;       // id -> string
  IndexTable ids_;             // string -> id, over strings_
  IndexTable::Growth growth_;  // make_room's growth under way
};

// Each of these takes the process-wide mutex once, creating the empty
// vocabulary (with a random hash seed) on first use. Running out of memory
// (std::bad_alloc) or ids (OverflowError) leaves the vocabulary unchanged and
// usable. Any other failure while the mutex is held is a broken invariant:
// the vocabulary is marked poisoned and every later call throws Internal.

// One token; used when patterns and references are built.
TokenId intern(std::string_view s);
// A whole stream: new strings get ids in order of their first position
// (consecutive, unless another thread interns while a long stream is under
// way). A stream of more than 65,536 strings is interned in chunks, each under
// one lock, with check_interrupt() between them; room for a chunk is made
// before it, in steps each under one lock, with check_interrupt() between
// them too, so no hold of the lock rebuilds a whole large index. Interrupted
// leaves the chunks before it interned and the vocabulary consistent.
std::vector<TokenId> intern_stream(std::span<const std::string_view> tokens);
// Same, writing into `out` (of the same length).
void intern_stream_into(std::span<const std::string_view> tokens, std::span<TokenId> out);
// Copies of the strings of `ids`, under one lock. An unknown id is Internal.
std::vector<std::string> resolve_batch(std::span<const TokenId> ids);
// Number of distinct tokens seen so far (for tests and benchmarks).
size_t vocabulary_size();

}  // namespace zuldcore
