// Trie: a set of same-timestamp token sequences whose edges carry value
// constraints, and the one query asked of it: which stored sequence occurs at
// a stream position, and how long is it. Nodes are owned by value, so a copy
// is deep. It knows nothing of patterns or of how its sequences were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "intern/interner.hpp"
#include "intern/token_hash_index.hpp"
#include "types/value_constraint.hpp"

namespace zuldcore {

struct TrieEdge;

// One node; the root is a Trie too. The default value is empty: no edges,
// not terminal.
//
// Copying, destroying and comparing never recurse, so a sequence of any
// length (one node per token) cannot exhaust the call stack.
class Trie {
 public:
  Trie() noexcept = default;
  Trie(const Trie& other);
  Trie(Trie&& other) noexcept = default;
  Trie& operator=(const Trie& other);
  Trie& operator=(Trie&& other) noexcept;
  ~Trie();

  // A stored sequence ends at this node.
  bool terminal() const noexcept { return terminal_; }
  // No edges leave this node.
  bool leaf() const noexcept { return branches_.empty(); }
  // The edges that consume `token`, in the order they were created; empty
  // when there are none.
  std::span<const TrieEdge> edges(TokenId token) const noexcept;
  // Number of edges in the whole trie.
  size_t edge_count() const;
  // The tokens of the edges that leave this node, in order of creation: the
  // first tokens of every stored sequence when asked of the root.
  std::vector<TokenId> first_tokens() const {
    std::vector<TokenId> out;
    out.reserve(branches_.size());
    for (const Branch& b : branches_) out.push_back(b.token);
    return out;
  }

  // Adds one sequence. Position i is constrained by constraints[i], or Any
  // when `constraints` is shorter; entries past the end of `tokens` are
  // ignored. Walks the longest prefix of existing edges whose (token,
  // constraint) pairs are equal and appends new edges for the rest, so
  // inserting the same sequence twice adds nothing. An empty sequence marks
  // this node terminal; it can never be matched.
  void insert_with_vals(std::span<const TokenId> tokens,
                        std::span<const ValueConstraint> constraints);

  // Same edges under the same tokens in the same order, same terminal flags.
  friend bool operator==(const Trie& a, const Trie& b);

 private:
  // All the edges under one token. A Branch never has an empty edge array.
  struct Branch {
    TokenId token;
    std::vector<TrieEdge> edges;
  };
  // Up to this many branches a node is scanned linearly; beyond, index_ is
  // kept. Most nodes have one or two branches.
  static constexpr size_t LINEAR_MAX = 8;

  const Branch* find(TokenId token) const noexcept;
  std::vector<TrieEdge>& edges_for_insert(TokenId token);
  void release_descendants() noexcept;

  std::vector<Branch> branches_;  // in order of each token's first insertion
  TokenHashIndex index_;          // over branches_; empty while there are at most LINEAR_MAX
  bool terminal_ = false;
};

struct TrieEdge {
  ValueConstraint constraint;  // what the consumed token's value must satisfy
  Trie child;                  // the node this edge leads to

  friend bool operator==(const TrieEdge& a, const TrieEdge& b) {
    return a.constraint == b.constraint && a.child == b.child;
  }
};

inline std::span<const TrieEdge> Trie::edges(TokenId token) const noexcept {
  const Branch* b = find(token);
  if (b == nullptr) return {};
  return b->edges;
}

// Interns every string (new strings get new ids) and inserts each list as one
// sequence without value constraints. Callers reject empty lists beforehand.
Trie build_seq_trie(const std::vector<std::vector<std::string>>& sequences);

// The length of the stored sequence that occurs at `start`, walking from
// `trie` at stream position `pos`; every token of the occurrence must carry
// time exactly `t` (so a NaN time never matches). Callers start with
// t = times[start] and pos = start; a result L >= 1 means positions
// start .. start + L - 1. `values` is empty for a stream without values (every
// value then reads as NaN); otherwise it is as long as `tokens`.
//
// Tie-breaks: the walk is greedy (a longer stored sequence wins over its
// prefix when the stream continues it); under one token the first edge whose
// constraint passes is explored first, and the first edge that leads to any
// occurrence decides; an edge into a terminal node ends the choice at that
// level. Positions are contiguous. Never allocates. Requires start <= pos.
std::optional<size_t> match_at_inner(const Trie& trie, std::span<const TokenId> tokens,
                                     std::span<const double> times, std::span<const double> values,
                                     double t, size_t start, size_t pos);

// match_at_inner from the beginning: t = times[start], pos = start. No match
// when `start` is past the end of the stream.
inline std::optional<size_t> match_at(const Trie& trie, std::span<const TokenId> tokens,
                                      std::span<const double> times,
                                      std::span<const double> values, size_t start) {
  if (start >= tokens.size() || start >= times.size()) return std::nullopt;
  return match_at_inner(trie, tokens, times, values, times[start], start, start);
}

}  // namespace zuldcore
