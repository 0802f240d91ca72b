// Reading a frame (a table exported as an Arrow stream of record batches:
// struct arrays, one field per column) into the rows of a corpus: the case
// column cut into documents, the token, time and value columns read by
// value. Integer Arrow columns (token ids, case keys, offsets, and the counts
// behind dates and timestamps) are read here too. Taking the stream out of
// its producer is the binding's part; interning and the corpus's own checks
// come after (corpus/corpus.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/arrow.hpp"
#include "corpus/corpus.hpp"
#include "intern/column.hpp"

namespace zuldcore {

// The integer Arrow types: int8 .. int64 and uint8 .. uint64.
struct IntegerType {
  int width = 0;  // bytes per value
  bool is_signed = true;
};
std::optional<IntegerType> integer_type(const ArrowSchema& column);

// Reads integer columns (exactly the type given, with no dictionary) into
// 64-bit words: signed types sign-extended, unsigned ones zero-extended (a
// uint64 above 2^63 - 1 keeps its bits). A null is ValueError "{name}[{i}]
// is null", i counted over every chunk read. `schema` must outlive the reader.
class ArrowIntegerReader {
 public:
  ArrowIntegerReader(const ArrowSchema& schema, IntegerType type, const char* name);
  void append(const ArrowArray& chunk, std::vector<int64_t>& out);
  // Each value (as a 64-bit word) appended as convert(word) gives it: the
  // counts of a date or timestamp as float times, ids as TokenIds. (Defined
  // in frame.cpp, where it is used.)
  template <class Out, class Convert>
  void append_as(const ArrowArray& chunk, std::vector<Out>& out, const Convert& convert);

 private:
  const ArrowSchema& schema_;
  IntegerType type_;
  const char* name_;
  int64_t read_ = 0;
};

// The length of one count of a date, timestamp or duration column in
// nanoseconds, and the integer type that holds the counts; nothing for any
// other type (time of day included).
struct TemporalType {
  IntegerType storage;
  uint64_t count_ns = 0;
};
std::optional<TemporalType> temporal_type(const ArrowSchema& column);

// The columns a frame is read through, by the names the caller gave.
struct FrameColumns {
  std::string case_column;
  std::string token_column;
  std::string time_column;
  std::optional<std::string> value_column;
  std::optional<TimeUnit> time_unit;
};

// A corpus's rows as read from a frame, before interning.
struct FrameRows {
  TokenColumn tokens;                // token strings; empty when ids were read
  std::optional<std::vector<TokenId>> ids;  // token ids (a uint32 column), not yet checked
  std::vector<double> times;
  std::optional<std::vector<double>> values;
  std::vector<int64_t> offsets;      // one document per case
  // The key of each document: signed or unsigned integers, or strings.
  std::variant<std::vector<int64_t>, std::vector<uint64_t>, std::vector<std::string>> cases;
};

// Reads the batches of one frame. Failures name the argument that chose the
// column ("case", "token", "time", "value"):
//   - a frame that is not a struct: TypeError "argument 'frame': expected a
//     table (an Arrow stream of record batches), got {type}";
//   - a column the frame lacks: ValueError "argument '{arg}': the frame has
//     no column {"name"}; its columns are [...]";
//   - a column of another type: TypeError naming the argument (case: integers
//     or strings; token: strings or uint32 ids; time: numbers, or a date,
//     timestamp or duration with time_unit, without which it is TypeError
//     "argument 'time': the column {"name"} holds {type} values; pass
//     time_unit ... to read them"; value: numbers), and time_unit given for a
//     column of numbers is TypeError naming time_unit;
//   - a null case, token or time: ValueError "{arg}[{row}] is null";
//   - a case that comes back after another: ValueError "case {key} comes back
//     at row {r} after other cases (its rows before end at row {q}): each
//     case's rows must be contiguous".
class FrameReader {
 public:
  FrameReader(const ArrowSchema& schema, const FrameColumns& columns);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;
  ~FrameReader();

  // Room for `rows` rows in every column, so that reading the batches
  // appends in place (a hint: more rows still fit, by growing).
  void reserve(size_t rows);
  // Reads one batch; the columns of a long one on up to four threads (the
  // process's CPUs), which touch no Python object.
  void append(const ArrowArray& batch);
  // The rows read, cut into documents by case.
  FrameRows finish();

 private:
  struct Column;
  const ArrowSchema& schema_;
  std::vector<std::unique_ptr<Column>> columns_;  // case, token, time, value (if any)
  FrameRows rows_;
  TokenColumn case_strings_;
  std::vector<int64_t> case_words_;  // integer keys, one per row
  bool unsigned_cases_ = false;
  std::optional<CountConverter> to_unit_;
  size_t threads_ = 1;  // for the columns of a long batch
};

}  // namespace zuldcore
