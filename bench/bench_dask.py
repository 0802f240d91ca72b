"""The cohort question of examples/cohort_dask.py on a local dask.distributed cluster: one Corpus per partition
against the per-patient version, both over the same MEDS Parquet files.

The corpus (--subjects subjects, 100,000 by default, about 11M timed rows, in --shards files) is written by
examples/write_meds.py into a temporary directory before anything is timed, and the cluster (--workers worker
processes of one thread) is started and warmed up on a small corpus (imports, first calls) first too. Both
variants read the files with dask.dataframe, one partition per file:
  - the example: `answer`, one `Corpus.from_frame` per partition and one call per job (threads=1);
  - the per-patient version, the example as it was before the corpus (`answer_per_patient`): one match_batch
    over the partition, then state_spans and annotate_stream per subject.
Both tables must be equal (exactly, dtypes and index included) before the times are printed: wall time and
timed rows per second of each, their ratio against the target (10x), the same question in this process over
one corpus of every file (threads = all CPUs) for comparison, and the workers' CPU time per variant.

Run: python bench/bench_dask.py [--subjects 100000] [--shards 16] [--workers 2] [--repeat 3] [--json PATH]
     python bench/bench_dask.py --subjects 5000 --shards 4 --repeat 1    # smoke, seconds
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import pandas as pd

from harness import Row, Table, median_time, print_table, write_json

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import cohort_dask  # noqa: E402
import write_meds  # noqa: E402

PACKAGES = ("zuldcore", "dask", "distributed", "pandas", "pyarrow", "numpy")
TARGET = 10.0          # the example at least ten times the per-patient version's events per second
SLOW_SECONDS = 20.0    # a variant whose first call takes longer is timed by that one call


def workers_cpu(client) -> float:
    """The CPU seconds the worker processes have used so far, all threads, summed."""
    return sum(client.run(time.process_time).values())


def timed(fn, repeat: int):
    """(median seconds, one result): the first call's result is kept; slow variants are timed by it alone."""
    t0 = time.perf_counter()
    result = fn()
    first = time.perf_counter() - t0
    if first >= SLOW_SECONDS or repeat <= 1:
        return first, result
    return median_time(fn, repeat - 1, warmup=0), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--subjects", type=int, default=100_000)
    parser.add_argument("--shards", type=int, default=16, help="Parquet files, one partition each")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--json", metavar="PATH", help="also write the table, versions and machine as JSON")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        path, warm = os.path.join(tmp, "meds"), os.path.join(tmp, "warm")
        write_meds.write_meds(path, args.subjects, args.shards, args.seed)
        write_meds.write_meds(warm, 200, 2 * args.workers, args.seed)
        print(f"corpus of {args.subjects:,} subjects in {args.shards} files written in "
              f"{time.perf_counter() - t0:.1f} s")
        with LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            for per_patient in (False, True):
                cohort_dask.run(client, warm, per_patient=per_patient)
            cpu0 = workers_cpu(client)
            corpus_s, corpus = timed(lambda: cohort_dask.run(client, path), args.repeat)
            cpu1 = workers_cpu(client)
            loop_s, loop = timed(lambda: cohort_dask.run(client, path, per_patient=True), args.repeat)
            cpu2 = workers_cpu(client)
        single_s, single = timed(lambda: cohort_dask.run(None, path), args.repeat)
    pd.testing.assert_frame_equal(loop, corpus, check_exact=True)
    pd.testing.assert_frame_equal(single, corpus, check_exact=True)

    events = int(corpus["n_events"].sum())
    table = Table(f"cohort question over {len(corpus):,} subjects ({events:,} timed rows) in {args.shards} "
                  f"Parquet files")
    table.add(Row(f"dask, {args.workers} workers: one Corpus per partition", events, corpus_s, product=True))
    table.add(Row(f"dask, {args.workers} workers: per-patient calls", events, loop_s, target=TARGET))
    table.add(Row("one process: one Corpus of every file, threads=all CPUs", events, single_s))
    print_table(table.title, table.rows)
    ratio = loop_s / corpus_s
    print(f"\nevents per second, the example against the per-patient version: {ratio:.1f}x, target >= "
          f"{TARGET:g}x {'met' if ratio >= TARGET else 'NOT met'} (one run on a shared machine: noisy; machine "
          f"load {os.getloadavg()[0]:.1f})")
    print(f"workers' CPU time: one Corpus per partition {cpu1 - cpu0:.1f} s, per-patient {cpu2 - cpu1:.1f} s "
          f"(all timed calls, the first included)")
    if args.json:
        write_json(args.json, [table], args, PACKAGES,
                   {"ratio": ratio, "workers_cpu_corpus_seconds": cpu1 - cpu0,
                    "workers_cpu_per_patient_seconds": cpu2 - cpu1})


if __name__ == "__main__":
    main()
