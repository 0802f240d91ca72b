"""StateMachine, StateSpan and state_spans where the model cannot speak:
signatures, docstrings, reprs, exact messages in their order, dtypes,
borrow conflicts, snapshots and reference counts. What the run computes is
checked against the model in test_state_model.py."""

import inspect
import sys

import numpy as np
import pytest

import zuldcore
from zuldcore import Pattern, StateMachine

INF = float("inf")
NAN = float("nan")
EXPECTED_TYPE = (
    "Expected str (single token), list[str] (token set), list[list[str]] (same-timestamp sequences), "
    "or Pattern"
)
MIXED = (
    "Mixed list of str and list[str]. Use list[str] for a token set or list[list[str]] for "
    "same-timestamp sequences, not both."
)
COLUMNS = [
    ("state", np.int32), ("start_pos", np.int64), ("end_pos", np.int64), ("t_start", np.float64),
    ("t_end", np.float64), ("n_events", np.int64), ("close_reason", np.int8),
    ("reject_reason", np.int8), ("valid", np.int8), ("timeout_entered", np.int8),
]


def machine(*states):
    m = StateMachine()
    for s in states:
        m.add_state(s)
    return m


class TestSurface:
    @pytest.mark.parametrize(
        "method, signature",
        [
            ("add_state", "(name, max_gap=Ellipsis, gap_anchor='sustain', sustain=None, self_transition='refresh', "
                          "min_duration=0.0, min_events=1, require=None, drop_unclosed=True, timeout_to=None)"),
            ("add_entry", "(state, trigger, from_states=None, anchor='end')"),
            ("add_exit", "(state, trigger, inclusive=True, anchor='end')"),
            ("state_id", "(name)"),
            ("span", "(state, valid_only=True)"),
        ],
    )
    def test_signatures(self, method, signature):
        assert str(inspect.signature(getattr(StateMachine(), method))) == signature

    def test_docstrings(self):
        assert StateMachine.add_entry.__doc__.splitlines()[2:5] == [
            "trigger: str | list[str] | list[list[str]] | Pattern.",
            'anchor:  "end" (default) fires when the trigger completes; "start" when',
            "         it begins.  Either way the entered state owns the whole span.",
        ]
        state_doc = StateMachine.add_state.__doc__.splitlines()
        assert state_doc[:3] == ["Declare a state.", "", "max_gap:         expire the state if its clock is not re-anchored within"]
        assert state_doc[-1] == "                 in state_spans; it may be declared later."
        assert StateMachine.add_exit.__doc__ == (
            "Leave `state` when `trigger` fires, returning to the base state.\n\n"
            "inclusive=True (default) gives the triggering span to the closing state."
        )
        assert StateMachine.state_names.__doc__ == "State names indexed by id; `state_names[0]` is the base state."
        assert StateMachine.span.__doc__.startswith("A span reference over this machine's occupancy of `state`")

    def test_repr_and_names(self):
        m = StateMachine(out_name='o"\n')
        m.add_state("a\\")
        m.add_entry("a\\", "x")
        m.add_exit("a\\", "x")
        assert repr(m) == r'StateMachine(states=["o\"\n", "a\\"], entries=1, exits=1, triggers=1)'
        assert m.state_names == ['o"\n', "a\\"] and m.state_id("a\\") == 1 and m.state_id('o"\n') == 0

    def test_state_span_has_no_constructor_and_keeps_its_snapshot(self):
        m = machine("a")
        m.add_entry("a", "x")
        span = m.span("a", valid_only=False)
        assert repr(span) == 'StateSpan(state="a", valid_only=false)'
        m.add_state("b")
        del m
        assert repr(span) == 'StateSpan(state="a", valid_only=false)'
        with pytest.raises(TypeError, match="^No constructor defined$"):
            type(span)()


class TestMessages:
    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda m: m.add_state("out", gap_anchor="bad"), ValueError, "Duplicate state name 'out'"),
            (lambda m: m.add_state("a"), ValueError, "Duplicate state name 'a'"),
            (lambda m: m.add_state("b", gap_anchor="Sustain", self_transition="x"), ValueError,
             "Unknown gap_anchor 'Sustain'. Choose: sustain, any_event, entry"),
            (lambda m: m.add_state("b", self_transition="x", timeout_to="b"), ValueError,
             "Unknown self_transition 'x'. Choose: refresh, restart, ignore"),
            (lambda m: m.add_state("b", timeout_to="a", sustain=3), ValueError,
             "State 'b' has timeout_to='a' but no finite max_gap, so it never expires and timeout_to would never apply."),
            (lambda m: m.add_state("b", max_gap=NAN, timeout_to="a"), ValueError,
             "State 'b' has timeout_to='a' but no finite max_gap, so it never expires and timeout_to would never apply."),
            (lambda m: m.add_state("b", max_gap=1.0, timeout_to="b", sustain=3), ValueError,
             "State 'b' cannot time out into itself."),
            (lambda m: m.add_state("b", sustain=3, require=[[]]), TypeError, EXPECTED_TYPE),
            (lambda m: m.add_state("b", require=["x", []]), ValueError, "Token reference list must not be empty"),
            (lambda m: m.add_state("b", require="x"), TypeError, "argument 'require': Can't extract `str` to `Vec`"),
            (lambda m: m.add_state("b", min_events=-1), OverflowError,
             "argument 'min_events': out of range for an unsigned 64-bit integer"),
            (lambda m: m.add_state("b", drop_unclosed=1), TypeError, "argument 'drop_unclosed': expected bool, got 'int'"),
            (lambda m: m.add_entry("zz", 3, from_states=["nope"]), ValueError,
             "Unknown state 'zz'. Declared: [\"out\", \"a\"]"),
            (lambda m: m.add_entry("out", 3), ValueError, "Cannot add an entry rule for the base state 'out'"),
            (lambda m: m.add_entry("a", 3, from_states=["out", "nope"], anchor="x"), ValueError,
             "Unknown state 'nope'. Declared: [\"out\", \"a\"]"),
            (lambda m: m.add_entry("a", 3, anchor="End"), ValueError, "Unknown anchor 'End'. Choose: end, start"),
            (lambda m: m.add_entry("a", None), TypeError, EXPECTED_TYPE),
            (lambda m: m.add_entry("a", {"x": 1}), TypeError, EXPECTED_TYPE),
            (lambda m: m.add_entry("a", []), ValueError, "Token reference list must not be empty"),
            (lambda m: m.add_entry("a", [["x"], []]), ValueError, "Token sequences must not be empty"),
            (lambda m: m.add_entry("a", ["x", ["y"]]), TypeError, MIXED),
            (lambda m: m.add_entry("a", [["x"], 3]), TypeError, "argument 'trigger': expected a sequence, got 'int'"),
            (lambda m: m.add_entry("a", "x", from_states="a"), TypeError,
             "argument 'from_states': Can't extract `str` to `Vec`"),
            (lambda m: m.add_exit("out", 3), ValueError, "Cannot add an exit rule for the base state 'out'"),
            (lambda m: m.add_exit("a", 3, anchor="x"), ValueError, "Unknown anchor 'x'. Choose: end, start"),
            (lambda m: m.add_exit("a", "x", inclusive=0), TypeError, "argument 'inclusive': expected bool, got 'int'"),
            (lambda m: m.span("out"), ValueError, "'out' is the base state and has no spans"),
            (lambda m: m.span("b"), ValueError, "Unknown state 'b'. Declared: [\"out\", \"a\"]"),
            (lambda m: m.state_id(1), TypeError, "argument 'name': expected str, got 'int'"),
        ],
    )
    def test_first_failure_is_raised_and_nothing_changes(self, call, error, message):
        m = machine("a")
        m.add_entry("a", "x")
        before = repr(m)
        with pytest.raises(error) as info:
            call(m)
        assert str(info.value) == message
        assert repr(m) == before
        assert zuldcore.state_spans(["x"], [0.0], m)["state"].tolist() == [1]

    def test_errors_of_a_sequence_pass_through(self):
        class Broken(list):
            def __len__(self):
                raise KeyError("len")

        class BadItem(list):
            def __getitem__(self, i):
                raise LookupError("item")

        m = machine("a")
        with pytest.raises(KeyError, match="len"):
            m.add_entry("a", Broken(["x"]))
        with pytest.raises(LookupError, match="item"):
            m.add_entry("a", BadItem(["x"]))
        assert repr(m) == 'StateMachine(states=["out", "a"], entries=0, exits=0, triggers=0)'

    @pytest.mark.parametrize(
        "build, message",
        [
            (lambda m: m.add_state("a", max_gap=1.0, timeout_to="zz"),
             "State 'a' has timeout_to='zz', which is not a declared state. Declared: [\"out\", \"a\"]"),
            (lambda m: (m.add_state("c", max_gap=1.0, timeout_to="a"), m.add_state("a", max_gap=1.0, timeout_to="b"),
                        m.add_state("b", max_gap=1.0, timeout_to="a")),
             "timeout_to forms a cycle: a -> b -> a. A state reached only by timeout has no evidence of its own, "
             "so with no new data the patient would alternate between these states indefinitely."),
        ],
    )
    def test_declaration_errors_surface_at_use(self, build, message):
        m = StateMachine()
        build(m)
        for use in (lambda: zuldcore.state_spans([], [], m), lambda: m.span(m.state_names[1])):
            with pytest.raises(ValueError) as info:
                use()
            assert str(info.value) == message

    def test_timeout_to_the_base_state_is_no_timeout(self):
        m = StateMachine()
        m.add_state("a", max_gap=1.0, timeout_to="out")
        m.add_entry("a", "x")
        d = zuldcore.state_spans(["x", "y"], [0.0, 5.0], m)
        assert d["state"].tolist() == [1] and d["close_reason"].tolist() == [1]


class TestTriggers:
    def test_identity_keys(self):
        m = machine("a")
        m.add_entry("a", "x")
        m.add_exit("a", "x")                    # shares the entry's trigger
        m.add_exit("a", "x", anchor="start")    # another anchor: another trigger
        m.add_entry("a", ["b", "a", "a"])
        m.add_exit("a", ["a", "b"])             # the same set
        m.add_exit("a", ["x"])                  # a one-member set is not the token
        p = Pattern()
        p.add_event("x")
        m.add_exit("a", p)
        m.add_exit("a", p)                      # patterns are never shared
        assert repr(m).endswith("entries=2, exits=6, triggers=6)")

    def test_set_members_cannot_run_together(self):
        # Joining members with a separator would make these one trigger.
        m = machine("a", "b")
        m.add_entry("a", ["p\x01q"])
        m.add_entry("b", ["p", "q"])
        d = zuldcore.state_spans(["p\x01q", "p", "q", "p\x01q"], [0.0, 1.0, 2.0, 3.0], m)
        assert repr(m).endswith("triggers=2)")
        assert d["state"].tolist() == [1, 2, 1] and d["start_pos"].tolist() == [0, 1, 3]

    @pytest.mark.parametrize("n, message", [(64, None), (65, "Too many distinct triggers: 65 (maximum 64)")])
    def test_trigger_limit_at_use(self, n, message):
        m = machine("a")
        for k in range(n):
            m.add_entry("a", f"t{k}")
        for tokens in ([], ["t0", "t63"]):
            if message is None:
                zuldcore.state_spans(tokens, [0.0] * len(tokens), m)
            else:
                with pytest.raises(ValueError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
                    zuldcore.state_spans(tokens, [0.0] * len(tokens), m)

    def test_large_pattern_fails_when_points_are_computed(self):
        p = Pattern()
        for _ in range(65):
            p.add_event("x")
        m = machine("a")
        m.add_entry("a", p)
        with pytest.raises(ValueError, match="^Pattern has 65 elements; maximum is 64$"):
            zuldcore.state_spans(["x"], [0.0], m)

    def test_pattern_trigger_is_a_snapshot(self):
        p = Pattern()
        p.add_event("x")
        m = machine("a")
        m.add_entry("a", p)
        p.add_event("never")
        assert zuldcore.state_spans(["x"], [0.0], m)["state"].tolist() == [1]


class TestStateSpans:
    def test_empty_stream_columns(self):
        d = zuldcore.state_spans([], [], StateMachine())
        assert [(k, v.dtype, v.shape) for k, v in d.items()] == [(k, np.dtype(t), (0,)) for k, t in COLUMNS]

    def test_include_invalid(self):
        m = machine("a")
        m.add_entry("a", "x")
        m.add_exit("a", "y")
        tokens, times = ["x", "y", "x"], [0.0, 1.0, 2.0]
        d = zuldcore.state_spans(tokens, times, m)
        assert d["valid"].tolist() == [1, 0] and d["reject_reason"].tolist() == [0, 1]
        assert [zuldcore.CLOSE_REASONS[r] for r in d["close_reason"]] == ["exit_event", "end_of_stream"]
        d = zuldcore.state_spans(tokens, times, m, values=[1.0, 2.0, 3.0], include_invalid=False)
        assert d["valid"].tolist() == [1] and d["end_pos"].tolist() == [1]

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"machine": None}, TypeError, "argument 'machine': expected StateMachine, got 'NoneType'"),
            ({"include_invalid": 1}, TypeError, "argument 'include_invalid': expected bool, got 'int'"),
            ({"times": [0.0, 1.0]}, ValueError, "times has length 2 but tokens has length 1"),
        ],
    )
    def test_argument_errors(self, kwargs, error, message):
        args = {"tokens": ["x"], "times": [0.0], "machine": StateMachine(), **kwargs}
        with pytest.raises(error) as info:
            zuldcore.state_spans(**args)
        assert str(info.value) == message

    @pytest.mark.parametrize("value", [1e308, INF, -INF, NAN, -1.0, 0.0])
    def test_extreme_durations_are_defined(self, value):
        m = StateMachine()
        m.add_state("a", max_gap=value, min_duration=value, timeout_to="b" if np.isfinite(value) else None)
        m.add_state("b", max_gap=value, gap_anchor="any_event")
        m.add_entry("a", "x")
        d = zuldcore.state_spans(["x", "y", "x", "x"], [0.0, 1.0, 1e300, INF], m)
        assert len(set(map(len, d.values()))) == 1


class Reenter:
    """A float whose conversion calls back into the machine being used."""

    def __init__(self, m, action):
        self.m, self.action = m, action

    def __float__(self):
        self.action(self.m)
        return 1.0


@pytest.mark.parametrize(
    "action, message",
    [(lambda m: m.add_state("zz"), "Already borrowed"), (lambda m: repr(m), "Already mutably borrowed")],
)
def test_callbacks_meet_a_borrow_error(action, message):
    m = machine("a")
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        m.add_state("b", max_gap=Reenter(m, action))
    assert m.state_names == ["out", "a"]


def test_calls_keep_reference_counts():
    m = machine("a")
    m.add_entry("a", ["x", "y"])
    tokens, times, values = ["x", "y"], [0.0, 1.0], [1.0, 2.0]
    watched = [m, tokens, times, values, tokens[0]]
    calls = [
        lambda: zuldcore.state_spans(tokens, times, m, values),
        lambda: zuldcore.state_spans(tokens, times, m, include_invalid=1),
        lambda: m.add_entry("a", tokens, anchor="bad"),
        lambda: m.span("a"),
    ]
    for call in calls * 10:
        try:
            call()
        except (TypeError, ValueError):
            pass
    before = [sys.getrefcount(o) for o in watched]
    for call in calls * 200:
        try:
            call()
        except (TypeError, ValueError):
            pass
    assert [sys.getrefcount(o) for o in watched] == before


def test_threads_share_one_machine():
    # The run gives up the interpreter lock; concurrent calls must still agree.
    from concurrent.futures import ThreadPoolExecutor

    m = machine("a")
    m.add_entry("a", ["x", "y"])
    m.add_exit("a", "z", inclusive=False)
    rng = np.random.default_rng(3)
    tokens = rng.choice(["x", "y", "z", "w"], 20_000).tolist()
    times = np.cumsum(rng.random(20_000)).tolist()
    want = {k: v.tolist() for k, v in zuldcore.state_spans(tokens, times, m).items()}
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda _: zuldcore.state_spans(tokens, times, m), range(16)))
    assert all({k: v.tolist() for k, v in d.items()} == want for d in got)
