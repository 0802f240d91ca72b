"""annotate_stream against the reference model (tests/model/annotate.py).

CASES is a table of hand-worked streams: the model must give exactly the
column worked out by hand, and zuldcore must give what the model gives. The
property tests then draw streams, token references, span references and specs
of all nine kinds and compare zuldcore with the model column by column: dtype,
length, labels, counts, minima and maxima exactly, NaN at the same positions,
means within 1e-12 of the exactly summed mean (exactly when every value is an
integer)."""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zuldcore
from model import annotate as model
from model.pattern import event, pattern
from model.state import add_entry, add_exit, add_state, declare, machine

INF = math.inf
NAN = math.nan


def zuldcore_annotate(specs, tokens, times, values=None):
    return zuldcore.annotate_stream(tokens, [float(t) for t in times],
                                    [model.build(spec) for spec in specs], values)


def assert_same_columns(got, want, specs, values):
    """Every column of `want` in `got`, keys in the same order."""
    assert list(got) == list(want)
    # A mean is held to the exactly summed mean: to 1e-12 in general, exactly
    # when every value is an integer (the sum is then exact and one rounding
    # of the quotient remains on both sides).
    integers = values is None or all(math.isnan(v) or v == int(v) for v in values
                                     if not math.isinf(v))
    last = {spec["name"]: spec for spec in specs}  # the spec whose column is returned
    for name, expected in want.items():
        actual = got[name]
        where = f"column {name!r} of {last[name]}"
        assert actual.dtype == expected.dtype, f"{where}: dtype {actual.dtype}"
        assert actual.shape == expected.shape, f"{where}: shape {actual.shape}"
        if expected.dtype.kind != "f":
            assert actual.tolist() == expected.tolist(), f"{where}:\n{actual}\n!=\n{expected}"
            continue
        assert np.array_equal(np.isnan(actual), np.isnan(expected)), (
            f"{where}: NaN at other positions:\n{actual}\n!=\n{expected}")
        if last[name].get("agg") == "mean" and not integers:
            assert np.allclose(actual, expected, rtol=1e-12, atol=0.0, equal_nan=True), (
                f"{where}:\n{actual!r}\n!=\n{expected!r}")
        else:
            assert np.array_equal(actual, expected, equal_nan=True), (
                f"{where}:\n{actual!r}\n!=\n{expected!r}")


# ---------------------------------------------------------------- hand-worked cases

A_X = machine(add_state("a"), add_entry("a", "x"))
# a entered by x; b entered by the same-timestamp pair x z, whose entry at z
# ends a at the x (never before its own start) and opens b at that same x.
A_AND_XZ = machine(add_state("a"), add_state("b"), add_entry("a", "x"),
                   add_entry("b", [["x", "z"]]))
S_X_Y = machine(add_state("s"), add_entry("s", "x"), add_exit("s", "y"))
K = ["a", "b", "c", "k", "x", "y", "z"]

# name: (spec, tokens, times (None: 0, 1, 2, ...), values, the column worked out by hand)
CASES = {
    "future_occurrence, w 0, last position, x earlier at the same time": (
        model.future_occurrence("f", "x", 0.0), "xa", [1, 1], None, [1, 1]),
    "future_occurrence, w 0, last position, x only at an earlier time": (
        model.future_occurrence("f", "x", 0.0), "xa", [0, 1], None, [1, 0]),
    "state_label: an instance open at the end is rejected as unclosed": (
        model.state_label("l", A_X), "axa", None, None, [0, -1, -1]),
    "state_label: a valid instance shows over the rejected one it overlaps": (
        model.state_label("l", A_AND_XZ), "xz", [0, 0], None, [1, -1]),
    "token pair (a, b) on a b a c b: spans (0, 1) and (2, 4)": (
        model.span_aggregate("s", K, ("a", "b"), "count"), "abacb", None, None, [2, 2, 3, 3, 3]),
    "token pair (a, b) on a a b: nested spans (0, 2) and (1, 2), the later wins": (
        model.span_aggregate("s", K, ("a", "b"), "count"), "aab", None, None, [3, 2, 2]),
    "a y before any z and a z after the last y make no span": (
        model.span_aggregate("s", K, ("a", "b"), "count"), "baba", None, None, [NAN, 2, 2, NAN]),
    "token pair (a, a) on a a a: spans (0, 1) and (1, 2)": (
        model.span_aggregate("s", "a", ("a", "a"), "mean"), "aaa", None, [1, 2, 4], [1.5, 3, 3]),
    "machine span, valid_only: the unclosed instance is no span": (
        model.span_aggregate("s", "x", model.StateSpan(S_X_Y, "s"), "count"), "xyxa", None, None,
        [1, 1, NAN, NAN]),
    "machine span, all instances: the unclosed one too": (
        model.span_aggregate("s", "x", model.StateSpan(S_X_Y, "s", False), "count"), "xyxa", None,
        None, [1, 1, 1, 1]),
    "span mask of (1, 2) and (2, 3)": (
        model.future_span_occurrence("f", ("a", "a"), 0.0, True), "caaac", None, None,
        [0, 2, 2, 2, 0]),
    "span mask of no spans": (
        model.future_span_occurrence("f", ("z", "z"), 0.0, True), "caaac", None, None, [0] * 5),
    "a NaN time: that point in no window, its own window empty, later ones as usual": (
        model.future_occurrence("f", "x", 0.0), "xxxx", [0, NAN, 2, 3], None, [1, 0, 1, 1]),
    "a NaN time: backward max over w 0 at the positions after it": (
        model.window_aggregate("m", "x", 0.0, "max", forward=False), "xxxx", [0, NAN, 2, 3],
        [1, 2, 3, 4], [1, NAN, 3, 4]),
    "a NaN time: count over w 10 skips only the NaN point": (
        model.window_aggregate("c", "x", 10.0, "count", partial_window=True), "xxxx",
        [0, NAN, 2, 3], None, [3, NAN, 2, 1]),
    "a span starting at a NaN time lies in no window; later starts count": (
        model.future_span_occurrence("f", ("a", "b"), 1.0, True), "abcab", [NAN, 1, 2, 3, 4],
        None, [2, 2, 1, 2, 2]),
    "a NaN last time: no window reaches past it": (
        model.future_span_occurrence("f", ("a", "b"), 1.0), "cabc", [0, 1, 2, NAN], None,
        [1, 2, 2, 0]),
    "mean of 1e16, 1, -1e16 sliding through a window: no cancellation": (
        model.window_aggregate("m", "k", 2.0, "mean", forward=False, partial_window=True), "kkkkk",
        None, [1e16, 1, -1e16, 1, 2], [1e16, 5e15, 1 / 3, (2 - 1e16) / 3, (3 - 1e16) / 3]),
}


def _case(name):
    spec, tokens, times, values, expected = CASES[name]
    times = list(range(len(tokens))) if times is None else times
    values = None if values is None else [float(v) for v in values]
    return spec, list(tokens), times, values, expected


@pytest.mark.parametrize("name", CASES)
def test_model_on_hand_worked_case(name):
    spec, tokens, times, values, expected = _case(name)
    got = model.annotate([spec], tokens, times, values)[spec["name"]]
    assert got.dtype == model.DTYPES[spec["kind"]]
    assert np.array_equal(got, np.array(expected, dtype=got.dtype), equal_nan=True), got


@pytest.mark.parametrize("name", CASES)
def test_zuldcore_on_hand_worked_case(name):
    spec, tokens, times, values, _ = _case(name)
    want = model.annotate([spec], tokens, times, values)
    got = zuldcore_annotate([spec], tokens, times, values)
    for key in want:  # exactly, means included
        assert got[key].dtype == want[key].dtype
        assert np.array_equal(got[key], want[key], equal_nan=True), (got[key], want[key])


# ---------------------------------------------------------------- strategies

TOKENS = ["a", "b", "c", "d"]
STREAM_TOKENS = TOKENS + ["e"]
REF_TOKENS = TOKENS + ["q"]  # q never occurs: a reference with no points
# Mostly windows that hold something; negative, infinite and NaN ones too.
WINDOWS = st.sampled_from([1.0, 0.0, 2.0, 0.5, 3.0, 5.0, 1.0, 2.0, 3.0, -1.0, INF, NAN, -INF])
PARTIAL = st.sampled_from([True, True, False])  # False often leaves little to compare
AGGS = st.sampled_from(model.AGGS)
VALUES = st.sampled_from([NAN, 0.0, 1.0, -2.0, 3.0, 2.5, 0.1, 1e16, -1e16, -0.0, INF, -INF])


@st.composite
def streams(draw, nan_times=True):
    n = draw(st.sampled_from(range(26)))  # uniform: long streams as often as short ones
    tokens = draw(st.lists(st.sampled_from(STREAM_TOKENS), min_size=n, max_size=n))
    # Non-decreasing, with many ties.
    time = draw(st.sampled_from([0.0, 1.0, -3.5, 100.0]))
    times = []
    for _ in range(n):
        times.append(time)
        time += draw(st.sampled_from([0.0, 1.0, 0.0, 2.0, 0.5, 3.0]))
    # In some streams infinite times at either end (the order holds), and NaN
    # times anywhere: a point there lies in no window, the points after it
    # count as usual, and the first or last time may be NaN.
    if n and draw(st.integers(0, 3)) == 0:
        lead = draw(st.integers(0, n))
        trail = draw(st.integers(0, n - lead))
        times = [-INF] * lead + times[lead:n - trail] + [INF] * trail
    if nan_times and draw(st.booleans()):
        times = [NAN if draw(st.integers(0, 3)) == 0 else t for t in times]
    with_values = draw(st.sampled_from([True, True, True, False]))
    values = draw(st.lists(VALUES, min_size=n, max_size=n)) if with_values else None
    return tokens, times, values


@st.composite
def patterns(draw):
    """A plain pattern of one or two add_event elements, a later one sometimes
    within max_dt of the one before, sometimes unordered or value-bounded."""
    elements = []
    for i in range(draw(st.integers(1, 2))):
        args = {}
        if i and draw(st.booleans()):
            args["max_dt"] = draw(st.sampled_from([0.0, 1.0, 2.0]))
        if draw(st.integers(0, 5)) == 0:
            args["min_val"] = draw(st.sampled_from([0.0, 1.0]))
        elements.append(event(draw(st.sampled_from(TOKENS)), **args))
    ordered = draw(st.integers(0, 4)) != 0
    return pattern(*elements, ordered=ordered)


TOKEN_REFS = st.one_of(
    st.sampled_from(REF_TOKENS),
    st.lists(st.sampled_from(REF_TOKENS), min_size=1, max_size=3),
    # Sequences up to four long, so that runs of tied times too short for
    # the shortest of them are common.
    st.lists(st.lists(st.sampled_from(TOKENS), min_size=1, max_size=4), min_size=1, max_size=2),
    patterns(),
)
TRIGGERS = st.one_of(
    st.sampled_from(TOKENS),
    st.lists(st.sampled_from(TOKENS), min_size=1, max_size=2),
    st.lists(st.lists(st.sampled_from(TOKENS), min_size=1, max_size=2), min_size=1, max_size=2),
)


@st.composite
def machines(draw):
    """One to three states entered and left by token triggers, with a few of the
    options that make instances close by timeout or be rejected."""
    names = [f"s{k}" for k in range(draw(st.integers(1, 3)))]
    calls = []
    for name in names:
        options = {}
        if draw(st.booleans()):
            options["max_gap"] = draw(st.sampled_from([1.0, 2.0, 0.0]))
            if len(names) > 1 and draw(st.booleans()):
                options["timeout_to"] = draw(st.sampled_from([n for n in names if n != name]))
        if draw(st.booleans()):
            options["drop_unclosed"] = False
        if draw(st.integers(0, 3)) == 0:
            options["min_events"] = 2
        if draw(st.integers(0, 3)) == 0:
            options["require"] = [draw(TRIGGERS)]
        calls.append(add_state(name, **options))
    rules = [add_entry(draw(st.sampled_from(names)), draw(TRIGGERS),
                       anchor=draw(st.sampled_from(["end", "start"])))
             for _ in range(draw(st.integers(1, 3)))]
    rules += [add_exit(draw(st.sampled_from(names)), draw(TRIGGERS),
                       inclusive=draw(st.booleans()))
              for _ in range(draw(st.integers(0, 2)))]
    data = machine(*calls, *draw(st.permutations(rules)))
    try:
        declare(data)
    except ValueError:
        # Timeouts that form a cycle are refused when a spec is made: drop them.
        data = machine(*[(method, {k: v for k, v in args.items() if k != "timeout_to"})
                         for method, args in data["calls"]])
    return data


@st.composite
def state_spans(draw):
    data = draw(machines())
    names = [args["name"] for method, args in data["calls"] if method == "add_state"]
    return model.StateSpan(data, draw(st.sampled_from(names)), draw(st.booleans()))


SPAN_REFS = st.one_of(
    st.tuples(st.sampled_from(REF_TOKENS), st.sampled_from(REF_TOKENS)),
    patterns(),
    state_spans(),
)


@st.composite
def specs(draw, name):
    kind = draw(st.sampled_from(list(model.DTYPES)))
    if kind in ("future_occurrence", "past_occurrence"):
        return getattr(model, kind)(name, draw(TOKEN_REFS), draw(WINDOWS), draw(PARTIAL))
    if kind == "before_event":
        return model.before_event(name, draw(TOKEN_REFS), draw(TOKEN_REFS), draw(st.booleans()))
    if kind == "in_span":
        return model.in_span(name, draw(TOKEN_REFS), draw(SPAN_REFS))
    if kind == "window_aggregate":
        return model.window_aggregate(name, draw(TOKEN_REFS), draw(WINDOWS), draw(AGGS),
                                      draw(st.booleans()), draw(PARTIAL))
    if kind == "span_aggregate":
        return model.span_aggregate(name, draw(TOKEN_REFS), draw(SPAN_REFS), draw(AGGS))
    if kind in ("future_span_occurrence", "past_span_occurrence"):
        return getattr(model, kind)(name, draw(SPAN_REFS), draw(WINDOWS), draw(PARTIAL))
    return model.state_label(name, draw(machines()),
                             draw(st.sampled_from([0, 7])), draw(st.sampled_from([-1, -5])))


@st.composite
def spec_lists(draw):
    """One to four specs; names repeat now and then (the later column wins)."""
    n = draw(st.integers(1, 4))
    names = [draw(st.sampled_from(["s0", f"s{i}"])) for i in range(n)]
    return [draw(specs(name)) for name in names]


# ---------------------------------------------------------------- properties


def runs_a_machine(spec):
    return spec["kind"] == "state_label" or isinstance(spec.get("span"), model.StateSpan)


@given(spec_lists(), st.data())
def test_annotate_stream_matches_model(spec_list, data):
    # A machine finds where an expired instance ends by a binary search over
    # times taken as non-decreasing, so NaN times are left to specs without one.
    nan_times = not any(runs_a_machine(spec) for spec in spec_list)
    stream_list = data.draw(st.lists(streams(nan_times), min_size=1, max_size=3))
    for tokens, times, values in stream_list:
        want = model.annotate(spec_list, tokens, times, values)
        got = zuldcore_annotate(spec_list, tokens, times, values)
        assert_same_columns(got, want, spec_list, values)


ONE_TOKEN_WINDOWS = st.one_of(
    st.builds(model.window_aggregate, st.just("w"), st.just("k"), WINDOWS, AGGS, st.booleans(),
              PARTIAL),
    st.builds(model.future_occurrence, st.just("w"), st.just("k"), WINDOWS, PARTIAL),
    st.builds(model.past_occurrence, st.just("w"), st.just("k"), WINDOWS, PARTIAL),
    st.builds(model.future_span_occurrence, st.just("w"), st.just(("k", "z")), WINDOWS, PARTIAL),
    st.builds(model.past_span_occurrence, st.just("w"), st.just(("k", "z")), WINDOWS, PARTIAL),
)


@given(ONE_TOKEN_WINDOWS, streams())
def test_windows_of_one_token_match_model(spec, stream):
    # The plainest windows: every point is one position of k (or a span from
    # a k to the next z), and most positions see several of them.
    tokens, times, values = stream
    tokens = ["k" if t in "abc" else "z" for t in tokens]
    assert_same_columns(zuldcore_annotate([spec], tokens, times, values),
                        model.annotate([spec], tokens, times, values), [spec], values)


@given(st.lists(st.sampled_from([1e16, -1e16, 1.0, 3.0, 0.5, -7.0]), min_size=1, max_size=25),
       st.sampled_from([1.0, 2.0, 4.0, 100.0]), st.booleans())
def test_sliding_means_do_not_lose_cancelled_terms(values, window_t, forward):
    # Big values entering and leaving a sliding window: a running sum keeps the
    # rounding error of every big term it has seen. Held exactly to the model.
    tokens = ["k"] * len(values)
    times = list(range(len(values)))
    spec = [model.window_aggregate("m", "k", window_t, "mean", forward, True)]
    got = zuldcore_annotate(spec, tokens, times, values)["m"]
    assert np.array_equal(got, model.annotate(spec, tokens, times, values)["m"], equal_nan=True)


SHARED_WINDOWS = st.sampled_from([1.0, 2.0, 3.0, INF])
# Values some of which no 128-bit prefix sum holds exactly together (1e300
# beside 1e-300): the means then slide an exact sum instead.
WIDE_VALUES = st.sampled_from([NAN, 1.0, -2.5, 1e300, -1e300, 1e-300, 5e-324, 3.0, INF])


@given(st.lists(st.tuples(AGGS, SHARED_WINDOWS, st.booleans()), min_size=2, max_size=6),
       streams(), st.data())
def test_aggregates_sharing_points_and_windows_match_model(windows, stream, data):
    # Aggregates of one code over the same window are swept together; the
    # list is held to the model column by column, as each spec alone is.
    tokens, times, values = stream
    tokens = ["k" if t in "abc" else "z" for t in tokens]
    if values is not None and data.draw(st.booleans()):
        values = data.draw(st.lists(WIDE_VALUES, min_size=len(tokens), max_size=len(tokens)))
    spec_list = [model.window_aggregate(f"w{i}", "k", w, agg, forward, True)
                 for i, (agg, w, forward) in enumerate(windows)]
    spec_list.append(model.past_occurrence("p", "k", windows[0][1], True))
    assert_same_columns(zuldcore_annotate(spec_list, tokens, times, values),
                        model.annotate(spec_list, tokens, times, values), spec_list, values)
