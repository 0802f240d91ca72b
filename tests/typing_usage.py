"""Calls that test_typing.py both type-checks (mypy --strict, against the stub package) and runs.

The arguments take the forms the stubs promise beyond plain lists (tuples, NumPy arrays and scalars);
every result array goes through a function whose parameter has the type the stubs give it and which
checks the dtype at run time, so the stubs' dtypes stay the module's.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import zuldcore as zc
from zuldcore.corpus import Corpus


def i8(a: npt.NDArray[np.int8]) -> None:
    assert a.dtype == np.int8


def i32(a: npt.NDArray[np.int32]) -> None:
    assert a.dtype == np.int32


def i64(a: npt.NDArray[np.int64]) -> None:
    assert a.dtype == np.int64


def f64(a: npt.NDArray[np.float64]) -> None:
    assert a.dtype == np.float64


def run() -> None:
    tokens = np.array(["a", "b", "c", "a", "b"])
    times = (0, 1, 2, 3.5, np.float32(4))
    values = np.arange(5.0)

    p = zc.Pattern(max_dt=np.float64(10), ordered=np.True_, collector="collect_times")
    p.add_event("a", block_token=None, max_val=np.int64(9))
    p.add_event_set(("b", "x"), min_vals=np.array([0.0, 1.0]), require_nan_vals=[False, True])
    p.add_event_seq([("c",)], max_vals=[[9]])
    p.add_mapped_event(np.int64(0), {"a": {"match": ["b"], "max_dt": 2}}, default={"match": "c"})
    p.add_midstream_collector(np.array(["c"]), np.array([0]), (1,), collector="count")
    z = zc.Zuldor(p)
    d = z.match_stream(tokens, times, values, include_tokens=True)
    for positions in (d["m_start"], d["m_end"], d["el_stream_idx"]):
        i64(positions)
    for times_ in (d["t_start"], d["t_end"], d["el_times"]):
        f64(times_)
    assert isinstance(d["result"], list) and isinstance(d["mid_result"], np.ndarray)
    tokens_of_first: list[str | list[str]] = d["el_tokens"][0]
    assert tokens_of_first == ["a", "b", "c", "b"]
    assert len(z.preprocess(tokens, times)) == 5
    i64(z.match_preprocessed(z.preprocess(tokens, times, values))["m_start"])

    ids = np.array(zc.vocab_ids(tokens), dtype=np.uint32)
    b = z.match_batch(ids, values, np.array([0, 5]), values)
    i64(b["m_start"])
    i64(b["m_end"])
    f64(b["mid"])

    m = zc.StateMachine(out_name="idle")
    m.add_state("busy", max_gap=np.float64(2), gap_anchor="any_event", require=[["b", "c"]], min_events=np.int8(1))
    m.add_entry("busy", p, from_states=("idle",), anchor="start")
    m.add_exit("busy", [["b"]], inclusive=np.True_)
    s = zc.state_spans(tokens, times, m, values=values, include_invalid=False)
    i32(s["state"])
    for counts in (s["start_pos"], s["end_pos"], s["n_events"]):
        i64(counts)
    f64(s["t_start"])
    f64(s["t_end"])
    for codes in (s["close_reason"], s["reject_reason"], s["valid"], s["timeout_entered"]):
        i8(codes)
    assert zc.CLOSE_REASONS[0] == "exit_event" and m.state_names == ["idle", "busy"] and m.state_id("busy") == 1

    S = zc.AnnotationSpec
    columns = zc.annotate_stream(tokens, times, [
        S.future_occurrence("f", "a", 1),
        S.past_occurrence("p", ["a", "b"], np.float64(1), partial_window=True),
        S.before_event("b", p, "c", reset=False),
        S.in_span("i", "c", ("a", "b")),
        S.future_span_occurrence("fs", m.span("busy", valid_only=False), 2.0),
        S.past_span_occurrence("ps", p, 2.0),
        S.window_aggregate("w", "b", 1.0, agg="max", forward=False),
        S.span_aggregate("sa", "a", ("a", "b"), agg="count"),
        S.state_label("l", m, invalid_label=np.int16(-2)),
    ], values)
    # A column is typed int8, float64 or int32; which one is its kind's.
    assert {name: col.dtype.name for name, col in columns.items()} == {
        "f": "int8", "p": "int8", "b": "int8", "i": "int8", "fs": "int8", "ps": "int8",
        "w": "float64", "sa": "float64", "l": "int32"}

    c = Corpus(ids, values, np.array([0, 2, 5], dtype=np.int32), values=None)
    assert (len(c), c.n_docs, c.cases) == (5, 2, None)
    i64(c.offsets)
    cm = c.match(z, include_tokens=True, threads=1)
    i64(cm["doc"])
    i64(cm["el_stream_idx"])
    cs = c.state_spans(m, include_invalid=False, threads=None)
    i64(cs["doc"])
    i32(cs["state"])
    assert list(c.annotate([S.past_occurrence("p", "a", 1)], threads=2)) == ["p"]
