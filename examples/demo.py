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


def matching(log: EventLog, remap: np.ndarray) -> None:
    section("Pattern matching: Pattern and Zuldor")
    # Lactate drawn within 3 h of an SBP below 90, antibiotics within 6 h after that.
    p = zuldcore.Pattern(collector="collect_pairs")
    p.add_event("SBP", max_val=90.0)
    p.add_event("LACTATE", max_dt=3.0)
    p.add_event("ABX_START", max_dt=6.0, block_token="DISCHARGE")
    print("p = Pattern(collector='collect_pairs')")
    print("p.add_event('SBP', max_val=90.0); p.add_event('LACTATE', max_dt=3.0)")
    print("p.add_event('ABX_START', max_dt=6.0, block_token='DISCHARGE')")
    print(repr(p))
    z = zuldcore.Zuldor(p)
    d = z.match_stream(log.tokens, log.times, log.values, include_tokens=True)
    n = len(d["m_start"])
    print(f"match_stream over {len(log.tokens):,} events: {n:,} matches; keys {list(d)}")
    for m in range(min(n, 3)):
        rows = ", ".join(f"{tok} at {t:.2f} h" for tok, t in zip(d["el_tokens"][m], d["el_times"][m]))
        print(f"  match {m}: positions {d['el_stream_idx'][m].tolist()}: {rows}")

    stream = z.preprocess(log.tokens, log.times, log.values)
    print(f"preprocess once: {stream!r}; then match_preprocessed with any pattern:")
    for a, b, within in [("ED_ARRIVAL", "LACTATE", 1.0), ("ED_ARRIVAL", "ICU_ADMIT", 24.0)]:
        q = zuldcore.Pattern()
        q.add_event(a)
        q.add_event(b, max_dt=within)
        first = zuldcore.Zuldor(q).match_preprocessed(stream, first_only=True)
        every = zuldcore.Zuldor(q).match_preprocessed(stream)
        print(f"  {a} then {b} within {within:g} h: {len(every['m_start']):,} matches, "
              f"first at positions {first['m_start'].tolist()}..{first['m_end'].tolist()}")

    section("Batch matching: one call for every stay")
    q = zuldcore.Pattern()
    q.add_event("ED_ARRIVAL")
    q.add_event("ABX_START", max_dt=48.0)
    ids = remap[log.codes]
    d = zuldcore.Zuldor(q).match_batch(ids, np.asarray(log.times, dtype=np.float64),
                                       np.asarray(log.offsets, dtype=np.int64))
    hit = d["m_start"] >= 0
    print("ED_ARRIVAL then ABX_START within 48 h, first match per stay (positions within the stay):")
    print(f"  {hit.sum():,} of {len(hit):,} stays match; first stays: m_start {d['m_start'][:6].tolist()}, "
          f"m_end {d['m_end'][:6].tolist()}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    log = event_log(args.events, seed=args.seed)
    describe(log)
    remap = interning(log)
    matching(log, remap)


if __name__ == "__main__":
    main()
