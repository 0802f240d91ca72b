// The sequences a trie stores, read back with their constraints in the order
// that rebuilds the trie exactly: how a trie is written out as the builders'
// arguments when a pattern or a reference is pickled.
#pragma once

#include <vector>

#include "types/trie.hpp"

namespace zuldcore {

struct StoredSequence {
  std::vector<TokenId> tokens;
  std::vector<ValueConstraint> constraints;  // one per token
};

// Every sequence stored in `trie`. Inserting them, in this order and each
// with its constraints, into an empty trie gives a trie equal to `trie`
// (tests/cpp/test_trie_sequences.cpp). An empty stored sequence (a terminal
// root) comes first. Never recurses, whatever the sequences' length.
std::vector<StoredSequence> stored_sequences(const Trie& trie);

}  // namespace zuldcore
