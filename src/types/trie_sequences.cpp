// Reading a trie's sequences back: a depth-first walk with an explicit stack.
#include "types/trie_sequences.hpp"

#include <span>

namespace zuldcore {

// Depth first, branches and edges in the order they were created, a node's
// own sequence before those that continue it. Re-inserted in this order,
// the first sequence through any edge comes before the first through each
// later edge of the same node, so every node gets its branches, and every
// branch its edges, in the original order.
std::vector<StoredSequence> stored_sequences(const Trie& trie) {
  struct Frame {
    const Trie* node;
    std::vector<TokenId> branches;  // the node's first tokens, in creation order
    size_t branch = 0;
    size_t edge = 0;
  };
  std::vector<StoredSequence> out;
  StoredSequence path;
  std::vector<Frame> stack;
  auto enter = [&](const Trie& node) {
    if (node.terminal()) out.push_back(path);
    stack.push_back(Frame{&node, node.first_tokens()});
  };
  enter(trie);
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.branch == f.branches.size()) {
      stack.pop_back();
      if (!stack.empty()) {  // every frame but the root's stands for one token of the path
        path.tokens.pop_back();
        path.constraints.pop_back();
      }
      continue;
    }
    const TokenId token = f.branches[f.branch];
    const std::span<const TrieEdge> edges = f.node->edges(token);
    if (f.edge == edges.size()) {
      ++f.branch;
      f.edge = 0;
      continue;
    }
    const TrieEdge& e = edges[f.edge++];
    path.tokens.push_back(token);
    path.constraints.push_back(e.constraint);
    enter(e.child);  // last: it may move the frame `f` refers to
  }
  return out;
}

}  // namespace zuldcore
