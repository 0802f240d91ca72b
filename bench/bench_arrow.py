"""Arrow columns in: stream calls on tokens held as Arrow data, against the same calls on the Python list a caller
would otherwise build, and against Polars' own coding of the strings.

  (a) tokens in a Polars String Series (exported as Arrow string_view);
  (b) tokens in a pyarrow dictionary array (int32 indices into the vocabulary).
For each: vocab_ids, Zuldor.preprocess (conversion and interning alone), Zuldor.match_stream (ED_ARRIVAL, SBP within 2 h, ABX_START within 6 h, as bench_match.py (2))
and annotate_stream (the maximum SBP over the past 24 h and LACTATE in the past 6 h at every position), timed on
  - the Arrow object itself (the product row);
  - the list that to_list() / to_pylist() gives, built before the timing: the call alone (target: 3x);
  - the same plus building that list (timed once), as a caller holding the Arrow data would pay;
  - Polars' own series.cast(pl.Categorical) of the String Series, a coding of the same strings (target: 2x).
Times and values are float64 NumPy arrays in every row. Every result on the Arrow object is checked equal to the
result on the list before anything is timed.

Run: python bench/bench_arrow.py [--n 10000000] [--repeat 3] [--json PATH]
"""

from __future__ import annotations

import argparse
import gc
import time

import numpy as np
import polars as pl
import pyarrow as pa

import zuldcore
from bench_match import BOUNDED, chain
from data import event_log
from harness import Row, Table, add_common_args, median_time, print_table, write_json

PACKAGES = ("zuldcore", "numpy", "polars", "pyarrow")
LIST_TARGET = 3.0
CATEGORICAL_TARGET = 2.0
A = zuldcore.AnnotationSpec


def specs():
    return [A.window_aggregate("sbp_max", "SBP", 24.0, "max", forward=False, partial_window=True),
            A.past_occurrence("lactate", "LACTATE", 6.0, partial_window=True)]


def calls(zuldor, times, values):
    """name -> function of the tokens."""
    return {
        "vocab_ids": zuldcore.vocab_ids,
        "preprocess": lambda tokens: zuldor.preprocess(tokens, times, values),
        "match_stream": lambda tokens: zuldor.match_stream(tokens, times),
        "annotate_stream": lambda tokens: zuldcore.annotate_stream(tokens, times, specs(), values),
    }


def same(a, b) -> bool:
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return a == b


def bench_form(title: str, arrow, to_list, categorical, log, repeat: int) -> list[Table]:
    n = len(log)
    zuldor = zuldcore.Zuldor(chain(BOUNDED))
    t0 = time.perf_counter()
    listed = to_list()
    listing = time.perf_counter() - t0
    tables = []
    for name, call in calls(zuldor, log.times, log.values).items():
        seen = zuldor.match_preprocessed if name == "preprocess" else (lambda result: result)
        assert same(seen(call(arrow)), seen(call(listed))), f"{name} differs between the Arrow object and its list"
        table = Table(f"({title}) {name} over {n:,} events")
        table.add(Row(f"{name}(Arrow)", n, median_time(lambda: call(arrow), repeat), product=True))
        on_list = table.add(Row(f"{name}(list), list built before", n, median_time(lambda: call(listed), repeat),
                                target=LIST_TARGET))
        table.add(Row(f"to_list() ({listing:.2f} s), then {name}(list)", n, listing + on_list.seconds))
        table.add(Row("Polars cast(pl.Categorical)", n, categorical, target=CATEGORICAL_TARGET))
        print_table(table.title, table.rows)
        tables.append(table)
    del listed
    gc.collect()
    return tables


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10_000_000, help="events per stream")
    parser.add_argument("--vocab", type=int, default=10_000, help="vocabulary size")
    add_common_args(parser)
    parser.set_defaults(repeat=3)
    args = parser.parse_args()

    t0 = time.perf_counter()
    log = event_log(args.n, args.vocab, args.seed)
    series = pl.Series("tok", log.vocab, dtype=pl.String).gather(log.codes).rechunk()
    dictionary = pa.DictionaryArray.from_arrays(pa.array(log.codes.astype(np.int32)), pa.array(log.vocab))
    zuldcore.vocab_ids(log.vocab)  # every row then looks tokens up; none pays for first interning
    print(f"zuldcore from {zuldcore.__file__}")
    print(f"{args.n:,} events, vocabulary {args.vocab:,}, seed {args.seed}; inputs built in "
          f"{time.perf_counter() - t0:.1f} s; median of {args.repeat}; Polars {pl.__version__}, pyarrow {pa.__version__}")

    categorical = median_time(lambda: series.cast(pl.Categorical), args.repeat)
    tables = bench_form("a: Polars String Series", series, series.to_list, categorical, log, args.repeat)
    tables += bench_form("b: pyarrow dictionary<int32, string>", dictionary, dictionary.to_pylist, categorical,
                         log, args.repeat)
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"zuldcore_file": zuldcore.__file__})


if __name__ == "__main__":
    main()
