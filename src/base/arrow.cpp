// Arrow columns: type names for messages, a column's slice of a chunk with
// its shape checked, validity bits, and float64 reading.
#include "base/arrow.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "base/ensure.hpp"
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
    {"u", "string"},      {"U", "large_string"},  {"vu", "string_view"},  {"tdD", "date32"},
    {"tdm", "date64"},    {"+l", "list"},         {"+L", "large_list"},   {"+vl", "list_view"},
    {"+vL", "large_list_view"}, {"+m", "map"},    {"+r", "run_end_encoded"},
};

// Format prefixes of parametrised types.
constexpr FormatName FORMAT_PREFIXES[] = {
    {"d:", "decimal"}, {"w:", "fixed_size_binary"}, {"+w:", "fixed_size_list"}, {"ts", "timestamp"},
    {"tt", "time"},    {"tD", "duration"},          {"ti", "interval"},         {"+u", "union"},
};

std::string format_name(const char* format) {
  if (format == nullptr) return "an unknown type";
  const std::string_view f(format);
  for (const FormatName& n : FORMAT_NAMES)
    if (f == n.format) return std::string(n.name);
  for (const FormatName& n : FORMAT_PREFIXES)
    if (f.starts_with(n.format)) return std::string(n.name);
  return cat("the Arrow format '", f, "'");
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

[[noreturn]] void throw_not_floats(const char* name, const ArrowSchema& schema) {
  throw TypeError(cat("argument '", name, "': expected an Arrow array of float64, got ",
                      arrow_type_name(schema)));
}

}  // namespace

std::string arrow_type_name(const ArrowSchema& schema) {
  if (schema.dictionary != nullptr)
    return cat("dictionary<values=", arrow_type_name(*schema.dictionary),
               ", indices=", format_name(schema.format), ">");
  if (schema.format != nullptr && std::string_view(schema.format) == "+s")
    return cat("struct<", schema.n_children, schema.n_children == 1 ? " field>" : " fields>");
  return format_name(schema.format);
}

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
    if (buffers >= 0 ? a.n_buffers != buffers : a.n_buffers < 3)
      throw_malformed_arrow(name, cat(a.n_buffers, " buffers"));
    if (a.n_children != children || (children > 0 && (a.children == nullptr || a.children[0] == nullptr)))
      throw_malformed_arrow(name, cat(a.n_children, " children"));
    if (a.n_buffers > 0 && a.buffers == nullptr) throw_malformed_arrow(name, "no buffer list");
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

ArrowFloatReader::ArrowFloatReader(const ArrowSchema& schema, const char* name, bool null_as_nan)
    : schema_(schema), name_(name), null_as_nan_(null_as_nan) {
  const ArrowSchema& column = column_schema(schema);
  const char* f = column.format;
  if (column.dictionary != nullptr || f == nullptr) throw_not_floats(name, column);
  if (std::strcmp(f, "n") == 0)
    null_type_ = true;
  else if (std::strcmp(f, "g") != 0)
    throw_not_floats(name, column);
}

void ArrowFloatReader::append(const ArrowArray& chunk, std::vector<double>& out) {
  constexpr double NO_VALUE = std::numeric_limits<double>::quiet_NaN();
  const ArrowSlice s = arrow_slice(schema_, chunk, null_type_ ? 0 : 2, name_);
  const auto n = static_cast<size_t>(s.length);
  if (!null_as_nan_ && n > 0) {
    const int64_t null = null_type_ ? 0 : s.first_null();
    if (null >= 0) throw ValueError(cat(name_, "[", read_ + null, "] is null"));
  }
  const size_t at = out.size();
  if (out.capacity() < at + n) reserve_large(out, std::max(at + n, 2 * out.capacity()));
  if (null_type_) {
    out.resize(at + n, NO_VALUE);
  } else if (n > 0) {
    const auto* data = static_cast<const double*>(s.array->buffers[1]);
    if (data == nullptr) throw_malformed_arrow(name_, "no data buffer");
    out.insert(out.end(), data + s.start, data + s.start + s.length);
    if (s.may_have_nulls())
      for (size_t i = 0; i < n; ++i)
        if (!s.valid(static_cast<int64_t>(i))) out[at + i] = NO_VALUE;
  }
  read_ += s.length;
}

}  // namespace zuldcore
