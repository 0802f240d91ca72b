// stored_sequences: re-inserting what it reads back rebuilds an equal trie
// (branch and edge order, constraints, terminal flags), for random tries and
// for one very long sequence.
#include <random>
#include <vector>

#include "check.hpp"
#include "types/trie_sequences.hpp"

using zuldcore::INF;
using zuldcore::StoredSequence;
using zuldcore::Trie;
using zuldcore::TokenId;
using zuldcore::ValueConstraint;

namespace {

Trie rebuilt(const std::vector<StoredSequence>& seqs) {
  Trie t;
  for (const StoredSequence& q : seqs) t.insert_with_vals(q.tokens, q.constraints);
  return t;
}

}  // namespace

TEST(trie_sequences_rebuild_random_tries) {
  // Few tokens and constraints, so that prefixes, repeats, one token under
  // several constraints and prefixes of stored sequences are common.
  const ValueConstraint constraints[] = {ValueConstraint::any(), ValueConstraint::range(0.0, 1.0),
                                         ValueConstraint::range(-INF, INF), ValueConstraint::require_nan()};
  std::mt19937_64 rng(11);
  for (int round = 0; round < 2000; ++round) {
    Trie t;
    std::vector<std::vector<TokenId>> inserted;
    for (size_t n = rng() % 7; n > 0; --n) {
      std::vector<TokenId> tokens(rng() % 5);
      std::vector<ValueConstraint> vcs(rng() % 6);  // shorter or longer than the tokens
      for (TokenId& k : tokens) k = static_cast<TokenId>(rng() % 3);
      for (ValueConstraint& c : vcs) c = constraints[rng() % 4];
      t.insert_with_vals(tokens, vcs);
      inserted.push_back(tokens);
    }
    const std::vector<StoredSequence> seqs = zuldcore::stored_sequences(t);
    CHECK(rebuilt(seqs) == t);
    for (const StoredSequence& q : seqs) CHECK_EQ(q.tokens.size(), q.constraints.size());
    CHECK(seqs.size() <= inserted.size());
  }
}

TEST(trie_sequences_long_sequence_and_its_prefix) {
  std::vector<TokenId> tokens(200'000);
  for (size_t i = 0; i < tokens.size(); ++i) tokens[i] = static_cast<TokenId>(i % 3);
  Trie t;
  t.insert_with_vals(tokens, {});
  t.insert_with_vals(std::vector<TokenId>(tokens.begin(), tokens.begin() + 5), {});
  const std::vector<StoredSequence> seqs = zuldcore::stored_sequences(t);
  CHECK_EQ(seqs.size(), size_t{2});
  CHECK_EQ(seqs[0].tokens.size(), size_t{5});  // the prefix ends first on the way down
  CHECK(seqs[1].tokens == tokens);
  CHECK(rebuilt(seqs) == t);
}
