// ValueConstraint: what the value of one event must satisfy (anything, an
// inclusive range, or "no value"), and the rule that builds one from a
// caller's min / max / require-NaN arguments. Which event a constraint is
// applied to (element, block token, trie edge) is the caller's business.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "base/ensure.hpp"

namespace zuldcore {

inline constexpr double INF = std::numeric_limits<double>::infinity();

// A trivially copyable 24-byte value: the engine tests one per scanned event.
struct ValueConstraint {
  enum class Kind : uint8_t { Any = 0, Range = 1, RequireNan = 2 };

  Kind kind = Kind::Any;
  double min = -INF;  // Range only: inclusive lower bound, never NaN
  double max = INF;   // Range only: inclusive upper bound, never NaN

  static constexpr ValueConstraint any() noexcept { return {}; }
  // Inclusive [min, max]. A NaN bound stands for "no bound on that side" and
  // is stored as -inf / +inf, so a Range never holds NaN.
  static constexpr ValueConstraint range(double min, double max) noexcept {
    return {Kind::Range, min != min ? -INF : min, max != max ? INF : max};
  }
  static constexpr ValueConstraint require_nan() noexcept { return {Kind::RequireNan, -INF, INF}; }

  // The builders' rule; an omitted min or max is NaN. The flag wins over any
  // bounds; no bounds at all is Any (which, unlike an unbounded Range, also
  // passes NaN).
  static constexpr ValueConstraint from_args(double min, double max, bool require_nan) noexcept {
    if (require_nan) return ValueConstraint::require_nan();
    if (min != min && max != max) return any();
    return range(min, max);
  }

  // Any passes everything, NaN included; Range never passes NaN; RequireNan
  // passes only NaN (an event without a value reads as NaN).
  constexpr bool passes(double v) const noexcept {
    switch (kind) {
      case Kind::Any:
        return true;
      case Kind::Range:
        return min <= v && v <= max;
      case Kind::RequireNan:
        return v != v;
    }
    return false;
  }

  // Same kind, and for Range bounds equal as floats (so -0.0 equals 0.0).
  friend constexpr bool operator==(const ValueConstraint& a, const ValueConstraint& b) noexcept {
    if (a.kind != b.kind) return false;
    return a.kind != Kind::Range || (a.min == b.min && a.max == b.max);
  }
};

static_assert(std::is_trivially_copyable_v<ValueConstraint>);
static_assert(sizeof(ValueConstraint) == 24);

// "Any", "Range(min=1.0, max=inf)" or "RequireNan", for messages and tests.
inline std::string to_string(const ValueConstraint& c) {
  switch (c.kind) {
    case ValueConstraint::Kind::Any:
      return "Any";
    case ValueConstraint::Kind::Range:
      return cat("Range(min=", c.min, ", max=", c.max, ")");
    case ValueConstraint::Kind::RequireNan:
      return "RequireNan";
  }
  return "?";
}

}  // namespace zuldcore
