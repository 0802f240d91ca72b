// The corpus's checks and the exact conversion of temporal counts. Tests:
// tests/cpp/test_corpus.cpp and tests/test_corpus.py.
#include "corpus/corpus.hpp"

#include <bit>
#include <cmath>
#include <numeric>

#include "base/ensure.hpp"

namespace zuldcore {

StreamView Corpus::document(size_t k) const noexcept {
  const auto first = static_cast<size_t>(offsets[k]);
  const auto n = static_cast<size_t>(offsets[k + 1]) - first;
  StreamView v{std::span<const TokenId>(tokens).subspan(first, n), std::span<const double>(times).subspan(first, n),
               {}};
  if (!values.empty()) v.values = std::span<const double>(values).subspan(first, n);
  return v;
}

Status check_offsets(std::span<const int64_t> offsets, size_t n_rows) {
  if (offsets.empty())
    return fail("offsets must not be empty: it holds n_docs + 1 entries, from 0 to the number of rows");
  if (offsets[0] != 0) return fail(cat("offsets[0] is ", offsets[0], "; it must be 0"));
  const auto rows = static_cast<int64_t>(n_rows);
  for (size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1])
      return fail(cat("offsets[", i, "] is ", offsets[i], ", below offsets[", i - 1, "] = ", offsets[i - 1]));
    if (offsets[i] > rows)
      return fail(cat("offsets[", i, "] is ", offsets[i], ", beyond the number of rows (", n_rows, ")"));
  }
  if (offsets.back() != rows)
    return fail(cat("offsets[", offsets.size() - 1, "] is ", offsets.back(),
                    "; the last offset must be the number of rows (", n_rows, ")"));
  return ok();
}

Status check_document_times(std::span<const double> times, std::span<const int64_t> offsets,
                            std::string_view name) {
  for (size_t k = 0; k + 1 < offsets.size(); ++k) {
    const auto first = static_cast<size_t>(offsets[k]);
    const auto last = static_cast<size_t>(offsets[k + 1]);
    for (size_t row = first; row < last; ++row) {
      // One comparison passes the usual row: not NaN and not below the last.
      if (row > first && times[row] >= times[row - 1]) continue;
      if (std::isnan(times[row])) return fail(cat(name, "[", row, "] is NaN (document ", k, ")"));
      if (row > first)
        return fail(cat(name, "[", row, "] is ", times[row], ", below ", name, "[", row - 1, "] = ",
                        times[row - 1], " in document ", k));
    }
  }
  return ok();
}

Status check_token_ids(std::span<const TokenId> ids, size_t vocabulary, std::string_view name) {
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i] >= vocabulary)
      return fail(cat(name, "[", i, "] is ", ids[i], ", an id that was never handed out (", vocabulary,
                      " ids so far)"));
  return ok();
}

// ---------------------------------------------------------------- temporal counts

namespace {
struct UnitName {
  std::string_view name;
  TimeUnit unit;
  uint64_t ns;
};
constexpr UnitName UNITS[] = {
    {"us", TimeUnit::Microseconds, 1'000},        {"ms", TimeUnit::Milliseconds, 1'000'000},
    {"s", TimeUnit::Seconds, 1'000'000'000},      {"m", TimeUnit::Minutes, 60'000'000'000},
    {"h", TimeUnit::Hours, 3'600'000'000'000},    {"d", TimeUnit::Days, 86'400'000'000'000},
};
}  // namespace

Expected<TimeUnit> time_unit_from_name(std::string_view text) {
  for (const UnitName& u : UNITS)
    if (u.name == text) return u.unit;
  return fail(cat("time_unit must be one of \"us\", \"ms\", \"s\", \"m\", \"h\", \"d\" (got '", text, "')"));
}

uint64_t nanoseconds_per(TimeUnit unit) noexcept {
  for (const UnitName& u : UNITS)
    if (u.unit == unit) return u.ns;
  return 1;
}

CountConverter::CountConverter(uint64_t count_ns, uint64_t unit_ns) {
  ZC_ENSURE(count_ns > 0 && unit_ns > 0, "a time unit of no length");
  const uint64_t g = std::gcd(count_ns, unit_ns);
  num_ = count_ns / g;
  den_ = unit_ns / g;
  constexpr uint64_t EXACT = uint64_t{1} << 53;
  exact_limit_ = den_ <= EXACT ? EXACT / num_ : 0;
}

namespace {

using u128 = unsigned __int128;

// x as the nearest double (ties to even). The bits below the top 64 fold
// into one sticky bit, which lies below the rounding position of any value
// that has them, so rounding the 64-bit word rounds x.
double to_double(u128 x) noexcept {
  const int high = 128 - (static_cast<uint64_t>(x >> 64) != 0 ? std::countl_zero(static_cast<uint64_t>(x >> 64))
                                                               : 64 + std::countl_zero(static_cast<uint64_t>(x)));
  if (high <= 64) return static_cast<double>(static_cast<uint64_t>(x));
  const int shift = high - 64;
  const u128 dropped = x & ((u128{1} << shift) - 1);
  const uint64_t top = static_cast<uint64_t>(x >> shift) | (dropped != 0 ? 1u : 0u);
  return std::ldexp(static_cast<double>(top), shift);
}

int bit_width(u128 x) noexcept {
  const auto hi = static_cast<uint64_t>(x >> 64);
  return hi != 0 ? 128 - std::countl_zero(hi) : 64 - std::countl_zero(static_cast<uint64_t>(x));
}

// p / den as the nearest double. The quotient is taken with at least 55
// significant bits (p scaled up by 2^k when it has fewer) and the remainder
// folded into its lowest bit, which then decides only ties and exactness.
double quotient(u128 p, uint64_t den) noexcept {
  if (p == 0) return 0.0;
  const int k = std::max(0, 55 - (bit_width(p) - (64 - std::countl_zero(den))));
  const u128 scaled = p << k;  // at most 55 + 64 bits: p has few bits whenever k is large
  const u128 q = scaled / den;
  const bool inexact = scaled % den != 0;
  return std::ldexp(to_double(q | (inexact ? 1u : 0u)), -k);
}

}  // namespace

double CountConverter::exact_quotient(int64_t count) const noexcept {
  const uint64_t magnitude = count < 0 ? 0 - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
  const double r = quotient(u128{magnitude} * num_, den_);
  return count < 0 ? -r : r;
}

}  // namespace zuldcore
