// Broken invariants and message building for the cores.
// `Internal` is thrown for conditions that the public interface cannot cause;
// user-facing validation goes through Expected<T> instead.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zuldcore {

// A broken invariant. The binding turns it into the internal-failure exception.
class Internal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Errors a caller can cause, thrown where returning Expected<T> would thread a
// message through code that has no other failure. The binding raises the
// Python exception of the same name with the exact text, which may hold any
// character (a NUL from a user's string included), so it is kept whole here
// rather than read back through what().
class UserError : public std::exception {
 public:
  explicit UserError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};
class ValueError : public UserError {
 public:
  using UserError::UserError;
};
class TypeError : public UserError {
 public:
  using UserError::UserError;
};
class OverflowError : public UserError {
 public:
  using UserError::UserError;
};

// Shortest text that reads back as the same double; "inf", "-inf" and "NaN"
// for the special values. Every float in a message or repr goes through here.
inline std::string format_f64(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[32];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  std::string s(buf);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

namespace detail {
inline void append(std::string& out, std::string_view s) { out += s; }
inline void append(std::string& out, const char* s) { out += s; }
inline void append(std::string& out, const std::string& s) { out += s; }
inline void append(std::string& out, char c) { out += c; }
inline void append(std::string& out, double v) { out += format_f64(v); }
template <class T>
  requires std::is_integral_v<T>
inline void append(std::string& out, T v) { out += std::to_string(v); }
}  // namespace detail

// Concatenates strings and numbers into one message.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (detail::append(out, parts), ...);
  return out;
}

}  // namespace zuldcore

#define ZC_ENSURE(cond, ...)                                                  \
  do {                                                                        \
    if (!(cond)) [[unlikely]]                                                 \
      throw ::zuldcore::Internal(::zuldcore::cat(__VA_ARGS__));              \
  } while (0)
