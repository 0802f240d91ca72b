// Arrow columns built by hand, as no well-behaved producer would hand them
// over: slices with offsets, validity bitmaps of columns and of one-column
// tables, string views inline and in several data buffers, dictionaries with
// every index width, and malformed chunks, which must be refused by message
// rather than read out of bounds. Well-formed data from real producers is
// compared with the list path in tests/test_arrow.py.
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/arrow.hpp"
#include "check.hpp"
#include "intern/arrow_tokens.hpp"

using namespace zuldcore;

namespace {

using Items = std::vector<std::optional<std::string>>;

// Arrays over storage that lives as long as the Arrays object.
struct Arrays {
  std::deque<std::vector<unsigned char>> bytes;
  std::deque<std::vector<const void*>> buffer_lists;
  std::deque<ArrowArray> arrays;
  std::deque<ArrowArray*> child_lists;

  template <class T>
  const void* store(const std::vector<T>& v) {
    auto& b = bytes.emplace_back(v.size() * sizeof(T) + 16, 0);  // padded, as producers pad
    if (!v.empty()) std::memcpy(b.data(), v.data(), v.size() * sizeof(T));
    return b.data();
  }
  const void* validity(const Items& items) {
    std::vector<unsigned char> bits((items.size() + 7) / 8, 0);
    for (size_t i = 0; i < items.size(); ++i)
      if (items[i]) bits[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
    return store(bits);
  }
  static int64_t nulls(const Items& items) {
    int64_t n = 0;
    for (const auto& s : items) n += !s;
    return n;
  }
  ArrowArray& make(int64_t length, int64_t null_count, std::vector<const void*> buffers) {
    auto& list = buffer_lists.emplace_back(std::move(buffers));
    ArrowArray& a = arrays.emplace_back();
    a = ArrowArray{length, null_count, 0, static_cast<int64_t>(list.size()), 0, list.data(), nullptr, nullptr,
                   nullptr, nullptr};
    return a;
  }

  template <class Off>
  ArrowArray& offsets(const Items& items) {
    std::vector<Off> off{0};
    std::string data;
    for (const auto& s : items) {
      if (s) data += *s;
      off.push_back(static_cast<Off>(data.size()));
    }
    return make(static_cast<int64_t>(items.size()), nulls(items),
                {validity(items), store(off), store(std::vector<char>(data.begin(), data.end()))});
  }

  // Strings of more than 12 bytes go to two data buffers in turn.
  ArrowArray& views(const Items& items) {
    std::vector<unsigned char> views(16 * items.size(), 0);
    std::string data[2];
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string s = items[i].value_or("");
      const auto len = static_cast<int32_t>(s.size());
      unsigned char* v = views.data() + 16 * i;
      std::memcpy(v, &len, 4);
      if (s.size() <= 12) {
        std::memcpy(v + 4, s.data(), s.size());
      } else {
        const int32_t buf = static_cast<int32_t>(i % 2), at = static_cast<int32_t>(data[buf].size());
        std::memcpy(v + 4, s.data(), 4);
        std::memcpy(v + 8, &buf, 4);
        std::memcpy(v + 12, &at, 4);
        data[buf] += s;
      }
    }
    const std::vector<int64_t> sizes{static_cast<int64_t>(data[0].size()), static_cast<int64_t>(data[1].size())};
    return make(static_cast<int64_t>(items.size()), nulls(items),
                {validity(items), store(views), store(std::vector<char>(data[0].begin(), data[0].end())),
                 store(std::vector<char>(data[1].begin(), data[1].end())), store(sizes)});
  }

  template <class Index>
  ArrowArray& dictionary(const std::vector<std::optional<Index>>& indices, ArrowArray& values) {
    Items shape;
    std::vector<Index> raw;
    for (const auto& k : indices) {
      shape.push_back(k ? std::optional<std::string>("") : std::nullopt);
      raw.push_back(k.value_or(Index{0}));
    }
    ArrowArray& a = make(static_cast<int64_t>(indices.size()), nulls(shape), {validity(shape), store(raw)});
    a.dictionary = &values;
    return a;
  }

  // A one-column table over `column`, whose rows are `valid`.
  ArrowArray& table(ArrowArray& column, const std::vector<bool>& valid) {
    Items shape;
    for (bool v : valid) shape.push_back(v ? std::optional<std::string>("") : std::nullopt);
    ArrowArray& a = make(static_cast<int64_t>(valid.size()), nulls(shape), {validity(shape)});
    a.n_children = 1;
    a.children = &child_lists.emplace_back(&column);
    return a;
  }

  ArrowArray& floats(const std::vector<std::optional<double>>& values) {
    Items shape;
    std::vector<double> raw;
    for (const auto& v : values) {
      shape.push_back(v ? std::optional<std::string>("") : std::nullopt);
      raw.push_back(v.value_or(-1.0));
    }
    return make(static_cast<int64_t>(values.size()), nulls(shape), {validity(shape), store(raw)});
  }
};

ArrowSchema schema(const char* format, ArrowSchema* dictionary = nullptr, ArrowSchema** children = nullptr,
                   int64_t n_children = 0) {
  return ArrowSchema{format, nullptr, nullptr, 0, n_children, children, dictionary, nullptr, nullptr};
}

// The tokens read from the chunks, or the failure: "TypeError: ..." / "ValueError: ...".
using Read = std::variant<std::vector<std::string>, std::string>;

std::string failure(const char* kind, const UserError& e) { return std::string(kind) + ": " + e.message(); }

Read read_tokens(const ArrowSchema& s, const std::vector<const ArrowArray*>& chunks) {
  TokenColumn col;
  try {
    ArrowTokenReader reader(s, "tokens", col);
    for (const ArrowArray* c : chunks) reader.append(*c);
    reader.finish();
  } catch (const TypeError& e) {
    return failure("TypeError", e);
  } catch (const ValueError& e) {
    return failure("ValueError", e);
  }
  std::vector<std::string> out;
  for (uint32_t code : col.codes) out.emplace_back(col.distinct(code));
  return out;
}

const std::string LONG_A = "a string longer than twelve", LONG_B = "another long string here";

Items strings_of(const std::vector<std::string>& v) { return Items(v.begin(), v.end()); }

}  // namespace

TEST(arrow_strings_of_every_layout_read_as_their_items) {
  // The same items, sliced by the array's offset, through each layout.
  const std::vector<std::string> all = {"x", "ab", "", LONG_A, "ab", "exactly12byt", LONG_B, LONG_A, "é"};
  const std::vector<std::string> tail(all.begin() + 2, all.end());
  Arrays arr;
  ArrowSchema u = schema("u"), U = schema("U"), vu = schema("vu");
  for (auto [s, a] : {std::pair{&u, &arr.offsets<int32_t>(strings_of(all))},
                      std::pair{&U, &arr.offsets<int64_t>(strings_of(all))},
                      std::pair{&vu, &arr.views(strings_of(all))}}) {
    CHECK_EQ(std::get<0>(read_tokens(*s, {a})), all);
    a->offset = 2;
    a->length -= 2;
    CHECK_EQ(std::get<0>(read_tokens(*s, {a})), tail);
    CHECK_EQ(std::get<0>(read_tokens(*s, {a, a})).size(), 2 * tail.size());
  }
}

TEST(arrow_short_keys_tell_apart_what_bytes_tell_apart) {
  // Strings of 0..12 bytes that share prefixes, differ in their last byte, or
  // hold NULs: the 16-byte keys must give the codes that bytes give.
  std::vector<std::string> items;
  for (size_t len = 0; len <= 13; ++len) {
    items.push_back(std::string(len, 'q'));
    if (len > 0) items.push_back(std::string(len - 1, 'q') + 'r');
    items.push_back(std::string(len, '\0'));
  }
  std::vector<std::string> twice = items;
  twice.insert(twice.end(), items.rbegin(), items.rend());
  Arrays arr;
  ArrowSchema u = schema("u"), vu = schema("vu");
  CHECK_EQ(std::get<0>(read_tokens(u, {&arr.offsets<int32_t>(strings_of(twice))})), twice);
  CHECK_EQ(std::get<0>(read_tokens(vu, {&arr.views(strings_of(twice))})), twice);
}

TEST(arrow_dictionaries_of_every_index_width) {
  Arrays arr;
  ArrowSchema values = schema("vu");
  ArrowArray& dict = arr.views(strings_of({"unused", "b", LONG_A, "a"}));
  dict.offset = 1;  // entries: b, LONG_A, a
  dict.length = 3;
  const std::vector<std::string> want = {"a", "b", "a", LONG_A, "b"};
  auto check_width = [&]<class Index>(const char* format) {
    ArrowSchema s = schema(format, &values);
    ArrowArray& a = arr.dictionary<Index>({Index{7}, Index{2}, Index{0}, Index{2}, Index{1}, Index{0}}, dict);
    a.offset = 1;
    a.length = 5;
    CHECK_EQ(std::get<0>(read_tokens(s, {&a})), want);
    // Codes follow first sight, not the dictionary's order.
    TokenColumn col;
    ArrowTokenReader reader(s, "tokens", col);
    reader.append(a);
    CHECK_EQ(col.codes, (std::vector<uint32_t>{0, 1, 0, 2, 1}));
  };
  check_width.operator()<int8_t>("c");
  check_width.operator()<uint8_t>("C");
  check_width.operator()<int16_t>("s");
  check_width.operator()<uint16_t>("S");
  check_width.operator()<int32_t>("i");
  check_width.operator()<uint32_t>("I");
  check_width.operator()<int64_t>("l");
  check_width.operator()<uint64_t>("L");
}

TEST(arrow_failures_name_the_position_over_all_chunks) {
  Arrays arr;
  ArrowSchema u = schema("u"), vu = schema("vu"), values = schema("u");
  ArrowSchema dict8 = schema("c", &values), dictU64 = schema("L", &values);
  ArrowArray& clean = arr.offsets<int32_t>(strings_of({"a", "b"}));
  ArrowArray& holey = arr.offsets<int32_t>({"a", "b", std::nullopt});
  ArrowArray& dict_values = arr.offsets<int32_t>({"a", std::nullopt});
  ArrowArray& field = arr.offsets<int32_t>(strings_of({"a", "b", "c"}));
  ArrowSchema* field_schema[] = {&u};
  ArrowSchema table = schema("+s", nullptr, field_schema, 1);
  ArrowArray& rows = arr.table(field, {true, false, true});

  struct Case {
    const ArrowSchema* schema;
    std::vector<const ArrowArray*> chunks;
    std::string want;
  };
  const std::vector<Case> cases = {
      {&u, {&clean, &holey}, "ValueError: tokens[4] is null"},
      {&dict8, {&clean}, "ValueError: tokens: malformed Arrow array: 3 buffers"},
      {&dict8, {&arr.dictionary<int8_t>({int8_t{0}, int8_t{-1}}, dict_values)},
       "ValueError: tokens[1] holds dictionary index -1 of 2 values"},
      {&dictU64, {&arr.dictionary<uint64_t>({uint64_t{0}, ~uint64_t{0}}, dict_values)},
       "ValueError: tokens[1] holds dictionary index 18446744073709551615 of 2 values"},
      {&dict8, {&arr.dictionary<int8_t>({int8_t{0}, std::nullopt}, dict_values)}, "ValueError: tokens[1] is null"},
      {&dict8, {&arr.dictionary<int8_t>({int8_t{0}, int8_t{1}}, dict_values)}, "ValueError: tokens[1] is null"},
      {&table, {&rows}, "ValueError: tokens[1] is null"},
      {&u, {&arr.offsets<int32_t>(strings_of({"ok", "\xC3\x28", "\xED\xA0\x80"}))},
       "ValueError: tokens[1] is not valid UTF-8"},
      {&u, {&arr.floats({1.0})}, "ValueError: tokens: malformed Arrow array: 2 buffers"},
      {&vu, {&arr.floats({1.0})}, "ValueError: tokens: malformed Arrow array: 2 buffers"},
  };
  for (const Case& c : cases) CHECK_EQ(std::get<1>(read_tokens(*c.schema, c.chunks)), c.want);

  // A one-column table reads its field, from the table's offset on.
  rows.offset = 2;
  rows.length = 1;
  CHECK_EQ(std::get<0>(read_tokens(table, {&rows})), std::vector<std::string>{"c"});

  // Empty strings need no data buffer; others do.
  ArrowArray& empties = arr.offsets<int32_t>(strings_of({"", ""}));
  ArrowArray& dataless = arr.offsets<int32_t>(strings_of({"", "x"}));
  empties.buffers[2] = dataless.buffers[2] = nullptr;
  empties.offset = 1;
  empties.length = 1;
  CHECK_EQ(std::get<0>(read_tokens(u, {&empties})), std::vector<std::string>{""});
  CHECK_EQ(std::get<1>(read_tokens(u, {&dataless})), "ValueError: tokens: malformed Arrow array: no data buffer");

}

// A malformed chunk is refused having read no string: the column is as empty
// as before (the strings before the fault were not hashed), whatever the
// fault's position. The buffers here are exactly as long as the offsets say,
// so a read past them is an AddressSanitizer report. (The faults pyarrow can
// build are in tests/test_arrow.py; these are the ones it cannot, or whose
// effect only the column shows.)
TEST(arrow_malformed_chunks_are_refused_before_any_string_is_read) {
  Arrays arr;
  auto exact = [&](const std::string& bytes) -> const void* {
    auto& b = arr.bytes.emplace_back(bytes.begin(), bytes.end());
    return b.empty() ? nullptr : b.data();
  };
  auto strings32 = [&](std::vector<int32_t> off, const std::string& data) -> ArrowArray& {
    return arr.make(static_cast<int64_t>(off.size()) - 1, 0, {nullptr, arr.store(off), exact(data)});
  };
  auto strings64 = [&](std::vector<int64_t> off, const std::string& data) -> ArrowArray& {
    return arr.make(static_cast<int64_t>(off.size()) - 1, 0, {nullptr, arr.store(off), exact(data)});
  };
  // Views of "x" (inline), LONG_A (data buffer 1) and LONG_B (buffer 0); one
  // field of LONG_A's view (0 length, 2 buffer, 3 offset) changed.
  auto views = [&](int field, int32_t value) -> ArrowArray& {
    ArrowArray& a = arr.views(strings_of({"x", LONG_A, LONG_B}));
    auto* v = const_cast<unsigned char*>(static_cast<const unsigned char*>(a.buffers[1]));
    std::memcpy(v + 16 + 4 * field, &value, 4);
    return a;
  };
  ArrowSchema u = schema("u"), U = schema("U"), vu = schema("vu");
  ArrowSchema dict_u = schema("c", &u), dict_vu = schema("s", &vu);
  const std::string many(40, 'm');
  std::vector<int32_t> late_fault;  // forty one-byte strings, then one running backwards
  for (int32_t k = 0; k <= 40; ++k) late_fault.push_back(k);
  late_fault.push_back(3);
  ArrowArray& shifted = strings64({0, 1, 2, 1 << 20, 3}, "abc");
  shifted.offset = 1;
  shifted.length = 3;
  ArrowArray& no_sizes = arr.views(strings_of({LONG_A}));
  no_sizes.buffers[no_sizes.n_buffers - 1] = nullptr;
  ArrowArray& missing_data = arr.views(strings_of({LONG_A, LONG_B}));
  missing_data.buffers[3] = nullptr;
  ArrowArray& uncounted = arr.offsets<int32_t>({"a", std::nullopt});
  uncounted.buffers[0] = nullptr;

  struct Case {
    const ArrowSchema* schema;
    const ArrowArray* chunk;
    std::string want;
  };
  const std::string M = "ValueError: tokens: malformed Arrow array: ";
  const std::vector<Case> cases = {
      {&u, &strings32({-1, 2}, "ab"), M + "offsets[0] is -1, below zero"},
      {&u, &strings32(late_fault, many), M + "offsets[41] is 3, less than offsets[40] = 40"},
      {&u, &strings32({0, 0, 1}, ""), M + "no data buffer"},
      {&U, &strings64({0, 2, int64_t{1} << 62}, "ab"), M + "offsets[2] is 4611686018427387904, beyond any buffer in memory"},
      {&U, &shifted, M + "offsets[4] is 3, less than offsets[3] = 1048576"},
      {&vu, &views(0, -1), M + "view 1 has length -1"},
      {&vu, &views(2, 2), M + "view 1 names data buffer 2 of 2"},
      {&vu, &views(2, -1), M + "view 1 names data buffer -1 of 2"},
      {&vu, &views(3, 1), M + "view 1 holds 27 bytes at offset 1 of data buffer 1, which has 27 bytes"},
      {&vu, &views(3, -4), M + "view 1 holds 27 bytes at offset -4 of data buffer 1, which has 27 bytes"},
      {&vu, &views(0, 28), M + "view 1 holds 28 bytes at offset 0 of data buffer 1, which has 27 bytes"},
      {&vu, &no_sizes, M + "no buffer sizes"},
      {&vu, &missing_data, M + "view 1 names data buffer 1, which is missing"},
      {&u, &uncounted, M + "1 nulls but no validity bitmap"},
      {&dict_u, &arr.dictionary<int8_t>({int8_t{0}}, strings32({0, 2, 1, 2}, "ab")),
       M + "offsets[2] of the dictionary is 1, less than offsets[1] = 2"},
      {&dict_u, &arr.dictionary<int8_t>({int8_t{0}}, strings32({0, 0, 1 << 30}, "")),
       M + "no data buffer of the dictionary"},
      {&dict_vu, &arr.dictionary<int16_t>({int16_t{0}}, views(3, 100)),
       M + "view 1 of the dictionary holds 27 bytes at offset 100 of data buffer 1, which has 27 bytes"},
      {&dict_u, &arr.dictionary<int8_t>({int8_t{0}, int8_t{1}, int8_t{2}}, strings32({0, 1, 2}, "ab")),
       "ValueError: tokens[2] holds dictionary index 2 of 2 values"},
  };
  for (const Case& c : cases) {
    TokenColumn col;
    ArrowTokenReader reader(*c.schema, "tokens", col);
    try {
      reader.append(*c.chunk);
      CHECK(false);
    } catch (const ValueError& e) {
      CHECK_EQ("ValueError: " + e.message(), c.want);
    }
    CHECK_EQ(col.n_distinct(), size_t{0});
    CHECK_EQ(col.size(), size_t{0});
  }

  // The view of a null dictionary entry is not read, and need not be valid.
  ArrowArray& holey = views(3, 1000);
  holey.buffers[0] = arr.validity({"x", std::nullopt, LONG_B});
  holey.null_count = 1;
  CHECK_EQ(std::get<0>(read_tokens(dict_vu, {&arr.dictionary<int16_t>({int16_t{2}, int16_t{0}}, holey)})),
           (std::vector<std::string>{LONG_B, "x"}));
}

namespace {

// Each schema links to the next as its dictionary; the last has no dictionary.
std::vector<ArrowSchema> nested_dictionaries(size_t depth) {
  std::vector<ArrowSchema> chain(depth + 1, schema("i"));
  chain.back() = schema("u");
  for (size_t i = 0; i < depth; ++i) chain[i].dictionary = &chain[i + 1];
  return chain;
}

std::string numbers_refusal(const ArrowSchema& s) {
  try {
    ArrowNumberReader reader(s, "times", false);
  } catch (const TypeError& e) {
    return e.message();
  }
  return "accepted";
}

}  // namespace

TEST(arrow_type_errors_name_the_type) {
  ArrowSchema values = schema("l"), strings = schema("u"), dict_of_dict = schema("i", &strings);
  ArrowSchema f = schema("b"), dict_ints = schema("i", &values), bad_index = schema("g", &strings);
  ArrowSchema nested = schema("i", &dict_of_dict);
  ArrowSchema* two[] = {&strings, &strings};
  ArrowSchema pair = schema("+s", nullptr, two, 2), ts = schema("tsu:UTC"), decimal = schema("d:19,10");
  ArrowSchema self = schema("i");
  self.dictionary = &self;  // its own dictionary
  std::vector<ArrowSchema> deep = nested_dictionaries(200000);
  const std::string strings_wanted = "TypeError: argument 'tokens': expected an Arrow array of strings "
                                     "(string, large_string, string_view or a dictionary of them), got ";
  const std::string three_deep = "dictionary<values=dictionary<values=dictionary<values=dictionary<...>, "
                                 "indices=int32>, indices=int32>, indices=int32>";
  const std::vector<std::pair<const ArrowSchema*, std::string>> cases = {
      {&f, "bool"},
      {&dict_ints, "dictionary<values=int64, indices=int32>"},
      {&bad_index, "dictionary<values=string, indices=float64>"},
      {&nested, "dictionary<values=dictionary<values=string, indices=int32>, indices=int32>"},
      {&pair, "struct<2 fields>"},
      {&ts, "timestamp[us, tz=UTC]"},
      {&decimal, "decimal"},
      {&self, three_deep},
      {&deep[0], three_deep},
  };
  for (const auto& [s, name] : cases) {
    CHECK_EQ(std::get<1>(read_tokens(*s, {})), strings_wanted + name);
    if (name != "timestamp[us, tz=UTC]")
      CHECK_EQ(numbers_refusal(*s),
               "argument 'times': expected an Arrow array of numbers (an integer or float type), got " + name);
  }
}

TEST(arrow_temporal_columns_are_refused_with_a_way_to_pass_numbers) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"tdD", "date32[day]"},  {"tdm", "date64[ms]"},  {"tts", "time32[s]"},      {"ttn", "time64[ns]"},
      {"tsn:", "timestamp[ns]"}, {"tsm:Europe/Paris", "timestamp[ms, tz=Europe/Paris]"}, {"tDu", "duration[us]"},
  };
  for (const auto& [format, name] : cases)
    CHECK_EQ(numbers_refusal(schema(format)),
             "argument 'times': got an Arrow " + name + " column; pass numbers in a unit of your choosing, for "
             "example hours since an origin: (t - t0) / timedelta(hours=1)");
}

TEST(arrow_numbers_read_by_value_and_a_failed_read_appends_nothing) {
  // One array's values by value; Python sees the same through its float()
  // (tests/test_arrow.py compares every type with lists), so here only what
  // it cannot see: the reusable reader's own contract.
  Arrays arr;
  ArrowSchema l = schema("l"), e = schema("e"), n = schema("n"), table = schema("+s");
  ArrowArray& ints = arr.make(3, 0, {nullptr, arr.store(std::vector<int64_t>{1, (int64_t{1} << 53) + 1, -7})});
  ints.offset = 1;
  ints.length = 2;
  std::vector<double> out{0.5};
  read_arrow_numbers(l, ints, out, "col");
  CHECK_EQ(out, (std::vector<double>{0.5, 9007199254740992.0, -7.0}));
  ArrowArray& halves = arr.make(2, 0, {nullptr, arr.store(std::vector<uint16_t>{0x3C00, 0x0001})});
  read_arrow_numbers(e, halves, out, "col");
  CHECK_EQ(out.back(), std::ldexp(1.0, -24));
  ArrowArray& nulls = arr.make(2, 2, {});
  read_arrow_numbers(n, nulls, out, "col");
  CHECK(std::isnan(out.back()));
  const std::vector<double> before = out;
  ArrowArray& no_data = arr.make(2, 0, {nullptr, nullptr});
  auto refused = [&](const ArrowSchema& s, const ArrowArray& a) {
    try {
      read_arrow_numbers(s, a, out, "col");
    } catch (const UserError& err) {
      return err.message();
    }
    return std::string("read");
  };
  CHECK_EQ(refused(l, no_data), "col: malformed Arrow array: no data buffer");
  CHECK_EQ(refused(table, ints), "argument 'col': expected an Arrow array of numbers (an integer or float type), "
                                 "got struct<0 fields>");
  CHECK_EQ(out.size(), before.size());
}

TEST(arrow_floats_with_nulls) {
  Arrays arr;
  ArrowSchema g = schema("g"), n = schema("n");
  ArrowArray& a = arr.floats({1.5, std::nullopt, -0.0, 4.0});
  a.offset = 1;
  a.length = 3;
  ArrowArray& none = arr.make(2, 2, {});
  auto read = [&](const ArrowSchema& s, bool nan, std::vector<const ArrowArray*> chunks) -> Read {
    std::vector<double> out;
    try {
      ArrowNumberReader reader(s, "values", nan);
      for (const ArrowArray* c : chunks) reader.append(*c, out);
    } catch (const ValueError& e) {
      return failure("ValueError", e);
    }
    std::vector<std::string> text;
    for (double v : out) text.push_back(format_f64(v) + (std::signbit(v) ? "-" : ""));
    return text;
  };
  CHECK_EQ(std::get<0>(read(g, true, {&a, &a})), (std::vector<std::string>{"NaN", "-0.0-", "4.0", "NaN", "-0.0-", "4.0"}));
  CHECK_EQ(std::get<1>(read(g, false, {&arr.floats({1.0, 2.0}), &a})), "ValueError: values[2] is null");
  CHECK_EQ(std::get<0>(read(n, true, {&none})), (std::vector<std::string>{"NaN", "NaN"}));
  CHECK_EQ(std::get<1>(read(n, false, {&none})), "ValueError: values[0] is null");
}

TEST(arrow_owned_releases_exactly_once) {
  static int released = 0;
  auto make = [] {
    ArrowArray a{};
    a.release = [](ArrowArray* self) {
      ++released;
      self->release = nullptr;
    };
    return a;
  };
  released = 0;
  {
    ArrowArray exported = make();
    ArrowOwned<ArrowArray> owned = ArrowOwned<ArrowArray>::take(&exported);
    CHECK(exported.release == nullptr);  // the capsule's copy is marked released
    ArrowOwned<ArrowArray> moved = std::move(owned);
    CHECK(owned.released());
    CHECK(!moved.released());
    ArrowArray again = make();
    moved = ArrowOwned<ArrowArray>::take(&again);  // releases the first
    CHECK_EQ(released, 1);
  }
  CHECK_EQ(released, 2);
}
