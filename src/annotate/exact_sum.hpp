// ExactSum: a sum of doubles kept exactly, so that values can be added and
// taken away again in any order without rounding drift, and read back as the
// correctly rounded double of the true sum (what math.fsum returns for the
// same values). Sliding means over windows use it: a naive running sum of
// 1e16, 1, -1e16 loses the 1 for good.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zuldcore {

// A two's complement fixed-point integer with its lowest bit worth 2^-1074
// (the smallest subnormal), wide enough for 2^64 additions of the largest
// finite double. Infinities are counted apart; NaN is ignored (the caller
// skips missing values). Fixed size: no allocation, copyable.
class ExactSum {
 public:
  void add(double x) noexcept { accumulate(x, false); }
  void remove(double x) noexcept { accumulate(x, true); }
  // this -= other, for sums of prefixes.
  void subtract(const ExactSum& other) noexcept;
  void clear() noexcept;

  // The true sum rounded to nearest (ties to even): +inf or -inf when only
  // infinities of that sign are present, NaN when both signs are, and an
  // exact sum beyond the double range rounds to an infinity. An empty or
  // exactly cancelled sum is +0.0.
  double value() const noexcept;

 private:
  static constexpr size_t WORDS = 35;  // 2240 bits: 2098 of range, 64 of headroom, a sign

  void accumulate(double x, bool negate) noexcept;
  void add_at(size_t word, uint64_t lo, uint64_t hi) noexcept;
  void sub_at(size_t word, uint64_t lo, uint64_t hi) noexcept;

  std::array<uint64_t, WORDS> words_{};
  size_t low_ = WORDS;     // every word below low_ is zero
  int64_t pos_inf_ = 0;   // +inf added minus +inf removed
  int64_t neg_inf_ = 0;
};

// Exact sums of ranges of one array of doubles, each read in O(1) from
// prefix sums held as 128-bit integers in units of the array's lowest set
// bit. That works when the finite values, from the highest bit of the
// largest to the lowest bit of the finest, span at most about 126 bits less
// the array's length in bits (build() says whether they do): values of one
// measurement (a blood pressure, a lab result) and integers always fit,
// 1e300 beside 1e-300 does not, and the caller then slides an ExactSum
// instead. NaN values are skipped and infinities counted apart, so sum(lo,
// hi) is bit for bit what ExactSum::value() gives for values[lo .. hi - 1].
class PrefixSums {
 public:
  // Makes the sums of `values`; false (and nothing usable) when they span
  // too many bits. Keeps its storage for the next build.
  bool build(std::span<const double> values);
  // The correctly rounded sum of values[lo .. hi - 1] (lo <= hi), as
  // ExactSum::value() rounds it.
  double sum(size_t lo, size_t hi) const noexcept;

 private:
  std::vector<__int128> prefix_;    // [j]: the values before j, in units of unit_
  std::vector<uint32_t> pos_inf_;   // [j]: +inf among the values before j (empty when none)
  std::vector<uint32_t> neg_inf_;
  double unit_ = 1.0;                 // 2^(exponent of the lowest set bit of any value)
};

}  // namespace zuldcore
