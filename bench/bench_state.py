"""State machines: zuldcore.state_spans against NumPy, Polars, DuckDB and a plain Python loop.

  (0) getting the tokens (a list of str) into each tool: zuldcore.vocab_ids, a NumPy str array, a pandas Series,
      a Polars DataFrame, a DuckDB table. The peers of the later tables get their input already loaded.
  (1) one state, "bp_watch", entered by every SBP and kept while the next SBP comes within --max-gap hours (the
      default refresh self-transition, sustained by its own entry token, no exit; an instance still open when
      the stream ends is invalid). Over every size of --sizes, one stream each. Peers: gaps-and-islands in NumPy
      (str == on a str array, or pandas.factorize codes), Polars and DuckDB (window functions, then an as-of
      join for the last position inside the deadline), and the Python loop.
  (1s) the same question from the list of str for every contender: NumPy (an object array ==), pandas.factorize and
      Polars (a DataFrame built from the list) pay their coding of the strings inside the call, as zuldcore does.
  (2) five states with exits, timeouts into another state and validity rules (MACHINE below) over --machine-n
      events. Peers: the same machine written as vectorised gaps-and-islands in NumPy, Polars and DuckDB (exact
      because of this machine's shape, see the note printed with the table), and the Python loop, which runs any
      machine of these rules.
  (3) where zuldcore's time goes: the full state_spans call against the same call with a machine whose one
      trigger never fires (argument conversion, interning, one pass for the trigger), vocab_ids alone, and for
      (2) a one-state machine entered by its Pattern trigger alone (whose points come from the matching engine).
  (4) per patient: the machine of (1) run on each stay of a --patients-n log through one Corpus.state_spans call
      (1 and 2 threads) against one state_spans call per stay; then the cost of a document, over --docs documents
      of 1 to 3 events.
Except in (4), the log is one stream: positions and instances run over the whole concatenated log, across documents.
Every peer's ten columns are checked against zuldcore's (state, start_pos, end_pos, t_start, t_end, n_events,
close_reason, reject_reason, valid, timeout_entered) before anything is timed; a disagreement stops the script.
Throughput is stream positions per second; peak memory is measured per contender in a fresh process.

Run: python bench/bench_state.py [--sizes 1000000,10000000] [--machine-n 1000000] [--patients-n 1000000]
                                 [--docs 1000000] [--repeat 3] [--json PATH]
     python bench/bench_state.py --quick              # 100,000 events everywhere, no memory rows
     python bench/bench_state.py --quick --peers-only # without zuldcore's state machines: peers against the loop
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from functools import cached_property

import numpy as np

import zuldcore
from data import LogCase
from harness import Row, Table, add_common_args, median_time, peak_rss_of, shower, write_json

# Polars reads its thread count when it is imported, so --threads is applied before that; memory-measuring
# children inherit the environment, and connect() reads THREADS_ENV for DuckDB.
THREADS_ENV = "BENCH_STATE_THREADS"
if __name__ == "__main__":
    _pre = argparse.ArgumentParser(add_help=False)
    _pre.add_argument("--threads", type=int)
    _threads = _pre.parse_known_args()[0].threads
    if _threads:
        os.environ[THREADS_ENV] = os.environ["POLARS_MAX_THREADS"] = str(_threads)
import duckdb  # noqa: E402
import pandas as pd  # noqa: E402
import polars as pl  # noqa: E402

PACKAGES = ("zuldcore", "numpy", "pandas", "polars", "duckdb")
AHEAD = 1.0   # target: zuldcore ahead of every peer
FROM_STRINGS = 2.0   # (1s): twice as fast as every peer that starts from the same list of str
PER_PATIENT = 20.0   # (4): one corpus call against one call per patient
INF = math.inf

COLUMNS = ("state", "start_pos", "end_pos", "t_start", "t_end", "n_events", "close_reason", "reject_reason",
           "valid", "timeout_entered")
DTYPES = (np.int32, np.int64, np.int64, np.float64, np.float64, np.int64, np.int8, np.int8, np.int8, np.int8)
EXIT, TIMEOUT, TRANSITION, END_OF_STREAM = 0, 1, 2, 3                           # CLOSE_REASONS
NONE, UNCLOSED, TOO_SHORT, TOO_FEW_EVENTS, MISSING_REQUIRED = 0, 1, 2, 3, 4     # REJECT_REASONS


# ---------------------------------------------------------------- machines

@dataclass(frozen=True)
class Low:
    """A trigger on a token whose value is at most max_val (a one-element Pattern for zuldcore)."""
    token: str
    max_val: float


@dataclass(frozen=True)
class State:
    name: str
    max_gap: float = INF
    timeout_to: str | None = None
    min_events: int = 1
    min_duration: float = 0.0
    require: tuple = ()
    drop_unclosed: bool = True


@dataclass(frozen=True)
class Machine:
    """States in declaration order (ids 1, 2, ...), entry rules (state, trigger) from any state, exit rules
    (state, trigger, inclusive). A trigger is a token (str) or a Low. Everything else keeps its default: the
    clock is re-anchored by the state's own entry triggers, an entry into the open state refreshes it."""
    states: tuple[State, ...]
    entries: tuple[tuple[str, object], ...]
    exits: tuple[tuple[str, object, bool], ...] = ()

    def state_id(self, name: str) -> int:
        return [s.name for s in self.states].index(name) + 1


def one_state(token: str, max_gap: float) -> Machine:
    return Machine((State("bp_watch", max_gap=max_gap),), (("bp_watch", token),))


# (2): where the patient is and what is going on, one state at a time. Every rule keeps the default "from any
# state"; a discharge ends whatever is open.
HYPO_SBP, HYPO_GAP, RECOVERY_GAP, ABX_GAP = 100.0, 4.0, 6.0, 8.0
MACHINE = Machine(
    states=(
        State("ed"),                                                    # ED_ARRIVAL until ED_DEPART
        State("icu", require=("LACTATE",)),                             # valid only with a lactate drawn
        State("hypotension", max_gap=HYPO_GAP, timeout_to="recovery", min_events=2),
        State("recovery", max_gap=RECOVERY_GAP),                        # entered only by timeout
        State("abx", max_gap=ABX_GAP, min_duration=1.0),                # doses at most 8 h apart
    ),
    entries=(("ed", "ED_ARRIVAL"), ("icu", "ICU_ADMIT"), ("hypotension", Low("SBP", HYPO_SBP)),
             ("abx", "ABX_START")),
    exits=(("ed", "ED_DEPART", True), ("ed", "DISCHARGE", True), ("icu", "DISCHARGE", True),
           ("hypotension", "DISCHARGE", True), ("recovery", "DISCHARGE", True), ("abx", "DISCHARGE", True)),
)
MACHINE_NOTE = ("the vectorised peers are exact for this machine only: every entry is from any state and the "
                "timeout target has no sustain, so each instance ends at the first of its exit, the next entry or "
                "its deadline; from_states or a sustained timeout target would need a loop")
NEVER = "NO_SUCH_TOKEN"   # (3): a trigger that fires nowhere


def zuldcore_ref(trigger):
    if isinstance(trigger, Low):
        p = zuldcore.Pattern()
        p.add_event(trigger.token, max_val=trigger.max_val)
        return p
    return trigger


def zuldcore_machine(m: Machine):
    sm = zuldcore.StateMachine()
    for s in m.states:
        kw = {}
        if s.max_gap != INF:
            kw["max_gap"] = s.max_gap
        if s.require:
            kw["require"] = [zuldcore_ref(r) for r in s.require]
        sm.add_state(s.name, timeout_to=s.timeout_to, min_events=s.min_events, min_duration=s.min_duration,
                     drop_unclosed=s.drop_unclosed, **kw)
    for state, trigger in m.entries:
        sm.add_entry(state, zuldcore_ref(trigger))
    for state, trigger, inclusive in m.exits:
        sm.add_exit(state, zuldcore_ref(trigger), inclusive=inclusive)
    return sm


def state_machines_available() -> bool:
    try:
        sm = zuldcore_machine(one_state("A", 1.0))
        zuldcore.state_spans(["A"], [0.0], sm)
    except NotImplementedError:
        return False
    return True


# ---------------------------------------------------------------- inputs

class StreamCase(LogCase):
    """The log as a pandas Series, a Polars frame and a DuckDB table."""

    @cached_property
    def series(self) -> pd.Series:
        """object dtype: pandas.factorize codes it several times faster than pandas' default str dtype."""
        return pd.Series(self.tokens, dtype=object)

    @cached_property
    def df(self) -> pl.DataFrame:
        return polars_frame(self.tokens, self.times, self.values)

    @cached_property
    def con(self):
        con = connect()
        duckdb_load(con, self.tokens, self.times, self.values)
        return con


def connect():
    """A DuckDB connection; with --threads, limited to that many threads (children inherit the setting).

    The as-of joins below have a few thousand rows on their left, but the planner estimates them (after a
    GROUP BY) at under asof_loop_join_threshold rows and turns the join into a nested loop over the whole table,
    some 3 s at 100,000 events and quadratic; with the threshold at 0 it keeps its sort-merge as-of join.
    The progress bar is off: it writes to stdout, where the memory-measuring children report."""
    con = duckdb.connect()
    con.execute("SET asof_loop_join_threshold = 0")
    con.execute("SET enable_progress_bar = false")
    if os.environ.get(THREADS_ENV):
        con.execute(f"SET threads = {int(os.environ[THREADS_ENV])}")
    return con


def polars_frame(tokens: list[str], times: np.ndarray, values: np.ndarray) -> pl.DataFrame:
    return pl.DataFrame({"pos": np.arange(len(tokens), dtype=np.int64), "tok": tokens, "t": times, "v": values})


def duckdb_load(con, tokens: list[str], times: np.ndarray, values: np.ndarray) -> None:
    frame = pd.DataFrame({"pos": np.arange(len(tokens), dtype=np.int64),
                          "tok": np.array(tokens, dtype=object), "t": times, "v": values})
    con.register("ev_frame", frame)
    con.execute("CREATE OR REPLACE TABLE ev AS SELECT * FROM ev_frame")
    con.unregister("ev_frame")


# ---------------------------------------------------------------- zuldcore

def reads_values(m: Machine) -> bool:
    triggers = [t for _, t in m.entries] + [t for _, t, _ in m.exits] + [r for s in m.states for r in s.require]
    return any(isinstance(t, Low) for t in triggers)


def spans_zuldcore(case: StreamCase, m: Machine, values: bool | None = None) -> dict:
    """state_spans over the list of str and the float64 times, with the values when the machine reads them
    (or when values is True)."""
    if values is None:
        values = reads_values(m)
    return zuldcore.state_spans(case.tokens, case.times, zuldcore_machine(m), values=case.values if values else None)


def vocab_zuldcore(case: StreamCase) -> list[int]:
    return zuldcore.vocab_ids(case.tokens)


# ---------------------------------------------------------------- the Python loop

def spans_python(case: StreamCase, m: Machine) -> dict:
    return run_python(case.tokens, case.times, case.values, m)


def run_python(tokens: list[str], times, values, m: Machine) -> dict:
    """The machine run written as a plain loop over the positions where a trigger fires. Positions in between
    only matter for expiry, and with times that never decrease the instance closed by a timeout and its end
    position come out the same when the expiry is settled at the next firing position (or the end)."""
    n = len(tokens)
    ids = {s.name: k + 1 for k, s in enumerate(m.states)}
    states = {k + 1: s for k, s in enumerate(m.states)}
    triggers: list = []

    def index(trigger) -> int:
        if trigger not in triggers:
            triggers.append(trigger)
        return triggers.index(trigger)

    entries = [(1 << index(trig), ids[state]) for state, trig in m.entries]
    exits = [(1 << index(trig), ids[state], inclusive) for state, trig, inclusive in m.exits]
    n_rules = len(triggers)
    require = {ids[s.name]: [index(r) for r in s.require] for s in m.states}
    sustain = {k: 0 for k in states}
    for bit, target in entries:
        sustain[target] |= bit
    timeout_to = {k: (ids[s.timeout_to] if s.timeout_to else 0) for k, s in states.items()}

    by_token: dict[str, list] = {}
    for k, trig in enumerate(triggers):
        token, max_val = (trig.token, trig.max_val) if isinstance(trig, Low) else (trig, None)
        by_token.setdefault(token, []).append((k, max_val))
    hits: list[list[int]] = [[] for _ in triggers]
    fire_pos: list[int] = []
    fire_mask: list[int] = []
    for i, tok in enumerate(tokens):
        found = by_token.get(tok)
        if found is None:
            continue
        mask = 0
        for k, max_val in found:
            if max_val is None or values[i] <= max_val:
                mask |= 1 << k
                hits[k].append(i)
        mask &= (1 << n_rules) - 1   # require-only triggers fire no rule
        if mask:
            fire_pos.append(i)
            fire_mask.append(mask)

    tl = times.tolist() if isinstance(times, np.ndarray) else list(times)
    closed = []          # (start, end, t_start, t_end, n_events, state, close_reason, timeout_entered)
    cur = None           # [start, t_start, n_events, state, timeout_entered]
    anchor, deadline = math.nan, INF

    def close(end: int, t_end: float, reason: int) -> None:
        closed.append((cur[0], end, cur[1], t_end, cur[2], cur[3], reason, cur[4]))

    def expire_until(p: int, t: float) -> None:
        nonlocal cur, anchor, deadline
        chain = 0
        while cur is not None and t > deadline:
            start = cur[0]
            g = bisect_right(tl, deadline, start, p) - 1
            if g < start:
                g = start - 1 if cur[4] else start
            t_end = max(deadline, cur[1])
            close(g, t_end, TIMEOUT)
            chain += 1
            target = timeout_to[cur[3]]
            if not target or chain >= len(states):
                cur, deadline = None, INF
                break
            cur = [g + 1, t_end, 0, target, True]
            anchor, deadline = t_end, t_end + states[target].max_gap

    for p, mask in zip(fire_pos, fire_mask):
        tp = tl[p]
        expire_until(p, tp)
        cur_state = cur[3] if cur is not None else 0
        counted = entered = False
        for bit, target in entries:
            if mask & bit:
                if target == cur_state:            # refresh
                    anchor = tp
                    cur[2] += 1
                    counted = True
                else:
                    if cur is not None:            # transition, closes at the position before the entry
                        close(max(cur[0], p) - 1 if cur[4] else max(cur[0], p - 1 if p else 0), tp, TRANSITION)
                    cur = [p, tp, 1, target, False]
                    anchor = tp
                    counted = entered = True
                break
        if cur is None:
            continue
        state = cur[3]
        if mask & sustain[state]:
            if not counted:
                cur[2] += 1
            anchor = tp
        deadline = anchor + states[state].max_gap
        if not entered:
            for bit, st, inclusive in exits:
                if st == state and mask & bit:
                    if inclusive:
                        end = p if cur[4] else max(cur[0], p)
                    else:
                        end = max(cur[0], p) - 1 if cur[4] else max(cur[0], p - 1 if p else 0)
                    close(end, tp, EXIT)
                    cur, deadline = None, INF
                    break
    if n:
        expire_until(n, tl[n - 1])
        if cur is not None:
            close(n - 1 if cur[4] else max(n - 1, cur[0]), tl[n - 1], END_OF_STREAM)

    closed.sort(key=lambda r: (r[0], r[2]))
    out = {c: [] for c in COLUMNS}
    for start, end, t_start, t_end, n_events, state, reason, te in closed:
        d = states[state]
        reject = NONE
        if d.drop_unclosed and reason == END_OF_STREAM:
            reject = UNCLOSED
        elif d.min_duration > 0 and d.min_duration > t_end - t_start:
            reject = TOO_SHORT
        elif not te and n_events < d.min_events:
            reject = TOO_FEW_EVENTS
        else:
            for k in require[state]:
                j = bisect_left(hits[k], start)
                if j == len(hits[k]) or hits[k][j] > end:
                    reject = MISSING_REQUIRED
                    break
        for c, x in zip(COLUMNS, (state, start, end, t_start, t_end, n_events, reason, reject, reject == NONE, te)):
            out[c].append(x)
    return {c: np.array(out[c], dtype=dt) for c, dt in zip(COLUMNS, DTYPES)}


# ---------------------------------------------------------------- (1) one state: gaps and islands

def islands_numpy(pos: np.ndarray, times: np.ndarray, max_gap: float) -> dict:
    """Trigger positions (sorted) to instances: an island ends where the next trigger's time exceeds the previous
    one's plus max_gap; it times out at that deadline, owning the positions up to the last one whose time is
    within it, unless the stream ends first (then it is open at the end, hence invalid)."""
    n, k = len(times), len(pos)
    if k == 0:
        return {c: np.zeros(0, dt) for c, dt in zip(COLUMNS, DTYPES)}
    tp = times[pos]
    first = np.empty(k, dtype=bool)
    first[0] = True
    np.greater(tp[1:], tp[:-1] + max_gap, out=first[1:])
    starts = np.flatnonzero(first)
    lasts = np.append(starts[1:] - 1, k - 1)
    deadline = tp[lasts] + max_gap
    timed_out = times[-1] > deadline
    end_pos = np.where(timed_out, np.searchsorted(times, deadline, side="right") - 1, n - 1)
    return {"state": np.ones(len(starts), np.int32), "start_pos": pos[starts].astype(np.int64),
            "end_pos": end_pos.astype(np.int64), "t_start": tp[starts],
            "t_end": np.where(timed_out, deadline, times[-1]), "n_events": (lasts - starts + 1).astype(np.int64),
            "close_reason": np.where(timed_out, TIMEOUT, END_OF_STREAM).astype(np.int8),
            "reject_reason": np.where(timed_out, NONE, UNCLOSED).astype(np.int8),
            "valid": timed_out.astype(np.int8), "timeout_entered": np.zeros(len(starts), np.int8)}


def one_numpy(case: StreamCase, token: str, max_gap: float) -> dict:
    return islands_numpy(np.flatnonzero(case.tokens_array == token), case.times, max_gap)


def one_factorize(case: StreamCase, token: str, max_gap: float) -> dict:
    codes, uniques = pd.factorize(case.series)
    where = np.flatnonzero(uniques == token)
    pos = np.flatnonzero(codes == where[0]) if len(where) else np.zeros(0, np.int64)
    return islands_numpy(pos, case.times, max_gap)


def one_polars(case: StreamCase, token: str, max_gap: float) -> dict:
    return islands_polars(case.df, token, max_gap)


def islands_polars(df: pl.DataFrame, token: str, max_gap: float) -> dict:
    trig = (df.lazy().filter(pl.col("tok") == token).select("pos", "t")
            .with_columns(first=(pl.col("t") > pl.col("t").shift(1) + max_gap).fill_null(True),
                          last=(pl.col("t").shift(-1) > pl.col("t") + max_gap).fill_null(True))
            .with_row_index("i")
            .collect())
    starts = trig.filter(pl.col("first")).select(pl.col("i").alias("i0"), pl.col("pos").alias("start_pos"),
                                                 pl.col("t").alias("t_start"))
    lasts = trig.filter(pl.col("last")).select(pl.col("i").alias("i1"), (pl.col("t") + max_gap).alias("deadline"))
    inst = pl.concat([starts, lasts], how="horizontal")
    t_last = df["t"][-1] if len(df) else 0.0
    end = df["t"].search_sorted(inst["deadline"], side="right").cast(pl.Int64) - 1
    timed_out = pl.col("deadline") < t_last
    return (inst.with_columns(g=end)
            .select(state=pl.lit(1, pl.Int32), start_pos="start_pos",
                    end_pos=pl.when(timed_out).then(pl.col("g")).otherwise(len(df) - 1),
                    t_start="t_start", t_end=pl.when(timed_out).then(pl.col("deadline")).otherwise(t_last),
                    n_events=(pl.col("i1") - pl.col("i0") + 1).cast(pl.Int64),
                    close_reason=pl.when(timed_out).then(TIMEOUT).otherwise(END_OF_STREAM).cast(pl.Int8),
                    reject_reason=pl.when(timed_out).then(NONE).otherwise(UNCLOSED).cast(pl.Int8),
                    valid=timed_out.cast(pl.Int8), timeout_entered=pl.lit(0, pl.Int8)))


# (1s): the same peers starting from the list of str, as zuldcore does; each pays its cheapest coding of the
# strings inside the timed call.

def one_numpy_list(case: StreamCase, token: str, max_gap: float) -> dict:
    """An object array compares the list's str objects to the token several times faster than NumPy builds a
    str array from them."""
    return islands_numpy(np.flatnonzero(np.array(case.tokens, dtype=object) == token), case.times, max_gap)


def one_factorize_list(case: StreamCase, token: str, max_gap: float) -> dict:
    codes, uniques = pd.factorize(pd.Series(case.tokens, dtype=object))
    where = np.flatnonzero(uniques == token)
    pos = np.flatnonzero(codes == where[0]) if len(where) else np.zeros(0, np.int64)
    return islands_numpy(pos, case.times, max_gap)


def one_polars_list(case: StreamCase, token: str, max_gap: float) -> dict:
    return islands_polars(polars_frame(case.tokens, case.times, case.values), token, max_gap)


# The last position whose time is within a deadline: an as-of join finds a position with the largest time at or
# before the deadline, and the join on that time takes the last position sharing it (equal times are common).
DUCK_LAST_WITHIN = """
    {name} AS (
        SELECT a.{key} AS {key}, max(e.pos) AS g
        FROM (SELECT x.{key}, b.t AS tb FROM {src} x ASOF JOIN ev b ON x.{deadline} >= b.t) a
        JOIN ev e ON e.t = a.tb GROUP BY a.{key})"""


def one_duckdb(case: StreamCase, token: str, max_gap: float) -> dict:
    q = f"""
    WITH trig AS (SELECT pos, t FROM ev WHERE tok = $tok),
    flag AS (SELECT pos, t, coalesce(t > lag(t) OVER (ORDER BY pos) + $gap, true) AS first FROM trig),
    isl AS (SELECT *, sum(first::INT) OVER (ORDER BY pos ROWS UNBOUNDED PRECEDING) AS k FROM flag),
    inst AS (SELECT k, min(pos) AS start_pos, min(t) AS t_start, count(*) AS n_events, max(t) + $gap AS deadline
             FROM isl GROUP BY k),
    last_ev AS (SELECT pos AS n1, t AS t_last FROM ev ORDER BY pos DESC LIMIT 1),
    {DUCK_LAST_WITHIN.format(name="within", key="k", src="inst", deadline="deadline").strip()}
    SELECT 1::INTEGER AS state, start_pos,
           CASE WHEN t_last > deadline THEN g ELSE n1 END AS end_pos, t_start,
           CASE WHEN t_last > deadline THEN deadline ELSE t_last END AS t_end, n_events,
           CASE WHEN t_last > deadline THEN {TIMEOUT} ELSE {END_OF_STREAM} END::TINYINT AS close_reason,
           CASE WHEN t_last > deadline THEN {NONE} ELSE {UNCLOSED} END::TINYINT AS reject_reason,
           (t_last > deadline)::TINYINT AS valid, 0::TINYINT AS timeout_entered
    FROM inst JOIN within USING (k) CROSS JOIN last_ev ORDER BY start_pos"""
    return case.con.execute(q, {"tok": token, "gap": max_gap}).fetchnumpy()


# ---------------------------------------------------------------- (2) five states: gaps and islands with closes
#
# With every entry rule "from any state", an entry opens a new instance unless the previous entry went to the
# same state, no exit of that state came in between and it came within the state's max_gap (a refresh). An
# instance then ends at the first of: its own exit, the next entry (a transition), or its deadline (the last
# entry's time plus max_gap; hypotension then opens recovery at the deadline, which recovery's first exit, the
# next entry or its own deadline ends in turn; an exit or entry before the hypotension deadline would have closed
# hypotension itself, so it is the same first event). Whatever is still open at the end is closed there.

STATE_IDS = {s.name: k + 1 for k, s in enumerate(MACHINE.states)}
ED, ICU, HYPO, RECOVERY, ABX = (STATE_IDS[x] for x in ("ed", "icu", "hypotension", "recovery", "abx"))
GAPS = np.array([INF] + [s.max_gap for s in MACHINE.states])                   # by state id
MIN_EVENTS = np.array([0] + [s.min_events for s in MACHINE.states])
MIN_DURATION = np.array([0.0] + [s.min_duration for s in MACHINE.states])


def machine_numpy(codes: np.ndarray, uniques, times: np.ndarray, values: np.ndarray) -> dict:
    """MACHINE over a coded stream (codes index uniques)."""
    n = len(times)
    lookup = {tok: k for k, tok in enumerate(uniques)}

    def code(tok: str) -> int:
        return lookup.get(tok, -1)

    target = np.zeros(len(uniques), dtype=np.int32)          # entry target by code, 0: none
    for tok, st in (("ED_ARRIVAL", ED), ("ICU_ADMIT", ICU), ("ABX_START", ABX)):
        if code(tok) >= 0:
            target[code(tok)] = st
    x = target[codes]
    sbp = code("SBP")
    if sbp >= 0:
        x[(codes == sbp) & (values <= HYPO_SBP)] = HYPO
    e = np.flatnonzero(x)
    xe = x[e]
    te = times[e]
    discharge = np.flatnonzero(codes == code("DISCHARGE"))
    ed_exit = np.flatnonzero((codes == code("DISCHARGE")) | (codes == code("ED_DEPART")))
    lactate = np.flatnonzero(codes == code("LACTATE"))

    def next_of(stops: np.ndarray, after: np.ndarray) -> np.ndarray:
        j = np.searchsorted(stops, after, side="right")
        return np.append(stops, n)[j]                       # n: none

    cx = np.where(xe == ED, next_of(ed_exit, e), next_of(discharge, e))   # each entry's next own exit
    k = len(e)
    if k == 0:
        return {c: np.zeros(0, dt) for c, dt in zip(COLUMNS, DTYPES)}
    new = np.ones(k, dtype=bool)
    new[1:] = ~((xe[1:] == xe[:-1]) & (cx[:-1] > e[1:]) & (te[1:] <= te[:-1] + GAPS[xe[1:]]))
    starts = np.flatnonzero(new)
    lasts = np.append(starts[1:] - 1, k - 1)
    st = xe[starts]
    start = e[starts]
    t_start = te[starts]
    n_events = lasts - starts + 1
    deadline = te[lasts] + GAPS[st]
    fe = np.minimum(cx[lasts], np.append(start[1:], n))   # first exit or next entry; n: none
    t_last = times[-1] if n else 0.0
    t_fe = times[np.minimum(fe, n - 1)] if n else np.zeros(len(fe))

    def ends(start, t_start, deadline, fe, cx, t_fe, timeout_entered):
        by_event = (fe < n) & (t_fe <= deadline)
        is_exit = by_event & (fe == cx)
        timed_out = ~by_event & (t_last > deadline)
        g = np.searchsorted(times, deadline, side="right") - 1
        if timeout_entered:   # exit: the exit's position; transition: the one before the entry
            end = np.where(is_exit, fe, np.where(by_event, np.maximum(start, fe) - 1,
                                                 np.where(timed_out, np.maximum(g, start - 1), n - 1)))
        else:
            end = np.where(is_exit, np.maximum(start, fe),
                           np.where(by_event, np.maximum(start, fe - 1),
                                    np.where(timed_out, np.maximum(g, start), np.maximum(n - 1, start))))
        t_end = np.where(by_event, t_fe, np.where(timed_out, np.maximum(deadline, t_start), t_last))
        reason = np.where(is_exit, EXIT, np.where(by_event, TRANSITION, np.where(timed_out, TIMEOUT, END_OF_STREAM)))
        return end, t_end, reason, timed_out, g

    cx_last = cx[lasts]
    end, t_end, reason, timed_out, g = ends(start, t_start, deadline, fe, cx_last, t_fe, False)
    rec = np.flatnonzero(timed_out & (st == HYPO))
    r_start, r_t_start = g[rec] + 1, deadline[rec]
    r_end, r_t_end, r_reason, _, _ = ends(r_start, r_t_start, r_t_start + GAPS[RECOVERY], fe[rec], cx_last[rec],
                                          t_fe[rec], True)
    m = len(rec)
    cols = {
        "state": np.concatenate([st, np.full(m, RECOVERY)]).astype(np.int32),
        "start_pos": np.concatenate([start, r_start]).astype(np.int64),
        "end_pos": np.concatenate([end, r_end]).astype(np.int64),
        "t_start": np.concatenate([t_start, r_t_start]),
        "t_end": np.concatenate([t_end, r_t_end]),
        "n_events": np.concatenate([n_events, np.zeros(m, np.int64)]).astype(np.int64),
        "close_reason": np.concatenate([reason, r_reason]).astype(np.int8),
        "timeout_entered": np.concatenate([np.zeros(len(st), np.int8), np.ones(m, np.int8)]),
    }
    s, te_ = cols["state"], cols["timeout_entered"].astype(bool)
    j = np.searchsorted(lactate, cols["start_pos"])
    has_lactate = np.append(lactate, n)[j] <= cols["end_pos"]
    reject = np.select(
        [cols["close_reason"] == END_OF_STREAM,
         (MIN_DURATION[s] > 0) & (MIN_DURATION[s] > cols["t_end"] - cols["t_start"]),
         ~te_ & (cols["n_events"] < MIN_EVENTS[s]),
         (s == ICU) & ~has_lactate],
        [UNCLOSED, TOO_SHORT, TOO_FEW_EVENTS, MISSING_REQUIRED], NONE).astype(np.int8)
    cols["reject_reason"] = reject
    cols["valid"] = (reject == NONE).astype(np.int8)
    order = np.lexsort((cols["t_start"], cols["start_pos"]))
    return {c: cols[c][order] for c in COLUMNS}


def machine_factorize(case: StreamCase) -> dict:
    codes, uniques = pd.factorize(case.series)
    return machine_numpy(codes, list(uniques), case.times, case.values)


def machine_polars(case: StreamCase) -> dict:
    df = case.df
    n = len(df)
    t_all = df["t"]
    t_last = t_all[-1] if n else 0.0
    gap = pl.col("x").replace_strict({s: float(g) for s, g in enumerate(GAPS.tolist())}, return_dtype=pl.Float64)
    x = (pl.when(pl.col("tok") == "ED_ARRIVAL").then(ED).when(pl.col("tok") == "ICU_ADMIT").then(ICU)
         .when(pl.col("tok") == "ABX_START").then(ABX)
         .when((pl.col("tok") == "SBP") & (pl.col("v") <= HYPO_SBP)).then(HYPO).otherwise(0))
    ev = (df.lazy()
          .filter(pl.col("tok").is_in(["ED_ARRIVAL", "ICU_ADMIT", "ABX_START", "ED_DEPART", "DISCHARGE", "LACTATE"])
                  | ((pl.col("tok") == "SBP") & (pl.col("v") <= HYPO_SBP)))
          .select("pos", "t", "tok", x.cast(pl.Int32).alias("x"))
          .with_columns(
              dis=pl.when(pl.col("tok") == "DISCHARGE").then(pl.col("pos")).backward_fill().fill_null(n),
              edx=pl.when(pl.col("tok").is_in(["DISCHARGE", "ED_DEPART"])).then(pl.col("pos"))
                  .backward_fill().fill_null(n))
          .collect())
    lactate = ev.filter(pl.col("tok") == "LACTATE")["pos"]
    ent = (ev.lazy().filter(pl.col("x") > 0)
           .select("pos", "t", "x", cx=pl.when(pl.col("x") == ED).then(pl.col("edx")).otherwise(pl.col("dis")))
           .with_columns(new=~((pl.col("x") == pl.col("x").shift(1, fill_value=0))
                               & (pl.col("cx").shift(1) > pl.col("pos"))
                               & (pl.col("t") <= pl.col("t").shift(1) + gap)).fill_null(True))
           .with_columns(last=pl.col("new").shift(-1).fill_null(True))
           .with_row_index("i"))
    starts = ent.filter(pl.col("new")).select("i", start="pos", t_start="t", st="x")
    lasts = ent.filter(pl.col("last")).select(i1="i", cx="cx", deadline=pl.col("t") + gap)
    inst = (pl.concat([starts, lasts], how="horizontal")
            .with_columns(n_events=(pl.col("i1") - pl.col("i") + 1).cast(pl.Int64),
                          fe=pl.min_horizontal("cx", pl.col("start").shift(-1).fill_null(n)))
            .collect())
    inst = inst.with_columns(t_fe=t_all.gather(inst["fe"].clip(0, max(n - 1, 0))) if n else pl.lit(0.0))

    def close(frame: pl.DataFrame, timeout_entered: bool) -> pl.DataFrame:
        g = t_all.search_sorted(frame["deadline"], side="right").cast(pl.Int64) - 1
        by_event = (pl.col("fe") < n) & (pl.col("t_fe") <= pl.col("deadline"))
        is_exit = by_event & (pl.col("fe") == pl.col("cx"))
        timed_out = ~by_event & (pl.col("deadline") < t_last)
        if timeout_entered:
            end = (pl.when(is_exit).then(pl.col("fe")).when(by_event).then(pl.max_horizontal("start", "fe") - 1)
                   .when(timed_out).then(pl.max_horizontal("g", pl.col("start") - 1)).otherwise(n - 1))
        else:
            end = (pl.when(is_exit).then(pl.max_horizontal("start", "fe"))
                   .when(by_event).then(pl.max_horizontal("start", pl.col("fe") - 1))
                   .when(timed_out).then(pl.max_horizontal("g", "start")).otherwise(pl.max_horizontal(n - 1, "start")))
        return frame.with_columns(g=g).with_columns(
            end_pos=end.cast(pl.Int64),
            t_end=pl.when(by_event).then("t_fe").when(timed_out).then(pl.max_horizontal("deadline", "t_start"))
            .otherwise(t_last),
            close_reason=pl.when(is_exit).then(EXIT).when(by_event).then(TRANSITION).when(timed_out).then(TIMEOUT)
            .otherwise(END_OF_STREAM).cast(pl.Int8))

    inst = close(inst, False)
    rec = (inst.filter((pl.col("close_reason") == TIMEOUT) & (pl.col("st") == HYPO))
           .select((pl.col("g") + 1).alias("start"), pl.col("deadline").alias("t_start"), "cx", "fe", "t_fe",
                   deadline=pl.col("deadline") + float(GAPS[RECOVERY]), st=pl.lit(RECOVERY, pl.Int32),
                   n_events=pl.lit(0, pl.Int64)))
    rec = close(rec, True)
    cols = ["st", "start", "end_pos", "t_start", "t_end", "n_events", "close_reason"]
    out = pl.concat([inst.select(cols).with_columns(timeout_entered=pl.lit(0, pl.Int8)),
                     rec.select(cols).with_columns(timeout_entered=pl.lit(1, pl.Int8))])
    j = lactate.search_sorted(out["start"], side="left")
    first_lactate = pl.concat([lactate, pl.Series([n], dtype=lactate.dtype)]).gather(j)
    min_events = pl.col("st").replace_strict(dict(enumerate(MIN_EVENTS.tolist())), return_dtype=pl.Int64)
    min_duration = pl.col("st").replace_strict(dict(enumerate(MIN_DURATION.tolist())), return_dtype=pl.Float64)
    reject = (pl.when(pl.col("close_reason") == END_OF_STREAM).then(UNCLOSED)
              .when((min_duration > 0) & (min_duration > pl.col("t_end") - pl.col("t_start"))).then(TOO_SHORT)
              .when((pl.col("timeout_entered") == 0) & (pl.col("n_events") < min_events)).then(TOO_FEW_EVENTS)
              .when((pl.col("st") == ICU) & (pl.col("lac") > pl.col("end_pos"))).then(MISSING_REQUIRED)
              .otherwise(NONE).cast(pl.Int8))
    return (out.with_columns(lac=first_lactate).with_columns(reject_reason=reject)
            .sort("start", "t_start", maintain_order=True)
            .select(state=pl.col("st").cast(pl.Int32), start_pos="start", end_pos="end_pos", t_start="t_start",
                    t_end="t_end", n_events="n_events", close_reason="close_reason", reject_reason="reject_reason",
                    valid=(pl.col("reject_reason") == NONE).cast(pl.Int8), timeout_entered="timeout_entered"))


def machine_duckdb(case: StreamCase) -> dict:
    """MACHINE in SQL: temporary tables for the entries and the instances, window functions for the islands and
    the next exit, as-of joins for the last position within a deadline and for the first lactate."""
    con = case.con
    gap = (f"CASE x WHEN {HYPO} THEN {HYPO_GAP!r} WHEN {ABX} THEN {ABX_GAP!r} "
           f"WHEN {RECOVERY} THEN {RECOVERY_GAP!r} ELSE 'inf'::DOUBLE END")
    con.execute(f"""
    CREATE OR REPLACE TEMP TABLE ent AS
    WITH e AS (
        SELECT pos, t, tok, CASE WHEN tok = 'ED_ARRIVAL' THEN {ED} WHEN tok = 'ICU_ADMIT' THEN {ICU}
                                 WHEN tok = 'ABX_START' THEN {ABX} WHEN tok = 'SBP' THEN {HYPO} ELSE 0 END AS x
        FROM ev WHERE tok IN ('ED_ARRIVAL', 'ICU_ADMIT', 'ABX_START', 'ED_DEPART', 'DISCHARGE')
                      OR (tok = 'SBP' AND v <= {HYPO_SBP!r})),
    nx AS (
        SELECT pos, t, x,
               min(CASE WHEN tok = 'DISCHARGE' THEN pos END) OVER w AS dis,
               min(CASE WHEN tok IN ('DISCHARGE', 'ED_DEPART') THEN pos END) OVER w AS edx
        FROM e WINDOW w AS (ORDER BY pos ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING)),
    c AS (SELECT pos, t, x, coalesce(CASE WHEN x = {ED} THEN edx ELSE dis END, $n) AS cx FROM nx WHERE x > 0)
    SELECT *, coalesce(NOT (lag(x) OVER w = x AND lag(cx) OVER w > pos AND t <= lag(t) OVER w + {gap}), true) AS new
    FROM c WINDOW w AS (ORDER BY pos)""", {"n": case.n})
    con.execute(f"""
    CREATE OR REPLACE TEMP TABLE inst AS
    WITH isl AS (SELECT *, sum(new::INT) OVER (ORDER BY pos ROWS UNBOUNDED PRECEDING) AS k FROM ent),
    g AS (SELECT k, min(pos) AS start_pos, min(t) AS t_start, count(*) AS n_events, any_value(x) AS x,
                 max(t) AS t_lastentry, arg_max(cx, pos) AS cx FROM isl GROUP BY k)
    SELECT k, start_pos, t_start, n_events, x, cx, t_lastentry + {gap} AS deadline,
           least(cx, coalesce(lead(start_pos) OVER (ORDER BY start_pos), $n)) AS fe FROM g""", {"n": case.n})
    q = f"""
    WITH last_ev AS (SELECT pos AS n1, t AS t_last FROM ev ORDER BY pos DESC LIMIT 1),
    i AS (SELECT inst.*, coalesce(ev.t, 'inf'::DOUBLE) AS t_fe FROM inst LEFT JOIN ev ON ev.pos = inst.fe),
    {DUCK_LAST_WITHIN.format(name="within", key="k", src="inst", deadline="deadline").strip()},
    a AS (
        SELECT i.*, g, t_last, n1, fe < $n AND t_fe <= deadline AS by_event,
               NOT (fe < $n AND t_fe <= deadline) AND t_last > deadline AS timed_out
        FROM i JOIN within USING (k) CROSS JOIN last_ev),
    closed AS (
        SELECT k, x AS state, start_pos,
               CASE WHEN by_event AND fe = cx THEN fe WHEN by_event THEN fe - 1 WHEN timed_out THEN g ELSE n1 END
                   AS end_pos,
               t_start,
               CASE WHEN by_event THEN t_fe WHEN timed_out THEN deadline ELSE t_last END AS t_end, n_events,
               CASE WHEN by_event AND fe = cx THEN {EXIT} WHEN by_event THEN {TRANSITION}
                    WHEN timed_out THEN {TIMEOUT} ELSE {END_OF_STREAM} END AS close_reason,
               0 AS timeout_entered, g, deadline, fe, cx, t_fe, t_last, n1
        FROM a),
    r0 AS (SELECT k, g + 1 AS start_pos, deadline AS t_start, deadline + {RECOVERY_GAP!r} AS deadline, fe, cx, t_fe,
                  t_last, n1
           FROM closed WHERE close_reason = {TIMEOUT} AND state = {HYPO}),
    {DUCK_LAST_WITHIN.format(name="r_within", key="k", src="r0", deadline="deadline").strip()},
    r AS (SELECT r0.*, g, fe < $n AND t_fe <= deadline AS by_event,
                 NOT (fe < $n AND t_fe <= deadline) AND t_last > deadline AS timed_out
          FROM r0 JOIN r_within USING (k)),
    recovery AS (
        SELECT {RECOVERY} AS state, start_pos,
               CASE WHEN by_event AND fe = cx THEN fe WHEN by_event THEN fe - 1 WHEN timed_out THEN g
                    ELSE n1 END AS end_pos,
               t_start, CASE WHEN by_event THEN t_fe WHEN timed_out THEN deadline ELSE t_last END AS t_end,
               0 AS n_events,
               CASE WHEN by_event AND fe = cx THEN {EXIT} WHEN by_event THEN {TRANSITION}
                    WHEN timed_out THEN {TIMEOUT} ELSE {END_OF_STREAM} END AS close_reason, 1 AS timeout_entered
        FROM r),
    every AS (
        SELECT state, start_pos, end_pos, t_start, t_end, n_events, close_reason, timeout_entered FROM closed
        UNION ALL SELECT * FROM recovery),
    lactate AS (SELECT pos AS lac FROM ev WHERE tok = 'LACTATE'),
    checked AS (
        SELECT every.*,
               CASE WHEN close_reason = {END_OF_STREAM} THEN {UNCLOSED}
                    WHEN state = {ABX} AND t_end - t_start < {float(MIN_DURATION[ABX])!r} THEN {TOO_SHORT}
                    WHEN timeout_entered = 0 AND state = {HYPO} AND n_events < {int(MIN_EVENTS[HYPO])}
                        THEN {TOO_FEW_EVENTS}
                    WHEN state = {ICU} AND coalesce(lac, $n) > end_pos THEN {MISSING_REQUIRED}
                    ELSE {NONE} END AS reject_reason
        FROM every ASOF LEFT JOIN lactate ON every.start_pos <= lactate.lac)
    SELECT state::INTEGER AS state, start_pos, end_pos, t_start, t_end, n_events, close_reason::TINYINT AS close_reason,
           reject_reason::TINYINT AS reject_reason, (reject_reason = {NONE})::TINYINT AS valid,
           timeout_entered::TINYINT AS timeout_entered
    FROM checked ORDER BY start_pos, t_start"""
    return con.execute(q, {"n": case.n}).fetchnumpy()


# ---------------------------------------------------------------- checks

def as_columns(result) -> dict[str, np.ndarray]:
    if isinstance(result, pl.DataFrame):
        return {c: result[c].to_numpy() for c in COLUMNS}
    return {c: np.asarray(result[c]) for c in COLUMNS}


def check_columns(r: dict) -> None:
    """zuldcore's dictionary: the ten columns in order, with their dtypes and one length."""
    assert list(r) == list(COLUMNS), f"state_spans keys {list(r)}"
    for c, dt in zip(COLUMNS, DTYPES):
        assert r[c].dtype == dt and r[c].shape == r["state"].shape, f"state_spans column {c}: {r[c].dtype}"


def assert_same(name: str, got, want: dict) -> None:
    got = as_columns(got)
    if len(got["start_pos"]) != len(want["start_pos"]):
        first = int(np.flatnonzero(np.append(got["start_pos"][:len(want["start_pos"])] !=
                                             want["start_pos"][:len(got["start_pos"])], True))[0])
        raise AssertionError(f"{name} disagrees with state_spans: {len(got['start_pos']):,} instances against "
                             f"{len(want['start_pos']):,}; first different start at row {first}")
    for c in COLUMNS:
        bad = np.flatnonzero(got[c] != want[c])
        if len(bad):
            i = int(bad[0])
            raise AssertionError(f"{name} disagrees with state_spans in {c} on {len(bad):,} instances, e.g. row {i}: "
                                 f"{got[c][i]!r} against {want[c][i]!r}; that row: "
                                 + ", ".join(f"{k}={want[k][i]!r}" for k in COLUMNS))


def summary(r: dict) -> str:
    k = len(r["start_pos"])
    reasons = np.bincount(r["close_reason"].astype(np.int64), minlength=4)
    names = ("exit", "timeout", "transition", "end")
    closes = ", ".join(f"{names[i]} {int(c):,}" for i, c in enumerate(reasons) if c)
    return f"{k:,} instances ({int(r['valid'].sum()):,} valid; closed by {closes})"


# ---------------------------------------------------------------- tables

def timed(table: Table, name: str, items: int, fn, repeat: int, **kw) -> Row:
    # warmup=0: median_time's first, sizing call is untimed and serves as the warm-up
    return table.add(Row(name, items, median_time(fn, repeat, warmup=0), **kw))


def memory_row(table: Table, name: str, items: int, setup: str, stmt: str, **kw) -> None:
    table.add(Row(name, items, bytes=peak_rss_of(stmt, "from bench_state import *\n" + setup), **kw))


def bench_load(case: StreamCase, repeat: int, product: bool) -> Table:
    n = case.n
    t = Table(f"(0) getting {n:,} tokens (list of str) into each tool (input of the peers below)")
    if product:
        timed(t, "zuldcore.vocab_ids(list)", n, lambda: vocab_zuldcore(case), repeat, product=True,
              note="(zuldcore interns inside every state_spans call, see (3))")
    timed(t, "numpy.array(list) (str array)", n, lambda: np.array(case.tokens), repeat)
    timed(t, "pandas.Series(list, dtype=object)", n, lambda: pd.Series(case.tokens, dtype=object), repeat)
    timed(t, "polars.DataFrame(pos, tok: str, t, v)", n, lambda: polars_frame(case.tokens, case.times, case.values),
          repeat)
    con = connect()
    timed(t, "duckdb CREATE TABLE from pandas", n, lambda: duckdb_load(con, case.tokens, case.times, case.values),
          repeat)
    con.close()
    return t


def reference(case: StreamCase, m: Machine, product: bool) -> dict:
    if product:
        r = spans_zuldcore(case, m)
        check_columns(r)
        return r
    return spans_python(case, m)


def bench_one(case: StreamCase, token: str, max_gap: float, repeat: int, memory: bool, product: bool,
              case_src: str) -> list[Table]:
    """Table (1) for one stream size; with memory, also the peak-memory table (main asks for it at the largest
    size only)."""
    n, m = case.n, one_state(token, max_gap)
    want = reference(case, m, product)
    peers = (("NumPy str ==", one_numpy), ("pandas.factorize + NumPy", one_factorize), ("Polars", one_polars),
             ("DuckDB", one_duckdb))
    for name, fn in peers:
        assert_same(name, fn(case, token, max_gap), want)
    if product:
        assert_same("Python loop", spans_python(case, m), want)
    n_triggers = int(np.count_nonzero(case.log.codes == case.log.vocab.index(token)))

    t = Table(f"(1) one state: every {token} enters it, expiry after {max_gap:g} h without one; {n:,} events, "
              f"{n_triggers:,} triggers, {summary(want)}")
    del want
    if product:
        timed(t, "zuldcore state_spans(list[str], times)", n, lambda: spans_zuldcore(case, m), repeat, product=True)
    timed(t, "NumPy str ==, gaps-and-islands", n, lambda: one_numpy(case, token, max_gap), repeat, target=AHEAD)
    timed(t, "pandas.factorize + NumPy islands", n, lambda: one_factorize(case, token, max_gap), repeat,
          target=AHEAD)
    timed(t, "Polars shift/filter + search_sorted", n, lambda: one_polars(case, token, max_gap), repeat,
          target=AHEAD)
    timed(t, "DuckDB windows + ASOF join", n, lambda: one_duckdb(case, token, max_gap), repeat, target=AHEAD)
    timed(t, "Python loop over the list", n, lambda: spans_python(case, m), repeat, target=AHEAD)
    tables = [t]
    want = reference(case, m, product)
    for name, fn in (("NumPy from the list", one_numpy_list), ("pandas from the list", one_factorize_list),
                     ("Polars from the list", one_polars_list)):
        assert_same(name, fn(case, token, max_gap), want)
    del want
    ts = Table(f"(1s) the same from the list of str: every contender codes the {n:,} strings inside its call")
    if product:
        timed(ts, "zuldcore state_spans(list[str], times)", n, lambda: spans_zuldcore(case, m), repeat,
              product=True)
    timed(ts, "NumPy object array ==, gaps-and-islands", n, lambda: one_numpy_list(case, token, max_gap), repeat,
          target=FROM_STRINGS)
    timed(ts, "pandas.factorize(Series) + NumPy islands", n, lambda: one_factorize_list(case, token, max_gap),
          repeat, target=FROM_STRINGS)
    timed(ts, "polars.DataFrame + shift/filter", n, lambda: one_polars_list(case, token, max_gap), repeat,
          target=FROM_STRINGS)
    tables.append(ts)
    if memory:
        mt = Table(f"(1) peak memory over {n:,} events, result kept (fresh process each)")
        args = f"case, {token!r}, {max_gap!r}"
        if product:
            memory_row(mt, "zuldcore state_spans", n, case_src + "case.prepare('tokens')",
                       f"r = spans_zuldcore(case, one_state({token!r}, {max_gap!r}))", product=True)
        for name, fn, built in (("NumPy str ==", "one_numpy", "tokens_array"),
                                ("pandas.factorize + NumPy", "one_factorize", "series"),
                                ("Polars", "one_polars", "df"), ("DuckDB", "one_duckdb", "con")):
            memory_row(mt, name, n, case_src + f"case.prepare({built!r})", f"r = {fn}({args})", target=AHEAD)
        memory_row(mt, "Python loop", n, case_src + "case.prepare('tokens')",
                   f"r = spans_python(case, one_state({token!r}, {max_gap!r}))", target=AHEAD)
        tables.append(mt)
    return tables


def describe_machine(m: Machine) -> str:
    def name(trig) -> str:
        return f"{trig.token}<={trig.max_val:g}" if isinstance(trig, Low) else trig

    parts = []
    for s in m.states:
        bits = [f"entry {', '.join(name(t) for st, t in m.entries if st == s.name) or 'by timeout only'}"]
        exits = [name(t) for st, t, _ in m.exits if st == s.name]
        if exits:
            bits.append(f"exit {', '.join(exits)}")
        if s.max_gap != INF:
            bits.append(f"max_gap {s.max_gap:g} h" + (f" -> {s.timeout_to}" if s.timeout_to else ""))
        if s.min_events != 1:
            bits.append(f"min_events {s.min_events}")
        if s.min_duration:
            bits.append(f"min_duration {s.min_duration:g} h")
        if s.require:
            bits.append(f"require {', '.join(name(r) for r in s.require)}")
        parts.append(f"{s.name} ({'; '.join(bits)})")
    return ", ".join(parts)


def bench_machine(case: StreamCase, repeat: int, memory: bool, product: bool, case_src: str) -> list[Table]:
    n = case.n
    want = reference(case, MACHINE, product)
    for name, fn in (("NumPy", machine_factorize), ("Polars", machine_polars), ("DuckDB", machine_duckdb)):
        assert_same(name, fn(case), want)
    if product:
        assert_same("Python loop", spans_python(case, MACHINE), want)
    per_state = ", ".join(f"{s.name} {int((want['state'] == k + 1).sum()):,}" for k, s in enumerate(MACHINE.states))
    rejected = np.bincount(want["reject_reason"].astype(np.int64), minlength=5)[1:]
    print(f"\n(2) machine: {describe_machine(MACHINE)}")
    print(f"(2) instances by state: {per_state}; rejected as unclosed {rejected[0]:,}, too_short {rejected[1]:,}, "
          f"too_few_events {rejected[2]:,}, missing_required {rejected[3]:,}")
    print(f"(2) note: {MACHINE_NOTE}")

    t = Table(f"(2) five states with exits, timeouts and validity rules; {n:,} events, {summary(want)}")
    del want
    if product:
        timed(t, "zuldcore state_spans(list[str], times, values)", n, lambda: spans_zuldcore(case, MACHINE), repeat,
              product=True)
    timed(t, "pandas.factorize + NumPy islands", n, lambda: machine_factorize(case), repeat, target=AHEAD)
    timed(t, "Polars islands + search_sorted", n, lambda: machine_polars(case), repeat, target=AHEAD)
    timed(t, "DuckDB temp tables, windows, ASOF", n, lambda: machine_duckdb(case), repeat, target=AHEAD)
    timed(t, "Python loop over the list", n, lambda: spans_python(case, MACHINE), repeat, target=AHEAD,
          note="(runs any machine of these rules)")
    tables = [t]
    if memory:
        mt = Table(f"(2) peak memory over {n:,} events, result kept (fresh process each)")
        if product:
            memory_row(mt, "zuldcore state_spans", n, case_src + "case.prepare('tokens')",
                       "r = spans_zuldcore(case, MACHINE)", product=True)
        for name, fn, built in (("NumPy", "machine_factorize", "series"), ("Polars", "machine_polars", "df"),
                                ("DuckDB", "machine_duckdb", "con")):
            memory_row(mt, name, n, case_src + f"case.prepare({built!r})", f"r = {fn}(case)", target=AHEAD)
        memory_row(mt, "Python loop", n, case_src + "case.prepare('tokens')", "r = spans_python(case, MACHINE)",
                   target=AHEAD)
        tables.append(mt)
    return tables


# ---------------------------------------------------------------- (4) per patient

def patient_corpus(case: StreamCase):
    """The log's stays as the documents of a Corpus (its tokens as zuldcore ids, coded outside the timing)."""
    from zuldcore.corpus import Corpus
    return Corpus(np.asarray(zuldcore.vocab_ids(case.tokens), dtype=np.uint32), case.times, case.log.doc_offsets)


def spans_corpus(corpus, m: Machine, threads: int) -> dict:
    return corpus.state_spans(zuldcore_machine(m), threads=threads)


def spans_per_patient(case: StreamCase, m: Machine) -> dict:
    """One state_spans call per stay, on slices of the same list and array, put together as the corpus does:
    positions shifted to rows of the log, and the stay of each instance in "doc"."""
    sm = zuldcore_machine(m)
    offsets = case.log.doc_offsets.tolist()
    parts, docs = [], []
    for k in range(len(offsets) - 1):
        lo, hi = offsets[k], offsets[k + 1]
        r = zuldcore.state_spans(case.tokens[lo:hi], case.times[lo:hi], sm)
        if len(r["state"]):
            r["start_pos"] += lo
            r["end_pos"] += lo
            parts.append(r)
            docs.append(np.full(len(r["state"]), k, dtype=np.int64))
    out = {c: np.concatenate([r[c] for r in parts]) if parts else np.zeros(0, dt) for c, dt in zip(COLUMNS, DTYPES)}
    out["doc"] = np.concatenate(docs) if docs else np.zeros(0, np.int64)
    return out


def tiny_documents(n_docs: int, seed: int):
    """n_docs documents of 1 to 3 events each (tokens drawn from a few codes, SBP among them, a quarter-hour
    apart): what is left of a call is the cost of each document."""
    from zuldcore.corpus import Corpus
    rng = np.random.default_rng(seed)
    offsets = np.concatenate([[0], np.cumsum(rng.integers(1, 4, n_docs))]).astype(np.int64)
    n = int(offsets[-1])
    vocab = np.asarray(zuldcore.vocab_ids(["SBP", "HR", "TEMP", "LACTATE"]), dtype=np.uint32)
    return Corpus(vocab[rng.integers(0, len(vocab), n)], np.arange(n) * 0.25, offsets)


def bench_corpus(case: StreamCase, token: str, max_gap: float, n_docs: int, seed: int, repeat: int) -> list[Table]:
    m = one_state(token, max_gap)
    corpus = patient_corpus(case)
    want = spans_corpus(corpus, m, 1)
    for name, got in (("two threads", spans_corpus(corpus, m, 2)), ("the per-patient loop", spans_per_patient(case, m))):
        assert list(got) == list(want) and all(np.array_equal(got[c], want[c]) for c in want), \
            f"Corpus.state_spans and {name} disagree"
    t = Table(f"(4) one state per patient: every {token} enters it, expiry after {max_gap:g} h; {case.n:,} events in "
              f"{corpus.n_docs:,} stays, {summary(want)}")
    del want
    timed(t, "Corpus.state_spans, 1 thread", case.n, lambda: spans_corpus(corpus, m, 1), repeat, product=True)
    timed(t, "Corpus.state_spans, 2 threads", case.n, lambda: spans_corpus(corpus, m, 2), repeat)
    timed(t, "state_spans once per patient", case.n, lambda: spans_per_patient(case, m), repeat, target=PER_PATIENT)
    tiny = tiny_documents(n_docs, seed)
    td = Table(f"(4) the cost of a document: {n_docs:,} documents of 1 to 3 events ({len(tiny):,} events)")
    for threads in (1, 2):
        row = timed(td, f"Corpus.state_spans, {threads} thread{'s' if threads > 1 else ''}", n_docs,
                    lambda threads=threads: spans_corpus(tiny, m, threads), repeat, product=threads == 1)
        row.note = f"{row.seconds / n_docs * 1e9:.0f} ns per document" + (" (target <= 100 ns)" if threads == 1 else "")
    return [t, td]


def bench_share(case: StreamCase, label: str, m: Machine, repeat: int) -> Table:
    """How much of a state_spans call is the conversion of its arguments and the interning of the tokens."""
    n = case.n
    never = one_state(NEVER, 1.0)
    values = reads_values(m)
    assert len(spans_zuldcore(case, never, values)["start_pos"]) == 0
    t = Table(f"(3) where the time of state_spans goes, {label}, {n:,} events; the ratio is the share of the full call")
    timed(t, f"state_spans, {label}", n, lambda: spans_zuldcore(case, m), repeat, product=True)
    patterns = sorted({t for _, t in m.entries if isinstance(t, Low)}, key=str)
    for low in patterns:   # a Pattern trigger's points come from the matching engine
        alone = Machine((State("alone"),), (("alone", low),))
        timed(t, f"state_spans, one state entered by {low.token}<={low.max_val:g}", n,
              lambda alone=alone: spans_zuldcore(case, alone, values), repeat, note="(the Pattern trigger alone)")
    timed(t, "state_spans, one trigger that never fires", n, lambda: spans_zuldcore(case, never, values), repeat,
          note="(same arguments: conversion, interning, one trigger pass)")
    timed(t, "vocab_ids(list) alone", n, lambda: vocab_zuldcore(case), repeat, note="(interning alone)")
    return t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000000,10000000", help="(1) stream sizes, comma-separated")
    parser.add_argument("--machine-n", type=int, default=1_000_000, help="(2) events of the five-state run")
    parser.add_argument("--token", default="SBP", help="(1) the entry token of the one-state machine")
    parser.add_argument("--max-gap", type=float, default=2.0, help="(1) hours before the one state expires")
    parser.add_argument("--vocab", type=int, default=10_000, help="vocabulary size")
    parser.add_argument("--patients-n", type=int, default=1_000_000, help="(4) events of the per-patient log")
    parser.add_argument("--docs", type=int, default=1_000_000, help="(4) documents of 1 to 3 events")
    parser.add_argument("--rows", default="0,1,2,3,4", help="which tables to run, e.g. 1,2")
    parser.add_argument("--threads", type=int, help="threads of DuckDB and Polars (default: theirs, all cores)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 100,000 events in (1) and (2), no memory rows")
    parser.add_argument("--peers-only", action="store_true",
                        help="without zuldcore's state machines: check the peers against the Python loop, time them")
    add_common_args(parser)
    parser.set_defaults(repeat=3)
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.machine_n, args.patients_n, args.docs, args.no_memory = "100000", 100_000, 100_000, 100_000, True
    sizes = [int(x) for x in args.sizes.split(",") if x]
    rows = {int(x) for x in args.rows.split(",") if x}
    memory = not args.no_memory
    product = not args.peers_only
    if product and not state_machines_available():
        sys.exit("this zuldcore has no state machines yet (state_spans raises NotImplementedError); "
                 "run with --peers-only to check and time the peers alone")
    duck_threads = connect().execute("SELECT current_setting('threads')").fetchone()[0]

    print(f"zuldcore from {zuldcore.__file__}" + ("  (not timed: --peers-only)" if not product else ""))
    print(f"median of {args.repeat}; threads: zuldcore 1, Polars {pl.thread_pool_size()}, DuckDB {duck_threads}")
    tables: list[Table] = []

    show = shower(tables)

    def build(n: int) -> StreamCase:
        t0 = time.perf_counter()
        case = StreamCase(n, args.vocab, args.seed)
        case.prepare("tokens", "tokens_array", "series", "df", "con")
        print(f"\n{n:,} events, {case.log.n_docs:,} documents, vocabulary {args.vocab:,}, seed {args.seed}; "
              f"inputs built in {time.perf_counter() - t0:.1f} s")
        return case

    wanted = set(sizes) | ({args.machine_n} if 2 in rows else set()) | ({args.patients_n} if 4 in rows else set())
    for n in sorted(wanted):
        if not rows & {0, 1, 3} and n not in (args.machine_n, args.patients_n):
            continue
        case = build(n)
        src = f"case = StreamCase({n}, {args.vocab}, {args.seed})\n"
        if 0 in rows and n == max(sizes):
            show([bench_load(case, args.repeat, product)])
        if 1 in rows and n in sizes:
            show(bench_one(case, args.token, args.max_gap, args.repeat, memory and n == max(sizes), product, src))
        if 2 in rows and n == args.machine_n:
            show(bench_machine(case, args.repeat, memory, product, src))
        if 3 in rows and product:
            if n == max(sizes):
                show([bench_share(case, "one state", one_state(args.token, args.max_gap), args.repeat)])
            if 2 in rows and n == args.machine_n:
                show([bench_share(case, "five states", MACHINE, args.repeat)])
        if 4 in rows and product and n == args.patients_n:
            show(bench_corpus(case, args.token, args.max_gap, args.docs, args.seed, args.repeat))
        del case
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"zuldcore_file": zuldcore.__file__})


if __name__ == "__main__":
    main()
