// A frame's record batches read column by column: each chosen field is shown
// to the column readers (intern/arrow_tokens.hpp, base/arrow.hpp and the
// integer reader here) as a table of that one field, so that the batch's own
// offset and validity apply to it as they do to a one-column table. Tests:
// tests/cpp/test_corpus.cpp and tests/test_corpus.py.
#include "corpus/frame.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "base/memory.hpp"
#include "corpus/pool.hpp"
#include "intern/arrow_tokens.hpp"
#include "state/machine.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- integer columns

std::optional<IntegerType> integer_type(const ArrowSchema& column) {
  if (column.dictionary != nullptr || column.format == nullptr) return std::nullopt;
  const std::string_view f(column.format);
  if (f.size() != 1) return std::nullopt;
  switch (f[0]) {
    case 'c': return IntegerType{1, true};
    case 'C': return IntegerType{1, false};
    case 's': return IntegerType{2, true};
    case 'S': return IntegerType{2, false};
    case 'i': return IntegerType{4, true};
    case 'I': return IntegerType{4, false};
    case 'l': return IntegerType{8, true};
    case 'L': return IntegerType{8, false};
    default: return std::nullopt;
  }
}

ArrowIntegerReader::ArrowIntegerReader(const ArrowSchema& schema, IntegerType type, const char* name)
    : schema_(schema), type_(type), name_(name) {}

namespace {
template <class T, class Out, class Convert>
void widen(const void* data, int64_t start, size_t n, Out* out, const Convert& convert) {
  const T* from = static_cast<const T*>(data) + start;
  for (size_t i = 0; i < n; ++i) out[i] = convert(static_cast<int64_t>(from[i]));  // uint64 keeps its bits
}
}  // namespace

template <class Out, class Convert>
void ArrowIntegerReader::append_as(const ArrowArray& chunk, std::vector<Out>& out, const Convert& convert) {
  const ArrowSlice s = arrow_slice(schema_, chunk, 2, name_);
  const auto n = static_cast<size_t>(s.length);
  if (n > 0) {
    if (const int64_t null = s.first_null(); null >= 0) throw ValueError(cat(name_, "[", read_ + null, "] is null"));
    const void* data = s.array->buffers[1];
    if (data == nullptr) throw_malformed_arrow(name_, "no data buffer");
    const size_t at = out.size();
    if (out.capacity() < at + n) reserve_large(out, std::max(at + n, 2 * out.capacity()));
    out.resize(at + n);
    Out* to = out.data() + at;
    switch (type_.width * (type_.is_signed ? 1 : -1)) {
      case 1: widen<int8_t>(data, s.start, n, to, convert); break;
      case -1: widen<uint8_t>(data, s.start, n, to, convert); break;
      case 2: widen<int16_t>(data, s.start, n, to, convert); break;
      case -2: widen<uint16_t>(data, s.start, n, to, convert); break;
      case 4: widen<int32_t>(data, s.start, n, to, convert); break;
      case -4: widen<uint32_t>(data, s.start, n, to, convert); break;
      case 8: widen<int64_t>(data, s.start, n, to, convert); break;
      default: widen<uint64_t>(data, s.start, n, to, convert); break;
    }
  }
  read_ += s.length;
}

void ArrowIntegerReader::append(const ArrowArray& chunk, std::vector<int64_t>& out) {
  append_as(chunk, out, [](int64_t w) { return w; });
}

std::optional<TemporalType> temporal_type(const ArrowSchema& column) {
  if (column.dictionary != nullptr || column.format == nullptr) return std::nullopt;
  const std::string_view f(column.format);
  constexpr uint64_t S = 1'000'000'000, MS = 1'000'000, US = 1'000;
  if (f == "tdD") return TemporalType{{4, true}, 86'400 * S};
  if (f == "tdm") return TemporalType{{8, true}, MS};
  // Timestamps ("tss:" + time zone, ...) and durations ("tDs", ...) by unit;
  // a timestamp counts from the epoch in UTC whatever its zone.
  if (f.size() >= 3 && (f.starts_with("ts") || f.starts_with("tD")) && (f.size() == 3 || f[3] == ':')) {
    if (f.starts_with("tD") && f.size() != 3) return std::nullopt;
    switch (f[2]) {
      case 's': return TemporalType{{8, true}, S};
      case 'm': return TemporalType{{8, true}, MS};
      case 'u': return TemporalType{{8, true}, US};
      case 'n': return TemporalType{{8, true}, 1};
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- frames

// One chosen field, shown to a reader as a table of that field alone.
struct FrameReader::Column {
  Column(const ArrowSchema& table, int64_t index, const char* arg) : index(index), arg(arg) {
    view = table;
    view.n_children = 1;
    view.children = table.children + index;
    view.dictionary = nullptr;
    view.release = nullptr;  // a view: nothing to release
    view.private_data = nullptr;
  }
  const ArrowSchema& field() const noexcept { return *view.children[0]; }
  std::string field_name() const { return field().name != nullptr ? field().name : ""; }
  ArrowArray batch_view(const ArrowArray& batch) const noexcept {
    ArrowArray v = batch;
    v.n_children = 1;
    v.children = batch.children + index;
    v.dictionary = nullptr;
    v.release = nullptr;
    v.private_data = nullptr;
    return v;
  }

  int64_t index;
  const char* arg;  // the argument that named the column
  ArrowSchema view{};
  std::unique_ptr<ArrowTokenReader> strings;
  std::unique_ptr<ArrowIntegerReader> integers;
  std::unique_ptr<ArrowNumberReader> numbers;
};

namespace {

constexpr const char* FRAME = "frame";

std::vector<std::string> field_names(const ArrowSchema& table) {
  std::vector<std::string> names;
  for (int64_t i = 0; i < table.n_children; ++i)
    names.emplace_back(table.children[i] != nullptr && table.children[i]->name != nullptr ? table.children[i]->name
                                                                                          : "");
  return names;
}

int64_t field_index(const ArrowSchema& table, const std::string& name, const char* arg) {
  for (int64_t i = 0; i < table.n_children; ++i) {
    const ArrowSchema* field = table.children[i];
    if (field != nullptr && field->name != nullptr && name == field->name) return i;
  }
  throw ValueError(cat("argument '", arg, "': the frame has no column ", quoted(name), "; its columns are ",
                       names_list(field_names(table))));
}

[[noreturn]] void wrong_type(const char* arg, std::string_view wanted, const ArrowSchema& field) {
  throw TypeError(cat("argument '", arg, "': expected a column of ", wanted, ", got ", arrow_type_name(field)));
}

}  // namespace

FrameReader::FrameReader(const ArrowSchema& schema, const FrameColumns& names) : schema_(schema) {
  const bool is_table = schema.dictionary == nullptr && schema.format != nullptr &&
                        std::string_view(schema.format) == "+s" && schema.n_children >= 0 &&
                        (schema.n_children == 0 || schema.children != nullptr);
  if (!is_table)
    throw TypeError(cat("argument 'frame': expected a table (an Arrow stream of record batches), got ",
                        arrow_type_name(schema)));
  auto add = [&](const std::string& name, const char* arg) -> Column& {
    columns_.push_back(std::make_unique<Column>(schema, field_index(schema, name, arg), arg));
    return *columns_.back();
  };

  Column& key = add(names.case_column, "case");
  if (std::optional<IntegerType> t = integer_type(key.field())) {
    key.integers = std::make_unique<ArrowIntegerReader>(key.view, *t, "case");
    unsigned_cases_ = !t->is_signed && t->width == 8;
  } else {
    try {
      key.strings = std::make_unique<ArrowTokenReader>(key.view, "case", case_strings_);
    } catch (const TypeError&) {
      wrong_type("case", "integers or strings", key.field());
    }
  }

  Column& token = add(names.token_column, "token");
  if (std::optional<IntegerType> t = integer_type(token.field()); t && t->width == 4 && !t->is_signed) {
    token.integers = std::make_unique<ArrowIntegerReader>(token.view, *t, "token");
    rows_.ids.emplace();
  } else {
    token.strings = std::make_unique<ArrowTokenReader>(token.view, "token", rows_.tokens);
  }

  Column& time = add(names.time_column, "time");
  if (std::optional<TemporalType> t = temporal_type(time.field())) {
    if (!names.time_unit)
      throw TypeError(cat("argument 'time': the column ", quoted(names.time_column), " holds ",
                          arrow_type_name(time.field()),
                          " values; pass time_unit (\"us\", \"ms\", \"s\", \"m\", \"h\" or \"d\") to read "
                          "them as a number of that unit since the epoch"));
    time.integers = std::make_unique<ArrowIntegerReader>(time.view, t->storage, "time");
    to_unit_.emplace(t->count_ns, nanoseconds_per(*names.time_unit));
  } else {
    if (names.time_unit)
      throw TypeError(cat("argument 'time_unit': time_unit applies to date, timestamp and duration columns; the "
                          "column ", quoted(names.time_column), " holds ", arrow_type_name(time.field())));
    time.numbers = std::make_unique<ArrowNumberReader>(time.view, "time", false);
  }

  threads_ = std::min<size_t>(usable_cpus(), 4);

  if (names.value_column) {
    Column& value = add(*names.value_column, "value");
    value.numbers = std::make_unique<ArrowNumberReader>(value.view, "value", true);
    rows_.values.emplace();
  }
}

FrameReader::~FrameReader() = default;

void FrameReader::reserve(size_t rows) try {
  if (columns_[0]->integers)
    reserve_large(case_words_, rows);
  else
    reserve_large(case_strings_.codes, rows);
  if (rows_.ids)
    reserve_large(*rows_.ids, rows);
  else
    reserve_large(rows_.tokens.codes, rows);
  reserve_large(rows_.times, rows);
  if (rows_.values) reserve_large(*rows_.values, rows);
} catch (const std::bad_alloc&) {
  // Room beyond reach (a producer's lengths may lie): the columns grow as read.
} catch (const std::length_error&) {
}

void FrameReader::append(const ArrowArray& batch) {
  if (batch.n_children != schema_.n_children || (batch.n_children > 0 && batch.children == nullptr))
    throw_malformed_arrow(FRAME, cat("a batch of ", batch.n_children, " columns in a table of ", schema_.n_children));
  for (const auto& c : columns_)
    if (batch.children[c->index] == nullptr) throw_malformed_arrow(FRAME, cat("no column ", c->index));
  // The four columns are read apart (each into its own vectors, through its
  // own reader), so a long batch shares them out among threads; a failure is
  // the one of the first failing column, as when they are read in order.
  auto read_column = [&](size_t c, size_t) {
    switch (c) {
      case 0: {
        const ArrowArray key = columns_[0]->batch_view(batch);
        if (columns_[0]->integers)
          columns_[0]->integers->append(key, case_words_);
        else
          columns_[0]->strings->append(key);
        break;
      }
      case 1: {
        const ArrowArray token = columns_[1]->batch_view(batch);
        if (rows_.ids) {
          columns_[1]->integers->append_as(token, *rows_.ids, [](int64_t w) { return static_cast<TokenId>(w); });
        } else {
          columns_[1]->strings->append(token);
        }
        break;
      }
      case 2: {
        Column& time = *columns_[2];
        if (time.integers) {
          time.integers->append_as(time.batch_view(batch), rows_.times, *to_unit_);
        } else {
          time.numbers->append(time.batch_view(batch), rows_.times);
        }
        break;
      }
      default:
        columns_[3]->numbers->append(columns_[3]->batch_view(batch), *rows_.values);
    }
  };
  constexpr int64_t PARALLEL_ROWS = int64_t{1} << 16;  // below it, starting threads costs more than it saves
  run_tasks(columns_.size(), batch.length >= PARALLEL_ROWS ? threads_ : 1, read_column);
}

FrameRows FrameReader::finish() {
  if (columns_[1]->strings) columns_[1]->strings->finish();
  const bool string_keys = columns_[0]->strings != nullptr;
  if (string_keys) columns_[0]->strings->finish();

  // Documents are the runs of equal keys; a key seen in an earlier run is
  // refused. String keys are numbered in order of first sight, so while the
  // cases are contiguous, the k-th run has code k.
  const size_t n = string_keys ? case_strings_.size() : case_words_.size();
  std::vector<int64_t>& offsets = rows_.offsets;
  std::unordered_map<int64_t, size_t> doc_of_key;  // integer keys
  auto key_text = [&](size_t row) {
    if (string_keys) return quoted(case_strings_.distinct(case_strings_.codes[row]));
    return unsigned_cases_ ? std::to_string(static_cast<uint64_t>(case_words_[row]))
                           : std::to_string(case_words_[row]);
  };
  auto came_back = [&](size_t row, size_t doc) {
    throw ValueError(cat("case ", key_text(row), " comes back at row ", row,
                         " after other cases (its rows before end at row ", offsets[doc + 1] - 1,
                         "): each case's rows must be contiguous"));
  };
  for (size_t row = 0; row < n; ++row) {
    if (string_keys) {
      const uint32_t code = case_strings_.codes[row];
      if (row > 0 && code == case_strings_.codes[row - 1]) continue;
      if (code < offsets.size()) came_back(row, code);
    } else {
      const int64_t key = case_words_[row];
      if (row > 0 && key == case_words_[row - 1]) continue;
      const auto [at, fresh] = doc_of_key.emplace(key, offsets.size());
      if (!fresh) came_back(row, at->second);
    }
    offsets.push_back(static_cast<int64_t>(row));
  }
  const size_t n_docs = offsets.size();
  offsets.push_back(static_cast<int64_t>(n));

  // One key per document: the key of its first row.
  if (string_keys) {
    std::vector<std::string> keys;
    keys.reserve(n_docs);
    for (size_t d = 0; d < n_docs; ++d) keys.emplace_back(case_strings_.distinct(d));
    rows_.cases = std::move(keys);
  } else if (unsigned_cases_) {
    std::vector<uint64_t> keys;
    keys.reserve(n_docs);
    for (size_t d = 0; d < n_docs; ++d) keys.push_back(static_cast<uint64_t>(case_words_[offsets[d]]));
    rows_.cases = std::move(keys);
  } else {
    std::vector<int64_t> keys;
    keys.reserve(n_docs);
    for (size_t d = 0; d < n_docs; ++d) keys.push_back(case_words_[offsets[d]]);
    rows_.cases = std::move(keys);
  }
  case_words_ = {};  // one word per row, no longer needed: freed before the corpus is made
  case_strings_ = TokenColumn{};
  return std::move(rows_);
}

}  // namespace zuldcore
