// Token references: what a trigger or an annotation looks for in a stream (a
// token, a set of tokens, same-timestamp sequences, or a whole pattern), and
// the anchor that says which end of a multi-token occurrence a trigger fires
// at. The points a reference yields on a stream are computed by
// engine/points.hpp, since a pattern reference runs the search.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/expected.hpp"
#include "types/pattern.hpp"
#include "types/trie.hpp"

namespace zuldcore {

struct TokenRef {
  // Single and Set keep their strings: they are interned each time points
  // are computed, so a token never seen before simply matches nothing.
  struct Single {
    std::string token;
  };
  struct Set {
    std::vector<std::string> tokens;  // the caller's order, duplicates kept
  };
  struct Sequences {
    Trie trie;  // interned when the reference was built
  };
  struct PatternForm {
    Pattern pattern;  // a deep copy: later builder calls do not reach it
  };
  std::variant<Single, Set, Sequences, PatternForm> form;
};
static_assert(std::is_nothrow_move_constructible_v<TokenRef>);

enum class Anchor : uint8_t { Start = 0, End = 1 };

// "start" or "end", exact and case-sensitive.
Expected<Anchor> anchor_from_name(std::string_view text);

// One occurrence of a reference: its first and last stream positions, the
// time of the occurrence and the value at its start (NaN without values).
struct Point {
  size_t start = 0;
  size_t end = 0;
  double time = 0.0;
  double value = std::nan("");
};

// The key under which equal references share one computation of points:
// "s" + token for Single, "t" + the sorted distinct tokens for Set, each
// length-prefixed so that no two different references share a key; empty
// for Sequences and Pattern, which are never shared.
std::string token_ref_key(const TokenRef& ref);

}  // namespace zuldcore
