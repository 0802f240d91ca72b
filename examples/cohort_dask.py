"""A cohort question over a MEDS corpus on a dask.distributed cluster: one Corpus per partition.

The corpus is Parquet files in the MEDS layout (`subject_id`, `time`, `code`, `numeric_value`; write one with
examples/write_meds.py), each file holding whole subjects sorted by time. dask.dataframe reads one partition
per file, so every partition holds whole subjects. Each worker builds one `Corpus` from its partition
(`Corpus.from_frame`: the tokens are interned with the worker's own ids) and answers the question with one call
per job, on one thread (the cluster's worker processes already share out the cores), returning one row per
subject. The question (a pattern, state machines, annotation specs) is built once, here, and travels to the
workers pickled, by value. `run(None, path)` answers the whole corpus in this process, with one corpus.

Run: python examples/write_meds.py meds --subjects 20000 --shards 8
     python examples/cohort_dask.py meds [--workers 2]
"""

from __future__ import annotations

import argparse
import pathlib
import time
from typing import Any

import numpy as np
import pandas as pd

import zuldcore
from zuldcore.corpus import Corpus

US_PER_HOUR = 3_600_000_000

COLUMNS = {  # name -> dtype, in order; the table is indexed by subject_id
    "n_events": np.int64,                      # timed rows (static rows take no part in a timeline)
    "sepsis": np.bool_,                        # low SBP, lactate within 3 h, antibiotics within 6 h more
    "sepsis_onset_h": np.float64,              # hours from the first timed row to that low SBP (NaN: no match)
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


def empty_table() -> pd.DataFrame:
    return pd.DataFrame({name: np.zeros(0, dtype) for name, dtype in COLUMNS.items()},
                        index=pd.Index(np.zeros(0, np.int64), name="subject_id"))


def timed_rows(frame: pd.DataFrame) -> pd.DataFrame:
    """The rows that have a time: MEDS puts a subject's static measurements (no time) first."""
    return frame[frame["time"].notna()]


def hours(frame: pd.DataFrame) -> np.ndarray:
    """The time column as float hours since the epoch, each the correctly rounded quotient of its exact count
    of microseconds, as `Corpus.from_frame(..., time_unit="h")` reads it."""
    return frame["time"].to_numpy("datetime64[us]").view(np.int64) / US_PER_HOUR


def answer(frame: pd.DataFrame, q: Question, threads: int | None = 1) -> pd.DataFrame:
    """The question's table for the subjects of one frame (whole subjects, each sorted by time): one corpus,
    one call per job, then NumPy over the documents."""
    events = timed_rows(frame)
    if len(events) == 0:
        return empty_table()
    corpus = Corpus.from_frame(events, case="subject_id", token="code", time="time", value="numeric_value",
                               time_unit="h")
    t = hours(events)
    n = corpus.n_docs
    first = corpus.offsets[:-1]

    match = corpus.match(q["sepsis"], first_only=True, threads=threads)
    doc, start, end = match["doc"], match["m_start"], match["m_end"]
    sepsis = np.zeros(n, np.bool_)
    sepsis[doc] = True
    onset, to_abx = np.full(n, np.nan), np.full(n, np.nan)
    onset[doc] = t[start] - t[first[doc]]
    to_abx[doc] = t[end] - t[start]

    spans = corpus.state_spans(q["hypo"], include_invalid=False, threads=threads)
    episode = spans["state"] == q["hypotension"]
    episode_doc = spans["doc"][episode]
    # bincount adds each document's durations in row order, as a loop over its episodes would.
    duration = (spans["t_end"] - spans["t_start"])[episode]

    columns = corpus.annotate(q["specs"], threads=threads)
    return pd.DataFrame({
        "n_events": np.diff(corpus.offsets),
        "sepsis": sepsis,
        "sepsis_onset_h": onset,
        "hours_to_abx": to_abx,
        "hypotension_episodes": np.bincount(episode_doc, minlength=n).astype(np.int64),
        "hypotension_hours": np.bincount(episode_doc, weights=duration, minlength=n),
        "lactate_max_in_hypotension": np.fmax.reduceat(columns["lactate"], first),
        "icu_events": np.add.reduceat((columns["where"] == q["icu"]).astype(np.int64), first),
    }, index=pd.Index(np.asarray(corpus.cases, dtype=np.int64), name="subject_id"))  # MEDS ids are int64


def answer_per_patient(frame: pd.DataFrame, q: Question) -> pd.DataFrame:
    """The same table one subject at a time through the single-stream calls (a `match_batch` over the frame,
    then `state_spans` and `annotate_stream` per subject), as this example did before the corpus; kept as the
    check of `answer` and as the baseline of bench/bench_dask.py."""
    events = timed_rows(frame)
    if len(events) == 0:
        return empty_table()
    subjects = events["subject_id"].to_numpy()
    starts = np.flatnonzero(np.concatenate([[True], subjects[1:] != subjects[:-1]]))
    offsets = np.append(starts, len(subjects)).astype(np.int64)
    tokens = events["code"].tolist()
    t = hours(events)
    values = events["numeric_value"].to_numpy(np.float64, na_value=np.nan)
    ids = np.array(zuldcore.vocab_ids(tokens), dtype=np.uint32)
    batch = q["sepsis"].match_batch(ids, t, offsets, values)
    out: dict[str, list[Any]] = {name: [] for name in COLUMNS}
    for k in range(len(starts)):
        a, b = int(offsets[k]), int(offsets[k + 1])
        m_start, m_end = int(batch["m_start"][k]), int(batch["m_end"][k])
        spans = zuldcore.state_spans(tokens[a:b], t[a:b], q["hypo"], values=values[a:b], include_invalid=False)
        episodes = spans["state"] == q["hypotension"]
        durations = (spans["t_end"] - spans["t_start"])[episodes]
        columns = zuldcore.annotate_stream(tokens[a:b], t[a:b], q["specs"], values[a:b])
        lactate = columns["lactate"][~np.isnan(columns["lactate"])]
        out["n_events"].append(b - a)
        out["sepsis"].append(m_start >= 0)
        out["sepsis_onset_h"].append(t[a + m_start] - t[a] if m_start >= 0 else np.nan)  # positions in the stay
        out["hours_to_abx"].append(t[a + m_end] - t[a + m_start] if m_start >= 0 else np.nan)
        out["hypotension_episodes"].append(int(episodes.sum()))
        out["hypotension_hours"].append(float(np.cumsum(durations)[-1]) if len(durations) else 0.0)
        out["lactate_max_in_hypotension"].append(float(lactate.max()) if len(lactate) else np.nan)
        out["icu_events"].append(int((columns["where"] == q["icu"]).sum()))
    return pd.DataFrame({name: np.array(out[name], dtype=dtype) for name, dtype in COLUMNS.items()},
                        index=pd.Index(subjects[starts], name="subject_id"))


def shards(path: str | pathlib.Path) -> list[str]:
    """The corpus's Parquet files, in name order."""
    return sorted(str(p) for p in (pathlib.Path(path) / "data").glob("*.parquet"))


def run(client: Any, path: str | pathlib.Path, per_patient: bool = False) -> pd.DataFrame:
    """One row per subject, in subject order. With a client, one task per file on the cluster; with None, the
    whole corpus in this process as one corpus on every CPU. per_patient: `answer_per_patient` instead."""
    q = question()
    files = shards(path)
    if client is None:
        frame = pd.concat([pd.read_parquet(f) for f in files], ignore_index=True)
        table = answer_per_patient(frame, q) if per_patient else answer(frame, q, threads=None)
    else:
        import dask.dataframe as dd

        # One partition per file, never a piece of one: a file holds whole subjects.
        frame = dd.read_parquet(files, split_row_groups=False)
        parts = frame.map_partitions(answer_per_patient, q, meta=empty_table()) if per_patient else \
            frame.map_partitions(answer, q, 1, meta=empty_table())
        table = client.compute(parts).result()
    if not table.index.is_unique:
        raise ValueError("a subject's rows are in more than one file; each file must hold whole subjects")
    return table.sort_index(kind="stable")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("dir", help="the corpus (its Parquet files are DIR/data/*.parquet)")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    # distributed ships no type information: its two calls are unchecked.
    with LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,  # type: ignore[no-untyped-call]
                      dashboard_address=None) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        t0 = time.perf_counter()
        table = run(client, args.dir)
        seconds = time.perf_counter() - t0
    n_files = len(shards(args.dir))
    print(f"{len(table):,} subjects ({table['n_events'].sum():,} timed rows) in {n_files} files on "
          f"{args.workers} workers: {seconds:.1f} s")
    print(table.head(8).to_string())
    print(f"\nsepsis: {table['sepsis'].mean():.1%} of subjects; median hours to antibiotics "
          f"{table['hours_to_abx'].median():.2f}; hypotension episodes: {table['hypotension_episodes'].sum():,} "
          f"in {(table['hypotension_episodes'] > 0).mean():.1%} of subjects; ICU: "
          f"{(table['icu_events'] > 0).mean():.1%}")


if __name__ == "__main__":
    main()
