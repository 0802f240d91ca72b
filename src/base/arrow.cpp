// Arrow columns: type names for messages, a column's slice of a chunk with
// its shape checked, validity bits, and numbers of every integer and float
// width read by value.
#include "base/arrow.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "base/ensure.hpp"
#include "base/interrupt.hpp"
#include "base/memory.hpp"

namespace zuldcore {

namespace {

struct FormatName {
  std::string_view format, name;
};
constexpr FormatName FORMAT_NAMES[] = {
    {"n", "null"},        {"b", "bool"},          {"c", "int8"},          {"C", "uint8"},
    {"s", "int16"},       {"S", "uint16"},        {"i", "int32"},         {"I", "uint32"},
    {"l", "int64"},       {"L", "uint64"},        {"e", "float16"},       {"f", "float32"},
    {"g", "float64"},     {"z", "binary"},        {"Z", "large_binary"},  {"vz", "binary_view"},
    {"u", "string"},      {"U", "large_string"},  {"vu", "string_view"},  {"tdD", "date32[day]"},
    {"tdm", "date64[ms]"}, {"tts", "time32[s]"},  {"ttm", "time32[ms]"},  {"ttu", "time64[us]"},
    {"ttn", "time64[ns]"}, {"tiM", "month_interval"}, {"tiD", "day_time_interval"},
    {"tin", "month_day_nano_interval"}, {"+l", "list"},         {"+L", "large_list"},   {"+vl", "list_view"},
    {"+vL", "large_list_view"}, {"+m", "map"},    {"+r", "run_end_encoded"},
};

// Format prefixes of parametrised types.
constexpr FormatName FORMAT_PREFIXES[] = {
    {"d:", "decimal"}, {"w:", "fixed_size_binary"}, {"+w:", "fixed_size_list"}, {"ts", "timestamp"},
    {"tt", "time"},    {"tD", "duration"},          {"ti", "interval"},         {"+u", "union"},
};

// The unit of a timestamp or duration format ("tsu:UTC" -> "us"), or empty.
std::string_view time_unit(std::string_view f) {
  if (f.size() < 3) return {};
  switch (f[2]) {
    case 's': return "s";
    case 'm': return "ms";
    case 'u': return "us";
    case 'n': return "ns";
    default: return {};
  }
}

std::string format_name(const char* format) {
  if (format == nullptr) return "an unknown type";
  const std::string_view f(format);
  for (const FormatName& n : FORMAT_NAMES)
    if (f == n.format) return std::string(n.name);
  // Timestamps ("ts" unit ":" time zone) and durations ("tD" unit), with
  // their unit, as Arrow writes them: "timestamp[us, tz=UTC]".
  if (const std::string_view unit = time_unit(f); !unit.empty()) {
    if (f.starts_with("ts") && f.size() >= 4 && f[3] == ':')
      return f.size() == 4 ? cat("timestamp[", unit, "]") : cat("timestamp[", unit, ", tz=", f.substr(4), "]");
    if (f.starts_with("tD") && f.size() == 3) return cat("duration[", unit, "]");
  }
  for (const FormatName& n : FORMAT_PREFIXES)
    if (f.starts_with(n.format)) return std::string(n.name);
  return cat("the Arrow format '", f, "'");
}

// Dates, times of day, timestamps and durations: points or lengths of time
// that have no number until the caller picks a unit.
bool is_temporal(const ArrowSchema& schema) noexcept {
  if (schema.dictionary != nullptr || schema.format == nullptr) return false;
  const std::string_view f(schema.format);
  return f.starts_with("td") || f.starts_with("tt") || f.starts_with("ts") || f.starts_with("tD");
}

// Dictionaries deeper than this are named "dictionary<...>": a type nested
// thousands deep, or one that is its own dictionary, is still named in a few
// words and without recursing along it.
constexpr int MAX_NAMED_DEPTH = 3;

std::string type_name_at(const ArrowSchema& schema, int depth) {
  if (schema.dictionary != nullptr) {
    if (depth >= MAX_NAMED_DEPTH) return "dictionary<...>";
    return cat("dictionary<values=", type_name_at(*schema.dictionary, depth + 1),
               ", indices=", format_name(schema.format), ">");
  }
  if (schema.format != nullptr && std::string_view(schema.format) == "+s")
    return cat("struct<", schema.n_children, schema.n_children == 1 ? " field>" : " fields>");
  return format_name(schema.format);
}

bool bit(const uint8_t* bitmap, int64_t i) noexcept {
  return (bitmap[i >> 3] >> (i & 7)) & 1;
}

// An array's validity bitmap, or null when none of its values can be null.
// (A null count of -1 means "not computed": the bitmap decides.)
const uint8_t* own_validity(const ArrowArray& a) noexcept {
  if (a.n_buffers == 0 || a.null_count == 0) return nullptr;
  return static_cast<const uint8_t*>(a.buffers[0]);
}

// Value i of a buffer of T, which Arrow producers should align but need not.
template <class T>
T load(const void* buffer, int64_t i) noexcept {
  T v;
  std::memcpy(&v, static_cast<const char*>(buffer) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return v;
}

// A binary16 value as a double: every float16 is exactly a double (NaN
// payloads carried over bit for bit, as NumPy converts them).
double half_to_double(uint16_t h) noexcept {
  const uint64_t sign = static_cast<uint64_t>(h >> 15) << 63;
  const unsigned exponent = (h >> 10) & 0x1F;
  const uint64_t fraction = h & 0x3FF;
  if (exponent == 0x1F) return std::bit_cast<double>(sign | (uint64_t{0x7FF} << 52) | (fraction << 42));
  if (exponent == 0) {  // zero or subnormal: fraction * 2^-24
    const double v = std::ldexp(static_cast<double>(fraction), -24);
    return sign ? -v : v;
  }
  return std::bit_cast<double>(sign | (uint64_t{exponent - 15 + 1023} << 52) | (fraction << 42));
}

struct Half {};  // float16 values, stored as their 16 bits

// out[i] = value start + i of `data` as a double, for i < n; C++'s
// conversions round an integer to the nearest double, ties to even, as
// Python's float() does.
template <class T>
void convert_numbers(const void* data, int64_t start, int64_t n, double* out) {
  constexpr int64_t BLOCK = int64_t{1} << 16;  // values between interrupt checks
  for (int64_t b = 0; b < n; b += BLOCK) {
    const int64_t e = std::min(n, b + BLOCK);
    for (int64_t i = b; i < e; ++i) {
      if constexpr (std::is_same_v<T, Half>)
        out[i] = half_to_double(load<uint16_t>(data, start + i));
      else
        out[i] = static_cast<double>(load<T>(data, start + i));
    }
    check_interrupt();
  }
}

// The values of slice `s` of a column of number type `type` into out[0, s.length).
void read_numbers(ArrowNumber type, const ArrowSlice& s, double* out, const char* name) {
  constexpr double NO_VALUE = std::numeric_limits<double>::quiet_NaN();
  const int64_t n = s.length;
  if (type == ArrowNumber::Null || n == 0) {
    std::fill(out, out + n, NO_VALUE);
    return;
  }
  const void* data = s.array->buffers[1];
  if (data == nullptr) throw_malformed_arrow(name, "no data buffer");
  switch (type) {
    case ArrowNumber::Int8: convert_numbers<int8_t>(data, s.start, n, out); break;
    case ArrowNumber::UInt8: convert_numbers<uint8_t>(data, s.start, n, out); break;
    case ArrowNumber::Int16: convert_numbers<int16_t>(data, s.start, n, out); break;
    case ArrowNumber::UInt16: convert_numbers<uint16_t>(data, s.start, n, out); break;
    case ArrowNumber::Int32: convert_numbers<int32_t>(data, s.start, n, out); break;
    case ArrowNumber::UInt32: convert_numbers<uint32_t>(data, s.start, n, out); break;
    case ArrowNumber::Int64: convert_numbers<int64_t>(data, s.start, n, out); break;
    case ArrowNumber::UInt64: convert_numbers<uint64_t>(data, s.start, n, out); break;
    case ArrowNumber::Float16: convert_numbers<Half>(data, s.start, n, out); break;
    case ArrowNumber::Float32: convert_numbers<float>(data, s.start, n, out); break;
    case ArrowNumber::Float64: convert_numbers<double>(data, s.start, n, out); break;
    default: ZC_ENSURE(false, "read_numbers: not a number type");
  }
  // Null slots hold leftovers: each bitmap blanks its own, read a byte at a
  // time so that runs of valid values cost one compare per eight.
  auto blank_nulls = [&](const uint8_t* bits, int64_t start) {
    if (bits == nullptr) return;
    for (int64_t i = 0; i < n; ++i) {
      const int64_t at = start + i;
      if ((at & 7) == 0 && i + 8 <= n && bits[at >> 3] == 0xFF) {
        i += 7;
        continue;
      }
      if (!bit(bits, at)) out[i] = NO_VALUE;
    }
  };
  blank_nulls(own_validity(*s.array), s.start);
  blank_nulls(s.outer_validity, s.outer_start);
}

}  // namespace

std::string arrow_type_name(const ArrowSchema& schema) { return type_name_at(schema, 0); }

bool is_one_column_table(const ArrowSchema& schema) noexcept {
  return schema.dictionary == nullptr && schema.format != nullptr &&
         std::string_view(schema.format) == "+s" && schema.n_children == 1 &&
         schema.children != nullptr && schema.children[0] != nullptr;
}

const ArrowSchema& column_schema(const ArrowSchema& schema) noexcept {
  return is_one_column_table(schema) ? *schema.children[0] : schema;
}

void throw_malformed_arrow(const char* name, const std::string& what) {
  throw ValueError(cat(name, ": malformed Arrow array: ", what));
}

bool ArrowSlice::valid(int64_t i) const noexcept {
  const uint8_t* bits = own_validity(*array);
  if (bits != nullptr && !bit(bits, start + i)) return false;
  return outer_validity == nullptr || bit(outer_validity, outer_start + i);
}

bool ArrowSlice::may_have_nulls() const noexcept {
  return own_validity(*array) != nullptr || outer_validity != nullptr;
}

int64_t ArrowSlice::first_null() const noexcept {
  if (!may_have_nulls()) return -1;
  for (int64_t i = 0; i < length; ++i)
    if (!valid(i)) return i;
  return -1;
}

ArrowSlice arrow_slice(const ArrowSchema& schema, const ArrowArray& chunk, int64_t expected_buffers,
                       const char* name) {
  auto check_shape = [name](const ArrowArray& a, int64_t buffers, int64_t children) {
    if (a.length < 0 || a.offset < 0 || a.length > std::numeric_limits<int64_t>::max() - a.offset)
      throw_malformed_arrow(name, cat("length ", a.length, " at offset ", a.offset));
    const bool null_type = buffers == ARROW_NULL_BUFFERS;
    if (null_type ? a.n_buffers > 1 : buffers >= 0 ? a.n_buffers != buffers : a.n_buffers < 3)
      throw_malformed_arrow(name, cat(a.n_buffers, " buffers"));
    if (a.n_children != children || (children > 0 && (a.children == nullptr || a.children[0] == nullptr)))
      throw_malformed_arrow(name, cat(a.n_children, " children"));
    if (a.n_buffers > 0 && a.buffers == nullptr) throw_malformed_arrow(name, "no buffer list");
    // A null count without a bitmap would read the null slots' leftovers as values.
    if (!null_type && a.n_buffers > 0 && a.null_count > 0 && a.buffers[0] == nullptr)
      throw_malformed_arrow(name, cat(a.null_count, " nulls but no validity bitmap"));
  };
  ArrowSlice s;
  if (!is_one_column_table(schema)) {
    check_shape(chunk, expected_buffers, 0);
    s.array = &chunk;
    s.start = chunk.offset;
    s.length = chunk.length;
    return s;
  }
  check_shape(chunk, 1, 1);
  const ArrowArray& column = *chunk.children[0];
  check_shape(column, expected_buffers, 0);
  if (column.length < chunk.offset + chunk.length)
    throw_malformed_arrow(name, cat("a field of length ", column.length, " in a table of ",
                                    chunk.offset + chunk.length, " rows"));
  s.array = &column;
  s.start = column.offset + chunk.offset;
  s.length = chunk.length;
  if (const uint8_t* bits = own_validity(chunk)) {
    s.outer_validity = bits;
    s.outer_start = chunk.offset;
  }
  return s;
}

ArrowNumber arrow_number_type(const ArrowSchema& schema) noexcept {
  struct Named {
    std::string_view format;
    ArrowNumber type;
  };
  static constexpr Named NUMBERS[] = {
      {"n", ArrowNumber::Null},     {"c", ArrowNumber::Int8},     {"C", ArrowNumber::UInt8},
      {"s", ArrowNumber::Int16},    {"S", ArrowNumber::UInt16},   {"i", ArrowNumber::Int32},
      {"I", ArrowNumber::UInt32},   {"l", ArrowNumber::Int64},    {"L", ArrowNumber::UInt64},
      {"e", ArrowNumber::Float16},  {"f", ArrowNumber::Float32},  {"g", ArrowNumber::Float64},
  };
  if (schema.dictionary != nullptr || schema.format == nullptr) return ArrowNumber::None;
  for (const Named& n : NUMBERS)
    if (n.format == schema.format) return n.type;
  return ArrowNumber::None;
}

void throw_time_column(const char* name, std::string_view what) {
  throw TypeError(cat("argument '", name, "': got ", what, "; pass numbers in a unit of your choosing, for "
                      "example hours since an origin: (t - t0) / timedelta(hours=1)"));
}

void throw_not_numbers(const char* name, const ArrowSchema& schema) {
  if (is_temporal(schema)) throw_time_column(name, cat("an Arrow ", arrow_type_name(schema), " column"));
  throw TypeError(cat("argument '", name, "': expected an Arrow array of numbers (an integer or float type), got ",
                      arrow_type_name(schema)));
}

void read_arrow_numbers(const ArrowSchema& schema, const ArrowArray& array, std::vector<double>& out,
                        const char* name) {
  const ArrowNumber type = arrow_number_type(schema);
  if (type == ArrowNumber::None) throw_not_numbers(name, schema);
  const ArrowSlice s = arrow_slice(schema, array, type == ArrowNumber::Null ? ARROW_NULL_BUFFERS : 2, name);
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(s.length));
  try {
    read_numbers(type, s, out.data() + at, name);
  } catch (...) {
    out.resize(at);  // a failed read appends nothing
    throw;
  }
}

ArrowNumberReader::ArrowNumberReader(const ArrowSchema& schema, const char* name, bool null_as_nan)
    : schema_(schema), name_(name), null_as_nan_(null_as_nan), type_(arrow_number_type(column_schema(schema))) {
  if (type_ == ArrowNumber::None) throw_not_numbers(name, column_schema(schema));
}

void ArrowNumberReader::append(const ArrowArray& chunk, std::vector<double>& out) {
  const ArrowSlice s = arrow_slice(schema_, chunk, type_ == ArrowNumber::Null ? ARROW_NULL_BUFFERS : 2, name_);
  const auto n = static_cast<size_t>(s.length);
  if (!null_as_nan_ && n > 0) {
    const int64_t null = type_ == ArrowNumber::Null ? 0 : s.first_null();
    if (null >= 0) throw ValueError(cat(name_, "[", read_ + null, "] is null"));
  }
  const size_t at = out.size();
  if (out.capacity() < at + n) reserve_large(out, std::max(at + n, 2 * out.capacity()));
  out.resize(at + n);
  read_numbers(type_, s, out.data() + at, name_);
  read_ += s.length;
}

}  // namespace zuldcore
