"""zuldcore on a clinical-like event log: a short walk through the API, one section per feature.

Run: python examples/demo.py [--events 100000] [--seed 7]
"""

from __future__ import annotations

import argparse

import numpy as np

import zuldcore
from eventlog import EventLog, event_log

NAMED_SHOWN = ["ED_ARRIVAL", "SBP", "LACTATE", "ABX_START", "DISCHARGE"]


def section(title: str) -> None:
    print(f"\n== {title} ==")


def describe(log: EventLog) -> None:
    section("The event log")
    n_docs = len(log.offsets) - 1
    print(f"{len(log.tokens):,} events in {n_docs:,} stays, "
          f"{len(set(log.tokens)):,} distinct tokens (of a {len(log.vocab):,}-token vocabulary), "
          f"{np.isnan(log.values).mean():.0%} without a value")
    first = range(log.offsets[0], min(log.offsets[1], log.offsets[0] + 6))
    print("first stay begins:", ", ".join(
        f"{log.tokens[i]} at {log.times[i]:.2f} h" + ("" if np.isnan(log.values[i]) else f" = {log.values[i]:g}")
        for i in first))


def interning(log: EventLog) -> np.ndarray:
    """Token strings to zuldcore ids; returns remap, the array from external codes (into log.vocab) to ids."""
    section("Interning tokens: vocab_ids")
    ids = zuldcore.vocab_ids(log.tokens)
    print(f"ids = zuldcore.vocab_ids(tokens): {len(ids):,} ids, {len(set(ids)):,} distinct, "
          f"from {min(ids)} to {max(ids)}")
    print("ids are dense in order of first sight:", ", ".join(f"{t!r} -> {i}" for t, i in
                                                                zip(log.tokens[:4], ids[:4])))
    named = zuldcore.vocab_ids(NAMED_SHOWN)
    print("a few named tokens:", ", ".join(f"{t} -> {i}" for t, i in zip(NAMED_SHOWN, named)))

    again = zuldcore.vocab_ids(log.tokens)
    assert again == ids
    print("interning is idempotent: vocab_ids(tokens) again gives the same ids:", again == ids)

    section("Remapping an externally coded corpus")
    print(f"codes: uint32 codes into VOCAB ({len(log.vocab):,} strings), e.g. from a categorical column")
    print("remap = np.array(zuldcore.vocab_ids(VOCAB), dtype=np.uint32)   # external code -> zuldcore id")
    remap = np.array(zuldcore.vocab_ids(log.vocab), dtype=np.uint32)
    print("zuld = remap[codes]                                           # one vectorised pass")
    zuld = remap[log.codes]
    same = bool(np.array_equal(zuld, np.asarray(ids, dtype=np.uint32)))
    assert same
    print(f"zuld: {zuld.dtype} array of {len(zuld):,}, first {zuld[:6].tolist()}; "
          f"equal to vocab_ids(tokens): {same}")
    print(f"VOCAB[:4] = {log.vocab[:4]} -> remap[:4] = {remap[:4].tolist()} "
          "(ids follow first sight in this process, not VOCAB order)")
    return remap


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    log = event_log(args.events, seed=args.seed)
    describe(log)
    interning(log)


if __name__ == "__main__":
    main()
