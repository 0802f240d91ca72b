// The Arrow C data and stream interfaces: the three structs as the
// interface fixes them, an owner that releases each exactly once, and what a
// reader needs to walk one column: its type in words, its slice of a chunk,
// validity bits, and numbers of any integer or float type read by value. No
// Arrow library is used; strings are read in intern/arrow_tokens.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The interface's own definitions, under its canonical guards so that
// another copy of them elsewhere cannot clash with this one.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace zuldcore {

// One exported struct that we own: released (its producer's callback called)
// exactly once, when the owner is reset or destroyed. A released struct has
// a null release callback. Moving moves the struct, as the interface allows,
// and leaves the source released.
template <class T>
class ArrowOwned {
 public:
  ArrowOwned() noexcept = default;
  ArrowOwned(ArrowOwned&& o) noexcept : raw_(std::exchange(o.raw_, T{})) {}
  ArrowOwned& operator=(ArrowOwned&& o) noexcept {
    if (this != &o) {
      reset();
      raw_ = std::exchange(o.raw_, T{});
    }
    return *this;
  }
  ArrowOwned(const ArrowOwned&) = delete;
  ArrowOwned& operator=(const ArrowOwned&) = delete;
  ~ArrowOwned() { reset(); }

  // Takes over `*moved_from` and marks it released, so that whoever held it
  // (a capsule's destructor) does not release it again.
  static ArrowOwned take(T* moved_from) noexcept {
    ArrowOwned o;
    o.raw_ = std::exchange(*moved_from, T{});
    return o;
  }

  bool released() const noexcept { return raw_.release == nullptr; }
  const T& operator*() const noexcept { return raw_; }
  T* get() noexcept { return &raw_; }  // for a producer to fill; call only when released()
  void reset() noexcept {
    if (raw_.release != nullptr) raw_.release(&raw_);
    raw_ = T{};
  }

 private:
  T raw_{};
};

// The type of `schema` in Arrow's words ("int64", "large_string",
// "timestamp[us, tz=UTC]", "dictionary<values=string, indices=int8>",
// "struct<2 fields>"), for messages. Dictionaries nested more than a few deep
// (or one that is its own dictionary) end in "dictionary<...>".
std::string arrow_type_name(const ArrowSchema& schema);

// Where one column's values sit in a chunk. A chunk is either the column
// itself or a struct of exactly one field (a one-column table, as a SQL
// result arrives); then the struct's own validity applies too.
struct ArrowSlice {
  const ArrowArray* array = nullptr;      // the column's array
  int64_t start = 0;                      // index in `array` of the first value (offsets applied)
  int64_t length = 0;
  const uint8_t* outer_validity = nullptr;  // the struct's validity bitmap, or null
  int64_t outer_start = 0;

  // Whether value i (0 <= i < length) is valid.
  bool valid(int64_t i) const noexcept;
  // Whether any value may be null (a cheap upper bound from the null counts).
  bool may_have_nulls() const noexcept;
  // The first null value, or -1.
  int64_t first_null() const noexcept;
};

// Whether `schema` is a struct of exactly one field, which is then read in its place.
bool is_one_column_table(const ArrowSchema& schema) noexcept;
// The column's schema: `schema` itself, or its one field.
const ArrowSchema& column_schema(const ArrowSchema& schema) noexcept;

// The column's slice of `chunk`, whose schema is `schema`. Throws
// ValueError "{name}: malformed Arrow array: ..." when the chunk's shape does
// not fit its type (buffer or child counts, negative lengths or offsets,
// missing buffers, nulls counted without a validity bitmap);
// `expected_buffers` is the column array's buffer count, or -1 for "at least
// 3" (string views carry a variable number), or ARROW_NULL_BUFFERS for the
// null type.
// The null type has no buffers, but some producers (Polars) export its
// absent validity bitmap as one null buffer: either is accepted, and its
// null count needs no bitmap.
inline constexpr int64_t ARROW_NULL_BUFFERS = -2;

ArrowSlice arrow_slice(const ArrowSchema& schema, const ArrowArray& chunk, int64_t expected_buffers,
                       const char* name);

// ValueError "{name}: malformed Arrow array: {what}".
[[noreturn]] void throw_malformed_arrow(const char* name, const std::string& what);

// The Arrow types whose values are numbers read by value: every integer and
// float width, and the null type (every value null).
enum class ArrowNumber : uint8_t {
  None, Null, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float16, Float32, Float64
};

// The number type of a column's own schema, or None for any other type
// (dictionaries, dates and times, decimals, bool, strings, ...).
ArrowNumber arrow_number_type(const ArrowSchema& schema) noexcept;

// TypeError "argument '{name}': got {what}; pass numbers in a unit of your
// choosing, ..." for a column of dates, times or durations ("an Arrow
// timestamp[us] column") given where numbers are wanted.
[[noreturn]] void throw_time_column(const char* name, std::string_view what);

// The TypeError for a column of `schema` given where numbers are wanted:
// "argument '{name}': expected an Arrow array of numbers (an integer or float
// type), got {type}", or for a date, time, timestamp or duration column a
// message that says to pass numbers in a unit of the caller's choosing.
[[noreturn]] void throw_not_numbers(const char* name, const ArrowSchema& schema);

// Reads one array of an integer, float or null type into doubles by value:
// appends `array.length` values (from its offset on) to `out`, each what
// Python's float() gives for the value's scalar (an integer rounds to the
// nearest double, ties to even; float16 and float32 are exact), a null one as
// NaN. `schema` is the array's own type; another type is throw_not_numbers(),
// a chunk whose shape does not fit it "{name}: malformed Arrow array: ...";
// either appends nothing. Checks for an interrupt every 65,536 values.
void read_arrow_numbers(const ArrowSchema& schema, const ArrowArray& array, std::vector<double>& out,
                        const char* name);

// Reads a numeric column (see read_arrow_numbers; a one-column table reads
// its field) chunk by chunk. A null value becomes NaN when `null_as_nan`,
// else ValueError "{name}[{i}] is null" with i counted over every chunk read.
class ArrowNumberReader {
 public:
  ArrowNumberReader(const ArrowSchema& schema, const char* name, bool null_as_nan);
  void append(const ArrowArray& chunk, std::vector<double>& out);

 private:
  const ArrowSchema& schema_;
  const char* name_;
  bool null_as_nan_;
  ArrowNumber type_;
  int64_t read_ = 0;  // values read before this chunk
};

}  // namespace zuldcore
