// A minimal test framework for the C++ cores: TEST(name) registers a test,
// CHECK / CHECK_EQ / CHECK_THROWS record failures and let the test go on.
// The runner is tests/cpp/main.cpp. No fixtures, no parametrisation: loop in
// the test body instead.
#pragma once

#include <concepts>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/ensure.hpp"

namespace check {

struct TestCase {
  const char* name;
  void (*body)();
};

inline std::vector<TestCase>& registry() {
  static std::vector<TestCase> tests;
  return tests;
}

struct Registrar {
  Registrar(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

// Name and failure count of the test that is running; the runner sets them.
inline const char*& current_test() {
  static const char* name = "";
  return name;
}
inline int& current_failures() {
  static int n = 0;
  return n;
}

inline void fail(const char* file, int line, const std::string& what) {
  ++current_failures();
  std::printf("%s: %s:%d: %s\n", current_test(), file, line, what.c_str());
}

// Text of a checked value: numbers (floats through format_f64, so NaN and
// inf print plainly), strings quoted, optionals, vectors, enums as their
// value, and project types through a to_string found by argument lookup.
template <class T>
std::string show(const T& v);

template <class T>
std::string show_range(const T& items) {
  std::string out = "[";
  bool first = true;
  for (const auto& x : items) {
    if (!first) out += ", ";
    first = false;
    out += show(x);
  }
  return out + "]";
}

template <class T>
std::string show(const T& v) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    return v ? "true" : "false";
  } else if constexpr (std::is_floating_point_v<U>) {
    return zuldcore::format_f64(static_cast<double>(v));
  } else if constexpr (std::is_integral_v<U>) {
    return std::to_string(v);
  } else if constexpr (std::is_enum_v<U>) {
    return std::to_string(static_cast<long long>(v));
  } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
    return "\"" + std::string(std::string_view(v)) + "\"";
  } else if constexpr (requires { v.has_value(); *v; }) {
    return v.has_value() ? show(*v) : std::string("nullopt");
  } else if constexpr (requires { to_string(v); }) {
    return to_string(v);
  } else if constexpr (requires { v.begin(); v.end(); }) {
    return show_range(v);
  } else {
    return "<value>";
  }
}

template <class A, class B>
void check_eq(const char* file, int line, const char* a_text, const char* b_text, const A& a,
              const B& b) {
  if (!(a == b))
    fail(file, line,
         std::string("CHECK_EQ(") + a_text + ", " + b_text + ") failed: " + show(a) + " != " + show(b));
}

}  // namespace check

#define ZC_CHECK_CAT2(a, b) a##b
#define ZC_CHECK_CAT(a, b) ZC_CHECK_CAT2(a, b)

#define TEST(name)                                                              \
  static void name();                                                           \
  static const ::check::Registrar ZC_CHECK_CAT(name, _registrar){#name, &name}; \
  static void name()

// Variadic so that a condition with braces or top-level commas needs no parentheses.
#define CHECK(...)                                                                     \
  do {                                                                                 \
    if (!(__VA_ARGS__)) ::check::fail(__FILE__, __LINE__, "CHECK(" #__VA_ARGS__ ") failed"); \
  } while (0)

// Both sides are evaluated inside one call, so temporaries they refer into
// (e.g. `make().value()`) live until the comparison and the message are done.
#define CHECK_EQ(a, b) ::check::check_eq(__FILE__, __LINE__, #a, #b, (a), (b))

// `expr` must throw an exception of type `type` (or derived).
#define CHECK_THROWS(expr, type)                                                            \
  do {                                                                                      \
    bool check_thrown_ = false;                                                             \
    try {                                                                                   \
      (void)(expr);                                                                         \
    } catch (const type&) {                                                                 \
      check_thrown_ = true;                                                                 \
    }                                                                                       \
    if (!check_thrown_)                                                                     \
      ::check::fail(__FILE__, __LINE__, "CHECK_THROWS(" #expr ", " #type ") did not throw"); \
  } while (0)
