"""Pattern matching: zuldcore's Zuldor against DuckDB, Polars and NumPy formulations of the same questions.

  (0) getting the stream into each tool: zuldcore.preprocess, a Polars DataFrame, a DuckDB table.
  (1) fast path: a plain two-element pattern "A then B" (no bounds), i.e. every pair of positions i < j with
      token A at i and B at j. (1a) over the whole stream with two rare tokens, chosen so that the pair count
      stays near --pairs; (1b) ED_ARRIVAL then LACTATE over a shorter stream (--dense-n), where the pairs are
      dense. Peers: NumPy (searchsorted and repeat), DuckDB range join, Polars join_where.
  (2) general search: ED_ARRIVAL, then SBP within 2 h of it, then ABX_START within 6 h of the SBP (element
      max_dt, measured from the previously matched element, inclusive; equal times allowed), every match.
      Peers: DuckDB and Polars inequality joins followed by the exact bound test.
  (3) one preprocess and 20 match_preprocessed calls against 20 match_stream calls (20 patterns).
  (4) match_batch over --docs-n documents: the first "A then B within 48 h" of each document, against
      DuckDB and Polars (an equi-join on the document, or an as-of join).
Every zuldcore result is checked against every peer (same set of matches) before anything is timed.
Throughput is stream positions (tokens) per second; peak memory is measured per contender in a fresh process.

Run: python bench/bench_match.py [--n 10000000] [--docs-n 1000000] [--repeat 3] [--json PATH] [--no-memory]
     python bench/bench_match.py --n 200000 --docs-n 20000 --dense-n 20000 --pairs 20000   # smoke run
"""

from __future__ import annotations

import argparse
import os
import time
from functools import cached_property

import numpy as np

import zuldcore
from data import LogCase, event_log, integer_coded
from harness import Row, Table, add_common_args, median_time, peak_rss_of, shower, write_json

# Polars reads its thread count when it is imported, so --threads is applied before that; memory-measuring
# children inherit the environment, and connect() reads THREADS_ENV for DuckDB.
THREADS_ENV = "BENCH_MATCH_THREADS"
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

# (2) the bounded three-element pattern: (token, max_dt from the previous element in hours)
BOUNDED = (("ED_ARRIVAL", None), ("SBP", 2.0), ("ABX_START", 6.0))
DENSE = ("ED_ARRIVAL", "LACTATE")          # (1b), as a caller would first write it
BATCH_A, BATCH_B, BATCH_WITHIN = "SBP", "LACTATE", 48.0   # (4)

# (3) patterns besides (1a), (2) and the rare pairs: bounded chains over the named tokens.
MORE_BOUNDED = (
    (("SBP", None), ("LACTATE", 1.0)),
    (("DBP", None), ("SBP", 0.0)),                  # same timestamp only
    (("LACTATE", None), ("ABX_START", 3.0)),
    (("ED_ARRIVAL", None), ("ICU_ADMIT", 12.0)),
    (("ICU_ADMIT", None), ("DISCHARGE", 48.0)),
    (("TEMP", None), ("ABX_START", 2.0)),
    (("ABX_START", None), ("ED_DEPART", 6.0)),
    (("ED_ARRIVAL", None), ("LACTATE", 4.0), ("ABX_START", 4.0)),
    (("HR", None), ("TEMP", 0.0), ("LACTATE", 1.0)),
)
N_PATTERNS = 20


# ---------------------------------------------------------------- inputs

class StreamCase(LogCase):
    """The log, pre-interned for zuldcore, and as a Polars frame and a DuckDB table."""

    @cached_property
    def stream(self):
        return zuldcore.Zuldor(zuldcore.Pattern()).preprocess(self.tokens, self.times)

    @cached_property
    def df(self) -> pl.DataFrame:
        return polars_frame(self.tokens, self.times)

    @cached_property
    def con(self):
        con = connect()
        duckdb_load(con, self.tokens, self.times)
        return con


def connect():
    """A DuckDB connection; with --threads, limited to that many threads (children inherit the setting)."""
    con = duckdb.connect()
    if os.environ.get(THREADS_ENV):
        con.execute(f"SET threads = {int(os.environ[THREADS_ENV])}")
    return con


def polars_frame(tokens: list[str], times: np.ndarray) -> pl.DataFrame:
    return pl.DataFrame({"pos": np.arange(len(tokens), dtype=np.int64), "tok": tokens, "t": times})


def duckdb_load(con, tokens: list[str], times: np.ndarray) -> None:
    frame = pd.DataFrame({"pos": np.arange(len(tokens), dtype=np.int64),
                          "tok": np.array(tokens, dtype=object), "t": times})
    con.register("ev_frame", frame)
    con.execute("CREATE OR REPLACE TABLE ev AS SELECT * FROM ev_frame")
    con.unregister("ev_frame")


class BatchCase:
    """A corpus of exactly docs_n documents (the first docs_n of a generated log), integer-coded."""

    def __init__(self, docs_n: int, doc_len: float, gap_hours: float, vocab: int = 10_000, seed: int = 0):
        self.docs_n, self.doc_len, self.gap_hours, self.vocab, self.seed = docs_n, doc_len, gap_hours, vocab, seed

    @cached_property
    def log(self):
        n = int(self.docs_n * self.doc_len * 1.1) + 1000
        while True:
            log = event_log(n, self.vocab, self.seed, mean_doc_len=self.doc_len, mean_gap_hours=self.gap_hours)
            if log.n_docs > self.docs_n:
                break
            n = int(n * 1.2)
        end = int(log.doc_offsets[self.docs_n])
        log.codes, log.times, log.values = log.codes[:end], log.times[:end], log.values[:end]
        log.doc_offsets = log.doc_offsets[: self.docs_n + 1].copy()
        return log

    @property
    def offsets(self) -> np.ndarray:
        return self.log.doc_offsets

    @property
    def times(self) -> np.ndarray:
        return self.log.times

    @property
    def total(self) -> int:
        return len(self.log.codes)

    @cached_property
    def ids(self) -> np.ndarray:
        """The tokens in zuldcore's coding: vocab_ids of the vocabulary, gathered by the generator's codes."""
        return integer_coded(self.log, zuldcore.vocab_ids(self.log.vocab))

    def code(self, token: str) -> int:
        return self.log.vocab.index(token)

    @cached_property
    def doc_rel(self) -> tuple[np.ndarray, np.ndarray]:
        """Per position: its document and its position within the document (the peers' table columns)."""
        lengths = np.diff(self.offsets)
        doc = np.repeat(np.arange(self.docs_n, dtype=np.int32), lengths)
        rel = (np.arange(self.total, dtype=np.int64) - self.offsets[doc]).astype(np.int32)
        return doc, rel

    @cached_property
    def df(self) -> pl.DataFrame:
        doc, rel = self.doc_rel
        return pl.DataFrame({"doc": doc, "rel": rel, "pos": np.arange(self.total, dtype=np.int64),
                             "tok": self.log.codes, "t": self.times})

    @cached_property
    def con(self):
        doc, rel = self.doc_rel
        con = connect()
        frame = pd.DataFrame({"doc": doc, "rel": rel, "tok": self.log.codes, "t": self.times})
        con.register("corpus_frame", frame)
        con.execute("CREATE OR REPLACE TABLE corpus AS SELECT * FROM corpus_frame")
        con.unregister("corpus_frame")
        return con

    def prepare(self, *names: str) -> None:
        for name in names:
            getattr(self, name)


def pick_rare_pairs(log, target_pairs: int, how_many: int, exclude: set[str] = frozenset()) -> list[tuple[str, str]]:
    """Pairs of tokens whose counts are nearest sqrt(2 * target_pairs), so that "A then B" over the whole stream
    has about target_pairs matches; deterministic for a given log."""
    counts = np.bincount(log.codes, minlength=len(log.vocab))
    want = np.sqrt(2.0 * target_pairs)
    order = [k for k in np.argsort(np.abs(counts - want), kind="stable")
             if counts[k] > 0 and log.vocab[k] not in exclude]
    names = [log.vocab[k] for k in order[: 2 * how_many]]
    return list(zip(names[0::2], names[1::2]))


def count_pairs(log, a: str, b: str) -> int:
    pa = np.flatnonzero(log.codes == log.vocab.index(a))
    pb = np.flatnonzero(log.codes == log.vocab.index(b))
    return int((len(pb) - np.searchsorted(pb, pa, side="right")).sum())


# ---------------------------------------------------------------- patterns

def chain(elements) -> zuldcore.Pattern:
    """An ordered pattern of single tokens: each (token, max_dt) element bounded by max_dt hours after the
    previous element (None: no bound, which keeps a pattern of such elements on the fast path)."""
    p = zuldcore.Pattern()
    for token, max_dt in elements:
        if max_dt is None:
            p.add_event(token)
        else:
            p.add_event(token, max_dt=max_dt)
    return p


def slack(times: np.ndarray) -> float:
    """Widening of a join's time bound so that rounding of t + w cannot lose a pair whose difference t' - t is
    within w; the exact test on the difference follows the join."""
    top = float(np.max(np.abs(times))) if len(times) else 0.0
    return 1e-9 + 1e-12 * top


# ---------------------------------------------------------------- (1) all pairs

def pairs_zuldcore(case: StreamCase, a: str, b: str) -> dict:
    return zuldcore.Zuldor(chain([(a, None), (b, None)])).match_stream(case.tokens, case.times)


def pairs_zuldcore_pre(case: StreamCase, a: str, b: str) -> dict:
    return zuldcore.Zuldor(chain([(a, None), (b, None)])).match_preprocessed(case.stream)


def pairs_numpy(case: StreamCase, a: str, b: str) -> dict:
    arr = case.tokens_array
    pa = np.flatnonzero(arr == a)
    pb = np.flatnonzero(arr == b)
    first = np.searchsorted(pb, pa, side="right")     # the B positions after pa[i] are pb[first[i]:]
    count = len(pb) - first
    m_start = np.repeat(pa, count)
    offset = np.repeat(first - (np.cumsum(count) - count), count)
    m_end = pb[np.arange(len(m_start)) + offset]
    return {"m_start": m_start, "m_end": m_end, "t_start": case.times[m_start], "t_end": case.times[m_end]}


def pairs_duckdb(case: StreamCase, a: str, b: str) -> dict:
    return case.con.execute(
        "SELECT a.pos AS m_start, b.pos AS m_end, a.t AS t_start, b.t AS t_end "
        "FROM (SELECT pos, t FROM ev WHERE tok = $a) a JOIN (SELECT pos, t FROM ev WHERE tok = $b) b "
        "ON b.pos > a.pos", {"a": a, "b": b}).fetchnumpy()


def pairs_polars(case: StreamCase, a: str, b: str) -> pl.DataFrame:
    df = case.df.lazy()
    left = df.filter(pl.col("tok") == a).select(pl.col("pos").alias("m_start"), pl.col("t").alias("t_start"))
    right = df.filter(pl.col("tok") == b).select(pl.col("pos").alias("m_end"), pl.col("t").alias("t_end"))
    return left.join_where(right, pl.col("m_end") > pl.col("m_start")).collect()


# ---------------------------------------------------------------- (2) bounded chain

def bounded_zuldcore(case: StreamCase) -> dict:
    return zuldcore.Zuldor(chain(BOUNDED)).match_stream(case.tokens, case.times)


def bounded_zuldcore_pre(case: StreamCase) -> dict:
    return zuldcore.Zuldor(chain(BOUNDED)).match_preprocessed(case.stream)


def bounded_duckdb(case: StreamCase) -> dict:
    """Each element's positions into a temporary table (so that the planner knows their sizes and picks its
    inequality join), then one range join per step: later position, time within the widened bound, then the
    exact test of the difference to the previous element."""
    con, s = case.con, slack(case.times)
    for k, (token, _) in enumerate(BOUNDED):
        con.execute(f"CREATE OR REPLACE TEMP TABLE e{k} AS SELECT pos AS p{k}, t AS t{k} FROM ev WHERE tok = $tok",
                    {"tok": token})
    query = "SELECT * FROM e0"
    for k in range(1, len(BOUNDED)):
        w = BOUNDED[k][1]
        query = (f"SELECT * FROM ({query}) JOIN e{k} ON p{k} > p{k - 1} AND t{k} <= t{k - 1} + {w + s!r} "
                 f"WHERE t{k} - t{k - 1} BETWEEN 0.0 AND {w!r}")
    cols = ", ".join(f"p{k}" for k in range(len(BOUNDED)))
    return con.execute(f"SELECT {cols}, t0 AS t_start, t{len(BOUNDED) - 1} AS t_end FROM ({query})").fetchnumpy()


def bounded_polars(case: StreamCase) -> pl.DataFrame:
    df, s = case.df.lazy(), slack(case.times)
    out = None
    for k, (token, w) in enumerate(BOUNDED):
        cols = [pl.col("pos").alias(f"p{k}"), pl.col("t").alias(f"t{k}")]
        if k + 1 < len(BOUNDED):
            cols.append((pl.col("t") + (BOUNDED[k + 1][1] + s)).alias(f"hi{k}"))
        step = df.filter(pl.col("tok") == token).select(cols)
        if out is None:
            out = step
            continue
        out = (out.join_where(step, pl.col(f"p{k}") > pl.col(f"p{k - 1}"), pl.col(f"t{k}") <= pl.col(f"hi{k - 1}"))
               .filter((pl.col(f"t{k}") - pl.col(f"t{k - 1}")).is_between(0.0, w)))
    last = len(BOUNDED) - 1
    return out.select(*[f"p{k}" for k in range(len(BOUNDED))], pl.col("t0").alias("t_start"),
                      pl.col(f"t{last}").alias("t_end")).collect()


# ---------------------------------------------------------------- (3) many patterns

def many_patterns(rare_pairs: list[tuple[str, str]]) -> list[zuldcore.Pattern]:
    elements = [[(a, None), (b, None)] for a, b in rare_pairs] + [list(BOUNDED)] + [list(e) for e in MORE_BOUNDED]
    assert len(elements) == N_PATTERNS
    return [chain(e) for e in elements]


def many_preprocessed(case: StreamCase, patterns) -> list[dict]:
    zs = [zuldcore.Zuldor(p) for p in patterns]
    stream = zs[0].preprocess(case.tokens, case.times)
    return [z.match_preprocessed(stream) for z in zs]


def many_streams(case: StreamCase, patterns) -> list[dict]:
    return [zuldcore.Zuldor(p).match_stream(case.tokens, case.times) for p in patterns]


# ---------------------------------------------------------------- (4) first match per document

def batch_pattern() -> zuldcore.Pattern:
    return chain([(BATCH_A, None), (BATCH_B, BATCH_WITHIN)])


def first_zuldcore(case: BatchCase) -> dict:
    return zuldcore.Zuldor(batch_pattern()).match_batch(case.ids, case.times, case.offsets)


def first_zuldcore_remap(case: BatchCase) -> dict:
    ids = integer_coded(case.log, zuldcore.vocab_ids(case.log.vocab))
    return zuldcore.Zuldor(batch_pattern()).match_batch(ids, case.times, case.offsets)


def _scatter(n_docs: int, doc: np.ndarray, start: np.ndarray, end: np.ndarray) -> dict:
    m_start = np.full(n_docs, -1, dtype=np.int64)
    m_end = np.full(n_docs, -1, dtype=np.int64)
    m_start[doc] = start
    m_end[doc] = end
    return {"m_start": m_start, "m_end": m_end}


def _scatter_keys(n_docs: int, doc: np.ndarray, key: np.ndarray) -> dict:
    key = np.asarray(key, dtype=np.int64)
    return _scatter(n_docs, np.asarray(doc, dtype=np.int64), key >> 32, key & 0xFFFFFFFF)


# The first match of a document is its lexicographically smallest (start, end) pair; both peers find it as the
# minimum of start * 2**32 + end over the document's valid pairs (positions within a document are below 2**31).
def first_duckdb(case: BatchCase) -> dict:
    r = case.con.execute(
        "WITH a AS (SELECT doc, rel AS ra, t AS ta FROM corpus WHERE tok = $a), "
        "     b AS (SELECT doc, rel AS rb, t AS tb FROM corpus WHERE tok = $b) "
        "SELECT a.doc, min(ra::BIGINT * 4294967296 + rb) AS k FROM a JOIN b ON a.doc = b.doc AND rb > ra "
        "WHERE tb - ta BETWEEN 0.0 AND $w GROUP BY a.doc",
        {"a": case.code(BATCH_A), "b": case.code(BATCH_B), "w": BATCH_WITHIN}).fetchnumpy()
    return _scatter_keys(case.docs_n, r["doc"], r["k"])


def first_duckdb_asof(case: BatchCase) -> dict:
    """Valid because times never decrease: the first B after an A is the nearest in time, so if it is out of
    the bound every later B is too."""
    r = case.con.execute(
        "WITH a AS (SELECT doc, rel AS ra, t AS ta FROM corpus WHERE tok = $a), "
        "     b AS (SELECT doc, rel AS rb, t AS tb FROM corpus WHERE tok = $b) "
        "SELECT a.doc, min(ra::BIGINT * 4294967296 + rb) AS k FROM a ASOF JOIN b ON a.doc = b.doc AND a.ra < b.rb "
        "WHERE tb - ta BETWEEN 0.0 AND $w GROUP BY a.doc",
        {"a": case.code(BATCH_A), "b": case.code(BATCH_B), "w": BATCH_WITHIN}).fetchnumpy()
    return _scatter_keys(case.docs_n, r["doc"], r["k"])


def first_polars(case: BatchCase) -> dict:
    df = case.df.lazy()
    a = df.filter(pl.col("tok") == case.code(BATCH_A)).select("doc", pl.col("rel").alias("ra"), pl.col("t").alias("ta"))
    b = df.filter(pl.col("tok") == case.code(BATCH_B)).select("doc", pl.col("rel").alias("rb"), pl.col("t").alias("tb"))
    r = (a.join(b, on="doc")
         .filter((pl.col("rb") > pl.col("ra")) & (pl.col("tb") - pl.col("ta")).is_between(0.0, BATCH_WITHIN))
         .group_by("doc").agg((pl.col("ra").cast(pl.Int64) * 2**32 + pl.col("rb")).min().alias("k"))
         .collect())
    return _scatter_keys(case.docs_n, r["doc"].to_numpy(), r["k"].to_numpy())


def first_polars_asof(case: BatchCase) -> dict:
    """As first_duckdb_asof: valid because times never decrease."""
    df = case.df.lazy()
    a = df.filter(pl.col("tok") == case.code(BATCH_A)).select("doc", "pos", "rel", pl.col("t").alias("ta"))
    b = df.filter(pl.col("tok") == case.code(BATCH_B)).select(
        "doc", pl.col("pos").alias("pos_b"), pl.col("rel").alias("rb"), pl.col("t").alias("tb"))
    r = (a.join_asof(b, left_on="pos", right_on="pos_b", by="doc", strategy="forward", allow_exact_matches=False,
                     check_sortedness=False)
         .filter((pl.col("tb") - pl.col("ta")).is_between(0.0, BATCH_WITHIN))
         .group_by("doc").agg((pl.col("rel").cast(pl.Int64) * 2**32 + pl.col("rb")).min().alias("k"))
         .collect())
    return _scatter_keys(case.docs_n, r["doc"].to_numpy(), r["k"].to_numpy())


# ---------------------------------------------------------------- checks

def _columns(result, names) -> list[np.ndarray]:
    if isinstance(result, pl.DataFrame):
        return [result[n].to_numpy() for n in names]
    return [np.asarray(result[n]) for n in names]


def sorted_matches(result, positions=("m_start", "m_end"), times=("t_start", "t_end")) -> np.ndarray:
    """The matches as rows (positions..., times...), sorted by position: equal arrays mean equal sets (with
    multiplicity)."""
    pos = np.column_stack([c.astype(np.int64) for c in _columns(result, positions)])
    tms = np.column_stack(_columns(result, times))
    order = np.lexsort(pos.T[::-1]) if len(pos) else np.arange(0)
    return np.column_stack([pos[order].astype(np.float64), tms[order]])


def zuldcore_rows(r: dict, n_elements: int) -> np.ndarray:
    """A zuldcore result in the peers' layout, after checking that its own columns agree with each other."""
    el = r["el_stream_idx"]
    assert el.shape == (len(r["m_start"]), n_elements)
    assert np.array_equal(el[:, 0], r["m_start"]) and np.array_equal(el[:, -1], r["m_end"])
    assert np.array_equal(r["el_times"][:, 0], r["t_start"]) and np.array_equal(r["el_times"][:, -1], r["t_end"])
    pos = el.astype(np.int64)
    order = np.lexsort(pos.T[::-1])
    return np.column_stack([pos[order].astype(np.float64), r["t_start"][order], r["t_end"][order]])


def assert_same(name: str, got: np.ndarray, want: np.ndarray) -> None:
    if got.shape != want.shape or not np.array_equal(got, want):
        raise AssertionError(f"{name} disagrees with zuldcore: {len(got):,} matches against {len(want):,}"
                             + ("" if got.shape != want.shape else
                                f"; first difference at row {int(np.flatnonzero((got != want).any(axis=1))[0])}"))


def check_emission_order(r: dict) -> None:
    """The engine emits earliest positions first, the earlier element varying slowest."""
    el = r["el_stream_idx"]
    if len(el) > 1:
        order = np.lexsort(el.T[::-1])
        assert np.array_equal(order, np.arange(len(el))), "zuldcore matches are not in depth-first order"


# ---------------------------------------------------------------- tables

def timed(table: Table, name: str, items: int, fn, repeat: int, **kw) -> Row:
    # warmup=0: median_time's first, sizing call is untimed and serves as the warm-up
    return table.add(Row(name, items, median_time(fn, repeat, warmup=0), **kw))


def memory_row(table: Table, name: str, items: int, setup: str, stmt: str, **kw) -> None:
    table.add(Row(name, items, bytes=peak_rss_of(stmt, "from bench_match import *\n" + setup), **kw))


def bench_load(case: StreamCase, repeat: int) -> Table:
    n = case.n
    t = Table(f"(0) getting {n:,} tokens (list of str) and times into each tool (input to the rows below)")
    z = zuldcore.Zuldor(zuldcore.Pattern())
    timed(t, "zuldcore preprocess (interning)", n, lambda: z.preprocess(case.tokens, case.times), repeat,
          product=True)
    timed(t, "polars.DataFrame(pos, tok: str, t)", n, lambda: polars_frame(case.tokens, case.times), repeat)
    con = connect()
    timed(t, "duckdb CREATE TABLE from pandas", n, lambda: duckdb_load(con, case.tokens, case.times), repeat)
    con.close()
    return t


def bench_pairs(case: StreamCase, a: str, b: str, label: str, repeat: int, memory: bool, case_src: str) -> list[Table]:
    n = case.n
    r = pairs_zuldcore(case, a, b)
    check_emission_order(r)
    want = zuldcore_rows(r, 2)
    assert_same("match_preprocessed", zuldcore_rows(pairs_zuldcore_pre(case, a, b), 2), want)
    for peer, fn in (("NumPy", pairs_numpy), ("DuckDB", pairs_duckdb), ("Polars", pairs_polars)):
        assert_same(peer, sorted_matches(fn(case, a, b)), want)
    n_matches = len(r["m_start"])
    del r

    title = f"{label}: {a} then {b}, no bounds (fast path), {n_matches:,} matches in {n:,} tokens"
    t = Table(title)
    timed(t, "zuldcore match_stream(list[str], times)", n, lambda: pairs_zuldcore(case, a, b), repeat, product=True)
    timed(t, "zuldcore match_preprocessed", n, lambda: pairs_zuldcore_pre(case, a, b), repeat,
          note="(zuldcore, stream interned beforehand, as the peers' tables are)")
    timed(t, "NumPy str ==, searchsorted, repeat", n, lambda: pairs_numpy(case, a, b), repeat, target=AHEAD)
    timed(t, "DuckDB range join (b.pos > a.pos)", n, lambda: pairs_duckdb(case, a, b), repeat, target=AHEAD)
    timed(t, "Polars join_where(pos_b > pos)", n, lambda: pairs_polars(case, a, b), repeat, target=AHEAD)
    tables = [t]
    if memory:
        m = Table(f"{label} peak memory, result kept (fresh process each)")
        args = f"case, {a!r}, {b!r}"
        memory_row(m, "zuldcore match_stream", n, case_src + "case.prepare('tokens')",
                   f"r = pairs_zuldcore({args})", product=True)
        memory_row(m, "zuldcore match_preprocessed", n, case_src + "case.prepare('stream')",
                   f"r = pairs_zuldcore_pre({args})")
        memory_row(m, "NumPy", n, case_src + "case.prepare('tokens_array')", f"r = pairs_numpy({args})",
                   target=AHEAD)
        memory_row(m, "DuckDB", n, case_src + "case.prepare('con')", f"r = pairs_duckdb({args})", target=AHEAD)
        memory_row(m, "Polars", n, case_src + "case.prepare('df')", f"r = pairs_polars({args})", target=AHEAD)
        tables.append(m)
    return tables


def bench_bounded(case: StreamCase, repeat: int, memory: bool, case_src: str) -> list[Table]:
    n, k = case.n, len(BOUNDED)
    r = bounded_zuldcore(case)
    check_emission_order(r)
    want = zuldcore_rows(r, k)
    assert_same("match_preprocessed", zuldcore_rows(bounded_zuldcore_pre(case), k), want)
    positions = tuple(f"p{i}" for i in range(k))
    assert_same("DuckDB", sorted_matches(bounded_duckdb(case), positions), want)
    assert_same("Polars", sorted_matches(bounded_polars(case), positions), want)
    n_matches = len(r["m_start"])
    del r

    steps = ", ".join(tok if w is None else f"{tok} within {w:g} h" for tok, w in BOUNDED)
    t = Table(f"(2) {steps} (general search), {n_matches:,} matches in {n:,} tokens")
    timed(t, "zuldcore match_stream(list[str], times)", n, lambda: bounded_zuldcore(case), repeat, product=True)
    timed(t, "zuldcore match_preprocessed", n, lambda: bounded_zuldcore_pre(case), repeat,
          note="(zuldcore, stream interned beforehand)")
    timed(t, "DuckDB temp tables + IE joins", n, lambda: bounded_duckdb(case), repeat, target=AHEAD)
    timed(t, "Polars join_where (IE joins) + filter", n, lambda: bounded_polars(case), repeat, target=AHEAD)
    tables = [t]
    if memory:
        m = Table("(2) peak memory, result kept (fresh process each)")
        memory_row(m, "zuldcore match_stream", n, case_src + "case.prepare('tokens')", "r = bounded_zuldcore(case)",
                   product=True)
        memory_row(m, "zuldcore match_preprocessed", n, case_src + "case.prepare('stream')",
                   "r = bounded_zuldcore_pre(case)")
        memory_row(m, "DuckDB", n, case_src + "case.prepare('con')", "r = bounded_duckdb(case)", target=AHEAD)
        memory_row(m, "Polars", n, case_src + "case.prepare('df')", "r = bounded_polars(case)", target=AHEAD)
        tables.append(m)
    return tables


def bench_many(case: StreamCase, rare_pairs, repeat: int, memory: bool, case_src: str) -> list[Table]:
    n = case.n
    patterns = many_patterns(rare_pairs)
    pre = many_preprocessed(case, patterns)
    each = many_streams(case, patterns)
    keys = ("m_start", "m_end", "t_start", "t_end", "el_stream_idx", "el_times")
    for i, (x, y) in enumerate(zip(pre, each)):
        for key in keys:
            assert np.array_equal(x[key], y[key]), f"pattern {i}: match_preprocessed and match_stream differ in {key}"
    n_matches = sum(len(x["m_start"]) for x in pre)
    del pre, each

    t = Table(f"(3) {len(patterns)} patterns over one stream of {n:,} tokens ({n_matches:,} matches in all); "
              f"throughput counts every pattern's pass")
    items = n * len(patterns)
    timed(t, f"preprocess + {len(patterns)} match_preprocessed", items, lambda: many_preprocessed(case, patterns),
          repeat, product=True)
    timed(t, f"{len(patterns)} match_stream", items, lambda: many_streams(case, patterns), repeat, target=AHEAD)
    tables = [t]
    if memory:
        m = Table("(3) peak memory, all results kept (fresh process each)")
        setup = case_src + f"case.prepare('tokens')\npatterns = many_patterns({rare_pairs!r})"
        memory_row(m, f"preprocess + {len(patterns)} match_preprocessed", items, setup,
                   "r = many_preprocessed(case, patterns)", product=True)
        memory_row(m, f"{len(patterns)} match_stream", items, setup, "r = many_streams(case, patterns)", target=AHEAD)
        tables.append(m)
    return tables


def check_first_only(case: BatchCase, got: dict, sample: int, seed: int) -> None:
    """On a sample of documents (with and without a match): match_batch equals match_stream(first_only=True) over
    the document's strings, and that is the smallest (m_start, m_end) of all the document's matches."""
    z = zuldcore.Zuldor(batch_pattern())
    rng = np.random.default_rng(seed)
    matched = np.flatnonzero(got["m_start"] >= 0)
    unmatched = np.flatnonzero(got["m_start"] < 0)
    docs = np.concatenate([rng.choice(matched, min(sample, len(matched)), replace=False),
                           rng.choice(unmatched, min(sample, len(unmatched)), replace=False)])
    for k in docs.tolist():
        tokens, times, _ = case.log.doc(k)
        first = z.match_stream(tokens, times, first_only=True)
        every = z.match_stream(tokens, times)
        assert len(first["m_start"]) == (1 if len(every["m_start"]) else 0)
        if len(every["m_start"]):
            lexmin = min(zip(every["m_start"].tolist(), every["m_end"].tolist()))
            assert (int(first["m_start"][0]), int(first["m_end"][0])) == lexmin, f"document {k}: first_only"
            assert (int(got["m_start"][k]), int(got["m_end"][k])) == lexmin, f"document {k}: match_batch"
        else:
            assert got["m_start"][k] == -1 and got["m_end"][k] == -1, f"document {k}: match_batch found a match"


def bench_batch(case: BatchCase, repeat: int, memory: bool, case_src: str, seed: int) -> list[Table]:
    total = case.total
    got = first_zuldcore(case)
    assert set(got) == {"m_start", "m_end"}
    check_first_only(case, got, 100, seed)
    assert np.array_equal(first_zuldcore_remap(case)["m_start"], got["m_start"])
    for peer, fn in (("DuckDB", first_duckdb), ("DuckDB ASOF", first_duckdb_asof), ("Polars", first_polars),
                     ("Polars join_asof", first_polars_asof)):
        r = fn(case)
        for key in ("m_start", "m_end"):
            if not np.array_equal(r[key], got[key]):
                bad = np.flatnonzero(r[key] != got[key])
                raise AssertionError(f"{peer} disagrees with match_batch on {len(bad):,} documents, e.g. document "
                                     f"{int(bad[0])}: {key} {int(r[key][bad[0]])} against {int(got[key][bad[0]])}")
    matched = int((got["m_start"] >= 0).sum())

    t = Table(f"(4) first '{BATCH_A} then {BATCH_B} within {BATCH_WITHIN:g} h' in each of {case.docs_n:,} documents "
              f"({total:,} tokens; {matched:,} documents match)")
    timed(t, "zuldcore match_batch(ids, times, offsets)", total, lambda: first_zuldcore(case), repeat, product=True)
    timed(t, "zuldcore vocab_ids remap + match_batch", total, lambda: first_zuldcore_remap(case), repeat,
          note="(zuldcore, from the generator's codes)")
    timed(t, "DuckDB join on doc + group by", total, lambda: first_duckdb(case), repeat, target=AHEAD)
    timed(t, "DuckDB ASOF join + group by", total, lambda: first_duckdb_asof(case), repeat, target=AHEAD)
    timed(t, "Polars join on doc + group_by", total, lambda: first_polars(case), repeat, target=AHEAD)
    timed(t, "Polars join_asof + group_by", total, lambda: first_polars_asof(case), repeat, target=AHEAD)
    tables = [t]
    if memory:
        m = Table("(4) peak memory, result kept (fresh process each)")
        memory_row(m, "zuldcore match_batch", total, case_src + "case.prepare('ids')", "r = first_zuldcore(case)",
                   product=True)
        for name, fn in (("DuckDB join", "first_duckdb"), ("DuckDB ASOF", "first_duckdb_asof")):
            memory_row(m, name, total, case_src + "case.prepare('con')", f"r = {fn}(case)", target=AHEAD)
        for name, fn in (("Polars join", "first_polars"), ("Polars join_asof", "first_polars_asof")):
            memory_row(m, name, total, case_src + "case.prepare('df')", f"r = {fn}(case)", target=AHEAD)
        tables.append(m)
    return tables


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10_000_000, help="tokens in the stream of rows 0 to 3")
    parser.add_argument("--vocab", type=int, default=10_000, help="vocabulary size")
    parser.add_argument("--pairs", type=int, default=4_000_000,
                        help="(1a) wanted match count of the rare-token pair (picks the tokens)")
    parser.add_argument("--dense-n", type=int, default=100_000, help="(1b) tokens in the dense-pairs stream")
    parser.add_argument("--docs-n", type=int, default=1_000_000, help="(4) documents in the batch corpus")
    parser.add_argument("--docs-len", type=float, default=50.0, help="(4) mean document length")
    parser.add_argument("--docs-gap", type=float, default=3.0, help="(4) mean hours between events")
    parser.add_argument("--rows", default="0,1,2,3,4", help="which tables to run, e.g. 1,2")
    parser.add_argument("--threads", type=int, help="threads of DuckDB and Polars (default: theirs, all cores)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    add_common_args(parser)
    parser.set_defaults(repeat=3)
    args = parser.parse_args()
    rows = {int(x) for x in args.rows.split(",") if x}
    memory = not args.no_memory
    duck_threads = connect().execute("SELECT current_setting('threads')").fetchone()[0]

    print(f"zuldcore from {zuldcore.__file__}")
    print(f"median of {args.repeat}; threads: zuldcore 1, Polars {pl.thread_pool_size()}, DuckDB {duck_threads}")
    case = None
    if rows & {0, 1, 2, 3}:
        t0 = time.perf_counter()
        case = StreamCase(args.n, args.vocab, args.seed)
        case.prepare("tokens", "tokens_array", "stream", "df", "con")
        print(f"{args.n:,} events, {case.log.n_docs:,} documents, vocabulary {args.vocab:,}, seed {args.seed}; "
              f"inputs built in {time.perf_counter() - t0:.1f} s")
        rare = pick_rare_pairs(case.log, args.pairs, 1)[0]
        n_more = N_PATTERNS - 2 - len(MORE_BOUNDED)   # (3): with the (1a) pair and the (2) chain, 20 patterns
        more_rare = pick_rare_pairs(case.log, max(args.pairs // 10, 1), n_more, exclude=set(rare))
    case_src = f"case = StreamCase({args.n}, {args.vocab}, {args.seed})\n"

    tables: list[Table] = []

    show = shower(tables)

    if 0 in rows:
        show([bench_load(case, args.repeat)])
    if 1 in rows:
        print(f"\n(1a) pair chosen for about {args.pairs:,} matches: {rare[0]} and {rare[1]} "
              f"({count_pairs(case.log, *rare):,} pairs)")
        show(bench_pairs(case, *rare, "(1a)", args.repeat, memory, case_src))
        dense = StreamCase(args.dense_n, args.vocab, args.seed)
        dense_src = f"case = StreamCase({args.dense_n}, {args.vocab}, {args.seed})\n"
        show(bench_pairs(dense, *DENSE, "(1b)", args.repeat, memory, dense_src))
        del dense
    if 2 in rows:
        show(bench_bounded(case, args.repeat, memory, case_src))
    if 3 in rows:
        show(bench_many(case, [rare] + more_rare, args.repeat, memory, case_src))
    del case
    if 4 in rows:
        t0 = time.perf_counter()
        batch = BatchCase(args.docs_n, args.docs_len, args.docs_gap, args.vocab, args.seed)
        batch.prepare("ids", "df", "con")
        print(f"\n(4) corpus of {args.docs_n:,} documents, {batch.total:,} tokens "
              f"(mean length {args.docs_len:g}, mean gap {args.docs_gap:g} h) "
              f"built in {time.perf_counter() - t0:.1f} s")
        batch_src = f"case = BatchCase({args.docs_n}, {args.docs_len}, {args.docs_gap}, {args.vocab}, {args.seed})\n"
        show(bench_batch(batch, args.repeat, memory, batch_src, args.seed))
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"zuldcore_file": zuldcore.__file__})


if __name__ == "__main__":
    main()
