// ExactSum: a sum of doubles kept exactly, so that values can be added and
// taken away again in any order without rounding drift, and read back as the
// correctly rounded double of the true sum (what math.fsum returns for the
// same values). Sliding means over windows use it: a naive running sum of
// 1e16, 1, -1e16 loses the 1 for good.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

}  // namespace zuldcore
