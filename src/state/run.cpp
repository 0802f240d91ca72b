// The trigger table and the machine run: one pass over the stream that opens,
// refreshes, expires and closes instances, then a sort and the retrospective
// validity check.
#include <algorithm>
#include <bit>
#include <cmath>

#include "state/machine.hpp"
#include "base/interrupt.hpp"

namespace zuldcore {

// ---------------------------------------------------------------- trigger table

Expected<TriggerTable> TriggerTable::build(const StateMachineDecl& decl, PointsCache& cache) {
  const size_t n = cache.stream().size();
  TriggerTable table;
  table.hits_.resize(decl.triggers.size());
  for (size_t k = 0; k < decl.triggers.size(); ++k) {
    const Trigger& trigger = decl.triggers[k];
    auto points = cache.get(trigger.ref);
    if (!points) return fail(points.message());
    std::vector<TriggerHit>& hits = table.hits_[k];
    hits.reserve(points.value()->size());
    for (const Point& p : *points.value()) {
      const size_t pos = p.start == p.end || trigger.anchor == Anchor::End ? p.end : p.start;
      hits.push_back({pos, p.start, p.end});
    }
    // Points are sorted by start; with anchor end, occurrences of different
    // lengths can reach their ends out of that order.
    auto by_pos = [](const TriggerHit& a, const TriggerHit& b) { return a.pos < b.pos; };
    if (!std::is_sorted(hits.begin(), hits.end(), by_pos)) std::stable_sort(hits.begin(), hits.end(), by_pos);
  }
  if (decl.triggers.size() > MAX_TRIGGERS)
    return fail(cat("Too many distinct triggers: ", decl.triggers.size(), " (maximum ", MAX_TRIGGERS, ")"));
  for (size_t k = 0; k < table.hits_.size(); ++k)
    if (const TriggerHit* beyond = table.first_hit_from(static_cast<uint32_t>(k), n))
      return fail(cat("Trigger ", k, " fires at position ", beyond->pos, " beyond stream length ", n));
  table.cursors_.assign(table.hits_.size(), 0);
  return table;
}

size_t TriggerTable::next_firing(size_t i) {
  size_t next = NO_FIRING;
  for (size_t k = 0; k < hits_.size(); ++k) {
    const std::vector<TriggerHit>& hits = hits_[k];
    size_t& c = cursors_[k];
    while (c < hits.size() && hits[c].pos < i) ++c;
    if (c < hits.size()) next = std::min(next, hits[c].pos);
  }
  return next;
}

const TriggerHit* TriggerTable::fires_at(uint32_t k, size_t i) {
  const std::vector<TriggerHit>& hits = hits_[k];
  size_t& c = cursors_[k];
  while (c < hits.size() && hits[c].pos < i) ++c;
  return c < hits.size() && hits[c].pos == i ? &hits[c] : nullptr;
}

const TriggerHit* TriggerTable::first_hit_from(uint32_t k, size_t pos) const {
  const std::vector<TriggerHit>& hits = hits_[k];
  auto it = std::lower_bound(hits.begin(), hits.end(), pos,
                             [](const TriggerHit& h, size_t p) { return h.pos < p; });
  return it == hits.end() ? nullptr : &*it;
}

// ---------------------------------------------------------------- run

namespace {

// Orders doubles as the IEEE total order does: -NaN, -inf .. inf, +NaN.
uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<uint64_t>(x);
  return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}

class Run {
 public:
  Run(const StateMachineDecl& decl, TriggerTable& table, std::span<const double> times)
      : decl_(decl), table_(table), times_(times) {}

  std::vector<StateInstance> run() {
    const size_t n = times_.size();
    // Positions where no trigger fires can only expire the open instance
    // and, under the any_event gap anchor, move its clock; with no instance
    // open they are skipped.
    InterruptCheck interrupt;
    size_t next = table_.next_firing(0);
    for (size_t i = 0; i < n; ++i) {
      interrupt.tick();
      if (i == next) {
        step(i);
        next = table_.next_firing(i + 1);
        continue;
      }
      if (!cur_) {
        if (next == TriggerTable::NO_FIRING) break;
        i = next - 1;
        continue;
      }
      const double t_now = times_[i];
      if (t_now > deadline_) expire_until(i, t_now);
      if (!cur_) continue;
      const StateDef& d = def(cur_->state);
      if (d.gap_anchor == GapAnchor::AnyEvent) anchor_time_ = t_now;
      deadline_ = anchor_time_ + d.max_gap;
    }
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
    return std::move(closed_);
  }

 private:
  const StateDef& def(uint32_t state) const { return decl_.states[state - 1]; }

  // The hit of trigger k at position i, if it fires there.
  const TriggerHit* fires(uint32_t k, size_t i) { return table_.fires_at(k, i); }

  void step(size_t i) {
    const double t_now = times_[i];
    if (t_now > deadline_) expire_until(i, t_now);

    const uint32_t cur_state = cur_ ? cur_->state : 0;
    const EntryRule* rule = nullptr;
    const TriggerHit* hit = nullptr;
    for (const EntryRule& r : decl_.entries) {
      if (!r.from_states.empty() &&
          std::find(r.from_states.begin(), r.from_states.end(), cur_state) == r.from_states.end())
        continue;
      if ((hit = fires(r.trigger, i))) {
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
        if (cur_) close_at_hit(*hit, CloseReason::Transition, false, times_[hit->start]);
        cur_ = StateInstance{};
        cur_->start_pos = hit->start;
        cur_->t_start = times_[hit->start];
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
      if (!fires(k, i)) continue;
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
      if (const TriggerHit* h = fires(x.trigger, i)) {
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
        const TriggerHit* h = table_.first_hit_from(k, inst.start_pos);
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
  TriggerTable& table_;
  std::span<const double> times_;
  std::optional<StateInstance> cur_;
  double anchor_time_ = std::nan("");
  double deadline_ = INF;
  std::vector<StateInstance> closed_;
};

}  // namespace

Expected<std::vector<StateInstance>> run_state_machine(const StateMachineDecl& decl, PointsCache& points) {
  Expected<TriggerTable> table = TriggerTable::build(decl, points);
  if (!table) return fail(table.message());
  if (points.stream().size() == 0) return std::vector<StateInstance>{};
  return Run(decl, table.value(), points.stream().times).run();
}

}  // namespace zuldcore
