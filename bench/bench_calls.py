"""Per-call costs and the limits of one machine: match_batch on a corpus of many short documents (one and two
threads), small match_stream calls as a per-patient loop makes them, vocab_ids on the three shapes strings
arrive in, and the fast path's all-pairs case. Each row beside the fastest thing a user could write instead, in
the same run; ratios are peer/zuldcore (above 1 means zuldcore is faster).

The script uses only the public API, so it runs unchanged against an older build installed in another venv:
that is how the before/after tables in bench/README.md were made.

Run: python bench/bench_calls.py [--docs 1000000] [--tokens 10000000] [--repeat 5] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import threading
import time

import numpy as np

import zuldcore
from harness import Row, median_time, print_table


def corpus(n_docs: int, seed: int = 1):
    """Documents of Poisson(12) events, Zipf codes over 1,000 tokens, exponential gaps of mean 3 h."""
    rng = np.random.default_rng(seed)
    lengths = rng.poisson(12, n_docs)
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    n = int(offsets[-1])
    vocab = [f"T{i}" for i in range(1000)]
    w = 1.0 / np.arange(1, 1001) ** 1.1
    codes = rng.choice(1000, n, p=w / w.sum())
    remap = np.array(zuldcore.vocab_ids(vocab), dtype=np.uint32)
    times = np.cumsum(rng.exponential(3.0, n))
    return remap, remap[codes], times, offsets, lengths


def batch_numpy(ids, times, offsets, lengths, a, b, within):
    """First "a then b within `within`" per document: for each a, the next b after it (searchsorted); a match
    when that b is in the same document and in time; the first such a of each document."""
    n_docs = len(offsets) - 1
    doc = np.repeat(np.arange(n_docs), lengths)
    pa = np.flatnonzero(ids == a)
    pb = np.flatnonzero(ids == b)
    j = np.searchsorted(pb, pa, side="right")
    ok = j < len(pb)
    nb = pb[np.minimum(j, len(pb) - 1)]
    ok &= (doc[nb] == doc[pa]) & (times[nb] - times[pa] <= within)
    pa, nb = pa[ok], nb[ok]
    m_start = np.full(n_docs, -1, dtype=np.int64)
    m_end = np.full(n_docs, -1, dtype=np.int64)
    d = doc[pa]
    first = np.flatnonzero(np.r_[True, d[1:] != d[:-1]])   # pa ascending, so the first per document
    m_start[d[first]] = pa[first] - offsets[d[first]]
    m_end[d[first]] = nb[first] - offsets[d[first]]
    return m_start, m_end


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--docs", type=int, default=1_000_000)
    parser.add_argument("--tokens", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args()
    tables = {}

    # ---- match_batch
    remap, ids, times, offsets, lengths = corpus(args.docs)
    n = len(ids)
    p = zuldcore.Pattern()
    p.add_event("T2")
    p.add_event("T5", max_dt=48.0)
    z = zuldcore.Zuldor(p)
    got = z.match_batch(ids, times, offsets)
    want = batch_numpy(ids, times, offsets, lengths, remap[2], remap[5], 48.0)
    assert np.array_equal(got["m_start"], want[0]) and np.array_equal(got["m_end"], want[1])

    def two_threads():
        half = len(offsets) // 2
        out = [None, None]
        ts = [threading.Thread(target=lambda k=k, sl=sl: out.__setitem__(k, z.match_batch(ids, times, sl)))
              for k, sl in enumerate((offsets[:half + 1], offsets[half:]))]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        return out

    parts = two_threads()
    assert np.array_equal(np.concatenate([parts[0]["m_start"], parts[1]["m_start"]]), got["m_start"])
    none = zuldcore.Pattern()
    none.add_event("NOT_IN_CORPUS_A")
    none.add_event("NOT_IN_CORPUS_B", max_dt=48.0)
    zn = zuldcore.Zuldor(none)
    rows = [
        Row("zuldcore match_batch, 1 thread", n, median_time(lambda: z.match_batch(ids, times, offsets), args.repeat),
            product=True),
        Row("zuldcore match_batch, 2 threads", n, median_time(two_threads, args.repeat), target=1.8),
        Row("NumPy searchsorted formulation", n,
            median_time(lambda: batch_numpy(ids, times, offsets, lengths, remap[2], remap[5], 48.0), args.repeat),
            target=2.0),
        Row("zuldcore match_batch, no document has either token", n,
            median_time(lambda: zn.match_batch(ids, times, offsets), args.repeat)),
        Row("a scan of the token column (ids == a).any()", n, median_time(lambda: (ids == remap[999]).any(),
                                                                           args.repeat)),
    ]
    title = f"match_batch: first 'T2 then T5 within 48 h' in {args.docs:,} documents, {n:,} events"
    print_table(title, rows)
    tables[title] = rows

    # ---- small match_stream
    tokens = ["T2", "T9", "T5", "T1", "T2", "T5", "T9", "T3", "T5", "T2"]
    t10 = [float(i) for i in range(10)]
    stream = z.preprocess(tokens, t10)
    rows = [
        Row("zuldcore match_stream, 10 events", 1, median_time(lambda: z.match_stream(tokens, t10), args.repeat),
            product=True),
        Row("zuldcore match_preprocessed, 10 events", 1, median_time(lambda: z.match_preprocessed(stream),
                                                                     args.repeat)),
        Row("building a dict of 9 empty arrays", 1, median_time(lambda: {k: np.empty(0) for k in range(9)},
                                                                args.repeat)),
    ]
    title = "per call: a 10-event stream (targets: match_stream <= 3 us, match_preprocessed <= 2 us)"
    print_table(title, rows)
    tables[title] = rows

    # ---- vocab_ids
    rng = np.random.default_rng(0)
    vocab = [f"LAB_{i:06d}" for i in range(10_000)]
    codes = rng.integers(0, 10_000, args.tokens)
    shared = [vocab[c] for c in codes]
    distinct = [vocab[c][:4] + vocab[c][4:] for c in codes]   # one str object per token, as read from a file
    arr = np.array(shared, dtype="<U10")
    lookup = dict(zip(vocab, zuldcore.vocab_ids(vocab)))
    assert zuldcore.vocab_ids(distinct) == [lookup[s] for s in shared]
    import pandas as pd
    rows = [
        Row("zuldcore vocab_ids, list of distinct str objects", args.tokens,
            median_time(lambda: zuldcore.vocab_ids(distinct), args.repeat), product=True),
        Row("[d[s] for s in tokens] with a prebuilt dict", args.tokens,
            median_time(lambda: [lookup[s] for s in distinct], args.repeat), target=2.0),
        Row("zuldcore vocab_ids, list of shared str objects", args.tokens,
            median_time(lambda: zuldcore.vocab_ids(shared), args.repeat)),
    ]
    title = f"vocab_ids over {args.tokens:,} tokens (10,000 distinct)"
    print_table(title, rows)
    tables[title] = rows
    rows = [Row("zuldcore vocab_ids, NumPy <U10 array", args.tokens,
                median_time(lambda: zuldcore.vocab_ids(arr), args.repeat), product=True),
            Row("pandas.factorize of the array", args.tokens, median_time(lambda: pd.factorize(arr), args.repeat),
                target=2.0)]
    try:
        import polars as pl
        rows.append(Row("Polars Series(array).cast(Categorical)", args.tokens,
                        median_time(lambda: pl.Series(arr).cast(pl.Categorical), args.repeat), target=2.0))
    except ImportError:
        pass
    title = f"vocab_ids over a NumPy <U10 array of {args.tokens:,} tokens"
    print_table(title, rows)
    tables[title] = rows

    # ---- fast path, all pairs
    try:
        import polars as pl
    except ImportError:
        pl = None
    if pl is not None:
        # About 2,800 A and 2,800 B among 200,000 tokens: some 4 million pairs.
        toks = np.array(["A", "B", "C"])[rng.choice(3, 200_000, p=[0.014, 0.014, 0.972])]
        tl = toks.tolist()
        tt = np.arange(len(tl), dtype=np.float64)
        q = zuldcore.Pattern()
        q.add_event("A")
        q.add_event("B")
        zq = zuldcore.Zuldor(q)
        pre = zq.preprocess(tl, tt)
        df = pl.DataFrame({"pos": np.arange(len(tl)), "tok": tl, "t": tt})

        def polars_pairs():
            a = df.filter(pl.col("tok") == "A").select(pl.col("pos").alias("m_start"))
            b = df.filter(pl.col("tok") == "B").select(pl.col("pos").alias("m_end"))
            return a.join_where(b, pl.col("m_end") > pl.col("m_start"))

        count = len(zq.match_preprocessed(pre)["m_start"])
        assert count == len(polars_pairs())
        rows = [Row("zuldcore match_preprocessed (fast path)", count,
                    median_time(lambda: zq.match_preprocessed(pre), args.repeat), product=True),
                Row("Polars join_where(pos_b > pos_a)", count, median_time(polars_pairs, args.repeat), target=1.0)]
        title = f"fast path: all pairs 'A then B', {count:,} pairs (throughput in pairs)"
        print_table(title, rows)
        tables[title] = rows

    if args.json:
        with open(args.json, "w") as f:
            json.dump({t: [r.__dict__ for r in rs] for t, rs in tables.items()}, f, indent=1)


if __name__ == "__main__":
    main()
