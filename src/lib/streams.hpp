// Conversion of stream arguments (tokens, times, values) from Python, the
// length check, and interning. Conversion copies everything it reads, so no
// later callback can change what a call works on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py.hpp"
#include "types/stream.hpp"

namespace zuldcore {

// Tokens read from Python but not yet interned: each position holds a local
// code into the distinct strings, numbered in order of first sight.
struct TokenColumn {
  std::vector<uint32_t> codes;
  std::string arena;               // the distinct strings' UTF-8 bytes, back to back
  std::vector<size_t> ends{0};     // distinct string i is arena[ends[i], ends[i + 1])

  size_t size() const noexcept { return codes.size(); }
  size_t n_distinct() const noexcept { return ends.size() - 1; }
  std::string_view distinct(size_t i) const {
    return std::string_view(arena).substr(ends[i], ends[i + 1] - ends[i]);
  }
};

// Any sequence of str (list, tuple, NumPy str array, pandas Series, ...),
// read by position (see SeqSource). A bare str, a non-sequence or a non-str
// item is a TypeError naming the argument; a masked item is a ValueError.
TokenColumn convert_tokens(PyObject* obj, const char* name);

// What a masked entry of a numpy.ma array means: times must have every
// entry; a masked value is no value.
enum class Masked { Refused, AsNaN };

// Any sequence whose items convert through the float protocol, read by
// position. A masked entry is a ValueError naming the argument and position,
// or NaN.
std::vector<double> convert_floats(PyObject* obj, const char* name, Masked masked = Masked::Refused);

// The ids of a column's distinct strings, interned under one lock in order of
// first sight (which is their order in the column).
std::vector<TokenId> intern_distinct(const TokenColumn& column);

// Interns a converted column under one lock; new strings get ids in order of
// their first position.
std::vector<TokenId> intern_column(TokenColumn&& column);

// The length check (a ValueError naming the first mismatch), then interning.
// Nothing is interned when the check fails.
Stream checked_and_interned(TokenColumn&& tokens, std::vector<double>&& times,
                            std::optional<std::vector<double>>&& values, std::string_view tokens_name);

// `values` as the stream entry points take it: absent or None gives no
// values; a masked entry reads as NaN.
std::optional<std::vector<double>> convert_opt_values(PyObject* obj);

}  // namespace zuldcore
