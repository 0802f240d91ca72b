// Token columns: the identity cache's growth, UCS4 decoding, and the one
// locked pass that interns a column's distinct strings.
#include "intern/column.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

#include "base/interrupt.hpp"
#include "base/memory.hpp"

namespace zuldcore {

size_t TokenColumn::first_position_of(uint32_t d) const {
  size_t i = 0;
  while (codes[i] != d) ++i;
  return i;
}

uint64_t column_seed() {
  static const uint64_t seed = std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32);
  return seed;
}

void SharedItemCodes::grow() {
  std::vector<Slot> old = std::move(slots_);
  // A short column gets a table no larger than it needs.
  const size_t first = std::bit_ceil(std::clamp<size_t>(2 * n_items_, 16, 256));
  slots_.assign(old.empty() ? first : old.size() * 2, Slot{nullptr, 0});
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (!s.key) continue;
    size_t i = slot_of(s.key);
    while (slots_[i].key) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

namespace {

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

Ucs4Decoded read_ucs4_column(const char* base, size_t n, std::ptrdiff_t stride, size_t width,
                             TokenColumn& col) {
  // First the raw items, de-duplicated as byte strings of 4 * length bytes.
  TokenColumn raw;
  DistinctStrings distinct(raw);
  reserve_large(raw.codes, n);
  raw.codes.resize(n);
  std::vector<uint32_t> units(width);
  InterruptCheck interrupt;
  for (size_t i = 0; i < n; ++i) {
    interrupt.tick();
    std::memcpy(units.data(), base + static_cast<std::ptrdiff_t>(i) * stride, width * 4);
    size_t len = width;
    while (len > 0 && units[len - 1] == 0) --len;
    raw.codes[i] = distinct.code_of(std::string_view(reinterpret_cast<const char*>(units.data()), len * 4));
  }

  // Then each distinct item once, into UTF-8; codes carry over unchanged.
  col.codes = std::move(raw.codes);
  for (size_t d = 0; d < raw.n_distinct(); ++d) {
    interrupt.tick();
    const std::string_view bytes = raw.distinct(d);
    bool surrogate = false;
    for (size_t k = 0; k < bytes.size(); k += 4) {
      uint32_t cp;
      std::memcpy(&cp, bytes.data() + k, 4);
      if (cp > 0x10FFFF)
        return {Ucs4Decoded::BadCodePoint, col.first_position_of(static_cast<uint32_t>(d)), cp};
      surrogate |= cp >= 0xD800 && cp <= 0xDFFF;
      append_utf8(col.arena, cp);
    }
    if (surrogate) return {Ucs4Decoded::Surrogate};
    col.ends.push_back(col.arena.size());
  }
  return {};
}

std::vector<TokenId> intern_distinct(const TokenColumn& column) {
  std::vector<std::string_view> distinct(column.n_distinct());
  for (size_t d = 0; d < distinct.size(); ++d) distinct[d] = column.distinct(d);
  std::vector<TokenId> ids(distinct.size());
  intern_stream_into(distinct, ids);
  return ids;
}

std::vector<TokenId> intern_column(TokenColumn&& column) {
  std::vector<TokenId> ids = intern_distinct(column);
  std::vector<TokenId> out = std::move(column.codes);
  InterruptCheck interrupt;
  for (TokenId& code : out) {
    interrupt.tick();
    code = ids[code];
  }
  return out;
}

}  // namespace zuldcore
