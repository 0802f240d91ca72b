// Token columns before interning: codes in order of first sight, the identity
// cache giving the codes bytes alone give, UCS4 decoding (trailing NULs,
// every UTF-8 length, strides, bad code points by position), and the token
// index under the engine's tables and the trie.
#include <cstring>
#include <string>
#include <vector>

#include "base/interrupt.hpp"
#include "check.hpp"
#include "intern/column.hpp"
#include "intern/token_hash_index.hpp"

using namespace zuldcore;

namespace {

std::vector<std::string> distinct_of(const TokenColumn& col) {
  std::vector<std::string> out;
  for (size_t d = 0; d < col.n_distinct(); ++d) out.emplace_back(col.distinct(d));
  return out;
}

TokenColumn by_bytes(const std::vector<std::string>& items) {
  TokenColumn col;
  DistinctStrings distinct(col);
  for (const std::string& s : items) col.codes.push_back(distinct.code_of(s));
  return col;
}

}  // namespace

TEST(column_codes_follow_first_sight) {
  const std::string nul("a\0b", 3);
  const TokenColumn col = by_bytes({"b", "a", "b", "", nul, "a", std::string("a\0c", 3), ""});
  CHECK_EQ(col.codes, (std::vector<uint32_t>{0, 1, 0, 2, 3, 1, 4, 2}));
  CHECK_EQ(distinct_of(col), (std::vector<std::string>{"b", "a", "", nul, std::string("a\0c", 3)}));
  CHECK_EQ(col.first_position_of(3), size_t{4});
}

TEST(a_growing_column_table_hears_ctrl_c_and_stays_whole) {
  // The distinct strings' table rebuilds itself as it grows, which for
  // millions of strings takes a while: the rebuild asks the poll, and a stop
  // there leaves the column as it was before the string that needed room.
  static int polls = 0;
  static int stop_at = 0;
  set_interrupt_poll([]() noexcept { return ++polls == stop_at; });
  std::vector<std::string> words;
  for (int i = 0; i < 60000; ++i) words.push_back("c" + std::to_string(i));
  TokenColumn col;
  DistinctStrings distinct(col);
  for (const std::string& w : words) col.codes.push_back(distinct.code_of(w));  // only growth ticks
  CHECK(polls > 0);
  const int asked = polls;
  polls = 0;
  stop_at = asked;  // the last poll of the same run now says stop
  TokenColumn again;
  DistinctStrings fresh(again);
  size_t done = 0;
  try {
    for (; done < words.size(); ++done) again.codes.push_back(fresh.code_of(words[done]));
  } catch (const Interrupted&) {
  }
  set_interrupt_poll(nullptr);
  CHECK(done < words.size());
  CHECK_EQ(again.n_distinct(), done);
  for (size_t i = 0; i < done; ++i) CHECK_EQ(fresh.code_of(words[i]), i);
  CHECK_EQ(fresh.code_of(words[done]), done);
}

TEST(shared_item_codes_equal_codes_by_bytes) {
  // Items are strings; an item's identity is its address. Three layouts:
  // equal tokens shared (the cache hits), each position its own object
  // holding a repeated token (the cache turns itself off after its trial),
  // and all distinct (more than the cache holds).
  constexpr size_t N = 20000;
  std::vector<std::string> pool;
  for (size_t k = 0; k < 50; ++k) pool.push_back("tok-" + std::to_string(k));
  std::vector<std::string> own, unique;
  std::vector<const std::string*> shared;
  for (size_t i = 0; i < N; ++i) {
    shared.push_back(&pool[i * 7 % pool.size()]);
    own.push_back(pool[i * 11 % pool.size()]);
    unique.push_back("u-" + std::to_string(i));
  }
  auto via_identity = [](const std::vector<const std::string*>& items) {
    TokenColumn col;
    SharedItemCodes codes(col, items.size());
    for (const std::string* s : items) col.codes.push_back(codes.code_of(s, [s] { return std::string_view(*s); }));
    return col;
  };
  auto addresses = [](const std::vector<std::string>& v) {
    std::vector<const std::string*> out;
    for (const std::string& s : v) out.push_back(&s);
    return out;
  };
  for (const std::vector<const std::string*>& items : {shared, addresses(own), addresses(unique)}) {
    std::vector<std::string> bytes;
    for (const std::string* s : items) bytes.push_back(*s);
    const TokenColumn want = by_bytes(bytes);
    const TokenColumn got = via_identity(items);
    CHECK_EQ(got.codes, want.codes);
    CHECK_EQ(got.arena, want.arena);
    CHECK_EQ(got.ends, want.ends);
  }
}

TEST(ucs4_columns_decode_to_the_utf8_of_each_item) {
  struct Case {
    std::vector<std::vector<uint32_t>> items;  // padded with NULs to the widest
    std::vector<uint32_t> codes;
    std::vector<std::string> distinct;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}},
      {{{'a'}, {'b', 'c'}, {'a', 0}}, {0, 1, 0}, {"a", "bc"}},                    // trailing NULs stripped
      {{{'a', 0, 'b'}, {'a'}}, {0, 1}, {std::string("a\0b", 3), "a"}},            // inner NUL kept
      {{{0}, {}}, {0, 0}, {""}},                                                  // all NUL: empty
      {{{0x7F, 0x80}, {0x7FF, 0x800}, {0xFFFF, 0x10000}, {0x10FFFF}},
       {0, 1, 2, 3},
       {"\x7F\xC2\x80", "\xDF\xBF\xE0\xA0\x80", "\xEF\xBF\xBF\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}},
  };
  for (const Case& c : cases) {
    size_t width = 1;
    for (const auto& item : c.items) width = std::max(width, item.size());
    // Each item sits at an odd offset in a record of width + 1 units plus one
    // byte, so reads are unaligned and strided.
    const size_t stride = 4 * (width + 1) + 1;
    std::vector<char> buffer(1 + stride * c.items.size(), '\xAA');
    for (size_t i = 0; i < c.items.size(); ++i) {
      std::vector<uint32_t> units = c.items[i];
      units.resize(width, 0);
      std::memcpy(buffer.data() + 1 + i * stride, units.data(), 4 * width);
    }
    TokenColumn col;
    const Ucs4Decoded got = read_ucs4_column(buffer.data() + 1, c.items.size(),
                                             static_cast<std::ptrdiff_t>(stride), width, col);
    CHECK_EQ(got.outcome, Ucs4Decoded::Ok);
    CHECK_EQ(col.codes, c.codes);
    CHECK_EQ(distinct_of(col), c.distinct);
  }
}

TEST(ucs4_columns_refuse_what_utf8_cannot_hold) {
  struct Case {
    std::vector<uint32_t> units;  // width 1
    Ucs4Decoded::Outcome outcome;
    size_t position;
    uint32_t code_point;
  };
  const std::vector<Case> cases = {
      {{'a', 'b', 0x110000, 0x110000}, Ucs4Decoded::BadCodePoint, 2, 0x110000},
      {{'a', 0xFFFFFFFF, 'b', 0x110000}, Ucs4Decoded::BadCodePoint, 1, 0xFFFFFFFF},
      {{0x110001, 'a', 0x110001}, Ucs4Decoded::BadCodePoint, 0, 0x110001},
      {{'a', 0xD800}, Ucs4Decoded::Surrogate, 0, 0},
      {{0xDFFF}, Ucs4Decoded::Surrogate, 0, 0},
  };
  for (const Case& c : cases) {
    TokenColumn col;
    const Ucs4Decoded got =
        read_ucs4_column(reinterpret_cast<const char*>(c.units.data()), c.units.size(), 4, 1, col);
    CHECK_EQ(got.outcome, c.outcome);
    CHECK_EQ(got.position, c.position);
    CHECK_EQ(got.code_point, c.code_point);
  }
}

TEST(intern_column_maps_codes_to_ids) {
  TokenColumn col = by_bytes({"zz-col-b", "zz-col-a", "zz-col-b"});
  const std::vector<TokenId> ids = intern_column(std::move(col));
  CHECK_EQ(ids, (std::vector<TokenId>{intern("zz-col-b"), intern("zz-col-a"), intern("zz-col-b")}));
  CHECK_EQ(ids[1], ids[0] + 1);
}

TEST(token_index_finds_every_key_and_nothing_else) {
  // Dense ids, ids that share their low bits, and ids near the top.
  const std::vector<std::vector<TokenId>> key_sets = {
      {},
      {7},
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
      {1u << 20, 2u << 20, 3u << 20, 4u << 20, 5u << 20},
      {0xFFFFFFFEu, 0xFFFFFFF0u, 0x80000000u, 0},
  };
  for (const std::vector<TokenId>& keys : key_sets) {
    auto key_of = [&keys](size_t e) { return keys[e]; };
    // Built whole, and built from one key by adding the rest.
    TokenHashIndex whole = TokenHashIndex::over(keys.size(), 0, key_of);
    TokenHashIndex grown = TokenHashIndex::over(keys.empty() ? 0 : 1, keys.size(), key_of);
    for (size_t e = 1; e < keys.size(); ++e) grown.add(keys[e], static_cast<uint32_t>(e));
    CHECK(grown.room() >= keys.size());
    for (const TokenHashIndex* index : {&whole, &grown}) {
      for (size_t e = 0; e < keys.size(); ++e) CHECK_EQ(index->find(keys[e], key_of), e);
      for (TokenId absent : {11u, 6u << 20, 0xFFFFFFFFu})
        CHECK_EQ(index->find(absent, key_of), TokenHashIndex::MISSING);
    }
  }
  CHECK_EQ(TokenHashIndex{}.find(0, [](size_t) { return TokenId{0}; }), TokenHashIndex::MISSING);
}
