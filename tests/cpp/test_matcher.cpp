// The stream matcher: buffer sizing, trivial inputs, which patterns take the
// fast path, the fast path against the general search on streams whose times
// never decrease (and its documented difference where they do), first_only,
// include_tokens, and reuse of one matcher and buffer across streams.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine_fixtures.hpp"
#include "engine/matcher.hpp"

using namespace zuldcore;
using namespace engine_fixtures;

namespace {

constexpr TokenId A = 1, B = 2, C = 3, X = 9;

MatchBuffer run(const Pattern& p, const S& s, bool first_only = false, bool include_tokens = false) {
  return match_stream(make_engine(p).value(), s.tokens, s.times, s.values, first_only, include_tokens);
}
MatchBuffer full(const Pattern& p, const S& s, bool first_only, bool include_tokens) {
  const Engine e = make_engine(p).value();
  MatchBuffer b(e.n_elements, include_tokens, 16);
  match_full(e, s.tokens, s.times, s.values, first_only, b);
  return b;
}

bool same_buffers(const MatchBuffer& a, const MatchBuffer& b) {
  return a.m_start == b.m_start && a.m_end == b.m_end && a.t_start == b.t_start &&
         a.t_end == b.t_end && a.el_stream_idx == b.el_stream_idx && a.el_times == b.el_times &&
         a.el_tokens == b.el_tokens && a.el_token_counts == b.el_token_counts &&
         a.result_scalars == b.result_scalars && a.result_lists == b.result_lists &&
         a.mid_scalars == b.mid_scalars && a.mid_lists == b.mid_lists &&
         a.n_elements == b.n_elements && a.include_tokens == b.include_tokens;
}

}  // namespace

TEST(matcher_trivial_inputs) {
  const MatchBuffer empty_stream = run(pattern({ev(A), ev(B)}), seq({}));
  CHECK_EQ(empty_stream.n_matches(), size_t{0});
  CHECK_EQ(empty_stream.n_elements, size_t{2});
  CHECK(empty_stream.el_stream_idx.empty());
  const MatchBuffer no_elements = run(Pattern{}, seq({A, B}), false, true);
  CHECK_EQ(no_elements.n_matches(), size_t{0});
  CHECK_EQ(no_elements.n_elements, size_t{0});
  CHECK(no_elements.include_tokens);
  // The same with a pattern the general search would take.
  Pattern unordered;
  unordered.ordered = false;
  CHECK_EQ(run(unordered, seq({A})).n_matches(), size_t{0});
}

TEST(matcher_buffer_sizing) {
  // 10 tokens, 2 elements: q = 5 is below 17, so room for 16 matches.
  const MatchBuffer b = run(pattern({ev(X), ev(X)}), seq({A, B, A, B, A, B, A, B, A, B}));
  CHECK_EQ(b.m_start.capacity(), size_t{16});
  CHECK_EQ(b.t_end.capacity(), size_t{16});
  CHECK_EQ(b.el_stream_idx.capacity(), size_t{32});
  CHECK_EQ(b.el_times.capacity(), size_t{32});
  CHECK_EQ(b.el_tokens.capacity(), size_t{0});
  CHECK_EQ(b.el_token_counts.capacity(), size_t{0});
  CHECK_EQ(b.result_scalars.capacity(), size_t{0});
  CHECK_EQ(b.mid_lists.capacity(), size_t{0});
  std::vector<TokenId> many(1000, A);
  const MatchBuffer c = run(pattern({ev(X), ev(X), ev(X)}), seq(many), false, true);
  CHECK_EQ(c.m_start.capacity(), size_t{333});
  CHECK_EQ(c.el_tokens.capacity(), size_t{999});
  CHECK_EQ(c.el_token_counts.capacity(), size_t{999});
}

TEST(matcher_fast_path_eligibility) {
  CHECK(uses_fast_path(pattern({ev(A), ev(B)})));
  CHECK(uses_fast_path(Pattern{}));
  Event not_backtrackable = ev(A);
  not_backtrackable.backtrackable = false;
  CHECK(uses_fast_path(pattern({not_backtrackable})));
  Pattern collecting = pattern({ev(A)});
  collecting.collector = CollectorStrategy::CollectPairs;
  CHECK(uses_fast_path(collecting));

  Event min_val = ev(A);
  min_val.vc = ValueConstraint::range(1.0, INF);
  CHECK(!uses_fast_path(pattern({ev(B), min_val})));
  Event block = ev(A);
  block.block_token = X;
  CHECK(!uses_fast_path(pattern({block})));
  Event block_vc_only = ev(A);  // no block token, but the rule asks for Any
  block_vc_only.block_vc = ValueConstraint::range(1.0, 2.0);
  CHECK(!uses_fast_path(pattern({block_vc_only})));
  Event bounded = ev(A);
  bounded.bounds.max_dt = 100.0;
  CHECK(!uses_fast_path(pattern({bounded})));
  bounded = ev(A);
  bounded.bounds.min_at = 0.0;
  CHECK(!uses_fast_path(pattern({bounded})));
  EventSet set;
  set.match_tokens = {A};
  CHECK(!uses_fast_path(pattern({ev(A), set})));
  CHECK(!uses_fast_path(pattern({TimeEvent{}})));
  Pattern unordered = pattern({ev(A), ev(B)});
  unordered.ordered = false;
  CHECK(!uses_fast_path(unordered));
  Pattern mid = pattern({ev(A)});
  mid.midstream = MidstreamCollector{};
  CHECK(!uses_fast_path(mid));
  Pattern bounds = pattern({ev(A)});
  bounds.max_dt = 5.0;
  CHECK(!uses_fast_path(bounds));
  bounds = pattern({ev(A)});
  bounds.min_dt = 1.0;
  CHECK(!uses_fast_path(bounds));
  bounds = pattern({ev(A)});
  bounds.max_at = 9.0;
  CHECK(!uses_fast_path(bounds));
}

TEST(matcher_fast_path_order) {
  const Pattern p = pattern({ev(A), ev(B)});
  CHECK_EQ(rows(run(p, seq({A, A, B}))), (Rows{{0, 2}, {1, 2}}));
  CHECK_EQ(rows(run(p, seq({A, A, B, B}))), (Rows{{0, 2}, {0, 3}, {1, 2}, {1, 3}}));
  Event a = ev(A);
  a.backtrackable = false;
  CHECK_EQ(rows(run(pattern({a, ev(B)}), seq({A, A, B}))), (Rows{{0, 2}}));
  Event b = ev(B);
  b.backtrackable = false;
  CHECK_EQ(rows(run(pattern({ev(A), b}), seq({A, B, A, B}))), (Rows{{0, 1}, {2, 3}}));
  // Elements sharing a token share its positions; each needs a later one.
  CHECK_EQ(rows(run(pattern({ev(A), ev(A)}), seq({A, A, A}))), (Rows{{0, 1}, {0, 2}, {1, 2}}));
  CHECK_EQ(rows(run(pattern({ev(A), ev(C)}), seq({A, B, A}))), Rows{});
}

TEST(matcher_fast_path_columns) {
  Pattern p = pattern({ev(A), ev(B)});
  p.collector = CollectorStrategy::CollectPairs;
  const MatchBuffer b = run(p, S{{X, A, B}, {0.0, 1.5, 2.5}, {}}, false, true);
  CHECK_EQ(b.m_start, std::vector<int64_t>{1});
  CHECK_EQ(b.m_end, std::vector<int64_t>{2});
  CHECK_EQ(b.t_start, std::vector<double>{1.5});
  CHECK_EQ(b.t_end, std::vector<double>{2.5});
  CHECK_EQ(b.el_times, (std::vector<double>{1.5, 2.5}));
  CHECK_EQ(b.el_tokens, (std::vector<TokenId>{A, B}));
  CHECK_EQ(b.el_token_counts, (std::vector<uint32_t>{1, 1}));
  CHECK_EQ(b.result_lists, (std::vector<Pairs>{{{A, 1.5}, {B, 2.5}}}));
  CHECK(b.mid_scalars.empty() && b.mid_lists.empty());
}

TEST(matcher_fast_path_decreasing_times) {
  // The fast path tests no times: a at 5 then b at 1 is a match, with
  // t_start 5 and t_end 1.
  const S s{{A, B}, {5.0, 1.0}, {}};
  const MatchBuffer fast = run(pattern({ev(A), ev(B)}), s);
  CHECK_EQ(rows(fast), (Rows{{0, 1}}));
  CHECK_EQ(fast.t_start, std::vector<double>{5.0});
  CHECK_EQ(fast.t_end, std::vector<double>{1.0});
  // An element bound sends the pattern to the general search, where dt = -4
  // fails min_dt 0.
  Event bounded = ev(B);
  bounded.bounds.max_dt = 100.0;
  CHECK_EQ(run(pattern({ev(A), bounded}), s).n_matches(), size_t{0});
  // NaN times are read, not trusted: the fast path still reports the match.
  CHECK_EQ(rows(run(pattern({ev(A), ev(B)}), S{{A, B}, {NaN, NaN}, {}})), (Rows{{0, 1}}));
}

TEST(matcher_first_only) {
  const Pattern p = pattern({ev(A), ev(B), ev(C)});
  const MatchBuffer b = run(p, seq({B, A, A, C, B, A, C, C}), true);
  CHECK_EQ(rows(b), (Rows{{1, 4, 6}}));
  CHECK_EQ(b.m_start.size(), size_t{1});
  CHECK_EQ(run(p, seq({A, C, B}), true).n_matches(), size_t{0});
  Pattern general = p;
  general.max_dt = 100.0;
  CHECK_EQ(rows(run(general, seq({B, A, A, C, B, A, C, C}), true)), (Rows{{1, 4, 6}}));
}

TEST(matcher_include_tokens_general_path) {
  EventSeq q;
  q.match_trie.insert_with_vals(std::vector<TokenId>{A, B, C}, {});
  Pattern p = pattern({ev(X), q});
  const MatchBuffer b = run(p, S{{X, A, B, C}, {0, 1, 1, 1}, {}}, false, true);
  CHECK_EQ(b.el_token_counts, (std::vector<uint32_t>{1, 3}));
  CHECK_EQ(b.el_tokens, (std::vector<TokenId>{X, A, B, C}));
  CHECK_EQ(b.m_end, std::vector<int64_t>{3});
  CHECK(run(p, S{{X, A, B, C}, {0, 1, 1, 1}, {}}).el_tokens.empty());
}

TEST(matcher_fast_path_equals_search_on_settled_times) {
  std::mt19937 rng(11);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const TokenId alphabet[] = {A, B, C};
  size_t with_matches = 0;
  for (int round = 0; round < 4000; ++round) {
    Pattern p;
    for (int j = 1 + pick(4); j > 0; --j) {
      Event e = ev(alphabet[pick(3)]);
      e.backtrackable = pick(4) != 0;
      p.elements.push_back(e);
    }
    p.collector = static_cast<CollectorStrategy>(pick(6));
    S s;
    double t = pick(3) - 1.0;
    for (int i = pick(14); i > 0; --i) {
      t += pick(3) * 0.5;  // repeated times are common
      s.tokens.push_back(alphabet[pick(3)]);
      s.times.push_back(t);
      if (round % 2) s.values.push_back(pick(2) ? NaN : 1.0);
    }
    CHECK(uses_fast_path(p));
    for (bool first_only : {false, true}) {
      for (bool include_tokens : {false, true}) {
        const MatchBuffer fast = run(p, s, first_only, include_tokens);
        const MatchBuffer general = full(p, s, first_only, include_tokens);
        with_matches += fast.n_matches() > 0;
        // The fast path reserves exactly its match count when the initial
        // room is too small, so a miscount shows as a different capacity.
        if (!first_only) {
          const size_t initial = initial_match_capacity(s.tokens.size(), p.elements.size());
          CHECK_EQ(fast.m_start.capacity(), std::max(initial, fast.n_matches()));
        }
        if (!same_buffers(fast, general)) {
          CHECK(same_buffers(fast, general));
          std::printf("  round %d: %zu vs %zu matches\n", round, fast.n_matches(), general.n_matches());
          return;
        }
      }
    }
  }
  CHECK(with_matches > 4000);
}

TEST(matcher_chain_walk_equals_search) {
  // Ordered patterns of events with every option the walk handles, on
  // streams whose times may step back or be NaN or infinite.
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto one_of = [&](std::initializer_list<double> v) { return *(v.begin() + pick(static_cast<int>(v.size()))); };
  auto constraint = [&] {
    switch (pick(6)) {
      case 0: return ValueConstraint::range(one_of({-INF, 0.0, 1.0}), one_of({1.0, 2.0, INF}));
      case 1: return ValueConstraint::require_nan();
      default: return ValueConstraint::any();
    }
  };
  const TokenId alphabet[] = {A, B, C};
  size_t walked = 0, with_matches = 0;  // rounds on the walk, and those with a match
  for (int round = 0; round < 6000; ++round) {
    Pattern p;
    for (int j = 1 + pick(3); j > 0; --j) {
      Event e = ev(alphabet[pick(3)]);
      if (pick(3) == 0) e.bounds = {one_of({0.0, 0.0, -1.0, 1.0, NaN}), one_of({INF, 0.0, 1.0, 2.0, 4.0, NaN}),
                               one_of({-INF, 0.0, 2.0}), one_of({INF, INF, 3.0, 6.0, NaN})};
      e.vc = constraint();
      if (pick(4) == 0) {
        e.block_token = alphabet[pick(3)];
        e.block_vc = constraint();
      }
      e.backtrackable = pick(4) != 0;
      p.elements.push_back(e);
    }
    if (pick(4) == 0) {
      p.min_dt = one_of({0.0, 1.0, -1.0});
      p.max_dt = one_of({INF, 2.0, 4.0, NaN});
      p.min_at = one_of({-INF, 1.0});
      p.max_at = one_of({INF, 5.0, NaN});
    }
    p.collector = static_cast<CollectorStrategy>(pick(6));
    CHECK_EQ(uses_chain_walk(p), !uses_fast_path(p));
    if (!uses_chain_walk(p)) continue;
    ++walked;
    S s;
    double t = pick(3) - 1.0;
    for (int i = pick(16); i > 0; --i) {
      t += round % 3 ? pick(3) * 0.5 : pick(5) - 2.0;  // one stream in three steps back
      s.tokens.push_back(alphabet[pick(3)]);
      s.times.push_back(round % 5 == 0 && pick(6) == 0 ? one_of({NaN, INF, -INF}) : t);
      if (round % 2) s.values.push_back(one_of({NaN, 0.0, 1.0, 2.0}));
    }
    for (bool first_only : {false, true}) {
      for (bool include_tokens : {false, true}) {
        const MatchBuffer walk = run(p, s, first_only, include_tokens);
        with_matches += first_only && include_tokens && walk.n_matches() > 0;
        if (!same_buffers(walk, full(p, s, first_only, include_tokens))) {
          CHECK(same_buffers(walk, full(p, s, first_only, include_tokens)));
          std::printf("  round %d, first_only %d\n", round, first_only);
          return;
        }
      }
    }
  }
  CHECK(walked > 4000 && with_matches > 500);
}

TEST(matcher_chain_walk_hands_dead_ends_to_the_search) {
  // a then b then c, where only the first three tokens hold a c: every later
  // (a, b) pair scans to the end for one, some n^2 / 8 positions, far beyond
  // the walk's allowance, so the stream goes to the general search; the match
  // found before giving up is not reported twice.
  Event b = ev(B);
  b.bounds.max_dt = 1e9;  // off the fast path
  const Pattern p = pattern({ev(A), b, ev(C)});
  CHECK(uses_chain_walk(p));
  std::vector<TokenId> tokens{A, B, C};
  for (int i = 0; i < 1000; ++i) tokens.insert(tokens.end(), {A, B, X, X});
  const S s = seq(tokens);
  for (bool first_only : {false, true}) {
    const MatchBuffer got = run(p, s, first_only, true);
    CHECK(same_buffers(got, full(p, s, first_only, true)));
    CHECK_EQ(rows(got), (Rows{{0, 1, 2}}));
  }
  StreamMatcher matcher(make_engine(p).value());
  FirstMatch first;
  CHECK(matcher.first_match(s.tokens, s.times, s.values, first));
  CHECK(first.m_start == 0 && first.m_end == 2);
  const std::span<const TokenId> dead = std::span(s.tokens).subspan(3);
  CHECK(!matcher.first_match(dead, std::span(s.times).subspan(3), {}, first));
}

TEST(matcher_fast_path_reserves_its_match_count) {
  // 300 a then 300 b: 90,000 pairs, far beyond the initial room for 300.
  std::vector<TokenId> tokens(300, A);
  tokens.resize(600, B);
  Pattern p = pattern({ev(A), ev(B)});
  p.collector = CollectorStrategy::SumTimes;
  const MatchBuffer b = run(p, seq(tokens), false, true);
  CHECK_EQ(b.n_matches(), size_t{90000});
  CHECK_EQ(b.m_start.capacity(), size_t{90000});
  CHECK_EQ(b.el_times.capacity(), size_t{180000});
  CHECK_EQ(b.el_tokens.capacity(), size_t{180000});
  CHECK_EQ(b.result_scalars.capacity(), size_t{90000});
  CHECK_EQ(b.result_scalars[1], 0.0 + 0.0 + 301.0);
  // A non-backtrackable second element: one b per a.
  Event b1 = ev(B);
  b1.backtrackable = false;
  CHECK_EQ(run(pattern({ev(A), b1}), seq(tokens)).n_matches(), size_t{300});
}

TEST(matcher_reuse_across_streams) {
  // One matcher and one buffer over several documents, as batch matching
  // does: each result equals a fresh call and the storage stays.
  Pattern fast = pattern({ev(A), ev(B)});
  Pattern general = pattern({ev(A), ev(B)});
  general.max_dt = 10.0;
  general.collector = CollectorStrategy::CollectTokens;
  for (const Pattern* p : {&fast, &general}) {
    const Engine e = make_engine(*p).value();
    StreamMatcher matcher(e);
    MatchBuffer buffer;
    const S docs[] = {seq({A, A, B, B, A, B}), seq({}), seq({B, A}), seq({A, X, B})};
    matcher.match(docs[0].tokens, docs[0].times, docs[0].values, false, true, buffer);
    CHECK(same_buffers(buffer, run(*p, docs[0], false, true)));
    const size_t capacity = buffer.el_stream_idx.capacity();
    for (const S& d : docs) {
      for (bool first_only : {true, false}) {
        matcher.match(d.tokens, d.times, d.values, first_only, false, buffer);
        CHECK(same_buffers(buffer, run(*p, d, first_only, false)));
        CHECK(buffer.el_stream_idx.capacity() >= capacity);
      }
    }
  }
}

TEST(matcher_rejects_mismatched_stream) {
  const Pattern p = pattern({ev(A)});
  const Engine e = make_engine(p).value();
  const std::vector<TokenId> tokens{A, A};
  const std::vector<double> one{0.0};
  const std::vector<double> two{0.0, 1.0};
  CHECK_THROWS(match_stream(e, tokens, one, {}, false, false), Internal);
  CHECK_THROWS(match_stream(e, tokens, two, one, false, false), Internal);
  CHECK_EQ(match_stream(e, tokens, two, two, false, false).n_matches(), size_t{2});
}

TEST(matcher_stream_overload) {
  Stream s;
  s.tokens = {A, B};
  s.times = {0.0, 1.0};
  s.values = {5.0, 0.0};
  s.has_values = true;
  Event a = ev(A);
  a.vc = ValueConstraint::range(4.0, 6.0);
  const Pattern p = pattern({a, ev(B)});
  CHECK_EQ(rows(match_stream(make_engine(p).value(), s, false, false)), (Rows{{0, 1}}));
  s.has_values = false;  // values present but not in use: every value is NaN
  CHECK_EQ(match_stream(make_engine(p).value(), s, false, false).n_matches(), size_t{0});
}

TEST(matcher_batch_documents) {
  // Documents: [A B], empty, inverted, [X X] (no a, no b), negative,
  // past the end, [A X B] with a value; positions are document-relative.
  Pattern p = pattern({ev(A), ev(B)});
  Pattern mid = p;
  mid.midstream = midstream({{X}}, CollectorStrategy::Count, 0b01, 0b10);  // x between a and b
  const S s = timed({A, B, X, X, A, X, B}, {0, 1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 0, 0});
  const std::vector<int64_t> offsets{0, 2, 2, 1, 4, -1, 99, 4, 7};
  for (const Pattern* q : {&p, &mid}) {
    const MatchProgram program(make_engine(*q).value());
    const BatchResult r = match_batch(program, s.tokens, s.times, s.values, offsets);
    CHECK_EQ(r.m_start, (std::vector<int64_t>{0, -1, -1, -1, -1, -1, -1, 0}));
    CHECK_EQ(r.m_end, (std::vector<int64_t>{1, -1, -1, -1, -1, -1, -1, 2}));
    CHECK_EQ(r.mid.size(), q == &mid ? size_t{8} : size_t{0});
    if (q == &mid) {
      CHECK_EQ(r.mid[0], 0.0);
      CHECK_EQ(r.mid[7], 1.0);
      CHECK(std::isnan(r.mid[1]));
    }
    CHECK(program.may_match_in(std::vector<TokenId>{X, A, X, B}));
    CHECK(!program.may_match_in(std::vector<TokenId>{B, X, A}));
  }
  // No documents at all: one offset, or none.
  const MatchProgram program(make_engine(p).value());
  CHECK_EQ(match_batch(program, s.tokens, s.times, {}, std::vector<int64_t>{0}).m_start.size(), size_t{0});
  CHECK_EQ(match_batch(program, s.tokens, s.times, {}, {}).m_start.size(), size_t{0});
}
