"""Work that follows the output: patterns that cannot match, or match only a few times, on streams where a
search without pruning visits quadratically or exponentially many partial matches.

Each case runs at its base size and at 10x and 100x the stream length; the time should grow no faster than
the stream (or the output). Before pruning, the base sizes took (one run each, on the machine of the first
measurement): SBP-then-LACTATE 41 s at n=80,000 (58 s with first_only); five a then never 13 s at n=200, and
25 s at n=100 with max_dt and first_only; eight a then never unordered 65 s on 14 tokens; 30 a over 31
tokens 38 s, 63 over 64 unfinished after 5 minutes. Inputs are built before timing; medians of --repeat.

Run: python bench/bench_bounded.py [--repeat 3] [--json PATH]
"""

from __future__ import annotations

import argparse
import json

import numpy as np

import zuldcore
from harness import median_time


def events(tokens, value_test=False, **kwargs):
    p = zuldcore.Pattern(**kwargs)
    for t in tokens:
        p.add_event(t, **({"max_val": 90.0} if value_test else {}))
    return p


# (name, pattern, token, base n, first_only, sizes multiplied): the stream is n copies of `token`.
CASES = [
    ("SBP <= 90 then LACTATE, no LACTATE", events(["SBP", "LACTATE"], value_test=True), "SBP", 80_000, False, (1, 10, 100)),
    ("  the same, first_only", events(["SBP", "LACTATE"], value_test=True), "SBP", 80_000, True, (1, 10, 100)),
    ("5 x a then never (fast path)", events(["a"] * 5 + ["never"]), "a", 200, False, (1, 10, 100)),
    ("  max_dt=1e9, first_only (search)", events(["a"] * 5 + ["never"], max_dt=1e9), "a", 100, True, (1, 10, 100)),
    ("8 x a then never, unordered", events(["a"] * 8 + ["never"], ordered=False), "a", 14, False, (1, 10, 100)),
    ("30 x a over 31 a (fast path)", events(["a"] * 30), "a", 31, False, (1,)),
    ("63 x a over 64 a (fast path)", events(["a"] * 63), "a", 64, False, (1,)),
    ("63 x a over 64 a, value test (search)", events(["a"] * 63, value_test=True), "a", 64, False, (1,)),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args()

    rows = []
    print(f"{'case':42s} {'n':>10s} {'matches':>8s} {'median':>12s} {'per token':>10s}")
    for name, pattern, token, base, first_only, mults in CASES:
        z = zuldcore.Zuldor(pattern)
        for m in mults:
            n = base * m
            tokens, times, values = [token] * n, np.arange(n, dtype=np.float64), np.full(n, 80.0)
            matches = len(z.match_stream(tokens, times, values, first_only=first_only)["m_start"])
            s = median_time(lambda: z.match_stream(tokens, times, values, first_only=first_only), repeat=args.repeat)
            rows.append({"case": name.strip(), "n": n, "matches": matches, "seconds": s})
            print(f"{name:42s} {n:10,d} {matches:8,d} {s * 1e3:9.3f} ms {s / n * 1e9:7.1f} ns")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
