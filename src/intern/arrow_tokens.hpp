// Token columns read from Arrow arrays (string, large_string, string_view,
// or a dictionary of one of them with any integer indices), chunk by chunk,
// into a TokenColumn with the codes the same strings would get one by one.
// Taking the arrays out of their producer is the binding's part.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "base/arrow.hpp"
#include "base/interrupt.hpp"
#include "intern/column.hpp"

namespace zuldcore {

class ArrowTokenReader {
 public:
  // Checks the type: another is TypeError "argument '{name}': expected an
  // Arrow array of strings (string, large_string, string_view or a dictionary
  // of them), got {type}". `schema` and `col` must outlive the reader.
  ArrowTokenReader(const ArrowSchema& schema, const char* name, TokenColumn& col);
  ArrowTokenReader(const ArrowTokenReader&) = delete;
  ArrowTokenReader& operator=(const ArrowTokenReader&) = delete;
  ~ArrowTokenReader();

  // Appends the tokens of one chunk. A null token is ValueError "{name}[{i}]
  // is null", an index outside its dictionary "{name}[{i}] holds dictionary
  // index {k} of {n} values", with i counted over every chunk read; a chunk
  // whose buffers contradict its type is "{name}: malformed Arrow array: ..."
  // ("offsets[2] is 2, less than offsets[1] = 1073741824", "view 3 holds 20
  // bytes at offset 10 of data buffer 0, which has 16 bytes", the same "of
  // the dictionary"). Every offset, view and index of the chunk and of its
  // dictionary is checked in one pass before any string byte is read; a
  // refused chunk adds nothing to the column.
  void append(const ArrowArray& chunk);

  // After the last chunk: every token must be valid UTF-8, else ValueError
  // "{name}[{i}] is not valid UTF-8" for the first position holding one.
  void finish();

 private:
  enum class Layout { Null, Offsets32, Offsets64, Views };
  class ShortKeys;

  // Codes of n strings into out[0, n): short_key_of(i, key) gives string
  // i's short key and says whether it has one; bytes_of(i) gives its bytes.
  template <class ShortKeyOf, class BytesOf>
  void read_batched(size_t n, uint32_t* out, ShortKeyOf&& short_key_of, BytesOf&& bytes_of);
  // The offsets or views of strings [start, start + n) of `a` (see append);
  // with `nulls`, views of its null slots are not checked.
  void check_strings(const ArrowArray& a, int64_t start, int64_t n, const char* whose,
                     const ArrowSlice* nulls) const;
  template <class Index>
  void check_indices(const ArrowSlice& s, int64_t n_values) const;
  template <class Index>
  void append_dictionary(const ArrowSlice& s, const ArrowArray& values);
  uint32_t entry_code(const ArrowArray& values, int64_t k, int64_t position);

  const ArrowSchema& schema_;
  const char* name_;
  TokenColumn& col_;
  DistinctStrings distinct_;
  std::unique_ptr<ShortKeys> short_;  // short strings by their 16-byte form
  Layout layout_ = Layout::Null;   // of the strings (the dictionary's values, if any)
  char index_format_ = 0;          // of a dictionary's indices; 0 without a dictionary
  std::vector<uint32_t> entry_codes_;  // a chunk's dictionary entry -> code, or UNSET
  int64_t read_ = 0;               // tokens read before this chunk
  InterruptCheck interrupt_;       // ticked per batch of tokens and per distinct string checked
};

// Whether `s` is well-formed UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF), as Python's strict decoder requires.
bool is_valid_utf8(std::string_view s) noexcept;

}  // namespace zuldcore
