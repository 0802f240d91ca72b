"""Pattern building costs: one add_event_set over n tokens and one add_mapped_event over an n-entry match map.

Both builders convert every argument to C++ values, intern the tokens one by one and compile the constraints,
so their cost should grow linearly with n. Beside each zuldcore row stands a plain-Python row that reads the
same inputs into an equivalent dict (tokens to constraints, keys to compiled specs), as a yardstick for what
one pass over the arguments costs in Python. Every timed call builds a fresh Pattern; after the first (untimed)
call all tokens are known, so the timed calls intern by lookup only.

Run: python bench/bench_build.py [--n 10000] [--repeat 5] [--json PATH]
"""

from __future__ import annotations

import argparse
import math

import zuldcore
from data import make_vocab
from harness import Row, Table, add_common_args, median_time, print_table, write_json

PACKAGES = ("zuldcore",)


def event_set_inputs(vocab: list[str]) -> dict:
    n = len(vocab)
    return {
        "match_tokens": vocab,
        "min_vals": [float(i % 7) if i % 3 else math.nan for i in range(n)],
        "max_vals": [100.0 + i for i in range(n)],
        "block_tokens": vocab[: n // 10],
        "block_require_nan_vals": [i % 2 == 0 for i in range(n // 10)],
    }


def event_set_python(args: dict) -> dict:
    """The same reading in plain Python: token -> (min, max), block token -> require-NaN flag."""
    vcs = {t: (lo, hi) for t, lo, hi in zip(args["match_tokens"], args["min_vals"], args["max_vals"])}
    block = dict(zip(args["block_tokens"], args["block_require_nan_vals"]))
    return {"vcs": vcs, "block": block}


def match_map_inputs(vocab: list[str]) -> dict:
    """One rule per code: a single token, a token set, or a same-timestamp sequence, some with block tokens."""
    match_map = {}
    for i, code in enumerate(vocab):
        if i % 3 == 0:
            rule = {"match": f"TREAT_{i}", "max_dt": 24.0}
        elif i % 3 == 1:
            rule = {"match": [f"TREAT_{i}", f"ALT_{i}"], "min_val": [0.0, 1.0], "block": "DISCHARGE"}
        else:
            rule = {"match": [[f"TREAT_{i}", f"DOSE_{i}"]], "max_val": [[10.0]], "min_at": 0.0}
        match_map[code] = rule
    return match_map


RULE_DEFAULTS = {"min_dt": 0.0, "max_dt": math.inf, "min_at": -math.inf, "max_at": math.inf}


def match_map_python(match_map: dict) -> dict:
    """The same reading in plain Python: each rule copied with its timing defaults filled in."""
    out = {}
    for key, rule in match_map.items():
        key = (key,) if isinstance(key, str) else tuple(key)
        compiled = dict(RULE_DEFAULTS)
        compiled.update(rule)
        out[key] = compiled
    return out


def build_event_set(args: dict) -> zuldcore.Pattern:
    p = zuldcore.Pattern()
    p.add_event_set(**args)
    return p


def build_mapped(match_map: dict) -> zuldcore.Pattern:
    p = zuldcore.Pattern()
    p.add_event("ANY")
    p.add_mapped_event(0, match_map)
    return p


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10_000, help="tokens in the set, entries in the match map")
    add_common_args(parser)
    args = parser.parse_args()

    vocab = make_vocab(max(args.n, 10))[: args.n]
    print(f"zuldcore from {zuldcore.__file__}")
    print(f"n = {args.n:,}; median of {args.repeat}")

    set_args = event_set_inputs(vocab)
    assert "n_elements=1," in repr(build_event_set(set_args)), "add_event_set did not append one element"
    assert len(event_set_python(set_args)["vcs"]) == len(set(vocab))
    set_table = Table(f"add_event_set over {args.n:,} tokens ({args.n // 10:,} block tokens)")
    set_table.add(Row("zuldcore Pattern.add_event_set", args.n,
                      median_time(lambda: build_event_set(set_args), args.repeat), product=True))
    set_table.add(Row("plain Python: dicts of the same lists", args.n,
                      median_time(lambda: event_set_python(set_args), args.repeat)))

    match_map = match_map_inputs(vocab)
    assert "n_elements=2," in repr(build_mapped(match_map)), "add_mapped_event did not append one element"
    assert len(match_map_python(match_map)) == len(match_map)
    map_table = Table(f"add_mapped_event over a {args.n:,}-entry match map")
    map_table.add(Row("zuldcore Pattern.add_mapped_event", args.n,
                      median_time(lambda: build_mapped(match_map), args.repeat), product=True))
    map_table.add(Row("plain Python: copy rules with defaults", args.n,
                      median_time(lambda: match_map_python(match_map), args.repeat)))

    tables = [set_table, map_table]
    for t in tables:
        print_table(t.title, t.rows)
    if args.json:
        write_json(args.json, tables, args, PACKAGES, {"zuldcore_file": zuldcore.__file__})


if __name__ == "__main__":
    main()
