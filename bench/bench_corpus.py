"""Corpus jobs: zuldcore.corpus.Corpus over a cohort against Polars, DuckDB and the per-patient loop.

The cohort: --patients patients (100,000, about 10M events) from data.py, each patient's stay moved to a start
of its own within ten years (so times go back from one patient to the next), in the MEDS layout: `subject_id`
(int64), `time` (timestamp, microseconds), `code` (string), `numeric_value` (float64, null where the event has
none), sorted by patient and time. It is held as a Polars DataFrame and as the same rows in a DuckDB table (with
their row number as a column `row`). zuldcore starts from the frame: `Corpus.from_frame(...,
time_unit="us")` is timed as row (0) and inside the total of every job, where Polars and the per-patient loop
start from the frame too; DuckDB starts from its table, so it is compared with the job alone. Times are whole
microseconds below 2**53 in every tool, so every bound compares exactly and the answers can be equal.

Jobs, each per patient (no answer reaches from one patient into the next):
  (1) every pair "LACTATE then ABX_START within 6 h" (rows i < j of one patient, 0 <= t_j - t_i <= 6 h):
      Corpus.match; Polars and DuckDB an equi-join on the patient, then the bounds.
  (2) one-state episodes: SBP opens or refreshes "episode", which expires 2 h after its last SBP (the ten
      columns of state_spans): Corpus.state_spans; Polars and DuckDB gaps and islands over the patient's SBPs
      (lag / shift compared within the patient, PARTITION BY) and an as-of join by patient for the last row
      within the deadline.
  (3) max, mean and count of SBP over the last 24 h at every row (both ends inclusive): Corpus.annotate with
      three window_aggregate specs; Polars rolling(..., group_by="subject_id"); DuckDB RANGE
      frames PARTITION BY subject_id.
  (4) was there an ABX_START in the last 24 h, at every row: Corpus.annotate with past_occurrence; Polars
      join_asof(by="subject_id"); DuckDB ASOF LEFT JOIN ... ON the patient.
  (5) the fixed cost per document: from_frame and each job (threads=1) over --tiny-docs documents (1,000,000)
      of 1 to 3 events.
Contenders: zuldcore with threads=1 and threads=2 (from the frame, and the job alone on a built corpus),
Polars and DuckDB on --threads (2) threads, and the per-patient loop over the single-stream calls
(match_stream, state_spans, annotate_stream on slices of the frame's columns; timed on the first
--loop-patients patients and scaled to the cohort by events). Before anything is timed every peer's answer,
and the loop's on its patients, must equal zuldcore's (pairs as sets, the other columns exactly, means to 1e-9
relative: the peers sum in floating point, zuldcore exactly); a disagreement stops the script. Peak memory is
measured per contender in a fresh process (the frame and the DuckDB table are loaded before the measurement).

Run: python bench/bench_corpus.py [--patients 100000] [--repeat 3] [--json PATH] [--no-memory]
     python bench/bench_corpus.py --quick      # 2,000 patients, 20,000 tiny documents, no memory rows: seconds
"""

from __future__ import annotations

import argparse
import datetime
import os
import tempfile
import time
from dataclasses import dataclass
from functools import cached_property
from typing import Callable

import numpy as np

# Polars reads its thread count when it is imported, so --threads is applied before that; memory-measuring
# children inherit the environment, and connect() reads THREADS_ENV for DuckDB.
THREADS_ENV = "BENCH_CORPUS_THREADS"
if __name__ == "__main__":
    _pre = argparse.ArgumentParser(add_help=False)
    _pre.add_argument("--threads", type=int, default=2)
    os.environ[THREADS_ENV] = os.environ["POLARS_MAX_THREADS"] = str(_pre.parse_known_args()[0].threads)
import duckdb  # noqa: E402
import polars as pl  # noqa: E402

import zuldcore  # noqa: E402
from data import event_log  # noqa: E402
from harness import Row, Table, add_common_args, median_time, peak_rss_of, shower, write_json  # noqa: E402
from zuldcore.corpus import Corpus  # noqa: E402

PACKAGES = ("zuldcore", "numpy", "polars", "pyarrow", "duckdb")
US = 3_600_000_000                    # microseconds per hour
PAIR_A, PAIR_B, PAIR_W = "LACTATE", "ABX_START", 6 * US
EPISODE_TOKEN, EPISODE_GAP = "SBP", 2 * US
WINDOW_TOKEN, WINDOW = "SBP", 24 * US
PAST_TOKEN, PAST_W = "ABX_START", 24 * US
MEAN_RTOL = 1e-9
SLOW_SECONDS = 5.0                    # a contender whose checked call takes longer is timed by that one call
TARGET_PEER, TARGET_THREADS, TARGET_LOOP, TARGET_FIXED_NS = 2.0, 1.8, 20.0, 100.0
COLUMNS = ("state", "start_pos", "end_pos", "t_start", "t_end", "n_events", "close_reason", "reject_reason",
           "valid", "timeout_entered")
TIMEOUT, END_OF_STREAM, NONE, UNCLOSED = 1, 3, 0, 1   # close and reject reasons


# ---------------------------------------------------------------- the cohort

def cohort_frame(n_patients: int, seed: int = 0, vocab: int = 10_000) -> pl.DataFrame:
    """The first n_patients stays of data.py's log, one patient each, each moved to its own start."""
    log = event_log(n_patients * 104 + 1000, vocab, seed)
    while log.n_docs < n_patients:
        log = event_log(2 * len(log), vocab, seed)
    cut = int(log.doc_offsets[n_patients])
    lengths = np.diff(log.doc_offsets[:n_patients + 1])
    doc = np.repeat(np.arange(n_patients), lengths)
    rng = np.random.default_rng([seed, 1])
    start = np.datetime64("2015-01-01", "us").astype(np.int64) + rng.integers(0, 10 * 365 * 24 * US, n_patients)
    hours = log.times[:cut] - log.times[log.doc_offsets[:n_patients]][doc]
    us = np.round(hours * US).astype(np.int64) + start[doc]
    ids = 1_000_000 + np.cumsum(rng.integers(1, 50, n_patients))
    values = log.values[:cut]
    return pl.DataFrame({
        "subject_id": ids[doc],
        "time": pl.Series(us).cast(pl.Datetime("us")),
        "code": pl.Series(np.array(log.vocab, dtype=object)[log.codes[:cut]].tolist(), dtype=pl.String),
        "numeric_value": pl.Series(values).fill_nan(None),
    })


def tiny_frame(n_docs: int, seed: int = 0, vocab: int = 10_000) -> pl.DataFrame:
    """n_docs documents of 1 to 3 events each: tokens of data.py's vocabulary, times a few minutes apart."""
    rng = np.random.default_rng([seed, 2])
    lengths = rng.integers(1, 4, n_docs)
    log = event_log(int(lengths.sum()), vocab, seed)
    doc = np.repeat(np.arange(n_docs), lengths)
    us = np.cumsum(rng.integers(0, 600_000_000, len(doc)))
    return pl.DataFrame({"subject_id": doc, "time": pl.Series(us).cast(pl.Datetime("us")),
                         "code": np.array(log.vocab, dtype=object)[log.codes].tolist(),
                         "numeric_value": pl.Series(log.values).fill_nan(None)})


def connect():
    con = duckdb.connect()
    con.execute("SET enable_progress_bar = false")   # it writes to stdout, where memory children report
    # With its default (64) DuckDB plans an as-of join whose left side it estimates below that as a nested loop
    # over the whole right side: seconds at 200,000 rows, quadratic; at 0 it keeps its sort-merge as-of join.
    con.execute("SET asof_loop_join_threshold = 0")
    con.execute(f"SET threads = {int(os.environ.get(THREADS_ENV, '2'))}")
    return con


class Cohort:
    """The cohort's frame (made, or read back from a Parquet copy in a memory-measuring child), its DuckDB
    table and the offsets of its patients, each built on first use."""

    def __init__(self, n_patients: int, seed: int, path: str | None = None):
        self.n_patients, self.seed, self.path = n_patients, seed, path

    @cached_property
    def frame(self) -> pl.DataFrame:
        return pl.read_parquet(self.path) if self.path else cohort_frame(self.n_patients, self.seed)

    @cached_property
    def con(self):
        con = connect()
        rows = self.frame.with_row_index("row").with_columns(pl.col("row").cast(pl.Int64)).to_arrow()
        con.register("rows", rows)
        con.execute("CREATE TABLE meds AS SELECT * FROM rows")
        con.unregister("rows")
        return con

    @property
    def n(self) -> int:
        return len(self.frame)

    @cached_property
    def offsets(self) -> np.ndarray:
        return patient_offsets(self.frame)

    def prepare(self, *names: str) -> None:
        for name in names:
            getattr(self, name)


def patient_offsets(frame: pl.DataFrame) -> np.ndarray:
    s = frame["subject_id"].to_numpy()
    starts = np.flatnonzero(np.concatenate([[True], s[1:] != s[:-1]])) if len(s) else np.zeros(0, np.int64)
    return np.append(starts, len(s)).astype(np.int64)


# ---------------------------------------------------------------- zuldcore

def corpus_of(frame: pl.DataFrame) -> Corpus:
    return Corpus.from_frame(frame, "subject_id", "code", "time", "numeric_value", time_unit="us")


def pair_pattern() -> zuldcore.Zuldor:
    p = zuldcore.Pattern()
    p.add_event(PAIR_A)
    p.add_event(PAIR_B, max_dt=float(PAIR_W))
    return zuldcore.Zuldor(p)


def episode_machine() -> zuldcore.StateMachine:
    sm = zuldcore.StateMachine()
    sm.add_state("episode", max_gap=float(EPISODE_GAP))
    sm.add_entry("episode", EPISODE_TOKEN)
    return sm


WINDOW_AGGS = ("max", "mean", "count")


def window_keys() -> tuple[str, ...]:
    return tuple(f"{WINDOW_TOKEN.lower()}_{agg}" for agg in WINDOW_AGGS)


def window_specs() -> list:
    A = zuldcore.AnnotationSpec
    return [A.window_aggregate(name, WINDOW_TOKEN, float(WINDOW), agg, forward=False, partial_window=True)
            for name, agg in zip(window_keys(), WINDOW_AGGS)]


def past_specs() -> list:
    return [zuldcore.AnnotationSpec.past_occurrence("abx_past", PAST_TOKEN, float(PAST_W), partial_window=True)]


def z_pairs(c: Corpus, threads: int):
    return c.match(pair_pattern(), threads=threads)


def z_episodes(c: Corpus, threads: int):
    return c.state_spans(episode_machine(), threads=threads)


def z_windows(c: Corpus, threads: int):
    return c.annotate(window_specs(), threads=threads)


def z_past(c: Corpus, threads: int):
    return c.annotate(past_specs(), threads=threads)


# ---------------------------------------------------------------- the per-patient loop

@dataclass
class Columns:
    """The frame's columns as the single-stream calls take them, and the patients' offsets."""
    tokens: list
    times: np.ndarray
    values: np.ndarray
    offsets: np.ndarray

    @classmethod
    def of(cls, frame: pl.DataFrame) -> "Columns":
        return cls(frame["code"].to_list(), frame["time"].cast(pl.Int64).to_numpy().astype(np.float64),
                   frame["numeric_value"].fill_null(np.nan).to_numpy(), patient_offsets(frame))

    def slices(self):
        bounds = self.offsets.tolist()
        for lo, hi in zip(bounds[:-1], bounds[1:]):
            yield lo, self.tokens[lo:hi], self.times[lo:hi], self.values[lo:hi]


def loop_pairs(frame: pl.DataFrame) -> list:
    z = pair_pattern()
    return [(lo, z.match_stream(tok, t, v)) for lo, tok, t, v in Columns.of(frame).slices()]


def loop_episodes(frame: pl.DataFrame) -> list:
    sm = episode_machine()
    return [(lo, zuldcore.state_spans(tok, t, sm, values=v)) for lo, tok, t, v in Columns.of(frame).slices()]


def loop_windows(frame: pl.DataFrame) -> list:
    specs = window_specs()
    return [(lo, zuldcore.annotate_stream(tok, t, specs, v)) for lo, tok, t, v in Columns.of(frame).slices()]


def loop_past(frame: pl.DataFrame) -> list:
    specs = past_specs()
    return [(lo, zuldcore.annotate_stream(tok, t, specs, v)) for lo, tok, t, v in Columns.of(frame).slices()]


def joined_loop(parts: list, positions: tuple[str, ...]) -> dict:
    """The loop's per-patient dictionaries laid end to end, positions moved to rows of the frame."""
    out = {}
    for key in parts[0][1]:
        if isinstance(parts[0][1][key], np.ndarray):
            out[key] = np.concatenate([p[key] + lo if key in positions else p[key] for lo, p in parts])
    return out


# ---------------------------------------------------------------- Polars

def rows_lazy(frame: pl.DataFrame) -> pl.LazyFrame:
    return frame.lazy().with_row_index("row").with_columns(pl.col("row").cast(pl.Int64))


def polars_pairs(frame: pl.DataFrame) -> pl.DataFrame:
    rows = rows_lazy(frame)
    a = rows.filter(pl.col("code") == PAIR_A).select("subject_id", "row", "time")
    b = rows.filter(pl.col("code") == PAIR_B).select("subject_id", row_b="row", time_b="time")
    return (a.join(b, on="subject_id")
            .filter((pl.col("row_b") > pl.col("row"))
                    & (pl.col("time_b") <= pl.col("time") + datetime.timedelta(microseconds=PAIR_W)))
            .select("row", "row_b").collect())


def polars_episodes(frame: pl.DataFrame) -> pl.DataFrame:
    """Islands of the patient's SBPs; the last row within an island's deadline comes from an as-of join by
    patient onto the last row of each run of equal times."""
    rows = rows_lazy(frame).with_columns(t=pl.col("time").cast(pl.Int64))
    subject, t = pl.col("subject_id"), pl.col("t")
    trig = (rows.filter(pl.col("code") == EPISODE_TOKEN).select("subject_id", "row", "t")
            .with_columns(first=((subject != subject.shift(1)) | (t > t.shift(1) + EPISODE_GAP)).fill_null(True),
                          last=((subject != subject.shift(-1)) | (t.shift(-1) > t + EPISODE_GAP)).fill_null(True))
            .with_row_index("i").collect())
    starts = trig.filter(pl.col("first")).select("subject_id", i0="i", start_pos="row", t_start="t")
    lasts = trig.filter(pl.col("last")).select(i1="i", deadline=pl.col("t") + EPISODE_GAP)
    ends = rows.filter((subject != subject.shift(-1)).fill_null(True)).select("subject_id", last_row="row",
                                                                               t_last="t")
    runs = rows.filter(((subject != subject.shift(-1)) | (t != t.shift(-1))).fill_null(True)).select(
        "subject_id", g="row", t_run="t")
    timed_out = pl.col("t_last") > pl.col("deadline")
    return (pl.concat([starts, lasts], how="horizontal").lazy()
            .join(ends, on="subject_id", how="left")
            .join_asof(runs, left_on="deadline", right_on="t_run", by="subject_id", strategy="backward",
                       check_sortedness=False)
            .select(state=pl.lit(1, pl.Int32), start_pos="start_pos",
                    end_pos=pl.when(timed_out).then(pl.col("g")).otherwise(pl.col("last_row")),
                    t_start=pl.col("t_start").cast(pl.Float64),
                    t_end=pl.when(timed_out).then(pl.col("deadline")).otherwise(pl.col("t_last")).cast(pl.Float64),
                    n_events=(pl.col("i1") - pl.col("i0") + 1).cast(pl.Int64),
                    close_reason=pl.when(timed_out).then(TIMEOUT).otherwise(END_OF_STREAM).cast(pl.Int8),
                    reject_reason=pl.when(timed_out).then(NONE).otherwise(UNCLOSED).cast(pl.Int8),
                    valid=timed_out.cast(pl.Int8), timeout_entered=pl.lit(0, pl.Int8))
            .collect())


def polars_windows(frame: pl.DataFrame) -> pl.DataFrame:
    """DataFrame.rolling grouped by patient (two to three times faster here than rolling_*_by(...).over()): the
    rows come out patient by patient in time order, which is the frame's order."""
    is_k = pl.col("code") == WINDOW_TOKEN
    name = WINDOW_TOKEN.lower()
    count = pl.col("k").sum()
    return (frame.lazy().select("subject_id", "time", k=is_k.cast(pl.Int32),
                                v=pl.when(is_k).then(pl.col("numeric_value")))
            .rolling("time", period=f"{WINDOW // US}h", closed="both", group_by="subject_id")
            .agg(pl.col("v").max().fill_null(np.nan).alias(f"{name}_max"),
                 pl.col("v").mean().fill_null(np.nan).alias(f"{name}_mean"),
                 pl.when(count > 0).then(count.cast(pl.Float64)).otherwise(np.nan).alias(f"{name}_count"))
            .collect())


def polars_past(frame: pl.DataFrame) -> pl.DataFrame:
    left = frame.lazy().select("subject_id", "time")
    right = frame.lazy().filter(pl.col("code") == PAST_TOKEN).select("subject_id", tx="time")
    hit = pl.col("tx") >= pl.col("time") - datetime.timedelta(microseconds=PAST_W)
    return (left.join_asof(right, left_on="time", right_on="tx", by="subject_id", strategy="backward",
                           check_sortedness=False)
            .select(hit.fill_null(False).cast(pl.Int8).alias("abx_past")).collect())


# ---------------------------------------------------------------- DuckDB

def duckdb_pairs(con) -> dict:
    return con.execute(f"""
        SELECT a.row, b.row AS row_b FROM meds a JOIN meds b
          ON a.subject_id = b.subject_id AND b.row > a.row AND b.time <= a.time + INTERVAL '{PAIR_W} microseconds'
        WHERE a.code = '{PAIR_A}' AND b.code = '{PAIR_B}'""").fetchnumpy()


def duckdb_episodes(con) -> dict:
    gap = f"INTERVAL '{EPISODE_GAP} microseconds'"
    return con.execute(f"""
        WITH trig AS (SELECT subject_id, row, time FROM meds WHERE code = '{EPISODE_TOKEN}'),
        flag AS (SELECT *, coalesce(time > lag(time) OVER (PARTITION BY subject_id ORDER BY row) + {gap}, true)
                   AS first FROM trig),
        isl AS (SELECT *, sum(first::INT) OVER (PARTITION BY subject_id ORDER BY row ROWS UNBOUNDED PRECEDING) AS k
                FROM flag),
        inst AS (SELECT subject_id, k, min(row) AS start_pos, min(time) AS t_start, count(*) AS n_events,
                        max(time) + {gap} AS deadline FROM isl GROUP BY subject_id, k),
        ends AS (SELECT subject_id, max(row) AS last_row, max(time) AS t_last FROM meds GROUP BY subject_id),
        near AS (SELECT i.subject_id, i.k, e.time AS te FROM inst i ASOF JOIN meds e
                   ON i.subject_id = e.subject_id AND i.deadline >= e.time),
        within AS (SELECT n.subject_id, n.k, max(e.row) AS g FROM near n JOIN meds e
                     ON e.subject_id = n.subject_id AND e.time = n.te GROUP BY n.subject_id, n.k)
        SELECT 1::INTEGER AS state, start_pos, CASE WHEN t_last > deadline THEN g ELSE last_row END AS end_pos,
               epoch_us(t_start)::DOUBLE AS t_start,
               epoch_us(CASE WHEN t_last > deadline THEN deadline ELSE t_last END)::DOUBLE AS t_end,
               n_events, CASE WHEN t_last > deadline THEN {TIMEOUT} ELSE {END_OF_STREAM} END::TINYINT AS close_reason,
               CASE WHEN t_last > deadline THEN {NONE} ELSE {UNCLOSED} END::TINYINT AS reject_reason,
               (t_last > deadline)::TINYINT AS valid, 0::TINYINT AS timeout_entered
        FROM inst JOIN ends USING (subject_id) JOIN within USING (subject_id, k) ORDER BY start_pos""").fetchnumpy()


def duckdb_windows(con) -> dict:
    name, w = WINDOW_TOKEN.lower(), f"INTERVAL '{WINDOW} microseconds'"
    v = f"CASE WHEN code = '{WINDOW_TOKEN}' THEN numeric_value END"
    return con.execute(f"""
        SELECT max({v}) OVER w AS {name}_max, avg({v}) OVER w AS {name}_mean,
               nullif(count({v}) OVER w, 0)::DOUBLE AS {name}_count
        FROM meds WINDOW w AS (PARTITION BY subject_id ORDER BY time RANGE BETWEEN {w} PRECEDING AND CURRENT ROW)
        ORDER BY row""").fetchnumpy()


def duckdb_past(con) -> dict:
    return con.execute(f"""
        SELECT coalesce(x.t >= e.time - INTERVAL '{PAST_W} microseconds', false)::TINYINT AS abx_past
        FROM meds e ASOF LEFT JOIN (SELECT subject_id, time AS t FROM meds WHERE code = '{PAST_TOKEN}') x
          ON e.subject_id = x.subject_id AND e.time >= x.t
        ORDER BY e.row""").fetchnumpy()


# ---------------------------------------------------------------- checks

def as_numpy(result) -> dict:
    """A peer's or zuldcore's answer as a dictionary of NumPy arrays (masked values as NaN)."""
    if isinstance(result, pl.DataFrame):
        return {c: result[c].to_numpy() for c in result.columns}
    out = {}
    for k, v in result.items():
        if isinstance(v, np.ma.MaskedArray):
            v = np.ma.filled(v.astype(np.float64), np.nan)
        out[k] = np.asarray(v)
    return out


def check_pairs(name: str, got, want: dict) -> None:
    """The same pairs of rows, with multiplicity, in any order."""
    got = as_numpy(got)
    g = np.stack([got["row"].astype(np.int64), got["row_b"].astype(np.int64)], axis=1)
    w = want["el_stream_idx"]
    g, w = g[np.lexsort(g.T[::-1])], w[np.lexsort(w.T[::-1])]
    if g.shape != w.shape or not np.array_equal(g, w):
        raise AssertionError(f"{name}: {len(g):,} pairs against zuldcore's {len(w):,}, or different ones")


def check_columns(name: str, got, want: dict, keys: tuple[str, ...], sort_by: str | None = None) -> None:
    """The same columns row by row (NaN in the same places; means to MEAN_RTOL); sort_by orders the peer's rows
    first (the peers are not asked to sort)."""
    got = as_numpy(got)
    order = np.argsort(got[sort_by], kind="stable") if sort_by else slice(None)
    for key in keys:
        g, w = got[key][order], want[key]
        if g.shape != w.shape:
            raise AssertionError(f"{name}: {key} has {g.shape[0]:,} rows against zuldcore's {w.shape[0]:,}")
        if w.dtype.kind == "f":
            g = g.astype(np.float64)
            both_nan = np.isnan(g) & np.isnan(w)
            if key.endswith("_mean"):
                with np.errstate(invalid="ignore"):
                    ok = both_nan | (np.abs(g - w) <= MEAN_RTOL * np.abs(w))
            else:
                ok = both_nan | (g == w)
        else:
            ok = g == w
        bad = np.flatnonzero(~ok)
        if len(bad):
            i = int(bad[0])
            raise AssertionError(f"{name}: {key} differs on {len(bad):,} rows, e.g. row {i}: {g[i]!r} against "
                                 f"zuldcore's {w[i]!r}")


def check_loop(got: dict, want: dict) -> None:
    """The loop's answer byte for byte: the corpus promises the single-stream call's result per document."""
    for key, g in got.items():
        w = want[key]
        if g.dtype != w.dtype or g.shape != w.shape or g.tobytes() != w.tobytes():
            raise AssertionError(f"the per-patient loop differs from the corpus in {key}")


@dataclass
class Job:
    key: str
    title: str
    zuldcore: Callable                         # (corpus, threads) -> result
    polars: Callable                           # (frame) -> result
    duckdb: Callable                           # (con) -> result
    loop: Callable                             # (frame) -> [(first row, single-stream result)]
    check: Callable                            # (name, got, zuldcore's) -> None, raises on a difference
    positions: tuple[str, ...]                 # keys of the loop's results that hold positions
    summary: Callable                          # (zuldcore's result) -> str


JOBS = {
    "pairs": Job("pairs", f'(1) every "{PAIR_A} then {PAIR_B} within {PAIR_W // US} h" pair per patient',
                 z_pairs, polars_pairs, duckdb_pairs, loop_pairs, check_pairs, ("m_start", "m_end",
                                                                               "el_stream_idx"),
                 lambda r: f"{len(r['m_start']):,} pairs"),
    "episodes": Job("episodes", f"(2) {EPISODE_TOKEN} episodes with max_gap {EPISODE_GAP // US} h per patient",
                    z_episodes, polars_episodes, duckdb_episodes, loop_episodes,
                    lambda n, g, w: check_columns(n, g, w, COLUMNS, sort_by="start_pos"), ("start_pos", "end_pos"),
                    lambda r: f"{len(r['state']):,} instances, {int(r['valid'].sum()):,} valid"),
    "windows": Job("windows", f"(3) max, mean, count of {WINDOW_TOKEN} over the last {WINDOW // US} h at every row",
                   z_windows, polars_windows, duckdb_windows, loop_windows,
                   lambda n, g, w: check_columns(n, g, w, window_keys()), (),
                   lambda r: f"{int((~np.isnan(r[window_keys()[0]])).sum()):,} rows with a value"),
    "past": Job("past", f"(4) {PAST_TOKEN} within the last {PAST_W // US} h at every row", z_past, polars_past,
                duckdb_past, loop_past, lambda n, g, w: check_columns(n, g, w, ("abx_past",)), (),
                lambda r: f"{int(r['abx_past'].sum()):,} rows labelled 1"),
}


def restricted(result: dict, n_rows: int, n_docs: int, per_row: bool) -> dict:
    """zuldcore's answer for the first n_docs documents (n_rows rows), for the loop's check."""
    if per_row:
        return {k: v[:n_rows] for k, v in result.items()}
    keep = result["doc"] < n_docs
    return {k: v[keep] for k, v in result.items() if isinstance(v, np.ndarray)}


# ---------------------------------------------------------------- tables

def timed(fn, repeat: int, want=None, check=None, name: str = "") -> tuple[float, str]:
    """Runs fn once (checked against want), then the median of `repeat` calls, or that one call when slow."""
    t0 = time.perf_counter()
    got = fn()
    first = time.perf_counter() - t0
    if check is not None:
        check(name, got, want)
    del got
    if first >= SLOW_SECONDS:
        return first, "(one call)"
    return median_time(fn, repeat, warmup=0), ""


class Runner:
    def __init__(self, args, case: Cohort, parquet: str | None):
        self.args, self.case, self.parquet = args, case, parquet
        self.threads = args.threads
        self.summaries: list[str] = []

    def memory(self, stmt: str, built: str) -> int:
        setup = (f"from bench_corpus import *\ncase = Cohort({self.case.n_patients}, {self.args.seed}, "
                 f"{self.parquet!r})\ncase.prepare({built!r})\n")
        return peak_rss_of(stmt, setup)

    def from_frame_table(self) -> list[Table]:
        case, n = self.case, self.case.n
        t = Table(f"(0) Corpus.from_frame over the cohort: {case.n_patients:,} patients, {n:,} events")
        s, _ = timed(lambda: corpus_of(case.frame), self.args.repeat)
        t.add(Row("zuldcore Corpus.from_frame(frame, time_unit='us')", n, s, product=True,
                  note=f"{s / case.n_patients * 1e9:.0f} ns per patient"))
        self.from_frame_s = s
        tables = [t]
        if self.parquet:
            m = Table("(0) Corpus.from_frame: peak memory, corpus kept (fresh process each)")
            m.add(Row("zuldcore Corpus.from_frame", n, bytes=self.memory("c = corpus_of(case.frame)", "frame"),
                      product=True))
            tables.append(m)
        return tables

    def job_tables(self, job: Job) -> list[Table]:
        case, args, n = self.case, self.args, self.case.n
        corpus = corpus_of(case.frame)
        want = job.zuldcore(corpus, self.threads)
        one = job.zuldcore(corpus, 1)  # the corpus promises the same answer on any number of threads
        for key, v in want.items():
            if isinstance(v, np.ndarray) and v.tobytes() != one[key].tobytes():
                raise AssertionError(f"zuldcore threads=1 and threads={self.threads} differ in {key}")
        del one
        t = Table(f"{job.title}; {n:,} events, {job.summary(want)}")
        rows: dict[str, float] = {}
        for k in (1, self.threads):
            s, _ = timed(lambda k=k: job.zuldcore(corpus_of(case.frame), k), args.repeat)
            rows[f"total{k}"] = s
            t.add(Row(f"zuldcore threads={k}: from_frame + job", n, s, product=k == self.threads))
        for k in (1, self.threads):
            s, _ = timed(lambda k=k: job.zuldcore(corpus, k), args.repeat)
            rows[f"job{k}"] = s
            t.add(Row(f"zuldcore threads={k}: the job on a built corpus", n, s))
        del corpus
        s, note = timed(lambda: job.polars(case.frame), args.repeat, want, job.check, "Polars")
        rows["polars"] = s
        t.add(Row(f"Polars ({self.threads} threads), from the frame", n, s, target=TARGET_PEER, note=note))
        s, note = timed(lambda: job.duckdb(case.con), args.repeat, want, job.check, "DuckDB")
        rows["duckdb"] = s
        t.add(Row(f"DuckDB ({self.threads} threads), from its table", n, s, note=note + " (against the job alone "
                  f"on {self.threads} threads: {s / rows[f'job{self.threads}']:.2f}x)"))
        # The loop on the first patients, checked against zuldcore's answer for them, scaled by events.
        k = min(args.loop_patients, case.n_patients)
        m = int(case.offsets[k])
        sub = case.frame.slice(0, m)
        parts = job.loop(sub)
        check_loop(joined_loop(parts, job.positions), restricted(want, m, k, per_row=job.key in ("windows", "past")))
        del parts
        s, _ = timed(lambda: job.loop(sub), 1)
        rows["loop"] = s * n / m
        t.add(Row("per-patient loop (single-stream calls)", n, rows["loop"], target=TARGET_LOOP,
                  note=f"timed on {k:,} patients ({m:,} events), scaled"))
        tables = [t]
        self.summarise(job, rows)
        if self.parquet:
            mt = Table(f"{job.title.split(' ', 1)[0]} peak memory, result kept (fresh process each)")
            mt.add(Row(f"zuldcore threads={self.threads}: from_frame + job", n, product=True, bytes=self.memory(
                f"r = JOBS[{job.key!r}].zuldcore(corpus_of(case.frame), {self.threads})", "frame")))
            mt.add(Row("Polars", n, bytes=self.memory(f"r = JOBS[{job.key!r}].polars(case.frame)", "frame"),
                       target=1.0))
            mt.add(Row("DuckDB (table loaded before)", n, target=1.0,
                       bytes=self.memory(f"r = JOBS[{job.key!r}].duckdb(case.con)", "con")))
            tables.append(mt)
            self.memory_summary(job, mt)
        return tables

    def summarise(self, job: Job, r: dict[str, float]) -> None:
        th = self.threads
        best = min(r["polars"] / r[f"total{th}"], r["duckdb"] / r[f"job{th}"])
        lines = [
            f"best peer / zuldcore threads={th} (Polars against from_frame + job, DuckDB against the job): "
            f"{best:.2f}x, target >= {TARGET_PEER:g}x {mark(best >= TARGET_PEER)}",
            f"threads=1 / threads={th}: job {r['job1'] / r[f'job{th}']:.2f}x, with from_frame "
            f"{r['total1'] / r[f'total{th}']:.2f}x; target >= {TARGET_THREADS:g}x "
            f"{mark(r['job1'] / r[f'job{th}'] >= TARGET_THREADS)}",
            f"per-patient loop / zuldcore threads=1 (from_frame + job): {r['loop'] / r['total1']:.1f}x, target "
            f">= {TARGET_LOOP:g}x {mark(r['loop'] / r['total1'] >= TARGET_LOOP)} (against the job alone: "
            f"{r['loop'] / r['job1']:.1f}x)",
        ]
        self.summaries.append(f"{job.title}\n    " + "\n    ".join(lines))

    def memory_summary(self, job: Job, mt: Table) -> None:
        z, peers = mt.rows[0].bytes, [row.bytes for row in mt.rows[1:]]
        best = min(peers)
        self.summaries.append(f"{job.title.split(' ', 1)[0]} peak memory: zuldcore {z / 2**20:.0f} MiB, best peer "
                              f"{best / 2**20:.0f} MiB; target zuldcore <= best peer {mark(z <= best)}")

    def fixed_cost_table(self) -> Table:
        n_docs = self.args.tiny_docs
        frame = tiny_frame(n_docs, self.args.seed)
        corpus = corpus_of(frame)
        t = Table(f"(5) fixed cost per document: {n_docs:,} documents of 1 to 3 events ({len(frame):,} events), "
                  f"threads=1")
        s, _ = timed(lambda: corpus_of(frame), self.args.repeat)
        t.add(Row("Corpus.from_frame", n_docs, s, note=f"{s / n_docs * 1e9:.0f} ns per document"))
        worst = 0.0
        for job in JOBS.values():
            s, _ = timed(lambda job=job: job.zuldcore(corpus, 1), self.args.repeat)
            ns = s / n_docs * 1e9
            worst = max(worst, ns)
            t.add(Row(f"{job.key}", n_docs, s, note=f"{ns:.0f} ns per document"))
        self.summaries.append(f"(5) fixed cost: the slowest job takes {worst:.0f} ns per document of 1 to 3 events "
                              f"(an upper bound: the events' own work included); target <= {TARGET_FIXED_NS:g} ns "
                              f"{mark(worst <= TARGET_FIXED_NS)}")
        return t


def mark(met: bool) -> str:
    return "met" if met else "NOT met"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--patients", type=int, default=100_000)
    parser.add_argument("--loop-patients", type=int, default=5_000, help="patients the per-patient loop is timed on")
    parser.add_argument("--tiny-docs", type=int, default=1_000_000, help="(5) documents of 1 to 3 events")
    parser.add_argument("--threads", type=int, default=2, help="threads of zuldcore's second row, Polars, DuckDB")
    parser.add_argument("--jobs", default="pairs,episodes,windows,past,fixed", help="which tables to run")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 2,000 patients, 20,000 tiny documents, no memory rows")
    add_common_args(parser)
    parser.set_defaults(repeat=3)
    args = parser.parse_args()
    if args.quick:
        args.patients, args.loop_patients, args.tiny_docs, args.no_memory = 2_000, 500, 20_000, True
    wanted = [j for j in args.jobs.split(",") if j]
    t0 = time.perf_counter()
    case = Cohort(args.patients, args.seed)
    case.prepare("frame", "con", "offsets")
    print(f"zuldcore from {zuldcore.__file__}")
    print(f"{case.n_patients:,} patients, {case.n:,} events; inputs built in {time.perf_counter() - t0:.1f} s; "
          f"median of {args.repeat} (one call for contenders slower than {SLOW_SECONDS:g} s); threads: zuldcore 1 "
          f"and {args.threads}, Polars {pl.thread_pool_size()}, DuckDB "
          f"{case.con.execute('SELECT current_setting(' + repr('threads') + ')').fetchone()[0]}")
    tables: list[Table] = []

    show = shower(tables)

    with tempfile.TemporaryDirectory() as tmp:
        parquet = None
        if not args.no_memory:
            parquet = os.path.join(tmp, "cohort.parquet")
            case.frame.write_parquet(parquet)
        run = Runner(args, case, parquet)
        show(run.from_frame_table())
        for key in wanted:
            if key in JOBS:
                show(run.job_tables(JOBS[key]))
        if "fixed" in wanted:
            show([run.fixed_cost_table()])
    print("\nAgainst the targets (figures from this one run; on a shared machine they are noisy):")
    for line in run.summaries:
        print("  " + line)
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"summary": run.summaries})


if __name__ == "__main__":
    main()
