"""Stream arguments given as Arrow data (the PyCapsule interface): every form a
producer hands over reads exactly as the same data given as lists, through
every entry point; refusals name the argument and position; hostile exports
fail cleanly and every exported struct is released."""

import gc

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zuldcore
from zuldcore import AnnotationSpec as A
from zuldcore import StateMachine, Zuldor

from helpers import fresh, next_id
from model import build
from model.strategies import pattern_data

ALPHABET = ["a", "bb", "", "é∑", "exactly12byt", "a token longer than twelve bytes"]
STRINGS_WANTED = ("expected an Arrow array of strings (string, large_string, string_view or a "
                  "dictionary of them), got ")


def chunks(items, n=3):
    step = max(1, -(-len(items) // n))
    return [items[i:i + step] for i in range(0, len(items), step)] or [[]]


def dictionary(index_type):
    def make(tokens):
        # Unused entries, in an order unlike first sight, must not be interned.
        values = [fresh("unused")] + sorted(set(tokens), reverse=True) + [fresh("unused")]
        indices = pa.array([values.index(t) for t in tokens], index_type)
        return pa.DictionaryArray.from_arrays(indices, pa.array(values))
    return make


def duckdb_column(tokens):
    rows = pa.table({"i": range(len(tokens)), "tok": pa.array(tokens, pa.string())})  # noqa: F841 (the query reads it)
    return duckdb.sql("SELECT tok FROM rows ORDER BY i")


TOKEN_FORMS = [pytest.param(form, id=name) for name, form in [
    ("string", lambda t: pa.array(t, pa.string())),
    ("large_string", lambda t: pa.array(t, pa.large_string())),
    ("string_view", lambda t: pa.array(t, pa.string_view())),
    ("dictionary_int8", dictionary(pa.int8())),
    ("dictionary_int32", dictionary(pa.int32())),
    ("chunked", lambda t: pa.chunked_array(chunks(t), pa.string_view())),
    ("sliced", lambda t: pa.array(["x"] + t + ["y"], pa.large_string())[1:len(t) + 1]),
    ("polars", lambda t: pl.Series(t, dtype=pl.String)),
    ("polars_categorical", lambda t: pl.Series(t, dtype=pl.String).cast(pl.Categorical)),
    ("pandas_arrow", lambda t: pd.Series(t, dtype=pd.ArrowDtype(pa.string()))),
]] + [pytest.param(duckdb_column, id="duckdb")]
FLOAT_FORMS = [
    lambda v: v,  # a list, as the reference reads it
    lambda v: pa.array(v, pa.float64()),
    lambda v: pa.array(v, pa.float64(), from_pandas=True),  # NaN becomes null, which reads as NaN in values
    lambda v: pa.chunked_array(chunks(v), pa.float64()),
    lambda v: pa.array([9.0] + v, pa.float64())[1:],
    lambda v: pl.Series(v, dtype=pl.Float64),
    lambda v: pd.Series(v, dtype=pd.ArrowDtype(pa.float64())),
]


def same(a, b):
    """Equal results: the same keys in order, every array byte for byte with
    its dtype, lists item by item."""
    assert type(a) is type(b)
    if isinstance(a, dict):
        assert list(a) == list(b)
        for k in a:
            same(a[k], b[k])
    elif isinstance(a, np.ndarray):
        assert (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())
    elif isinstance(a, list):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y)
    else:
        assert a == b


def machine():
    m = StateMachine()
    m.add_state("s")
    m.add_entry("s", "a")
    m.add_exit("s", "bb")
    return m


def run_all(pattern, tokens, times, values):
    z = Zuldor(pattern)
    specs = [A.past_occurrence("p", "a", 1.0), A.window_aggregate("w", "bb", 2.0, "max"),
             A.state_label("l", machine())]
    return [zuldcore.vocab_ids(tokens),
            z.match_stream(tokens, times, values, include_tokens=True),
            z.match_preprocessed(z.preprocess(tokens, times, values), include_tokens=True),
            zuldcore.state_spans(tokens, times, machine(), values),
            zuldcore.annotate_stream(tokens, times, specs, values)]


STREAM = st.integers(0, 12).flatmap(lambda n: st.tuples(
    st.lists(st.sampled_from(ALPHABET), min_size=n, max_size=n),
    st.lists(st.sampled_from([0.0, 1.0, 2.0]), min_size=n, max_size=n),
    st.none() | st.lists(st.sampled_from([float("nan"), 0.0, 1.5, -2.0]), min_size=n, max_size=n)))


@pytest.mark.parametrize("tokens_form", TOKEN_FORMS)
@settings(max_examples=max(10, settings.default.max_examples // 4))  # one run per token form
@given(p=pattern_data(alphabet=ALPHABET), stream=STREAM, times_form=st.sampled_from(FLOAT_FORMS),
       values_form=st.sampled_from(FLOAT_FORMS))
def test_arrow_reads_as_lists(tokens_form, p, stream, times_form, values_form):
    tokens, steps, values = stream
    times = np.cumsum(steps).tolist()
    want = run_all(build(p), tokens, times, values)
    got = run_all(build(p), tokens_form(tokens), times_form(times), values if values is None else values_form(values))
    for g, w in zip(got, want):
        same(g, w)


@pytest.mark.parametrize("tokens_form", TOKEN_FORMS)
@given(picks=st.lists(st.integers(0, 4), max_size=12))
def test_new_tokens_take_ids_in_order_of_first_sight(tokens_form, picks):
    alphabet = [fresh() for _ in range(5)]
    tokens = [alphabet[i] for i in picks]
    start = next_id()
    firsts = list(dict.fromkeys(tokens))
    assert zuldcore.vocab_ids(tokens_form(tokens)) == [start + firsts.index(t) for t in tokens]
    assert next_id() == start + len(firsts) + 1  # nothing else was interned


def call_entry(entry, tokens, times, values=None):
    return {
        "vocab_ids": lambda: zuldcore.vocab_ids(tokens),
        "match_stream": lambda: Zuldor(zuldcore.Pattern()).match_stream(tokens, times, values),
        "preprocess": lambda: Zuldor(zuldcore.Pattern()).preprocess(tokens, times, values),
        "state_spans": lambda: zuldcore.state_spans(tokens, times, machine(), values),
        "annotate_stream": lambda: zuldcore.annotate_stream(tokens, times, [], values),
    }[entry]()


ENTRIES = ["vocab_ids", "match_stream", "preprocess", "state_spans", "annotate_stream"]
OK_TIMES = [0.0, 1.0, 2.0]
FLOAT64_WANTED = "expected an Arrow array of float64, got "
TOKEN_REFUSALS = [
    (pa.array(["a", None, "b"]), ValueError, "tokens[1] is null"),
    (pa.chunked_array([["a", "b"], [None]]), ValueError, "tokens[2] is null"),
    (pl.Series(["a", "b", None]).cast(pl.Categorical), ValueError, "tokens[2] is null"),
    (pa.array([1, 2, 3]), TypeError, "argument 'tokens': " + STRINGS_WANTED + "int64"),
    (pa.array([b"a"] * 3), TypeError, "argument 'tokens': " + STRINGS_WANTED + "binary"),
]
STREAM_REFUSALS = [
    (["a"] * 3, pa.array([0.0, None, 1.0]), None, ValueError, "times[1] is null"),
    (["a"] * 3, pa.array(OK_TIMES, pa.float32()), None, TypeError, "argument 'times': " + FLOAT64_WANTED + "float32"),
    (["a"] * 3, pl.Series([0, 1, 2]), None, TypeError, "argument 'times': " + FLOAT64_WANTED + "int64"),
    (["a"] * 3, OK_TIMES, pa.array(["x"] * 3), TypeError, "argument 'values': " + FLOAT64_WANTED + "string"),
    (pa.array(["a"] * 2), pa.array(OK_TIMES), None, ValueError, "times has length 3 but tokens has length 2"),
]


@pytest.mark.parametrize("entry, tokens, times, values, error, message",
                         [(e, t, OK_TIMES, None, err, m) for e in ENTRIES for t, err, m in TOKEN_REFUSALS]
                         + [(e, *case) for e in ENTRIES[1:] for case in STREAM_REFUSALS])
def test_refusals(entry, tokens, times, values, error, message):
    with pytest.raises(error) as info:
        call_entry(entry, tokens, times, values)
    assert str(info.value) == message


def test_null_values_read_as_nan_and_a_refused_stream_interns_nothing():
    got = zuldcore.annotate_stream(["a", "a"], [0.0, 1.0], [A.window_aggregate("w", "a", 5.0, "count")],
                                   pa.array([1.0, None]))
    same(got, zuldcore.annotate_stream(["a", "a"], [0.0, 1.0], [A.window_aggregate("w", "a", 5.0, "count")],
                                       [1.0, float("nan")]))
    new = [fresh(), fresh()]
    expected = next_id()
    with pytest.raises(ValueError, match=r"^tokens\[2\] is null$"):
        zuldcore.vocab_ids(pa.chunked_array([new, [None]]))
    assert next_id() == expected + 1


def exporter(make, method="__arrow_c_stream__", array=None):
    """An object whose Arrow export returns (or raises) what make() does; with
    `array`, it is also a sequence with __array__, as a pandas Series is."""
    attrs = {method: lambda self, requested_schema=None: make()}
    if array is not None:
        attrs.update(__array__=lambda self, dtype=None, copy=None: np.array(array),
                     __len__=lambda self: len(array), __getitem__=lambda self, i: array[i])
    return type("Exporter", (), attrs)()


def raising(exc):
    def make():
        raise exc
    return make


def test_hostile_exports():
    schema_capsule = lambda: pa.array(["a"]).__arrow_c_array__()[0]  # noqa: E731
    cases = [
        (exporter(raising(RuntimeError("export boom"))), RuntimeError, "export boom"),
        (exporter(raising(TypeError("no export"))), TypeError, "argument 'tokens': no export"),
        (exporter(lambda: 42), TypeError,
         "argument 'tokens': __arrow_c_stream__() returned a 'int', not an 'arrow_array_stream' capsule"),
        (exporter(schema_capsule), TypeError, "argument 'tokens': __arrow_c_stream__() returned a capsule named "
                                              "'arrow_schema', not an 'arrow_array_stream' capsule"),
        (exporter(lambda: [1, 2], "__arrow_c_array__"), TypeError, "argument 'tokens': __arrow_c_array__() returned "
         "a 'list', not a tuple of an 'arrow_schema' and an 'arrow_array' capsule"),
        (exporter(lambda: (schema_capsule(), schema_capsule()), "__arrow_c_array__"), TypeError,
         "argument 'tokens': __arrow_c_array__() returned a capsule named 'arrow_schema', not an 'arrow_array' capsule"),
    ]
    for obj, error, message in cases:
        with pytest.raises(error) as info:
            zuldcore.vocab_ids(obj)
        assert str(info.value) == message
        if message == "argument 'tokens': no export":
            assert str(info.value.__cause__) == "no export"

    # One capsule handed out twice: the second reader finds it taken.
    capsule = pa.chunked_array([["a"]]).__arrow_c_stream__()
    twice = exporter(lambda: capsule)
    assert zuldcore.vocab_ids(twice) == zuldcore.vocab_ids(["a"])
    with pytest.raises(ValueError, match=r"^tokens: the Arrow data was already taken from its capsule$"):
        zuldcore.vocab_ids(twice)

    # A stream that fails after its first batch (a one-column table, read as its column).
    def batches():
        yield pa.record_batch({"tok": ["a"]})
        raise RuntimeError("batch boom")
    reader = pa.RecordBatchReader.from_batches(pa.schema({"tok": pa.string()}), batches())
    with pytest.raises(ValueError, match=r"^tokens: the Arrow stream failed: .*batch boom"):
        zuldcore.vocab_ids(reader)


def test_import_error_falls_back_to_array_and_numpy_memory_stays_numpy():
    obj = exporter(raising(ImportError("needs pyarrow")), array=["a", "bb"])
    assert zuldcore.vocab_ids(obj) == zuldcore.vocab_ids(["a", "bb"])
    # A pandas Series of NumPy dtype is read through NumPy: its NaN stays a
    # time, where its Arrow export would make it null.
    times = pd.Series([0.0, float("nan")])
    same(zuldcore.annotate_stream(["a", "a"], times, []), {})
    with pytest.raises(ValueError, match=r"^times\[1\] is null$"):
        zuldcore.annotate_stream(["a", "a"], pa.array(times, from_pandas=True), [])


@pytest.mark.parametrize("fails", [False, True])
def test_every_exported_struct_is_released(fails):
    """pyarrow's buffers stay allocated while an export of them is unreleased."""
    gc.collect()
    before = pa.total_allocated_bytes()
    tokens = pa.chunked_array([pa.array([fresh() for _ in range(1000)]), pa.array(["a", None] if fails else ["a"])])
    times = pa.array(np.arange(1001, dtype=np.float64))
    assert pa.total_allocated_bytes() > before
    for _ in range(3):
        try:
            zuldcore.annotate_stream(tokens, times, [])
            zuldcore.vocab_ids(pa.array([1, 2]) if fails else tokens)
        except (ValueError, TypeError):
            assert fails
    del tokens, times
    gc.collect()
    assert pa.total_allocated_bytes() == before
