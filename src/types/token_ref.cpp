#include "types/token_ref.hpp"

#include <algorithm>

namespace zuldcore {

Expected<Anchor> anchor_from_name(std::string_view text) {
  if (text == "start") return Anchor::Start;
  if (text == "end") return Anchor::End;
  return fail(cat("Unknown anchor '", text, "'. Choose: end, start"));
}

namespace {
// Length-prefixed, so that the concatenation of several strings reads back
// one way only: {"a\x01b"} and {"a", "b"} give different keys.
void append_member(std::string& key, std::string_view s) {
  key += std::to_string(s.size());
  key += ':';
  key += s;
}
}  // namespace

std::string token_ref_key(const TokenRef& ref) {
  std::string key;
  if (const auto* single = std::get_if<TokenRef::Single>(&ref.form)) {
    key.push_back('s');
    append_member(key, single->token);
  } else if (const auto* set = std::get_if<TokenRef::Set>(&ref.form)) {
    std::vector<std::string_view> members(set->tokens.begin(), set->tokens.end());
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    key.push_back('t');
    for (std::string_view m : members) append_member(key, m);
  }
  return key;
}

}  // namespace zuldcore
