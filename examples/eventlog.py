"""A small seeded generator of a clinical-like event log for the examples (NumPy only).

Stays (documents) are laid end to end; each opens with ED_ARRIVAL, closes with DISCHARGE, and in between draws
tokens from a skewed vocabulary: a few named events and vitals, then lab and med codes. Vitals and labs carry a
value; other events carry NaN. Times are hours and never decrease.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

# (token, mean value, standard deviation), most frequent first; None: the event carries no value.
NAMED = [("HR", 85, 15), ("SBP", 125, 20), ("DBP", 75, 12), ("TEMP", 37, 0.7), ("LACTATE", 2, 1.2),
         ("ED_ARRIVAL", None, None), ("ED_DEPART", None, None), ("ABX_START", None, None),
         ("ICU_ADMIT", None, None), ("DISCHARGE", None, None)]


@dataclass
class EventLog:
    vocab: list[str]          # VOCAB: the external coding's strings
    codes: np.ndarray         # uint32 codes into vocab, one per event
    tokens: list[str]         # the same events as strings (equal tokens are the same str object)
    times: np.ndarray         # float64 hours, non-decreasing
    values: np.ndarray        # float64, NaN where the event has no value
    offsets: np.ndarray       # int64; stay k is positions offsets[k] to offsets[k + 1] - 1


def make_vocab(n_vocab: int) -> list[str]:
    names = [name for name, _, _ in NAMED]
    codes = [f"{kind}_{k:04d}" for k in range(1, n_vocab) for kind in ("LAB", "MED")]
    return (names + codes)[:n_vocab]


def event_log(n_events: int = 100_000, n_vocab: int = 2_000, seed: int | Sequence[int] = 7) -> EventLog:
    rng = np.random.default_rng(seed)
    vocab = make_vocab(n_vocab)

    lengths = np.maximum(2, rng.lognormal(np.log(80), 0.8, n_events // 2)).astype(np.int64)
    ends = np.cumsum(lengths)
    lengths = lengths[: np.searchsorted(ends, n_events) + 1]
    lengths[-1] -= lengths.sum() - n_events
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    starts, lasts = offsets[:-1], offsets[1:] - 1

    weights = 1.0 / np.arange(1, n_vocab + 1) ** 1.1          # Zipf-like: a few tokens make most events
    codes = rng.choice(n_vocab, size=n_events, p=weights / weights.sum()).astype(np.uint32)
    codes[lasts[lengths > 1]] = vocab.index("DISCHARGE")
    codes[starts] = vocab.index("ED_ARRIVAL")

    gaps = rng.exponential(0.25, n_events)
    gaps[rng.random(n_events) < 0.3] = 0.0                   # vitals charted together share a timestamp
    gaps[starts] = rng.exponential(24.0, len(starts))        # the next stay begins a while later
    times = np.cumsum(gaps)

    mean, sd = np.full(n_vocab, np.nan), np.zeros(n_vocab)
    for k, (_, m, s) in enumerate(NAMED):
        if m is not None:
            mean[k], sd[k] = m, s
    labs = np.array([t.startswith("LAB_") for t in vocab])
    mean[labs] = rng.uniform(1, 150, labs.sum())
    sd[labs] = 0.15 * mean[labs]
    values = np.round(np.abs(mean[codes] + sd[codes] * rng.standard_normal(n_events)), 1)

    tokens = np.array(vocab, dtype=object)[codes].tolist()
    return EventLog(vocab, codes, tokens, times, values, offsets)


def cohort(n_patients: int = 200, seed: int = 7) -> dict[str, Any]:
    """A cohort as the columns of a frame, in calendar order, as a hospital's log arrives: `patient` (int64),
    `time` (datetime64[us], on whole minutes), `code` (str) and `value` (float, None where the event has none).

    Each patient has one to four stays of `event_log`, days to months apart, the first in 2023. A stay opens
    with ED_ARRIVAL and closes with DISCHARGE; stray ED_ARRIVAL and DISCHARGE codes inside a stay are charted
    as NOTE. Rows of one patient at one time keep their order. `pl.DataFrame(cohort())` and
    `pd.DataFrame(cohort())` take the columns as they are.
    """
    rng = np.random.default_rng(seed)
    n_stays = rng.integers(1, 5, n_patients)
    total = int(n_stays.sum())
    n_events = 150 * total + 1_000
    log = event_log(n_events, seed=seed)
    while len(log.offsets) - 2 <= total:  # the last stay of a log may be cut short: never use it
        n_events *= 2
        log = event_log(n_events, seed=seed)
    offsets = log.offsets[: total + 1]
    starts, lasts, n_rows = offsets[:-1], offsets[1:] - 1, int(offsets[-1])

    codes = np.array(log.tokens[:n_rows], dtype=object)
    stray = np.isin(codes, ["ED_ARRIVAL", "DISCHARGE"])
    stray[starts] = stray[lasts] = False
    codes[stray] = "NOTE"

    stay = np.repeat(np.arange(total), np.diff(offsets))
    minutes = np.round((log.times[:n_rows] - log.times[starts][stay]) * 60).astype(np.int64)  # since the stay began
    length = minutes[lasts]
    first = rng.integers(0, 365 * 24 * 60, n_patients) + np.datetime64("2023-01-01T00:00", "m").astype(np.int64)
    gap = np.round(rng.exponential(45 * 24 * 60, total)).astype(np.int64) + 24 * 60  # from one discharge to the next arrival
    patient_of_stay = np.repeat(np.arange(n_patients), n_stays)
    begin = np.empty(total, dtype=np.int64)
    for k in range(total):
        new_patient = k == 0 or patient_of_stay[k] != patient_of_stay[k - 1]
        begin[k] = first[patient_of_stay[k]] if new_patient else begin[k - 1] + length[k - 1] + gap[k]
    time = (begin[stay] + minutes).astype("datetime64[m]").astype("datetime64[us]")

    order = np.argsort(time, kind="stable")  # calendar order; ties keep each patient's rows in order
    values = log.values[:n_rows][order]
    return {
        "patient": (101 + patient_of_stay[stay])[order],
        "time": time[order],
        "code": codes[order].tolist(),
        "value": [None if np.isnan(v) else float(v) for v in values],
    }
