"""Stream arguments: what is accepted, what is refused and with which message,
and that a refused stream interns nothing. annotate_stream with no specs is
the entry point that exercises the shared conversion and length check."""

import re
import signal
import subprocess
import sys

import numpy as np
import pytest

import zuldcore
from zuldcore import Pattern, StateMachine, Zuldor

from helpers import fresh, Lying, next_id

try:
    import pandas as pd
except ImportError:  # a test dependency; only the tests that need it skip
    pd = None
needs_pandas = pytest.mark.skipif(pd is None, reason="pandas is not installed")


def convert(tokens, times, values=None):
    """Runs the shared conversion and check; returns the ValueError text or
    None when the stream was accepted (annotate_stream with no specs then
    returns an empty dict)."""
    try:
        result = zuldcore.annotate_stream(tokens, times, [], values)
    except ValueError as e:
        return str(e)
    assert result == {}
    return None


class TestLengths:
    @pytest.mark.parametrize(
        "n_tokens, n_times, values, message",
        [
            (3, 2, [1.0], "times has length 2 but tokens has length 3"),
            (3, 3, [], "values has length 0 but tokens has length 3"),
            (0, 1, None, "times has length 1 but tokens has length 0"),
            (2, 2, [1.0, 2.0, 3.0], "values has length 3 but tokens has length 2"),
            (3, 3, None, None),
            (3, 3, [1.0, float("nan"), 2.0], None),
            (0, 0, [], None),
            (0, 0, None, None),
        ],
    )
    def test_messages(self, n_tokens, n_times, values, message):
        assert convert(["a"] * n_tokens, [0.0] * n_times, values) == message

    def test_rejected_stream_interns_nothing(self):
        expected = next_id()
        new = [fresh(), fresh(), fresh()]
        assert convert(new, [1.0, 2.0], None) is not None
        assert convert(new, [1.0, 2.0, 3.0], [1.0]) is not None
        probe = fresh()
        assert zuldcore.vocab_ids([probe, *new]) == [expected, expected + 1, expected + 2, expected + 3]

    def test_conversion_failure_interns_nothing(self):
        expected = next_id()
        new = fresh()
        with pytest.raises(TypeError):
            zuldcore.annotate_stream([new], ["x"], [])
        assert zuldcore.vocab_ids([fresh(), new]) == [expected, expected + 1]


class TestTokens:
    @pytest.mark.parametrize(
        "tokens, detail",
        [
            ("abc", "Can't extract `str` to `Vec`"),
            ({"a", "b"}, "expected a sequence, got 'set'"),
            ((t for t in ["a"]), "expected a sequence, got 'generator'"),
            (b"ab", "expected a sequence, got 'bytes'"),
            ({"a": 1}, "expected a sequence, got 'dict'"),
            (None, "expected a sequence, got 'NoneType'"),
            (["a", 1], "expected a sequence of str, got an item of type 'int'"),
            (["a", b"b"], "expected a sequence of str, got an item of type 'bytes'"),
            (np.array([b"a", b"b"]), "expected a sequence of str, got an item of type 'numpy.bytes_'"),
            (np.array([1, 2]), "expected a sequence of str, got an item of type 'numpy.int64'"),
        ],
    )
    def test_refused_with_named_type_error(self, tokens, detail):
        with pytest.raises(TypeError) as info:
            zuldcore.annotate_stream(tokens, [0.0, 1.0], [])
        assert str(info.value) == f"argument 'tokens': {detail}"

    @pytest.mark.parametrize(
        "tokens",
        [
            ["a", "b", "a"],
            ("a", "b", "a"),
            np.array(["a", "b", "a"]),
            np.array(["a", "b", "a"], dtype=object),
            np.array(["xa", "xb", "xa"])[::1],
        ],
    )
    def test_accepted_sequences(self, tokens):
        assert convert(tokens, [1, 2, 3]) is None

    def test_items_that_cannot_be_utf8_raise_unicode_error(self):
        with pytest.raises(UnicodeEncodeError):
            zuldcore.annotate_stream(["\ud800"], [0.0], [])
        with pytest.raises(UnicodeEncodeError):
            zuldcore.annotate_stream(np.array(["\ud800"]), [0.0], [])

    def test_len_raising_propagates(self):
        class Bad:
            def __len__(self):
                raise RuntimeError("len boom")

            def __getitem__(self, i):
                return "a"

        with pytest.raises(RuntimeError, match="len boom"):
            zuldcore.annotate_stream(Bad(), [0.0], [])

    def test_getitem_raising_propagates_and_interns_nothing(self):
        new = fresh()

        class Bad:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 1:
                    raise KeyError("getitem boom")
                return new

        expected = next_id()
        with pytest.raises(KeyError, match="getitem boom"):
            zuldcore.annotate_stream(Bad(), [0.0, 1.0], [])
        assert zuldcore.vocab_ids([fresh(), new]) == [expected, expected + 1]

    def test_sequence_that_shrinks_while_read(self):
        class Shrinking:
            def __init__(self):
                self.n = 3

            def __len__(self):
                return self.n

            def __getitem__(self, i):
                self.n = 1
                if i >= self.n:
                    raise IndexError(i)
                return "a"

        with pytest.raises(IndexError):
            zuldcore.annotate_stream(Shrinking(), [0.0, 1.0, 2.0], [])


class TestTimes:
    @pytest.mark.parametrize(
        "times",
        [
            [1, 2, 3],
            [1.0, 2, np.float32(3)],
            (1.0, 2.0, 3.0),
            np.array([1.0, 2.0, 3.0]),
            np.array([1, 2, 3], dtype=np.int8),
            np.array([1, 2, 3], dtype=np.uint64),
            np.array([True, False, True]),
            np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])[::2],
            np.array([1.0, 2.0, 3.0], dtype=">f8"),
            [float("nan"), float("inf"), -1e308],
            [3.0, 1.0, 2.0],  # not sorted: not checked here
        ],
    )
    def test_accepted(self, times):
        assert convert(["a", "b", "c"], times) is None

    @pytest.mark.parametrize(
        "times, detail",
        [
            ("abc", "Can't extract `str` to `Vec`"),
            (1.0, "expected a sequence, got 'float'"),
            ([1.0, "x", 3.0], "must be real number, not str"),
            ([1.0, None, 3.0], "must be real number, not NoneType"),
            ([1.0, [2.0], 3.0], "must be real number, not list"),
            (np.array(["1", "2", "3"]), "must be real number, not numpy.str_"),
        ],
    )
    def test_refused_with_named_type_error(self, times, detail):
        with pytest.raises(TypeError) as info:
            zuldcore.annotate_stream(["a", "b", "c"], times, [])
        assert str(info.value) == f"argument 'times': {detail}"

    def test_original_type_error_is_the_cause(self):
        class Bad:
            def __float__(self):
                raise TypeError("float boom")

        with pytest.raises(TypeError, match="^argument 'times': float boom$") as info:
            zuldcore.annotate_stream(["a"], [Bad()], [])
        assert str(info.value.__cause__) == "float boom"

    def test_other_exceptions_from_float_pass_through(self):
        class Bad:
            def __float__(self):
                raise ZeroDivisionError("float boom")

        with pytest.raises(ZeroDivisionError, match="float boom"):
            zuldcore.annotate_stream(["a"], [Bad()], [])

    def test_values_named_in_errors(self):
        with pytest.raises(TypeError, match="^argument 'values': must be real number, not str$"):
            zuldcore.annotate_stream(["a"], [0.0], [], ["x"])

    def test_float_that_empties_the_list_being_read(self):
        times = []

        class Evil:
            def __float__(self):
                times.clear()
                return 1.0

        times.extend([Evil(), 2.0, 3.0])
        with pytest.raises(IndexError):
            zuldcore.annotate_stream(["a", "b", "c"], times, [])

    def test_float_that_mutates_the_tokens_list(self):
        tokens = ["a", fresh(), "c"]

        class Evil:
            def __float__(self):
                tokens.clear()
                tokens.append(1)
                return 1.0

        # The tokens were already copied: the stream is judged as it was.
        assert convert(tokens, [Evil(), 2.0, 3.0]) is None


def same_result(a, b):
    assert a.keys() == b.keys()
    for k in a:
        assert np.array_equal(np.asarray(a[k], dtype=object), np.asarray(b[k], dtype=object)), k


@needs_pandas
class TestReadByPosition:
    """A Series' own s[i] takes i as a label; every argument reads it by position."""

    @pytest.mark.parametrize("index", [[2, 1, 0], ["x", "y", "z"]], ids=["reversed", "labels"])
    def test_stream_arguments_of_every_entry_point(self, index):
        a, b, c = fresh(), fresh(), fresh()
        tokens, times, values = [a, b, c], [1.0, 2.0, 3.0], [10.0, 20.0, 30.0]
        series = [pd.Series(x, index=index) for x in (tokens, times, values)]
        assert zuldcore.vocab_ids(series[0]) == zuldcore.vocab_ids(tokens)
        p = Pattern()
        p.add_event(a)
        p.add_event(c, min_val=30.0)
        z = Zuldor(p)
        m = StateMachine()
        m.add_state("s")
        m.add_entry("s", a)
        m.add_exit("s", c)
        for args in (series, (tokens, times, values)):
            results = [z.match_stream(*args, include_tokens=True), z.match_preprocessed(z.preprocess(*args)),
                       zuldcore.state_spans(args[0], args[1], m, args[2])]
            if args is series:
                from_series = results
        for got, want in zip(from_series, results):
            same_result(got, want)
        assert convert(*series) is None

    def test_list_arguments(self):
        a, b = fresh(), fresh()
        p = Pattern()
        p.add_event_set(pd.Series([a, b], index=["x", "y"]), min_vals=pd.Series([5.0, 6.0], index=[1, 0]))
        assert Zuldor(p).match_stream([a, b], [1.0, 2.0], [5.0, 5.5])["el_stream_idx"].tolist() == [[0]]


class TestMaskedArrays:
    def test_masked_values_read_as_no_value(self):
        a = fresh()
        p = Pattern()
        p.add_event(a, require_nan_val=True)
        values = np.ma.array([1.0, 2.0, 3.0], mask=[False, True, False])
        assert Zuldor(p).match_stream([a] * 3, [1.0, 2.0, 3.0], values)["el_stream_idx"].tolist() == [[1]]
        q = Pattern()
        q.add_event_set([a, a], min_vals=np.ma.array([5.0, 2.5], mask=[True, False]))
        assert Zuldor(q).match_stream([a], [1.0], [1.0])["el_stream_idx"].tolist() == [[0]]

    @pytest.mark.parametrize("masked", ["tokens", "times", "match_tokens"])
    def test_masked_tokens_and_times_are_refused_naming_the_position(self, masked):
        new = [fresh(), fresh(), fresh()]
        arg = {"tokens": new, "times": [1.0, 2.0, 3.0]}
        arg[masked] = np.ma.array(arg.get(masked, new), mask=[False, True, True])
        expected = next_id()
        with pytest.raises(ValueError, match=rf"^{masked}\[1\] is masked$"):
            if masked == "match_tokens":
                Pattern().add_event_set(arg[masked])
            else:
                Zuldor(Pattern()).match_stream(arg["tokens"], arg["times"])
        assert zuldcore.vocab_ids([fresh(), *new]) == [expected, expected + 1, expected + 2, expected + 3]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: zuldcore.vocab_ids(range(2**62)), TypeError),
        (lambda: zuldcore.vocab_ids(Lying(["a"])), IndexError),
        (lambda: Zuldor(Pattern()).match_stream(["a"], Lying([1.0])), IndexError),
        (lambda: zuldcore.state_spans(["a"], [1.0], StateMachine(), Lying([1.0])), IndexError),
        (lambda: Pattern().add_event_set(Lying(["a"])), IndexError),
        (lambda: Pattern().add_event_set(["a"], min_vals=Lying([1.0])), IndexError),
        (lambda: StateMachine().add_state("s", require=Lying(["a"])), IndexError),
    ],
    ids=["range", "tokens", "times", "values", "match_tokens", "min_vals", "require"],
)
def test_a_reported_length_reserves_nothing(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda bad: zuldcore.vocab_ids(bad), "tokens[2]"),
        (lambda bad: zuldcore.vocab_ids(bad.astype(bad.dtype.newbyteorder())), "tokens[2]"),
        (lambda bad: Zuldor(Pattern()).match_stream(["a"], bad[2:]), "times[0]"),
        (lambda bad: Pattern().add_event_set(bad), "match_tokens[2]"),
    ],
    ids=["tokens", "swapped", "times", "match_tokens"],
)
def test_a_code_point_beyond_unicode_is_refused_by_position(call, message):
    bad = np.array([0x61, 0x62, 0x110000], np.uint32).view("U1")
    with pytest.raises(ValueError, match=rf"^{re.escape(message)} holds an invalid code point 0x110000$"):
        call(bad)


# Each form puts ten million items in one argument and one in the other, so a
# call that reads its arguments to the end fails the length check; the child
# gets SIGINT 5 ms into the call (by a timer whose handler sends it), long
# before ten million items are read, and must stop while reading them.
@pytest.mark.parametrize("argument", ["tokens", "times"])
def test_a_signal_handler_that_empties_the_list_being_read(argument):
    # Python code runs inside a long conversion only in signal handlers, where
    # Ctrl-C is checked for; a handler that empties the list being read makes
    # the call fail instead of reading freed memory.
    n = 5_000_000
    tokens, times = ["a"], [0.0]
    if argument == "tokens":
        tokens = target = [("a", "b", "c")[i % 3] for i in range(n)]
    else:
        times = target = [0.0] * n
    previous = signal.signal(signal.SIGALRM, lambda *_: target.clear())
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        with pytest.raises(IndexError, match="^list changed size during conversion$"):
            zuldcore.annotate_stream(tokens, times, [])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


CTRL_C_CHILD = """
import os, signal
import numpy as np, pyarrow as pa, zuldcore
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
n = 10_000_000
one = ["a"], [0.0]
forms = {
    "list_of_str": lambda: (["a"] * n, one[1]),
    "object_array": lambda: (np.broadcast_to(np.array(["a"], dtype=object), (n,)), one[1]),
    "str_array": lambda: (np.broadcast_to(np.array(["a"]), (n,)), one[1]),
    "arrow_strings": lambda: (pa.Array.from_buffers(pa.string(), n, [
        None, pa.py_buffer(np.arange(n + 1, dtype=np.int32)), pa.py_buffer(b"a" * n)]), one[1]),
    "arrow_dictionary": lambda: (pa.DictionaryArray.from_arrays(pa.array(np.zeros(n, np.int8)), ["a"]), one[1]),
    "list_of_floats": lambda: (one[0], [0.0] * n),
    "arrow_integers": lambda: (one[0], pa.array(np.zeros(n, np.int8))),
}
tokens, times = forms[FORM]()
machine = zuldcore.StateMachine()
machine.add_state("s")
machine.add_entry("s", "a")
signal.setitimer(signal.ITIMER_REAL, 0.005)
try:
    zuldcore.state_spans(tokens, times, machine)
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
except ValueError:
    print("read to the end", flush=True)
"""


@pytest.mark.parametrize("form", ["list_of_str", "object_array", "str_array", "arrow_strings", "arrow_dictionary",
                                  "list_of_floats", "arrow_integers"])
def test_ctrl_c_stops_the_reading_of_a_long_argument(form):
    out = subprocess.run([sys.executable, "-c", f"FORM = {form!r}\n" + CTRL_C_CHILD], capture_output=True,
                         text=True, check=False)
    assert out.stdout.splitlines()[:1] == ["interrupted"], out.stdout + out.stderr[-2000:]
