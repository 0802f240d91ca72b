"""AnnotationSpec and annotate_stream where a model cannot speak: signatures,
docstrings, reprs, messages in their conversion order, dtypes, key order,
snapshots, borrows, reference counts and hostile input; plus the documented
edge cases of each kind and the exactness of means against math.fsum."""

import inspect
import math
import random
import textwrap
import threading

import numpy as np
import pytest

import zuldcore

from helpers import Floaty, interrupt_child, refcounts
from zuldcore import AnnotationSpec as A
from zuldcore import Pattern, StateMachine

NAN = float("nan")
INF = float("inf")
SPAN_TYPE = "Expected Pattern or (str, str) tuple for span argument"
REF_TYPE = (
    "Expected str (single token), list[str] (token set), list[list[str]] (same-timestamp sequences), "
    "or Pattern"
)
CONSTRUCTORS = [
    "future_occurrence",
    "past_occurrence",
    "before_event",
    "in_span",
    "future_span_occurrence",
    "past_span_occurrence",
    "window_aggregate",
    "span_aggregate",
    "state_label",
]


def machine():
    """State s from a to b (at least two events), and t entered by c."""
    m = StateMachine()
    m.add_state("s", min_events=2)
    m.add_entry("s", "a")
    m.add_exit("s", "b")
    m.add_state("t")
    m.add_entry("t", "c")
    return m


def pattern(*tokens):
    p = Pattern()
    for t in tokens:
        p.add_event(t)
    return p


def one_of_each():
    """A spec of every kind, in tag order, with the dtype of its column."""
    m = machine()
    near = Pattern()
    near.add_event("a")
    near.add_event("b", max_dt=2.0)
    return [
        (A.future_occurrence("fo", "x", 1.0), np.int8),
        (A.past_occurrence("po", ["x", "y"], 1.0), np.int8),
        (A.before_event("be", "x", "y"), np.int8),
        (A.in_span("is", "x", ("a", "b")), np.int8),
        (A.window_aggregate("wa", "k", 2.0, "max"), np.float64),
        (A.span_aggregate("sa", "k", m.span("s", valid_only=False), "count"), np.float64),
        (A.future_span_occurrence("fs", near, 1.0), np.int8),
        (A.past_span_occurrence("ps", ("a", "b"), 1.0, partial_window=True), np.int8),
        (A.state_label("sl", m), np.int32),
    ]


def annotate(tokens, specs, times=None, values=None):
    times = list(range(len(tokens))) if times is None else times
    return zuldcore.annotate_stream(tokens, times, specs, values)


def column(spec, tokens, times=None, values=None):
    d = annotate(tokens, [spec], times, values)
    assert len(d) == 1
    return next(iter(d.values())).tolist()


# ---------------------------------------------------------------- the class


class TestSurface:
    def test_the_nine_constructors_in_order_and_nothing_else(self):
        assert [k for k in vars(A) if not k.startswith("_")] == CONSTRUCTORS
        assert [k for k in dir(A) if not k.startswith("_")] == sorted(CONSTRUCTORS)

    @pytest.mark.parametrize(
        "name, signature",
        [
            ("future_occurrence", "(name, x, window_t, partial_window=False)"),
            ("past_occurrence", "(name, x, window_t, partial_window=False)"),
            ("before_event", "(name, x, y, reset=True)"),
            ("in_span", "(name, x, span)"),
            ("future_span_occurrence", "(name, span, window_t, partial_window=False)"),
            ("past_span_occurrence", "(name, span, window_t, partial_window=False)"),
            ("window_aggregate", "(name, k, window_t, agg='mean', forward=True, partial_window=False)"),
            ("span_aggregate", "(name, k, span, agg='mean')"),
            ("state_label", "(name, machine, default_state=0, invalid_label=Ellipsis)"),
        ],
    )
    def test_signatures(self, name, signature):
        assert str(inspect.signature(getattr(A, name))) == signature

    def test_annotate_stream_has_only_its_signature(self):
        assert str(inspect.signature(zuldcore.annotate_stream)) == "(tokens, times, specs, values=None)"
        assert not zuldcore.annotate_stream.__doc__

    @pytest.mark.parametrize(
        "name, first",
        [
            ("future_occurrence", "For each position i, label whether X fires within [time[i], time[i]+window_t]."),
            ("past_occurrence", "For each position i, label whether X fired within [time[i]-window_t, time[i]]."),
            ("before_event", "Label each Y-delimited epoch by whether X occurs anywhere inside it."),
            ("in_span", "For each position i, label whether it is in a span that also contains X."),
            (
                "future_span_occurrence",
                "For each position i, label whether a span event occurs within [time[i], time[i]+window_t].",
            ),
            (
                "past_span_occurrence",
                "For each position i, label whether a span event occurred within [time[i]-window_t, time[i]].",
            ),
            ("window_aggregate", "For each position i, compute agg over the values of K in a time window."),
            (
                "span_aggregate",
                "For each span, aggregate the values of K inside it and write that single scalar to every "
                "position in the span.",
            ),
            ("state_label", "Label every position with the state a StateMachine was in at that point."),
        ],
    )
    def test_docstrings_start_with_their_sentence_and_give_the_column(self, name, first):
        doc = getattr(A, name).__doc__
        assert doc.splitlines()[0] == first
        dtype = {"window_aggregate": "float64", "span_aggregate": "float64", "state_label": "int32"}
        assert f"Column: {dtype.get(name, 'int8')}" in doc

    @pytest.mark.parametrize("name", ["window_aggregate", "span_aggregate"])
    def test_aggregate_docstrings_name_k_and_agg(self, name):
        doc = " ".join(getattr(A, name).__doc__.split())
        assert "k may be str | list[str] | list[list[str]] | Pattern" in doc
        assert 'agg is one of "min", "max", "mean", "count"' in doc

    @pytest.mark.parametrize("name", ["in_span", "past_span_occurrence", "future_span_occurrence", "span_aggregate"])
    def test_span_docstrings_describe_span(self, name):
        doc = " ".join(getattr(A, name).__doc__.split())
        assert "span is a Pattern" in doc and "(start_token, end_token) string tuple" in doc
        assert ("StateMachine.span(name)" in doc) == (name == "span_aggregate")

    @pytest.mark.parametrize(
        "name, text",
        [
            ("x", 'AnnotationSpec(name="x")'),
            ("", 'AnnotationSpec(name="")'),
            ('a"b\\c', 'AnnotationSpec(name="a\\"b\\\\c")'),
            ("tab\tnl\n\x01", 'AnnotationSpec(name="tab\\tnl\\n\\u{1}")'),
            ("é∑", 'AnnotationSpec(name="é∑")'),
        ],
    )
    def test_repr(self, name, text):
        assert repr(A.in_span(name, "a", ("b", "c"))) == text

    def test_no_attributes_and_no_subclass(self):
        spec = A.future_occurrence("f", "x", 1.0)
        with pytest.raises(AttributeError):
            spec.name = "g"
        assert not hasattr(spec, "__dict__")
        with pytest.raises(TypeError):
            type("Sub", (A,), {})
        with pytest.raises(TypeError, match="^No constructor defined$"):
            A.__new__(A)


# ---------------------------------------------------------------- constructor arguments


class TestConstructorArguments:
    @pytest.mark.parametrize(
        "call, error, message",
        [
            # future/past_occurrence: name, window_t, partial_window, x
            (lambda: A.future_occurrence(1, 2, "w", 0), TypeError, "argument 'name': expected str, got 'int'"),
            (lambda: A.past_occurrence("n", 2, "w", 0), TypeError, "argument 'window_t': must be real number, not str"),
            (lambda: A.future_occurrence("n", 2, 1.0, 0), TypeError, "argument 'partial_window': expected bool, got 'int'"),
            (lambda: A.past_occurrence("n", 2, 1.0), TypeError, REF_TYPE),
            (lambda: A.past_occurrence("n", [], 1.0), ValueError, "Token reference list must not be empty"),
            # before_event: name, reset, x, y
            (lambda: A.before_event(None, 1, 2, reset=1), TypeError, "argument 'name': expected str, got 'NoneType'"),
            (lambda: A.before_event("n", 1, 2, reset=1), TypeError, "argument 'reset': expected bool, got 'int'"),
            (lambda: A.before_event("n", 1, 2), TypeError, REF_TYPE),
            (lambda: A.before_event("n", "a", [[]]), ValueError, "Token sequences must not be empty"),
            # in_span: name, span, x
            (lambda: A.in_span("i", 3, 4), TypeError, SPAN_TYPE),
            (lambda: A.in_span("i", 3, ("a", "b")), TypeError, REF_TYPE),
            # future/past_span_occurrence: name, window_t, partial_window, span
            (lambda: A.future_span_occurrence("n", 3, "w", 1), TypeError, "argument 'window_t': must be real number, not str"),
            (lambda: A.past_span_occurrence("n", 3, 1.0, 1), TypeError, "argument 'partial_window': expected bool, got 'int'"),
            (lambda: A.past_span_occurrence("n", ["a", "b"], 1.0), TypeError, SPAN_TYPE),
            # window_aggregate: name, window_t, agg, forward, partial_window, k, then agg's name
            (lambda: A.window_aggregate("n", 3, "w", 1, 1, 1), TypeError, "argument 'window_t': must be real number, not str"),
            (lambda: A.window_aggregate("n", 3, 1.0, 1, 1, 1), TypeError, "argument 'agg': expected str, got 'int'"),
            (lambda: A.window_aggregate("n", 3, 1.0, "bad", 1, 1), TypeError, "argument 'forward': expected bool, got 'int'"),
            (lambda: A.window_aggregate("n", 3, 1.0, "bad", True, 1), TypeError, "argument 'partial_window': expected bool, got 'int'"),
            (lambda: A.window_aggregate("n", 3, 1.0, "bad"), TypeError, REF_TYPE),
            (lambda: A.window_aggregate("w", "a", 5.0, agg="MEAN"), ValueError,
             "Unknown aggregation 'MEAN'. Choose: min, max, mean, count"),
            # span_aggregate: name, agg, span, k, then agg's name
            (lambda: A.span_aggregate("n", 3, 4, agg=1), TypeError, "argument 'agg': expected str, got 'int'"),
            (lambda: A.span_aggregate("n", 3, 4, "bad"), TypeError, SPAN_TYPE),
            (lambda: A.span_aggregate("s", "a", ["x", "y"]), TypeError, SPAN_TYPE),
            (lambda: A.span_aggregate("n", 3, ("a", "b"), "bad"), TypeError, REF_TYPE),
            (lambda: A.span_aggregate("n", "a", ("a", "b"), "Mean"), ValueError,
             "Unknown aggregation 'Mean'. Choose: min, max, mean, count"),
            # state_label: name, machine, default_state, invalid_label, then the snapshot
            (lambda: A.state_label(b"n", "m", "x", "y"), TypeError, "argument 'name': expected str, got 'bytes'"),
            (lambda: A.state_label("n", "m", "x", "y"), TypeError, "argument 'machine': expected StateMachine, got 'str'"),
            (lambda: A.state_label("n", StateMachine(), 2**31, "y"), OverflowError,
             "argument 'default_state': out of range for a signed 32-bit integer"),
            (lambda: A.state_label("n", StateMachine(), 0, -(2**31) - 1), OverflowError,
             "argument 'invalid_label': out of range for a signed 32-bit integer"),
            (lambda: A.state_label("n", StateMachine(), 0, 2**64), OverflowError,
             "argument 'invalid_label': out of range for a signed 32-bit integer"),
        ],
    )
    def test_first_bad_argument_in_conversion_order_is_reported(self, call, error, message):
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message
        assert type(info.value) is error

    def test_non_integer_labels_are_type_errors(self):
        with pytest.raises(TypeError, match="^argument 'default_state': 'float' object cannot be interpreted"):
            A.state_label("n", StateMachine(), 1.0)
        with pytest.raises(TypeError, match="^argument 'invalid_label': 'str' object cannot be interpreted"):
            A.state_label("n", StateMachine(), 0, "x")

    def test_state_label_snapshot_fails_after_the_integers(self):
        m = StateMachine()
        m.add_state("a", max_gap=1.0, timeout_to="zz")
        message = "State 'a' has timeout_to='zz', which is not a declared state. Declared: [\"out\", \"a\"]"
        with pytest.raises(ValueError) as info:
            A.state_label("n", m, 0, -1)
        assert str(info.value) == message
        with pytest.raises(OverflowError):
            A.state_label("n", m, 2**40)

    def test_accepted_forms(self):
        class Name(str):
            pass

        class Pair(tuple):
            pass

        m = machine()
        specs = [
            A.future_occurrence(Name("a"), ("x", "y"), 3, np.True_),
            A.past_occurrence("b", [["x", "y"]], np.float32(2.5), partial_window=np.False_),
            A.in_span("c", pattern("x"), Pair(("a", "b"))),
            A.in_span("d", "x", m.span("s")),
            A.in_span("e", "x", pattern("a", "b")),
            A.state_label("f", m, np.int64(-(2**31)), 2**31 - 1),
            A.state_label("g", m, True),
        ]
        assert [repr(s) for s in specs] == [f'AnnotationSpec(name="{n}")' for n in "abcdefg"]

    @pytest.mark.parametrize("bad", [("a",), ("a", "b", "c"), ("a", 1), (1, "a"), ["a", "b"], "ab", None, {"a": "b"}])
    def test_span_forms_refused(self, bad):
        with pytest.raises(TypeError) as info:
            A.in_span("i", "x", bad)
        assert str(info.value) == SPAN_TYPE

    def test_window_t_float_protocol(self):
        class Raising:
            def __float__(self):
                raise TypeError("float boom")

        class Other:
            def __float__(self):
                raise ZeroDivisionError("other boom")

        with pytest.raises(TypeError, match="^argument 'window_t': float boom$") as info:
            A.future_occurrence("f", "x", Raising())
        assert str(info.value.__cause__) == "float boom"
        with pytest.raises(ZeroDivisionError, match="other boom"):
            A.window_aggregate("f", "x", Other())

    def test_integer_window_is_the_float_window(self):
        tokens, times = ["x", "a", "x", "a"], [0.0, 1.5, 3.0, 4.0]
        for make in (A.future_occurrence, A.past_occurrence):
            assert column(make("f", "x", 3), tokens, times) == column(make("f", "x", 3.0), tokens, times)

    def test_pattern_is_copied_when_the_spec_is_made(self):
        p = pattern("a")
        spec = A.future_occurrence("f", p, 0.0, partial_window=True)
        span_spec = A.in_span("i", "x", p)
        p.add_event("b")
        tokens = ["a", "x", "c"]
        assert column(spec, tokens) == [1, 0, 0]
        assert column(span_spec, tokens) == [0, -1, -1]  # the one-event span at 0 holds no x
        assert column(A.future_occurrence("f", p, 0.0, partial_window=True), tokens) == [0, 0, 0]

    def test_state_label_keeps_its_snapshot(self):
        m = StateMachine()
        m.add_state("a")
        m.add_entry("a", "x")
        m.add_exit("a", "z")
        spec = A.state_label("s", m)
        span_spec = A.span_aggregate("c", "x", m.span("a"), "count")
        m.add_state("b")
        m.add_entry("b", "y")
        m.add_exit("b", "z")
        tokens = ["x", "z", "y", "z"]
        assert column(spec, tokens) == [1, 1, 0, 0]
        assert np.array_equal(column(span_spec, tokens), [1.0, 1.0, NAN, NAN], equal_nan=True)
        assert column(A.state_label("s", m), tokens) == [1, 1, 2, 2]
        del m
        assert column(spec, tokens) == [1, 1, 0, 0]

    def test_pattern_under_construction_cannot_be_read(self):
        p = Pattern()

        class Sneaky:
            def __float__(self):
                A.future_occurrence("f", p, 1.0)
                return 0.0

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            p.add_event("a", min_dt=Sneaky())
        assert repr(p).startswith("Pattern(n_elements=0,")

    def test_oversized_pattern_fails_when_evaluated(self):
        big = pattern(*["a"] * 65)
        specs = [A.future_occurrence("f", big, 1.0), A.in_span("i", "x", big), A.span_aggregate("s", big, ("a", "b"))]
        for spec in specs:
            with pytest.raises(ValueError) as info:
                annotate(["a"], [spec])
            assert str(info.value) == "Pattern has 65 elements; maximum is 64"


# ---------------------------------------------------------------- annotate_stream


class TestAnnotateStream:
    @pytest.mark.parametrize("n", [0, 1, 7])
    def test_every_kind_gives_its_dtype_and_length(self, n):
        specs = one_of_each()
        tokens = ["a", "x", "k", "b", "y", "c", "k"][:n]
        d = annotate(tokens, [s for s, _ in specs], values=[float(i) for i in range(n)])
        assert list(d) == ["fo", "po", "be", "is", "wa", "sa", "fs", "ps", "sl"]
        for (_, dtype), col in zip(specs, d.values()):
            assert type(col) is np.ndarray and col.dtype == dtype and col.shape == (n,)
            assert col.flags.c_contiguous and col.flags.writeable

    def test_same_name_later_column_wins_at_the_first_position(self):
        tokens = ["x", "a", "a"]
        d = annotate(tokens, [
            A.future_occurrence("v", "x", 0.0),
            A.in_span("w", "x", ("x", "a")),
            A.window_aggregate("v", "x", 5.0, "count", partial_window=True),
        ])
        assert list(d) == ["v", "w"]
        assert d["v"].dtype == np.float64 and d["v"].tolist()[0] == 1.0

    def test_keys_are_the_names_exactly(self):
        names = ["", "a\0b", "é∑", "x" * 1000]
        d = annotate(["a"], [A.future_occurrence(n, "a", 0.0) for n in names])
        assert list(d) == names

    def test_first_failing_spec_raises_and_nothing_is_returned(self):
        big = pattern(*["a"] * 65)
        many = StateMachine()
        many.add_state("s")
        for i in range(65):
            many.add_entry("s", f"t{i}")
        with pytest.raises(ValueError) as info:
            annotate(["a"], [A.future_occurrence("ok", "a", 0.0), A.past_occurrence("bad", big, 1.0),
                             A.state_label("bad2", many)])
        assert str(info.value) == "Pattern has 65 elements; maximum is 64"
        with pytest.raises(ValueError) as info:
            annotate(["a"], [A.state_label("bad2", many), A.past_occurrence("bad", big, 1.0)])
        assert str(info.value) == "Too many distinct triggers: 65 (maximum 64)"
        # A failing spec fails even when a later one has its name.
        with pytest.raises(ValueError):
            annotate(["a"], [A.past_occurrence("v", big, 1.0), A.future_occurrence("v", "a", 0.0)])

    def test_length_check_comes_before_any_evaluation(self):
        big = pattern(*["a"] * 65)
        with pytest.raises(ValueError, match="^times has length 1 but tokens has length 2$"):
            zuldcore.annotate_stream(["a", "b"], [0.0], [A.future_occurrence("f", big, 1.0)])

    @pytest.mark.parametrize(
        "specs, message",
        [
            ("ab", "argument 'specs': Can't extract `str` to `Vec`"),
            ((s for s in []), "argument 'specs': expected a sequence, got 'generator'"),
            ({A.future_occurrence("f", "a", 1.0)}, "argument 'specs': expected a sequence, got 'set'"),
            ([A.future_occurrence("f", "a", 1.0), Pattern()], "argument 'specs': expected AnnotationSpec, got 'zuldcore.Pattern'"),
            ([None], "argument 'specs': expected AnnotationSpec, got 'NoneType'"),
        ],
    )
    def test_specs_refused(self, specs, message):
        with pytest.raises(TypeError) as info:
            zuldcore.annotate_stream(["a"], [0.0], specs)
        assert str(info.value) == message

    def test_specs_are_converted_before_values(self):
        with pytest.raises(TypeError, match="^argument 'specs'"):
            zuldcore.annotate_stream(["a"], [0.0], [1], ["x"])

    def test_sequence_forms_and_repeated_specs(self):
        spec = A.past_occurrence("p", "a", 1.0, partial_window=True)
        as_list = annotate(["a", "b"], [spec, spec])
        as_tuple = annotate(["a", "b"], (spec,))
        as_array = annotate(["a", "b"], np.array([spec, spec], dtype=object))
        assert as_list["p"].tolist() == as_tuple["p"].tolist() == as_array["p"].tolist() == [1, 1]

    def test_specs_held_while_a_callback_empties_the_list(self):
        specs = [A.future_occurrence("f", "x", 0.0), A.in_span("i", "x", ("a", "b"))]

        class Evil:
            def __float__(self):
                specs.clear()
                return 1.0

        d = zuldcore.annotate_stream(["a", "x", "b"], [0.0, 1.0, 2.0], specs, [Evil(), 2.0, 3.0])
        assert specs == [] and d["f"].tolist() == [0, 1, 0] and d["i"].tolist() == [1, 1, 1]

    def test_concurrent_calls_agree(self):
        rng = random.Random(5)
        tokens = [rng.choice("abckxy") for _ in range(20000)]
        times = sorted(rng.random() * 1000 for _ in tokens)
        values = [rng.random() for _ in tokens]
        specs = [s for s, _ in one_of_each()]
        expected = zuldcore.annotate_stream(tokens, times, specs, values)
        results = [None] * 4

        def run(i):
            results[i] = zuldcore.annotate_stream(tokens, times, specs, values)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for r in results:
            assert list(r) == list(expected)
            for k in expected:
                np.testing.assert_array_equal(r[k], expected[k])


def test_a_long_call_stops_on_ctrl_c():
    # Thousands of aggregates over a long stream: seconds of evaluation,
    # all of it without the interpreter lock.
    code = textwrap.dedent(
        """
        import time, numpy as np, zuldcore
        A = zuldcore.AnnotationSpec
        n = 200_000
        tokens = ["k", "a"] * (n // 2)
        times = np.arange(n, dtype=np.float64)
        specs = [A.window_aggregate(f"w{i}", "k", float(i), "mean") for i in range(20_000)]
        try:  # a signal that comes before the call still lands in this block
            t0 = time.perf_counter()
            print("ready", flush=True)
            zuldcore.annotate_stream(tokens, times, specs, times)
            print("finished", flush=True)
        except KeyboardInterrupt:
            print(f"interrupted {time.perf_counter() - t0:.3f}", flush=True)
        """
    )
    line, waited = interrupt_child(code)
    assert line.startswith("interrupted"), line
    assert waited < 10


# ---------------------------------------------------------------- hostile streams


HOSTILE_STREAMS = [
    # unsorted times
    (["a", "x", "k", "b", "x", "b", "a"], [5.0, 1.0, 9.0, -3.0, 2.0, 2.0, 0.0]),
    # NaN and infinite times
    (["x", "a", "k", "x", "b", "c"], [NAN, 0.0, INF, -INF, NAN, 1.0]),
    (["k", "k", "x"], [NAN, NAN, NAN]),
    # equal times everywhere
    (["a", "k", "x", "b", "a", "y"], [1.0] * 6),
    (["x"], [0.0]),
    ([], []),
]


@pytest.mark.parametrize("tokens, times", HOSTILE_STREAMS)
@pytest.mark.parametrize("window_t", [0.0, 1.0, -1.0, NAN, INF, -INF, 1e308])
@pytest.mark.parametrize("partial", [False, True])
def test_hostile_streams_and_windows_give_whole_columns(tokens, times, window_t, partial):
    m = machine()
    specs = []
    for agg in ("min", "max", "mean", "count"):
        for forward in (True, False):
            specs.append(A.window_aggregate(f"w{agg}{forward}", "k", window_t, agg, forward, partial))
        specs.append(A.span_aggregate(f"s{agg}", "k", ("a", "b"), agg))
        specs.append(A.span_aggregate(f"m{agg}", ["k", "x"], m.span("s", valid_only=False), agg))
    specs += [
        A.future_occurrence("fo", "x", window_t, partial),
        A.past_occurrence("po", "x", window_t, partial),
        A.future_span_occurrence("fs", ("a", "b"), window_t, partial),
        A.past_span_occurrence("ps", pattern("x"), window_t, partial),
        A.before_event("be", "x", "b"),
        A.before_event("bf", "x", "b", reset=False),
        A.in_span("is", "x", ("a", "b")),
        A.state_label("sl", m),
    ]
    values = [v for v, _ in zip([1.0, NAN, -INF, 1e308, 1e308, 0.5, INF], tokens)]
    for vals in (None, values):
        d = zuldcore.annotate_stream(tokens, times, specs, vals)
        assert len(d) == len(specs)
        assert all(col.shape == (len(tokens),) for col in d.values())
        for name in ("fo", "po", "fs", "ps", "be", "bf", "is"):
            assert set(d[name].tolist()) <= {-1, 0, 1, 2}


# ---------------------------------------------------------------- documented edge cases


class TestEdgeCases:
    @pytest.mark.parametrize(
        "spec, tokens, times, values, expected",
        [
            (A.before_event("b", "x", "y"), "yxyx", None, None, [0, 1, 1, 1]),
            (A.before_event("b", "x", "y"), "xyx", None, None, [1, 1, 1]),
            (A.before_event("b", "x", "y"), "yy", None, None, [0, 0]),
            (A.before_event("b", "x", "y"), "xx", None, None, [1, 1]),
            (A.before_event("b", "x", "y"), "yaa", None, None, [0, -1, -1]),
            (A.before_event("b", "x", "y"), "aa", None, None, [-1, -1]),
            (A.before_event("b", "x", "y", reset=False), "aaxaay", None, None, [1] * 6),
            (A.before_event("b", "x", "y", reset=False), "aaayax", None, None, [0] * 6),
            (A.before_event("b", "x", "y", reset=False), "aya", None, None, [0] * 3),
            (A.before_event("b", "x", "y", reset=False), "aa", None, None, [-1] * 2),
            (A.before_event("b", "a", ["a", "b"], reset=False), "ab", None, None, [1, 1]),
            (A.in_span("i", "x", ("a", "b")), "axbc", None, None, [1, 1, 1, -1]),
            (A.in_span("i", "x", ("a", "b")), "acb", None, None, [0, 0, 0]),
            (A.in_span("i", "x", ("a", "b")), "aaxbab", None, None, [1, 1, 1, 1, 0, 0]),
            (A.future_occurrence("f", "x", 0.0), "ax", [0.0, 1.0], None, [0, 1]),
            (A.past_occurrence("p", "x", 10.0), "xaaaa", [0, 5, 10, 15, 20], None, [-1, -1, 1, 0, 0]),
            (A.past_occurrence("p", "x", 10.0, True), "xaaaa", [0, 5, 10, 15, 20], None, [1, 1, 1, 0, 0]),
            (A.window_aggregate("w", "k", 1.0, "count", partial_window=True), "akbc", [0, 5, 10, 15], None,
             [NAN, 1.0, NAN, NAN]),
            (A.window_aggregate("w", "z", 99.0, "count", partial_window=True), "akb", None, None, [NAN] * 3),
            (A.span_aggregate("s", "z", ("a", "b"), "count"), "akbc", None, None, [0.0, 0.0, 0.0, NAN]),
            (A.span_aggregate("s", "k", ("a", "b"), "max"), "cakkkbc", None, [9, 9, 3, NAN, 5, 9, 9],
             [NAN, 5, 5, 5, 5, 5, NAN]),
        ],
    )
    def test_documented_cases(self, spec, tokens, times, values, expected):
        assert np.array_equal(column(spec, list(tokens), times, values), expected, equal_nan=True)

    @pytest.mark.parametrize("seed", range(6))
    def test_state_kinds_follow_the_machine_run(self, seed):
        # The columns derived from the instances that state_spans reports:
        # invalid instances first, then valid ones, later ones winning.
        rng = random.Random(seed)
        tokens = [rng.choice("abcxk") for _ in range(rng.randrange(1, 40))]
        times = list(range(len(tokens)))
        m = machine()
        rows = zuldcore.state_spans(tokens, times, m)
        n = len(tokens)
        expected = [7] * n
        spans_all = []
        for want_valid in (0, 1):
            for i in range(len(rows["state"])):
                start, end = int(rows["start_pos"][i]), int(rows["end_pos"][i])
                if rows["valid"][i] != want_valid or end < start:
                    continue
                for j in range(start, min(end, n - 1) + 1):
                    expected[j] = int(rows["state"][i]) if want_valid else -5
        for i in range(len(rows["state"])):
            if rows["state"][i] == 1 and rows["end_pos"][i] >= rows["start_pos"][i]:
                spans_all.append((int(rows["start_pos"][i]), int(rows["end_pos"][i])))
        covered = [-1] * n
        for s, e in spans_all:
            for j in range(s, min(e, n - 1) + 1):
                covered[j] = max(covered[j], 1 if "x" in tokens[s:e + 1] else 0)
        d = annotate(tokens, [A.state_label("l", m, 7, -5), A.in_span("i", "x", m.span("s", valid_only=False))])
        assert d["l"].tolist() == expected
        assert d["i"].tolist() == covered


# ---------------------------------------------------------------- exact means


def fsum_window_mean(tokens, times, values, k, w, forward):
    n = len(tokens)
    out = []
    for i in range(n):
        lo, hi = (times[i], times[i] + w) if forward else (times[i] - w, times[i])
        vals = [values[j] for j in range(n) if tokens[j] == k and lo <= times[j] <= hi]
        vals = [v for v in vals if not math.isnan(v)]
        out.append(math.fsum(vals) / len(vals) if vals else NAN)
    return out


@pytest.mark.parametrize("seed", range(8))
def test_window_and_span_means_equal_fsum(seed):
    # 1e16, 1, -1e16 in one window: a running sum loses the 1 for good.
    rng = random.Random(seed)
    pool = [1e16, -1e16, 1.0, 0.1, -0.3, 1e-300, 3e300, -3e300, 2.0**-1074, NAN, 7.25]
    n = rng.randrange(1, 200)
    tokens = [rng.choice("kkkc") for _ in range(n)]
    times = [float(t) for t in np.cumsum([rng.choice([0.0, 0.5, 1.0, 2.0]) for _ in range(n)])]
    values = [rng.choice(pool) for _ in range(n)]
    for w in (0.0, 1.0, 3.5, 50.0):
        for forward in (True, False):
            got = column(A.window_aggregate("m", "k", w, "mean", forward, True), tokens, times, values)
            assert np.array_equal(got, fsum_window_mean(tokens, times, values, "k", w, forward), equal_nan=True)
    got = column(A.span_aggregate("s", "k", ("a", "b"), "mean"), ["a", *tokens, "b"], values=[0.0, *values, 0.0])
    vals = [v for tok, v in zip(tokens, values) if tok == "k" and not math.isnan(v)]
    assert np.array_equal(got, [math.fsum(vals) / len(vals) if vals else NAN] * (n + 2), equal_nan=True)


# ---------------------------------------------------------------- reference counts


MACHINE = machine()
BIG = pattern(*["a"] * 65)
SPECS = [s for s, _ in one_of_each()]


@pytest.mark.parametrize(
    "call",
    [
        lambda t, x, v, n, ref: zuldcore.annotate_stream(t, x, SPECS, v),
        lambda t, x, v, n, ref: zuldcore.annotate_stream(t, x[:1], SPECS, v),
        lambda t, x, v, n, ref: zuldcore.annotate_stream(t, x, SPECS + [n], v),
        lambda t, x, v, n, ref: zuldcore.annotate_stream(t, x, [A.past_occurrence(n, BIG, 1.0)], v),
        lambda t, x, v, n, ref: A.future_occurrence(n, ref, x[0]),
        lambda t, x, v, n, ref: A.future_occurrence(n, ref, n),
        lambda t, x, v, n, ref: A.in_span(n, ref, (n, n)),
        lambda t, x, v, n, ref: A.in_span(n, ref, [n, n]),
        lambda t, x, v, n, ref: A.window_aggregate(n, ref, x[0], agg=n),
        lambda t, x, v, n, ref: A.span_aggregate(n, ref, MACHINE.span("s"), "max"),
        lambda t, x, v, n, ref: A.state_label(n, MACHINE, 1, 2),
        lambda t, x, v, n, ref: A.state_label(n, MACHINE, 2**40),
        lambda t, x, v, n, ref: repr(A.before_event(n, ref, [ref], reset=v)),
    ],
)
def test_calls_keep_reference_counts(call):
    name = "refcount-name"
    ref = ["x", "refcount-token"]
    tokens = ["a", "x", "k", "b"]
    times = [Floaty(0.0), 1.0, 2.0, 3.0]
    values = [1.0, 2.0, NAN, 4.0]
    watched = [name, ref, tokens, times, times[0], values, MACHINE, BIG, *SPECS]

    def run():
        try:
            call(tokens, times, values, name, ref)
        except (TypeError, ValueError, OverflowError):
            pass

    for _ in range(20):
        run()
    before = refcounts(watched)
    for _ in range(1000):
        run()
    assert refcounts(watched) == before
