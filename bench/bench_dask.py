"""The cohort question of examples/cohort_dask.py on a local dask.distributed cluster against one process.

Both runs execute the same code over the same partitions (generating each partition's patients, coding them
with the process's own ids, then match_batch, state_spans and annotate_stream per patient); the script checks
that the two tables are equal, then prints the wall times, the speedup and the cost of a partition: the
workers' CPU time beyond the single process's, per partition (CPU time does not depend on what else runs on
the machine, wall time does), and the wall time of a run whose partitions hold no patients (scheduling,
shipping the pickled question, coding the vocabulary). The cluster is started, and its workers warmed up,
before anything is timed.

Run: python bench/bench_dask.py [--patients 1000000] [--partitions 40] [--workers 2] [--json PATH]
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import pandas as pd

from harness import Row, Table, print_table, write_json

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import cohort_dask  # noqa: E402

PACKAGES = ("zuldcore", "dask", "distributed", "pandas", "numpy")


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def workers_cpu(client) -> float:
    """The CPU seconds the worker processes have used so far, all threads, summed."""
    return sum(client.run(time.process_time).values())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--patients", type=int, default=1_000_000)
    parser.add_argument("--partitions", type=int, default=40)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--json", metavar="PATH", help="also write the table, versions and machine as JSON")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    n, p = args.patients, args.partitions
    start, cluster = timed(lambda: LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,
                                                dashboard_address=None))
    with cluster, Client(cluster) as client:
        cohort_dask.run(client, 2 * args.workers, 2 * args.workers)  # imports and first calls on every worker
        empty, _ = timed(lambda: cohort_dask.run(client, 0, p))
        cpu0 = workers_cpu(client)
        clustered_s, clustered = timed(lambda: cohort_dask.run(client, n, p))
        clustered_cpu = workers_cpu(client) - cpu0
    cpu0 = time.process_time()
    single_s, single = timed(lambda: cohort_dask.run(None, n, p))
    single_cpu = time.process_time() - cpu0
    pd.testing.assert_frame_equal(clustered, single, check_exact=True)

    events = int(single["n_events"].sum())
    table = Table(f"cohort question over {n:,} patients ({events:,} events) in {p} partitions")
    table.add(Row(f"dask, {args.workers} worker processes", events, clustered_s, product=True))
    table.add(Row("one process", events, single_s))
    print_table(table.title, table.rows)
    extra = (clustered_cpu - single_cpu) / p
    print(f"\nspeedup on {args.workers} workers: {single_s / clustered_s:.2f}x "
          f"(cluster start {start:.1f} s, not included; machine load {os.getloadavg()[0]:.1f})")
    print(f"CPU: one process {single_cpu:.1f} s, the workers {clustered_cpu:.1f} s together: "
          f"{extra * 1e3:.0f} ms more per partition; the best speedup this CPU time allows on "
          f"{args.workers} idle cores is {single_cpu / (clustered_cpu / args.workers):.2f}x")
    print(f"a run of {p} empty partitions: {empty:.2f} s, {empty / p * 1e3:.0f} ms per partition")
    if args.json:
        write_json(args.json, [table], args, PACKAGES,
                   {"speedup": single_s / clustered_s, "cluster_start_seconds": start,
                    "single_cpu_seconds": single_cpu, "workers_cpu_seconds": clustered_cpu,
                    "extra_cpu_seconds_per_partition": extra, "empty_run_seconds": empty})


if __name__ == "__main__":
    main()
