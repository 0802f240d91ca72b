// State machines: the declaration a StateMachine builder fills, its trigger
// registry, its validated snapshot, and the run that turns a stream into
// closed, validity-checked state instances.
//
// The machine has one implicit base state, id 0, named out_name; declared
// states get ids 1, 2, ... in declaration order. At most one instance is open
// at any position.
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/points.hpp"
#include "base/expected.hpp"
#include "types/token_ref.hpp"

namespace zuldcore {

inline constexpr size_t MAX_TRIGGERS = 64;

enum class GapAnchor : uint8_t { Sustain = 0, AnyEvent = 1, Entry = 2 };
enum class SelfTransition : uint8_t { Refresh = 0, Restart = 1, Ignore = 2 };

Expected<GapAnchor> gap_anchor_from_name(std::string_view text);
Expected<SelfTransition> self_transition_from_name(std::string_view text);
std::string_view gap_anchor_name(GapAnchor a);  // the name the parser above reads back
std::string_view self_transition_name(SelfTransition t);

struct StateDef {
  std::vector<uint32_t> sustain;  // trigger indices; filled by finalized() when not given
  std::vector<uint32_t> require;  // trigger indices
  std::optional<uint32_t> timeout_to;  // resolved by finalized()
  double max_gap = std::numeric_limits<double>::infinity();
  double min_duration = 0.0;
  uint64_t min_events = 1;
  uint32_t id = 0;
  bool drop_unclosed = true;
  GapAnchor gap_anchor = GapAnchor::Sustain;
  SelfTransition self_transition = SelfTransition::Refresh;
};

struct EntryRule {
  std::vector<uint32_t> from_states;  // empty: from any state
  uint32_t trigger = 0;
  uint32_t state = 0;
};

struct ExitRule {
  uint32_t trigger = 0;
  uint32_t state = 0;
  bool inclusive = true;
};

struct Trigger {
  TokenRef ref;
  Anchor anchor = Anchor::End;
};
static_assert(std::is_nothrow_move_constructible_v<Trigger>);

// A hash map keyed by strings that string views can look up without a copy.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using StringIndex = std::unordered_map<std::string, uint32_t, StringHash, std::equal_to<>>;

// Counters a test can ask finalized() for; it never reads them.
struct FinalizeStats {
  size_t chain_steps = 0;  // states passed while following timeout_to chains
};

struct StateMachineDecl {
  std::string out_name = "out";
  std::vector<std::string> names{"out"};  // by id; names[0] is out_name
  std::vector<Trigger> triggers;
  std::vector<StateDef> states;  // states[k] has id k + 1
  std::vector<EntryRule> entries;
  std::vector<ExitRule> exits;
  std::vector<bool> sustain_given;
  std::vector<std::optional<std::string>> timeout_names;
  StringIndex trigger_keys;  // identity key -> trigger index
  StringIndex ids;           // name -> id, for every name in `names`

  explicit StateMachineDecl(std::string out = "out");

  // The builder steps, once the caller has checked their arguments: a new
  // name (not yet declared), states that exist, and not the base state as a
  // target. Each appends in place and registers its triggers; every
  // container is grown before the first change, so a failure (which can
  // only be std::bad_alloc) leaves the declaration as it was.
  void add_state(std::string name, StateDef def, std::optional<TokenRef> sustain, std::vector<TokenRef> require,
                 std::optional<std::string> timeout_to);
  void add_entry(uint32_t state, std::vector<uint32_t> from_states, TokenRef trigger, Anchor anchor);
  void add_exit(uint32_t state, TokenRef trigger, Anchor anchor, bool inclusive);

  // The index of an equal trigger registered before (Single and Set
  // references with the same anchor), else a new index. Fails only for want
  // of memory, and then changes nothing.
  uint32_t add_trigger(TokenRef ref, Anchor anchor);

  // The id of `name` (0 for the base state), or
  // "Unknown state '{name}'. Declared: [...]".
  Expected<uint32_t> state_id(std::string_view name) const;
  // Whether `name` is declared, the base state's name included.
  bool has_state(std::string_view name) const { return ids.find(name) != ids.end(); }

  // A validated, complete copy: default sustain triggers, timeout_to
  // resolved, timeout cycles refused. The declaration is not changed. Work
  // and memory are linear in the declaration's size.
  Expected<std::shared_ptr<const StateMachineDecl>> finalized(FinalizeStats* stats = nullptr) const;
};
static_assert(std::is_nothrow_move_constructible_v<StateMachineDecl>);

// `names` as a list: ["out", "a"], each name quoted with escapes.
std::string names_list(std::span<const std::string> names);
// `s` in double quotes; a double quote, a backslash or a control character
// is written as a backslash escape.
std::string quoted(std::string_view s);

// "StateMachine(states=[...], entries=N, exits=N, triggers=N)".
std::string machine_repr(const StateMachineDecl& m);

// A reference to one declared state's instances under a frozen snapshot.
struct StateSpanRef {
  std::shared_ptr<const StateMachineDecl> machine;
  uint32_t state = 0;  // never 0
  bool valid_only = true;
};

// "StateSpan(state=\"a\", valid_only=true)".
std::string state_span_repr(const StateSpanRef& s);

// ---------------------------------------------------------------- trigger table

struct TriggerHit {
  size_t pos = 0;    // where the trigger fires
  size_t start = 0;  // first position of the occurrence
  size_t end = 0;    // last position of the occurrence
};

class TriggerTable {
 public:
  // Computes every trigger's points (equal references once) and tables the
  // hits. Fails with a point failure, "Too many distinct triggers: {} (maximum
  // 64)" or a hit beyond the stream.
  static Expected<TriggerTable> build(const StateMachineDecl& decl, PointsCache& points);

  // The hit of trigger k at position i, advancing its forward-only cursor;
  // positions must be asked for in non-decreasing order.
  const TriggerHit* fires_at(uint32_t k, size_t i);
  // The first position at or after i at which any trigger fires, or
  // NO_FIRING; moves every cursor to its first hit at or after i. With it
  // the run visits only the positions where something can happen.
  size_t next_firing(size_t i);
  static constexpr size_t NO_FIRING = SIZE_MAX;
  // The first hit of trigger k at or after position `pos`, by binary search.
  const TriggerHit* first_hit_from(uint32_t k, size_t pos) const;

 private:
  std::vector<std::vector<TriggerHit>> hits_;  // per trigger, sorted by pos
  std::vector<size_t> cursors_;
};

// ---------------------------------------------------------------- run

enum class CloseReason : uint8_t { ExitEvent = 0, Timeout = 1, Transition = 2, EndOfStream = 3 };
enum class RejectReason : uint8_t {
  None = 0,
  Unclosed = 1,
  TooShort = 2,
  TooFewEvents = 3,
  MissingRequired = 4,
};

struct StateInstance {
  size_t start_pos = 0;
  size_t end_pos = 0;  // inclusive; start_pos - 1 for a timeout-entered instance owning no position
  double t_start = 0.0;
  double t_end = 0.0;
  uint64_t n_events = 0;
  uint32_t state = 0;
  uint8_t reject_reason = 0;
  uint8_t close_reason = 0;
  bool valid = true;
  bool timeout_entered = false;

  // Whether the instance owns at least one position.
  bool owns_positions() const noexcept { return end_pos + 1 > start_pos; }
};

// Runs a finalized machine over a stream: the instances sorted by start
// position (ties by t_start in the total order of floats, then closing
// order), each checked against its state's validity rules. Fails only where
// the trigger table fails. `points` supplies (and shares) trigger points.
Expected<std::vector<StateInstance>> run_state_machine(const StateMachineDecl& decl,
                                                        PointsCache& points);

}  // namespace zuldcore
