// The declaration side of state machines: names, trigger registration,
// finalisation, and the texts of reprs and messages.
#include "state/machine.hpp"

#include <algorithm>
#include <cstdio>

namespace zuldcore {

namespace {
// Indexed by the enums' values, in the order the messages list them.
constexpr std::string_view GAP_ANCHOR_NAMES[] = {"sustain", "any_event", "entry"};
constexpr std::string_view SELF_TRANSITION_NAMES[] = {"refresh", "restart", "ignore"};
}  // namespace

Expected<GapAnchor> gap_anchor_from_name(std::string_view text) {
  for (uint8_t i = 0; i < std::size(GAP_ANCHOR_NAMES); ++i)
    if (text == GAP_ANCHOR_NAMES[i]) return static_cast<GapAnchor>(i);
  return fail(cat("Unknown gap_anchor '", text, "'. Choose: sustain, any_event, entry"));
}

Expected<SelfTransition> self_transition_from_name(std::string_view text) {
  for (uint8_t i = 0; i < std::size(SELF_TRANSITION_NAMES); ++i)
    if (text == SELF_TRANSITION_NAMES[i]) return static_cast<SelfTransition>(i);
  return fail(cat("Unknown self_transition '", text, "'. Choose: refresh, restart, ignore"));
}

std::string_view gap_anchor_name(GapAnchor a) { return GAP_ANCHOR_NAMES[static_cast<uint8_t>(a)]; }
std::string_view self_transition_name(SelfTransition t) {
  return SELF_TRANSITION_NAMES[static_cast<uint8_t>(t)];
}

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    char buf[16];
    if (c < 0x20 || c == 0x7f) {
      std::snprintf(buf, sizeof buf, "\\u{%x}", c);
      out += buf;
    } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
      // U+0080..U+009F, the second block of control characters.
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned char>(s[i + 1]));
      out += buf;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string names_list(std::span<const std::string> names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += quoted(names[i]);
  }
  out += ']';
  return out;
}

std::string machine_repr(const StateMachineDecl& m) {
  return cat("StateMachine(states=", names_list(m.names), ", entries=", m.entries.size(),
             ", exits=", m.exits.size(), ", triggers=", m.triggers.size(), ")");
}

std::string state_span_repr(const StateSpanRef& s) {
  ZC_ENSURE(s.machine && s.state < s.machine->names.size(), "StateSpan without its state");
  return cat("StateSpan(state=", quoted(s.machine->names[s.state]),
             ", valid_only=", s.valid_only ? "true" : "false", ")");
}

uint32_t StateMachineDecl::add_trigger(TokenRef ref, Anchor anchor) {
  std::string key = token_ref_key(ref);
  if (!key.empty()) {
    // The anchor's ordinal first; the reference's key is unambiguous on its own.
    key.insert(key.begin(), static_cast<char>('0' + static_cast<int>(anchor)));
    auto it = trigger_keys.find(key);
    if (it != trigger_keys.end()) return it->second;
  }
  const auto index = static_cast<uint32_t>(triggers.size());
  triggers.push_back(Trigger{std::move(ref), anchor});
  if (!key.empty()) trigger_keys.emplace(std::move(key), index);
  return index;
}

Expected<uint32_t> StateMachineDecl::state_id(std::string_view name) const {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<uint32_t>(i);
  return fail(cat("Unknown state '", name, "'. Declared: ", names_list(names)));
}

Expected<std::shared_ptr<const StateMachineDecl>> StateMachineDecl::finalized() const {
  auto out = std::make_shared<StateMachineDecl>(*this);
  for (size_t k = 0; k < out->states.size(); ++k) {
    if (out->sustain_given[k]) continue;
    std::vector<uint32_t>& sustain = out->states[k].sustain;
    sustain.clear();
    for (const EntryRule& r : out->entries)
      if (r.state == k + 1) sustain.push_back(r.trigger);
  }
  for (size_t k = 0; k < out->states.size(); ++k) {
    const std::optional<std::string>& target = out->timeout_names[k];
    if (!target) continue;
    auto it = std::find(out->names.begin(), out->names.end(), *target);
    if (it == out->names.end())
      return fail(cat("State '", out->names[k + 1], "' has timeout_to='", *target,
                      "', which is not a declared state. Declared: ", names_list(out->names)));
    const auto id = static_cast<uint32_t>(it - out->names.begin());
    out->states[k].timeout_to = id == 0 ? std::nullopt : std::optional<uint32_t>(id);
  }
  for (size_t k = 0; k < out->states.size(); ++k) {
    if (!out->states[k].timeout_to) continue;
    std::vector<uint32_t> path{static_cast<uint32_t>(k + 1)};
    while (const std::optional<uint32_t> next = out->states[path.back() - 1].timeout_to) {
      auto seen = std::find(path.begin(), path.end(), *next);
      if (seen != path.end()) {
        std::string cycle;
        for (auto p = seen; p != path.end(); ++p) cycle += cat(out->names[*p], " -> ");
        cycle += out->names[*seen];
        return fail(cat("timeout_to forms a cycle: ", cycle,
                        ". A state reached only by timeout has no evidence of its own, so with no "
                        "new data the patient would alternate between these states indefinitely."));
      }
      path.push_back(*next);
    }
  }
  return std::shared_ptr<const StateMachineDecl>(std::move(out));
}

}  // namespace zuldcore
