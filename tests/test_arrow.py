"""Stream arguments given as Arrow data (the PyCapsule interface): every form a
producer hands over reads exactly as the same data given as lists, through
every entry point; refusals name the argument and position; hostile exports
fail cleanly and every exported struct is released."""

import gc
import math
import struct

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
NUMBERS_WANTED = "expected an Arrow array of numbers (an integer or float type), got "
TOKEN_REFUSALS = [
    (pa.array(["a", None, "b"]), ValueError, "tokens[1] is null"),
    (pa.chunked_array([["a", "b"], [None]]), ValueError, "tokens[2] is null"),
    (pl.Series(["a", "b", None]).cast(pl.Categorical), ValueError, "tokens[2] is null"),
    (pl.Series([None, None, None]), ValueError, "tokens[0] is null"),  # the null type, one null buffer
    (pa.array([1, 2, 3]), TypeError, "argument 'tokens': " + STRINGS_WANTED + "int64"),
    (pa.array([b"a"] * 3), TypeError, "argument 'tokens': " + STRINGS_WANTED + "binary"),
]
STREAM_REFUSALS = [
    (["a"] * 3, pa.array([0.0, None, 1.0]), None, ValueError, "times[1] is null"),
    (["a"] * 3, pa.array([0, None, 1], pa.int16()), None, ValueError, "times[1] is null"),
    (["a"] * 3, pd.Series([0, None, 1], dtype="Int64"), None, ValueError, "times[1] is null"),
    (["a"] * 3, pl.Series([None, None, None]), None, ValueError, "times[0] is null"),
    (["a"] * 3, pa.array([True] * 3), None, TypeError, "argument 'times': " + NUMBERS_WANTED + "bool"),
    (["a"] * 3, OK_TIMES, pa.array(["x"] * 3), TypeError, "argument 'values': " + NUMBERS_WANTED + "string"),
    (pa.array(["a"] * 2), pa.array(OK_TIMES), None, ValueError, "times has length 3 but tokens has length 2"),
]


@pytest.mark.parametrize("entry, tokens, times, values, error, message",
                         [(e, t, OK_TIMES, None, err, m) for e in ENTRIES for t, err, m in TOKEN_REFUSALS]
                         + [(e, *case) for e in ENTRIES[1:] for case in STREAM_REFUSALS])
def test_refusals(entry, tokens, times, values, error, message):
    with pytest.raises(error) as info:
        call_entry(entry, tokens, times, values)
    assert str(info.value) == message


@pytest.mark.parametrize("entry", [e for e in ENTRIES if e != "preprocess"])  # a result, not an object
@pytest.mark.parametrize("empty", [pl.Series([]), pa.array([])], ids=["polars", "pyarrow"])
def test_an_empty_column_of_the_null_type_is_an_empty_stream(entry, empty):
    # Polars exports the null type with one (null) buffer, pyarrow with none.
    same(call_entry(entry, empty, empty, empty), call_entry(entry, [], [], []))


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


@pytest.mark.parametrize("argument", ["tokens", "times", "values"])
@pytest.mark.parametrize("error", [ImportError("needs pyarrow"), LookupError("gone")])
def test_an_export_failure_without_array_passes_through_as_raised(argument, error):
    args = {"tokens": ["a"] * 3, "times": OK_TIMES, "values": None}
    args[argument] = exporter(raising(error))
    with pytest.raises(type(error)) as info:
        zuldcore.annotate_stream(args["tokens"], args["times"], [], args["values"])
    assert info.value is error


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


# ---- malformed arrays, as pyarrow's unvalidated constructors make them -------

def buffer(values, dtype):
    return pa.py_buffer(np.array(values, dtype).tobytes())


def strings(offsets, data=b"ab", large=False):
    return pa.Array.from_buffers(pa.large_string() if large else pa.string(), len(offsets) - 1,
                                 [None, buffer(offsets, np.int64 if large else np.int32), pa.py_buffer(data)])


def dictionary_of(values, indices):
    return pa.DictionaryArray.from_buffers(pa.dictionary(pa.int8(), values.type), len(indices),
                                           [None, buffer(indices, np.int8)], values)


def view(length, buffer_index=0, offset=0, inline=b""):
    return struct.pack("<i", length) + (inline.ljust(12, b"\0") if length <= 12 else
                                        inline[:4].ljust(4, b"\0") + struct.pack("<ii", buffer_index, offset))


def string_views(*views):
    return pa.Array.from_buffers(pa.string_view(), len(views), [None, pa.py_buffer(b"".join(views)),
                                                                pa.py_buffer(b"x" * 30)])


MALFORMED = "tokens: malformed Arrow array: "
MALFORMED_TOKENS = [pytest.param(make, message, id=name) for name, make, message in [
    ("string_out_of_order", lambda: strings([0, 2**30, 2]), MALFORMED + "offsets[2] is 2, less than offsets[1] = 1073741824"),
    ("string_negative_inside", lambda: strings([0, 1, -3, 2]), MALFORMED + "offsets[2] is -3, less than offsets[1] = 1"),
    ("large_string_huge", lambda: strings([0, 2**40, 2], large=True),
     MALFORMED + "offsets[2] is 2, less than offsets[1] = 1099511627776"),
    ("large_string_negative", lambda: strings([0, 1, -2**62, 2], large=True),
     MALFORMED + "offsets[2] is -4611686018427387904, less than offsets[1] = 1"),
    ("dictionary_values", lambda: dictionary_of(strings([0, 2**30, 2]), [0, 1]),
     MALFORMED + "offsets[2] of the dictionary is 2, less than offsets[1] = 1073741824"),
    ("dictionary_unused_values", lambda: dictionary_of(strings([0, 1, 0, 2]), [0, 0]),
     MALFORMED + "offsets[2] of the dictionary is 0, less than offsets[1] = 1"),
    ("dictionary_index", lambda: dictionary_of(pa.array(["x"]), [0, 9]), "tokens[1] holds dictionary index 9 of 1 values"),
    ("dictionary_negative_index", lambda: dictionary_of(pa.array(["x"]), [-1, 0]),
     "tokens[0] holds dictionary index -1 of 1 values"),
    ("view_negative_length", lambda: string_views(view(1, inline=b"a"), view(-5)), MALFORMED + "view 1 has length -5"),
    ("view_past_its_buffer", lambda: string_views(view(20, 0, 20)),
     MALFORMED + "view 0 holds 20 bytes at offset 20 of data buffer 0, which has 30 bytes"),
    ("view_of_a_missing_buffer", lambda: string_views(view(20, 3, 0)), MALFORMED + "view 0 names data buffer 3 of 1"),
    ("dictionary_of_views", lambda: dictionary_of(string_views(view(13, 0, -1)), [0]),
     MALFORMED + "view 0 of the dictionary holds 13 bytes at offset -1 of data buffer 0, which has 30 bytes"),
]]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("make, message", MALFORMED_TOKENS)
def test_malformed_string_arrays_are_refused_before_they_are_read(entry, make, message):
    """These arrays once read a gigabyte past their buffers (or before them)
    and crashed; now every offset, view and index is checked first, and the
    refused call interns nothing."""
    tokens = make()
    expected = next_id()
    with pytest.raises(ValueError) as info:
        call_entry(entry, tokens, [0.0] * len(tokens))
    assert str(info.value) == message
    assert next_id() == expected + 1


def test_a_dictionary_of_dictionaries_is_refused_by_type():
    inner = pa.DictionaryArray.from_arrays(pa.array([0], pa.int8()), pa.array(["a"]))
    nested = pa.DictionaryArray.from_arrays(pa.array([0], pa.int8()), inner)
    with pytest.raises(TypeError) as info:
        zuldcore.vocab_ids(nested)
    assert str(info.value) == ("argument 'tokens': " + STRINGS_WANTED +
                               "dictionary<values=dictionary<values=string, indices=int8>, indices=int8>")


# ---- numeric columns, read by value -----------------------------------------

NUMBER_TYPES = ([pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64(),
                 pa.float16(), pa.float32(), pa.float64()])
# Integers that no double holds, half way between two that do: ties go to even.
TIES = [2**53 + 1, 2**53 + 3, -(2**53 + 1), 2**63 - 1, -(2**63), 2**64 - 1, 2**64 - 2**10, 2**63 + 2**10]


def numbers(t):
    if pa.types.is_floating(t):
        return st.floats(width=t.bit_width)
    lo, hi = (-(2**(t.bit_width - 1)), 2**(t.bit_width - 1) - 1) if pa.types.is_signed_integer(t) else (0, 2**t.bit_width - 1)
    return st.integers(lo, hi) | st.sampled_from([x for x in TIES if lo <= x <= hi] or [lo])


def seen(times=None, values=None, n=0):
    """What a call makes of `times` (a one-event pattern's match times) and of
    `values` (each position's window maximum at width 0), byte for byte."""
    p = zuldcore.Pattern()
    p.add_event("a")
    out = []
    if times is not None:
        out.append(Zuldor(p).match_stream(["a"] * n, times)["t_start"].tobytes())
    if values is not None:
        spec = A.window_aggregate("v", "a", 0.0, "max")
        out.append(zuldcore.annotate_stream(["a"] * n, list(range(n)), [spec], values)["v"].tobytes())
    return out


NUMBER_FORMS = [
    pytest.param(lambda a: a, id="array"),
    pytest.param(lambda a: pa.chunked_array([a[:len(a) // 2], a[len(a) // 2:]], a.type), id="chunked"),
    pytest.param(lambda a: pa.concat_arrays([a, a])[len(a):], id="sliced"),
    pytest.param(lambda a: pd.Series(a, dtype=pd.ArrowDtype(a.type)), id="pandas_arrow"),
]


@pytest.mark.parametrize("t", NUMBER_TYPES, ids=str)
@pytest.mark.parametrize("form", NUMBER_FORMS)
@settings(max_examples=max(10, settings.default.max_examples // 4))
@given(data=st.data())
def test_every_integer_and_float_type_reads_as_its_python_floats(t, form, data):
    items = data.draw(st.lists(numbers(t), max_size=8))
    holes = data.draw(st.lists(st.booleans(), min_size=len(items), max_size=len(items)))
    with_nulls = [None if hole else x for x, hole in zip(items, holes)]
    want = seen(times=[float(x) for x in items], values=[math.nan if x is None else float(x) for x in with_nulls],
                n=len(items))
    got = seen(times=form(pa.array(items, t)), values=form(pa.array(with_nulls, t)), n=len(items))
    assert got == want


@pytest.mark.parametrize("form", [
    pytest.param(lambda v: pl.Series(v, dtype=pl.Int64), id="polars_int64"),
    pytest.param(lambda v: pl.Series(v, dtype=pl.Int32), id="polars_int32"),
    pytest.param(lambda v: pl.Series(v, dtype=pl.UInt16), id="polars_uint16"),
    pytest.param(lambda v: pl.Series(v, dtype=pl.Float32), id="polars_float32"),
    pytest.param(lambda v: pd.Series(v, dtype="Int64"), id="pandas_nullable_int64"),
    pytest.param(lambda v: pa.array(v, pa.uint32()), id="pyarrow_uint32"),
    pytest.param(lambda v: pa.chunked_array([v[:2], v[2:]], pa.int64()), id="pyarrow_chunked_int64"),
])
def test_integer_columns_of_dataframes_work_as_lists(form):
    tokens = ["a", "bb", "a", "bb", "a"]
    times, values = [0, 2, 2, 5, 9], [3, 0, 7, 1, 65535]
    p = zuldcore.Pattern()
    p.add_event("a")
    p.add_event("bb", max_dt=5.0)
    for got, want in zip(run_all(p, tokens, form(times), form(values)), run_all(p, tokens, times, values)):
        same(got, want)


ADVICE = ("; pass numbers in a unit of your choosing, for example hours since an origin: "
          "(t - t0) / timedelta(hours=1)")
DAYS = pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-03"]).as_unit("ns")
TIME_COLUMNS = [
    pytest.param(pa.array([0, 1, 2], pa.timestamp("us")), "an Arrow timestamp[us] column", id="arrow_timestamp"),
    pytest.param(pl.Series(list(DAYS.to_pydatetime())), "an Arrow timestamp[us] column", id="polars_datetime"),
    pytest.param(pd.Series(DAYS).dt.tz_localize("UTC"), "an Arrow timestamp[ns, tz=UTC] column", id="pandas_tz"),
    pytest.param(pa.array([0, 1, 2], pa.date32()), "an Arrow date32[day] column", id="arrow_date"),
    pytest.param(pa.array([0, 1, 2], pa.time64("ns")), "an Arrow time64[ns] column", id="arrow_time"),
    pytest.param(pa.array([0, 1, 2], pa.duration("s")), "an Arrow duration[s] column", id="arrow_duration"),
    pytest.param(pd.Series(DAYS), "a NumPy datetime64[ns] array", id="pandas_datetime"),
    pytest.param(np.array([0, 1, 2], "m8[h]"), "a NumPy timedelta64[h] array", id="numpy_timedelta"),
]


@pytest.mark.parametrize("argument", ["times", "values"])
@pytest.mark.parametrize("column, what", TIME_COLUMNS)
def test_time_columns_are_refused_with_a_way_to_pass_numbers(argument, column, what):
    args = {"times": OK_TIMES, "values": None}
    args[argument] = column
    with pytest.raises(TypeError) as info:
        zuldcore.state_spans(["a"] * 3, args["times"], machine(), args["values"])
    assert str(info.value) == f"argument '{argument}': got {what}{ADVICE}"
