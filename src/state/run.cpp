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
#include "base/ensure.hpp"
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
  TriggerTokens made;
  made.n_ids_ = kept;
  if (kept == 1) {
    made.single_id_ = merged[0].first;
    made.single_mask_ = merged[0].second;
  } else if (kept > 1) {
    // Linear probing that never wraps: an id displaced past the last home
    // slot goes on into the room behind it, which is cut to the farthest
    // displacement afterwards.
    const size_t capacity = std::bit_ceil(std::max<size_t>(4 * kept, 16));
    made.shift_ = 64 - std::countr_zero(capacity);
    made.keys_.assign(capacity + kept, 0);
    made.masks_.assign(capacity + kept, 0);
    for (const auto& [id, mask] : merged) {
      const size_t home = made.slot_of(id);
      size_t i = home;
      while (made.masks_[i] != 0) ++i;
      made.keys_[i] = id;
      made.masks_[i] = mask;
      made.reach_ = std::max(made.reach_, i - home);
    }
    made.keys_.resize(capacity + made.reach_);
    made.masks_.resize(capacity + made.reach_);
  }
  *this = std::move(made);
}

size_t TriggerTokens::find(std::span<const TokenId> ids, size_t from, size_t to, size_t* pos,
                           uint64_t* masks) const noexcept {
  // Every position is written, and kept by counting it only when it fires:
  // no branch on the data, however the firings fall.
  size_t count = 0;
  if (n_ids_ == 0) return 0;
  if (n_ids_ == 1) {
    const TokenId id = single_id_;
    for (size_t i = from; i < to; ++i) {
      pos[count] = i;
      count += static_cast<size_t>(ids[i] == id);
    }
    std::fill(masks, masks + count, single_mask_);
    return count;
  }
  for (size_t i = from; i < to; ++i) {
    const uint64_t m = at(ids[i]);
    pos[count] = i;
    masks[count] = m;
    count += static_cast<size_t>(m != 0);
  }
  return count;
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
  static size_t of_program(const MachineProgram& program, const StreamView& stream, MachineScratch& scratch,
                           StateColumns& out, bool include_invalid, int64_t shift) {
    scan(program, stream, scratch);
    const TriggerUse use{program.listed_, program.rules_, program.required_};
    return MachineRun(program.decl(), program.tokens_, use, stream, scratch, out, shift).run(include_invalid);
  }

  static Expected<std::vector<StateInstance>> of_points(const StateMachineDecl& decl, PointsCache& points) {
    MachineScratch scratch;
    if (Status listed = list(decl, points, scratch); !listed) return fail(listed.message());
    const TriggerTokens none;
    const size_t n = decl.triggers.size();
    const uint64_t all = n == MAX_TRIGGERS ? ~uint64_t{0} : bit_of(static_cast<uint32_t>(n)) - 1;
    StateColumns out;
    MachineRun(decl, none, TriggerUse::of(decl, all), points.stream(), scratch, out, 0).run(true);
    std::vector<StateInstance> rows;
    rows.reserve(out.size());
    for (size_t r = 0; r < out.size(); ++r) rows.push_back(out.row(r, 0));
    return rows;
  }

 private:
  // `scratch.hits_` holds, for every listed trigger, its hits on `stream`.
  MachineRun(const StateMachineDecl& decl, const TriggerTokens& tokens, const TriggerUse& use,
             const StreamView& stream, MachineScratch& scratch, StateColumns& out, int64_t shift)
      : decl_(decl),
        tokens_(tokens),
        use_(use),
        ids_(stream.tokens),
        times_(stream.times),
        scratch_(scratch),
        hits_(scratch.hits_),
        cursors_(scratch.cursors_),
        out_(out),
        first_row_(out.size()),
        shift_(shift) {}

  // The hits of the program's scanned triggers on `stream`, into the scratch.
  static void scan(const MachineProgram& program, const StreamView& stream, MachineScratch& scratch) {
    if (scratch.program_ == nullptr) {
      for (const MachineProgram::Scanned& s : program.scanned_) scratch.scanners_.emplace_back(s.ref);
      scratch.program_ = &program;
    }
    ZC_ENSURE(scratch.program_ == &program, "a machine scratch used with a second program");
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

  size_t run(bool include_invalid) {
    scratch_.visited_ = 0;
    cursors_.assign(hits_.size(), 0);
    for (uint64_t m = use_.required & ~use_.listed; m; m &= m - 1) hits_[std::countr_zero(m)].clear();
    const size_t n = ids_.size();
    if (n == 0) return 0;

    // The pass over the ids, a chunk at a time (so that Ctrl-C is heard and
    // the firings found wait in a small buffer), merged with the positions
    // where listed triggers fire.
    const size_t chunk = std::min(n, SCAN_CHUNK);
    if (scratch_.fired_pos_.size() < chunk) {
      scratch_.fired_pos_.resize(chunk);
      scratch_.fired_masks_.resize(chunk);
    }
    const size_t* fired_pos = scratch_.fired_pos_.data();
    const uint64_t* fired_masks = scratch_.fired_masks_.data();
    size_t listed = use_.listed ? next_listed(0) : n;
    for (size_t from = 0; from < n;) {
      const size_t to = n - from > chunk ? from + chunk : n;
      const size_t found = tokens_.find(ids_, from, to, scratch_.fired_pos_.data(), scratch_.fired_masks_.data());
      interrupt_.tick(static_cast<uint32_t>(to - from));
      for (size_t f = 0;;) {
        // The times of firings a few ahead, which are read first when
        // their turn comes: they lie too far apart for the hardware to guess.
        if (f + PREFETCH_AHEAD < found) __builtin_prefetch(times_.data() + fired_pos[f + PREFETCH_AHEAD]);
        const size_t token = f < found ? fired_pos[f] : to;
        if (token < listed) {
          if (token == to) break;
          fire(token, fired_masks[f++]);
        } else {
          if (listed >= to) break;
          uint64_t mask = listed_at(listed);
          if (token == listed) mask |= fired_masks[f++];
          fire(listed, mask);
          listed = next_listed(listed + 1);
        }
      }
      from = to;
    }
    advance_to(n);
    expire_until(n, times_[n - 1]);
    if (cur_) {
      StateInstance done = *cur_;
      done.end_pos = cur_->timeout_entered ? n - 1 : std::max(n - 1, cur_->start_pos);
      done.t_end = times_[n - 1];
      done.close_reason = static_cast<uint8_t>(CloseReason::EndOfStream);
      close(done);
    }
    return finish(include_invalid);
  }

  // Ids read between two checks of the interrupt, and the size of the
  // buffer of firings.
  static constexpr size_t SCAN_CHUNK = 4096;
  static constexpr size_t PREFETCH_AHEAD = 8;

  const StateDef& def(uint32_t state) const { return decl_.states[state - 1]; }

  // Position j, where the triggers of `mask` fire.
  void fire(size_t j, uint64_t mask) {
    for (uint64_t m = mask & use_.required & ~use_.listed; m; m &= m - 1)
      hits_[std::countr_zero(m)].push_back({j, j, j});
    if ((mask & use_.rules) == 0) return;
    advance_to(j);
    step(j, mask);
    next_ = j + 1;
  }

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
        j = first_past_deadline(next_, b);
      } else {
        break;
      }
      pass(j);
      next_ = j + 1;
    }
  }

  // The first position in [from, b) whose time passes the deadline, where
  // b - 1 passes it. Expiries mostly come within a few dozen positions of
  // the last firing: there, the positions that do not pass are counted
  // without a branch on the times; farther, a binary search. Lands before b
  // whatever the times.
  size_t first_past_deadline(size_t from, size_t b) const {
    if (b - from >= NEAR && times_[from + NEAR - 1] > deadline_) return from + within_deadline<NEAR>(from);
    if (b - from < NEAR) {
      size_t within = 0;
      for (size_t i = from; i < b; ++i) within += static_cast<size_t>(!(times_[i] > deadline_));
      return from + within;
    }
    return static_cast<size_t>(std::upper_bound(times_.begin() + static_cast<ptrdiff_t>(from + NEAR),
                                                times_.begin() + static_cast<ptrdiff_t>(b), deadline_) -
                               times_.begin());
  }
  static constexpr size_t NEAR = 16;

  // How many of the `count` positions from `from` do not pass the deadline.
  template <size_t count>
  size_t within_deadline(size_t from) const {
    size_t within = 0;
    for (size_t i = 0; i < count; ++i) within += static_cast<size_t>(!(times_[from + i] > deadline_));
    return within;
  }

  // A position where no rule's trigger fires: expiry, then the clock.
  void pass(size_t i) {
    ++scratch_.visited_;
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
    ++scratch_.visited_;
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
        const TriggerHit h = *hit;
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

  void close(const StateInstance& done) {
    out_.push_back(done, shift_);
    cur_.reset();
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
    close(done);
    deadline_ = INF;
  }

  // Closes the open instance by timeout while `t` is past its deadline,
  // entering timeout_to states in turn.
  void expire_until(size_t p, double t) {
    size_t timeouts = 0;
    while (cur_ && t > deadline_) {
      // The last position of the instance up to p whose time is within the
      // deadline; the times are taken as non-decreasing, so when the one
      // just before p is, it is that one.
      size_t lo = cur_->start_pos, hi = std::max(p, lo);
      if (hi > lo && times_[hi - 1] <= deadline_) lo = hi;
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
      const uint32_t state = cur_->state;
      close(done);
      const double T = done.t_end;
      ++timeouts;
      const std::optional<uint32_t> next = def(state).timeout_to;
      if (!next || timeouts >= decl_.states.size()) {
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

  // The rows this run appended, in order, checked, and without the invalid
  // ones unless asked for them; returns how many are left.
  size_t finish(bool include_invalid) {
    const size_t first = first_row_, last = out_.size();
    // Usually closed in start order already; transitions at multi-token
    // triggers can open an instance that starts before one closed earlier.
    for (size_t r = first + 1; r < last; ++r)
      if (!in_order(r - 1, r)) {
        reorder();
        break;
      }
    for (size_t r = first; r < last; ++r) check_validity(r);
    if (include_invalid) return last - first;
    size_t kept = first;
    for (size_t r = first; r < last; ++r) {
      if (!out_.valid[r]) continue;
      if (kept != r) move_row(r, kept);
      ++kept;
    }
    out_.truncate(kept);
    return kept - first;
  }

  // Row a goes before row b: by start position, then by t_start in the
  // total order of floats.
  bool in_order(size_t a, size_t b) const {
    if (out_.start_pos[a] != out_.start_pos[b]) return out_.start_pos[a] < out_.start_pos[b];
    return total_order_key(out_.t_start[a]) <= total_order_key(out_.t_start[b]);
  }

  // Sorts this run's rows, stably.
  void reorder() {
    std::vector<size_t>& order = scratch_.order_;
    order.resize(out_.size() - first_row_);
    for (size_t i = 0; i < order.size(); ++i) order[i] = first_row_ + i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      if (out_.start_pos[a] != out_.start_pos[b]) return out_.start_pos[a] < out_.start_pos[b];
      return total_order_key(out_.t_start[a]) < total_order_key(out_.t_start[b]);
    });
    auto permute = [&](auto& column) {
      const std::vector<std::decay_t<decltype(column[0])>> old(column.begin() + static_cast<ptrdiff_t>(first_row_),
                                                               column.end());
      for (size_t i = 0; i < order.size(); ++i) column[first_row_ + i] = old[order[i] - first_row_];
    };
    permute(out_.state);
    permute(out_.start_pos);
    permute(out_.end_pos);
    permute(out_.t_start);
    permute(out_.t_end);
    permute(out_.n_events);
    permute(out_.close_reason);
    permute(out_.reject_reason);
    permute(out_.valid);
    permute(out_.timeout_entered);
  }

  void move_row(size_t from, size_t to) {
    out_.state[to] = out_.state[from];
    out_.start_pos[to] = out_.start_pos[from];
    out_.end_pos[to] = out_.end_pos[from];
    out_.t_start[to] = out_.t_start[from];
    out_.t_end[to] = out_.t_end[from];
    out_.n_events[to] = out_.n_events[from];
    out_.close_reason[to] = out_.close_reason[from];
    out_.reject_reason[to] = out_.reject_reason[from];
    out_.valid[to] = out_.valid[from];
    out_.timeout_entered[to] = out_.timeout_entered[from];
  }

  // The first hit of trigger k at or after `pos`, by binary search.
  const TriggerHit* first_hit_from(uint32_t k, size_t pos) const {
    const std::vector<TriggerHit>& hits = hits_[k];
    auto it = std::lower_bound(hits.begin(), hits.end(), pos,
                               [](const TriggerHit& h, size_t p) { return h.pos < p; });
    return it == hits.end() ? nullptr : &*it;
  }

  void check_validity(size_t r) {
    const StateInstance inst = out_.row(r, shift_);
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
      out_.valid[r] = 0;
      out_.reject_reason[r] = static_cast<int8_t>(reason);
    }
  }

  static constexpr double INF = std::numeric_limits<double>::infinity();
  const StateMachineDecl& decl_;
  const TriggerTokens& tokens_;
  const TriggerUse use_;
  std::span<const TokenId> ids_;
  std::span<const double> times_;
  MachineScratch& scratch_;
  std::vector<std::vector<TriggerHit>>& hits_;
  std::vector<size_t>& cursors_;
  StateColumns& out_;
  const size_t first_row_;  // this run's first row of out_
  const int64_t shift_;
  InterruptCheck interrupt_;
  std::optional<StateInstance> cur_;
  double anchor_time_ = std::nan("");
  double deadline_ = INF;
  size_t next_ = 0;       // with an instance open: the first position not yet stepped or passed through
  TriggerHit token_hit_;  // the occurrence of a one-token trigger that fires
};

size_t run_machine(const MachineProgram& program, const StreamView& stream, MachineScratch& scratch,
                   StateColumns& out, bool include_invalid, int64_t shift) {
  return MachineRun::of_program(program, stream, scratch, out, include_invalid, shift);
}

Expected<std::vector<StateInstance>> run_state_machine(const StateMachineDecl& decl, PointsCache& points) {
  return MachineRun::of_points(decl, points);
}

// ---------------------------------------------------------------- columns

void StateColumns::push_back(const StateInstance& inst, int64_t shift) {
  state.push_back(static_cast<int32_t>(inst.state));
  // An instance owning no position keeps end = start - 1.
  start_pos.push_back(static_cast<int64_t>(inst.start_pos) + shift);
  end_pos.push_back(static_cast<int64_t>(inst.end_pos) + shift);
  t_start.push_back(inst.t_start);
  t_end.push_back(inst.t_end);
  n_events.push_back(static_cast<int64_t>(inst.n_events));
  close_reason.push_back(static_cast<int8_t>(inst.close_reason));
  reject_reason.push_back(static_cast<int8_t>(inst.reject_reason));
  valid.push_back(static_cast<int8_t>(inst.valid));
  timeout_entered.push_back(static_cast<int8_t>(inst.timeout_entered));
}

StateInstance StateColumns::row(size_t r, int64_t shift) const {
  StateInstance inst;
  inst.state = static_cast<uint32_t>(state[r]);
  inst.start_pos = static_cast<size_t>(start_pos[r] - shift);
  inst.end_pos = static_cast<size_t>(end_pos[r] - shift);
  inst.t_start = t_start[r];
  inst.t_end = t_end[r];
  inst.n_events = static_cast<uint64_t>(n_events[r]);
  inst.close_reason = static_cast<uint8_t>(close_reason[r]);
  inst.reject_reason = static_cast<uint8_t>(reject_reason[r]);
  inst.valid = valid[r] != 0;
  inst.timeout_entered = timeout_entered[r] != 0;
  return inst;
}

void StateColumns::truncate(size_t n) {
  state.resize(n);
  start_pos.resize(n);
  end_pos.resize(n);
  t_start.resize(n);
  t_end.resize(n);
  n_events.resize(n);
  close_reason.resize(n);
  reject_reason.resize(n);
  valid.resize(n);
  timeout_entered.resize(n);
}

namespace {
template <class T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
  if (to.empty())
    to = std::move(from);
  else
    to.insert(to.end(), from.begin(), from.end());
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
