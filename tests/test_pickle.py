"""Pickling and copying by value. Random patterns, machines and specs (the model
tests' own strategies) must come back with the same repr, the same state
(written again, byte for byte) and the same results; a fresh interpreter,
whose token ids differ, must compute the same results; copies must be
independent; and a loader must refuse a malformed or hostile state with
TypeError, ValueError or OverflowError, never anything worse."""

import copy
import math
import pathlib
import pickle
import random
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import test_annotate_model
import test_state_model
import zuldcore
from helpers import Callback, Floaty, Lying, Raw, refcounts, run_python
from model import annotate as annotate_model
from model import build as build_pattern
from model import state as state_model
from model.search import assert_same_result
from model.strategies import corpus_data, pattern_data, stream_data
from zuldcore import AnnotationSpec as A
from zuldcore import Pattern, StateMachine, Zuldor

LOADERS = sys.modules["zuldcore._internal"]
INF, NAN = math.inf, math.nan
PROTOCOLS = st.sampled_from(range(pickle.HIGHEST_PROTOCOL + 1))


def round_trip(obj, protocol=pickle.DEFAULT_PROTOCOL):
    return pickle.loads(pickle.dumps(obj, protocol))


COPIERS = {"pickle": round_trip, "copy": copy.copy, "deepcopy": copy.deepcopy}
HOW = st.sampled_from(sorted(COPIERS))


def outcome(fn, *args, **kwargs):
    """The call's result, or its exception's type and text: a refusal is a result too."""
    try:
        return fn(*args, **kwargs)
    except (TypeError, ValueError) as e:
        return (type(e).__name__, str(e))


def assert_same_object(copied, original):
    assert type(copied) is type(original) and copied is not original
    assert repr(copied) == repr(original)
    assert pickle.dumps(copied) == pickle.dumps(original)  # its state reads back as written


# ---------------------------------------------------------------- random objects


@given(pattern_data(), st.lists(stream_data(), min_size=1, max_size=3), corpus_data(), HOW)
def test_patterns_travel_by_value(data, streams, corpus, how):
    p = build_pattern(data)
    q = COPIERS[how](p)
    assert_same_object(q, p)
    zp, zq = Zuldor(p), Zuldor(q)
    for s in streams:
        assert_same_result(outcome(zq.match_stream, s["tokens"], s["times"], s["values"], include_tokens=True),
                           outcome(zp.match_stream, s["tokens"], s["times"], s["values"], include_tokens=True))
    ids = np.array(zuldcore.vocab_ids(corpus["tokens"]), dtype=np.uint32)
    arrays = (ids, np.array(corpus["times"], dtype=np.float64), np.array(corpus["offsets"], dtype=np.int64),
              None if corpus["values"] is None else np.array(corpus["values"], dtype=np.float64))
    assert_same_result(outcome(zq.match_batch, *arrays), outcome(zp.match_batch, *arrays))


@given(test_state_model.machines(), st.none() | pattern_data(max_elements=2),
       st.lists(test_state_model.streams(), min_size=1, max_size=3), HOW, PROTOCOLS)
def test_machines_travel_by_value(data, trigger, streams, how, protocol):
    m = state_model.build(data)
    if trigger is not None:  # a Pattern trigger travels by value too
        m.add_entry(m.state_names[1], build_pattern(trigger), anchor="start")
    q = round_trip(m, protocol) if how == "pickle" else COPIERS[how](m)
    assert_same_object(q, m)
    assert q.state_names == m.state_names
    for tokens, times, values in streams:
        assert_same_result(outcome(zuldcore.state_spans, tokens, times, q, values),
                           outcome(zuldcore.state_spans, tokens, times, m, values))


@given(test_annotate_model.spec_lists(), st.lists(test_annotate_model.streams(), min_size=1, max_size=2),
       HOW)
def test_annotation_specs_travel_by_value(specs, streams, how):
    built = [annotate_model.build(spec) for spec in specs]  # patterns, machines and spans inside
    copies = round_trip(built) if how == "pickle" else [COPIERS[how](spec) for spec in built]
    for copied, original in zip(copies, built):
        assert_same_object(copied, original)
    for tokens, times, values in streams:
        assert_same_result(outcome(zuldcore.annotate_stream, tokens, times, copies, values),
                           outcome(zuldcore.annotate_stream, tokens, times, built, values))


# ---------------------------------------------------------------- odd values, another process

ODD = ["", "x\x00y", "\U0001f600", "\u00e9t\u00e9", "a" * 300, "b"]
ODD_FLOATS = [INF, -INF, NAN, -0.0, 5e-324, 1e308]


def odd_objects():
    """Every element kind and every odd value the builders take: empty, NUL and
    non-BMP strings, infinities, NaN and -0.0 in every float argument, 64
    elements, every collector, nested patterns, machines and spans."""
    e, nul, smile, ete, long_token, b = ODD
    p = Pattern(min_dt=-0.0, max_dt=NAN, min_at=-INF, max_at=1e308, collector="collect_pairs")
    p.add_event(smile, block_token=e, min_dt=-0.0, max_dt=INF, min_at=NAN, max_at=5e-324, backtrackable=False,
                min_val=-0.0, max_val=NAN, block_require_nan_val=True)
    p.add_event_set([e, nul, nul, long_token], block_tokens=[ete], min_vals=[NAN, -INF, 0.0, 1.0],
                    require_nan_vals=[True, False, False, False], block_max_vals=[-0.0])
    p.add_event_seq([[nul, smile], [nul, ete], [], [nul]], block_seqs=[], min_vals=[[1.0], [], [], [NAN]],
                    max_vals=[[2.0, INF], [], [], [NAN]])
    p.add_time_event(block_token=long_token, block_min_val=-INF, min_dt=NAN, max_dt=-0.0)
    p.add_dynamic_time_event(block_tokens=[e, b], block_require_nan_vals=[False, True], rel_min_dt=-INF,
                             rel_max_dt=NAN)
    p.add_dynamic_event(static_block_tokens=[smile], require_nan_val=True, max_dt=2.0)
    p.add_dynamic_event_set(static_match_tokens=[b], static_block_tokens=[e], match_from_last=True,
                            block_from_last=True, max_vals=[INF])
    p.add_mapped_event(0, {smile: {"match": e, "max_dt": 1.0, "min_val": [0.0]},
                           (nul, smile): {"match": [[b, e], [b]], "require_nan_val": [[False, True], [True]],
                                          "block": b, "block_min_val": [-0.0]},
                           e: {"match": [], "min_at": NAN}},
                       default={"match": [b, ete]}, backtrackable=False)
    for k in range(64 - 8):
        p.add_event(b if k % 2 else ete, max_dt=ODD_FLOATS[k % len(ODD_FLOATS)])
    p.add_midstream_collector([[nul, smile], [e]], start_after=[0, 65], stop_before=[63], collector="sum_times")

    m = StateMachine(out_name=nul)
    m.add_state(smile, max_gap=3.0, gap_anchor="entry", timeout_to=e, self_transition="restart",
                min_duration=-0.0, min_events=0, drop_unclosed=False, require=[[b, e], [[nul, smile]]])
    m.add_entry(smile, [b, smile], anchor="start")
    m.add_state(e, sustain=[[ete]], max_gap=NAN, require=[p])
    m.add_entry(e, p, from_states=[nul, smile])
    m.add_entry(e, [smile, b])  # the set above at another anchor: a trigger of its own
    m.add_exit(e, [b, smile, b])  # that one again: shared
    m.add_exit(smile, e, inclusive=False, anchor="start")
    m.add_exit(e, [[b]])
    span = m.span(smile, valid_only=False)
    specs = [
        A.future_occurrence(nul, [e, smile], -0.0, True),
        A.past_occurrence(e, p, INF),
        A.before_event(smile, [[nul, smile]], b, reset=False),
        A.in_span("i", e, (smile, nul)),
        A.future_span_occurrence("f", span, NAN, True),
        A.past_span_occurrence("p", p, 5e-324),
        A.window_aggregate("w", smile, 2.0, agg="count", forward=False, partial_window=True),
        A.span_aggregate("s", b, m.span(e), agg="min"),
        A.state_label("l", m, default_state=-7, invalid_label=2**31 - 1),
    ]
    small = Pattern(collector="collect_pairs", max_dt=4.0)  # one that matches on the stream below
    small.add_event(smile, min_val=-0.0)
    small.add_mapped_event(0, {smile: {"match": [b, nul]}}, default={"match": e})
    small.add_midstream_collector([e], start_after=[0], stop_before=[1], collector="count")
    return {"pattern": p, "zuldor": Zuldor(small), "machine": m, "span": span, "specs": specs}


def results(objects):
    """Everything the objects compute on one seeded stream of their tokens;
    match_batch takes the ids of the process it runs in."""
    rng = random.Random(3)
    tokens = [rng.choice(ODD) for _ in range(400)]
    times = [float(k // 3) for k in range(400)]
    values = [rng.choice([NAN, 0.0, 1.0, -1.0]) for _ in range(400)]
    z = objects["zuldor"]
    ids = np.array(zuldcore.vocab_ids(tokens), dtype=np.uint32)
    return {
        "reprs": [repr(objects[k]) for k in ("pattern", "machine", "span")] + [repr(s) for s in objects["specs"]],
        "stream": z.match_stream(tokens, times, values, include_tokens=True),
        "rebuilt": Zuldor(objects["pattern"]).match_stream(tokens, times, values),
        "batch": z.match_batch(ids, np.array(times), np.array([0, 100, 250, 400]), np.array(values)),
        "states": zuldcore.state_spans(tokens, times, objects["machine"], values),
        "annotations": zuldcore.annotate_stream(tokens, times, objects["specs"], values),
    }


def test_odd_values_survive_every_protocol():
    objects = odd_objects()
    expected = results(objects)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        loaded = round_trip(objects, protocol)
        for name in ("pattern", "machine", "span"):
            assert_same_object(loaded[name], objects[name])
        assert_same_result(results(loaded), expected)


def test_a_fresh_interpreter_computes_the_same_results():
    objects = odd_objects()
    out = run_python(f"""
        import pickle, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        import zuldcore
        zuldcore.vocab_ids([f"taken-{{k}}" for k in range(1000)])  # this process's ids differ
        from test_pickle import results
        objects = pickle.loads(bytes.fromhex({pickle.dumps(objects).hex()!r}))
        print(pickle.dumps(results(objects)).hex())
    """)
    assert_same_result(pickle.loads(bytes.fromhex(out)), results(objects))


def test_states_are_compact_and_deterministic():
    p = odd_objects()["pattern"]
    data = pickle.dumps(p)
    assert data.count(b"a" * 300) == 1  # a token is written once, then referred to
    assert pickle.dumps(round_trip(p)) == data == pickle.dumps(p)


def test_zuldor_pickles_as_its_pattern():
    p = Pattern(collector="count")
    p.add_event("a")
    make, (pattern,) = Zuldor(p).__reduce__()
    assert make is Zuldor and repr(pattern) == repr(p) and pickle.dumps(pattern) == pickle.dumps(p)


# ---------------------------------------------------------------- copies


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS)
def test_copies_are_independent(copier):
    p = Pattern()
    p.add_event("a")
    c = copier(p)
    c.add_event("b")
    p.add_event_set(["c"])
    p.add_event_set(["d"])
    assert "n_elements=3" in repr(p) and "n_elements=2" in repr(c)
    m = StateMachine()
    m.add_state("s")
    c = copier(m)
    c.add_state("t")
    m.add_entry("s", "x")
    assert m.state_names == ["out", "s"] and c.state_names == ["out", "s", "t"]
    assert repr(c) == 'StateMachine(states=["out", "s", "t"], entries=0, exits=0, triggers=0)'


def test_pickling_from_inside_a_builder_meets_a_borrow_error():
    p = Pattern()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        p.add_event("a", min_dt=Callback(lambda: pickle.dumps(p)))
    assert "n_elements=0" in repr(p)


# ---------------------------------------------------------------- hostile states


def nested(depth):
    value = "a"
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("loader, state, error, message", [
    ("pattern", [], TypeError,
     "cannot load Pattern: the state must be a tuple (version, arguments, calls), got 'list'"),
    ("pattern", (1, {}), TypeError,
     "cannot load Pattern: the state must be a tuple (version, arguments, calls), got a tuple of 2 items"),
    ("pattern", (True, {}, []), TypeError, "cannot load Pattern: the state's version must be an int, got 'bool'"),
    ("pattern", (2, {}, []), ValueError,
     "cannot load Pattern: unknown state version 2 (this zuldcore reads version 1); it was written by another "
     "version of zuldcore"),
    ("pattern", (2**70, {}, []), ValueError,
     "cannot load Pattern: unknown state version (this zuldcore reads version 1); it was written by another "
     "version of zuldcore"),
    ("pattern", (1, [], []), TypeError, "cannot load Pattern: the constructor's arguments must be a dict, got 'list'"),
    ("pattern", (1, {}, {}), TypeError, "cannot load Pattern: the calls must be a list, got 'dict'"),
    ("pattern", (1, {}, [("add_event",)]), TypeError,
     "cannot load Pattern: call 0 must be a tuple (method name, keyword arguments), got a tuple of 1 items"),
    ("pattern", (1, {}, [(3, {})]), TypeError,
     "cannot load Pattern: the method name of call 0 must be a str, got 'int'"),
    ("pattern", (1, {}, [("add_event", {"match_token": "a"}), ("__init__", {})]), ValueError,
     "cannot load Pattern: call 1 names '__init__', which is not a Pattern builder"),
    ("pattern", (1, {}, [("add_event", [])]), TypeError,
     "cannot load Pattern: the arguments of call 0 must be a dict, got 'list'"),
    ("pattern", (1, {}, [("add_event", {"match_token": "a", "min_dt": Floaty()})]), TypeError,
     "cannot load Pattern: the state holds a 'Floaty' object; a state holds only None, bool, int, float, str, "
     "tuple, list, dict, Pattern, StateMachine and StateSpan"),
    ("pattern", (1, {}, [("add_event", {"match_token": nested(20)})]), ValueError,
     "cannot load Pattern: the state nests more than 16 levels deep"),
    ("pattern", (1, {}, [("add_event", {"match_token": Lying(["a"])})]), TypeError,
     "cannot load Pattern: the state holds a 'Lying' object; a state holds only None, bool, int, float, str, "
     "tuple, list, dict, Pattern, StateMachine and StateSpan"),
    ("pattern", (1, {"collector": "nope"}, []), ValueError,
     "Unknown collector 'nope'. Choose: none, sum_times, count, collect_tokens, collect_times, collect_pairs"),
    ("pattern", (1, {}, [("add_event", {})]), TypeError, "add_event() missing required argument 'match_token' (pos 1)"),
    ("pattern", (1, {}, [("add_mapped_event", {"source_element": 2**64, "match_map": {}})]), OverflowError, None),
    ("state_machine", (1, {}, [("add_entry", {"state": "s", "trigger": "x"})]), ValueError,
     "Unknown state 's'. Declared: [\"out\"]"),
    ("state_machine", (1, {}, [("span", {"state": "s"})]), ValueError,
     "cannot load StateMachine: call 0 names 'span', which is not a StateMachine builder"),
    ("state_span", (1, "m", "s", True), TypeError,
     "cannot load StateSpan: the machine must be a StateMachine, got 'str'"),
    ("state_span", (1, StateMachine(), "out", True), ValueError, "'out' is the base state and has no spans"),
    ("annotation_spec", (1, "span", {}), ValueError,
     "cannot load AnnotationSpec: 'span' is not an AnnotationSpec constructor"),
    ("annotation_spec", (1, "in_span", {"name": "n", "x": "a", "span": ["a", "b"]}), TypeError,
     "Expected Pattern or (str, str) tuple for span argument"),
])
def test_malformed_states_are_refused_with_a_clear_error(loader, state, error, message):
    with pytest.raises(error) as info:
        getattr(LOADERS, loader)(state)
    if message is not None:
        assert str(info.value) == message


def test_a_failed_call_is_noted_where_notes_exist():
    with pytest.raises(TypeError) as info:
        LOADERS.pattern((1, {}, [("add_event", {"match_token": "a"}), ("add_event", {"match_token": 1})]))
    assert getattr(info.value, "__notes__", ["when loading a Pattern: call 1, add_event"]) == [
        "when loading a Pattern: call 1, add_event"]


def test_a_long_state_loads():
    p = LOADERS.pattern((1, {}, [("add_event", {"match_token": "a"})] * 100_000))
    assert repr(p) == "Pattern(n_elements=100000, ordered=true, collector=None, midstream=false)"


# ---------------------------------------------------------------- shared parts
#
# Pickle writes an object once and refers to it after: lists each holding K
# references to the next cost a few bytes a level. The loaders' check must
# walk each container once, and refuse exactly what a walk down every
# reference (the model below) refuses first.

TOO_DEEP = "cannot load {}: the state nests more than 16 levels deep"
PLAIN_TYPES = (type(None), bool, int, float, str)


def refusal(obj, what, budget, depth=0):
    """The first refusal of a walk down every reference, as (type, text), or None."""
    budget[0] -= 1
    if budget[0] < 0 or depth > 16:
        return None if budget[0] < 0 else ("ValueError", TOO_DEEP.format(what))
    if type(obj) in PLAIN_TYPES:
        return None
    if type(obj) not in (tuple, list, dict):
        return "TypeError", (f"cannot load {what}: the state holds a '{type(obj).__name__}' object; a state holds "
                             "only None, bool, int, float, str, tuple, list, dict, Pattern, StateMachine and StateSpan")
    items = [x for pair in obj.items() for x in pair] if type(obj) is dict else obj
    return next(filter(None, (refusal(x, what, budget, depth + 1) for x in items)), None)


def references(obj, seen):
    """One plus the references of each distinct container: what a walk that
    goes down each container once examines."""
    if type(obj) not in (tuple, list, dict) or id(obj) in seen:
        return 1
    seen.add(id(obj))
    items = [x for pair in obj.items() for x in pair] if type(obj) is dict else obj
    return 1 + sum(references(x, seen) for x in items)


def load_shared(loader, state):
    """The outcome of loading `state` through a real pickle, whose memo shares
    what the state shares, and the objects the check examined."""
    data = pickle.dumps(Raw(getattr(LOADERS, loader), state), protocol=2)
    before = LOADERS.state_check_visits()
    outcome_ = outcome(pickle.loads, data)
    assert LOADERS.state_check_visits() - before <= references(state, set())
    return outcome_, len(data)


def shared_lists(k, levels, leaf="a"):
    for _ in range(levels):
        leaf = [leaf] * k
    return leaf


@pytest.mark.parametrize("k, levels, outcome_", [
    (6, 13, ("TypeError", "argument 'min_dt': must be real number, not list")),  # 6**13 items in 267 bytes
    (40, 14, ("TypeError", "argument 'min_dt': must be real number, not list")),  # at the nesting cap
    (40, 15, ("ValueError", TOO_DEEP.format("Pattern"))),
])
def test_shared_lists_are_checked_once(k, levels, outcome_):
    assert load_shared("pattern", (1, {"min_dt": shared_lists(k, levels)}, []))[0] == outcome_


@st.composite
def shared_parts(draw):
    """Containers built over each other, sharing parts; some nested deep
    (met again deeper than first), some closed into a cycle."""
    pool = [draw(st.sampled_from([None, 1.5, "s", Floaty()]))]
    for _ in range(draw(st.integers(1, 7))):
        items = [pool[i] for i in draw(st.lists(st.integers(0, len(pool) - 1), max_size=3))]
        kind = draw(st.sampled_from([list, tuple, dict, shared_lists]))
        if kind is shared_lists:
            pool.append(shared_lists(1, draw(st.integers(1, 15)), items[0] if items else "s"))
        else:
            pool.append(dict(enumerate(items)) if kind is dict else kind(items))
        lists = [x for x in pool if type(x) is list]
        if draw(st.integers(0, 9)) == 0 and lists:
            lists[draw(st.integers(0, len(lists) - 1))].append(pool[-1])
    return pool[-1]


@given(shared_parts(), st.booleans())
def test_shared_parts_are_refused_as_a_walk_down_every_reference_refuses_them(part, in_a_call):
    state = (1, {}, [("add_state", {"name": part})]) if in_a_call else (1, {"out_name": part}, [])
    budget = [100_000]
    want = refusal(state, "StateMachine", budget)
    got = load_shared("state_machine", state)[0]
    if want is not None:
        assert got == want
    elif budget[0] >= 0:
        assert not (isinstance(got, tuple) and got[1].startswith("cannot load StateMachine: the state"))


PLAIN = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=3)
    | st.sampled_from(["add_event", "add_state", "add_entry", "in_span", "match", "trigger", "min_dt", "s"]),
    lambda inner: st.lists(inner, max_size=3) | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(st.text(max_size=3) | st.sampled_from(["match_token", "name", "state"]), inner, max_size=3),
    max_leaves=12)
HOSTILE = PLAIN | st.sampled_from([Floaty(), Callback(lambda: 1 / 0), Lying(["a"]), object(), b"a", {1}, range(3)])


def valid_states():
    objects = odd_objects()
    return [objects["pattern"], objects["machine"], objects["span"], *objects["specs"]]


VALID = valid_states()
# Each class as often as the others: the pattern, the machine, the span, a spec.
VALID_STATE = st.integers(0, 3).flatmap(lambda k: st.sampled_from(VALID[k:k + 1] if k < 3 else VALID[3:]))


@st.composite
def mutated(draw, value, depth=0):
    """`value` with one part replaced, dropped or repeated: the walk goes down
    through containers (always past the outer tuple) and replaces what it ends on."""
    if isinstance(value, (list, tuple, dict)) and value and depth < 7 and (depth < 2 or draw(st.integers(0, 4))):
        items = dict(value) if isinstance(value, dict) else list(value)
        if isinstance(value, dict):
            key = draw(st.sampled_from(sorted(items, key=repr)))
        else:  # the outer tuple's version now and then, mostly what follows it
            key = draw(st.integers(1 if depth == 0 and draw(st.integers(0, 9)) else 0, len(items) - 1))
        action = "mutate" if depth == 0 else draw(st.sampled_from(["mutate", "mutate", "drop", "repeat"]))
        if action == "mutate":
            items[key] = draw(mutated(items[key], depth + 1))
        elif action == "drop":
            del items[key]
        elif isinstance(items, list):
            items.insert(key, items[key])
        return items if isinstance(value, (dict, list)) else tuple(items)
    return draw(HOSTILE)


@given(st.data())
def test_mutated_states_load_or_raise_ordinary_errors(data):
    original = data.draw(VALID_STATE)
    loader, (state,) = original.__reduce__()
    try:
        loaded = loader(data.draw(mutated(state)))
    except (TypeError, ValueError, OverflowError):
        return
    assert type(loaded) is type(original)


@given(st.sampled_from(["pattern", "state_machine", "state_span", "annotation_spec"]), HOSTILE)
def test_arbitrary_states_load_or_raise_ordinary_errors(loader, state):
    for candidate in (state, (1, state, state), (1, {}, state), (1, "in_span", state)):
        try:
            getattr(LOADERS, loader)(candidate)
        except (TypeError, ValueError, OverflowError):
            pass


def test_reducing_and_loading_keep_reference_counts():
    objects = valid_states()
    states = [obj.__reduce__()[1][0] for obj in objects]
    bad = (1, {"collector": "nope"}, [])
    watched = [*objects, *states, bad, LOADERS.pattern, LOADERS.annotation_spec]

    def calls():
        for obj in objects:
            loader, (state,) = obj.__reduce__()
            loader(state)
        with pytest.raises(ValueError):
            LOADERS.pattern(bad)

    calls()  # warm caches
    before = refcounts(watched)
    for _ in range(200):
        calls()
    assert refcounts(watched) == before
