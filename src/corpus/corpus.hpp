// A corpus: many documents laid end to end in one interned stream and cut by
// int64 offsets, checked once when it is made and then only read (by any
// number of threads at once). The checks, and the conversion of temporal
// counts (dates, timestamps) into float times, live here; the jobs that run
// over the documents are corpus/jobs.hpp, reading frames corpus/frame.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "engine/points.hpp"
#include "intern/interner.hpp"

namespace zuldcore {

struct Corpus {
  std::vector<TokenId> tokens;
  std::vector<double> times;
  std::vector<double> values;    // empty when the corpus carries no values (every value NaN)
  std::vector<int64_t> offsets;  // document k is rows offsets[k] .. offsets[k + 1] - 1

  size_t size() const noexcept { return tokens.size(); }
  size_t n_docs() const noexcept { return offsets.size() - 1; }
  // Document k as a stream of its own (positions from 0).
  StreamView document(size_t k) const noexcept;
};

// Offsets must hold at least one entry, start at 0, never decrease and end
// at n_rows. Fails naming the first bad index:
//   "offsets must not be empty: it holds n_docs + 1 entries, from 0 to the number of rows"
//   "offsets[0] is {v}; it must be 0"
//   "offsets[{i}] is {v}, below offsets[{i - 1}] = {w}"
//   "offsets[{i}] is {v}, beyond the number of rows ({n})"
//   "offsets[{i}] is {v}; the last offset must be the number of rows ({n})"
Status check_offsets(std::span<const int64_t> offsets, size_t n_rows);

// Times must never be NaN and never decrease within a document (they may go
// back from one document to the next). Fails at the first bad row, naming
// the times as `name`:
//   "{name}[{row}] is NaN (document {k})"
//   "{name}[{row}] is {t}, below {name}[{row - 1}] = {s} in document {k}"
// `offsets` must have passed check_offsets.
Status check_document_times(std::span<const double> times, std::span<const int64_t> offsets,
                            std::string_view name);

// Every id must have been handed out (below `vocabulary`, the number of
// tokens interned so far):
//   "{name}[{i}] is {id}, an id that was never handed out ({vocabulary} ids so far)"
Status check_token_ids(std::span<const TokenId> ids, size_t vocabulary, std::string_view name);

// ---------------------------------------------------------------- temporal counts

// The units a temporal column converts to: a float number of them since the epoch.
enum class TimeUnit : uint8_t { Microseconds, Milliseconds, Seconds, Minutes, Hours, Days };

// "us", "ms", "s", "m", "h" or "d"; anything else fails with
// "time_unit must be one of "us", "ms", "s", "m", "h", "d" (got '{text}')".
Expected<TimeUnit> time_unit_from_name(std::string_view text);
uint64_t nanoseconds_per(TimeUnit unit) noexcept;

// Counts of one length of time (`count_ns` nanoseconds each: a day for a
// date, the unit of a timestamp) as float numbers of another (`unit_ns`),
// each the correctly rounded value of count * count_ns / unit_ns. Exact
// integer arithmetic, so every count whose result needs at most 53 bits
// (microseconds within about 285 years of 1970 as "us") comes out exact.
class CountConverter {
 public:
  CountConverter(uint64_t count_ns, uint64_t unit_ns);
  double operator()(int64_t count) const noexcept {
    // The usual count: both operands exact as doubles, so one IEEE division
    // rounds correctly (and none is needed when den_ is 1).
    const uint64_t magnitude = count < 0 ? 0 - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
    if (magnitude > exact_limit_) [[unlikely]]
      return exact_quotient(count);
    const double exact = static_cast<double>(static_cast<int64_t>(magnitude * num_));
    const double r = den_ == 1 ? exact : exact / static_cast<double>(den_);
    return count < 0 ? -r : r;
  }

 private:
  double exact_quotient(int64_t count) const noexcept;  // in 128-bit integers

  uint64_t num_;  // count_ns / unit_ns in lowest terms
  uint64_t den_;
  uint64_t exact_limit_;  // the largest magnitude whose count * num_ is exact as a double, when den_ is too
};

}  // namespace zuldcore
