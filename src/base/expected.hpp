// Expected<T>: a value, or the text of a validation failure that the caller
// can cause. The Python face raises the text as ValueError; the cores never
// decide how a message reaches the user.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace zuldcore {

struct Failure {
  std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Failure f) : v_(std::in_place_index<1>, std::move(f)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  const std::string& message() const { return std::get<1>(v_).message; }

 private:
  std::variant<T, Failure> v_;
};

// For checks that produce no value.
struct Unit {};
using Status = Expected<Unit>;
inline Status ok() { return Unit{}; }

}  // namespace zuldcore
