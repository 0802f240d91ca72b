"""Patterns as plain data, and the model's reading of them.

A pattern is a dict: the six constructor settings, "elements" (one dict per
builder call: {"kind": <builder name>, <argument>: <value>, ...}, holding exactly
the keyword arguments given, an absent key meaning the builder's default) and
"midstream" (the keyword arguments of add_midstream_collector, or None).

build() replays that data on a real zuldcore.Pattern. compile_pattern() turns
the same data into model elements by the builders' argument rules, without
zuldcore: tokens stay strings, nothing is interned.
"""

import math
from dataclasses import dataclass, field

INF = math.inf
NAN = math.nan

COLLECTORS = ("none", "sum_times", "count", "collect_tokens", "collect_times", "collect_pairs")
ELEMENT_KINDS = (
    "add_event",
    "add_event_set",
    "add_event_seq",
    "add_time_event",
    "add_dynamic_time_event",
    "add_dynamic_event",
    "add_dynamic_event_set",
    "add_mapped_event",
)

# ---------------------------------------------------------------- plain data


def pattern(*elements, midstream=None, min_dt=0.0, max_dt=INF, min_at=-INF, max_at=INF,
            ordered=True, collector="none"):
    """A plain pattern: the constructor settings, the element dicts in order and
    the midstream collector's arguments (or None)."""
    return {
        "min_dt": min_dt,
        "max_dt": max_dt,
        "min_at": min_at,
        "max_at": max_at,
        "ordered": ordered,
        "collector": collector,
        "elements": list(elements),
        "midstream": midstream,
    }


def event(match_token, **args):
    return {"kind": "add_event", "match_token": match_token, **args}


def event_set(match_tokens, **args):
    return {"kind": "add_event_set", "match_tokens": match_tokens, **args}


def event_seq(match_seqs, **args):
    return {"kind": "add_event_seq", "match_seqs": match_seqs, **args}


def time_event(**args):
    return {"kind": "add_time_event", **args}


def dynamic_time_event(**args):
    return {"kind": "add_dynamic_time_event", **args}


def dynamic_event(**args):
    return {"kind": "add_dynamic_event", **args}


def dynamic_event_set(**args):
    return {"kind": "add_dynamic_event_set", **args}


def mapped_event(source_element, match_map, **args):
    return {"kind": "add_mapped_event", "source_element": source_element, "match_map": match_map,
            **args}


def midstream(match_tokens, start_after, stop_before, **args):
    return {"match_tokens": match_tokens, "start_after": start_after, "stop_before": stop_before,
            **args}


def build(data):
    """The zuldcore.Pattern that the builder calls described by `data` make."""
    import zuldcore  # only here: the model itself never needs zuldcore

    p = zuldcore.Pattern(
        min_dt=data["min_dt"],
        max_dt=data["max_dt"],
        min_at=data["min_at"],
        max_at=data["max_at"],
        ordered=data["ordered"],
        collector=data["collector"],
    )
    for element in data["elements"]:
        args = {name: value for name, value in element.items() if name != "kind"}
        getattr(p, element["kind"])(**args)
    if data["midstream"] is not None:
        p.add_midstream_collector(**data["midstream"])
    return p


# ---------------------------------------------------------------- value constraints

# A constraint is a tuple: ANY, REQUIRE_NAN or ("range", lo, hi) with lo and hi
# never NaN. Tuples compare by value, which is the equality trie edges use.
ANY = ("any",)
REQUIRE_NAN = ("require_nan",)


def constraint(min_val=NAN, max_val=NAN, require_nan=False):
    """The constraint the builders make from one (min, max, require-NaN) triple."""
    min_val = float(min_val)
    max_val = float(max_val)
    if require_nan:
        return REQUIRE_NAN
    if math.isnan(min_val) and math.isnan(max_val):
        return ANY
    lo = -INF if math.isnan(min_val) else min_val
    hi = INF if math.isnan(max_val) else max_val
    return ("range", lo, hi)


def passes(vc, value):
    """Whether `value` (NaN = no value) passes the constraint."""
    if vc == ANY:
        return True
    if vc == REQUIRE_NAN:
        return math.isnan(value)
    _, lo, hi = vc
    return lo <= value <= hi  # False for NaN


def constraint_of(tokens, vcs, token):
    """The constraint parallel to the first entry of `tokens` equal to `token`;
    ANY when `vcs` has no entry there (an empty `vcs` constrains nothing)."""
    i = tokens.index(token)
    return vcs[i] if i < len(vcs) else ANY


def _check_length(values, n, name, tokens_name):
    # A list shorter than its tokens is refused (zuldcore raises this ValueError).
    if values is not None and len(values) < n:
        raise ValueError(f"{name} must have length {n} to match {tokens_name} (got {len(values)})")


def plural_constraints(n, mins, maxs, nans, names=("min_vals", "max_vals", "require_nan_vals"),
                       tokens_name="match_tokens"):
    """n constraints from up to three optional lists; [] when none is given."""
    if mins is None and maxs is None and nans is None:
        return []
    for values, name in zip((mins, maxs, nans), names):
        _check_length(values, n, name, tokens_name)
    return [
        constraint(
            NAN if mins is None else mins[i],
            NAN if maxs is None else maxs[i],
            False if nans is None else nans[i],
        )
        for i in range(n)
    ]


def sequence_constraints(n, mins, maxs, nans, names=("min_vals", "max_vals", "require_nan_vals"),
                         tokens_name="match_seqs"):
    """One constraint list per sequence, from up to three optional lists of lists.
    Sequence i gets as many constraints as inner list i of the first given list."""
    if mins is None and maxs is None and nans is None:
        return [[] for _ in range(n)]
    for values, name in zip((mins, maxs, nans), names):
        _check_length(values, n, name, tokens_name)
    first_given = mins if mins is not None else maxs if maxs is not None else nans
    result = []
    for i in range(n):
        m = len(first_given[i])
        result.append([
            constraint(
                NAN if mins is None else mins[i][j],
                NAN if maxs is None else maxs[i][j],
                False if nans is None else nans[i][j],
            )
            for j in range(m)
        ])
    return result


# ---------------------------------------------------------------- tries


class Trie:
    """A set of same-timestamp token sequences. Each edge consumes one token
    whose value must pass the edge's constraint; under one token the edges keep
    the order in which they were created, and no two have equal constraints."""

    def __init__(self):
        self.children = {}  # token -> list of (constraint, Trie), oldest first
        self.terminal = False  # a stored sequence ends here

    def insert(self, tokens, constraints=()):
        """Adds one sequence; position i uses constraints[i], or ANY past its end."""
        node = self
        for i, token in enumerate(tokens):
            vc = constraints[i] if i < len(constraints) else ANY
            edges = node.children.setdefault(token, [])
            same = [child for edge_vc, child in edges if edge_vc == vc]
            if same:
                node = same[0]
            else:
                child = Trie()
                edges.append((vc, child))
                node = child
        node.terminal = True


def sequence_trie(sequences, constraint_lists=None):
    trie = Trie()
    for i, sequence in enumerate(sequences):
        trie.insert(sequence, [] if constraint_lists is None else constraint_lists[i])
    return trie


# ---------------------------------------------------------------- model elements


@dataclass
class Element:
    """One compiled element. `kind` is one of "event", "event_set", "event_seq",
    "time_event", "dynamic_time_event", "dynamic_event", "dynamic_event_set",
    "mapped_event"; each kind reads only its own fields. An event is kept as a
    one-token set: `tokens` = [match_token], `vcs` = [its constraint], and the
    block token (if any) with its constraint as one-entry block lists."""

    kind: str
    backtrackable: bool = True
    min_dt: float = 0.0  # timing bounds (not read by mapped_event)
    max_dt: float = INF
    min_at: float = -INF
    max_at: float = INF
    rel_min_dt: float = 0.0  # dynamic_time_event's window, relative to the reference time
    rel_max_dt: float = INF
    tokens: list = field(default_factory=list)  # match tokens (static ones for the dynamic set)
    vcs: list = field(default_factory=list)  # parallel to tokens, may be empty
    vc: tuple = ANY  # dynamic_event's constraint on the last matched token
    block_tokens: list = field(default_factory=list)
    block_vcs: list = field(default_factory=list)  # parallel to block_tokens, may be empty
    match_trie: Trie = None  # event_seq
    block_trie: Trie = None  # event_seq, optional
    match_from_last: bool = False  # dynamic_event_set
    block_from_last: bool = False  # dynamic_event_set
    source_element: int = 0  # mapped_event
    rules: dict = None  # mapped_event: tuple of tokens -> Rule
    default: "Rule" = None  # mapped_event, optional


@dataclass
class Rule:
    """What a mapped element's entry compiles to: a token, a token set or a trie of
    sequences, with block tokens and its own timing bounds."""

    tokens: list
    vcs: list
    block_tokens: list
    block_vcs: list
    seq_trie: Trie  # None unless "match" was a list of lists
    min_dt: float
    max_dt: float
    min_at: float
    max_at: float


@dataclass
class Midstream:
    start_after: set  # element indices, each taken modulo 64
    stop_before: set
    trie: Trie
    collector: str


@dataclass
class Model:
    elements: list
    midstream: Midstream  # or None
    min_dt: float
    max_dt: float
    min_at: float
    max_at: float
    ordered: bool
    collector: str


def _timing(args):
    """An element's timing bounds and backtrackable flag, defaults filled in."""
    return {
        "min_dt": float(args.get("min_dt", 0.0)),
        "max_dt": float(args.get("max_dt", INF)),
        "min_at": float(args.get("min_at", -INF)),
        "max_at": float(args.get("max_at", INF)),
        "backtrackable": args.get("backtrackable", True),
    }


def _time_event_blocks(args):
    """The block-argument rule of the time elements: (block_tokens, block_vcs)."""
    names = ("block_min_vals", "block_max_vals", "block_require_nan_vals")
    plural = [args.get(name) for name in names]
    block_token = args.get("block_token")
    block_tokens = args.get("block_tokens")
    if block_tokens is None:
        if any(values is not None for values in plural):
            raise ValueError("plural block value constraints require block_tokens")
        if block_token is None:
            return [], []
        vc = constraint(args.get("block_min_val", NAN), args.get("block_max_val", NAN),
                        args.get("block_require_nan_val", False))
        return [block_token], [vc]
    if block_token is not None:
        raise ValueError("use either block_token or block_tokens, not both")
    if (args.get("block_require_nan_val", False) or not math.isnan(args.get("block_min_val", NAN))
            or not math.isnan(args.get("block_max_val", NAN))):
        raise ValueError("block_min_val/block_max_val/block_require_nan_val apply to block_token; "
                         "use the plural value-constraint arguments with block_tokens")
    for values, name in zip(plural, names):
        if values is not None and len(values) != len(block_tokens):
            raise ValueError(f"{name} must have length {len(block_tokens)} to match block_tokens "
                             f"(got {len(values)})")
    return list(block_tokens), plural_constraints(
        len(block_tokens), *plural, names=names, tokens_name="block_tokens")


def _block_plural(args, block_tokens, tokens_name):
    return plural_constraints(
        len(block_tokens), args.get("block_min_vals"), args.get("block_max_vals"),
        args.get("block_require_nan_vals"),
        names=("block_min_vals", "block_max_vals", "block_require_nan_vals"), tokens_name=tokens_name)


def _match_plural(args, tokens, tokens_name):
    return plural_constraints(len(tokens), args.get("min_vals"), args.get("max_vals"),
                              args.get("require_nan_vals"), tokens_name=tokens_name)


def compile_entry(entry):
    """The Rule of one match-map entry (or of the default)."""
    if "block" in entry:
        block = entry["block"]
        block_tokens = [block] if isinstance(block, str) else list(block)
        block_vcs = plural_constraints(
            len(block_tokens), entry.get("block_min_val"), entry.get("block_max_val"),
            entry.get("block_require_nan_val"),
            names=("block_min_val", "block_max_val", "block_require_nan_val"), tokens_name="block")
    else:
        block_tokens, block_vcs = [], []
    match = entry["match"]
    mins, maxs, nans = entry.get("min_val"), entry.get("max_val"), entry.get("require_nan_val")
    seq_trie = None
    if isinstance(match, str):
        # One token: the first entry of each value list (NaN / False when absent or empty).
        tokens = [match]
        vcs = [constraint(mins[0] if mins else NAN, maxs[0] if maxs else NAN,
                          nans[0] if nans else False)]
    elif all(isinstance(token, str) for token in match):
        tokens = list(match)
        vcs = plural_constraints(len(tokens), mins, maxs, nans,
                                 names=("min_val", "max_val", "require_nan_val"), tokens_name="match")
    else:
        tokens, vcs = [], []
        lists = sequence_constraints(len(match), mins, maxs, nans,
                                     names=("min_val", "max_val", "require_nan_val"),
                                     tokens_name="match")
        seq_trie = sequence_trie(match, lists)
    return Rule(
        tokens=tokens,
        vcs=vcs,
        block_tokens=block_tokens,
        block_vcs=block_vcs,
        seq_trie=seq_trie,
        min_dt=float(entry.get("min_dt", 0.0)),
        max_dt=float(entry.get("max_dt", INF)),
        min_at=float(entry.get("min_at", -INF)),
        max_at=float(entry.get("max_at", INF)),
    )


def compile_element(args):
    """The model Element of one builder call's arguments."""
    kind = args["kind"]
    if kind == "add_event":
        block_token = args.get("block_token")
        return Element(
            kind="event",
            tokens=[args["match_token"]],
            vcs=[constraint(args.get("min_val", NAN), args.get("max_val", NAN),
                            args.get("require_nan_val", False))],
            block_tokens=[] if block_token is None else [block_token],
            block_vcs=[] if block_token is None else [constraint(
                args.get("block_min_val", NAN), args.get("block_max_val", NAN),
                args.get("block_require_nan_val", False))],
            **_timing(args),
        )
    if kind == "add_event_set":
        tokens = list(args["match_tokens"])
        block_tokens = list(args.get("block_tokens") or [])
        return Element(
            kind="event_set",
            tokens=tokens,
            vcs=_match_plural(args, tokens, "match_tokens"),
            block_tokens=block_tokens,
            block_vcs=_block_plural(args, block_tokens, "block_tokens"),
            **_timing(args),
        )
    if kind == "add_event_seq":
        seqs = args["match_seqs"]
        match_lists = sequence_constraints(len(seqs), args.get("min_vals"), args.get("max_vals"),
                                           args.get("require_nan_vals"))
        block_seqs = args.get("block_seqs")
        block_trie = None
        if block_seqs is not None:
            block_lists = sequence_constraints(
                len(block_seqs), args.get("block_min_vals"), args.get("block_max_vals"),
                args.get("block_require_nan_vals"),
                names=("block_min_vals", "block_max_vals", "block_require_nan_vals"),
                tokens_name="block_seqs")
            block_trie = sequence_trie(block_seqs, block_lists)
        return Element(kind="event_seq", match_trie=sequence_trie(seqs, match_lists),
                       block_trie=block_trie, **_timing(args))
    if kind == "add_time_event":
        block_tokens, block_vcs = _time_event_blocks(args)
        return Element(kind="time_event", block_tokens=block_tokens, block_vcs=block_vcs,
                       **_timing(args))
    if kind == "add_dynamic_time_event":
        block_tokens, block_vcs = _time_event_blocks(args)
        return Element(
            kind="dynamic_time_event",
            rel_min_dt=float(args.get("rel_min_dt", 0.0)),
            rel_max_dt=float(args.get("rel_max_dt", INF)),
            min_at=float(args.get("min_at", -INF)),
            max_at=float(args.get("max_at", INF)),
            backtrackable=args.get("backtrackable", True),
            block_tokens=block_tokens,
            block_vcs=block_vcs,
        )
    if kind == "add_dynamic_event":
        block_tokens = list(args.get("static_block_tokens") or [])
        return Element(
            kind="dynamic_event",
            vc=constraint(args.get("min_val", NAN), args.get("max_val", NAN),
                          args.get("require_nan_val", False)),
            block_tokens=block_tokens,
            block_vcs=_block_plural(args, block_tokens, "static_block_tokens"),
            **_timing(args),
        )
    if kind == "add_dynamic_event_set":
        tokens = list(args.get("static_match_tokens") or [])
        block_tokens = list(args.get("static_block_tokens") or [])
        return Element(
            kind="dynamic_event_set",
            tokens=tokens,
            vcs=_match_plural(args, tokens, "static_match_tokens"),
            block_tokens=block_tokens,
            block_vcs=_block_plural(args, block_tokens, "static_block_tokens"),
            match_from_last=args.get("match_from_last", False),
            block_from_last=args.get("block_from_last", False),
            **_timing(args),
        )
    if kind == "add_mapped_event":
        rules = {}
        for key, entry in args["match_map"].items():
            # "a" and ("a",) are the same key; of equal keys the last one wins.
            rules[(key,) if isinstance(key, str) else tuple(key)] = compile_entry(entry)
        default = args.get("default")
        return Element(
            kind="mapped_event",
            backtrackable=args.get("backtrackable", True),
            source_element=args["source_element"],
            rules=rules,
            default=None if default is None else compile_entry(default),
        )
    raise ValueError(f"unknown element kind {kind!r}")


def compile_midstream(args):
    match_tokens = args["match_tokens"]
    if all(isinstance(token, str) for token in match_tokens):
        sequences = [[token] for token in match_tokens]
    else:
        sequences = [list(sequence) for sequence in match_tokens]
    return Midstream(
        start_after={i % 64 for i in args["start_after"]},
        stop_before={i % 64 for i in args["stop_before"]},
        trie=sequence_trie(sequences),
        collector=args.get("collector", "collect_tokens"),
    )


def compile_pattern(data):
    """The model's own reading of a plain pattern."""
    return Model(
        elements=[compile_element(element) for element in data["elements"]],
        midstream=None if data["midstream"] is None else compile_midstream(data["midstream"]),
        min_dt=float(data["min_dt"]),
        max_dt=float(data["max_dt"]),
        min_at=float(data["min_at"]),
        max_at=float(data["max_at"]),
        ordered=data["ordered"],
        collector=data["collector"],
    )
