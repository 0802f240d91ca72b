"""Annotation: zuldcore.annotate_stream against NumPy, Polars, pandas and DuckDB formulations of the same columns.

  (0) getting the tokens (a list of str), times and values into each tool: a NumPy str array, a pandas DataFrame
      (tokens as objects), a Polars DataFrame, a DuckDB table. The peers of the later tables get their input
      already loaded; zuldcore takes the list of str in every call.
  (1) a window aggregate of one code (--token, SBP) over the last --window hours (24) at every position, for
      mean, max and count, over every size of --sizes (1M and 10M events): zuldcore's
      window_aggregate(forward=False, partial_window=True) against NumPy (str ==, searchsorted, prefix sums or a
      sparse table), Polars rolling_{mean,max,sum}_by, pandas time-based rolling and DuckDB RANGE frames.
  (2) past_occurrence of --x-token (ABX_START) within --window hours at every position, over the largest size:
      against numpy.searchsorted, Polars join_asof, pandas merge_asof and a DuckDB ASOF join.
  (3) the aggregate of (1) (--flat-agg, mean) over windows of 1, 24 and 1000 hours at --flat-n events: the
      zuldcore row should not grow with the window.
  (1s), (2s), (3s) with --from-strings: the questions of (1), (2) and (3) with every peer starting from the list
      of str, as zuldcore does, so that each pays its cheapest coding of the strings inside its timing: NumPy an
      object array made from the list (its == with a str is several times cheaper than building a str array),
      pandas and Polars their DataFrame. DuckDB is left out (its loading alone exceeds zuldcore's call).
  (4) one annotate_stream call with ten specs (TEN below) at --many-n events against ten peer expressions
      (one Polars select plus two as-of joins, one DuckDB query, ...).
  (5) per-patient annotation: the first --patients documents (stays), one annotate_stream call per patient
      (three specs, PER_PATIENT below), against the peers' partitioned forms (Polars .over("doc") and join_asof
      by doc, pandas groupby rolling and merge_asof by doc, DuckDB PARTITION BY doc and an ASOF join on doc,
      NumPy windows clipped at the patient's first and last position).
  (6) the same patients as one zuldcore.corpus.Corpus (built once, outside the timing): Corpus.annotate for a
      backward 24 h max, mean and count of --token and past_occurrence of --x-token within 24 h, one spec per
      row, threads=1, against the per-patient loop of annotate_stream (the columns checked equal); then the
      fixed cost per document: --tiny-docs documents of 1 to 3 events, one spec per call, time per document.
Every peer's columns are checked against zuldcore's before they are timed (labels, counts, minima and maxima
exactly, NaN at the same positions, means to 1e-9 relative); a disagreement stops the script. Throughput is
stream positions per second; peak memory is measured per contender in a fresh process.

Run: python bench/bench_annotate.py [--sizes 1000000,10000000] [--repeat 3] [--json PATH] [--no-memory]
     python bench/bench_annotate.py --quick     # 100,000 events, 2,000 patients, no memory rows, ~20 s
"""

from __future__ import annotations

import argparse
import os
import time
from dataclasses import dataclass
from functools import cached_property

import numpy as np

import zuldcore
from data import LogCase, event_log
from harness import Row, Table, add_common_args, median_time, peak_rss_of, shower, write_json

# Polars reads its thread count when it is imported, so --threads is applied before that; memory-measuring
# children inherit the environment, and connect() reads THREADS_ENV for DuckDB.
THREADS_ENV = "BENCH_ANNOTATE_THREADS"
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
TARGET = 2.0          # zuldcore at least twice as fast as every peer
MEAN_RTOL = 1e-9      # the peers sum in floating point; zuldcore's means are exactly summed
SLOW_SECONDS = 2.0    # a contender whose checked call takes longer is timed by that one call
US_PER_HOUR = 3_600_000_000   # Polars and pandas windows run on integer microseconds
A = zuldcore.AnnotationSpec


# ---------------------------------------------------------------- questions

@dataclass(frozen=True)
class Q:
    """One column: a backward window aggregate of `token` ("min", "max", "mean", "count"), or an occurrence label
    ("past", "future") of `token` within `window` hours. Every window is inclusive at both ends and evaluated at
    every position, with partial_window=True (windows that reach past the stream's ends are not blanked)."""
    name: str
    kind: str
    token: str
    window: float


def window_q(token: str, window: float, agg: str) -> Q:
    return Q(f"{token.lower()}_{agg}_{window:g}h", agg, token, window)


TEN = (
    window_q("SBP", 24.0, "mean"), window_q("SBP", 24.0, "max"), window_q("SBP", 24.0, "count"),
    window_q("HR", 6.0, "min"), window_q("HR", 6.0, "mean"),
    window_q("LACTATE", 24.0, "max"), window_q("LACTATE", 72.0, "count"), window_q("TEMP", 48.0, "max"),
    Q("abx_past_24h", "past", "ABX_START", 24.0), Q("discharge_future_24h", "future", "DISCHARGE", 24.0),
)
PER_PATIENT = (window_q("SBP", 24.0, "mean"), window_q("LACTATE", 24.0, "max"), Q("abx_past_24h", "past", "ABX_START", 24.0))
AGGS = ("mean", "max", "count")
IS_WINDOW = ("min", "max", "mean", "count")


def zuldcore_spec(q: Q):
    if q.kind == "past":
        return A.past_occurrence(q.name, q.token, q.window, partial_window=True)
    if q.kind == "future":
        return A.future_occurrence(q.name, q.token, q.window, partial_window=True)
    return A.window_aggregate(q.name, q.token, q.window, q.kind, forward=False, partial_window=True)


# ---------------------------------------------------------------- inputs

class StreamCase(LogCase):
    """One generated stream (the first n_docs documents of it, when given) in every tool's form, each built on
    first use (so that a memory-measuring child builds only what its contender reads)."""

    def __init__(self, n: int, vocab: int = 10_000, seed: int = 0, n_docs: int | None = None):
        self.n_events, self.vocab, self.seed, self.n_docs_wanted = n, vocab, seed, n_docs

    @cached_property
    def log(self):
        if self.n_docs_wanted is None:
            return event_log(self.n_events, self.vocab, self.seed)
        # About 100 events per document: generate a little more than needed, keep the first n_docs.
        log = event_log(int(self.n_docs_wanted * 104) + 1000, self.vocab, self.seed)
        k = min(self.n_docs_wanted, log.n_docs)
        cut = int(log.doc_offsets[k])
        return type(log)(log.vocab, log.codes[:cut], log.times[:cut], log.values[:cut], log.doc_offsets[:k + 1])

    @property
    def n(self) -> int:
        return len(self.log)

    @property
    def offsets(self) -> np.ndarray:
        return self.log.doc_offsets

    @cached_property
    def doc(self) -> np.ndarray:
        """The document (patient) of every position."""
        return np.repeat(np.arange(self.log.n_docs, dtype=np.int64), np.diff(self.offsets))

    @cached_property
    def pdf(self) -> pd.DataFrame:
        return pandas_frame(self.tokens, self.times, self.values, self.doc)

    @cached_property
    def df(self) -> pl.DataFrame:
        return polars_frame(self.tokens, self.times, self.values, self.doc)

    @cached_property
    def con(self):
        con = connect()
        duckdb_load(con, self.tokens, self.times, self.values, self.doc)
        return con


class FromStrings(StreamCase):
    """The stream of a StreamCase whose peers' inputs are built afresh at every access, from the list of str, so
    that the coding of the strings is inside each peer's timing. Shares the case's generated log."""

    @classmethod
    def of(cls, case: StreamCase) -> "FromStrings":
        fs = cls.__new__(cls)
        case.prepare("tokens", "doc")
        fs.__dict__.update({k: v for k, v in case.__dict__.items()
                            if k in ("n_events", "vocab", "seed", "n_docs_wanted", "log", "tokens", "doc")})
        return fs

    @property
    def tokens_array(self) -> np.ndarray:
        return np.array(self.tokens, dtype=object)

    @property
    def pdf(self) -> pd.DataFrame:
        return pandas_frame(self.tokens, self.times, self.values, self.doc)

    @property
    def df(self) -> pl.DataFrame:
        return polars_frame(self.tokens, self.times, self.values, self.doc)


def connect():
    """A DuckDB connection; with --threads, limited to that many threads (children inherit the setting).
    The progress bar is off: it writes to stdout, where the memory-measuring children report."""
    con = duckdb.connect()
    con.execute("SET enable_progress_bar = false")
    if os.environ.get(THREADS_ENV):
        con.execute(f"SET threads = {int(os.environ[THREADS_ENV])}")
    return con


def pandas_frame(tokens: list[str], times: np.ndarray, values: np.ndarray, doc: np.ndarray) -> pd.DataFrame:
    """Tokens as objects: comparing an object column with a str is several times faster than with pandas' str
    dtype here."""
    return pd.DataFrame({"doc": doc, "tok": pd.Series(tokens, dtype=object), "t": times, "v": values})


def polars_frame(tokens: list[str], times: np.ndarray, values: np.ndarray, doc: np.ndarray) -> pl.DataFrame:
    return pl.DataFrame({"pos": np.arange(len(tokens), dtype=np.int64), "doc": doc, "tok": tokens, "t": times,
                         "v": values})


def duckdb_load(con, tokens: list[str], times: np.ndarray, values: np.ndarray, doc: np.ndarray) -> None:
    frame = pd.DataFrame({"pos": np.arange(len(tokens), dtype=np.int64), "doc": doc,
                          "tok": np.array(tokens, dtype=object), "t": times, "v": values})
    con.register("ev_frame", frame)
    con.execute("CREATE OR REPLACE TABLE ev AS SELECT * FROM ev_frame")
    con.unregister("ev_frame")


# ---------------------------------------------------------------- zuldcore

def zuldcore_columns(case: StreamCase, qs: tuple[Q, ...]) -> dict:
    """One annotate_stream call over the whole stream, specs built in the call as a caller would."""
    return zuldcore.annotate_stream(case.tokens, case.times, [zuldcore_spec(q) for q in qs], case.values)


def zuldcore_per_patient(case: StreamCase, qs: tuple[Q, ...]) -> list[dict]:
    """One annotate_stream call per patient, on slices of the same list and arrays; the results are kept."""
    specs = [zuldcore_spec(q) for q in qs]
    tokens, times, values = case.tokens, case.times, case.values
    bounds = case.offsets.tolist()
    return [zuldcore.annotate_stream(tokens[lo:hi], times[lo:hi], specs, values[lo:hi])
            for lo, hi in zip(bounds[:-1], bounds[1:])]


def corpus_of(case: StreamCase):
    """The case's documents as one Corpus (interned once)."""
    from zuldcore.corpus import Corpus
    return Corpus(case.tokens, case.times, case.offsets, case.values)


def tiny_documents(n_docs: int, seed: int):
    """n_docs documents of 1 to 3 events (codes SBP, HR, ABX_START; times within 48 h; values) as a Corpus."""
    from zuldcore.corpus import Corpus
    rng = np.random.default_rng(seed)
    sizes = rng.integers(1, 4, n_docs)
    offsets = np.concatenate(([0], np.cumsum(sizes)))
    n = int(offsets[-1])
    tokens = np.array(["SBP", "HR", "ABX_START"])[rng.integers(0, 3, n)].tolist()
    times = np.concatenate([np.sort(rng.random(k) * 48.0) for k in sizes.tolist()])
    return Corpus(tokens, times, offsets, rng.random(n) * 100.0)


def bench_corpus(case: StreamCase, run: "Runner", token: str, x_token: str, window: float, tiny_docs: int,
                 seed: int) -> list[Table]:
    corpus = corpus_of(case)
    qs = [window_q(token, window, agg) for agg in ("max", "mean", "count")] + [
        Q(f"{x_token.lower()}_past", "past", x_token, window)]
    tables = []
    for q in qs:
        want = joined(zuldcore_per_patient(case, (q,)), (q,))
        t = Table(f"(6) {q.name} per patient, {case.log.n_docs:,} patients, {case.n:,} events; "
                  f"{summary(want[q.name], q)}")
        spec = [zuldcore_spec(q)]
        run.timed(t, "zuldcore Corpus.annotate (threads=1)", case.n, lambda: corpus.annotate(spec, threads=1), want,
                  (q,), product=True)
        run.timed(t, "zuldcore annotate_stream per patient", case.n, lambda: zuldcore_per_patient(case, (q,)), want,
                  (q,), target=20.0)
        tables.append(t)
    tiny = tiny_documents(tiny_docs, seed)
    t = Table(f"(6) fixed cost per document: {tiny.n_docs:,} documents of 1 to 3 events ({len(tiny):,} events), "
              "one spec, threads=1 (throughput = documents per second)")
    for q in qs:
        spec = [zuldcore_spec(q)]
        seconds = median_time(lambda: tiny.annotate(spec, threads=1), run.repeat, warmup=1)
        t.add(Row(f"Corpus.annotate {q.name}", tiny.n_docs, seconds,
                  note=f"{seconds / tiny.n_docs * 1e9:.0f} ns per document"))
    tables.append(t)
    return tables


def joined(parts: list[dict], qs: tuple[Q, ...]) -> dict:
    """Per-patient columns laid end to end (for the check only)."""
    return {q.name: np.concatenate([p[q.name] for p in parts]) if parts else np.zeros(0) for q in qs}


# ---------------------------------------------------------------- NumPy

def sparse_table(values: np.ndarray, pick) -> np.ndarray:
    """Level j holds pick (fmin or fmax, which skip NaN) over values[i : i + 2**j]; the padding is NaN."""
    m = len(values)
    levels = [values]
    width = 1
    while 2 * width <= m:
        prev = levels[-1]
        nxt = np.full(m, np.nan)
        nxt[:m - 2 * width + 1] = pick(prev[:m - 2 * width + 1], prev[width:m - width + 1])
        levels.append(nxt)
        width *= 2
    return np.stack(levels) if m else np.zeros((1, 0))


def window_numpy(q: Q, times_k: np.ndarray, values_k: np.ndarray, lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
    """The aggregate over points lo[i] .. hi[i] - 1 of the code (time-sorted), at every position."""
    count = hi - lo
    if q.kind == "count":
        return np.where(count > 0, count.astype(np.float64), np.nan)
    present = ~np.isnan(values_k)
    if q.kind == "mean":
        sums = np.concatenate(([0.0], np.cumsum(np.where(present, values_k, 0.0))))
        ns = np.concatenate(([0], np.cumsum(present)))
        k = ns[hi] - ns[lo]
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(k > 0, (sums[hi] - sums[lo]) / np.maximum(k, 1), np.nan)
    # min and max in O(1) per position from a sparse table: two overlapping power-of-two blocks.
    if len(values_k) == 0:
        return np.full(len(lo), np.nan)
    pick = np.fmax if q.kind == "max" else np.fmin
    table = sparse_table(values_k, pick)
    level = np.floor(np.log2(np.maximum(count, 1))).astype(np.int64)
    first = np.minimum(lo, len(values_k) - 1)
    second = np.clip(hi - (1 << level), 0, len(values_k) - 1)
    out = pick(table[level, first], table[level, second])
    out[count == 0] = np.nan
    return out


def numpy_columns(case: StreamCase, qs: tuple[Q, ...], per_patient: bool = False) -> dict:
    """str == on the NumPy str array, then binary searches of every position's window bounds among the code's
    times (the same float comparisons as zuldcore's); per patient, the bounds are clipped to the patient's own
    positions."""
    tok, t, v = case.tokens_array, case.times, case.values
    out = {}
    masks: dict[str, np.ndarray] = {}
    if per_patient:
        first_pos = case.offsets[:-1][case.doc]
        end_pos = case.offsets[1:][case.doc]
    for q in qs:
        if q.token not in masks:
            masks[q.token] = np.flatnonzero(tok == q.token)
        where = masks[q.token]
        tk = t[where]
        if q.kind == "future":
            lo, hi = np.searchsorted(tk, t, "left"), np.searchsorted(tk, t + q.window, "right")
        else:
            lo, hi = np.searchsorted(tk, t - q.window, "left"), np.searchsorted(tk, t, "right")
        if per_patient:
            lo = np.maximum(lo, np.searchsorted(where, first_pos, "left"))
            hi = np.minimum(hi, np.searchsorted(where, end_pos, "left"))
            hi = np.maximum(hi, lo)
        if q.kind in ("past", "future"):
            out[q.name] = (hi > lo).astype(np.int8)
        else:
            out[q.name] = window_numpy(q, tk, v[where], lo, hi)
    return out


# ---------------------------------------------------------------- Polars

def polars_window(q: Q, by: str, over: bool):
    """rolling_*_by over integer microseconds, window closed at both ends; NaN values are nulls."""
    size = f"{round(q.window * US_PER_HOUR)}i"
    is_k = pl.col("tok") == q.token
    if q.kind == "count":
        e = is_k.cast(pl.Int32).rolling_sum_by(by, window_size=size, closed="both")
    else:
        v = pl.when(is_k).then(pl.col("v").fill_nan(None))
        fn = {"mean": v.rolling_mean_by, "max": v.rolling_max_by, "min": v.rolling_min_by}[q.kind]
        e = fn(by, window_size=size, closed="both")
    if over:
        e = e.over("doc")
    if q.kind == "count":
        e = pl.when(e > 0).then(e.cast(pl.Float64))
    return e.cast(pl.Float64).fill_null(float("nan")).alias(q.name)


def polars_occurrence(df: pl.DataFrame, q: Q, over: bool) -> pl.Series:
    """join_asof to the last code time at or before t (past) or the first at or after t (future)."""
    right = df.lazy().filter(pl.col("tok") == q.token).select(*(["doc"] if over else []), tx=pl.col("t"))
    left = df.lazy().select(*(["doc"] if over else []), "t")
    j = left.join_asof(right, left_on="t", right_on="tx",
                       strategy="backward" if q.kind == "past" else "forward", by="doc" if over else None,
                       check_sortedness=False)
    hit = (pl.col("tx") >= pl.col("t") - q.window) if q.kind == "past" else (pl.col("tx") <= pl.col("t") + q.window)
    return j.select(hit.fill_null(False).cast(pl.Int8).alias(q.name)).collect().to_series()


def polars_columns(case: StreamCase, qs: tuple[Q, ...], per_patient: bool = False) -> dict:
    df = case.df
    windows = [q for q in qs if q.kind in IS_WINDOW]
    out = {}
    if windows:
        frame = (df.lazy().with_columns(us=(pl.col("t") * US_PER_HOUR).round().cast(pl.Int64))
                 .select(polars_window(q, "us", per_patient) for q in windows).collect())
        out.update({q.name: frame[q.name].to_numpy() for q in windows})
    for q in qs:
        if q.kind in ("past", "future"):
            out[q.name] = polars_occurrence(df, q, per_patient).to_numpy()
    return {q.name: out[q.name] for q in qs}


# ---------------------------------------------------------------- pandas

def pandas_columns(case: StreamCase, qs: tuple[Q, ...], per_patient: bool = False) -> dict:
    """Time-based rolling over a DatetimeIndex of microseconds, closed at both ends. A rolling row sees the rows
    before it and itself, not later rows of the same time, so every position takes the row of the last position
    sharing its time (within the patient, per patient)."""
    f = case.pdf
    t = f["t"].to_numpy()
    index = pd.DatetimeIndex(pd.to_datetime(np.round(t * US_PER_HOUR).astype(np.int64), unit="us"))
    last = np.searchsorted(t, t, "right") - 1
    if per_patient:   # a run of equal times never reaches into the next patient's rows
        last = np.minimum(last, case.offsets[1:][f["doc"].to_numpy()] - 1)
    out = {}
    is_k: dict[str, np.ndarray] = {}
    for q in qs:
        if q.token not in is_k:
            is_k[q.token] = (f["tok"] == q.token).to_numpy()
        k = is_k[q.token]
        if q.kind in ("past", "future"):
            out[q.name] = pandas_occurrence(f, k, q, per_patient)
            continue
        col = k.astype(np.float64) if q.kind == "count" else np.where(k, f["v"].to_numpy(), np.nan)
        s = pd.Series(col, index=index)
        if per_patient:
            r = s.groupby(f["doc"].to_numpy()).rolling(pd.Timedelta(hours=q.window), closed="both")
        else:
            r = s.rolling(pd.Timedelta(hours=q.window), closed="both")
        r = getattr(r, "sum" if q.kind == "count" else q.kind)().to_numpy()[last]
        if q.kind == "count":
            r = np.where(r > 0, r, np.nan)
        out[q.name] = r
    return out


def pandas_occurrence(f: pd.DataFrame, is_k: np.ndarray, q: Q, per_patient: bool) -> np.ndarray:
    by = {"by": "doc"} if per_patient else {}
    cols = ["doc", "t"] if per_patient else ["t"]
    right = f.loc[is_k, cols].rename(columns={"t": "tx"})
    j = pd.merge_asof(f[cols], right, left_on="t", right_on="tx",
                      direction="backward" if q.kind == "past" else "forward", **by)
    tx, t = j["tx"].to_numpy(), j["t"].to_numpy()
    with np.errstate(invalid="ignore"):
        hit = tx >= t - q.window if q.kind == "past" else tx <= t + q.window
    return hit.astype(np.int8)   # a missing tx is NaN: the comparison is False


# ---------------------------------------------------------------- DuckDB

def duckdb_window(q: Q, per_patient: bool) -> str:
    part = "PARTITION BY doc " if per_patient else ""
    frame = f"OVER ({part}ORDER BY t RANGE BETWEEN {q.window!r} PRECEDING AND CURRENT ROW)"
    token = q.token.replace("'", "''")
    if q.kind == "count":
        return f"nullif(count(CASE WHEN tok = '{token}' THEN 1 END) {frame}, 0)::DOUBLE AS {q.name}"
    fn = {"mean": "avg", "max": "max", "min": "min"}[q.kind]
    return f"{fn}(CASE WHEN tok = '{token}' AND NOT isnan(v) THEN v END) {frame} AS {q.name}"


def duckdb_columns(case: StreamCase, qs: tuple[Q, ...], per_patient: bool = False) -> dict:
    """One query: RANGE frames (ORDER BY t, inclusive) for the aggregates, an ASOF join per occurrence label."""
    windows = [q for q in qs if q.kind in IS_WINDOW]
    ctes = [f"w AS (SELECT pos{''.join(', ' + duckdb_window(q, per_patient) for q in windows)} FROM ev)"]
    joins = ""
    for k, q in enumerate(qs):
        if q.kind not in ("past", "future"):
            continue
        token = q.token.replace("'", "''")
        on = "e.t >= x.t" if q.kind == "past" else "e.t <= x.t"
        hit = f"x.t >= e.t - {q.window!r}" if q.kind == "past" else f"x.t <= e.t + {q.window!r}"
        same = "e.doc = x.doc AND " if per_patient else ""
        ctes.append(f"o{k} AS (SELECT e.pos, coalesce({hit}, false)::TINYINT AS {q.name} FROM ev e "
                    f"ASOF LEFT JOIN (SELECT doc, t FROM ev WHERE tok = '{token}') x ON {same}{on})")
        joins += f" JOIN o{k} USING (pos)"
    names = ", ".join(q.name for q in qs)
    r = case.con.execute(f"WITH {', '.join(ctes)} SELECT {names} FROM w{joins} ORDER BY pos").fetchnumpy()
    out = {}
    for q in qs:
        col = r[q.name]
        if q.kind in IS_WINDOW:
            col = np.ma.filled(np.ma.asarray(col).astype(np.float64), np.nan)
        out[q.name] = np.asarray(col)
    return out


# ---------------------------------------------------------------- checks

def check(name: str, got: dict, want: dict, qs: tuple[Q, ...]) -> None:
    """Labels, counts, minima and maxima exactly, NaN at the same positions, means to MEAN_RTOL."""
    for q in qs:
        g, w = np.asarray(got[q.name]), want[q.name]
        where = f"{name} disagrees with annotate_stream in {q.name}"
        if g.shape != w.shape:
            raise AssertionError(f"{where}: {g.shape[0]:,} positions against {w.shape[0]:,}")
        if q.kind in ("past", "future"):
            bad = np.flatnonzero(g != w)
        else:
            g = g.astype(np.float64)
            nan_g, nan_w = np.isnan(g), np.isnan(w)
            if q.kind == "mean":
                with np.errstate(invalid="ignore"):
                    off = ~(np.abs(g - w) <= MEAN_RTOL * np.abs(w))
                bad = np.flatnonzero((nan_g != nan_w) | (~nan_w & off))
            else:
                bad = np.flatnonzero((nan_g != nan_w) | (~nan_w & (g != w)))
        if len(bad):
            i = int(bad[0])
            raise AssertionError(f"{where} at {len(bad):,} positions, e.g. position {i}: {g[i]!r} against {w[i]!r}")


def summary(col: np.ndarray, q: Q) -> str:
    if q.kind in ("past", "future"):
        return f"{int(col.sum()):,} positions labelled 1"
    return f"{int((~np.isnan(col)).sum()):,} positions with a value"


# ---------------------------------------------------------------- tables

class Runner:
    def __init__(self, args):
        self.repeat, self.memory = args.repeat, not args.no_memory
        self.duckdb_max = args.duckdb_max
        self.vocab, self.seed = args.vocab, args.seed

    def timed(self, table: Table, name: str, items: int, fn, want: dict | None, qs, **kw) -> None:
        """Runs fn once (checked against want), then times it: the median of --repeat calls, or that one call when
        it took longer than SLOW_SECONDS."""
        t0 = time.perf_counter()
        got = fn()
        first = time.perf_counter() - t0
        if want is not None:
            check(name, got if isinstance(got, dict) else joined(got, qs), want, qs)
        del got
        if first >= SLOW_SECONDS:
            seconds = first
            kw["note"] = (kw.get("note", "") + " (one call)").strip()
        else:
            seconds = median_time(fn, self.repeat, warmup=0)
        table.add(Row(name, items, seconds, **kw))

    def memory_row(self, table: Table, name: str, items: int, src: str, built: str, stmt: str, **kw) -> None:
        setup = "from bench_annotate import *\n" + src + f"case.prepare({built!r})\n"
        table.add(Row(name, items, bytes=peak_rss_of(stmt, setup), **kw))

    def peers(self, n: int, case: StreamCase | None = None):
        """(name, function name, what it reads) of the peers that run at n events."""
        out = [("NumPy", "numpy_columns", "tokens_array"), ("Polars", "polars_columns", "df"),
               ("pandas", "pandas_columns", "pdf")]
        if n <= self.duckdb_max and not isinstance(case, FromStrings):
            out.append(("DuckDB", "duckdb_columns", "con"))
        return out

    def compare(self, case: StreamCase, qs: tuple[Q, ...], title: str, labels: dict[str, str],
                memory: bool, src: str, per_patient: bool = False) -> list[Table]:
        """One table: zuldcore, then every peer of PEERS at this size; with memory, a peak-memory table too."""
        n = case.n
        if per_patient:
            want = joined(zuldcore_per_patient(case, qs), qs)
            product = ("zuldcore annotate_stream per patient", lambda: zuldcore_per_patient(case, qs))
            product_stmt = f"r = zuldcore_per_patient(case, {qs!r})"
        else:
            want = zuldcore_columns(case, qs)
            product = ("zuldcore annotate_stream(list[str], times, values)", lambda: zuldcore_columns(case, qs))
            product_stmt = f"r = zuldcore_columns(case, {qs!r})"
        if len(qs) == 1:
            title += f"; {summary(want[qs[0].name], qs[0])}"
        t = Table(title)
        self.timed(t, product[0], n, product[1], None, qs, product=True)
        for peer, fn_name, _ in self.peers(n, case):
            fn = globals()[fn_name]
            self.timed(t, labels[peer], n, lambda fn=fn: fn(case, qs, per_patient), want, qs, target=TARGET)
        tables = [t]
        if memory:
            mt = Table(f"{title.split(';')[0]}: peak memory, result kept (fresh process each)")
            setup = src + "case.prepare('tokens')\n"
            mt.add(Row("zuldcore", n, bytes=peak_rss_of(product_stmt, "from bench_annotate import *\n" + setup),
                       product=True))
            for peer, fn_name, built in self.peers(n):
                self.memory_row(mt, peer, n, src, built, f"r = {fn_name}(case, {qs!r}, {per_patient!r})",
                                target=TARGET)
            tables.append(mt)
        return tables


WINDOW_LABELS = {"NumPy": "NumPy str ==, searchsorted, {how}", "Polars": "Polars rolling_{fn}_by (closed both)",
                 "pandas": "pandas rolling('{w:g}h', closed both)", "DuckDB": "DuckDB RANGE frame"}


def window_labels(q: Q) -> dict[str, str]:
    how = {"mean": "prefix sums", "count": "index difference"}.get(q.kind, "sparse table")
    fn = {"count": "sum"}.get(q.kind, q.kind)
    return {k: v.format(how=how, fn=fn, w=q.window) for k, v in WINDOW_LABELS.items()}


def bench_load(case: StreamCase, repeat: int) -> Table:
    n = case.n
    t = Table(f"(0) getting {n:,} tokens (list of str), times and values into each tool (input of the peers below)")
    t.add(Row("zuldcore.vocab_ids(list)", n, median_time(lambda: zuldcore.vocab_ids(case.tokens), repeat,
                                                          warmup=0), product=True,
              note="(zuldcore interns inside every annotate_stream call)"))
    t.add(Row("numpy.array(list) (str array)", n, median_time(lambda: np.array(case.tokens), repeat, warmup=0)))
    t.add(Row("pandas.DataFrame(doc, tok: object, t, v)", n,
              median_time(lambda: pandas_frame(case.tokens, case.times, case.values, case.doc), repeat, warmup=0)))
    t.add(Row("polars.DataFrame(pos, doc, tok: str, t, v)", n,
              median_time(lambda: polars_frame(case.tokens, case.times, case.values, case.doc), repeat, warmup=0)))
    con = connect()
    t.add(Row("duckdb CREATE TABLE from pandas", n,
              median_time(lambda: duckdb_load(con, case.tokens, case.times, case.values, case.doc), repeat,
                          warmup=0)))
    con.close()
    return t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000000,10000000", help="(1) stream sizes, comma-separated; (0) and "
                        "(2) run at the largest")
    parser.add_argument("--token", default="SBP", help="(1), (3) the code aggregated")
    parser.add_argument("--x-token", default="ABX_START", help="(2) the code of past_occurrence")
    parser.add_argument("--window", type=float, default=24.0, help="(1), (2) window in hours")
    parser.add_argument("--flat-n", type=int, default=1_000_000, help="(3) events")
    parser.add_argument("--flat-agg", default="mean", choices=("min", "max", "mean", "count"))
    parser.add_argument("--many-n", type=int, default=1_000_000, help="(4) events")
    parser.add_argument("--patients", type=int, default=50_000, help="(5), (6) patients (documents)")
    parser.add_argument("--tiny-docs", type=int, default=1_000_000,
                        help="(6) documents of 1 to 3 events for the fixed cost per document")
    parser.add_argument("--duckdb-max", type=int, default=1_000_000,
                        help="DuckDB runs only on streams of at most this many events (its RANGE frames are slow)")
    parser.add_argument("--vocab", type=int, default=10_000, help="vocabulary size")
    parser.add_argument("--rows", default="0,1,2,3,4,5,6", help="which tables to run, e.g. 1,2")
    parser.add_argument("--threads", type=int, help="threads of DuckDB and Polars (default: theirs, all cores)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--from-strings", action="store_true",
                        help="also run (1), (2), (3) with every peer starting from the list of str")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 100,000 events everywhere, 2,000 patients, no memory rows")
    add_common_args(parser)
    parser.set_defaults(repeat=3)
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.flat_n, args.many_n, args.patients, args.no_memory = "100000", 100_000, 100_000, 2_000, True
        args.tiny_docs = 100_000
    sizes = sorted(int(x) for x in args.sizes.split(",") if x)
    rows = {int(x) for x in args.rows.split(",") if x}
    memory = not args.no_memory
    run = Runner(args)
    duck_threads = connect().execute("SELECT current_setting('threads')").fetchone()[0]
    print(f"zuldcore from {zuldcore.__file__}")
    print(f"median of {args.repeat} (one call for contenders slower than {SLOW_SECONDS:g} s); threads: zuldcore 1, "
          f"Polars {pl.thread_pool_size()}, DuckDB {duck_threads}")
    tables: list[Table] = []

    show = shower(tables)

    def build(n: int | None = None, n_docs: int | None = None) -> tuple[StreamCase, str]:
        t0 = time.perf_counter()
        case = StreamCase(n or 0, args.vocab, args.seed, n_docs)
        case.prepare("tokens", "doc", "tokens_array", "pdf", "df", "con")
        print(f"\n{case.n:,} events, {case.log.n_docs:,} documents, vocabulary {args.vocab:,}, seed {args.seed}; "
              f"inputs built in {time.perf_counter() - t0:.1f} s")
        return case, f"case = StreamCase({n or 0}, {args.vocab}, {args.seed}, {n_docs!r})\n"

    wanted = set()
    if rows & {0, 1, 2}:
        wanted |= set(sizes) if 1 in rows else {sizes[-1]}
    if 3 in rows:
        wanted.add(args.flat_n)
    if 4 in rows:
        wanted.add(args.many_n)
    for n in sorted(wanted):
        case, src = build(n)
        if n > run.duckdb_max:
            print(f"(DuckDB is left out at {n:,} events: its RANGE frame over one partition takes some 3 s per "
                  f"million rows; --duckdb-max {run.duckdb_max:,})")
        largest = n == sizes[-1]
        if 0 in rows and largest:
            show([bench_load(case, args.repeat)])
        forms = [(case, "", "")]
        if args.from_strings:
            forms.append((FromStrings.of(case), "s", " (every peer from the list of str)"))
        for form, s, how in forms:
            mem = memory and not s
            if 1 in rows and n in sizes:
                for agg in AGGS:
                    q = window_q(args.token, args.window, agg)
                    points = int(np.count_nonzero(case.tokens_array == q.token))
                    show(run.compare(form, (q,), f"(1{s}) {agg} of {q.token} over the last {q.window:g} h at every "
                                     f"position{how}; {n:,} events, {points:,} {q.token}", window_labels(q),
                                     mem and largest and agg == "mean", src))
            if 2 in rows and largest:
                q = Q(f"{args.x_token.lower()}_past", "past", args.x_token, args.window)
                labels = {"NumPy": "numpy.searchsorted", "Polars": "Polars join_asof (backward)",
                          "pandas": "pandas merge_asof (backward)", "DuckDB": "DuckDB ASOF LEFT JOIN"}
                show(run.compare(form, (q,), f"(2{s}) past_occurrence of {q.token} within {q.window:g} h at every "
                                 f"position{how}; {n:,} events", labels, mem, src))
            if 3 in rows and n == args.flat_n:
                zt = []
                for w in (1.0, 24.0, 1000.0):
                    q = window_q(args.token, w, args.flat_agg)
                    new = run.compare(form, (q,), f"(3{s}) {q.kind} of {q.token} over the last {w:g} h{how}; "
                                      f"{n:,} events", window_labels(q), False, src)
                    zt.append(new[0].rows[0].seconds)
                    show(new)
                print(f"\n(3{s}) zuldcore over windows of 1, 24 and 1000 h: "
                      + ", ".join(f"{x * 1e3:.1f} ms" for x in zt) + f" (largest/smallest {max(zt) / min(zt):.2f})")
        if 4 in rows and n == args.many_n:
            print("\n(4) the ten specs: " + ", ".join(q.name for q in TEN))
            labels = {"NumPy": "NumPy, ten computations", "Polars": "Polars one select + 2 join_asof",
                      "pandas": "pandas, ten rolling/merge_asof", "DuckDB": "DuckDB one query (8 frames, 2 ASOF)"}
            show(run.compare(case, TEN, f"(4) ten specs in one call; {n:,} events", labels, memory, src))
        del case
    if rows & {5, 6}:
        case, src = build(n_docs=args.patients)
    if 5 in rows:
        print("(5) per patient: " + ", ".join(q.name for q in PER_PATIENT))
        labels = {"NumPy": "NumPy, windows clipped per patient", "Polars": "Polars .over('doc'), join_asof by doc",
                  "pandas": "pandas groupby rolling, merge_asof by", "DuckDB": "DuckDB PARTITION BY doc, ASOF on doc"}
        run.duckdb_max = max(run.duckdb_max, case.n)   # partitioned frames are fast
        show(run.compare(case, PER_PATIENT, f"(5) {case.log.n_docs:,} patients, one call each; {case.n:,} events",
                         labels, memory, src, per_patient=True))
    if 6 in rows:
        show(bench_corpus(case, run, args.token, args.x_token, args.window, args.tiny_docs, args.seed))
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"zuldcore_file": zuldcore.__file__})


if __name__ == "__main__":
    main()
