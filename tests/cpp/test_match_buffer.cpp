// Match buffer and collectors: update and its in-place form for all six
// strategies, how finished results reach the scalar and list columns, the
// column layout of emitted matches, reuse without losing storage, shared path
// cells, and the preallocation rule.
#include <cmath>
#include <limits>
#include <variant>
#include <vector>

#include "check.hpp"
#include "engine/match_buffer.hpp"

using namespace zuldcore;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr TokenId A = 1, B = 2, C = 3;

using Pairs = std::vector<CollectedPair>;

CollectorResult fold(CollectorStrategy s, std::initializer_list<CollectedPair> items) {
  CollectorResult r = initial_result(s);
  for (const auto& [tok, t] : items) r = update(s, r, tok, t);
  return r;
}

}  // namespace

TEST(buffer_initial_results) {
  CHECK(std::holds_alternative<std::monostate>(initial_result(CollectorStrategy::None)));
  CHECK_EQ(std::get<double>(initial_result(CollectorStrategy::SumTimes)), 0.0);
  CHECK_EQ(std::get<uint64_t>(initial_result(CollectorStrategy::Count)), uint64_t{0});
  CHECK(std::get<std::vector<TokenId>>(initial_result(CollectorStrategy::CollectTokens)).empty());
  CHECK(std::get<std::vector<double>>(initial_result(CollectorStrategy::CollectTimes)).empty());
  CHECK(std::get<Pairs>(initial_result(CollectorStrategy::CollectPairs)).empty());
  for (size_t s = 0; s < N_COLLECTORS; ++s)
    CHECK_EQ(strategy_of(initial_result(static_cast<CollectorStrategy>(s))), static_cast<CollectorStrategy>(s));
}

TEST(buffer_update_each_strategy) {
  CHECK_EQ(std::get<double>(fold(CollectorStrategy::SumTimes, {{A, 1.0}, {B, 2.5}})), 3.5);
  CHECK_EQ(std::get<uint64_t>(fold(CollectorStrategy::Count, {{A, 1.0}, {B, 2.5}, {A, 7.0}})), uint64_t{3});
  CHECK_EQ(std::get<std::vector<TokenId>>(fold(CollectorStrategy::CollectTokens, {{A, 1.0}, {B, 2.5}})),
           (std::vector<TokenId>{A, B}));
  CHECK_EQ(std::get<std::vector<double>>(fold(CollectorStrategy::CollectTimes, {{A, 1.0}, {B, 2.5}})),
           (std::vector<double>{1.0, 2.5}));
  CHECK_EQ(std::get<Pairs>(fold(CollectorStrategy::CollectPairs, {{A, 1.0}, {B, 2.5}})),
           (Pairs{{A, 1.0}, {B, 2.5}}));
  CHECK(std::holds_alternative<std::monostate>(fold(CollectorStrategy::None, {{A, 1.0}})));
}

TEST(buffer_update_leaves_previous_alone) {
  const CollectorResult before = std::vector<TokenId>{A};
  const CollectorResult after = update(CollectorStrategy::CollectTokens, before, B, 1.0);
  CHECK_EQ(std::get<std::vector<TokenId>>(before), std::vector<TokenId>{A});
  CHECK_EQ(std::get<std::vector<TokenId>>(after), (std::vector<TokenId>{A, B}));
}

TEST(buffer_update_of_other_strategy_is_unchanged) {
  // A value of another strategy comes back as it was; None always gives None.
  const CollectorResult sum = 2.0;
  CHECK_EQ(std::get<double>(update(CollectorStrategy::Count, sum, A, 5.0)), 2.0);
  const CollectorResult tokens = std::vector<TokenId>{C};
  CHECK_EQ(std::get<std::vector<TokenId>>(update(CollectorStrategy::CollectPairs, tokens, A, 5.0)),
           std::vector<TokenId>{C});
  CHECK(std::holds_alternative<std::monostate>(update(CollectorStrategy::None, sum, A, 5.0)));
  CollectorResult in_place = uint64_t{4};
  accumulate(CollectorStrategy::SumTimes, in_place, A, 1.0);
  CHECK_EQ(std::get<uint64_t>(in_place), uint64_t{4});
}

TEST(buffer_sum_times_propagates_nan) {
  // A NaN time reaches the sum as it is; the collector does not filter.
  CHECK(std::isnan(std::get<double>(fold(CollectorStrategy::SumTimes, {{A, 1.0}, {B, NaN}}))));
}

TEST(buffer_push_collector_result_columns) {
  std::vector<double> scalars;
  std::vector<Pairs> lists;
  push_collector_result(scalars, lists, CollectorResult{});
  CHECK(scalars.empty());
  CHECK(lists.empty());

  push_collector_result(scalars, lists, CollectorResult{3.5});
  push_collector_result(scalars, lists, CollectorResult{uint64_t{3}});
  CHECK_EQ(scalars, (std::vector<double>{3.5, 3.0}));
  CHECK(lists.empty());

  push_collector_result(scalars, lists, CollectorResult{std::vector<TokenId>{A, B}});
  push_collector_result(scalars, lists, CollectorResult{std::vector<double>{1.5, 2.5}});
  push_collector_result(scalars, lists, CollectorResult{Pairs{{C, 4.0}}});
  push_collector_result(scalars, lists, CollectorResult{Pairs{}});
  CHECK_EQ(scalars.size(), size_t{2});
  CHECK_EQ(lists.size(), size_t{4});
  CHECK_EQ(lists[0], (Pairs{{A, 0.0}, {B, 0.0}}));
  CHECK_EQ(lists[1], (Pairs{{0, 1.5}, {0, 2.5}}));
  CHECK_EQ(lists[2], (Pairs{{C, 4.0}}));
  CHECK(lists[3].empty());
}

TEST(buffer_pattern_result_folds_first_tokens) {
  const std::vector<TokenId> stream{A, B, C};
  const std::vector<ElMatch> slots{
      {std::span<const TokenId>(stream).subspan(0, 2), 0, 1.0},  // a two-token sequence
      {std::span<const TokenId>(stream).subspan(2, 1), 2, 2.5},
  };
  CHECK_EQ(std::get<std::vector<TokenId>>(pattern_result(CollectorStrategy::CollectTokens, slots)),
           (std::vector<TokenId>{A, C}));
  CHECK_EQ(std::get<double>(pattern_result(CollectorStrategy::SumTimes, slots)), 3.5);
  CHECK_EQ(std::get<uint64_t>(pattern_result(CollectorStrategy::Count, slots)), uint64_t{2});
}

TEST(buffer_emit_layout) {
  const std::vector<TokenId> stream{A, B, C, A};
  const std::span<const TokenId> s(stream);
  MatchBuffer b(2, true, 16);
  CHECK_EQ(b.n_matches(), size_t{0});
  b.emit(0, 2, 1.0, 3.0, std::vector<ElMatch>{{s.subspan(0, 1), 0, 1.0}, {s.subspan(1, 2), 1, 3.0}},
         CollectorResult{uint64_t{2}}, CollectorResult{std::vector<TokenId>{C}});
  b.emit(3, 3, 4.0, 4.0, std::vector<ElMatch>{{s.subspan(3, 1), 3, 4.0}, {s.subspan(3, 0), 3, 4.0}},
         CollectorResult{uint64_t{2}}, CollectorResult{std::vector<TokenId>{}});
  CHECK_EQ(b.n_matches(), size_t{2});
  CHECK_EQ(b.m_start, (std::vector<int64_t>{0, 3}));
  CHECK_EQ(b.m_end, (std::vector<int64_t>{2, 3}));
  CHECK_EQ(b.t_start, (std::vector<double>{1.0, 4.0}));
  CHECK_EQ(b.t_end, (std::vector<double>{3.0, 4.0}));
  CHECK_EQ(b.el_stream_idx, (std::vector<int64_t>{0, 1, 3, 3}));
  CHECK_EQ(b.el_times, (std::vector<double>{1.0, 3.0, 4.0, 4.0}));
  CHECK_EQ(b.el_token_counts, (std::vector<uint32_t>{1, 2, 1, 0}));
  CHECK_EQ(b.el_tokens, (std::vector<TokenId>{A, B, C, A}));
  CHECK_EQ(b.result_scalars, (std::vector<double>{2.0, 2.0}));
  CHECK(b.result_lists.empty());
  CHECK(b.mid_scalars.empty());
  CHECK_EQ(b.mid_lists, (std::vector<Pairs>{{{C, 0.0}}, {}}));
}

TEST(buffer_emit_without_tokens) {
  const std::vector<TokenId> stream{A};
  MatchBuffer b(1, false, 16);
  b.emit(0, 0, 1.0, 1.0, std::vector<ElMatch>{{stream, 0, 1.0}}, CollectorResult{}, CollectorResult{});
  CHECK(b.el_tokens.empty());
  CHECK(b.el_token_counts.empty());
  CHECK(b.result_scalars.empty() && b.result_lists.empty() && b.mid_scalars.empty() && b.mid_lists.empty());
}

TEST(buffer_emit_rejects_wrong_slot_count) {
  const std::vector<TokenId> stream{A};
  MatchBuffer b(2, false, 16);
  CHECK_THROWS(b.emit(0, 0, 1.0, 1.0, std::vector<ElMatch>{{stream, 0, 1.0}}, CollectorResult{},
                      CollectorResult{}),
               Internal);
}

TEST(buffer_preallocation) {
  MatchBuffer b(2, false, 16);
  CHECK_EQ(b.m_start.capacity(), size_t{16});
  CHECK_EQ(b.t_end.capacity(), size_t{16});
  CHECK_EQ(b.el_stream_idx.capacity(), size_t{32});
  CHECK_EQ(b.el_times.capacity(), size_t{32});
  CHECK_EQ(b.el_tokens.capacity(), size_t{0});
  CHECK_EQ(b.el_token_counts.capacity(), size_t{0});
  CHECK_EQ(b.result_lists.capacity(), size_t{0});
  MatchBuffer t(3, true, 20);
  CHECK_EQ(t.el_tokens.capacity(), size_t{60});
  CHECK_EQ(t.el_token_counts.capacity(), size_t{60});
}

TEST(buffer_reset_keeps_storage) {
  const std::vector<TokenId> stream{A, B};
  MatchBuffer b(2, true, 100);
  for (int i = 0; i < 50; ++i)
    b.emit(0, 1, 0.0, 1.0, std::vector<ElMatch>{{std::span(stream).subspan(0, 1), 0, 0.0},
                                                {std::span(stream).subspan(1, 1), 1, 1.0}},
           CollectorResult{std::vector<double>{1.0}}, CollectorResult{2.0});
  const TokenId* tokens_storage = b.el_tokens.data();
  b.reset(1, false, 16);
  CHECK_EQ(b.n_matches(), size_t{0});
  CHECK(b.m_start.empty() && b.m_end.empty() && b.t_start.empty() && b.t_end.empty());
  CHECK(b.el_stream_idx.empty() && b.el_times.empty() && b.el_tokens.empty() && b.el_token_counts.empty());
  CHECK(b.result_scalars.empty() && b.result_lists.empty() && b.mid_scalars.empty() && b.mid_lists.empty());
  CHECK_EQ(b.n_elements, size_t{1});
  CHECK(!b.include_tokens);
  CHECK(b.m_start.capacity() >= 100);
  CHECK(b.el_stream_idx.capacity() >= 200);
  CHECK(b.el_tokens.data() == tokens_storage);
  b.reset(4, true, 300);  // grows where the new shape needs more
  CHECK(b.m_start.capacity() >= 300);
  CHECK(b.el_tokens.capacity() >= 1200);
}

TEST(buffer_initial_capacity_rule) {
  CHECK_EQ(initial_match_capacity(10, 2), size_t{16});   // q = 5
  CHECK_EQ(initial_match_capacity(32, 2), size_t{16});   // q = 16
  CHECK_EQ(initial_match_capacity(34, 2), size_t{17});   // q = 17
  CHECK_EQ(initial_match_capacity(1000, 3), size_t{333});
  CHECK_EQ(initial_match_capacity(1000, 0), size_t{1000});  // no elements counts as one
  CHECK_EQ(initial_match_capacity(0, 5), size_t{16});
  CHECK_EQ(initial_match_capacity(size_t{1} << 40, 1), size_t{1048576});
  CHECK_EQ(initial_match_capacity(2 * 1048576 + 1, 2), size_t{1048576});
}

TEST(buffer_path_sharing_and_release) {
  PathArena arena;
  const uint32_t root = arena.push(PathArena::NONE, 0, 1, 0.0);
  const uint32_t left = arena.push(root, 1, 1, 1.0);
  const uint32_t right = arena.push(root, 2, 2, 2.0);  // siblings share `root`
  CHECK_EQ(arena.live(), size_t{3});
  arena.release(root);  // the holders of left and right keep it alive
  CHECK_EQ(arena.live(), size_t{3});
  CHECK_EQ(arena[arena[left].next].stream_idx, size_t{0});
  arena.release(left);
  CHECK_EQ(arena.live(), size_t{2});
  CHECK_EQ(arena[right].token_count, uint32_t{2});
  CHECK_EQ(arena[arena[right].next].stream_idx, size_t{0});
  arena.retain(right);
  arena.release(right);
  CHECK_EQ(arena.live(), size_t{2});
  arena.release(right);  // last holder: the whole chain goes
  CHECK_EQ(arena.live(), size_t{0});
  // Freed cells are reused before the storage grows.
  const uint32_t again = arena.push(PathArena::NONE, 7, 1, 7.0);
  CHECK(again <= 2);
  CHECK_EQ(arena[again].stream_idx, size_t{7});
  CHECK_EQ(arena[again].next, PathArena::NONE);
  arena.release(PathArena::NONE);  // the empty path holds nothing
  CHECK_EQ(arena.live(), size_t{1});
}

TEST(buffer_long_path_release_is_iterative) {
  PathArena arena;
  uint32_t head = PathArena::NONE;
  for (size_t i = 0; i < 200000; ++i) {
    const uint32_t cell = arena.push(head, i, 1, 0.0);
    arena.release(head);
    head = cell;
  }
  CHECK_EQ(arena.live(), size_t{200000});
  arena.release(head);
  CHECK_EQ(arena.live(), size_t{0});
}
