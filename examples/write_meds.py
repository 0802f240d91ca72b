"""Writes a generated corpus as Parquet files in the MEDS layout, for examples/cohort_dask.py.

One row per measurement: `subject_id` (int64), `time` (timestamp[us]; null for a static measurement),
`code` (string), `numeric_value` (float32, null where the code carries none), in DIR/data/0000.parquet,
0001.parquet, ... Each file holds whole subjects, sorted by subject and, within a subject, by time with the
static rows first, as MEDS lays them out. A subject has one static row (its sex), a birth, and one stay from
examples/eventlog.py placed somewhere in 2015 to 2024; its id and times do not depend on the number of files.

Run: python examples/write_meds.py DIR [--subjects 20000] [--shards 8] [--seed 7]
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np
# pyarrow ships no type information: its calls are unchecked.
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from eventlog import event_log

US_PER_HOUR = 3_600_000_000
STAYS_FROM = np.datetime64("2015-01-01T00:00:00", "us").astype(np.int64)
STAYS_SPAN = 10 * 365 * 24 * US_PER_HOUR      # stays begin within ten years
AGE_SPAN = 80 * 365 * 24 * US_PER_HOUR        # births up to eighty years before the stay
SCHEMA = pa.schema([("subject_id", pa.int64()), ("time", pa.timestamp("us")), ("code", pa.string()),
                    ("numeric_value", pa.float32())])


def measurements(n_subjects: int, seed: int = 7) -> pa.Table:
    """Every subject's rows, in MEDS order, as one table."""
    n_events = n_subjects * 130  # stays average about 107 events
    while True:
        log = event_log(n_events, seed=seed)
        if len(log.offsets) > n_subjects + 1:  # the last stay may be cut short: keep only whole ones
            break
        n_events *= 2
    rng = np.random.default_rng([seed, 1])
    offsets = log.offsets[:n_subjects + 1]
    lengths = np.diff(offsets)
    stay = np.repeat(np.arange(n_subjects), lengths)
    rows = int(offsets[-1])
    # A stay's times in microseconds from its arrival, then moved to the stay's own start.
    from_arrival = np.round((log.times[:rows] - log.times[offsets[:-1]][stay]) * US_PER_HOUR).astype(np.int64)
    start = STAYS_FROM + rng.integers(0, STAYS_SPAN, n_subjects)
    birth = start - rng.integers(18 * 365 * 24 * US_PER_HOUR, AGE_SPAN, n_subjects)
    ids = 1_000_000 + np.cumsum(rng.integers(1, 50, n_subjects))

    # Each subject's block: its static row, its birth, then its stay.
    per_subject = lengths + 2
    first = np.concatenate([[0], np.cumsum(per_subject)[:-1]])
    total = int(per_subject.sum())
    subject = np.repeat(ids, per_subject)
    time = np.zeros(total, np.int64)
    valid = np.ones(total, bool)
    vocab = log.vocab + ["SEX//F", "SEX//M", "MEDS_BIRTH"]
    codes = np.empty(total, np.uint32)
    values = np.full(total, np.nan)
    in_stay = np.ones(total, bool)
    in_stay[first] = in_stay[first + 1] = False
    valid[first] = False                               # static: no time
    codes[first] = len(log.vocab) + rng.integers(0, 2, n_subjects)
    codes[first + 1] = len(log.vocab) + 2
    time[first + 1] = birth
    time[in_stay] = from_arrival + start[stay]
    codes[in_stay] = log.codes[:rows]
    values[in_stay] = log.values[:rows]
    return pa.table([
        pa.array(subject),
        pa.array(time, pa.timestamp("us"), mask=~valid),
        pa.DictionaryArray.from_arrays(pa.array(codes), pa.array(vocab)).cast(pa.string()),
        pa.array(values.astype(np.float32), mask=np.isnan(values)),
    ], schema=SCHEMA)


def write_meds(root: str | pathlib.Path, n_subjects: int, n_shards: int, seed: int = 7) -> list[pathlib.Path]:
    """Writes the corpus of n_subjects subjects in n_shards files under root/data; returns their paths."""
    table = measurements(n_subjects, seed)
    subjects = table["subject_id"].to_numpy()
    starts = np.flatnonzero(np.concatenate([[True], subjects[1:] != subjects[:-1]]))
    cuts = [int(starts[k * len(starts) // n_shards]) if k < n_shards else len(subjects)
            for k in range(n_shards + 1)]
    data = pathlib.Path(root) / "data"
    data.mkdir(parents=True, exist_ok=True)
    paths = []
    for k in range(n_shards):
        path = data / f"{k:04d}.parquet"
        pq.write_table(table.slice(cuts[k], cuts[k + 1] - cuts[k]), path)
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("dir")
    parser.add_argument("--subjects", type=int, default=20_000)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    paths = write_meds(args.dir, args.subjects, args.shards, args.seed)
    rows = sum(pq.ParquetFile(p).metadata.num_rows for p in paths)
    print(f"{args.subjects:,} subjects, {rows:,} rows in {len(paths)} files under {pathlib.Path(args.dir) / 'data'}")


if __name__ == "__main__":
    main()
