#include "annotate/exact_sum.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace zuldcore {

namespace {

using Words = std::array<uint64_t, 35>;

// The 64 bits of `w` from bit position `p` up (missing high bits read as 0).
uint64_t bits_from(const Words& w, size_t p) noexcept {
  const size_t i = p / 64, off = p % 64;
  uint64_t v = w[i] >> off;
  if (off != 0 && i + 1 < w.size()) v |= w[i + 1] << (64 - off);
  return v;
}

// Whether any bit of `w` below position `p` is set; words below `low` are zero.
bool any_below(const Words& w, size_t p, size_t low) noexcept {
  const size_t i = p / 64, off = p % 64;
  if (off != 0 && (w[i] & ((uint64_t{1} << off) - 1)) != 0) return true;
  for (size_t k = low; k < i; ++k)
    if (w[k] != 0) return true;
  return false;
}

}  // namespace

void ExactSum::accumulate(double x, bool negate) noexcept {
  if (std::isnan(x) || x == 0.0) return;
  if (std::isinf(x)) {
    (x > 0 ? pos_inf_ : neg_inf_) += negate ? -1 : 1;
    return;
  }
  // x = ±mantissa * 2^(shift - 1074), mantissa < 2^53, shift >= 0.
  const auto raw = std::bit_cast<uint64_t>(x);
  const auto biased = static_cast<size_t>((raw >> 52) & 0x7ff);
  const uint64_t fraction = raw & ((uint64_t{1} << 52) - 1);
  const uint64_t mantissa = biased == 0 ? fraction : (fraction | (uint64_t{1} << 52));
  const size_t shift = biased == 0 ? 0 : biased - 1;
  const size_t word = shift / 64, bit = shift % 64;
  const uint64_t lo = mantissa << bit;
  const uint64_t hi = bit == 0 ? 0 : mantissa >> (64 - bit);
  if ((x < 0) != negate)
    sub_at(word, lo, hi);
  else
    add_at(word, lo, hi);
  low_ = std::min(low_, word);
}

void ExactSum::add_at(size_t w, uint64_t lo, uint64_t hi) noexcept {
  const uint64_t s0 = words_[w] + lo;
  const uint64_t c0 = s0 < lo;
  words_[w] = s0;
  const uint64_t s1 = words_[w + 1] + hi;
  uint64_t carry = s1 < hi;
  const uint64_t s2 = s1 + c0;
  carry += s2 < c0;
  words_[w + 1] = s2;
  for (size_t k = w + 2; carry != 0 && k < WORDS; ++k) {
    words_[k] += 1;
    carry = words_[k] == 0;
  }
}

void ExactSum::sub_at(size_t w, uint64_t lo, uint64_t hi) noexcept {
  const uint64_t b0 = words_[w] < lo;
  words_[w] -= lo;
  uint64_t borrow = words_[w + 1] < hi;
  const uint64_t d1 = words_[w + 1] - hi;
  borrow += d1 < b0;
  words_[w + 1] = d1 - b0;
  for (size_t k = w + 2; borrow != 0 && k < WORDS; ++k) {
    borrow = words_[k] == 0;
    words_[k] -= 1;
  }
}

void ExactSum::subtract(const ExactSum& other) noexcept {
  const size_t from = std::min(low_, other.low_);
  uint64_t borrow = 0;
  for (size_t k = from; k < WORDS; ++k) {
    const uint64_t a = words_[k], b = other.words_[k];
    const uint64_t d = a - b;
    const uint64_t next = (a < b) + (d < borrow);
    words_[k] = d - borrow;
    borrow = next;
  }
  low_ = from;
  pos_inf_ -= other.pos_inf_;
  neg_inf_ -= other.neg_inf_;
}

void ExactSum::clear() noexcept {
  std::fill(words_.begin() + static_cast<ptrdiff_t>(std::min(low_, WORDS)), words_.end(), 0);
  low_ = WORDS;
  pos_inf_ = neg_inf_ = 0;
}

double ExactSum::value() const noexcept {
  constexpr double INF = std::numeric_limits<double>::infinity();
  if (pos_inf_ > 0 && neg_inf_ > 0) return std::numeric_limits<double>::quiet_NaN();
  if (pos_inf_ > 0) return INF;
  if (neg_inf_ > 0) return -INF;

  // The magnitude, two's complement negated when the sign bit is set.
  Words mag = words_;
  const bool negative = (words_[WORDS - 1] >> 63) != 0;
  if (negative) {
    uint64_t carry = 1;
    for (size_t k = low_; k < WORDS; ++k) {
      mag[k] = ~mag[k] + carry;
      carry = carry != 0 && mag[k] == 0;
    }
  }
  size_t top = WORDS;
  while (top > low_ && mag[top - 1] == 0) --top;
  if (top == low_ || top == 0) return 0.0;
  --top;
  const size_t length = 64 * top + static_cast<size_t>(std::bit_width(mag[top]));

  double r;
  if (length <= 53) {
    // At most 53 significant bits: exactly representable (subnormal or not).
    r = std::ldexp(static_cast<double>(mag[0]), -1074);
  } else {
    // Keep the top 53 bits; round to nearest, ties to even, on the bits below.
    size_t shift = length - 53;
    uint64_t q = bits_from(mag, shift) & ((uint64_t{1} << 53) - 1);
    const bool half = ((bits_from(mag, shift - 1)) & 1) != 0;
    if (half && (any_below(mag, shift - 1, low_) || (q & 1) != 0)) {
      if (++q == (uint64_t{1} << 53)) {
        q >>= 1;
        ++shift;
      }
    }
    // Beyond the largest finite double this gives an infinity, as rounding
    // to nearest does.
    r = std::ldexp(static_cast<double>(q), static_cast<int>(shift) - 1074);
  }
  return negative ? -r : r;
}

// ---------------------------------------------------------------- PrefixSums

namespace {

// A finite nonzero x as ±mantissa * 2^scale, mantissa < 2^53.
struct Decomposed {
  uint64_t mantissa;
  int scale;
};
Decomposed decompose(double x) noexcept {
  const auto raw = std::bit_cast<uint64_t>(x);
  const auto biased = static_cast<int>((raw >> 52) & 0x7ff);
  const uint64_t fraction = raw & ((uint64_t{1} << 52) - 1);
  if (biased == 0) return {fraction, -1074};
  return {fraction | (uint64_t{1} << 52), biased - 1075};
}

// 2^e for the normal exponents -1022 <= e <= 1023.
double pow2(int e) noexcept { return std::bit_cast<double>(static_cast<uint64_t>(e + 1023) << 52); }

}  // namespace

bool PrefixSums::build(std::span<const double> values) {
  // The lowest set bit and the highest bit (exclusive) of the finite values.
  int low = std::numeric_limits<int>::max(), high = std::numeric_limits<int>::min();
  bool infinite = false;
  for (double x : values) {
    if (std::isnan(x) || x == 0.0) continue;
    if (std::isinf(x)) {
      infinite = true;
      continue;
    }
    const Decomposed d = decompose(x);
    low = std::min(low, d.scale + std::countr_zero(d.mantissa));
    high = std::max(high, d.scale + static_cast<int>(std::bit_width(d.mantissa)));
  }
  if (high == std::numeric_limits<int>::min()) low = high = 0;  // no finite value but zeros
  // Every partial sum is below len * 2^(high - low) units: keep it below 2^127.
  if (high - low + static_cast<int>(std::bit_width(values.size())) > 126) return false;
  unit_ = std::ldexp(1.0, low);

  prefix_.resize(values.size() + 1);
  prefix_[0] = 0;
  for (size_t j = 0; j < values.size(); ++j) {
    const double x = values[j];
    __int128 units = 0;
    if (!std::isnan(x) && !std::isinf(x) && x != 0.0) {
      const Decomposed d = decompose(x);
      const int shift = d.scale - low;  // >= -countr_zero(mantissa): no bit is lost
      units = shift >= 0 ? static_cast<__int128>(d.mantissa) << shift
                         : static_cast<__int128>(d.mantissa >> -shift);
      if (x < 0) units = -units;
    }
    prefix_[j + 1] = prefix_[j] + units;
  }
  pos_inf_.clear();
  neg_inf_.clear();
  if (infinite) {
    pos_inf_.resize(values.size() + 1);
    neg_inf_.resize(values.size() + 1);
    pos_inf_[0] = neg_inf_[0] = 0;
    for (size_t j = 0; j < values.size(); ++j) {
      pos_inf_[j + 1] = pos_inf_[j] + (values[j] == std::numeric_limits<double>::infinity());
      neg_inf_[j + 1] = neg_inf_[j] + (values[j] == -std::numeric_limits<double>::infinity());
    }
  }
  return true;
}

double PrefixSums::sum(size_t lo, size_t hi) const noexcept {
  if (!pos_inf_.empty()) {
    const bool pos = pos_inf_[hi] != pos_inf_[lo], neg = neg_inf_[hi] != neg_inf_[lo];
    if (pos && neg) return std::numeric_limits<double>::quiet_NaN();
    if (pos) return std::numeric_limits<double>::infinity();
    if (neg) return -std::numeric_limits<double>::infinity();
  }
  const __int128 total = prefix_[hi] - prefix_[lo];
  if (total == 0) return 0.0;
  const bool negative = total < 0;
  const auto magnitude = static_cast<unsigned __int128>(negative ? -total : total);
  // Round the magnitude to 53 bits once. Below 2^64 the conversion of a
  // uint64 rounds correctly; above, the top 64 bits with every lower bit
  // folded into the last one (a sticky bit far below the rounding point)
  // round the same way, and the power of two then scales exactly.
  double r;
  const auto upper = static_cast<uint64_t>(magnitude >> 64);
  if (upper == 0) {
    r = static_cast<double>(static_cast<uint64_t>(magnitude));
  } else {
    const int shift = std::bit_width(upper);  // 1 .. 63: the magnitude is below 2^127
    const auto top = static_cast<uint64_t>(magnitude >> shift);
    const bool sticky = (magnitude & ((static_cast<unsigned __int128>(1) << shift) - 1)) != 0;
    r = static_cast<double>(top | static_cast<uint64_t>(sticky)) * pow2(shift);
  }
  // Exact: a result below 2^-1022 has fewer than 53 significant bits, all at
  // or above the unit, so it is a representable subnormal; a result beyond
  // the double range is an infinity, as correct rounding gives.
  r *= unit_;
  return negative ? -r : r;
}

}  // namespace zuldcore
