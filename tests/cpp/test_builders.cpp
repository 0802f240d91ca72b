// The builders' rules: the plural and sequence value-constraint rules with
// their messages, the time elements' block rule, and what each builder
// interns, when and in which order (a refused call interns nothing, but for
// the midstream collector's name).
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "types/builders.hpp"

using namespace zuldcore;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
using VC = ValueConstraint;
using Vcs = std::vector<VC>;
using Doubles = std::optional<std::vector<double>>;
using Bools = std::optional<std::vector<bool>>;

VC at_least(double v) { return VC::range(v, INF); }

// Given lists (an empty one is given too).
Doubles doubles(std::initializer_list<double> v) { return std::vector<double>(v); }
Bools bools(std::initializer_list<bool> v) { return std::vector<bool>(v); }
std::optional<std::vector<std::vector<double>>> lists(std::initializer_list<std::vector<double>> v) {
  return std::vector<std::vector<double>>(v);
}

// The message of a refusal, or "" when the rule passed.
template <class T>
std::string message_of(const Expected<T>& e) {
  return e ? std::string() : e.message();
}

// A token no other test interns.
std::string fresh() {
  static int n = 0;
  return cat("builders-", n++);
}

}  // namespace

TEST(builders_plural_rule) {
  struct Row {
    Doubles min, max;
    Bools require_nan;
    size_t n;
    Vcs want;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{}, {}, {}, 2, {}, ""},  // nothing given: unconstrained
      {doubles({1.0, 2.0}), {}, {}, 2, {at_least(1.0), at_least(2.0)}, ""},
      {doubles({1.0, 2.0, 3.0}), {}, {}, 2, {at_least(1.0), at_least(2.0)}, ""},  // read up to n
      {doubles({1.0, NaN}), doubles({NaN, 5.0}), bools({false, true}), 2, {at_least(1.0), VC::require_nan()}, ""},
      {doubles({NaN}), {}, {}, 1, {VC::any()}, ""},
      {{}, doubles({5.0}), {}, 2, {}, "max_vals must have length 2 to match match_tokens (got 1)"},
      {doubles({}), doubles({}), {}, 1, {}, "min_vals must have length 1 to match match_tokens (got 0)"},
      {{}, {}, bools({}), 1, {}, "require_nan_vals must have length 1 to match match_tokens (got 0)"},
      {doubles({}), {}, {}, 0, {}, ""},
  };
  for (const Row& r : rows) {
    auto got = plural_vcs(PluralVals{VALS, r.min, r.max, r.require_nan}, r.n, "match_tokens");
    CHECK_EQ(message_of(got), r.message);
    if (got) CHECK_EQ(got.value(), r.want);
  }
}

TEST(builders_sequence_rule) {
  using BoolLists = std::optional<std::vector<std::vector<bool>>>;
  struct Row {
    std::optional<std::vector<std::vector<double>>> min, max;
    BoolLists require_nan;
    size_t n;
    std::vector<Vcs> want;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{}, {}, {}, 2, {{}, {}}, ""},
      {lists({{1.0, 2.0}, {}}), {}, {}, 2, {{at_least(1.0), at_least(2.0)}, {}}, ""},
      // The first given list sets each sequence's count; later ones may be longer.
      {{}, lists({{NaN}}), BoolLists{{{true, false}}}, 1, {{VC::require_nan()}}, ""},
      {lists({{1.0}}), {}, {}, 2, {}, "min_vals must have length 2 to match match_seqs (got 1)"},
      {lists({{1.0, 2.0}}), lists({{3.0}}), {}, 1, {},
       "max_vals[0] must have length 2 to match min_vals[0] (got 1)"},
      {{}, lists({{1.0}, {2.0, 3.0}}), BoolLists{{{true}, {true}}}, 2, {},
       "require_nan_vals[1] must have length 2 to match max_vals[1] (got 1)"},
  };
  for (const Row& r : rows) {
    auto got = seq_vcs(PluralSeqVals{VALS, r.min, r.max, r.require_nan}, r.n, "match_seqs");
    CHECK_EQ(message_of(got), r.message);
    if (got) CHECK_EQ(got.value(), r.want);
  }
}

TEST(builders_time_block_rule) {
  const std::optional<std::string> b = "b";
  const std::optional<std::vector<std::string>> two = std::vector<std::string>{"b", "c"};
  const ScalarVals none, min1{1.0};
  const PluralVals no_lists{BLOCK_VALS}, three{BLOCK_VALS, doubles({1.0, 2.0, 3.0})},
      pair{BLOCK_VALS, doubles({1.0, 2.0})};
  struct Row {
    TimeBlockArgs args;
    std::vector<std::string> tokens;
    Vcs vcs;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{{}, none, {}, no_lists}, {}, {}, ""},
      {{b, min1, {}, no_lists}, {"b"}, {at_least(1.0)}, ""},
      {{b, none, {}, no_lists}, {"b"}, {VC::any()}, ""},
      {{{}, none, two, pair}, {"b", "c"}, {at_least(1.0), at_least(2.0)}, ""},
      {{{}, none, two, no_lists}, {"b", "c"}, {}, ""},
      {{b, none, {}, pair}, {}, {}, "plural block value constraints require block_tokens"},
      {{b, none, two, no_lists}, {}, {}, "use either block_token or block_tokens, not both"},
      {{{}, min1, two, no_lists}, {}, {},
       "block_min_val/block_max_val/block_require_nan_val apply to block_token; use the plural "
       "value-constraint arguments with block_tokens"},
      // Against block_tokens a list must match exactly: longer is refused too.
      {{{}, none, two, three}, {}, {}, "block_min_vals must have length 2 to match block_tokens (got 3)"},
  };
  for (const Row& r : rows) {
    TimeBlockArgs args = r.args;
    auto got = time_block_rule(std::move(args));
    CHECK_EQ(message_of(got), r.message);
    if (got) {
      CHECK_EQ(got.value().tokens, r.tokens);
      CHECK_EQ(got.value().vcs, r.vcs);
    }
  }
}

// Every builder, refused and accepted: a refusal interns nothing, an
// accepted call interns its tokens in order, match tokens before block tokens.
TEST(builders_intern_only_what_they_keep) {
  const PluralVals short_list{VALS, doubles({})};
  const PluralSeqVals short_lists{VALS, lists({})};
  const PluralVals short_block{BLOCK_VALS, doubles({})};
  using Tokens = std::vector<std::string>;
  using Seqs = std::vector<Tokens>;
  struct Row {
    std::function<std::string(const std::string&, const std::string&)> build;  // (match, block) -> message
    std::string message;
  };
  const std::vector<Row> rows = {
      {[](auto& m, auto& b) { return message_of(Expected<PatternElement>(build_event({m, b}))); }, ""},
      {[&](auto& m, auto& b) { return message_of(build_event_set({{m}, {b}})); }, ""},
      {[&](auto& m, auto& b) { return message_of(build_event_set({{m}, {b}, {}, true, short_list})); },
       "min_vals must have length 1 to match match_tokens (got 0)"},
      {[&](auto& m, auto& b) { return message_of(build_event_set({{m}, {b}, {}, true, {VALS}, short_block})); },
       "block_min_vals must have length 1 to match block_tokens (got 0)"},
      {[&](auto& m, auto& b) { return message_of(build_event_seq({{{m}}, Seqs{{b}}})); }, ""},
      {[&](auto& m, auto& b) { return message_of(build_event_seq({{{m}}, Seqs{{b}}, {}, true, short_lists})); },
       "min_vals must have length 1 to match match_seqs (got 0)"},
      {[&](auto& m, auto& b) { return message_of(build_dynamic_event_set({{m}, {b}})); }, ""},
      {[&](auto& m, auto& b) { return message_of(build_dynamic_event_set({{m}, {b}, false, false, {}, true, {VALS},
                                                                          short_block})); },
       "block_min_vals must have length 1 to match static_block_tokens (got 0)"},
      {[&](auto& m, auto& b) { return message_of(build_resolved({{}, {}, {}, Tokens{m, b}})); }, ""},
      {[&](auto& m, auto& b) {
         return message_of(build_resolved({{}, {}, {}, Tokens{m, b}, PluralVals{VAL, doubles({1.0})}}));
       },
       "min_val must have length 2 to match match (got 1)"},
      {[&](auto& m, auto& b) {
         TimeEventArgs t;
         t.block.block_tokens = Tokens{m, b};
         t.block.block_token = b;
         return message_of(build_time_event(std::move(t)));
       },
       "use either block_token or block_tokens, not both"},
  };
  for (const Row& r : rows) {
    const std::string m = fresh(), b = fresh();
    const size_t before = vocabulary_size();
    CHECK_EQ(r.build(m, b), r.message);
    if (r.message.empty()) {
      CHECK_EQ(vocabulary_size(), before + 2);
      CHECK_EQ(intern(m) + 1, intern(b));
    } else {
      CHECK_EQ(vocabulary_size(), before);
    }
  }
}

TEST(builders_elements) {
  // An event keeps its block constraint even without a block token.
  auto event = std::get<Event>(build_event({fresh(), {}, {}, false, {}, ScalarVals{1.0}}));
  CHECK(!event.block_token.has_value());
  CHECK_EQ(event.block_vc, at_least(1.0));
  CHECK(!event.backtrackable);

  // The dynamic event always matches the last matched token.
  auto dynamic = std::get<DynamicEvent>(build_dynamic_event({}).value());
  CHECK(dynamic.match_from_last);

  // Without block_seqs the block lists are not looked at.
  auto seq =
      std::get<EventSeq>(build_event_seq({{{fresh()}}, {}, {}, true, {VALS}, {BLOCK_VALS, lists({})}}).value());
  CHECK(!seq.block_trie.has_value());

  // One mapped token reads the first entry of each list, if any.
  auto single = build_resolved({{}, {}, {}, fresh(), PluralVals{VAL, doubles({3.0, 9.0}), doubles({})}});
  CHECK_EQ(single.value().vcs, Vcs{at_least(3.0)});

  CHECK(check_source_element(63).ok());
  CHECK_EQ(check_source_element(64).message(), "source_element must be less than 64 (got 64)");
}

TEST(builders_midstream) {
  const size_t before = vocabulary_size();
  auto empty = build_midstream({{{fresh()}, {}}, {}, {}});
  CHECK_EQ(empty.message(), "match_tokens sequences must not be empty");
  CHECK_EQ(vocabulary_size(), before);

  // The name is checked after the sequences are interned.
  auto unknown = build_midstream({{{fresh()}}, {}, {}, "bogus"});
  CHECK(message_of(unknown).starts_with("Unknown collector 'bogus'"));
  CHECK_EQ(vocabulary_size(), before + 1);

  auto m = build_midstream({{{fresh(), fresh()}}, {0, 65}, {2}, "count"}).value();
  CHECK_EQ(m.start_after, uint64_t{0b11});  // 65 wraps to bit 1
  CHECK_EQ(m.stop_before, uint64_t{0b100});
  CHECK_EQ(m.collector, CollectorStrategy::Count);
}
