// The trie's node storage (a small insertion-ordered map per node), its
// non-recursive copy, destruction and comparison, and the occurrence walk.
// Sequences arrive here as ids; only build_seq_trie touches the interner.
#include "types/trie.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

namespace zuldcore {

// ---------------------------------------------------------------- storage

const Trie::Branch* Trie::find(TokenId token) const noexcept {
  if (index_.empty()) {
    for (const Branch& b : branches_)
      if (b.token == token) return &b;
    return nullptr;
  }
  const uint32_t b = index_.find(token, [this](uint32_t i) { return branches_[i].token; });
  return b == TokenHashIndex::MISSING ? nullptr : &branches_[b];
}

std::vector<TrieEdge>& Trie::edges_for_insert(TokenId token) {
  if (const Branch* b = find(token)) return const_cast<Branch*>(b)->edges;
  const size_t n = branches_.size() + 1;
  ZC_ENSURE(n < std::numeric_limits<uint32_t>::max(), "trie node with ", n, " branches");
  // Everything that can throw happens before branches_ or index_ change: a
  // larger index is built aside over the branches as they will be (the new
  // one last), and swapped in once the push succeeded.
  TokenHashIndex grown;
  if (n > LINEAR_MAX && n > index_.room())
    grown = TokenHashIndex::over(n, n, [&](size_t e) { return e + 1 < n ? branches_[e].token : token; });
  branches_.push_back(Branch{token, {}});
  if (!grown.empty())
    index_ = std::move(grown);
  else if (!index_.empty())
    index_.add(token, static_cast<uint32_t>(n - 1));
  return branches_.back().edges;
}

void Trie::insert_with_vals(std::span<const TokenId> tokens,
                            std::span<const ValueConstraint> constraints) {
  Trie* node = this;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const ValueConstraint c = i < constraints.size() ? constraints[i] : ValueConstraint::any();
    std::vector<TrieEdge>& edges = node->edges_for_insert(tokens[i]);
    auto same = std::find_if(edges.begin(), edges.end(),
                             [&](const TrieEdge& e) { return e.constraint == c; });
    if (same == edges.end()) {
      edges.push_back(TrieEdge{c, Trie{}});
      node = &edges.back().child;
    } else {
      node = &same->child;
    }
  }
  node->terminal_ = true;
}

size_t Trie::edge_count() const {
  size_t count = 0;
  std::vector<const Trie*> todo{this};
  while (!todo.empty()) {
    const Trie* node = todo.back();
    todo.pop_back();
    for (const Branch& b : node->branches_) {
      count += b.edges.size();
      for (const TrieEdge& e : b.edges) todo.push_back(&e.child);
    }
  }
  return count;
}

// ------------------------------------------ copy, move, destroy, compare
//
// A stored sequence of n tokens is a chain of n nodes. The compiler's member-
// wise versions of these operations recurse once per node and overflow the
// stack on long sequences, so each one walks the tree with an explicit list.

Trie::Trie(const Trie& other) {
  // Each destination array is reserved to its final size before it is
  // filled, so the node pointers kept in `todo` stay valid.
  std::vector<std::pair<Trie*, const Trie*>> todo{{this, &other}};
  while (!todo.empty()) {
    auto [dst, src] = todo.back();
    todo.pop_back();
    dst->terminal_ = src->terminal_;
    dst->index_ = src->index_;
    dst->branches_.reserve(src->branches_.size());
    for (const Branch& sb : src->branches_) {
      Branch& db = dst->branches_.emplace_back(Branch{sb.token, {}});
      db.edges.reserve(sb.edges.size());
      for (const TrieEdge& se : sb.edges) {
        TrieEdge& de = db.edges.emplace_back(TrieEdge{se.constraint, Trie{}});
        todo.emplace_back(&de.child, &se.child);
      }
    }
  }
}

Trie& Trie::operator=(const Trie& other) {
  if (this != &other) *this = Trie(other);
  return *this;
}

Trie& Trie::operator=(Trie&& other) noexcept {
  if (this != &other) {
    Trie old(std::move(*this));  // its destructor releases our former nodes without recursion
    branches_ = std::move(other.branches_);
    index_ = std::move(other.index_);
    terminal_ = std::exchange(other.terminal_, false);
    other.branches_.clear();
    other.index_ = TokenHashIndex{};
  }
  return *this;
}

Trie::~Trie() {
  if (!branches_.empty()) release_descendants();
}

// Detaches every grandchild array before its parent array is destroyed, so
// each node dies with no children left and no destructor recurses. Out of
// memory for the work list, the rest is destroyed recursively, which fails
// only for sequences far longer than any in practice.
void Trie::release_descendants() noexcept {
  bool deep = false;
  for (const Branch& b : branches_)
    for (const TrieEdge& e : b.edges) deep = deep || !e.child.branches_.empty();
  if (!deep) return;  // one level: the members' own destructors do not recurse further
  try {
    std::vector<std::vector<Branch>> todo;
    todo.push_back(std::move(branches_));
    while (!todo.empty()) {
      std::vector<Branch> level = std::move(todo.back());
      todo.pop_back();
      for (Branch& b : level)
        for (TrieEdge& e : b.edges)
          if (!e.child.branches_.empty()) todo.push_back(std::move(e.child.branches_));
    }
  } catch (...) {
  }
}

bool operator==(const Trie& a, const Trie& b) {
  std::vector<std::pair<const Trie*, const Trie*>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x->terminal_ != y->terminal_ || x->branches_.size() != y->branches_.size()) return false;
    for (const Trie::Branch& bx : x->branches_) {
      const Trie::Branch* by = y->find(bx.token);
      if (by == nullptr || by->edges.size() != bx.edges.size()) return false;
      for (size_t i = 0; i < bx.edges.size(); ++i) {
        if (!(bx.edges[i].constraint == by->edges[i].constraint)) return false;
        todo.emplace_back(&bx.edges[i].child, &by->edges[i].child);
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------- building

Trie build_seq_trie(const std::vector<std::vector<std::string>>& sequences) {
  Trie trie;
  std::vector<TokenId> ids;
  for (const std::vector<std::string>& seq : sequences) {
    ids.clear();
    for (const std::string& s : seq) ids.push_back(intern(s));
    trie.insert_with_vals(ids, {});
  }
  return trie;
}

// ---------------------------------------------------------------- matching

namespace {

struct Walk {
  std::span<const TokenId> tokens;
  std::span<const double> times;
  std::span<const double> values;
  size_t n;      // positions readable in every array
  double t;      // the occurrence's timestamp
  size_t start;  // the occurrence's first position

  std::optional<size_t> from(const Trie* node, size_t pos) const noexcept;
};

// The definition of a match is recursive (try an edge's subtree; on failure
// try the next passing edge), but most levels offer no alternative, so this
// loops down the trie and recurses only at a real choice: a passing edge into
// a non-terminal node followed by another passing edge. Recursion depth is
// therefore bounded by the number of such choices, not by sequence length.
//
// `floor` is the length of the deepest stored sequence passed on this loop.
// Once the walk takes an edge into a terminal node no other edge above or at
// that level is ever tried again, so any later failure answers `floor`.
// Example (tests/cpp/test_trie.cpp, trie_first_edge_wins): edges under a are
// [Range[0,1] -> b, Any -> b -> c]; stream a(0.5) b c: the Range edge is a
// choice, its subtree ends at b (terminal) and answers 2, so the Any edge and
// its longer occurrence are never consulted.
std::optional<size_t> Walk::from(const Trie* node, size_t pos) const noexcept {
  std::optional<size_t> floor;
  for (;;) {
    if (pos >= n || !(times[pos] == t)) return floor;
    const std::span<const TrieEdge> edges = node->edges(tokens[pos]);
    const double v = pos < values.size() ? values[pos] : std::numeric_limits<double>::quiet_NaN();
    const TrieEdge* next = nullptr;
    for (size_t i = 0; i < edges.size(); ++i) {
      const TrieEdge& e = edges[i];
      if (!e.constraint.passes(v)) continue;
      if (e.child.terminal()) {
        floor = pos + 1 - start;
        next = &e;
        break;
      }
      const bool later = std::any_of(edges.begin() + static_cast<std::ptrdiff_t>(i) + 1, edges.end(),
                                     [&](const TrieEdge& f) { return f.constraint.passes(v); });
      if (!later) {
        next = &e;  // the last alternative: a failure below is this level's failure
        break;
      }
      if (std::optional<size_t> found = from(&e.child, pos + 1)) return found;
    }
    if (next == nullptr) return floor;
    node = &next->child;
    ++pos;
  }
}

}  // namespace

std::optional<size_t> match_at_inner(const Trie& trie, std::span<const TokenId> tokens,
                                     std::span<const double> times, std::span<const double> values,
                                     double t, size_t start, size_t pos) {
  assert(start <= pos);
  const Walk walk{tokens, times, values, std::min(tokens.size(), times.size()), t, start};
  return walk.from(&trie, pos);
}

}  // namespace zuldcore
