// The points of a token reference on an interned stream: every occurrence,
// sorted by start position, one per start (the shortest). Computing them
// takes two steps: resolving the reference once (ResolvedRef: its strings
// interned, a set's ids in a lookup table, a pattern compiled), then scanning
// streams with it (PointScanner), which touches no interner, so that many
// streams, such as the documents of a corpus, pay for resolution only once.
#pragma once

#include <cmath>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base/expected.hpp"
#include "engine/matcher.hpp"
#include "engine/token_table.hpp"
#include "intern/interner.hpp"
#include "types/token_ref.hpp"

namespace zuldcore {

struct StreamView {
  std::span<const TokenId> tokens;
  std::span<const double> times;   // as long as tokens
  std::span<const double> values;  // empty (every value NaN) or as long as tokens
  size_t size() const noexcept { return tokens.size(); }
  double value_at(size_t i) const noexcept { return values.empty() ? std::nan("") : values[i]; }
};

// A token reference made ready to scan streams. Resolving interns its
// strings (a token never seen before gets a fresh id and matches nothing),
// puts the ids of a large set in a lookup table, measures a trie's shortest
// sequence and its depth, and compiles a pattern. The resolved form refers to
// the reference's trie or pattern, so the TokenRef must outlive it; after
// resolution it is only read, and scanners in any number of threads may
// share it.
class ResolvedRef {
 public:
  // Fails with "Pattern has {k} elements; maximum is 64" for a pattern
  // reference over the limit.
  static Expected<ResolvedRef> resolve(const TokenRef& ref);

 private:
  friend class PointScanner;
  struct Single {
    TokenId id;
  };
  struct SmallSet {
    std::vector<TokenId> ids;  // distinct; few enough to compare one by one
  };
  struct LargeSet {
    TokenFlags ids;
  };
  struct Sequences {
    const Trie* trie;
    size_t shortest;  // length of the shortest stored sequence (0: none stored)
    size_t deepest;   // depth of the deepest node: no walk reads more positions
  };
  struct PatternForm {
    std::shared_ptr<const MatchProgram> program;  // shared by copies of the resolved form
  };
  using Form = std::variant<Single, SmallSet, LargeSet, Sequences, PatternForm>;
  explicit ResolvedRef(Form form) : form_(std::move(form)) {}
  Form form_;
};

// Scans streams with one resolved reference (which must outlive the
// scanner), keeping a pattern matcher's scratch between streams. One scanner
// serves one thread at a time.
class PointScanner {
 public:
  explicit PointScanner(const ResolvedRef& ref);
  ~PointScanner();
  PointScanner(PointScanner&&) noexcept;
  PointScanner& operator=(PointScanner&&) noexcept;

  // The points of the reference on `stream` into `out`, which is cleared
  // first: ascending starts, one point per start with the smallest end, its
  // time that of the occurrence (t_start for a pattern) and its value the
  // stream's value at the start. Single and Set: every position of one of
  // their tokens. Sequences: greedy and without overlap (after an occurrence
  // the scan resumes behind it). Pattern: every match of the search, each
  // folded into its start's point as it is found, so memory stays linear in
  // the stream however many matches there are. Allocates nothing but `out`
  // (and a pattern matcher's scratch, kept for the next stream); answers
  // Ctrl-C through InterruptCheck however long the walk.
  void scan(const StreamView& stream, std::vector<Point>& out);

 private:
  const ResolvedRef* ref_;
  std::unique_ptr<StreamMatcher> matcher_;  // for a pattern reference
};

// resolve, then scan: the points of `ref` on one stream.
Expected<std::vector<Point>> match_points(const TokenRef& ref, const StreamView& stream);

// Resolved references kept for reuse: references with a key (token_ref_key)
// are shared by every equal reference, the others are known by their
// address, so each must stay alive, unchanged and in place while the store
// is used. A corpus fills one store (resolve, or a PointsCache over it on
// any stream, an empty one included) and then lets every document's
// PointsCache read it.
class ResolvedRefs {
 public:
  // The resolved form of `ref`, resolved now if it is not held yet; the
  // pointer stays valid for the store's life. Not synchronised.
  Expected<const ResolvedRef*> resolve(const TokenRef& ref) { return resolve(ref, token_ref_key(ref)); }
  // The resolved form of `ref` if the store holds it, else null. Only
  // reads: safe from many threads while nobody resolves.
  const ResolvedRef* find(const TokenRef& ref) const { return find(ref, token_ref_key(ref)); }

 private:
  friend class PointsCache;
  // The same with the reference's key at hand (a large set's costs a sort).
  Expected<const ResolvedRef*> resolve(const TokenRef& ref, const std::string& key);
  const ResolvedRef* find(const TokenRef& ref, const std::string& key) const;

  std::unordered_map<std::string, std::unique_ptr<const ResolvedRef>> by_key_;
  std::unordered_map<const TokenRef*, std::unique_ptr<const ResolvedRef>> by_address_;
};

// Points of the references used by one call on one stream, computed once per
// distinct reference (token_ref_key); references without a key are scanned
// each time they are asked for. Each reference is resolved once per cache,
// or taken from a store shared with other caches. The references asked for
// must outlive the cache; the returned pointer stays valid for its life.
class PointsCache {
 public:
  // Resolves the references it meets itself.
  explicit PointsCache(StreamView stream) : stream_(stream), resolve_into_(&own_) {}
  // Resolves into `store` what it does not hold yet (one thread at a time).
  PointsCache(StreamView stream, ResolvedRefs& store) : stream_(stream), read_(&store), resolve_into_(&store) {}
  // Reads `store`, shared with caches in other threads; what it does not
  // hold the cache resolves for itself.
  PointsCache(StreamView stream, const ResolvedRefs& store) : stream_(stream), read_(&store), resolve_into_(&own_) {}
  PointsCache(const PointsCache&) = delete;
  PointsCache& operator=(const PointsCache&) = delete;

  Expected<std::shared_ptr<const std::vector<Point>>> get(const TokenRef& ref);
  const StreamView& stream() const noexcept { return stream_; }

 private:
  StreamView stream_;
  const ResolvedRefs* read_ = nullptr;
  ResolvedRefs own_;
  ResolvedRefs* resolve_into_;
  std::unordered_map<std::string, std::shared_ptr<const std::vector<Point>>> by_key_;
};

}  // namespace zuldcore
