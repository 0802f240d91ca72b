"""A cohort question over a corpus partitioned by patient, on a dask.distributed cluster.

The question (patterns, state machines, annotation specs) is built once, here; Dask pickles it to every
worker, and zuldcore objects pickle by value (token strings, never token ids). Each worker reads its patients
(here: generates them with examples/eventlog.py, seeded per block of patients, so the corpus does not depend
on how it is partitioned), codes them with its own process's ids (`vocab_ids`), answers the question for
every patient and returns plain columns keyed by patient. `run(None, ...)` runs the same code in this process.

Run: python examples/cohort_dask.py [--patients 20000] [--partitions 8] [--workers 2]
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import numpy as np
import pandas as pd

import zuldcore
from eventlog import EventLog, event_log, make_vocab

N_VOCAB = 2_000
BLOCK = 1_000  # patients generated together, from one seed: the corpus is the same however it is partitioned

COLUMNS = {  # name -> dtype, in order
    "patient": np.int64,
    "n_events": np.int64,
    "sepsis": np.bool_,                        # low SBP, lactate within 3 h, antibiotics within 6 h more
    "sepsis_onset_h": np.float64,              # hours from arrival to that low SBP (NaN: no such match)
    "hours_to_abx": np.float64,                # hours from that low SBP to the antibiotics
    "hypotension_episodes": np.int64,          # valid episodes: 2+ low SBPs, each within 2 h of the last
    "hypotension_hours": np.float64,
    "lactate_max_in_hypotension": np.float64,  # NaN: no lactate drawn during an episode
    "icu_events": np.int64,                    # events charted while in the ICU
}


Question = dict[str, Any]  # the zuldcore objects of the question, by name


def question() -> Question:
    """The cohort question as zuldcore objects, built once by the caller."""
    sepsis = zuldcore.Pattern()
    sepsis.add_event("SBP", max_val=90.0)
    sepsis.add_event("LACTATE", max_dt=3.0)
    sepsis.add_event("ABX_START", max_dt=6.0, block_token="DISCHARGE")

    low_sbp = zuldcore.Pattern()
    low_sbp.add_event("SBP", max_val=90.0)
    hypo = zuldcore.StateMachine()
    hypo.add_state("hypotension", max_gap=2.0, min_events=2, timeout_to="recovering")
    hypo.add_state("recovering", max_gap=4.0)
    hypo.add_entry("hypotension", low_sbp)             # a Pattern trigger travels by value too
    hypo.add_exit("hypotension", "DISCHARGE")
    hypo.add_exit("recovering", "DISCHARGE")

    stay = zuldcore.StateMachine(out_name="ward")
    stay.add_state("ed", drop_unclosed=False)
    stay.add_state("icu", drop_unclosed=False)
    stay.add_entry("ed", "ED_ARRIVAL")
    stay.add_entry("icu", "ICU_ADMIT")
    stay.add_exit("ed", ["ED_DEPART", "DISCHARGE"])
    stay.add_exit("icu", "DISCHARGE")

    Spec = zuldcore.AnnotationSpec
    specs = [
        Spec.span_aggregate("lactate", "LACTATE", hypo.span("hypotension"), agg="max"),
        Spec.state_label("where", stay),
    ]
    return {"sepsis": zuldcore.Zuldor(sepsis), "hypo": hypo, "specs": specs,
            "hypotension": hypo.state_id("hypotension"), "icu": stay.state_id("icu")}


def patients_of(part: int, n_patients: int, n_partitions: int) -> range:
    return range(part * n_patients // n_partitions, (part + 1) * n_patients // n_partitions)


def block_log(block: int, seed: int) -> EventLog:
    """The event log of patients BLOCK * block .. BLOCK * (block + 1) - 1: one stay each."""
    n_events = BLOCK * 130  # stays average about 107 events
    while True:
        log = event_log(n_events, N_VOCAB, seed=[seed, block])
        if len(log.offsets) > BLOCK + 1:  # the last stay may be cut short: keep only whole ones
            return log
        n_events *= 2


def nan_max(values: np.ndarray) -> float:
    values = values[~np.isnan(values)]
    return float(values.max()) if len(values) else np.nan


def run_partition(part: int, n_patients: int, n_partitions: int, q: Question, seed: int = 7) -> pd.DataFrame:
    """The question's answers for the patients of one partition, in patient order."""
    # Token ids belong to this process: code the vocabulary here, not in the caller.
    remap = np.array(zuldcore.vocab_ids(make_vocab(N_VOCAB)), dtype=np.uint32)
    patients = patients_of(part, n_patients, n_partitions)
    out: dict[str, list[Any]] = {name: [] for name in COLUMNS}
    for block in range(patients.start // BLOCK, (patients.stop - 1) // BLOCK + 1 if patients else 0):
        log = block_log(block, seed)
        first = max(patients.start, block * BLOCK) - block * BLOCK
        last = min(patients.stop, (block + 1) * BLOCK) - block * BLOCK
        offsets = log.offsets[first:last + 1]
        lo, hi = int(offsets[0]), int(offsets[-1])
        times = log.times[lo:hi]
        batch = q["sepsis"].match_batch(remap[log.codes[lo:hi]], times, offsets - lo, log.values[lo:hi])
        for k in range(last - first):
            a, b = int(offsets[k]) - lo, int(offsets[k + 1]) - lo
            tokens, t, values = log.tokens[lo + a:lo + b], times[a:b], log.values[lo + a:lo + b]
            m_start, m_end = int(batch["m_start"][k]), int(batch["m_end"][k])
            spans = zuldcore.state_spans(tokens, t, q["hypo"], values=values, include_invalid=False)
            episodes = spans["state"] == q["hypotension"]
            columns = zuldcore.annotate_stream(tokens, t, q["specs"], values)
            out["patient"].append(block * BLOCK + first + k)
            out["n_events"].append(b - a)
            out["sepsis"].append(m_start >= 0)
            out["sepsis_onset_h"].append(t[m_start] - t[0] if m_start >= 0 else np.nan)
            out["hours_to_abx"].append(t[m_end] - t[m_start] if m_start >= 0 else np.nan)
            out["hypotension_episodes"].append(int(episodes.sum()))
            out["hypotension_hours"].append(float((spans["t_end"] - spans["t_start"])[episodes].sum()))
            out["lactate_max_in_hypotension"].append(nan_max(columns["lactate"]))
            out["icu_events"].append(int((columns["where"] == q["icu"]).sum()))
    return pd.DataFrame({name: np.array(out[name], dtype=dtype) for name, dtype in COLUMNS.items()})


def run(client: Any, n_patients: int, n_partitions: int, seed: int = 7) -> pd.DataFrame:
    """One row per patient, in patient order; `client` None runs every partition in this process."""
    q = question()
    if client is None:
        parts = [run_partition(k, n_patients, n_partitions, q, seed) for k in range(n_partitions)]
    else:
        futures = [client.submit(run_partition, k, n_patients, n_partitions, q, seed, pure=False)
                   for k in range(n_partitions)]
        parts = client.gather(futures)
    return pd.concat(parts, ignore_index=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--patients", type=int, default=20_000)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    # distributed ships no type information: its two calls are unchecked.
    with LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,  # type: ignore[no-untyped-call]
                      dashboard_address=None) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        t0 = time.perf_counter()
        table = run(client, args.patients, args.partitions)
        seconds = time.perf_counter() - t0
    print(f"{len(table):,} patients in {args.partitions} partitions on {args.workers} workers: {seconds:.1f} s")
    print(table.head(8).to_string(index=False))
    print(f"\nsepsis: {table['sepsis'].mean():.1%} of patients; median hours to antibiotics "
          f"{table['hours_to_abx'].median():.2f}; hypotension episodes: {table['hypotension_episodes'].sum():,} "
          f"in {(table['hypotension_episodes'] > 0).mean():.1%} of patients; ICU: "
          f"{(table['icu_events'] > 0).mean():.1%}")


if __name__ == "__main__":
    main()
