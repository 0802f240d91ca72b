"""One stay of the demo's event log drawn as a timeline (needs matplotlib).

Top: every event as a mark, one row per token (lab and medication codes share a row each). Middle: the
instances of two state machines as bars, hatched where an instance failed a validity rule. Bottom: an
annotation column, the lowest systolic pressure of the past 2 hours, over the SBP readings. Shaded across
all three: the matches of a pattern (SBP at most 90, lactate within 3 h, antibiotics within 6 h).

Run: python examples/timeline.py [timeline.png] [--events 20000] [--seed 7]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

import zuldcore
from eventlog import EventLog, event_log

ROWS = ["ED_ARRIVAL", "ED_DEPART", "ICU_ADMIT", "DISCHARGE", "ABX_START", "LACTATE",
        "SBP", "DBP", "HR", "TEMP", "LAB_*", "MED_*"]
# One row per declared state, in this order.
STATE_COLORS = {"ed": "tab:blue", "icu": "tab:purple", "hypotension": "tab:red", "recovering": "tab:green"}


def row_of(token: str) -> int:
    return ROWS.index(token if token in ROWS else token[:4] + "*")


def sepsis_pattern() -> zuldcore.Pattern:
    p = zuldcore.Pattern()
    p.add_event("SBP", max_val=90.0)
    p.add_event("LACTATE", max_dt=3.0)
    p.add_event("ABX_START", max_dt=6.0, block_token="DISCHARGE")
    return p


def state_machines() -> list[zuldcore.StateMachine]:
    """Where the patient is (the demo's stay machine), and hypotension episodes."""
    stay = zuldcore.StateMachine(out_name="ward")
    stay.add_state("ed", drop_unclosed=False)
    stay.add_state("icu", min_duration=1.0)
    stay.add_entry("ed", "ED_ARRIVAL")
    stay.add_entry("icu", "ICU_ADMIT")
    stay.add_exit("ed", ["ED_DEPART", "DISCHARGE"])
    stay.add_exit("icu", "DISCHARGE")

    low_sbp = zuldcore.Pattern()
    low_sbp.add_event("SBP", max_val=90.0)
    hypo = zuldcore.StateMachine()
    hypo.add_state("hypotension", max_gap=2.0, min_events=2, timeout_to="recovering")
    hypo.add_state("recovering", max_gap=4.0)
    hypo.add_entry("hypotension", low_sbp)
    hypo.add_exit("hypotension", "DISCHARGE")
    hypo.add_exit("recovering", "DISCHARGE")
    return [stay, hypo]


def first_matching_stay(log: EventLog, pattern: zuldcore.Pattern) -> int:
    """The first stay in which the pattern matches: one match_batch call over every stay."""
    ids = np.array(zuldcore.vocab_ids(log.vocab), dtype=np.uint32)[log.codes]
    first = zuldcore.Zuldor(pattern).match_batch(ids, log.times, log.offsets, log.values)
    return int(np.flatnonzero(first["m_start"] >= 0)[0])


def draw_timeline(path: str | Path, n_events: int = 20_000, seed: int = 7) -> None:
    log = event_log(n_events, seed=seed)
    pattern = sepsis_pattern()
    k = first_matching_stay(log, pattern)
    lo, hi = int(log.offsets[k]), int(log.offsets[k + 1])
    tokens, values = log.tokens[lo:hi], log.values[lo:hi]
    hours = log.times[lo:hi] - log.times[lo]  # since arrival

    # What zuldcore says about this stay.
    matches = zuldcore.Zuldor(pattern).match_stream(tokens, hours, values)
    instances = [(m, zuldcore.state_spans(tokens, hours, m, values=values)) for m in state_machines()]
    spec = zuldcore.AnnotationSpec.window_aggregate("min_sbp_2h", "SBP", 2.0, agg="min", forward=False,
                                                    partial_window=True)
    min_sbp = zuldcore.annotate_stream(tokens, hours, [spec], values)["min_sbp_2h"]  # one value per event

    fig = Figure(figsize=(10, 6.5), layout="constrained")
    events, states, sbp = fig.subplots(3, 1, sharex=True, height_ratios=[3, 1.4, 1.6])
    fig.suptitle(f"Stay {k} of the demo log: {hi - lo} events")

    events.set_title("events; shaded: matches of SBP <= 90, lactate within 3 h, antibiotics within 6 h",
                     loc="left", fontsize=9)
    events.scatter(hours, [row_of(t) for t in tokens], marker="|", s=60, color="0.3", linewidths=1)
    events.set_yticks(range(len(ROWS)), ROWS, fontsize=8)
    events.set_ylim(len(ROWS) - 0.5, -0.5)
    # Each match shaded from its first to its last event; the events it matched ringed.
    for t0, t1 in zip(matches["t_start"], matches["t_end"]):
        for ax in (events, states, sbp):
            ax.axvspan(t0, t1, color="orange", alpha=0.25, linewidth=0)
    matched = matches["el_stream_idx"].ravel()
    events.scatter(hours[matched], [row_of(tokens[i]) for i in matched], s=90, facecolors="none",
                   edgecolors="orangered")

    states.set_title("state_spans; hatched: instances that failed a validity rule", loc="left", fontsize=9)
    for machine, spans in instances:
        for state, t0, t1, valid in zip(spans["state"], spans["t_start"], spans["t_end"], spans["valid"]):
            name = machine.state_names[state]
            row = list(STATE_COLORS).index(name)
            width = max(t1 - t0, 0.05)  # an instant still shows
            states.broken_barh([(t0, width)], (row - 0.35, 0.7), color=STATE_COLORS[name],
                               alpha=1.0 if valid else 0.35, hatch=None if valid else "//")
    states.set_yticks(range(len(STATE_COLORS)), list(STATE_COLORS), fontsize=8)
    states.set_ylim(len(STATE_COLORS) - 0.5, -0.5)

    sbp.set_title("annotate_stream: window_aggregate of SBP, min over the past 2 h", loc="left", fontsize=9)
    is_sbp = np.array(tokens) == "SBP"
    sbp.scatter(hours[is_sbp], values[is_sbp], s=12, color="0.3", zorder=3, label="SBP reading")
    sbp.plot(hours, min_sbp, marker=".", markersize=3, color="tab:red", label="lowest SBP, past 2 h")
    sbp.axhline(90.0, color="tab:red", linestyle=":", linewidth=1)
    sbp.set_ylabel("mmHg", fontsize=8)
    sbp.set_xlabel("hours since arrival")
    sbp.legend(loc="lower right", fontsize=8)

    fig.savefig(path, dpi=100)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", nargs="?", default="timeline.png", help="PNG file to write (default timeline.png)")
    parser.add_argument("--events", type=int, default=20_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    draw_timeline(args.out, args.events, args.seed)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
