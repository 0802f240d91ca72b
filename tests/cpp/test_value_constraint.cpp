// ValueConstraint: the builders' construction rule, evaluation against
// values (NaN above all), equality as the trie uses it, and its text.
#include <cmath>
#include <limits>

#include "check.hpp"
#include "types/value_constraint.hpp"

using zuldcore::INF;
using zuldcore::ValueConstraint;
using Kind = ValueConstraint::Kind;

namespace {
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(value_constraint_construction_rule) {
  // min only, max only: the missing side becomes infinite.
  CHECK_EQ(ValueConstraint::from_args(5.0, NaN, false), ValueConstraint::range(5.0, INF));
  CHECK_EQ(ValueConstraint::from_args(NaN, 5.0, false), ValueConstraint::range(-INF, 5.0));
  CHECK_EQ(ValueConstraint::from_args(1.0, 2.0, false), ValueConstraint::range(1.0, 2.0));
  // The flag wins over any bounds.
  CHECK_EQ(ValueConstraint::from_args(5.0, NaN, true), ValueConstraint::require_nan());
  CHECK_EQ(ValueConstraint::from_args(1.0, 2.0, true), ValueConstraint::require_nan());
  CHECK_EQ(ValueConstraint::from_args(NaN, NaN, true), ValueConstraint::require_nan());
  // Nothing given is Any, not an unbounded Range (which would refuse NaN).
  CHECK_EQ(ValueConstraint::from_args(NaN, NaN, false), ValueConstraint::any());
  CHECK(ValueConstraint::from_args(NaN, NaN, false).passes(NaN));
  // Infinite bounds given explicitly are a Range all the same.
  CHECK_EQ(ValueConstraint::from_args(-INF, INF, false).kind, Kind::Range);
  CHECK(!ValueConstraint::from_args(-INF, INF, false).passes(NaN));
  // A Range never stores NaN, whoever builds it.
  const ValueConstraint r = ValueConstraint::range(NaN, NaN);
  CHECK_EQ(r.min, -INF);
  CHECK_EQ(r.max, INF);
}

TEST(value_constraint_passes) {
  const ValueConstraint r = ValueConstraint::range(1.0, 2.0);
  CHECK(r.passes(1.0));
  CHECK(r.passes(2.0));  // both ends inclusive
  CHECK(r.passes(1.5));
  CHECK(!r.passes(std::nextafter(1.0, 0.0)));
  CHECK(!r.passes(std::nextafter(2.0, 3.0)));
  CHECK(!r.passes(NaN));
  CHECK(!r.passes(-NaN));
  CHECK(!r.passes(INF));

  const ValueConstraint open = ValueConstraint::range(5.0, INF);
  CHECK(open.passes(INF));
  CHECK(!open.passes(4.999));
  CHECK(ValueConstraint::range(-INF, INF).passes(-INF));

  const ValueConstraint nan = ValueConstraint::require_nan();
  CHECK(nan.passes(NaN));
  CHECK(nan.passes(-NaN));
  CHECK(!nan.passes(0.0));
  CHECK(!nan.passes(INF));

  const ValueConstraint any = ValueConstraint::any();
  CHECK(any.passes(NaN));
  CHECK(any.passes(-INF));
  CHECK(any.passes(0.0));

  // An empty range passes nothing.
  CHECK(!ValueConstraint::range(2.0, 1.0).passes(1.5));
}

TEST(value_constraint_equality) {
  CHECK(ValueConstraint::any() == ValueConstraint::any());
  CHECK(ValueConstraint::require_nan() == ValueConstraint::require_nan());
  CHECK(!(ValueConstraint::any() == ValueConstraint::require_nan()));
  CHECK(!(ValueConstraint::any() == ValueConstraint::range(-INF, INF)));
  CHECK(ValueConstraint::range(0.0, 1.0) == ValueConstraint::range(0.0, 1.0));
  CHECK(!(ValueConstraint::range(0.0, 1.0) == ValueConstraint::range(0.0, 1.5)));
  CHECK(!(ValueConstraint::range(0.0, 1.0) == ValueConstraint::range(0.5, 1.0)));
  // Bounds compare as floats.
  CHECK(ValueConstraint::range(-0.0, 1.0) == ValueConstraint::range(0.0, 1.0));
  // Bounds stored in a non-Range constraint take no part.
  ValueConstraint odd_any = ValueConstraint::any();
  odd_any.min = 3.0;
  CHECK(odd_any == ValueConstraint::any());
}

TEST(value_constraint_text) {
  CHECK_EQ(to_string(ValueConstraint::any()), "Any");
  CHECK_EQ(to_string(ValueConstraint::require_nan()), "RequireNan");
  CHECK_EQ(to_string(ValueConstraint::range(1.0, INF)), "Range(min=1.0, max=inf)");
  CHECK_EQ(to_string(ValueConstraint::range(-INF, 0.1)), "Range(min=-inf, max=0.1)");
}
