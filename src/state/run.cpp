// The machine run: one pass over a stream's ids finds where the one-token
// triggers fire, merged with the hits of the scanned triggers; the run steps
// only through those positions and the ones where an open instance expires,
// then sorts the instances and checks their validity. Tests:
// tests/test_state_model.py (against the model), tests/cpp/test_machine.cpp
// (positions visited, no allocation once the scratch has grown).
#include <algorithm>
#include <bit>
#include <cmath>

#include "state/machine.hpp"
#include "base/interrupt.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- trigger tokens

void TriggerTokens::build(std::span<const std::pair<TokenId, uint64_t>> entries) {
  std::vector<std::pair<TokenId, uint64_t>> merged(entries.begin(), entries.end());
  std::sort(merged.begin(), merged.end());
  size_t kept = 0;  // one entry per id, its triggers' bits together
  for (const auto& [id, mask] : merged) {
    if (mask == 0) continue;
    if (kept > 0 && merged[kept - 1].first == id)
      merged[kept - 1].second |= mask;
    else
      merged[kept++] = {id, mask};
  }
  merged.resize(kept);
  std::vector<TokenId> keys;
  std::vector<uint64_t> masks;
  size_t slot_mask = 0;
  int shift = 63;
  if (kept > 1) {
    const size_t capacity = std::bit_ceil(std::max<size_t>(4 * kept, 16));
    keys.assign(capacity, 0);
    masks.assign(capacity, 0);
    slot_mask = capacity - 1;
    shift = 64 - std::countr_zero(capacity);
  }
  // Nothing below allocates: a failure above left the table as it was.
  keys_ = std::move(keys);
  masks_ = std::move(masks);
  slot_mask_ = slot_mask;
  shift_ = shift;
  n_ids_ = kept;
  single_id_ = kept == 1 ? merged[0].first : 0;
  single_mask_ = kept == 1 ? merged[0].second : 0;
  if (kept > 1)
    for (const auto& [id, mask] : merged) {
      size_t i = slot_of(id);
      while (masks_[i] != 0) i = (i + 1) & slot_mask_;
      keys_[i] = id;
      masks_[i] = mask;
    }
}

size_t TriggerTokens::next(std::span<const TokenId> ids, size_t from, size_t to) const noexcept {
  if (n_ids_ == 0) return to;
  if (n_ids_ == 1) {
    const TokenId id = single_id_;
    // Eight ids at a time, without an exit inside the block, so that the
    // compiler compares them as one vector; then the exact position.
    for (; to - from >= 8; from += 8) {
      unsigned found = 0;
      for (size_t u = 0; u < 8; ++u) found |= static_cast<unsigned>(ids[from + u] == id);
      if (found) break;
    }
    for (; from < to; ++from)
      if (ids[from] == id) return from;
    return to;
  }
  for (; from < to; ++from)
    if (at(ids[from]) != 0) return from;
  return to;
}

// ---------------------------------------------------------------- the program

namespace {

uint64_t bit_of(uint32_t k) { return uint64_t{1} << k; }

// The hits of a trigger from its points: where each occurrence fires (its
// end, or its start when anchored there), sorted by that position. The
// points are sorted by start; with anchor end, occurrences of different
// lengths can reach their ends out of that order. The sort is stable, so
// among hits at one position the occurrence with the earlier start comes first.
void hits_of(std::span<const Point> points, Anchor anchor, std::vector<TriggerHit>& out) {
  out.clear();
  out.reserve(points.size());
  for (const Point& p : points) {
    const size_t pos = p.start == p.end || anchor == Anchor::End ? p.end : p.start;
    out.push_back({pos, p.start, p.end});
  }
  auto by_pos = [](const TriggerHit& a, const TriggerHit& b) { return a.pos < b.pos; };
  if (!std::is_sorted(out.begin(), out.end(), by_pos)) std::stable_sort(out.begin(), out.end(), by_pos);
}

// Orders doubles as the IEEE total order does: -NaN, -inf .. inf, +NaN.
uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<uint64_t>(x);
  return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}

}  // namespace

// What each trigger is used for, as masks over trigger indices: `listed`
// triggers have their hits in the scratch before the run, the others are
// found by the TriggerTokens pass.
struct TriggerUse {
  uint64_t listed = 0;
  uint64_t rules = 0;     // entry, exit and sustain triggers: the run steps where they fire
  uint64_t required = 0;  // require triggers: their positions are kept for the validity check

  static TriggerUse of(const StateMachineDecl& decl, uint64_t listed) {
    TriggerUse use{listed, 0, 0};
    for (const EntryRule& r : decl.entries) use.rules |= bit_of(r.trigger);
    for (const ExitRule& x : decl.exits) use.rules |= bit_of(x.trigger);
    for (const StateDef& d : decl.states) {
      for (uint32_t k : d.sustain) use.rules |= bit_of(k);
      for (uint32_t k : d.require) use.required |= bit_of(k);
    }
    return use;
  }
};

Expected<MachineProgram> MachineProgram::compile(const StateMachineDecl& decl) {
  MachineProgram program(decl);
  std::vector<std::pair<TokenId, uint64_t>> tokens;  // (id, trigger index) until the count is known
  for (uint32_t k = 0; k < decl.triggers.size(); ++k) {
    const TokenRef& ref = decl.triggers[k].ref;
    // One-token references resolve to their interned ids (as resolving them
    // for points does); the others to what their point scanners need.
    if (const auto* single = std::get_if<TokenRef::Single>(&ref.form)) {
      tokens.emplace_back(intern(single->token), k);
    } else if (const auto* set = std::get_if<TokenRef::Set>(&ref.form)) {
      const std::vector<std::string_view> strings(set->tokens.begin(), set->tokens.end());
      for (TokenId id : intern_stream(strings)) tokens.emplace_back(id, k);
    } else {
      Expected<ResolvedRef> resolved = ResolvedRef::resolve(ref);
      if (!resolved) return fail(resolved.message());
      program.scanned_.push_back({k, std::move(resolved).value()});
    }
  }
  if (decl.triggers.size() > MAX_TRIGGERS)
    return fail(cat("Too many distinct triggers: ", decl.triggers.size(), " (maximum ", MAX_TRIGGERS, ")"));
  for (auto& [id, k] : tokens) k = bit_of(static_cast<uint32_t>(k));
  program.tokens_.build(tokens);
  uint64_t listed = 0;
  for (const Scanned& s : program.scanned_) listed |= bit_of(s.trigger);
  const TriggerUse use = TriggerUse::of(decl, listed);
  program.listed_ = use.listed;
  program.rules_ = use.rules;
  program.required_ = use.required;
  return program;
}

MachineScratch::MachineScratch() = default;
MachineScratch::~MachineScratch() = default;
MachineScratch::MachineScratch(MachineScratch&&) noexcept = default;
MachineScratch& MachineScratch::operator=(MachineScratch&&) noexcept = default;

// ---------------------------------------------------------------- the run

class MachineRun {
 public:
  // `scratch.hits_` holds, for every listed trigger, its hits on `stream`.
  MachineRun(const StateMachineDecl& decl, const TriggerTokens& tokens, const TriggerUse& use,
             const StreamView& stream, MachineScratch& scratch)
      : decl_(decl),
        tokens_(tokens),
        use_(use),
        ids_(stream.tokens),
        times_(stream.times),
        hits_(scratch.hits_),
        cursors_(scratch.cursors_),
        closed_(scratch.closed_),
        visited_(scratch.visited_) {}

  static std::span<const StateInstance> of_program(const MachineProgram& program, const StreamView& stream,
                                                   MachineScratch& scratch) {
    scan(program, stream, scratch);
    const TriggerUse use{program.listed_, program.rules_, program.required_};
    MachineRun(program.decl(), program.tokens_, use, stream, scratch).run();
    return scratch.closed_;
  }

  static Expected<std::vector<StateInstance>> of_points(const StateMachineDecl& decl, PointsCache& points) {
    MachineScratch scratch;
    if (Status listed = list(decl, points, scratch); !listed) return fail(listed.message());
    const TriggerTokens none;
    const size_t n = decl.triggers.size();
    const uint64_t all = n == MAX_TRIGGERS ? ~uint64_t{0} : bit_of(static_cast<uint32_t>(n)) - 1;
    MachineRun(decl, none, TriggerUse::of(decl, all), points.stream(), scratch).run();
    return std::move(scratch.closed_);
  }

 private:
  // The hits of the program's scanned triggers on `stream`, into the scratch.
  static void scan(const MachineProgram& program, const StreamView& stream, MachineScratch& scratch) {
    if (scratch.program_ != &program) {
      scratch.scanners_.clear();
      for (const MachineProgram::Scanned& s : program.scanned_) scratch.scanners_.emplace_back(s.ref);
      scratch.program_ = &program;
    }
    scratch.hits_.resize(program.decl().triggers.size());
    for (size_t q = 0; q < program.scanned_.size(); ++q) {
      const uint32_t k = program.scanned_[q].trigger;
      scratch.scanners_[q].scan(stream, scratch.points_);
      hits_of(scratch.points_, program.decl().triggers[k].anchor, scratch.hits_[k]);
    }
  }

  // Points of every trigger from `cache`, as hits into the scratch; fails
  // as the points do, then on the trigger count, then on a hit beyond the
  // stream.
  static Status list(const StateMachineDecl& decl, PointsCache& cache, MachineScratch& scratch) {
    scratch.hits_.resize(decl.triggers.size());
    for (size_t k = 0; k < decl.triggers.size(); ++k) {
      auto points = cache.get(decl.triggers[k].ref);
      if (!points) return fail(points.message());
      hits_of(*points.value(), decl.triggers[k].anchor, scratch.hits_[k]);
    }
    if (decl.triggers.size() > MAX_TRIGGERS)
      return fail(cat("Too many distinct triggers: ", decl.triggers.size(), " (maximum ", MAX_TRIGGERS, ")"));
    const size_t n = cache.stream().size();
    for (size_t k = 0; k < decl.triggers.size(); ++k)
      if (!scratch.hits_[k].empty() && scratch.hits_[k].back().pos >= n)
        return fail(cat("Trigger ", k, " fires at position ", scratch.hits_[k].back().pos, " beyond stream length ", n));
    return ok();
  }

  void run() {
    closed_.clear();
    visited_ = 0;
    cursors_.assign(hits_.size(), 0);
    for (uint64_t m = use_.required & ~use_.listed; m; m &= m - 1) hits_[std::countr_zero(m)].clear();
    const size_t n = ids_.size();
    if (n == 0) return;

    for (size_t i = 0;;) {
      const size_t listed = next_listed(i);
      const size_t j = next_token_firing(i, listed);
      if (j == n) break;
      uint64_t mask = tokens_.at(ids_[j]);
      if (j == listed) mask |= listed_at(j);
      for (uint64_t m = mask & use_.required & ~use_.listed; m; m &= m - 1)
        hits_[std::countr_zero(m)].push_back({j, j, j});
      if (mask & use_.rules) {
        advance_to(j);
        step(j, mask);
        next_ = j + 1;
      }
      i = j + 1;
    }
    advance_to(n);
    expire_until(n, times_[n - 1]);
    if (cur_) {
      StateInstance done = *cur_;
      done.end_pos = cur_->timeout_entered ? n - 1 : std::max(n - 1, cur_->start_pos);
      done.t_end = times_[n - 1];
      done.close_reason = static_cast<uint8_t>(CloseReason::EndOfStream);
      closed_.push_back(done);
      cur_.reset();
    }
    auto in_order = [](const StateInstance& a, const StateInstance& b) {
      if (a.start_pos != b.start_pos) return a.start_pos < b.start_pos;
      return total_order_key(a.t_start) < total_order_key(b.t_start);
    };
    // Usually closed in start order already; the sort is stable either way.
    if (!std::is_sorted(closed_.begin(), closed_.end(), in_order))
      std::stable_sort(closed_.begin(), closed_.end(), in_order);
    for (StateInstance& inst : closed_) check_validity(inst);
  }

  // Ids scanned between two checks of the interrupt.
  static constexpr size_t SCAN_CHUNK = 4096;

  const StateDef& def(uint32_t state) const { return decl_.states[state - 1]; }

  // The first position at or after i where a listed trigger fires, or n.
  size_t next_listed(size_t i) {
    size_t next = ids_.size();
    for (uint64_t m = use_.listed; m; m &= m - 1) {
      const auto k = static_cast<uint32_t>(std::countr_zero(m));
      const std::vector<TriggerHit>& hits = hits_[k];
      size_t& c = cursors_[k];
      while (c < hits.size() && hits[c].pos < i) ++c;
      if (c < hits.size()) next = std::min(next, hits[c].pos);
    }
    return next;
  }

  // The listed triggers that fire at i (every cursor already at or past i).
  uint64_t listed_at(size_t i) const {
    uint64_t mask = 0;
    for (uint64_t m = use_.listed; m; m &= m - 1) {
      const auto k = static_cast<uint32_t>(std::countr_zero(m));
      const size_t c = cursors_[k];
      if (c < hits_[k].size() && hits_[k][c].pos == i) mask |= bit_of(k);
    }
    return mask;
  }

  // The first position in [from, to) whose token fires a trigger, or `to`;
  // a chunk at a time, so that Ctrl-C is heard during a long stretch.
  size_t next_token_firing(size_t from, size_t to) {
    if (tokens_.empty()) return to;
    for (;;) {
      const size_t stop = to - from > SCAN_CHUNK ? from + SCAN_CHUNK : to;
      const size_t found = tokens_.next(ids_, from, stop);
      interrupt_.tick(static_cast<uint32_t>(found - from + 1));
      if (found < stop || stop == to) return found;
      from = stop;
    }
  }

  // The hit of trigger k at position i, if `mask` (the triggers firing at
  // i) has it. A one-token trigger's occurrence is position i alone.
  const TriggerHit* fires(uint32_t k, size_t i, uint64_t mask) {
    if ((mask & bit_of(k)) == 0) return nullptr;
    if ((use_.listed & bit_of(k)) == 0) {
      token_hit_ = {i, i, i};
      return &token_hit_;
    }
    const std::vector<TriggerHit>& hits = hits_[k];
    size_t& c = cursors_[k];
    while (c < hits.size() && hits[c].pos < i) ++c;
    return c < hits.size() && hits[c].pos == i ? &hits[c] : nullptr;
  }

  // Positions next_ .. b - 1, where no rule's trigger fires: the open
  // instance may expire there, and under the any_event gap anchor every one
  // of them moves its clock. Otherwise the clock stands still, and the only
  // position that can change anything is the first whose time passes the
  // deadline: with times that never decrease, there is one in the stretch
  // exactly when the stretch's last time passes it, and a binary search
  // finds it.
  void advance_to(size_t b) {
    while (cur_ && next_ < b) {
      size_t j;
      if (def(cur_->state).gap_anchor == GapAnchor::AnyEvent) {
        j = next_;
      } else if (times_[b - 1] > deadline_) {  // false for NaN
        // Lands before b whatever the times: b - 1 itself passes.
        j = static_cast<size_t>(std::upper_bound(times_.begin() + static_cast<ptrdiff_t>(next_),
                                                 times_.begin() + static_cast<ptrdiff_t>(b), deadline_) -
                                times_.begin());
      } else {
        break;
      }
      pass(j);
      next_ = j + 1;
    }
    next_ = b;
  }

  // A position where no rule's trigger fires: expiry, then the clock.
  void pass(size_t i) {
    ++visited_;
    interrupt_.tick();
    const double t_now = times_[i];
    if (t_now > deadline_) expire_until(i, t_now);
    if (!cur_) return;
    const StateDef& d = def(cur_->state);
    if (d.gap_anchor == GapAnchor::AnyEvent) anchor_time_ = t_now;
    deadline_ = anchor_time_ + d.max_gap;
  }

  // A position where a rule's trigger fires: expiry, entries, the clock,
  // exits, in that order.
  void step(size_t i, uint64_t mask) {
    ++visited_;
    interrupt_.tick();
    const double t_now = times_[i];
    if (t_now > deadline_) expire_until(i, t_now);

    const uint32_t cur_state = cur_ ? cur_->state : 0;
    const EntryRule* rule = nullptr;
    const TriggerHit* hit = nullptr;
    for (const EntryRule& r : decl_.entries) {
      if ((mask & bit_of(r.trigger)) == 0) continue;
      if (!r.from_states.empty() &&
          std::find(r.from_states.begin(), r.from_states.end(), cur_state) == r.from_states.end())
        continue;
      if ((hit = fires(r.trigger, i, mask))) {
        rule = &r;
        break;
      }
    }
    bool counted = false, entered = false;
    if (rule) {
      SelfTransition self = def(rule->state).self_transition;
      if (rule->state == cur_state && self == SelfTransition::Refresh) {
        anchor_time_ = t_now;
        ++cur_->n_events;
        counted = true;
      } else if (rule->state != cur_state || self == SelfTransition::Restart) {
        const TriggerHit h = *hit;  // fires() below may reuse the storage of a one-token hit
        if (cur_) close_at_hit(h, CloseReason::Transition, false, times_[h.start]);
        cur_ = StateInstance{};
        cur_->start_pos = h.start;
        cur_->t_start = times_[h.start];
        cur_->n_events = 1;
        cur_->state = rule->state;
        anchor_time_ = t_now;
        counted = entered = true;
      }
    }
    if (!cur_) return;

    const StateDef& d = def(cur_->state);
    bool sustained = false;
    for (uint32_t k : d.sustain) {
      if (!fires(k, i, mask)) continue;
      if (!counted) ++cur_->n_events;
      if (d.gap_anchor != GapAnchor::Entry) anchor_time_ = t_now;
      sustained = true;
      break;
    }
    if (!sustained && d.gap_anchor == GapAnchor::AnyEvent) anchor_time_ = t_now;
    deadline_ = anchor_time_ + d.max_gap;

    if (entered) return;
    for (const ExitRule& x : decl_.exits) {
      if (x.state != cur_->state) continue;
      if (const TriggerHit* h = fires(x.trigger, i, mask)) {
        close_at_hit(*h, CloseReason::ExitEvent, x.inclusive, t_now);
        break;
      }
    }
  }

  // Closes the open instance at a trigger's occurrence: up to the position
  // before it, or through its last position when `inclusive`.
  void close_at_hit(const TriggerHit& h, CloseReason reason, bool inclusive, double t_end) {
    StateInstance done = *cur_;
    if (inclusive)
      done.end_pos = done.timeout_entered ? h.end : std::max(done.start_pos, h.end);
    else if (done.timeout_entered)
      done.end_pos = std::max(done.start_pos, h.start) - 1;  // start_pos >= 1 when timeout-entered
    else
      done.end_pos = std::max(done.start_pos, h.start == 0 ? 0 : h.start - 1);
    done.t_end = t_end;
    done.close_reason = static_cast<uint8_t>(reason);
    closed_.push_back(done);
    cur_.reset();
    deadline_ = INF;
  }

  // Closes the open instance by timeout while `t` is past its deadline,
  // entering timeout_to states in turn.
  void expire_until(size_t p, double t) {
    size_t timeouts = 0;
    while (cur_ && t > deadline_) {
      // The last position of the instance up to p whose time is within the
      // deadline; the times are taken as non-decreasing.
      size_t lo = cur_->start_pos, hi = std::max(p, lo);
      while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (times_[mid] <= deadline_)
          lo = mid + 1;
        else
          hi = mid;
      }
      size_t g;
      if (lo > cur_->start_pos)
        g = lo - 1;
      else
        g = cur_->timeout_entered ? cur_->start_pos - 1 : cur_->start_pos;
      StateInstance done = *cur_;
      done.end_pos = g;
      done.t_end = std::max(deadline_, cur_->t_start);
      done.close_reason = static_cast<uint8_t>(CloseReason::Timeout);
      closed_.push_back(done);
      const double T = done.t_end;
      ++timeouts;
      const std::optional<uint32_t> next = def(cur_->state).timeout_to;
      if (!next || timeouts >= decl_.states.size()) {
        cur_.reset();
        deadline_ = INF;
        return;
      }
      cur_ = StateInstance{};
      cur_->start_pos = g + 1;
      cur_->t_start = T;
      cur_->n_events = 0;
      cur_->state = *next;
      cur_->timeout_entered = true;
      anchor_time_ = T;
      deadline_ = T + def(*next).max_gap;
    }
  }

  // The first hit of trigger k at or after `pos`, by binary search.
  const TriggerHit* first_hit_from(uint32_t k, size_t pos) const {
    const std::vector<TriggerHit>& hits = hits_[k];
    auto it = std::lower_bound(hits.begin(), hits.end(), pos,
                               [](const TriggerHit& h, size_t p) { return h.pos < p; });
    return it == hits.end() ? nullptr : &*it;
  }

  void check_validity(StateInstance& inst) const {
    const StateDef& d = def(inst.state);
    RejectReason reason = RejectReason::None;
    if (d.drop_unclosed && inst.close_reason == static_cast<uint8_t>(CloseReason::EndOfStream))
      reason = RejectReason::Unclosed;
    else if (d.min_duration > 0 && d.min_duration > inst.t_end - inst.t_start)
      reason = RejectReason::TooShort;
    else if (!inst.timeout_entered && inst.n_events < d.min_events)
      reason = RejectReason::TooFewEvents;
    else
      for (uint32_t k : d.require) {
        const TriggerHit* h = first_hit_from(k, inst.start_pos);
        if (!h || h->pos > inst.end_pos) {
          reason = RejectReason::MissingRequired;
          break;
        }
      }
    if (reason != RejectReason::None) {
      inst.valid = false;
      inst.reject_reason = static_cast<uint8_t>(reason);
    }
  }

  static constexpr double INF = std::numeric_limits<double>::infinity();
  const StateMachineDecl& decl_;
  const TriggerTokens& tokens_;
  const TriggerUse use_;
  std::span<const TokenId> ids_;
  std::span<const double> times_;
  std::vector<std::vector<TriggerHit>>& hits_;
  std::vector<size_t>& cursors_;
  std::vector<StateInstance>& closed_;
  size_t& visited_;
  InterruptCheck interrupt_;
  std::optional<StateInstance> cur_;
  double anchor_time_ = std::nan("");
  double deadline_ = INF;
  size_t next_ = 0;       // the first position not yet stepped or passed through
  TriggerHit token_hit_;  // the occurrence of a one-token trigger that fires
};

std::span<const StateInstance> run_machine(const MachineProgram& program, const StreamView& stream,
                                           MachineScratch& scratch) {
  return MachineRun::of_program(program, stream, scratch);
}

Expected<std::vector<StateInstance>> run_state_machine(const StateMachineDecl& decl, PointsCache& points) {
  return MachineRun::of_points(decl, points);
}

// ---------------------------------------------------------------- columns

size_t StateColumns::append(std::span<const StateInstance> rows, bool include_invalid, int64_t shift) {
  size_t appended = 0;
  for (const StateInstance& r : rows) {
    if (!include_invalid && !r.valid) continue;
    state.push_back(static_cast<int32_t>(r.state));
    // An instance owning no position keeps end = start - 1.
    start_pos.push_back(static_cast<int64_t>(r.start_pos) + shift);
    end_pos.push_back(static_cast<int64_t>(r.end_pos) + shift);
    t_start.push_back(r.t_start);
    t_end.push_back(r.t_end);
    n_events.push_back(static_cast<int64_t>(r.n_events));
    close_reason.push_back(static_cast<int8_t>(r.close_reason));
    reject_reason.push_back(static_cast<int8_t>(r.reject_reason));
    valid.push_back(static_cast<int8_t>(r.valid));
    timeout_entered.push_back(static_cast<int8_t>(r.timeout_entered));
    ++appended;
  }
  return appended;
}

namespace {
template <class T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
  if (to.empty()) {
    to = std::move(from);
  } else {
    to.insert(to.end(), from.begin(), from.end());
  }
  from = {};
}
}  // namespace

void StateColumns::append(StateColumns&& other) {
  append_moved(state, other.state);
  append_moved(start_pos, other.start_pos);
  append_moved(end_pos, other.end_pos);
  append_moved(t_start, other.t_start);
  append_moved(t_end, other.t_end);
  append_moved(n_events, other.n_events);
  append_moved(close_reason, other.close_reason);
  append_moved(reject_reason, other.reject_reason);
  append_moved(valid, other.valid);
  append_moved(timeout_entered, other.timeout_entered);
}

}  // namespace zuldcore
