"""Interning and stream-conversion costs: zuldcore against pandas, NumPy and plain Python.

  (a) vocab_ids over a list of str and over a NumPy str array, against pandas.factorize and a dict loop;
      all codings are checked to split the positions the same way before anything is timed.
  (b) conversion of `times` (a list of float, a float64 array) against NumPy. annotate_stream converts its
      arguments before it compares their lengths, so a call with one token and n times converts the n times and
      raises ValueError without doing anything else: that call times the conversion alone.
  (c) peak memory of each interning contender over the same list, each in a fresh process.

Run: python bench/bench_intern.py [--n 10000000] [--vocab 10000] [--repeat 5] [--json PATH] [--no-memory]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

import zuldcore
from data import event_log
from harness import Row, Table, add_common_args, median_time, peak_rss_of, print_table, write_json

PACKAGES = ("zuldcore", "numpy", "pandas")
FACTORIZE_TARGET = 3.0          # vocab_ids should reach at least 3x the throughput of pandas.factorize
CONVERSION_TARGET = 1 / 1.5     # times conversion should take at most 1.5x as long as numpy.asarray
ONE_TOKEN = ["ED_ARRIVAL"]      # with n times: a length mismatch that annotate_stream finds after converting


def dict_codes(tokens) -> list[int]:
    """The plain-Python way: a dict that gives each new string the next id."""
    d: dict[str, int] = {}
    return [d.setdefault(t, len(d)) for t in tokens]


def factorize_list(tokens: list[str]) -> np.ndarray:
    # pandas.factorize refuses a list (pandas >= 3), so the list becomes an object array first, as a caller
    # holding a list would have to do; that step is part of the cost.
    return pd.factorize(np.array(tokens, dtype=object))[0]


def same_partition(a, b) -> bool:
    """True when codings a and b (non-negative integers, one per position) give equal codes to exactly the same
    pairs of positions, i.e. each a-code maps to one b-code and back."""
    a = np.asarray(a, dtype=np.int64)
    b = np.asarray(b, dtype=np.int64)
    if a.shape != b.shape:
        return False
    if a.size == 0:
        return True
    a_to_b = np.full(int(a.max()) + 1, -1, dtype=np.int64)
    b_to_a = np.full(int(b.max()) + 1, -1, dtype=np.int64)
    a_to_b[a] = b        # one of the b-codes seen with each a-code; a function only if every position agrees
    b_to_a[b] = a
    return bool(np.array_equal(a_to_b[a], b) and np.array_equal(b_to_a[b], a))


def convert_times(times) -> None:
    """Let annotate_stream convert `times`, then stop at its length check."""
    try:
        zuldcore.annotate_stream(ONE_TOKEN, times, [])
    except ValueError:
        return
    raise AssertionError("annotate_stream accepted times longer than tokens")


def check_conversion_first() -> None:
    """The timing trick relies on annotate_stream converting every time before it compares lengths: a bad last
    item must therefore be reported although the lengths differ too."""
    try:
        zuldcore.annotate_stream(ONE_TOKEN, [0.0, 1.0, None], [])
    except TypeError:
        return
    except ValueError as e:
        raise AssertionError("annotate_stream checks lengths before converting times; "
                             "the times rows would not measure conversion") from e
    raise AssertionError("annotate_stream accepted None as a time")


def check_conversion_error(times) -> None:
    expected = f"times has length {len(times)} but tokens has length 1"
    try:
        zuldcore.annotate_stream(ONE_TOKEN, times, [])
    except ValueError as e:
        assert str(e) == expected, f"unexpected message {str(e)!r}, wanted {expected!r}"
        return
    raise AssertionError("annotate_stream accepted times longer than tokens")


def bench_vocab_ids(log, repeat: int) -> list[Table]:
    n = len(log)
    tokens = log.tokens
    array = log.tokens_array

    ids = zuldcore.vocab_ids(tokens)
    assert isinstance(ids, list) and len(ids) == n
    assert same_partition(ids, log.codes), "vocab_ids disagrees with the generator's coding"
    remap = np.asarray(zuldcore.vocab_ids(log.vocab), dtype=np.int64)
    assert np.array_equal(remap[log.codes], ids), "vocab_ids(vocab)[codes] differs from vocab_ids(tokens)"
    assert same_partition(factorize_list(tokens), log.codes), "pandas.factorize disagrees"
    assert same_partition(dict_codes(tokens), log.codes), "the dict loop disagrees"
    assert zuldcore.vocab_ids(array) == ids, "vocab_ids gives other ids for the NumPy str array"
    assert same_partition(pd.factorize(array)[0], log.codes), "pandas.factorize disagrees on the NumPy str array"
    del ids

    # After the checks above every token is already interned, so vocab_ids is timed doing lookups only, while
    # the peers start from an empty table on every call; for 10k distinct tokens in millions that difference is
    # small next to the per-token cost being measured.
    lst = Table(f"(a) interning a list of {n:,} str ({len(log.vocab):,}-token skewed vocabulary)")
    lst.add(Row("zuldcore.vocab_ids(list)", n, median_time(lambda: zuldcore.vocab_ids(tokens), repeat),
                product=True))
    lst.add(Row("pandas.factorize(object array)", n, median_time(lambda: factorize_list(tokens), repeat),
                target=FACTORIZE_TARGET))
    lst.add(Row("dict setdefault loop", n, median_time(lambda: dict_codes(tokens), repeat)))

    arr = Table(f"(a) interning a NumPy str array ({array.dtype}) of {n:,}")
    arr.add(Row("zuldcore.vocab_ids(array)", n, median_time(lambda: zuldcore.vocab_ids(array), repeat),
                product=True))
    arr.add(Row("pandas.factorize(array)", n, median_time(lambda: pd.factorize(array), repeat),
                target=FACTORIZE_TARGET))
    return [lst, arr]


def bench_times(log, repeat: int) -> list[Table]:
    n = len(log)
    times_list = log.times_list
    times = log.times
    check_conversion_first()
    check_conversion_error(times_list)
    check_conversion_error(times)
    assert np.array_equal(np.asarray(times_list, dtype=np.float64), times)

    lst = Table(f"(b) converting times: a list of {n:,} float")
    lst.add(Row("zuldcore (annotate_stream, length check)", n, median_time(lambda: convert_times(times_list), repeat),
                product=True))
    lst.add(Row("numpy.asarray(list, float64)", n,
                median_time(lambda: np.asarray(times_list, dtype=np.float64), repeat),
                target=CONVERSION_TARGET, note="(zuldcore within 1.5x)"))

    # asarray of a float64 array returns the array itself; zuldcore copies its input, so the peer is a copy.
    arr = Table(f"(b) converting times: a float64 array of {n:,}")
    arr.add(Row("zuldcore (annotate_stream, length check)", n, median_time(lambda: convert_times(times), repeat),
                product=True))
    arr.add(Row("numpy.array(array, float64, copy=True)", n,
                median_time(lambda: np.array(times, dtype=np.float64, copy=True), repeat),
                target=CONVERSION_TARGET, note="(zuldcore within 1.5x)"))
    return [lst, arr]


def bench_memory(args) -> list[Table]:
    setup = (f"import numpy as np, pandas as pd, zuldcore\n"
             f"from data import event_log\n"
             f"tokens = event_log({args.n}, {args.vocab}, {args.seed}).tokens\n")
    mem = Table(f"(c) peak memory of interning {args.n:,} str, result kept (fresh process each)")
    mem.add(Row("zuldcore.vocab_ids(list)", args.n, bytes=peak_rss_of("ids = zuldcore.vocab_ids(tokens)", setup),
                product=True))
    mem.add(Row("pandas.factorize(object array)", args.n,
                bytes=peak_rss_of("codes, uniques = pd.factorize(np.array(tokens, dtype=object))", setup)))
    mem.add(Row("dict setdefault loop", args.n,
                bytes=peak_rss_of("d = {}\nids = [d.setdefault(t, len(d)) for t in tokens]", setup)))
    return [mem]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10_000_000, help="events (tokens) per stream")
    parser.add_argument("--vocab", type=int, default=10_000, help="vocabulary size")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    add_common_args(parser)
    args = parser.parse_args()

    t0 = time.perf_counter()
    log = event_log(args.n, args.vocab, args.seed)
    log.tokens, log.tokens_array, log.times_list   # built once, outside every timing
    print(f"zuldcore from {zuldcore.__file__}")
    print(f"{args.n:,} events, {log.n_docs:,} documents, vocabulary {args.vocab:,}, seed {args.seed}; "
          f"inputs built in {time.perf_counter() - t0:.1f} s; median of {args.repeat}")

    tables = bench_vocab_ids(log, args.repeat) + bench_times(log, args.repeat)
    for t in tables:
        print_table(t.title, t.rows)
    if not args.no_memory:
        del log
        for t in bench_memory(args):
            print_table(t.title, t.rows)
            tables.append(t)
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"zuldcore_file": zuldcore.__file__})


if __name__ == "__main__":
    main()
