"""Seeded, vectorised generators of a clinical-like event log for the benchmarks.

A log is many documents (patient stays) laid end to end; each is a run of events with non-decreasing times in
hours, tokens drawn from a skewed (Zipf-like) vocabulary, and a value for vitals and labs (NaN otherwise). It is
held column-wise in NumPy; the Python-object forms (list of str, list of float) are built on first use only.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from functools import cached_property

import numpy as np

# Tokens with a clinical meaning, most frequent first; every other token is a generated lab or med code.
# (token, mean value, standard deviation); a mean of None marks an event that carries no value.
NAMED_TOKENS = (
    ("HR", 85.0, 15.0),
    ("SBP", 125.0, 20.0),
    ("DBP", 75.0, 12.0),
    ("TEMP", 37.0, 0.7),
    ("LACTATE", 2.0, 1.2),
    ("ED_ARRIVAL", None, None),
    ("ED_DEPART", None, None),
    ("ABX_START", None, None),
    ("ICU_ADMIT", None, None),
    ("DISCHARGE", None, None),
)
FIRST_TOKEN = "ED_ARRIVAL"   # every document opens with it
LAST_TOKEN = "DISCHARGE"     # and every document of two or more events closes with it


def make_vocab(n_vocab: int = 10_000) -> list[str]:
    """The named tokens, then LAB_0001, MED_0001, LAB_0002, MED_0002, ... up to n_vocab tokens in all."""
    if n_vocab < len(NAMED_TOKENS):
        raise ValueError(f"n_vocab must be at least {len(NAMED_TOKENS)}")
    vocab = [name for name, _, _ in NAMED_TOKENS]
    k = 1
    while len(vocab) < n_vocab:
        vocab.append(f"LAB_{k:04d}")
        if len(vocab) < n_vocab:
            vocab.append(f"MED_{k:04d}")
        k += 1
    return vocab


def zipf_codes(rng: np.random.Generator, n: int, n_vocab: int, s: float = 1.1) -> np.ndarray:
    """n codes in [0, n_vocab) as uint32; code k is drawn with probability proportional to 1 / (k + 1) ** s."""
    weights = 1.0 / np.arange(1, n_vocab + 1, dtype=np.float64) ** s
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    codes = np.searchsorted(cdf, rng.random(n), side="right")
    return np.minimum(codes, n_vocab - 1).astype(np.uint32)   # guards the rounding of cdf[-1]


def doc_lengths(rng: np.random.Generator, n_events: int, mean_doc_len: float) -> np.ndarray:
    """Lognormal document lengths (at least 1) summing to exactly n_events, as int64."""
    sigma = 1.0
    mu = np.log(mean_doc_len) - sigma * sigma / 2   # so that the mean length is mean_doc_len
    parts, total = [], 0
    while total < n_events:
        draw = np.maximum(1, rng.lognormal(mu, sigma, int(n_events / mean_doc_len) + 16)).astype(np.int64)
        parts.append(draw)
        total += int(draw.sum())
    lengths = np.concatenate(parts)
    ends = np.cumsum(lengths)
    n_docs = int(np.searchsorted(ends, n_events)) + 1   # the first document that reaches n_events is the last
    lengths = lengths[:n_docs]
    lengths[-1] -= int(ends[n_docs - 1]) - n_events
    return lengths


@dataclass
class EventLog:
    """A generated event log, column-wise. Document k is positions doc_offsets[k] to doc_offsets[k + 1] - 1.

    Times are non-decreasing over the whole log, not only within a document (each stay begins after the previous
    one ended), so the log can be fed as one stream as well as document by document.
    """

    vocab: list[str]           # token strings; codes index into it
    codes: np.ndarray          # uint32, one per event
    times: np.ndarray          # float64 hours, non-decreasing
    values: np.ndarray         # float64, NaN for events without a value
    doc_offsets: np.ndarray    # int64, n_docs + 1 entries, from 0 to n_events

    def __len__(self) -> int:
        return len(self.codes)

    @property
    def n_docs(self) -> int:
        return len(self.doc_offsets) - 1

    @cached_property
    def tokens(self) -> list[str]:
        """The tokens as a Python list of str. Equal tokens are the same str object (one per vocabulary entry),
        as in a list taken from a DataFrame column."""
        return np.array(self.vocab, dtype=object)[self.codes].tolist()

    @cached_property
    def tokens_array(self) -> np.ndarray:
        """The tokens as a NumPy str array ('<U..'), equal to np.array(self.tokens)."""
        return np.array(self.vocab)[self.codes]

    @cached_property
    def times_list(self) -> list[float]:
        return self.times.tolist()

    @cached_property
    def values_list(self) -> list[float]:
        return self.values.tolist()

    def doc(self, k: int) -> tuple[list[str], np.ndarray, np.ndarray]:
        """Tokens, times and values of document k."""
        lo, hi = int(self.doc_offsets[k]), int(self.doc_offsets[k + 1])
        return [self.vocab[c] for c in self.codes[lo:hi]], self.times[lo:hi], self.values[lo:hi]


def event_log(n_events: int, n_vocab: int = 10_000, seed: int = 0, mean_doc_len: float = 100.0,
              zipf_s: float = 1.1, mean_gap_hours: float = 0.25, tie_share: float = 0.3,
              mean_stay_gap_hours: float = 24.0) -> EventLog:
    """A seeded clinical-like event log of n_events events; the same arguments always give the same log.

    Tokens follow a Zipf-like law with exponent zipf_s over make_vocab(n_vocab) (vitals most frequent); each
    document opens with ED_ARRIVAL and closes with DISCHARGE. Gaps between events are exponential with mean
    mean_gap_hours, and a tie_share of them are 0 (vitals charted together share a timestamp).
    """
    rng = np.random.default_rng(seed)
    vocab = make_vocab(n_vocab)
    lengths = doc_lengths(rng, n_events, mean_doc_len) if n_events else np.zeros(0, np.int64)
    doc_offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=doc_offsets[1:])
    starts, last = doc_offsets[:-1], doc_offsets[1:] - 1

    codes = zipf_codes(rng, n_events, n_vocab, zipf_s)
    codes[last[lengths >= 2]] = vocab.index(LAST_TOKEN)
    codes[starts] = vocab.index(FIRST_TOKEN)

    gaps = rng.exponential(mean_gap_hours, n_events)
    gaps[rng.random(n_events) < tie_share] = 0.0
    gaps[starts] = rng.exponential(mean_stay_gap_hours, len(starts))
    times = np.cumsum(gaps)

    mean = np.full(n_vocab, np.nan)
    sd = np.zeros(n_vocab)
    for k, (_, m, s) in enumerate(NAMED_TOKENS):
        if m is not None:
            mean[k], sd[k] = m, s
    labs = np.array([t.startswith("LAB_") for t in vocab])
    mean[labs] = rng.uniform(1.0, 150.0, int(labs.sum()))
    sd[labs] = 0.15 * mean[labs]
    values = np.round(np.abs(mean[codes] + sd[codes] * rng.standard_normal(n_events)), 1)
    return EventLog(vocab, codes, times, values, doc_offsets)


def integer_coded(log: EventLog, ids: list[int] | None = None) -> np.ndarray:
    """The log's tokens as uint32 codes. Without ids: the codes into log.vocab. With ids = vocab_ids(log.vocab):
    the same tokens in zuldcore's coding, one vectorised lookup (ids[codes])."""
    if ids is None:
        return log.codes
    remap = np.asarray(ids, dtype=np.uint32)
    return remap[log.codes]


def _describe(log: EventLog) -> None:
    counts = np.bincount(log.codes, minlength=len(log.vocab))
    top = np.argsort(counts)[::-1][:12]
    lengths = np.diff(log.doc_offsets)
    print(f"{len(log):,} events in {log.n_docs:,} documents "
          f"(length mean {lengths.mean():.1f}, max {lengths.max():,}); "
          f"{int((counts > 0).sum()):,} of {len(log.vocab):,} tokens seen; "
          f"{np.isnan(log.values).mean():.0%} of values are NaN")
    print("most frequent:", ", ".join(f"{log.vocab[k]} {counts[k] / len(log):.1%}" for k in top))
    tokens, times, values = log.doc(0)
    print("first document:", ", ".join(f"{t}@{h:.2f}h={v}" for t, h, v in zip(tokens[:6], times, values)))



class LogCase:
    """One generated log in the forms every benchmark reads, each built on first use (so that a
    memory-measuring child builds only what its contender reads). Benchmarks subclass it with their peers'
    frames."""

    def __init__(self, n: int, vocab: int = 10_000, seed: int = 0):
        self.n, self.vocab, self.seed = n, vocab, seed

    @cached_property
    def log(self):
        return event_log(self.n, self.vocab, self.seed)

    @cached_property
    def tokens(self) -> list[str]:
        return self.log.tokens

    @property
    def times(self) -> np.ndarray:
        return self.log.times

    @property
    def values(self) -> np.ndarray:
        return self.log.values

    @cached_property
    def tokens_array(self) -> np.ndarray:
        return self.log.tokens_array

    def prepare(self, *names: str) -> None:
        """Builds the named forms now, outside any timing."""
        for name in names:
            getattr(self, name)

if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Generate an event log and describe it.")
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--vocab", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    _describe(event_log(args.n, args.vocab, args.seed))
