"""The model of annotate_stream: every annotation kind read plainly, one position
at a time, looking at every point and every span directly (no cursors, no
binary searches, no running sums).

Specs are plain data: dicts made by the nine functions below, named and
argued like the AnnotationSpec constructors. References inside them are plain
data too:

  token reference  str (one token), list[str] (a set), list[list[str]]
                   (same-timestamp sequences), or a plain pattern dict
                   (model.pattern.pattern())
  span reference   a (start_token, end_token) tuple, a plain pattern dict, or
                   StateSpan(machine, state, valid_only) over a plain machine
                   (model.state.machine())

build() makes the zuldcore.AnnotationSpec of a spec; annotate() is what
zuldcore.annotate_stream returns for a list of specs.
"""

import math
from dataclasses import dataclass

import numpy as np

from model import state as state_model
from model.pattern import build as build_pattern
from model.pattern import compile_pattern, sequence_trie
from model.search import make_stream, occurrence, search, shortcut_matches, takes_shortcut

NAN = math.nan
AGGS = ("min", "max", "mean", "count")
LABEL_KINDS = ("future_occurrence", "past_occurrence", "before_event", "in_span",
               "future_span_occurrence", "past_span_occurrence")
DTYPES = {**{kind: np.int8 for kind in LABEL_KINDS}, "window_aggregate": np.float64,
          "span_aggregate": np.float64, "state_label": np.int32}


@dataclass(frozen=True)
class StateSpan:
    """What machine.span(state, valid_only=...) refers to."""

    machine: dict
    state: str
    valid_only: bool = True


# ---------------------------------------------------------------- specs as plain data


def future_occurrence(name, x, window_t, partial_window=False):
    return {"kind": "future_occurrence", "name": name, "x": x, "window_t": window_t,
            "partial_window": partial_window}


def past_occurrence(name, x, window_t, partial_window=False):
    return {"kind": "past_occurrence", "name": name, "x": x, "window_t": window_t,
            "partial_window": partial_window}


def before_event(name, x, y, reset=True):
    return {"kind": "before_event", "name": name, "x": x, "y": y, "reset": reset}


def in_span(name, x, span):
    return {"kind": "in_span", "name": name, "x": x, "span": span}


def future_span_occurrence(name, span, window_t, partial_window=False):
    return {"kind": "future_span_occurrence", "name": name, "span": span, "window_t": window_t,
            "partial_window": partial_window}


def past_span_occurrence(name, span, window_t, partial_window=False):
    return {"kind": "past_span_occurrence", "name": name, "span": span, "window_t": window_t,
            "partial_window": partial_window}


def window_aggregate(name, k, window_t, agg="mean", forward=True, partial_window=False):
    return {"kind": "window_aggregate", "name": name, "k": k, "window_t": window_t, "agg": agg,
            "forward": forward, "partial_window": partial_window}


def span_aggregate(name, k, span, agg="mean"):
    return {"kind": "span_aggregate", "name": name, "k": k, "span": span, "agg": agg}


def state_label(name, machine, default_state=0, invalid_label=-1):
    return {"kind": "state_label", "name": name, "machine": machine,
            "default_state": default_state, "invalid_label": invalid_label}


def _zuldcore_ref(ref):
    """The argument zuldcore takes for a plain token or span reference."""
    if isinstance(ref, dict):
        return build_pattern(ref)
    if isinstance(ref, StateSpan):
        return state_model.build(ref.machine).span(ref.state, valid_only=ref.valid_only)
    return ref


def build(spec):
    """The zuldcore.AnnotationSpec that `spec` describes."""
    import zuldcore  # only here: the model itself never needs zuldcore

    args = {key: value for key, value in spec.items() if key != "kind"}
    for key in ("x", "y", "k", "span"):
        if key in args:
            args[key] = _zuldcore_ref(args[key])
    if "machine" in args:
        args["machine"] = state_model.build(args["machine"])
    return getattr(zuldcore.AnnotationSpec, spec["kind"])(**args)


# ---------------------------------------------------------------- points and spans


def _pattern_matches(data, stream):
    """(m_start, m_end, t_start) of every match, in the order the search emits them
    (the shortcut's matches for the plainest patterns, which differ only on
    times that decrease or are not finite)."""
    if takes_shortcut(data):
        return shortcut_matches(data, stream)
    found = []
    for match in search(compile_pattern(data), stream):
        start = min(step.pos for step in match.path)
        end = max(step.pos + len(step.tokens) - 1 for step in match.path)
        found.append((start, end, match.t_start()))
    return found


def points(ref, stream):
    """(start, end, time, value) of every occurrence of a token reference,
    sorted by start, one per start position: the one with the smallest end."""
    n = len(stream)
    if isinstance(ref, str):
        found = [(i, i, stream.times[i]) for i in range(n) if stream.tokens[i] == ref]
    elif isinstance(ref, dict):
        found = _pattern_matches(ref, stream)
    elif all(isinstance(item, str) for item in ref):
        found = [(i, i, stream.times[i]) for i in range(n) if stream.tokens[i] in ref]
    else:
        # Greedy: the sequence found at a start is taken whole, and the scan
        # goes on after its last token, so occurrences never overlap.
        trie = sequence_trie([list(sequence) for sequence in ref])
        found, i = [], 0
        while i < n:
            length = occurrence(trie, stream, i)
            if length >= 1:
                found.append((i, i + length - 1, stream.times[i]))
                i += length
            else:
                i += 1
    kept = []
    for start, end, time in sorted(found, key=lambda p: (p[0], p[1])):
        if kept and kept[-1][0] == start:
            continue
        kept.append((start, end, time, stream.values[start]))
    return kept


def spans(ref, stream):
    """(start, end) of every span of a span reference, both inclusive."""
    n = len(stream)
    if isinstance(ref, tuple):
        # Each start token pairs with the first end token after it.
        z, y = ref
        found = []
        for first in range(n):
            if stream.tokens[first] != z:
                continue
            later = [m for m in range(first + 1, n) if stream.tokens[m] == y]
            if later:
                found.append((first, later[0]))
        return found
    if isinstance(ref, dict):
        return [(start, end) for start, end, _ in _pattern_matches(ref, stream)]
    decl = state_model.declare(ref.machine)
    wanted = decl.state_id(ref.state)
    return [(inst.start_pos, inst.end_pos)
            for inst in state_model.Run(decl, stream).instances()
            if inst.state == wanted and (inst.valid or not ref.valid_only)
            and inst.end_pos >= inst.start_pos]


def covered(stream, found_spans):
    """Per position: whether some span holds it."""
    return [any(s <= j <= e for s, e in found_spans) for j in range(len(stream))]


# ---------------------------------------------------------------- aggregation


def _sum(values):
    """The sum of the values: exact (math.fsum), rounded once. An infinite
    value makes the sum infinite, and infinities of both signs make it NaN,
    as in float arithmetic."""
    infinities = {v for v in values if math.isinf(v)}
    if len(infinities) == 2:
        return NAN
    if infinities:
        return infinities.pop()
    return math.fsum(values)


def aggregate(agg, values):
    """min, max or mean of the non-NaN values (NaN when there are none), or the
    number of values, NaN ones included."""
    if agg == "count":
        return float(len(values))
    present = [v for v in values if not math.isnan(v)]
    if not present:
        return NAN
    if agg == "min":
        return min(present)
    if agg == "max":
        return max(present)
    return _sum(present) / len(present)


# ---------------------------------------------------------------- the kinds


def _unavailable(stream, i, w, forward, partial_window):
    """Whether the window of position i reaches outside the stream's times."""
    t = stream.times[i]
    if partial_window:
        return False
    if forward:
        return t + w > stream.times[-1]
    return t - w < stream.times[0]


def _window(stream, i, w, forward):
    """The inclusive time window of position i, as (lo, hi)."""
    t = stream.times[i]
    return (t, t + w) if forward else (t - w, t)


def _occurrence(spec, stream, forward):
    w = float(spec["window_t"])
    times = [time for _, _, time, _ in points(spec["x"], stream)]
    out = []
    for i in range(len(stream)):
        if _unavailable(stream, i, w, forward, spec["partial_window"]):
            out.append(-1)
            continue
        lo, hi = _window(stream, i, w, forward)
        out.append(1 if any(lo <= time <= hi for time in times) else 0)
    return out


def _before_event(spec, stream):
    n = len(stream)
    xs = [start for start, _, _, _ in points(spec["x"], stream)]
    ys = [start for start, _, _, _ in points(spec["y"], stream)]
    if not spec["reset"]:
        if xs:
            label = 1 if not ys or xs[0] <= ys[0] else 0
        else:
            label = 0 if ys else -1
        return [label] * n
    out = [-1] * n
    epoch_start = 0
    for q in ys:
        # The epoch runs from epoch_start through this y's own position.
        label = 1 if any(epoch_start <= x <= q for x in xs) else 0
        for j in range(epoch_start, q + 1):
            out[j] = label
        epoch_start = q + 1
    if any(x >= epoch_start for x in xs):
        for j in range(epoch_start, n):
            out[j] = 1  # a trailing epoch is known only once an x is seen; else it stays -1
    return out


def _in_span(spec, stream):
    xs = [start for start, _, _, _ in points(spec["x"], stream)]
    found = spans(spec["span"], stream)
    out = []
    for j in range(len(stream)):
        holding = [(s, e) for s, e in found if s <= j <= e]
        if any(any(s <= x <= e for x in xs) for s, e in holding):
            out.append(1)
        elif holding:
            out.append(0)
        else:
            out.append(-1)
    return out


def _window_aggregate(spec, stream):
    n = len(stream)
    w = float(spec["window_t"])
    pts = points(spec["k"], stream)
    out = [NAN] * n
    if not pts:
        return out  # count included
    for i in range(n):
        if _unavailable(stream, i, w, spec["forward"], spec["partial_window"]):
            continue
        lo, hi = _window(stream, i, w, spec["forward"])
        inside = [value for _, _, time, value in pts if lo <= time <= hi]
        if inside:  # an empty window stays NaN, count included
            out[i] = aggregate(spec["agg"], inside)
    return out


def _span_aggregate(spec, stream):
    n = len(stream)
    pts = points(spec["k"], stream)
    out = [NAN] * n
    # Later spans in (start, end) order overwrite earlier ones where they overlap.
    for s, e in sorted(spans(spec["span"], stream)):
        if s >= n:
            continue
        e = min(e, n - 1)
        inside = [value for start, _, _, value in pts if s <= start <= e]
        result = aggregate(spec["agg"], inside)  # count of nothing is 0 here
        for j in range(s, e + 1):
            out[j] = result
    return out


def _span_occurrence(spec, stream, forward):
    w = float(spec["window_t"])
    found = spans(spec["span"], stream)
    starts = [stream.times[s] for s, _ in found]
    inside = covered(stream, found)
    out = []
    for i in range(len(stream)):
        if inside[i]:
            out.append(2)  # whatever the window
        elif _unavailable(stream, i, w, forward, spec["partial_window"]):
            out.append(-1)
        else:
            lo, hi = _window(stream, i, w, forward)
            out.append(1 if any(lo <= time <= hi for time in starts) else 0)
    return out


def _state_label(spec, stream):
    n = len(stream)
    out = [spec["default_state"]] * n
    instances = state_model.Run(state_model.declare(spec["machine"]), stream).instances()
    # Invalid instances first, then valid ones over them; within each group the
    # later in the run's order wins.
    for want_valid in (False, True):
        for inst in instances:
            if inst.valid != want_valid:
                continue
            label = inst.state if want_valid else spec["invalid_label"]
            for j in range(inst.start_pos, min(inst.end_pos, n - 1) + 1):
                out[j] = label
    return out


def column(spec, stream):
    """The column of one spec on a model stream (model.search.make_stream)."""
    kind = spec["kind"]
    if kind == "future_occurrence":
        values = _occurrence(spec, stream, forward=True)
    elif kind == "past_occurrence":
        values = _occurrence(spec, stream, forward=False)
    elif kind == "before_event":
        values = _before_event(spec, stream)
    elif kind == "in_span":
        values = _in_span(spec, stream)
    elif kind == "window_aggregate":
        values = _window_aggregate(spec, stream)
    elif kind == "span_aggregate":
        values = _span_aggregate(spec, stream)
    elif kind == "future_span_occurrence":
        values = _span_occurrence(spec, stream, forward=True)
    elif kind == "past_span_occurrence":
        values = _span_occurrence(spec, stream, forward=False)
    elif kind == "state_label":
        values = _state_label(spec, stream)
    else:
        raise ValueError(f"unknown annotation kind {kind!r}")
    return np.array(values, dtype=DTYPES[kind])


def annotate(specs, tokens, times, values=None):
    """What zuldcore.annotate_stream(tokens, times, [build(s) for s in specs],
    values) returns: each spec's column under its name, a later spec of the same
    name replacing the column (the key keeps its first place)."""
    stream = make_stream(tokens, times, values)
    out = {}
    for spec in specs:
        out[spec["name"]] = column(spec, stream)
    return out
