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

// ---------------------------------------------------------------- building

namespace {

// Room for `extra` more items, so that the appends after it cannot fail.
// Capacity grows geometrically: a long run of builder calls reallocates
// each list only O(log n) times.
template <class List>
void reserve_more(List& list, size_t extra) {
  if (list.capacity() - list.size() >= extra) return;
  list.reserve(std::max(list.size() + extra, 2 * list.capacity()));
}

// The triggers one builder call registers, planned before the declaration
// changes: the index each reference gets, in the call's order; the new
// triggers, which take the next indices in order; and the identity keys of
// those that have one.
struct TriggerPlan {
  std::vector<uint32_t> indices;
  std::vector<Trigger> fresh;
  StringIndex keys;
};

TriggerPlan plan_triggers(const StateMachineDecl& m, std::vector<Trigger> refs) {
  TriggerPlan plan;
  plan.indices.reserve(refs.size());
  for (Trigger& t : refs) {
    std::string key = token_ref_key(t.ref);
    if (!key.empty()) {
      // The anchor's ordinal first; the reference's key is unambiguous on its own.
      key.insert(key.begin(), static_cast<char>('0' + static_cast<int>(t.anchor)));
      if (auto known = m.trigger_keys.find(key); known != m.trigger_keys.end()) {
        plan.indices.push_back(known->second);
        continue;
      }
      if (auto again = plan.keys.find(key); again != plan.keys.end()) {  // equal references in one call
        plan.indices.push_back(again->second);
        continue;
      }
    }
    const auto index = static_cast<uint32_t>(m.triggers.size() + plan.fresh.size());
    if (!key.empty()) plan.keys.emplace(std::move(key), index);
    plan.indices.push_back(index);
    plan.fresh.push_back(std::move(t));
  }
  return plan;
}

// Adds every key of `keys` (none of which `index` holds) to `index`, or none:
// when an allocation fails, the keys added so far are taken out again
// before the failure goes on.
void insert_all(StringIndex& index, const StringIndex& keys) {
  size_t added = 0;
  try {
    for (const auto& [key, value] : keys) {
      index.emplace(key, value);
      ++added;
    }
  } catch (...) {
    for (auto it = keys.begin(); added > 0; ++it, --added) index.erase(it->first);
    throw;
  }
}

// The fallible half of registering a plan: room for its triggers, then its
// keys. On failure the declaration is as it was.
void prepare(StateMachineDecl& m, const TriggerPlan& plan) {
  reserve_more(m.triggers, plan.fresh.size());
  insert_all(m.trigger_keys, plan.keys);
}

// The other half, after prepare: appends that find their room.
void push_planned(StateMachineDecl& m, TriggerPlan& plan) noexcept {
  for (Trigger& t : plan.fresh) m.triggers.push_back(std::move(t));
}

std::vector<Trigger> one_trigger(TokenRef ref, Anchor anchor) {
  std::vector<Trigger> refs;
  refs.push_back(Trigger{std::move(ref), anchor});
  return refs;
}

}  // namespace

StateMachineDecl::StateMachineDecl(std::string out) : out_name(out), names{out}, ids{{std::move(out), 0}} {}

void StateMachineDecl::add_state(std::string name, StateDef def, std::optional<TokenRef> sustain,
                                 std::vector<TokenRef> require, std::optional<std::string> timeout_to) {
  const bool sustain_is_given = sustain.has_value();
  std::vector<Trigger> refs;
  refs.reserve(require.size() + 1);
  if (sustain) refs.push_back(Trigger{std::move(*sustain), Anchor::End});
  for (TokenRef& r : require) refs.push_back(Trigger{std::move(r), Anchor::End});
  TriggerPlan plan = plan_triggers(*this, std::move(refs));
  const auto id = static_cast<uint32_t>(names.size());
  def.id = id;
  if (sustain_is_given) def.sustain = {plan.indices.front()};
  def.require.assign(plan.indices.begin() + (sustain_is_given ? 1 : 0), plan.indices.end());
  std::string key = name;

  reserve_more(names, 1);
  reserve_more(states, 1);
  reserve_more(sustain_given, 1);
  reserve_more(timeout_names, 1);
  ids.emplace(std::move(key), id);
  try {
    prepare(*this, plan);
  } catch (...) {
    ids.erase(name);
    throw;
  }
  names.push_back(std::move(name));
  push_planned(*this, plan);
  states.push_back(std::move(def));
  sustain_given.push_back(sustain_is_given);
  timeout_names.push_back(std::move(timeout_to));
}

void StateMachineDecl::add_entry(uint32_t state, std::vector<uint32_t> from_states, TokenRef trigger,
                                 Anchor anchor) {
  TriggerPlan plan = plan_triggers(*this, one_trigger(std::move(trigger), anchor));
  reserve_more(entries, 1);
  prepare(*this, plan);
  push_planned(*this, plan);
  entries.push_back(EntryRule{std::move(from_states), plan.indices.front(), state});
}

void StateMachineDecl::add_exit(uint32_t state, TokenRef trigger, Anchor anchor, bool inclusive) {
  TriggerPlan plan = plan_triggers(*this, one_trigger(std::move(trigger), anchor));
  reserve_more(exits, 1);
  prepare(*this, plan);
  push_planned(*this, plan);
  exits.push_back(ExitRule{plan.indices.front(), state, inclusive});
}

uint32_t StateMachineDecl::add_trigger(TokenRef ref, Anchor anchor) {
  TriggerPlan plan = plan_triggers(*this, one_trigger(std::move(ref), anchor));
  prepare(*this, plan);
  push_planned(*this, plan);
  return plan.indices.front();
}

Expected<uint32_t> StateMachineDecl::state_id(std::string_view name) const {
  if (auto it = ids.find(name); it != ids.end()) return it->second;
  return fail(cat("Unknown state '", name, "'. Declared: ", names_list(names)));
}

// ---------------------------------------------------------------- finalisation

Expected<std::shared_ptr<const StateMachineDecl>> StateMachineDecl::finalized(FinalizeStats* stats) const {
  auto out = std::make_shared<StateMachineDecl>(*this);
  std::vector<StateDef>& states_out = out->states;
  // Default sustain: the state's own entry triggers in entry-rule order,
  // gathered in one pass over the rules.
  for (size_t k = 0; k < states_out.size(); ++k)
    if (!out->sustain_given[k]) states_out[k].sustain.clear();
  for (const EntryRule& r : out->entries) {
    ZC_ENSURE(r.state >= 1 && r.state <= states_out.size(), "entry rule for state ", r.state, " of ",
              states_out.size());
    if (!out->sustain_given[r.state - 1]) states_out[r.state - 1].sustain.push_back(r.trigger);
  }
  for (size_t k = 0; k < states_out.size(); ++k) {
    const std::optional<std::string>& target = out->timeout_names[k];
    if (!target) continue;
    auto it = out->ids.find(*target);
    if (it == out->ids.end())
      return fail(cat("State '", out->names[k + 1], "' has timeout_to='", *target,
                      "', which is not a declared state. Declared: ", names_list(out->names)));
    states_out[k].timeout_to = it->second == 0 ? std::nullopt : std::optional<uint32_t>(it->second);
  }
  // Timeout chains, each state followed once. A walk starts at every state
  // with a timeout_to, in declaration order; it ends at a state without
  // one, at a state an earlier walk passed (whose chain is known to end),
  // or fails at a state it passed itself. The first walk that fails starts
  // at the first state whose chain runs into a cycle, and names the cycle
  // from the state where it first meets it: a -> b -> a for c -> a -> b -> a.
  constexpr size_t UNSEEN = SIZE_MAX, ENDS = SIZE_MAX - 1;
  std::vector<size_t> mark(out->names.size(), UNSEEN);  // per id: UNSEEN, ENDS or its place on the walk
  std::vector<uint32_t> path;
  for (size_t k = 0; k < states_out.size(); ++k) {
    if (!states_out[k].timeout_to) continue;
    path.clear();
    for (std::optional<uint32_t> s = static_cast<uint32_t>(k + 1); s && mark[*s] != ENDS;
         s = states_out[*s - 1].timeout_to) {
      if (mark[*s] != UNSEEN) {
        std::string cycle;
        for (size_t p = mark[*s]; p < path.size(); ++p) cycle += cat(out->names[path[p]], " -> ");
        cycle += out->names[*s];
        return fail(cat("timeout_to forms a cycle: ", cycle,
                        ". A state reached only by timeout has no evidence of its own, so with no "
                        "new data the patient would alternate between these states indefinitely."));
      }
      mark[*s] = path.size();
      path.push_back(*s);
    }
    if (stats) stats->chain_steps += path.size();
    for (uint32_t p : path) mark[p] = ENDS;
  }
  return std::shared_ptr<const StateMachineDecl>(std::move(out));
}

}  // namespace zuldcore
