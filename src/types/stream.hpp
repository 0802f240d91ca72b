// An interned stream (token ids, times, optional values) and the length
// check that every stream entry point applies before interning.
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "intern/interner.hpp"
#include "base/ensure.hpp"
#include "base/expected.hpp"

namespace zuldcore {

struct Stream {
  std::vector<TokenId> tokens;
  std::vector<double> times;
  std::vector<double> values;  // empty when has_values is false
  bool has_values = false;

  size_t size() const noexcept { return tokens.size(); }
  // NaN when the stream carries no values.
  double value_at(size_t i) const noexcept { return has_values ? values[i] : std::nan(""); }
};

// Fails with the message for the first mismatch, times before values.
inline Status check_stream_lens(size_t n_tokens, std::string_view tokens_name, size_t n_times,
                                bool values_given, size_t n_values) {
  if (n_times != n_tokens)
    return fail(cat("times has length ", n_times, " but ", tokens_name, " has length ", n_tokens));
  if (values_given && n_values != n_times)
    return fail(cat("values has length ", n_values, " but ", tokens_name, " has length ", n_tokens));
  return ok();
}

}  // namespace zuldcore
