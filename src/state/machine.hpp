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

// ---------------------------------------------------------------- triggers

struct TriggerHit {
  size_t pos = 0;    // where the trigger fires
  size_t start = 0;  // first position of the occurrence
  size_t end = 0;    // last position of the occurrence
};

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

class MachineRun;  // the run itself (run.cpp)

// Token id -> the triggers (one bit each) that a position holding it fires:
// the one-token triggers (Single and Set references) of a machine, so that a
// single pass over a stream's ids finds all of their firings. Sized by the
// triggers' tokens, never by the vocabulary.
class TriggerTokens {
 public:
  // Replaces the contents: each (id, triggers) pair adds its bits to the id.
  void build(std::span<const std::pair<TokenId, uint64_t>> entries);

  bool empty() const noexcept { return n_ids_ == 0; }
  // The triggers that `id` fires (0: none). Without a branch that depends
  // on the id: every stored id lies within `reach_` slots of its home slot,
  // and all of them are compared.
  uint64_t at(TokenId id) const noexcept {
    if (n_ids_ <= 1) return id == single_id_ ? single_mask_ : 0;
    const size_t home = slot_of(id);
    uint64_t found = 0;
    for (size_t d = 0; d <= reach_; ++d) found |= keys_[home + d] == id ? masks_[home + d] : 0;
    return found;
  }
  // The positions in [from, to) whose ids fire a trigger, ascending, into
  // `pos`, with their triggers into `masks` (both with room for to - from
  // entries); returns how many. One branch-free pass.
  size_t find(std::span<const TokenId> ids, size_t from, size_t to, size_t* pos, uint64_t* masks) const noexcept;

 private:
  size_t slot_of(TokenId id) const noexcept {
    return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t n_ids_ = 0;
  TokenId single_id_ = 0;     // with at most one id, a comparison instead of a table
  uint64_t single_mask_ = 0;  // 0 when there is no id
  std::vector<TokenId> keys_;    // a power of two of home slots, at most a quarter used, then reach_ more
  std::vector<uint64_t> masks_;  // 0 in an empty slot, so that whatever id it holds adds nothing
  size_t reach_ = 0;             // the farthest any id lies from its home slot
  int shift_ = 63;
};

// A finalized machine made ready to run on streams: its one-token triggers
// interned into one TriggerTokens, its other triggers (same-timestamp
// sequences, patterns) resolved for point scanners. Made once per call and
// then only read, by any number of threads; the declaration must outlive it
// and stay unchanged.
class MachineProgram {
 public:
  // Fails where a trigger fails to resolve (a pattern of more than 64
  // elements; the first such trigger), then with "Too many distinct
  // triggers: {} (maximum 64)". Interns the one-token triggers' strings.
  static Expected<MachineProgram> compile(const StateMachineDecl& decl);

  const StateMachineDecl& decl() const noexcept { return *decl_; }

 private:
  friend class MachineRun;
  struct Scanned {
    uint32_t trigger;
    ResolvedRef ref;
  };
  explicit MachineProgram(const StateMachineDecl& decl) : decl_(&decl) {}
  const StateMachineDecl* decl_;
  TriggerTokens tokens_;
  std::vector<Scanned> scanned_;  // built whole before any scanner points into it
  uint64_t listed_ = 0;           // the scanned triggers (their hits are listed before the run)
  uint64_t rules_ = 0;            // triggers of entry, exit and sustain rules
  uint64_t required_ = 0;         // triggers of require rules
};

// The ten result columns of instances, in the dtypes of the result.
struct StateColumns {
  std::vector<int32_t> state;
  std::vector<int64_t> start_pos;
  std::vector<int64_t> end_pos;  // start_pos - 1 for a timeout-entered instance owning no position
  std::vector<double> t_start;
  std::vector<double> t_end;
  std::vector<int64_t> n_events;
  std::vector<int8_t> close_reason;
  std::vector<int8_t> reject_reason;
  std::vector<int8_t> valid;
  std::vector<int8_t> timeout_entered;

  size_t size() const noexcept { return state.size(); }
  void push_back(const StateInstance& inst, int64_t shift);
  StateInstance row(size_t r, int64_t shift) const;
  // Keeps the first `n` rows.
  void truncate(size_t n);
  // Appends the rows of `other`, which is left empty.
  void append(StateColumns&& other);
};

// What one thread keeps from one run to the next: the scanners of a
// program's scanned triggers (a pattern's matcher state), the firings and
// hits. Their storage is reused, so that once it has grown, a run allocates
// nothing but the rows it appends. Serves the one program it is first used
// with (its scanners point into it). Kept
// apart from its neighbours' cache lines, since the scratches of a call's
// threads sit side by side.
class alignas(64) MachineScratch {
 public:
  MachineScratch();
  ~MachineScratch();
  MachineScratch(MachineScratch&&) noexcept;
  MachineScratch& operator=(MachineScratch&&) noexcept;

  // Positions the last run stepped through (where a rule's trigger fired, or
  // where an open instance could expire or move its clock); the pass over
  // the ids that finds the firings is not counted. For tests.
  size_t positions_visited() const noexcept { return visited_; }

 private:
  friend class MachineRun;
  const MachineProgram* program_ = nullptr;  // the program served
  std::vector<PointScanner> scanners_;       // one per scanned trigger
  std::vector<Point> points_;
  std::vector<size_t> fired_pos_;              // one chunk of the pass: where one-token triggers fire
  std::vector<uint64_t> fired_masks_;          // and which
  std::vector<std::vector<TriggerHit>> hits_;  // per trigger: scanned triggers, and one-token require triggers
  std::vector<size_t> cursors_;
  std::vector<size_t> order_;  // the rare reordering of a stream's instances
  size_t visited_ = 0;
};

// ---------------------------------------------------------------- run

// Runs a compiled machine over one stream and appends its instances to
// `out`: sorted by start position (ties by t_start in the total order of
// floats, then closing order), each checked against its state's validity
// rules, the invalid ones only when `include_invalid`, positions moved by
// `shift`. Returns how many rows it appended. Cannot fail: whatever can fail
// failed when the program was compiled. Times are taken as never
// decreasing: positions between firings are looked at only through binary
// searches of the times (what that gives on decreasing times is not
// settled, but every position read is inside the stream).
size_t run_machine(const MachineProgram& program, const StreamView& stream, MachineScratch& scratch,
                   StateColumns& out, bool include_invalid = true, int64_t shift = 0);

// The same run with every trigger's points taken from `points` (shared with
// the other references of an annotation call): the instances, or where the
// points fail, a trigger's failure, "Too many distinct triggers: {} (maximum
// 64)" or "Trigger {} fires at position {} beyond stream length {}".
Expected<std::vector<StateInstance>> run_state_machine(const StateMachineDecl& decl, PointsCache& points);

}  // namespace zuldcore
