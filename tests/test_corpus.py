"""zuldcore.corpus: every job of a Corpus equals the loop over its documents with the single-stream
calls (shifted to corpus rows, with "doc" added), byte for byte, for any number of threads and any
form of input; then the errors, the frame readers, the object itself, Ctrl-C and references."""

import copy
import fractions
import math
import os
import pickle
import sys
import textwrap

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zuldcore
import zuldcore.corpus
from helpers import fresh, interrupt_child, next_id, refcounts, run_python
from model import build as build_pattern
from model import annotate as annotate_model
from model.state import build as build_machine
from model.strategies import pattern_data, stream_data
from test_annotate_model import spec_lists
from test_annotate_model import streams as annotate_streams
from test_state_model import machines
from test_state_model import streams as state_streams
from zuldcore.corpus import Corpus

NAN = math.nan
INTERNAL = sys.modules["zuldcore._internal"]


# ---------------------------------------------------------------- the per-document loop


def same(actual, expected, where="result"):
    """Exactly the same value: dict keys in order, arrays of the same dtype, shape and bytes."""
    if isinstance(expected, np.ndarray):
        assert isinstance(actual, np.ndarray), where
        assert (actual.dtype, actual.shape) == (expected.dtype, expected.shape), where
        assert actual.tobytes() == expected.tobytes(), f"{where}:\n{actual!r}\n!=\n{expected!r}"
    elif isinstance(expected, dict):
        assert list(actual) == list(expected), where
        for key in expected:
            same(actual[key], expected[key], f"{where}[{key!r}]")
    elif isinstance(expected, (list, tuple)):
        assert type(actual) is type(expected) and len(actual) == len(expected), where
        for i, (a, e) in enumerate(zip(actual, expected)):
            same(a, e, f"{where}[{i}]")
    else:
        assert type(actual) is type(expected) and (actual == expected or actual != actual), where


def joined(parts, shifted):
    """Per-document results put together: arrays concatenated (the keys in `shifted` moved by the
    document's first row), lists extended, and "doc" added when a part has it."""
    first_part = parts[0][1]
    out = {}
    for key, value in first_part.items():
        pieces = [(offset, part[key]) for offset, part in parts]
        if isinstance(value, np.ndarray):
            out[key] = np.concatenate([p + offset if key in shifted else p for offset, p in pieces])
            out[key] = out[key].astype(value.dtype, copy=False)
        elif isinstance(value, list):
            out[key] = [item for _, p in pieces for item in p]
        else:
            out[key] = value
    return out


def per_document(call, docs, shifted=(), with_doc=False):
    """The single-stream call on every document (and first on an empty one, whose failure is the
    failure of any corpus), joined; or the message of the first failure."""
    try:
        parts = [(0, call([], [], None))]
        offset = 0
        for k, (tokens, times, values) in enumerate(docs):
            part = call(tokens, times, values)
            if with_doc:
                n = len(next(iter(part.values())))
                part = {**part, "doc": np.full(n, k, dtype=np.int64)}
            parts.append((offset, part))
            offset += len(tokens)
    except ValueError as e:
        return str(e)
    if with_doc:
        parts[0] = (0, {**parts[0][1], "doc": np.zeros(0, dtype=np.int64)})
    return joined(parts, shifted)


def corpus_result(call):
    try:
        return call()
    except ValueError as e:
        return str(e)


# ---------------------------------------------------------------- corpora in every form

FORMS = ["list", "ids", "arrow", "arrow_ids", "polars_frame", "pandas_frame", "arrow_frame"]


def make_corpus(form, docs, with_values):
    """The corpus of `docs` given in `form`; frames have no empty documents, so those are dropped
    (the documents the corpus holds are returned too)."""
    if form.endswith("frame"):
        docs = [d for d in docs if d[0]]
    tokens = [t for d in docs for t in d[0]]
    times = [float(t) for d in docs for t in d[1]]
    values = [v for d in docs for v in (d[2] if d[2] is not None else [NAN] * len(d[0]))]
    offsets = np.cumsum([0] + [len(d[0]) for d in docs])
    vals = values if with_values else None
    if form == "list":
        return Corpus(tokens, times, offsets.astype(np.int32), vals), docs
    if form == "ids":
        ids = np.array(zuldcore.vocab_ids(tokens), dtype=np.uint32)
        return Corpus(ids, times, offsets.astype(np.uint64), vals), docs
    if form == "arrow":
        return Corpus(pa.array(tokens, pa.large_string()), pa.array(times), pa.array(offsets, pa.int32()),
                      None if vals is None else pa.array(vals)), docs
    if form == "arrow_ids":
        ids = pa.array(zuldcore.vocab_ids(tokens), pa.uint32())
        return Corpus(ids, times, offsets.tolist(), vals), docs
    columns = {"case": [f"p{k}" for k, d in enumerate(docs) for _ in d[0]], "token": tokens, "time": times}
    if with_values:
        columns["value"] = values
    value = "value" if with_values else None
    if form == "polars_frame":
        frame = pl.DataFrame(columns, schema_overrides={"case": pl.String, "token": pl.String, "time": pl.Float64,
                                                        "value": pl.Float64})
    elif form == "pandas_frame":
        columns["case"] = [k for k, d in enumerate(docs) for _ in d[0]]
        frame = pd.DataFrame(columns).astype({"case": "int64", "token": "string", "time": "float64"})
    else:
        frame = pa.table(columns, schema=pa.schema(
            [("case", pa.string()), ("token", pa.string()), ("time", pa.float64())]
            + ([("value", pa.float64())] if with_values else [])))
    return Corpus.from_frame(frame, "case", "token", "time", value), docs


@st.composite
def corpora(draw, docs):
    """A corpus form, its documents (each restarting its times, so that times go back between
    documents; empty and one-row documents and ties are common) and whether it has values."""
    drawn = draw(st.lists(docs, max_size=5))
    shift = draw(st.sampled_from([0.0, -5.0, 100.0]))
    documents = [(list(t), [x + shift * (k % 2) for x in ts], None if v is None else list(v))
                 for k, (t, ts, v) in enumerate(drawn)]
    return draw(st.sampled_from(FORMS)), documents, draw(st.booleans())


def plain(doc):
    return (doc["tokens"], doc["times"], doc["values"])


THREADS = st.sampled_from([1, 2, 3, 4, None])


def doc_values(values, n, with_values):
    if not with_values:
        return None
    return values if values is not None else [NAN] * n


# ---------------------------------------------------------------- every job against the loop


@given(corpora(stream_data(max_len=6).map(plain)), pattern_data(), st.booleans(), st.booleans(), THREADS)
def test_match_equals_the_loop_over_documents(corpus, data, include_tokens, first_only, threads):
    form, docs, with_values = corpus
    c, docs = make_corpus(form, docs, with_values)
    z = zuldcore.Zuldor(build_pattern(data))
    want = per_document(
        lambda t, x, v: z.match_stream(t, x, doc_values(v, len(t), with_values and bool(t)),
                                       first_only=first_only, include_tokens=include_tokens),
        docs, shifted={"m_start", "m_end", "el_stream_idx"}, with_doc=True)
    got = corpus_result(lambda: c.match(z, include_tokens=include_tokens, first_only=first_only,
                                        threads=threads))
    same(got, want)


@given(corpora(state_streams()), machines(), st.booleans(), THREADS)
def test_state_spans_equal_the_loop_over_documents(corpus, data, include_invalid, threads):
    form, docs, with_values = corpus
    c, docs = make_corpus(form, docs, with_values)
    machine = build_machine(data)
    want = per_document(
        lambda t, x, v: zuldcore.state_spans(t, x, machine, doc_values(v, len(t), with_values and bool(t)),
                                             include_invalid=include_invalid),
        docs, shifted={"start_pos", "end_pos"}, with_doc=True)
    same(corpus_result(lambda: c.state_spans(machine, include_invalid=include_invalid, threads=threads)), want)


@given(corpora(annotate_streams(nan_times=False)), spec_lists(), THREADS)
def test_annotate_equals_the_loop_over_documents(corpus, spec_list, threads):
    form, docs, with_values = corpus
    c, docs = make_corpus(form, docs, with_values)
    specs = [annotate_model.build(spec) for spec in spec_list]
    want = per_document(
        lambda t, x, v: zuldcore.annotate_stream(t, x, specs, doc_values(v, len(t), with_values and bool(t))),
        docs)
    same(corpus_result(lambda: c.annotate(specs, threads=threads)), want)


# ---------------------------------------------------------------- errors


V, T = ValueError, TypeError


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"offsets": []}, V, "offsets must not be empty: it holds n_docs + 1 entries, from 0 to the number of rows"),
        ({"offsets": [1, 3]}, V, "offsets[0] is 1; it must be 0"),
        ({"offsets": [0, 2, 1, 3]}, V, "offsets[2] is 1, below offsets[1] = 2"),
        ({"offsets": [0, 5, 3]}, V, "offsets[1] is 5, beyond the number of rows (3)"),
        ({"offsets": [0, 2]}, V, "offsets[1] is 2; the last offset must be the number of rows (3)"),
        ({"offsets": np.array([0, 2**64 - 1, 3], dtype=np.uint64)}, V,
         "offsets[1] is 18446744073709551615, beyond the number of rows (3)"),
        ({"offsets": pa.array([0, 2**63, 3], pa.uint64())}, V,
         "offsets[1] is 9223372036854775808, beyond the number of rows (3)"),
        ({"times": [0.0, NAN, 0.0]}, V, "times[1] is NaN (document 0)"),
        ({"times": [NAN, 1.0, 0.0]}, V, "times[0] is NaN (document 0)"),
        ({"times": [1.0, 0.5, 0.0]}, V, "times[1] is 0.5, below times[0] = 1.0 in document 0"),
        ({"times": [0.0, 1.0]}, V, "times has length 2 but tokens has length 3"),
        ({"values": [1.0]}, V, "values has length 1 but tokens has length 3"),
        ({"tokens": np.array([0, 2**32 - 1, 0], dtype=np.uint32)}, V,
         "tokens[1] is 4294967295, an id that was never handed out ("),
        ({"tokens": pa.array([0, 0, 2**32 - 2], pa.uint32())}, V,
         "tokens[2] is 4294967294, an id that was never handed out ("),
        ({"offsets": [0, 2.0, 3]}, T, "argument 'offsets'"),
        ({"offsets": np.array([0.0, 3.0])}, T, "argument 'offsets': expected integers, got an array of float64"),
        ({"offsets": pa.array([0.0, 3.0])}, T, "argument 'offsets': expected integers, got an Arrow array of float64"),
        ({"offsets": "03"}, T, "argument 'offsets'"),
        ({"tokens": np.zeros((1, 3), dtype=np.uint32)}, T,
         "argument 'tokens': expected a one-dimensional array, got 2 dimensions"),
        ({"tokens": ["a", 1, "b"]}, T, "argument 'tokens'"),
    ],
)
def test_constructor_errors_and_nothing_interned(changes, error, message):
    args = {"tokens": [fresh(), "b", "a"], "times": [0.0, 1.0, 0.0], "offsets": [0, 2, 3], **changes}
    before = next_id()
    with pytest.raises(error) as e:
        Corpus(**args)
    assert str(e.value).startswith(message), str(e.value)
    assert next_id() == before + 1  # the probe itself, and not the corpus's token


def pattern_of(n):
    p = zuldcore.Pattern()
    for _ in range(n):
        p.add_event("a")
    return p


def too_many_triggers():
    m = zuldcore.StateMachine()
    m.add_state("s")
    for i in range(65):
        m.add_entry("s", f"t{i}")
    return m


EMPTY = Corpus([], [], [0])


@pytest.mark.parametrize("corpus", [EMPTY, Corpus(["a"], [0.0], [0, 0, 1])], ids=["no documents", "documents"])
@pytest.mark.parametrize(
    "job, message",
    [
        (lambda c: c.match(zuldcore.Zuldor(pattern_of(65))), "Pattern has 65 elements; maximum is 64"),
        (lambda c: c.state_spans(too_many_triggers()), "Too many distinct triggers: 65 (maximum 64)"),
        (lambda c: c.annotate([zuldcore.AnnotationSpec.past_occurrence("p", "a", 1.0),
                               zuldcore.AnnotationSpec.past_occurrence("q", pattern_of(65), 1.0)]),
         "Pattern has 65 elements; maximum is 64"),
    ],
)
def test_errors_that_need_no_data_come_before_any_work(corpus, job, message):
    with pytest.raises(ValueError) as e:
        job(corpus)
    assert str(e.value) == message
    if "annotate" in job.__code__.co_names and sys.version_info >= (3, 11):
        assert e.value.__notes__ == ["in specs[1]"]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.match("z"), TypeError, "argument 'zuldor': expected Zuldor, got 'str'"),
        (lambda c: c.state_spans(None), TypeError, "argument 'machine': expected StateMachine, got 'NoneType'"),
        (lambda c: c.annotate(["x"]), TypeError, "argument 'specs': expected AnnotationSpec, got 'str'"),
        (lambda c: c.annotate([], threads=0), ValueError, "threads must be at least 1 (got 0)"),
        (lambda c: c.annotate([], threads=-3), ValueError, "threads must be at least 1 (got -3)"),
        (lambda c: c.annotate([], threads=True), TypeError, "argument 'threads': expected an int or None, got 'bool'"),
        (lambda c: c.annotate([], threads=1.5), TypeError, "argument 'threads'"),
        (lambda c: c.match(zuldcore.Zuldor(pattern_of(1)), first_only=1), TypeError, "argument 'first_only'"),
    ],
)
def test_job_argument_errors(call, error, message):
    with pytest.raises(error) as e:
        call(Corpus(["a"], [0.0], [0, 1]))
    assert str(e.value).startswith(message)


# ---------------------------------------------------------------- frames

ROWS = {"pid": [7, 7, 3, 3, 3, 9], "code": ["a", "b", "a", "c", "b", "a"],
        "t": [0.0, 1.0, 5.0, 5.0, 6.0, -2.0], "v": [1.0, None, 2.0, 3.0, None, 4.0]}


def frames():
    table = pa.table(ROWS)
    return {
        "polars": pl.DataFrame(ROWS),
        "pandas": pd.DataFrame(ROWS),
        "pyarrow table": table,
        "record batch reader": pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=4)),
        "duckdb": duckdb.from_arrow(table),
        "sliced batches": pa.Table.from_batches([table.slice(0, 1).to_batches()[0], table.slice(1).to_batches()[0]]),
    }


@pytest.mark.parametrize("kind", list(frames()))
def test_from_frame_of_every_kind_equals_the_constructor(kind):
    c = Corpus.from_frame(frames()[kind], "pid", "code", "t", "v")
    assert c.n_docs == 3 and c.offsets.tolist() == [0, 2, 5, 6]
    assert c.cases.tolist() == [7, 3, 9] and c.cases.dtype == np.int64
    want = Corpus(ROWS["code"], ROWS["t"], [0, 2, 5, 6], [1.0, NAN, 2.0, 3.0, NAN, 4.0])
    A = zuldcore.AnnotationSpec
    specs = [A.window_aggregate("w", "a", 10.0, "count", partial_window=True),
             A.past_occurrence("p", "b", 1.0, partial_window=True),
             A.window_aggregate("v", ["a", "b", "c"], 0.0, "max", partial_window=True)]
    same(c.annotate(specs), want.annotate(specs))


LONG = 70_000  # a batch this long has its columns read on several threads


@pytest.mark.parametrize("holes, message", [
    ({}, None),
    ({"code": 69_000, "t": 5}, "token[69000] is null"),  # the first column that fails, not the first row
    ({"t": 40_000, "v": 3}, "time[40000] is null"),
    ({"pid": 65_000, "t": 7}, "case[65000] is null"),
])
def test_long_batches_read_as_short_ones(holes, message):
    rng = np.random.default_rng(3)
    cols = {"pid": np.repeat(np.arange(700), LONG // 700).tolist(),
            "code": rng.choice(["a", "b", "c", "dd" * 9], LONG).tolist(),
            "t": np.arange(LONG, dtype=float).tolist(), "v": rng.random(LONG).tolist()}
    for name, row in holes.items():
        cols[name][row] = None
    table = pa.table(cols)
    short = pa.Table.from_batches(table.to_batches(max_chunksize=1_000))
    if message is None:
        whole, parts = (Corpus.from_frame(t, "pid", "code", "t", "v") for t in (table, short))
        same(whole.annotate(SPECS_LONG), parts.annotate(SPECS_LONG))
        assert whole.offsets.tolist() == parts.offsets.tolist() and whole.cases.tolist() == parts.cases.tolist()
        return
    with pytest.raises(ValueError) as info:  # one batch: its columns fail in their order, on any thread
        Corpus.from_frame(table, "pid", "code", "t", "v")
    assert str(info.value) == message


SPECS_LONG = [zuldcore.AnnotationSpec.window_aggregate("w", ["a", "dd" * 9], 50.0, "mean", partial_window=True)]


def test_integer_times_and_values_are_read_by_value():
    frame = pl.DataFrame({"pid": ROWS["pid"], "code": ROWS["code"], "t": [0, 1, 5, 5, 6, -2],
                          "v": [1, None, 2, 3, None, 4]}, schema_overrides={"t": pl.Int64, "v": pl.UInt16})
    c = Corpus.from_frame(frame, "pid", "code", "t", "v")
    want = Corpus(ROWS["code"], ROWS["t"], [0, 2, 5, 6], [1.0, NAN, 2.0, 3.0, NAN, 4.0])
    spec = [zuldcore.AnnotationSpec.window_aggregate("v", ["a", "b", "c"], 0.0, "max", partial_window=True)]
    same(c.annotate(spec), want.annotate(spec))
    assert times_of(c) == [0.0, 5.0, -2.0]  # the rows of "a"


@pytest.mark.parametrize("keys, want", [
    (pa.array(["x", "x", "y", "y", "y", "é"]), ["x", "y", "é"]),
    (pa.array(["x", "x", "y", "y", "y", "z"]).dictionary_encode(), ["x", "y", "z"]),
    (pa.array([2**64 - 1] * 2 + [0] * 3 + [5], pa.uint64()), np.array([2**64 - 1, 0, 5], dtype=np.uint64)),
    (pa.array([-1, -1, 2, 2, 2, 3], pa.int8()), np.array([-1, 2, 3])),
])
def test_case_keys_are_kept(keys, want):
    table = pa.table({"case": keys, "token": ROWS["code"], "time": ROWS["t"]})
    cases = Corpus.from_frame(table, "case", "token", "time").cases
    if isinstance(want, list):
        assert cases == want
    else:
        assert cases.dtype == want.dtype and cases.tolist() == want.tolist()
        with pytest.raises(ValueError):
            cases[0] = 1  # read-only


@pytest.mark.parametrize(
    "columns, names, error, message",
    [
        ({"case": [1, 2, 1]}, {}, ValueError,
         "case 1 comes back at row 2 after other cases (its rows before end at row 0): each case's rows must be "
         "contiguous"),
        ({"case": ["p", "q", "p"]}, {}, ValueError,
         'case "p" comes back at row 2 after other cases (its rows before end at row 0)'),
        ({"case": [1, None, 1]}, {}, ValueError, "case[1] is null"),
        ({"token": ["a", None, "b"]}, {}, ValueError, "token[1] is null"),
        ({"time": [0.0, None, 1.0]}, {}, ValueError, "time[1] is null"),
        ({"case": [4, 5, 5], "time": [0.0, 2.0, 1.0]}, {}, ValueError,
         "time[2] is 1.0, below time[1] = 2.0 in document 1"),
        ({}, {"case": "nope"}, ValueError, "argument 'case': the frame has no column \"nope\"; its columns are "
                                           '["case", "token", "time"]'),
        ({"case": [1.0, 1.0, 2.0]}, {}, TypeError, "argument 'case': expected a column of integers or strings, got "
                                                   "float64"),
        ({}, {"time_unit": "ms"}, TypeError, "argument 'time_unit': time_unit applies to date, timestamp and "
                                             "duration columns; the column \"time\" holds float64"),
        ({}, {"time_unit": "min"}, ValueError,
         'time_unit must be one of "us", "ms", "s", "m", "h", "d" (got \'min\')'),
        ({"time": pa.array([0, 1, 2], pa.timestamp("us"))}, {}, TypeError,
         "argument 'time': the column \"time\" holds timestamp[us] values; pass time_unit"),
        ({"time": pa.array([0, 1, 2], pa.time64("us"))}, {"time_unit": "s"}, TypeError,
         "argument 'time_unit': time_unit applies to date, timestamp and duration columns; the column \"time\" "
         "holds time64[us]"),
        ({"token": pa.array([1, 2, 3], pa.int64())}, {}, TypeError, "argument 'token'"),
    ],
)
def test_from_frame_errors(columns, names, error, message):
    data = {"case": [1, 1, 2], "token": ["a", "b", "c"], "time": [0.0, 1.0, 2.0], **columns}
    table = pa.table(data)
    with pytest.raises(error) as e:
        Corpus.from_frame(table, **{"case": "case", "token": "token", "time": "time", **names})
    assert str(e.value).startswith(message), str(e.value)


def test_from_frame_refuses_what_is_not_a_table():
    with pytest.raises(TypeError, match="^argument 'frame': expected a table that exports an Arrow C stream"):
        Corpus.from_frame([1, 2], "a", "b", "c")
    with pytest.raises(TypeError, match=r"^argument 'frame': expected a table \(an Arrow stream of record batches\), "
                                        "got int64"):
        Corpus.from_frame(pa.array([1, 2]), "a", "b", "c")


UNITS = {"us": 10**3, "ms": 10**6, "s": 10**9, "m": 60 * 10**9, "h": 3600 * 10**9, "d": 86400 * 10**9}
SOURCES = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}


@pytest.mark.parametrize("unit", list(UNITS))
@pytest.mark.parametrize("source", list(SOURCES))
def test_timestamps_become_correctly_rounded_counts_of_the_unit(unit, source):
    rng = np.random.default_rng(len(unit) * 7 + len(source))
    counts = np.sort(np.concatenate([
        rng.integers(-2**62, 2**62, 60), rng.integers(-2**53, 2**53, 60), [0, 1, -1, 2**53 + 1, 2**63 - 1, -2**63 + 1],
        np.arange(-5, 5) * 3 * SOURCES[source] // math.gcd(SOURCES[source], UNITS[unit])]))
    kinds = [pa.timestamp(source), pa.timestamp(source, tz="Europe/Paris"), pa.duration(source)]
    for kind in kinds:
        table = pa.table({"case": np.zeros(len(counts), dtype=np.int64), "token": ["a"] * len(counts),
                          "time": pa.array(counts, kind)})
        c = Corpus.from_frame(table, "case", "token", "time", time_unit=unit)
        want = [float(fractions.Fraction(int(n) * SOURCES[source], UNITS[unit])) for n in counts]
        assert times_of(c) == want


def times_of(c):
    """The times a corpus holds: the time of every row, as its match of the one-event pattern "a"."""
    return c.match(zuldcore.Zuldor(pattern_of(1)))["t_start"].tolist()


def test_dates_are_days_and_microseconds_stay_exact():
    table = pa.table({"case": [1, 1, 1], "token": ["a", "a", "a"],
                      "time": pa.array([-719162, 0, 2932896], pa.date32())})
    c = Corpus.from_frame(table, "case", "token", "time", time_unit="us")
    assert times_of(c) == [-719162 * 86400e6, 0.0, 2932896 * 86400e6]
    us = pa.array([2**53 - 1, 2**53], pa.timestamp("us"))
    c = Corpus.from_frame(pa.table({"case": [0, 0], "token": ["a", "a"], "time": us}), "case", "token", "time",
                          time_unit="us")
    assert times_of(c) == [float(2**53 - 1), float(2**53)]


# ---------------------------------------------------------------- the object


def test_a_corpus_is_read_only_shared_by_copies_and_not_pickled():
    c = Corpus(["a", "b"], [0.0, 1.0], [0, 1, 2])
    assert repr(c) == "Corpus(n_docs=2, rows=2)"
    assert (len(c), c.n_docs, c.cases) == (2, 2, None)
    assert copy.copy(c) is c and copy.deepcopy(c) is c
    with pytest.raises(TypeError, match="^a Corpus cannot be pickled: its token ids belong to this process; build "
                                        "the corpus where it is used$"):
        pickle.dumps(c)
    with pytest.raises(AttributeError):
        c.n_docs = 3
    with pytest.raises(AttributeError):
        c.extra = 1
    with pytest.raises(ValueError):
        c.offsets[0] = 1
    offsets = c.offsets
    del c
    assert offsets.tolist() == [0, 1, 2]  # the array keeps the corpus alive


def test_the_submodule():
    assert "corpus" not in zuldcore.__all__
    assert zuldcore.corpus.__all__ == ["Corpus"] and zuldcore.corpus.Corpus is Corpus
    assert Corpus.__module__ == "zuldcore.corpus"
    assert "corpus" not in vars(zuldcore)  # the package's own names stay its eleven
    with pytest.raises(AttributeError, match="^module 'zuldcore' has no attribute 'corpora'$"):
        zuldcore.corpora
    out = run_python("""
        import zuldcore.corpus
        from zuldcore.corpus import Corpus
        from zuldcore import corpus
        print(zuldcore.corpus.Corpus is Corpus is corpus.Corpus, Corpus([], [], [0]).n_docs)
        """)
    assert out.split() == ["True", "0"]


def test_threads_none_uses_every_cpu_the_process_may_run_on():
    c = Corpus(["a"] * 1000, [0.0] * 1000, list(range(1001)))
    spec = [zuldcore.AnnotationSpec.past_occurrence("p", "a", 1.0)]
    for threads, workers in [(None, len(os.sched_getaffinity(0)) - 1), (1, 0), (3, 2)]:
        before = INTERNAL.workers_started()
        c.annotate(spec, threads=threads)
        assert INTERNAL.workers_started() - before == workers
    out = run_python("""
        import os, sys, zuldcore.corpus
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        c = zuldcore.corpus.Corpus(["a"] * 100, [0.0] * 100, list(range(101)))
        internal = sys.modules["zuldcore._internal"]
        before = internal.workers_started()
        c.annotate([zuldcore.AnnotationSpec.past_occurrence("p", "a", 1.0)])
        print(internal.workers_started() - before)
        """)
    assert out.split() == ["0"]


def test_ctrl_c_stops_every_thread():
    code = textwrap.dedent(
        """
        import os, time, numpy as np, zuldcore
        from zuldcore.corpus import Corpus
        A = zuldcore.AnnotationSpec
        # Many one-row documents and specs: seconds of work, and columns of
        # 200,000 bytes each.
        n = 200_000
        c = Corpus(["k", "a"] * (n // 2), np.arange(n, dtype=np.float64), np.arange(n + 1))
        specs = [A.past_occurrence(f"p{i}", "k", float(i)) for i in range(2_000)]
        threads = len(os.listdir("/proc/self/task"))
        try:
            print("ready", flush=True)
            c.annotate(specs, threads=3)
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", len(os.listdir("/proc/self/task")) == threads, flush=True)
        """
    )
    line, waited = interrupt_child(code)
    assert line == "interrupted True"
    assert waited < 10


ZULDOR = zuldcore.Zuldor(pattern_of(2))
MACHINE = too_many_triggers()


@pytest.mark.parametrize(
    "call",
    [
        lambda t, x: Corpus(t, x, [0, 1, 2]).match(ZULDOR, include_tokens=True),
        lambda t, x: Corpus(t, x, [0, 2]).state_spans(MACHINE),
        lambda t, x: Corpus(t, x, [0, 1, 2]).annotate([zuldcore.AnnotationSpec.past_occurrence("p", t[0], 1.0)]),
        lambda t, x: Corpus(t, x, [0, 3]),
        lambda t, x: Corpus(t, x, [0, 1, 2]).offsets,
        lambda t, x: Corpus.from_frame(pa.table({"c": [1, 1], "t": t, "x": [2.0, 1.0]}), "c", "t", "x"),
        lambda t, x: Corpus.from_frame(pa.table({"c": ["p", "q"], "t": t, "x": [2.0, 1.0]}), "c", "t", "x").cases,
    ],
)
def test_calls_keep_reference_counts(call):
    tokens = ["a-refcount", "b-refcount"]
    times = [0.0, 1.0]
    watched = [tokens, times, tokens[0], times[0], ZULDOR, MACHINE]
    for _ in range(20):
        try:
            call(tokens, times)
        except (TypeError, ValueError):
            pass
    before = refcounts(watched)
    for _ in range(500):
        try:
            call(tokens, times)
        except (TypeError, ValueError):
            pass
    assert refcounts(watched) == before
