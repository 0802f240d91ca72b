"""The Pattern class itself: constructor, defaults, repr, collector names, its surface, and borrows."""

import inspect
import math

import numpy as np
import pytest

import zuldcore
from zuldcore import Pattern

from helpers import Callback, Floaty

COLLECTORS = [
    ("none", "None"),
    ("sum_times", "SumTimes"),
    ("count", "Count"),
    ("collect_tokens", "CollectTokens"),
    ("collect_times", "CollectTimes"),
    ("collect_pairs", "CollectPairs"),
]
UNKNOWN = "Unknown collector '{}'. Choose: none, sum_times, count, collect_tokens, collect_times, collect_pairs"
BOUNDS = ["min_dt", "max_dt", "min_at", "max_at"]
BUILDERS = [
    "add_dynamic_event",
    "add_dynamic_event_set",
    "add_dynamic_time_event",
    "add_event",
    "add_event_seq",
    "add_event_set",
    "add_mapped_event",
    "add_midstream_collector",
    "add_time_event",
]


class TestConstructor:
    def test_defaults(self):
        assert repr(Pattern()) == "Pattern(n_elements=0, ordered=true, collector=None, midstream=false)"

    @pytest.mark.parametrize("name, variant", COLLECTORS)
    def test_every_collector_name(self, name, variant):
        assert repr(Pattern(collector=name)) == (
            f"Pattern(n_elements=0, ordered=true, collector={variant}, midstream=false)"
        )

    @pytest.mark.parametrize("name", ["Count", "NONE", " none", "none ", "", "sum-times", "collect"])
    def test_collector_names_are_exact_and_case_sensitive(self, name):
        with pytest.raises(ValueError) as info:
            Pattern(collector=name)
        assert str(info.value) == UNKNOWN.format(name)

    def test_ordered_false(self):
        assert repr(Pattern(ordered=False)) == (
            "Pattern(n_elements=0, ordered=false, collector=None, midstream=false)"
        )

    def test_all_arguments_by_position(self):
        p = Pattern(1.0, 2.0, -3.0, 4.0, False, "count")
        assert repr(p) == "Pattern(n_elements=0, ordered=false, collector=Count, midstream=false)"

    @pytest.mark.parametrize("bound", BOUNDS)
    @pytest.mark.parametrize(
        "value",
        [0, -5, 7, 2.5, math.nan, math.inf, -math.inf, np.float64(1.5), np.int32(3), np.float32(0.5), Floaty(2.0), True],
    )
    def test_bounds_take_anything_float_converts(self, bound, value):
        Pattern(**{bound: value})

    @pytest.mark.parametrize("bound", BOUNDS)
    @pytest.mark.parametrize("value", ["1.0", None, [1.0], object(), b"1", 1j])
    def test_bound_of_wrong_type_names_the_parameter(self, bound, value):
        with pytest.raises(TypeError, match=f"^argument '{bound}': "):
            Pattern(**{bound: value})

    @pytest.mark.parametrize("bound", BOUNDS)
    def test_integer_too_large_for_a_float_is_an_overflow(self, bound):
        with pytest.raises(OverflowError):
            Pattern(**{bound: 10**400})

    def test_float_conversion_errors_other_than_type_errors_pass_through(self):
        class Boom:
            def __float__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="^boom$"):
            Pattern(max_dt=Boom())

    def test_type_error_from_float_conversion_names_the_parameter_and_keeps_the_cause(self):
        class Refuses:
            def __float__(self):
                raise TypeError("no float for you")

        with pytest.raises(TypeError) as info:
            Pattern(min_at=Refuses())
        assert str(info.value) == "argument 'min_at': no float for you"
        assert isinstance(info.value.__cause__, TypeError)
        assert str(info.value.__cause__) == "no float for you"

    @pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)])
    def test_ordered_takes_bools(self, value):
        expected = "true" if value else "false"
        assert f"ordered={expected}" in repr(Pattern(ordered=value))

    @pytest.mark.parametrize("value", [0, 1, None, "True", 1.0, np.int64(1)])
    def test_ordered_refuses_non_bools(self, value):
        with pytest.raises(TypeError, match="^argument 'ordered': expected bool"):
            Pattern(ordered=value)

    @pytest.mark.parametrize("value", [None, 3, b"count", ["count"]])
    def test_collector_must_be_a_str(self, value):
        with pytest.raises(TypeError, match="^argument 'collector': expected str"):
            Pattern(collector=value)

    def test_str_subclass_is_a_collector_name(self):
        class Name(str):
            pass

        assert "collector=Count" in repr(Pattern(collector=Name("count")))

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: Pattern(0.0, 1.0, 2.0, 3.0, True, "none", 7), "Pattern() takes at most 6 positional arguments (7 given)"),
            (lambda: Pattern(mindt=1.0), "Pattern() got an unexpected keyword argument 'mindt'"),
            (lambda: Pattern(1.0, min_dt=1.0), "argument for Pattern() given by name ('min_dt') and position (1)"),
        ],
    )
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_arguments_are_converted_in_signature_order(self):
        with pytest.raises(TypeError, match="^argument 'max_dt'"):
            Pattern(collector=5, ordered=1, max_at="x", max_dt="x")

    def test_unknown_collector_is_checked_after_the_conversions(self):
        with pytest.raises(TypeError, match="^argument 'ordered'"):
            Pattern(ordered=0, collector="bogus")


class TestRepr:
    def test_counts_elements_and_shows_midstream(self):
        p = Pattern(collector="sum_times")
        p.add_event("a")
        p.add_time_event()
        assert repr(p) == "Pattern(n_elements=2, ordered=true, collector=SumTimes, midstream=false)"
        p.add_midstream_collector(["a"], [], [])
        assert repr(p) == "Pattern(n_elements=2, ordered=true, collector=SumTimes, midstream=true)"

    def test_str_is_repr(self):
        p = Pattern()
        assert str(p) == repr(p)

    def test_builders_accept_more_than_64_elements(self):
        p = Pattern()
        for _ in range(65):
            p.add_event("a")
        assert "n_elements=65" in repr(p)


class TestSurface:
    def test_only_the_nine_builders_are_public(self):
        assert [n for n in dir(Pattern) if not n.startswith("_")] == BUILDERS

    def test_no_attributes_on_instances(self):
        p = Pattern()
        with pytest.raises(AttributeError):
            p.min_dt = 1.0
        assert not hasattr(p, "__dict__")

    def test_cannot_subclass(self):
        with pytest.raises(TypeError):
            type("Sub", (Pattern,), {})

    def test_object_new_cannot_make_an_unbuilt_pattern(self):
        with pytest.raises(TypeError):
            object.__new__(Pattern)

    def test_reinitialising_does_not_reset(self):
        p = Pattern()
        p.add_event("a")
        p.__init__()
        assert "n_elements=1" in repr(p)

    @pytest.mark.parametrize(
        "name, text",
        [
            (
                "add_event",
                "(self, /, match_token, block_token=None, min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, "
                "max_at=Ellipsis, backtrackable=True, min_val=Ellipsis, max_val=Ellipsis, require_nan_val=False, "
                "block_min_val=Ellipsis, block_max_val=Ellipsis, block_require_nan_val=False)",
            ),
            (
                "add_event_set",
                "(self, /, match_tokens, block_tokens=None, min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, "
                "max_at=Ellipsis, backtrackable=True, min_vals=None, max_vals=None, require_nan_vals=None, "
                "block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)",
            ),
            (
                "add_event_seq",
                "(self, /, match_seqs, block_seqs=None, min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, "
                "max_at=Ellipsis, backtrackable=True, min_vals=None, max_vals=None, require_nan_vals=None, "
                "block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)",
            ),
            (
                "add_time_event",
                "(self, /, block_token=None, min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, max_at=Ellipsis, "
                "backtrackable=True, block_min_val=Ellipsis, block_max_val=Ellipsis, block_require_nan_val=False, "
                "block_tokens=None, block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)",
            ),
            (
                "add_dynamic_event",
                "(self, /, static_block_tokens=None, min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, max_at=Ellipsis, "
                "backtrackable=True, min_val=Ellipsis, max_val=Ellipsis, require_nan_val=False, block_min_vals=None, "
                "block_max_vals=None, block_require_nan_vals=None)",
            ),
            (
                "add_dynamic_event_set",
                "(self, /, static_match_tokens=None, static_block_tokens=None, match_from_last=False, "
                "block_from_last=False, min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, max_at=Ellipsis, "
                "backtrackable=True, min_vals=None, max_vals=None, require_nan_vals=None, block_min_vals=None, "
                "block_max_vals=None, block_require_nan_vals=None)",
            ),
            (
                "add_dynamic_time_event",
                "(self, /, block_token=None, rel_min_dt=0.0, rel_max_dt=Ellipsis, min_at=Ellipsis, max_at=Ellipsis, "
                "backtrackable=True, block_min_val=Ellipsis, block_max_val=Ellipsis, block_require_nan_val=False, "
                "block_tokens=None, block_min_vals=None, block_max_vals=None, block_require_nan_vals=None)",
            ),
            ("add_mapped_event", "(self, /, source_element, match_map, default=None, backtrackable=True)"),
            (
                "add_midstream_collector",
                "(self, /, match_tokens, start_after, stop_before, collector='collect_tokens')",
            ),
        ],
    )
    def test_builder_signatures(self, name, text):
        assert str(inspect.signature(getattr(Pattern, name))) == text

    @pytest.mark.parametrize("name", sorted(set(BUILDERS) - {"add_mapped_event", "add_midstream_collector"}))
    def test_builders_without_docstrings(self, name):
        assert getattr(Pattern, name).__doc__ is None

    def test_midstream_collector_docstring(self):
        assert Pattern.add_midstream_collector.__doc__ == (
            "`match_tokens` accepts `list[str]` for single tokens, or `list[list[str]]`\n"
            "for same-timestamp sequences.  The sequence form is needed when one\n"
            "logical item spans several tokens, since collecting only its first token\n"
            "would not identify it."
        )

    def test_mapped_event_docstring(self):
        doc = Pattern.add_mapped_event.__doc__
        assert doc.splitlines()[0] == "Add a mapped (fully dynamic) element."
        for phrase in (
            "source_element",
            "dict[str, dict] mapping source token \u2192 event spec.",
            '"match"',
            '"block"',
            '"min_dt", "max_dt"',
            '"min_at", "max_at"',
            "for the rest of the branch",
            "optional fallback spec used when source token is not in match_map.",
            "If None (default), paths whose source token is absent are abandoned.",
            "p.add_mapped_event(0, {",
        ):
            assert phrase in doc, phrase

    def test_mapped_event_docstring_example_runs(self):
        doc = Pattern.add_mapped_event.__doc__
        example = doc[doc.index("Example::") + len("Example::"):]
        code = "\n".join(line[4:] for line in example.splitlines())
        scope = {"Pattern": Pattern}
        exec(code, scope)
        assert repr(scope["p"]) == "Pattern(n_elements=2, ordered=true, collector=None, midstream=false)"


# A callback that runs while a builder converts its arguments reaches the pattern being built.
def calls_builder(p):
    return lambda: p.add_event("callback-token")


def calls_repr(p):
    return lambda: repr(p)


class TestBorrows:
    @pytest.mark.parametrize(
        "make_action, message",
        [(calls_builder, "Already borrowed"), (calls_repr, "Already mutably borrowed")],
    )
    def test_callback_into_the_pattern_meets_a_borrow_error(self, make_action, message):
        p = Pattern()
        p.add_event("a")
        before = repr(p)
        with pytest.raises(RuntimeError) as info:
            p.add_event("b", min_dt=Callback(make_action(p)))
        assert str(info.value) == message
        assert repr(p) == before

    def test_the_borrow_is_released_after_an_error(self):
        p = Pattern()
        with pytest.raises(RuntimeError):
            p.add_event("b", min_dt=Callback(calls_builder(p)))
        p.add_event("b")
        assert "n_elements=1" in repr(p)

    def test_a_callback_that_swallows_the_borrow_error_adds_nothing_itself(self):
        p = Pattern()
        seen = []

        def try_to_add():
            try:
                p.add_event("x")
            except RuntimeError as e:
                seen.append(str(e))

        p.add_event("b", min_dt=Callback(try_to_add))
        assert seen == ["Already borrowed"]
        assert "n_elements=1" in repr(p)

    def test_callbacks_may_build_another_pattern(self):
        p, other = Pattern(), Pattern()
        p.add_event("b", min_dt=Callback(lambda: other.add_event("o")))
        assert "n_elements=1" in repr(p) and "n_elements=1" in repr(other)


class TestCopies:
    def test_a_zuldor_keeps_the_pattern_as_it_was(self):
        p = Pattern()
        p.add_event("copy-a")
        z = zuldcore.Zuldor(p)
        p.add_event("copy-b")
        assert len(z.match_stream(["copy-a"], [0.0])["m_start"]) == 1
        assert len(zuldcore.Zuldor(p).match_stream(["copy-a"], [0.0])["m_start"]) == 0

    def test_copying_a_pattern_from_inside_its_builder_is_a_borrow_error(self):
        p = Pattern()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            p.add_event("b", min_dt=Callback(lambda: zuldcore.Zuldor(p)))
