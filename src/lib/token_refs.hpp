// Token references from Python arguments: a str, a list of str, a list of
// lists of str, or a Pattern.
#pragma once

#include <string_view>
#include <vector>

#include "lib/py.hpp"
#include "types/token_ref.hpp"

namespace zuldcore {

// The reference that `obj` names. `name` is the argument's name, used by the
// binding layer's own TypeErrors when a nested list does not extract. A
// Python error raised while the length or an item is fetched passes through
// unchanged.
TokenRef parse_token_ref(PyObject* obj, const char* name);

// Every item of an already-fetched list, in order; the first failure is
// raised as it is.
std::vector<TokenRef> parse_token_refs(const std::vector<Owned>& items, const char* name);

// The items of a sequence argument (a str is refused), each held.
std::vector<Owned> arg_object_vec(PyObject* obj, const char* name);

// "start" or "end"; anything else is ValueError "Unknown anchor '{}'. Choose: end, start".
Anchor parse_anchor(std::string_view text);

}  // namespace zuldcore
