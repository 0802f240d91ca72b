"""zuldcore on a clinical-like event log: a short walk through the API, one section per feature, every
question about a stay answered through a Corpus whose documents are the stays.

Run: python examples/demo.py [--events 100000] [--seed 7]
"""

from __future__ import annotations

import argparse

import numpy as np

import zuldcore
from eventlog import EventLog, event_log
from zuldcore.corpus import Corpus

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


def cohort_in_one_call(log: EventLog) -> Corpus:
    section("A corpus: every stay on its own, in one call")
    corpus = Corpus(log.tokens, log.times, log.offsets, log.values)
    print("corpus = Corpus(tokens, times, offsets, values)   # document k: positions offsets[k] to offsets[k + 1] - 1")
    print(f"{corpus!r}: interned once, then every job runs each stay on its own, on every core")

    q = zuldcore.Pattern()
    q.add_event("ED_ARRIVAL")
    q.add_event("ICU_ADMIT", max_dt=24.0)
    z = zuldcore.Zuldor(q)
    whole = z.match_stream(log.tokens, log.times)
    stay_of = np.searchsorted(log.offsets, whole["el_stream_idx"], side="right") - 1
    crossed = int((stay_of[:, 0] != stay_of[:, 1]).sum())
    within = len(corpus.match(z)["m_start"])
    print(f"why not one call over the whole log: {crossed:,} of its {len(whole['m_start']):,} \"ED_ARRIVAL then "
          f"ICU_ADMIT within 24 h\" matches pair one stay's arrival with the next stay's admission "
          f"(corpus.match finds the {within:,} within stays)")
    return corpus


def matching(log: EventLog, corpus: Corpus, remap: np.ndarray) -> None:
    section("Pattern matching: Pattern, Zuldor and corpus.match")
    # Lactate drawn within 3 h of an SBP below 90, antibiotics within 6 h after that, in one stay.
    p = zuldcore.Pattern(collector="collect_pairs")
    p.add_event("SBP", max_val=90.0)
    p.add_event("LACTATE", max_dt=3.0)
    p.add_event("ABX_START", max_dt=6.0)
    print("p = Pattern(collector='collect_pairs')")
    print("p.add_event('SBP', max_val=90.0); p.add_event('LACTATE', max_dt=3.0); p.add_event('ABX_START', max_dt=6.0)")
    print(repr(p))
    z = zuldcore.Zuldor(p)
    d = corpus.match(z, include_tokens=True)
    n = len(d["m_start"])
    print(f"corpus.match(Zuldor(p)): {n:,} matches in {len(np.unique(d['doc'])):,} stays; keys {list(d)}")
    for m in range(min(n, 3)):
        rows = ", ".join(f"{tok} at {t:.2f} h" for tok, t in zip(d["el_tokens"][m], d["el_times"][m]))
        print(f"  stay {d['doc'][m]}, positions {d['el_stream_idx'][m].tolist()}: {rows}")
    first = corpus.match(z, first_only=True)
    print(f"first_only=True: the first match of each stay, {len(first['m_start']):,} of them")

    k = int(d["doc"][0]) if n else 0
    lo, hi = int(log.offsets[k]), int(log.offsets[k + 1])
    stream = z.preprocess(log.tokens[lo:hi], log.times[lo:hi], log.values[lo:hi])
    print(f"one stay as a stream: preprocess it once, {stream!r}; then match_preprocessed with any pattern:")
    for a, b, within in [("ED_ARRIVAL", "SBP", 2.0), ("SBP", "ABX_START", 6.0)]:
        q = zuldcore.Pattern()
        q.add_event(a)
        q.add_event(b, max_dt=within)
        every = zuldcore.Zuldor(q).match_preprocessed(stream)
        print(f"  stay {k}: {a} then {b} within {within:g} h: {len(every['m_start']):,} matches, "
              f"at positions {every['el_stream_idx'].tolist()[:4]} of the stay")

    section("Batch matching: the first match of every stay from ids")
    q = zuldcore.Pattern()
    q.add_event("ED_ARRIVAL")
    q.add_event("ABX_START", max_dt=48.0)
    ids = remap[log.codes]
    batch = zuldcore.Zuldor(q).match_batch(ids, np.asarray(log.times, dtype=np.float64),
                                           np.asarray(log.offsets, dtype=np.int64))
    hit = batch["m_start"] >= 0
    print("ED_ARRIVAL then ABX_START within 48 h, first match per stay (positions within the stay):")
    print(f"  {hit.sum():,} of {len(hit):,} stays match; first stays: m_start {batch['m_start'][:6].tolist()}, "
          f"m_end {batch['m_end'][:6].tolist()}")
    same = corpus.match(zuldcore.Zuldor(q), first_only=True)
    assert np.array_equal(same["m_start"] - log.offsets[same["doc"]], batch["m_start"][hit])
    print("  the same first matches as corpus.match(..., first_only=True), there as positions of the whole log")


def state_machines(corpus: Corpus) -> None:
    section("State machines: StateMachine and corpus.state_spans")
    # Where each stay is: the ED from arrival until departure (or until the ICU
    # takes over), the ICU from admission to discharge.
    stay = zuldcore.StateMachine(out_name="ward")
    stay.add_state("ed", drop_unclosed=False)
    stay.add_state("icu", min_duration=1.0)
    stay.add_entry("ed", "ED_ARRIVAL")
    stay.add_entry("icu", "ICU_ADMIT")
    stay.add_exit("ed", ["ED_DEPART", "DISCHARGE"])
    stay.add_exit("icu", "DISCHARGE")
    print("stay = StateMachine(out_name='ward'); add_state('ed'), add_state('icu', min_duration=1.0),")
    print("  entries ED_ARRIVAL -> ed, ICU_ADMIT -> icu; exits ED_DEPART or DISCHARGE from ed, DISCHARGE from icu")
    print(repr(stay))
    d = corpus.state_spans(stay)
    print(f"corpus.state_spans(stay): {len(d['state']):,} instances in {len(np.unique(d['doc'])):,} stays; "
          f"columns {list(d)}")
    for k, name in enumerate(stay.state_names[1:], start=1):
        mine = d["state"] == k
        hours = (d["t_end"] - d["t_start"])[mine & (d["valid"] == 1)]
        print(f"  {name}: {mine.sum():,} instances, {int(d['valid'][mine].sum()):,} valid, "
              f"median {np.median(hours) if len(hours) else float('nan'):.1f} h")
    reasons = [zuldcore.CLOSE_REASONS[r] for r in d["close_reason"][:5]]
    print(f"  first instances: stays {d['doc'][:5].tolist()}, start_pos {d['start_pos'][:5].tolist()}, "
          f"end_pos {d['end_pos'][:5].tolist()}, closed by {reasons}")

    # A hypotension episode: an SBP of at most 90 opens it, each further low
    # SBP within 2 h keeps it open; it needs two low readings, and when it
    # lapses the patient is "recovering" for 4 h unless it starts again.
    low_sbp = zuldcore.Pattern()
    low_sbp.add_event("SBP", max_val=90.0)
    hypo = zuldcore.StateMachine()
    hypo.add_state("hypotension", max_gap=2.0, min_events=2, timeout_to="recovering")
    hypo.add_state("recovering", max_gap=4.0)
    hypo.add_entry("hypotension", low_sbp)
    hypo.add_exit("hypotension", "DISCHARGE")
    hypo.add_exit("recovering", "DISCHARGE")
    print("\nlow_sbp = Pattern(); low_sbp.add_event('SBP', max_val=90.0)")
    print("hypo.add_state('hypotension', max_gap=2.0, min_events=2, timeout_to='recovering')")
    print("hypo.add_state('recovering', max_gap=4.0); entry on low_sbp; both end at DISCHARGE")
    d = corpus.state_spans(hypo, include_invalid=False)
    episodes = d["state"] == hypo.state_id("hypotension")
    print(f"valid instances: {episodes.sum():,} hypotension episodes (2+ low readings), "
          f"{(~episodes).sum():,} recovery periods (timeout_entered: {int(d['timeout_entered'].sum()):,})")
    if episodes.any():
        i = int(np.flatnonzero(episodes)[0])
        print(f"  first episode: stay {d['doc'][i]}, positions {d['start_pos'][i]}..{d['end_pos'][i]}, "
              f"{d['t_start'][i]:.2f} h to {d['t_end'][i]:.2f} h, {d['n_events'][i]} low readings, "
              f"closed by {zuldcore.CLOSE_REASONS[d['close_reason'][i]]}")
    print(f"span reference for annotation: hypo.span('hypotension') -> {hypo.span('hypotension')!r}")


def annotation(log: EventLog, corpus: Corpus) -> None:
    section("Annotation: AnnotationSpec and corpus.annotate")
    icu = zuldcore.StateMachine(out_name="ward")
    icu.add_state("icu", drop_unclosed=False)
    icu.add_entry("icu", "ICU_ADMIT")
    icu.add_exit("icu", "DISCHARGE")
    Spec = zuldcore.AnnotationSpec
    specs = [
        Spec.past_occurrence("abx_24h", "ABX_START", 24.0, partial_window=True),
        Spec.window_aggregate("max_sbp_6h", "SBP", 6.0, agg="max", forward=False, partial_window=True),
        Spec.window_aggregate("n_lactate_6h", "LACTATE", 6.0, agg="count", forward=False, partial_window=True),
        Spec.span_aggregate("max_lactate_in_icu", "LACTATE", icu.span("icu"), agg="max"),
        Spec.state_label("where", icu),
    ]
    print("specs = [past_occurrence('abx_24h', 'ABX_START', 24.0), "
          "window_aggregate('max_sbp_6h', 'SBP', 6.0, agg='max', forward=False),")
    print("         window_aggregate('n_lactate_6h', 'LACTATE', 6.0, agg='count', forward=False), "
          "span_aggregate('max_lactate_in_icu', 'LACTATE', icu.span('icu'), agg='max'), state_label('where', icu)]")
    d = corpus.annotate(specs)
    print(f"corpus.annotate(specs): one entry per position of every stay; "
          f"columns {[(name, str(col.dtype)) for name, col in d.items()]}")
    again = corpus.annotate(specs, threads=1)
    assert all(np.array_equal(d[name], again[name], equal_nan=True) for name in d)
    print("threads=None (every CPU) and threads=1 give the same columns")
    # One stay, position by position.
    k = 1
    lo, hi = int(log.offsets[k]), int(log.offsets[k + 1])
    print(f"stay {k}: positions {lo} to {hi - 1}")
    print(f"  {'pos':>6} {'time':>7} {'token':<11} {'value':>6} " + " ".join(f"{name:>18}" for name in d))
    shown = [i for i in range(lo, hi) if log.tokens[i] in ("ED_ARRIVAL", "SBP", "LACTATE", "ABX_START", "ICU_ADMIT",
                                                           "DISCHARGE")][:14]
    for i in shown:
        cells = " ".join(f"{col[i]:>18g}" if col.dtype.kind == "f" else f"{col[i]:>18d}" for col in d.values())
        print(f"  {i:>6} {log.times[i]:7.2f} {log.tokens[i]:<11} {log.values[i]:6g} {cells}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    log = event_log(args.events, seed=args.seed)
    describe(log)
    remap = interning(log)
    corpus = cohort_in_one_call(log)
    matching(log, corpus, remap)
    state_machines(corpus)
    annotation(log, corpus)


if __name__ == "__main__":
    main()
