// Arrow string columns into token columns. Strings of up to 12 bytes (most
// tokens) are found by their 16-byte inline form, two words compared, before
// any byte hashing; a dictionary's entries are read once per chunk and its
// indices then mapped, so the cost per position is a load and a lookup.
#include "intern/arrow_tokens.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "base/ensure.hpp"
#include "base/interrupt.hpp"
#include "base/memory.hpp"

namespace zuldcore {

namespace {

constexpr uint32_t UNSET = UINT32_MAX;
constexpr int64_t MAX_INLINE = 12;  // longest string a view holds inline

uint64_t load64(const void* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
int32_t load_i32(const void* p) noexcept {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A string of at most 12 bytes in the form a string view holds it inline:
// its length in the first 4 bytes (little-endian), then its bytes, then
// zeros. Equal strings have equal keys, unequal ones unequal keys.
struct Key {
  uint64_t lo, hi;
};

// Masks that clear the bytes of a 16-byte view past a string of `len` (<= 12)
// bytes: the low word holds the length and the first 4 bytes, the high word
// the next 8. Looked up rather than branched on, since token lengths vary
// from one position to the next.
constexpr uint64_t ones(int bytes) { return bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1; }
constexpr uint64_t LO_MASK[13] = {ones(4), ones(5), ones(6), ones(7), ones(8), ones(8), ones(8),
                                  ones(8), ones(8), ones(8), ones(8), ones(8), ones(8)};
constexpr uint64_t HI_MASK[13] = {0,       0,       0,       0,       0,       ones(1), ones(2),
                                  ones(3), ones(4), ones(5), ones(6), ones(7), ones(8)};

// The key from the 16 bytes of a view (or built like one) whose bytes past
// the string are not known to be zero.
Key masked_key(uint64_t lo, uint64_t hi, int64_t len) noexcept {
  return {lo & LO_MASK[len], hi & HI_MASK[len]};
}

// The key of the `len` (<= 12) bytes at `p`; `readable` says whether the 16
// bytes from `p` may be loaded (they lie inside the column's data).
Key key_of(const char* p, int64_t len, bool readable) noexcept {
  if (readable) {
    const uint64_t a = load64(p), b = load64(p + 8);
    return masked_key(static_cast<uint64_t>(len) | (a << 32), (a >> 32) | (b << 32), len);
  }
  unsigned char buf[16] = {};
  const auto n = static_cast<uint32_t>(len);
  std::memcpy(buf, &n, 4);
  if (len > 0) std::memcpy(buf + 4, p, static_cast<size_t>(len));
  return {load64(buf), load64(buf + 8)};
}

bool is_index_format(const char* f) noexcept {
  return f != nullptr && f[0] != 0 && f[1] == 0 && std::strchr("cCsSiIlL", f[0]) != nullptr;
}

}  // namespace

// Short keys -> code, in front of the column's DistinctStrings. Slots are
// 8 bytes (a hash tag and an entry number) and the entries lie in order of
// first sight, so the table stays small enough to keep in cache while a
// column streams past; callers hash a batch of keys and prefetch their slots
// before probing, so that the misses of a batch overlap.
class ArrowTokenReader::ShortKeys {
 public:
  ShortKeys() : slots_(256, 0), mask_(255) {}

  uint64_t hash(Key k) const noexcept { return mix64(k.lo ^ seed_, k.hi ^ 0xe7037ed1a0b428dbull); }
  void prefetch(uint64_t h) const noexcept { __builtin_prefetch(&slots_[h & mask_]); }
  // Once the slot is in cache: the entry it names, which the probe compares.
  void prefetch_entry(uint64_t h) const noexcept {
    const uint64_t s = slots_[h & mask_];
    if (s != 0) __builtin_prefetch(&entries_[static_cast<uint32_t>(s) - 1]);
  }

  // The code of key `k` of hash `h`, made by make() the first time.
  template <class Make>
  uint32_t code_of(Key k, uint64_t h, Make&& make) {
    const uint64_t tag = (h >> 32) | 1;
    size_t i = h & mask_;
    for (;; i = (i + 1) & mask_) {
      const uint64_t s = slots_[i];
      if (s == 0) break;
      if ((s >> 32) == tag) {
        const Entry& e = entries_[static_cast<uint32_t>(s) - 1];
        if (e.lo == k.lo && e.hi == k.hi) return e.code;
      }
    }
    const uint32_t code = make();
    if ((entries_.size() + 1) * 2 > slots_.size()) {
      grow();
      i = h & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
    }
    entries_.push_back(Entry{k.lo, k.hi, code});
    slots_[i] = (tag << 32) | entries_.size();
    return code;
  }

 private:
  struct Entry {
    uint64_t lo, hi;
    uint32_t code;
  };
  // Millions of keys take a while to place again: Ctrl-C is heard meanwhile,
  // and the table is replaced only once complete.
  void grow() {
    std::vector<uint64_t> fresh(slots_.size() * 2, 0);
    const size_t mask = fresh.size() - 1;
    InterruptCheck interrupt;
    for (size_t e = 0; e < entries_.size(); ++e) {
      interrupt.tick();
      const uint64_t h = hash(Key{entries_[e].lo, entries_[e].hi});
      size_t i = h & mask;
      while (fresh[i] != 0) i = (i + 1) & mask;
      fresh[i] = (((h >> 32) | 1) << 32) | (e + 1);
    }
    slots_.swap(fresh);
    mask_ = mask;
  }

  std::vector<uint64_t> slots_;  // tag << 32 | (entry + 1); 0 empty
  size_t mask_;
  std::vector<Entry> entries_;
  uint64_t seed_ = column_seed();
};

ArrowTokenReader::ArrowTokenReader(const ArrowSchema& schema, const char* name, TokenColumn& col)
    : schema_(schema), name_(name), col_(col), distinct_(col), short_(std::make_unique<ShortKeys>()) {
  const ArrowSchema& column = column_schema(schema);
  const ArrowSchema* strings = &column;  // the schema of the strings themselves
  if (column.dictionary != nullptr) {
    index_format_ = is_index_format(column.format) ? column.format[0] : 0;
    strings = index_format_ != 0 && column.dictionary->dictionary == nullptr ? column.dictionary : nullptr;
  }
  const std::string_view f = strings != nullptr && strings->format != nullptr ? strings->format : "";
  if (f == "u") layout_ = Layout::Offsets32;
  else if (f == "U") layout_ = Layout::Offsets64;
  else if (f == "vu") layout_ = Layout::Views;
  else if (f == "n" && index_format_ == 0) layout_ = Layout::Null;
  else
    throw TypeError(cat("argument '", name, "': expected an Arrow array of strings (string, large_string, "
                        "string_view or a dictionary of them), got ", arrow_type_name(column)));
}

ArrowTokenReader::~ArrowTokenReader() = default;

namespace {

int64_t buffers_of(bool views) { return views ? -1 : 3; }

// Value i of a buffer of T, which producers should align but need not.
template <class T>
T load_at(const void* buffer, int64_t i) noexcept {
  T v;
  std::memcpy(&v, static_cast<const char*>(buffer) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return v;
}

constexpr int64_t CHECK_BLOCK = int64_t{1} << 16;  // items checked between interrupt checks
// No buffer in memory reaches this far: an offset beyond it is a lie that
// checking the order of the offsets cannot catch.
constexpr int64_t MAX_BUFFER_BYTES = int64_t{1} << 48;

// Checks offsets[start .. start + n] of a string array before any of its
// bytes is read: the first is not negative, none is less than the one before
// (so every string lies between the first and the last offset, and the last
// is where the data ends), and the data buffer is there when some string is
// not empty. `whose` is "" or " of the dictionary", for the message.
template <class Off>
void check_offsets(const ArrowArray& a, int64_t start, int64_t n, const char* name, const char* whose) {
  const void* off = a.buffers[1];
  if (off == nullptr) throw_malformed_arrow(name, cat("no offsets buffer", whose));
  const Off first = load_at<Off>(off, start);
  if (first < 0) throw_malformed_arrow(name, cat("offsets[", start, "]", whose, " is ", first, ", below zero"));
  Off prev = first;
  for (int64_t b = 0; b < n; b += CHECK_BLOCK) {
    const int64_t e = std::min(n, b + CHECK_BLOCK);
    for (int64_t i = b; i < e; ++i) {
      const Off next = load_at<Off>(off, start + i + 1);
      if (next < prev) [[unlikely]]
        throw_malformed_arrow(name, cat("offsets[", start + i + 1, "]", whose, " is ", next, ", less than offsets[",
                                        start + i, "] = ", prev));
      prev = next;
    }
    check_interrupt();
  }
  if (static_cast<int64_t>(prev) > MAX_BUFFER_BYTES)
    throw_malformed_arrow(name, cat("offsets[", start + n, "]", whose, " is ", prev, ", beyond any buffer in memory"));
  if (prev > first && a.buffers[2] == nullptr) throw_malformed_arrow(name, cat("no data buffer", whose));
}

// Checks views [start, start + n) of a string view array before any string
// is read: no length is negative, and every string not held inline lies
// inside a data buffer that is there. Views of the null slots of `s` (when
// given) are not read, and need not be valid.
void check_views(const ArrowArray& a, int64_t start, int64_t n, const char* name, const char* whose,
                 const ArrowSlice* nulls) {
  const auto* views = static_cast<const unsigned char*>(a.buffers[1]);
  if (views == nullptr) throw_malformed_arrow(name, cat("no views buffer", whose));
  const int64_t n_data = a.n_buffers - 3;
  const void* sizes = a.buffers[a.n_buffers - 1];
  if (n_data > 0 && sizes == nullptr) throw_malformed_arrow(name, cat("no buffer sizes", whose));
  for (int64_t b = 0; b < n; b += CHECK_BLOCK) {
    const int64_t e = std::min(n, b + CHECK_BLOCK);
    for (int64_t i = b; i < e; ++i) {
      if (nulls != nullptr && !nulls->valid(i)) continue;
      const int64_t j = start + i;
      const unsigned char* v = views + 16 * j;
      const int32_t len = load_i32(v);
      if (len < 0) throw_malformed_arrow(name, cat("view ", j, whose, " has length ", len));
      if (len <= MAX_INLINE) continue;
      const int32_t buffer = load_i32(v + 8), offset = load_i32(v + 12);
      if (buffer < 0 || buffer >= n_data)
        throw_malformed_arrow(name, cat("view ", j, whose, " names data buffer ", buffer, " of ", n_data));
      if (a.buffers[2 + buffer] == nullptr)
        throw_malformed_arrow(name, cat("view ", j, whose, " names data buffer ", buffer, ", which is missing"));
      const int64_t size = load_at<int64_t>(sizes, buffer);
      if (offset < 0 || int64_t{offset} + len > size)
        throw_malformed_arrow(name, cat("view ", j, whose, " holds ", len, " bytes at offset ", offset,
                                        " of data buffer ", buffer, ", which has ", size, " bytes"));
    }
    check_interrupt();
  }
}

// The bytes of string j of a checked string array (any layout but Null).
template <class Off>
std::string_view offsets_string(const ArrowArray& a, int64_t j) {
  const Off b = load_at<Off>(a.buffers[1], j), e = load_at<Off>(a.buffers[1], j + 1);
  if (e == b) return {};
  return {static_cast<const char*>(a.buffers[2]) + b, static_cast<size_t>(e - b)};
}

std::string_view view_string(const ArrowArray& a, int64_t j) {
  const unsigned char* v = static_cast<const unsigned char*>(a.buffers[1]) + 16 * j;
  const int32_t len = load_i32(v);
  if (len <= MAX_INLINE) return {reinterpret_cast<const char*>(v + 4), static_cast<size_t>(len)};
  const int32_t buffer = load_i32(v + 8), offset = load_i32(v + 12);
  return {static_cast<const char*>(a.buffers[2 + buffer]) + offset, static_cast<size_t>(len)};
}

}  // namespace

template <class ShortKeyOf, class BytesOf>
void ArrowTokenReader::read_batched(size_t n, uint32_t* out, ShortKeyOf&& short_key_of, BytesOf&& bytes_of) {
  constexpr size_t BATCH = 16;
  Key keys[BATCH];
  uint64_t hashes[BATCH];
  bool is_short[BATCH];
  for (size_t base = 0; base < n; base += BATCH) {
    interrupt_.tick();
    const size_t m = std::min(BATCH, n - base);
    for (size_t k = 0; k < m; ++k) {
      is_short[k] = short_key_of(base + k, keys[k]);
      if (is_short[k]) {
        hashes[k] = short_->hash(keys[k]);
        short_->prefetch(hashes[k]);
      }
    }
    for (size_t k = 0; k < m; ++k)
      if (is_short[k]) short_->prefetch_entry(hashes[k]);
    for (size_t k = 0; k < m; ++k) {
      const size_t i = base + k;
      out[i] = is_short[k] ? short_->code_of(keys[k], hashes[k], [&] { return distinct_.code_of(bytes_of(i)); })
                           : distinct_.code_of(bytes_of(i));
    }
  }
}

void ArrowTokenReader::check_strings(const ArrowArray& a, int64_t start, int64_t n, const char* whose,
                                     const ArrowSlice* nulls) const {
  switch (layout_) {
    case Layout::Offsets32: check_offsets<int32_t>(a, start, n, name_, whose); break;
    case Layout::Offsets64: check_offsets<int64_t>(a, start, n, name_, whose); break;
    case Layout::Views: check_views(a, start, n, name_, whose, nulls); break;
    case Layout::Null: break;
  }
}

void ArrowTokenReader::append(const ArrowArray& chunk) {
  const bool dictionary = index_format_ != 0;
  const ArrowSlice s = arrow_slice(schema_, chunk, dictionary ? 2 : layout_ == Layout::Null ? ARROW_NULL_BUFFERS
                                                                   : buffers_of(layout_ == Layout::Views),
                                   name_);
  if (s.length == 0) return;
  if (layout_ == Layout::Null && !dictionary) throw ValueError(cat(name_, "[", read_, "] is null"));
  if (const int64_t null = s.first_null(); null >= 0)
    throw ValueError(cat(name_, "[", read_ + null, "] is null"));

  // Every offset, view and index is checked before any string is read, so a
  // malformed chunk is refused having hashed nothing.
  const ArrowArray& a = *s.array;
  const ArrowArray* values = nullptr;
  if (dictionary) {
    values = a.dictionary;
    if (values == nullptr) throw_malformed_arrow(name_, "a dictionary-encoded array without its dictionary");
    const ArrowSlice entries =
        arrow_slice(*column_schema(schema_).dictionary, *values, buffers_of(layout_ == Layout::Views), name_);
    if (a.buffers[1] == nullptr) throw_malformed_arrow(name_, "no indices buffer");
    check_strings(*values, entries.start, entries.length, " of the dictionary", &entries);
    switch (index_format_) {
      case 'c': check_indices<int8_t>(s, entries.length); break;
      case 'C': check_indices<uint8_t>(s, entries.length); break;
      case 's': check_indices<int16_t>(s, entries.length); break;
      case 'S': check_indices<uint16_t>(s, entries.length); break;
      case 'i': check_indices<int32_t>(s, entries.length); break;
      case 'I': check_indices<uint32_t>(s, entries.length); break;
      case 'l': check_indices<int64_t>(s, entries.length); break;
      default: check_indices<uint64_t>(s, entries.length); break;
    }
  } else {
    check_strings(a, s.start, s.length, "", nullptr);
  }

  const size_t at = col_.codes.size();
  const auto n = static_cast<size_t>(s.length);
  if (col_.codes.capacity() < at + n) reserve_large(col_.codes, std::max(at + n, 2 * col_.codes.capacity()));
  col_.codes.resize(at + n);
  uint32_t* out = col_.codes.data() + at;

  if (dictionary) {
    switch (index_format_) {
      case 'c': append_dictionary<int8_t>(s, *values); break;
      case 'C': append_dictionary<uint8_t>(s, *values); break;
      case 's': append_dictionary<int16_t>(s, *values); break;
      case 'S': append_dictionary<uint16_t>(s, *values); break;
      case 'i': append_dictionary<int32_t>(s, *values); break;
      case 'I': append_dictionary<uint32_t>(s, *values); break;
      case 'l': append_dictionary<int64_t>(s, *values); break;
      default: append_dictionary<uint64_t>(s, *values); break;
    }
  } else if (layout_ == Layout::Views) {
    const auto* views = static_cast<const unsigned char*>(a.buffers[1]) + 16 * s.start;
    read_batched(n, out, [&](size_t i, Key& key) {
      const unsigned char* v = views + 16 * i;
      const int32_t len = load_i32(v);
      if (len > MAX_INLINE) return false;
      key = masked_key(load64(v), load64(v + 8), len);
      return true;
    }, [&](size_t i) { return view_string(a, s.start + static_cast<int64_t>(i)); });
  } else {
    auto read = [&]<class Off>() {
      const void* off = a.buffers[1];
      const auto* data = static_cast<const char*>(a.buffers[2]);
      const Off end = load_at<Off>(off, s.start + s.length);  // the column's bytes end here
      if (data == nullptr) {  // no bytes at all: every string is empty
        const uint32_t empty = distinct_.code_of({});
        std::fill(out, out + n, empty);
        return;
      }
      auto bounds = [&](size_t i) {
        const int64_t j = s.start + static_cast<int64_t>(i);
        return std::pair{load_at<Off>(off, j), load_at<Off>(off, j + 1)};
      };
      read_batched(n, out, [&](size_t i, Key& key) {
        const auto [b, e] = bounds(i);
        if (e - b > MAX_INLINE) return false;
        key = key_of(data + b, e - b, end - b >= 16);
        return true;
      }, [&](size_t i) {
        const auto [b, e] = bounds(i);
        return std::string_view(data + b, static_cast<size_t>(e - b));
      });
    };
    if (layout_ == Layout::Offsets32)
      read.operator()<int32_t>();
    else
      read.operator()<int64_t>();
  }
  read_ += s.length;
}

template <class Index>
void ArrowTokenReader::check_indices(const ArrowSlice& s, int64_t n_values) const {
  const void* idx = s.array->buffers[1];
  for (int64_t b = 0; b < s.length; b += CHECK_BLOCK) {
    const int64_t e = std::min(s.length, b + CHECK_BLOCK);
    for (int64_t i = b; i < e; ++i) {
      const Index k = load_at<Index>(idx, s.start + i);
      bool inside;
      if constexpr (std::is_signed_v<Index>)
        inside = k >= 0 && static_cast<int64_t>(k) < n_values;
      else
        inside = static_cast<uint64_t>(k) < static_cast<uint64_t>(n_values);
      if (!inside) [[unlikely]]
        throw ValueError(cat(name_, "[", read_ + i, "] holds dictionary index ", k, " of ", n_values, " values"));
    }
    check_interrupt();
  }
}

template <class Index>
void ArrowTokenReader::append_dictionary(const ArrowSlice& s, const ArrowArray& values) {
  const void* idx = s.array->buffers[1];
  entry_codes_.assign(static_cast<size_t>(values.length), UNSET);
  uint32_t* out = col_.codes.data() + (col_.codes.size() - static_cast<size_t>(s.length));
  for (int64_t i = 0; i < s.length; ++i) {
    interrupt_.tick();
    const auto k = static_cast<size_t>(load_at<Index>(idx, s.start + i));  // checked: inside the dictionary
    uint32_t& code = entry_codes_[k];
    if (code == UNSET) code = entry_code(values, static_cast<int64_t>(k), read_ + i);
    out[i] = code;
  }
}

uint32_t ArrowTokenReader::entry_code(const ArrowArray& values, int64_t k, int64_t position) {
  const int64_t j = values.offset + k;
  if (values.null_count != 0 && values.buffers[0] != nullptr) {
    const auto* bits = static_cast<const uint8_t*>(values.buffers[0]);
    if (!((bits[j >> 3] >> (j & 7)) & 1)) throw ValueError(cat(name_, "[", position, "] is null"));
  }
  switch (layout_) {
    case Layout::Offsets32: return distinct_.code_of(offsets_string<int32_t>(values, j));
    case Layout::Offsets64: return distinct_.code_of(offsets_string<int64_t>(values, j));
    default: return distinct_.code_of(view_string(values, j));
  }
}

void ArrowTokenReader::finish() {
  for (size_t d = 0; d < col_.n_distinct(); ++d) {
    interrupt_.tick();
    if (!is_valid_utf8(col_.distinct(d)))
      throw ValueError(cat(name_, "[", col_.first_position_of(static_cast<uint32_t>(d)), "] is not valid UTF-8"));
  }
}

bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp, min;
    if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
    else return false;
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace zuldcore
