// Conversion of stream arguments (tokens, times, values) from Python, the
// length check, and interning. Conversion copies everything it reads, so no
// later callback can change what a call works on.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "intern/column.hpp"
#include "lib/py.hpp"
#include "types/stream.hpp"

namespace zuldcore {

// Any sequence of str (list, tuple, NumPy str array, pandas Series, ...),
// read by position (see SeqSource), or an Arrow export of strings (see
// ArrowChunks, ArrowTokenReader), read before any __array__. A bare str, a
// non-sequence or a non-str item is a TypeError naming the argument; a masked
// or null item is a ValueError.
TokenColumn convert_tokens(PyObject* obj, const char* name);

class ArrowChunks;
// The tokens of an Arrow export of strings (the Arrow branch of convert_tokens).
TokenColumn arrow_tokens(ArrowChunks& chunks, const char* name);

// What a masked entry of a numpy.ma array means: times must have every
// entry; a masked value is no value.
enum class Masked { Refused, AsNaN };

// Any sequence whose items convert through the float protocol, read by
// position, or an Arrow export of any integer or float type, read by value
// (see read_arrow_numbers). A masked or null entry is a ValueError naming the
// argument and position, or NaN.
std::vector<double> convert_floats(PyObject* obj, const char* name, Masked masked = Masked::Refused);

// The length check (a ValueError naming the first mismatch), then interning.
// Nothing is interned when the check fails.
Stream checked_and_interned(TokenColumn&& tokens, std::vector<double>&& times,
                            std::optional<std::vector<double>>&& values, std::string_view tokens_name);

// `values` as the stream entry points take it: absent or None gives no
// values; a masked entry reads as NaN.
std::optional<std::vector<double>> convert_opt_values(PyObject* obj);

}  // namespace zuldcore
