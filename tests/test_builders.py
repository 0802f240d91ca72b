"""The nine builder methods of Pattern: argument forms and defaults, the value-constraint and block-argument
rules with their messages in order, mapped-event specs, midstream collectors, interning order, and hostile
inputs. A refused call must leave the pattern's repr as it was and, where the call fails before interning,
the vocabulary too (a fresh token's id from vocab_ids tells how many tokens were interned)."""

import inspect
import math
import re
import sys

import numpy as np
import pytest

import zuldcore
from zuldcore import Pattern

from helpers import Callback, fresh, next_id

NAN, INF = math.nan, math.inf
BUILDERS = [
    "add_event",
    "add_event_set",
    "add_event_seq",
    "add_time_event",
    "add_dynamic_event",
    "add_dynamic_event_set",
    "add_dynamic_time_event",
    "add_mapped_event",
    "add_midstream_collector",
]
# Arguments that make each builder's minimal call.
REQUIRED = {
    "add_event": {"match_token": "a"},
    "add_event_set": {"match_tokens": ["a"]},
    "add_event_seq": {"match_seqs": [["a"]]},
    "add_time_event": {},
    "add_dynamic_event": {},
    "add_dynamic_event_set": {},
    "add_dynamic_time_event": {},
    "add_mapped_event": {"source_element": 0, "match_map": {}},
    "add_midstream_collector": {"match_tokens": ["a"], "start_after": [], "stop_before": []},
}
UNKNOWN_COLLECTOR = (
    "Unknown collector '{}'. Choose: none, sum_times, count, collect_tokens, collect_times, collect_pairs"
)


def n_elements(p):
    return int(re.fullmatch(r"Pattern\(n_elements=(\d+), .*\)", repr(p)).group(1))


def has_midstream(p):
    return repr(p).endswith("midstream=true)")


def refused(p, call, exc, message=None, *, interns=False):
    """`call` must raise `exc` (with exactly `message` when given) and leave `p` as it was; unless `interns`,
    it must not have interned any token either. Returns the exception."""
    before = repr(p)
    first_free = next_id()
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert repr(p) == before
    if not interns:
        assert next_id() == first_free + 1, "the refused call interned tokens"
    return info.value


def interned_in_order(tokens, first_free):
    """The tokens hold consecutive ids from first_free, in this order."""
    return zuldcore.vocab_ids(tokens) == list(range(first_free, first_free + len(tokens)))


def accepted(p, call):
    n = n_elements(p)
    assert call() is None
    assert n_elements(p) == n + 1


class Seq:
    """A sequence that is not a list: optional hooks run on len() and on item access."""

    def __init__(self, items, on_len=None, on_item=None):
        self.items = list(items)
        self.on_len = on_len
        self.on_item = on_item

    def __len__(self):
        if self.on_len:
            self.on_len()
        return len(self.items)

    def __getitem__(self, i):
        if self.on_item:
            self.on_item(i)
        return self.items[i]

    def __hash__(self):
        return hash(tuple(self.items))

    def __eq__(self, other):
        return isinstance(other, Seq) and self.items == other.items


class Liar(Seq):
    """Says it has three items and has one."""

    def __len__(self):
        return 3


def raise_(exc):
    def action(*_):
        raise exc

    return action


# ---------------------------------------------------------------------------------------------------- binding


class TestBinding:
    @pytest.mark.parametrize("name", BUILDERS)
    def test_minimal_call_appends_and_returns_none(self, name):
        p = Pattern()
        assert getattr(p, name)(**REQUIRED[name]) is None
        if name == "add_midstream_collector":
            assert n_elements(p) == 0 and has_midstream(p)
        else:
            assert n_elements(p) == 1 and not has_midstream(p)

    @pytest.mark.parametrize("name", [n for n in BUILDERS if REQUIRED[n]])
    def test_missing_required_argument(self, name):
        first = next(iter(REQUIRED[name]))
        with pytest.raises(TypeError) as info:
            getattr(Pattern(), name)()
        assert str(info.value) == f"{name}() missing required argument '{first}' (pos 1)"

    @pytest.mark.parametrize("name", BUILDERS)
    def test_too_many_positional_arguments(self, name):
        n = len(inspect.signature(getattr(Pattern, name)).parameters) - 1
        with pytest.raises(TypeError) as info:
            getattr(Pattern(), name)(*([None] * (n + 1)))
        assert str(info.value) == f"{name}() takes at most {n} positional arguments ({n + 1} given)"

    @pytest.mark.parametrize("name", BUILDERS)
    def test_unexpected_keyword(self, name):
        with pytest.raises(TypeError) as info:
            getattr(Pattern(), name)(**REQUIRED[name], bogus=1)
        assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"

    @pytest.mark.parametrize(
        "call",
        [
            lambda p: p.add_event("a", None, 0.0, INF, -INF, INF, True, NAN, NAN, False, NAN, NAN, False),
            lambda p: p.add_event_set(["a"], None, 0.0, INF, -INF, INF, True, None, None, None, None, None, None),
            lambda p: p.add_event_seq([["a"]], None, 0.0, INF, -INF, INF, True, None, None, None, None, None, None),
            lambda p: p.add_time_event(None, 0.0, INF, -INF, INF, True, NAN, NAN, False, None, None, None, None),
            lambda p: p.add_dynamic_event(None, 0.0, INF, -INF, INF, True, NAN, NAN, False, None, None, None),
            lambda p: p.add_dynamic_event_set(
                None, None, False, False, 0.0, INF, -INF, INF, True, None, None, None, None, None, None
            ),
            lambda p: p.add_dynamic_time_event(
                None, 0.0, INF, -INF, INF, True, NAN, NAN, False, None, None, None, None
            ),
            lambda p: p.add_mapped_event(0, {}, None, True),
        ],
    )
    def test_every_parameter_by_position_with_its_default(self, call):
        p = Pattern()
        accepted(p, lambda: call(p))


# ---------------------------------------------------------------------------------------------------- types

STR_VEC_BAD = [5, "ab", [1], ["a", None], {"a"}, (t for t in ["a"]), b"ab"]
BAD_BY_KIND = {
    "str": [5, None, b"a", ["a"]],
    "opt_str": [5, b"a", ["a"]],
    "f64": ["1.0", None, [1.0], object(), 1j],
    "bool": [0, 1, None, "yes", 1.0],
    "str_vec": STR_VEC_BAD,
    "str_vec_vec": [5, "ab", ["ab"], [[1]], [["a"], "b"], [5]],
    "f64_vec": [1.0, "ab", ["x"], [[1.0]], [None]],
    "f64_vec_vec": [1.0, [1.0], [["x"]], ["ab"]],
    "bool_vec": [True, [1], ["x"], [[True]]],
    "bool_vec_vec": [[True], [[1]], [[True], True]],
    "u64_vec": [5, "ab", [1.5], [None], ["1"]],
    "u64": [1.5, "0", None],
    "dict": [[("a", {"match": "x"})], None, "a"],
    "opt_dict": [[("a", {"match": "x"})], "a", 5],
}


def kind_of(method, name):
    if method == "add_midstream_collector" and name == "match_tokens":
        return None  # its own message, tested below
    simple = {
        "match_token": "str",
        "collector": "str",
        "block_token": "opt_str",
        "match_seqs": "str_vec_vec",
        "block_seqs": "str_vec_vec",
        "start_after": "u64_vec",
        "stop_before": "u64_vec",
        "source_element": "u64",
        "match_map": "dict",
        "default": "opt_dict",
    }
    if name in simple:
        return simple[name]
    if name.endswith("_dt") or name.endswith("_at") or name.endswith("_val") and "require_nan" not in name:
        return "f64"
    if name in ("backtrackable", "match_from_last", "block_from_last") or name.endswith("require_nan_val"):
        return "bool"
    if name.endswith("_tokens"):
        return "str_vec"
    depth = "_vec_vec" if method == "add_event_seq" else "_vec"
    if name.endswith("require_nan_vals"):
        return "bool" + depth
    if name.endswith("_vals"):
        return "f64" + depth
    raise AssertionError(f"no kind for {method}.{name}")


def wrong_type_cases():
    for method in BUILDERS:
        for name in list(inspect.signature(getattr(Pattern, method)).parameters)[1:]:
            kind = kind_of(method, name)
            if kind is None:
                continue
            for i, bad in enumerate(BAD_BY_KIND[kind]):
                yield pytest.param(method, name, bad, id=f"{method}-{name}-{i}")


class TestWrongTypes:
    @pytest.mark.parametrize("method, name, bad", list(wrong_type_cases()))
    def test_wrong_type_names_the_parameter(self, method, name, bad):
        p = Pattern()
        args = dict(REQUIRED[method])
        args[name] = bad
        err = refused(p, lambda: getattr(p, method)(**args), TypeError)
        assert str(err).startswith(f"argument '{name}': "), str(err)

    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda p: p.add_event_set("ab"), "match_tokens"),
            (lambda p: p.add_event_set(["a"], block_tokens="ab"), "block_tokens"),
            (lambda p: p.add_event_seq(["a", "b"]), "match_seqs"),
            (lambda p: p.add_event_seq("ab"), "match_seqs"),
            (lambda p: p.add_time_event(block_tokens="ab"), "block_tokens"),
            (lambda p: p.add_dynamic_event("ab"), "static_block_tokens"),
            (lambda p: p.add_dynamic_event_set("ab"), "static_match_tokens"),
        ],
    )
    def test_a_str_is_not_a_list_of_tokens(self, call, name):
        p = Pattern()
        refused(p, lambda: call(p), TypeError, f"argument '{name}': Can't extract `str` to `Vec`")

    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda p: p.add_event("a", min_dt="x", max_dt="x", backtrackable=1), "min_dt"),
            (lambda p: p.add_event("a", backtrackable=1, min_val="x"), "backtrackable"),
            (lambda p: p.add_event_set(["a"], max_vals=["x"], min_vals=["x"]), "min_vals"),
            (lambda p: p.add_event_set(["a"], block_min_vals=5, require_nan_vals=5), "require_nan_vals"),
            (lambda p: p.add_time_event(block_tokens=5, block_min_val="x"), "block_min_val"),
            (lambda p: p.add_dynamic_event_set(match_from_last=1, static_block_tokens=5), "static_block_tokens"),
            (lambda p: p.add_mapped_event(-1, None), "source_element"),
            (lambda p: p.add_mapped_event(0, None, backtrackable=1), "match_map"),
        ],
    )
    def test_the_first_bad_argument_in_signature_order_is_reported(self, call, name):
        p = Pattern()
        with pytest.raises((TypeError, OverflowError), match=f"^argument '{name}'"):
            call(p)

    @pytest.mark.parametrize("name", ["add_event", "add_time_event", "add_dynamic_event", "add_dynamic_time_event"])
    def test_scalar_value_bounds_take_no_none(self, name):
        p = Pattern()
        param = "block_min_val" if "time" in name else "min_val"
        refused(p, lambda: getattr(p, name)(**REQUIRED[name], **{param: None}), TypeError)

    @pytest.mark.parametrize("value", [np.int64(3), np.float32(1.5), True, 10**18, -(10**18), Callback(lambda: None)])
    def test_floats_take_anything_float_converts(self, value):
        p = Pattern()
        accepted(p, lambda: p.add_event("a", min_dt=value, min_val=value, block_max_val=value))

    def test_integer_too_large_for_a_float(self):
        p = Pattern()
        refused(p, lambda: p.add_event("a", max_dt=10**400), OverflowError)
        refused(p, lambda: p.add_event_set(["a"], min_vals=[10**400]), OverflowError)

    @pytest.mark.parametrize("flag", [np.bool_(True), np.bool_(False), True, False])
    def test_bool_parameters_take_numpy_bools(self, flag):
        p = Pattern()
        accepted(p, lambda: p.add_event("a", backtrackable=flag, require_nan_val=flag))
        accepted(p, lambda: p.add_event_set(["a"], require_nan_vals=np.array([flag])))


# ---------------------------------------------------------------------------------------------------- bounds


BOUND_SITES = [
    ("add_event", ["min_dt", "max_dt", "min_at", "max_at", "min_val", "max_val", "block_min_val", "block_max_val"]),
    ("add_event_set", ["min_dt", "max_dt", "min_at", "max_at"]),
    ("add_event_seq", ["min_dt", "max_dt", "min_at", "max_at"]),
    ("add_time_event", ["min_dt", "max_dt", "min_at", "max_at", "block_min_val", "block_max_val"]),
    ("add_dynamic_event", ["min_dt", "max_dt", "min_at", "max_at", "min_val", "max_val"]),
    ("add_dynamic_event_set", ["min_dt", "max_dt", "min_at", "max_at"]),
    ("add_dynamic_time_event", ["rel_min_dt", "rel_max_dt", "min_at", "max_at", "block_min_val", "block_max_val"]),
]


class TestBounds:
    @pytest.mark.parametrize("method, name", [(m, n) for m, names in BOUND_SITES for n in names])
    @pytest.mark.parametrize("value", [NAN, INF, -INF, -1e308, 0.0, -0.0])
    def test_nan_and_infinite_bounds_are_accepted(self, method, name, value):
        p = Pattern()
        accepted(p, lambda: getattr(p, method)(**REQUIRED[method], **{name: value}))

    def test_inverted_bounds_are_accepted(self):
        p = Pattern()
        accepted(p, lambda: p.add_event("a", min_dt=5.0, max_dt=1.0, min_at=3.0, max_at=-3.0, min_val=2.0, max_val=1.0))

    @pytest.mark.parametrize("key", ["min_dt", "max_dt", "min_at", "max_at"])
    @pytest.mark.parametrize("value", [NAN, INF, -INF, 3, np.float64(2.0)])
    def test_mapped_spec_bounds(self, key, value):
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, {"a": {"match": "x", key: value}}))


# ---------------------------------------------------------------------------------------------------- static


class TestAddEvent:
    def test_value_arguments_in_every_combination(self):
        p = Pattern()
        for min_val in (NAN, 5.0):
            for max_val in (NAN, 5.0):
                for require_nan in (False, True):
                    accepted(p, lambda: p.add_event("a", min_val=min_val, max_val=max_val, require_nan_val=require_nan))

    def test_block_constraints_without_a_block_token_are_accepted(self):
        p = Pattern()
        accepted(p, lambda: p.add_event("a", block_min_val=1.0, block_require_nan_val=True))

    def test_match_token_then_block_token_are_interned(self):
        match, block = fresh(), fresh()
        first_free = next_id()
        Pattern().add_event(match, block)
        assert interned_in_order([match, block], first_free)

    def test_empty_and_unicode_tokens(self):
        p = Pattern()
        accepted(p, lambda: p.add_event(""))
        accepted(p, lambda: p.add_event("s\u00e9rum \U0001F489", block_token="\u0000"))

    def test_unencodable_token_is_refused(self):
        p = Pattern()
        refused(p, lambda: p.add_event("\ud800"), UnicodeEncodeError)

    def test_a_conversion_failure_interns_nothing(self):
        p = Pattern()
        refused(p, lambda: p.add_event(fresh(), fresh(), block_require_nan_val=1), TypeError)


class TestAddEventSet:
    @pytest.mark.parametrize(
        "tokens",
        [["a", "b"], ("a", "b"), np.array(["a", "b"]), [], ["a", "a"], Seq(["a", "b"])],
        ids=["list", "tuple", "numpy", "empty", "duplicates", "sequence"],
    )
    def test_token_sequences(self, tokens):
        p = Pattern()
        accepted(p, lambda: p.add_event_set(tokens))

    def test_lists_as_long_as_the_tokens(self):
        p = Pattern()
        accepted(p, lambda: p.add_event_set(["a", "b"], min_vals=[1.0, NAN], max_vals=[NAN, 2.0],
                                            require_nan_vals=[False, True]))

    def test_numpy_value_lists(self):
        p = Pattern()
        accepted(p, lambda: p.add_event_set(["a", "b"], min_vals=np.array([1.0, 2.0]),
                                            require_nan_vals=np.array([True, False]),
                                            block_tokens=["c"], block_max_vals=np.array([3.0], dtype=np.float32)))

    def test_longer_lists_are_read_up_to_the_tokens(self):
        p = Pattern()
        accepted(p, lambda: p.add_event_set(["a"], min_vals=[1.0, 2.0, 3.0], require_nan_vals=[True, False]))

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"min_vals": [1.0]}, "min_vals must have length 2 to match match_tokens (got 1)"),
            ({"max_vals": []}, "max_vals must have length 2 to match match_tokens (got 0)"),
            ({"require_nan_vals": [True]}, "require_nan_vals must have length 2 to match match_tokens (got 1)"),
            ({"max_vals": [1.0], "min_vals": [1.0]}, "min_vals must have length 2 to match match_tokens (got 1)"),
            ({"require_nan_vals": [True], "max_vals": [1.0]},
             "max_vals must have length 2 to match match_tokens (got 1)"),
            ({"block_tokens": ["c", "d", "e"], "block_min_vals": [1.0]},
             "block_min_vals must have length 3 to match block_tokens (got 1)"),
            ({"block_tokens": ["c"], "block_require_nan_vals": []},
             "block_require_nan_vals must have length 1 to match block_tokens (got 0)"),
            ({"block_tokens": ["c", "d"], "block_max_vals": [1.0], "min_vals": [1.0]},
             "min_vals must have length 2 to match match_tokens (got 1)"),
        ],
    )
    def test_short_lists_are_refused_in_order(self, kwargs, message):
        p = Pattern()
        refused(p, lambda: p.add_event_set([fresh(), fresh()], **kwargs), ValueError, message)

    @pytest.mark.parametrize("lists", [{"block_min_vals": [1.0]}, {"block_max_vals": []},
                                       {"block_require_nan_vals": [True, True, True]}])
    def test_block_lists_without_block_tokens_have_nothing_to_match(self, lists):
        p = Pattern()
        accepted(p, lambda: p.add_event_set(["a"], **lists))

    def test_match_tokens_then_block_tokens_are_interned_in_order(self):
        m1, m2, b1, b2 = (fresh() for _ in range(4))
        first_free = next_id()
        Pattern().add_event_set([m1, m2, m1], block_tokens=[b1, m2, b2])
        assert interned_in_order([m1, m2, b1, b2], first_free)

    def test_large_sets_build(self):
        tokens = [f"large-set-{i}" for i in range(100_000)]
        p = Pattern()
        accepted(p, lambda: p.add_event_set(tokens, min_vals=[1.0] * len(tokens), block_tokens=tokens,
                                            block_require_nan_vals=[True] * len(tokens)))


class TestAddEventSeq:
    @pytest.mark.parametrize(
        "seqs",
        [[["a", "b"], ["c"]], (("a",),), [[]], [], [["a"], []], np.array([["a", "b"]]), [Seq(["a"])]],
        ids=["lists", "tuples", "empty-inner", "empty", "mixed-empty", "numpy", "sequence"],
    )
    def test_sequence_forms(self, seqs):
        p = Pattern()
        accepted(p, lambda: p.add_event_seq(seqs))

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"min_vals": [[1.0], [2.0]]},
            {"min_vals": [[1.0, NAN, 3.0], []]},                      # constraints past a sequence's end
            {"max_vals": [[1.0, 2.0], [3.0]], "require_nan_vals": [[False, True, True], [True]]},
            {"min_vals": [[1.0], [2.0], [9.0]]},                      # extra outer entries
            {"min_vals": [[1.0], [2.0]], "max_vals": [[5.0, 6.0], [7.0]]},  # longer inner lists than min_vals
            {"min_vals": np.array([[1.0], [2.0]]), "require_nan_vals": np.array([[True], [False]])},
        ],
    )
    def test_value_lists(self, kwargs):
        p = Pattern()
        accepted(p, lambda: p.add_event_seq([["a", "b"], ["c"]], **kwargs))

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"min_vals": [[1.0]]}, "min_vals must have length 2 to match match_seqs (got 1)"),
            ({"min_vals": [[1.0], [2.0]], "max_vals": [[1.0]]},
             "max_vals must have length 2 to match match_seqs (got 1)"),
            ({"max_vals": [[1.0]], "min_vals": []}, "min_vals must have length 2 to match match_seqs (got 0)"),
            ({"min_vals": [[1.0, 2.0], [3.0]], "max_vals": [[1.0], [3.0]]},
             "max_vals[0] must have length 2 to match min_vals[0] (got 1)"),
            ({"min_vals": [[1.0], [3.0]], "require_nan_vals": [[True], []]},
             "require_nan_vals[1] must have length 1 to match min_vals[1] (got 0)"),
            ({"max_vals": [[1.0], [3.0, 4.0]], "require_nan_vals": [[True], [True]]},
             "require_nan_vals[1] must have length 2 to match max_vals[1] (got 1)"),
            ({"block_seqs": [["x"]], "block_min_vals": []},
             "block_min_vals must have length 1 to match block_seqs (got 0)"),
            ({"block_seqs": [["x", "y"]], "block_min_vals": [[1.0, 2.0]], "block_max_vals": [[1.0]]},
             "block_max_vals[0] must have length 2 to match block_min_vals[0] (got 1)"),
            ({"block_seqs": [["x"]], "block_min_vals": [], "min_vals": [[1.0]]},
             "min_vals must have length 2 to match match_seqs (got 1)"),
        ],
    )
    def test_short_lists_are_refused_in_order(self, kwargs, message):
        p = Pattern()
        refused(p, lambda: p.add_event_seq([[fresh(), fresh()], [fresh()]], **kwargs), ValueError, message)

    def test_block_lists_without_block_seqs_are_ignored(self):
        p = Pattern()
        accepted(p, lambda: p.add_event_seq([["a"]], block_min_vals=[], block_max_vals=[[1.0], [2.0]]))

    def test_sequences_then_block_sequences_are_interned_in_order(self):
        a, b, c, d, e = (fresh() for _ in range(5))
        first_free = next_id()
        Pattern().add_event_seq([[a, b], [c, a]], block_seqs=[[d], [e, b]])
        assert interned_in_order([a, b, c, d, e], first_free)


# The block-argument rule is the same for both time elements.
TIME_BUILDERS = ["add_time_event", "add_dynamic_time_event"]
PLURAL_NEED_TOKENS = "plural block value constraints require block_tokens"
EITHER = "use either block_token or block_tokens, not both"
SCALARS_APPLY = (
    "block_min_val/block_max_val/block_require_nan_val apply to block_token; "
    "use the plural value-constraint arguments with block_tokens"
)


class TestTimeEvents:
    @pytest.mark.parametrize("method", TIME_BUILDERS)
    @pytest.mark.parametrize(
        "kwargs",
        [
            {},
            {"block_token": "b"},
            {"block_token": "b", "block_min_val": 1.0, "block_max_val": 2.0, "block_require_nan_val": True},
            {"block_min_val": 1.0, "block_require_nan_val": True},       # scalars alone are ignored
            {"block_tokens": ["b", "c"]},
            {"block_tokens": []},
            {"block_tokens": [], "block_min_vals": []},
            {"block_tokens": ["b", "c"], "block_min_vals": [1.0, NAN], "block_max_vals": [2.0, 3.0],
             "block_require_nan_vals": [False, True]},
            {"block_tokens": ["b"], "block_min_val": NAN, "block_max_val": NAN, "block_require_nan_val": False},
            {"block_token": None, "block_tokens": ["b"]},
            {"block_token": "b", "block_tokens": None},
        ],
    )
    def test_accepted_block_arguments(self, method, kwargs):
        p = Pattern()
        accepted(p, lambda: getattr(p, method)(**kwargs))

    @pytest.mark.parametrize("method", TIME_BUILDERS)
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"block_min_vals": [1.0]}, PLURAL_NEED_TOKENS),
            ({"block_require_nan_vals": []}, PLURAL_NEED_TOKENS),
            ({"block_token": "b", "block_max_vals": [1.0]}, PLURAL_NEED_TOKENS),
            ({"block_tokens": None, "block_max_vals": [1.0]}, PLURAL_NEED_TOKENS),
            ({"block_token": "b", "block_tokens": ["c"]}, EITHER),
            ({"block_token": "b", "block_tokens": []}, EITHER),
            ({"block_token": "b", "block_tokens": ["c"], "block_min_val": 1.0, "block_min_vals": []}, EITHER),
            ({"block_tokens": ["c"], "block_min_val": 0.0}, SCALARS_APPLY),
            ({"block_tokens": ["c"], "block_max_val": -INF}, SCALARS_APPLY),
            ({"block_tokens": ["c"], "block_require_nan_val": True}, SCALARS_APPLY),
            ({"block_tokens": ["c"], "block_min_val": 0.0, "block_min_vals": []}, SCALARS_APPLY),
            ({"block_tokens": ["b", "c"], "block_max_vals": [1.0]},
             "block_max_vals must have length 2 to match block_tokens (got 1)"),
            ({"block_tokens": ["b", "c"], "block_min_vals": [1.0, 2.0, 3.0]},
             "block_min_vals must have length 2 to match block_tokens (got 3)"),
            ({"block_tokens": ["b"], "block_require_nan_vals": [], "block_max_vals": [1.0, 2.0]},
             "block_max_vals must have length 1 to match block_tokens (got 2)"),
            ({"block_tokens": [], "block_require_nan_vals": [True]},
             "block_require_nan_vals must have length 0 to match block_tokens (got 1)"),
        ],
    )
    def test_refused_block_arguments_in_order(self, method, kwargs, message):
        p = Pattern()
        args = {k: ([fresh() for _ in v] if k == "block_tokens" and v else v) for k, v in kwargs.items()}
        if args.get("block_token"):
            args["block_token"] = fresh()
        refused(p, lambda: getattr(p, method)(**args), ValueError, message)

    @pytest.mark.parametrize("method", TIME_BUILDERS)
    def test_conversions_come_before_the_rule(self, method):
        p = Pattern()
        refused(p, lambda: getattr(p, method)(block_token="b", block_tokens=["c"], block_require_nan_vals=[1]),
                TypeError)

    @pytest.mark.parametrize("method", TIME_BUILDERS)
    def test_block_tokens_are_interned_in_order(self, method):
        a, b = fresh(), fresh()
        first_free = next_id()
        getattr(Pattern(), method)(block_tokens=[a, b, a])
        assert interned_in_order([a, b], first_free)

    def test_window_keywords_of_the_dynamic_time_event(self):
        p = Pattern()
        accepted(p, lambda: p.add_dynamic_time_event(rel_min_dt=-1.0, rel_max_dt=2.0, min_at=0.0, max_at=9.0))
        refused(p, lambda: p.add_dynamic_time_event(min_dt=1.0), TypeError)
        refused(p, lambda: p.add_time_event(rel_min_dt=1.0), TypeError)


# ---------------------------------------------------------------------------------------------------- dynamic


class TestDynamicEvents:
    @pytest.mark.parametrize(
        "kwargs",
        [
            {},
            {"static_block_tokens": ["b", "c"], "block_min_vals": [1.0, 2.0], "block_require_nan_vals": [True, False]},
            {"block_min_vals": [1.0, 2.0]},          # no block tokens: nothing for the list to constrain
            {"min_val": 1.0, "max_val": 2.0, "require_nan_val": True},
            {"static_block_tokens": None},
        ],
    )
    def test_dynamic_event(self, kwargs):
        p = Pattern()
        accepted(p, lambda: p.add_dynamic_event(**kwargs))

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"static_block_tokens": ["b", "c"], "block_min_vals": [1.0]},
             "block_min_vals must have length 2 to match static_block_tokens (got 1)"),
            ({"static_block_tokens": ["b"], "block_max_vals": [1.0], "block_require_nan_vals": []},
             "block_require_nan_vals must have length 1 to match static_block_tokens (got 0)"),
        ],
    )
    def test_dynamic_event_short_lists(self, kwargs, message):
        p = Pattern()
        kwargs = {k: ([fresh() for _ in v] if k == "static_block_tokens" else v) for k, v in kwargs.items()}
        refused(p, lambda: p.add_dynamic_event(**kwargs), ValueError, message)

    @pytest.mark.parametrize(
        "kwargs",
        [
            {},
            {"static_match_tokens": ["a"], "match_from_last": True},
            {"match_from_last": False},  # never matches; still an element
            {"static_match_tokens": ["a", "b"], "min_vals": [1.0, 2.0], "static_block_tokens": ["c"],
             "block_from_last": True, "block_max_vals": [3.0]},
            {"min_vals": [1.0], "block_require_nan_vals": [True]},
        ],
    )
    def test_dynamic_event_set(self, kwargs):
        p = Pattern()
        accepted(p, lambda: p.add_dynamic_event_set(**kwargs))

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"static_match_tokens": ["a", "b"], "max_vals": [1.0]},
             "max_vals must have length 2 to match static_match_tokens (got 1)"),
            ({"static_block_tokens": ["a", "b"], "block_min_vals": [1.0]},
             "block_min_vals must have length 2 to match static_block_tokens (got 1)"),
            ({"static_match_tokens": ["a"], "static_block_tokens": ["b"], "require_nan_vals": [],
              "block_min_vals": []},
             "require_nan_vals must have length 1 to match static_match_tokens (got 0)"),
        ],
    )
    def test_dynamic_event_set_short_lists(self, kwargs, message):
        p = Pattern()
        kwargs = {k: ([fresh() for _ in v] if k.startswith("static_") else v) for k, v in kwargs.items()}
        refused(p, lambda: p.add_dynamic_event_set(**kwargs), ValueError, message)

    @pytest.mark.parametrize("name", ["match_from_last", "block_from_last"])
    @pytest.mark.parametrize("value", [0, 1, None, "true"])
    def test_flags_are_bools(self, name, value):
        p = Pattern()
        refused(p, lambda: p.add_dynamic_event_set(**{name: value}), TypeError)

    def test_static_match_then_static_block_tokens_are_interned(self):
        a, b, c = fresh(), fresh(), fresh()
        first_free = next_id()
        Pattern().add_dynamic_event_set(static_block_tokens=[c], static_match_tokens=[a, b])
        assert interned_in_order([a, b, c], first_free)


# ---------------------------------------------------------------------------------------------------- mapped


class TestMappedEvent:
    def test_one_spec_per_code_of_an_event_set(self):
        p = Pattern()
        p.add_event_set(["c1", "c2", "c3", "c4"])
        accepted(p, lambda: p.add_mapped_event(0, {
            "c1": {"match": "x"},
            "c2": {"match": "y", "max_dt": 1.0, "min_at": 0},
            "c3": {"match": ["z", "w"], "max_dt": 2.0},
            "c4": {"match": [["u", "v"]], "block": "b"},
        }))

    @pytest.mark.parametrize(
        "match_map",
        [
            {},
            {"a": {"match": "x"}, ("a",): {"match": "y"}},
            {("a", "b"): {"match": "x"}},
            {"": {"match": ""}},
            {Seq(["a", "b"]): {"match": "x"}},
            {"a": {"match": "x", "bogus": object(), 5: "ignored"}},
            {"a": {"match": []}},
            {"a": {"match": [[]]}},
            {"a": {"match": (("x", "y"), ("z",))}},
            {"a": {"match": np.array(["x", "y"])}},
        ],
        ids=["empty", "equal-keys", "tuple-key", "empty-str", "sequence-key", "unknown-keys", "empty-set",
             "empty-sequence", "tuples", "numpy"],
    )
    def test_accepted_maps(self, match_map):
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, match_map))

    @pytest.mark.parametrize(
        "spec",
        [
            {"match": "x", "min_val": [1.0, 2.0]},
            {"match": "x", "min_val": []},
            {"match": "x", "require_nan_val": [True], "max_val": [NAN]},
            {"match": ["x", "y"], "min_val": [1.0, 2.0], "max_val": [3.0, 4.0, 5.0]},
            {"match": [["x", "y"]], "min_val": [[1.0]]},
            {"match": [["x", "y"], ["z"]], "max_val": [[1.0, 2.0], [3.0]], "require_nan_val": [[False, True], [True]]},
            {"match": "x", "block": "b", "block_min_val": [1.0, 2.0]},
            {"match": "x", "block": ["b", "c"], "block_max_val": [1.0, 2.0], "block_require_nan_val": [True, False]},
            {"match": "x", "block_min_val": "ignored without block"},
        ],
    )
    def test_accepted_specs(self, spec):
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, {"k": spec}, default=spec))

    @pytest.mark.parametrize("key", [5, None, 1.5, b"a", frozenset({"a"}), ("a", 5), ("a", ("b",)), (b"a",)])
    def test_keys_of_the_wrong_type(self, key):
        p = Pattern()
        refused(p, lambda: p.add_mapped_event(0, {key: {"match": "x"}}), TypeError,
                "match_map keys must be str or a sequence of str", interns=True)

    def test_empty_key(self):
        p = Pattern()
        refused(p, lambda: p.add_mapped_event(0, {(): {"match": "x"}}), ValueError,
                "match_map keys must not be empty")

    @pytest.mark.parametrize(
        "spec, exc, message",
        [
            ({}, ValueError, "mapped event spec must contain 'match' key"),
            ({"block": "b"}, ValueError, "mapped event spec must contain 'match' key"),
            ({"match": 5}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": None}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": ["a", ["b"]]}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": [["a"], "b"]}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": [[["a"]]]}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": {"a": 1}}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": b"a"}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
            ({"match": "x", "min_val": 1.0}, TypeError, None),
            ({"match": "x", "min_val": [[1.0]]}, TypeError, None),
            ({"match": ["x"], "require_nan_val": [1]}, TypeError, None),
            ({"match": [["x"]], "min_val": [1.0]}, TypeError, None),
            ({"match": "x", "min_val": None}, TypeError, None),
            ({"match": "x", "min_dt": "soon"}, TypeError, None),
            ({"match": "x", "block": 5}, TypeError, None),
            ({"match": "x", "block": None}, TypeError, None),
            ({"match": "x", "block": "b", "block_min_val": 1.0}, TypeError, None),
            ({"match": ["x", "y"], "min_val": [1.0]}, ValueError, "min_val must have length 2 to match match (got 1)"),
            ({"match": ["x"], "max_val": [1.0], "require_nan_val": []}, ValueError,
             "require_nan_val must have length 1 to match match (got 0)"),
            ({"match": [["x"], ["y"]], "min_val": [[1.0]]}, ValueError,
             "min_val must have length 2 to match match (got 1)"),
            ({"match": [["x", "y"]], "min_val": [[1.0, 2.0]], "max_val": [[1.0]]}, ValueError,
             "max_val[0] must have length 2 to match min_val[0] (got 1)"),
            ({"match": "x", "block": ["b", "c"], "block_min_val": [1.0]}, ValueError,
             "block_min_val must have length 2 to match block (got 1)"),
            # timing, then block, then match form, then the value lists
            ({"match": 5, "min_dt": "x"}, TypeError, None),
            ({"match": 5, "block": ["b", "c"], "block_max_val": []}, ValueError,
             "block_max_val must have length 2 to match block (got 0)"),
            ({"match": 5, "min_val": "x"}, ValueError, "'match' must be str, list[str], or list[list[str]]"),
        ],
    )
    @pytest.mark.parametrize("where", ["entry", "default"])
    def test_refused_specs(self, spec, exc, message, where):
        p = Pattern()
        call = (lambda: p.add_mapped_event(0, {"k": spec})) if where == "entry" else (
            lambda: p.add_mapped_event(0, {"k": {"match": "x"}}, default=spec))
        refused(p, call, exc, message, interns=True)

    @pytest.mark.parametrize(
        "key, name",
        [("min_dt", "min_dt"), ("block", "block"), ("min_val", "min_val"), ("require_nan_val", "require_nan_val")],
    )
    def test_spec_conversion_errors_name_the_key(self, key, name):
        p = Pattern()
        spec = {"match": "x", "block": "b", key: object()}
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            p.add_mapped_event(0, {"k": spec})

    def test_the_first_failing_entry_decides(self):
        p = Pattern()
        refused(p, lambda: p.add_mapped_event(0, {"a": {}, 5: {"match": "x"}}), ValueError,
                "mapped event spec must contain 'match' key", interns=True)
        refused(p, lambda: p.add_mapped_event(0, {5: {"match": "x"}, "a": {}}), TypeError,
                "match_map keys must be str or a sequence of str", interns=True)
        refused(p, lambda: p.add_mapped_event(0, {"a": {"match": "x"}}, default={}), ValueError,
                "mapped event spec must contain 'match' key", interns=True)

    @pytest.mark.parametrize("spec", [[("match", "x")], "x", None, 5])
    def test_specs_must_be_dicts(self, spec):
        p = Pattern()
        with pytest.raises(TypeError, match="^argument 'match_map': "):
            p.add_mapped_event(0, {"k": spec})
        assert n_elements(p) == 0

    def test_dict_subclasses_are_dicts(self):
        class D(dict):
            pass

        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, D(k=D(match="x")), default=D(match="y")))

    def test_default_none_is_no_default(self):
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, {}, default=None))

    @pytest.mark.parametrize("source", [0, 1, 63, np.int64(5), np.uint8(63)])
    def test_source_elements_below_64(self, source):
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(source, {}))

    @pytest.mark.parametrize("source", [64, 65, 1000, 2**32, 2**64 - 1])
    def test_source_elements_from_64_are_refused(self, source):
        p = Pattern()
        refused(p, lambda: p.add_mapped_event(source, {fresh(): {"match": fresh()}}), ValueError,
                f"source_element must be less than 64 (got {source})")

    @pytest.mark.parametrize("source", [-1, -(2**70), 2**64, 2**100])
    def test_source_elements_out_of_integer_range(self, source):
        p = Pattern()
        err = refused(p, lambda: p.add_mapped_event(source, {}), OverflowError)
        assert str(err).startswith("argument 'source_element': ")

    def test_conversions_come_before_the_source_element_check(self):
        p = Pattern()
        with pytest.raises(TypeError, match="^argument 'backtrackable'"):
            p.add_mapped_event(64, {}, None, 1)

    def test_source_element_check_comes_before_the_entries(self):
        p = Pattern()
        refused(p, lambda: p.add_mapped_event(64, {5: {}}), ValueError, "source_element must be less than 64 (got 64)")

    def test_key_block_match_order_of_interning(self):
        k1, b1, m1, k2, k3, s1, s2, d1, db = (fresh() for _ in range(9))
        first_free = next_id()
        Pattern().add_mapped_event(0, {
            k1: {"match": m1, "block": [b1, m1]},
            (k2, k3): {"match": [[s1, k1], [s2]]},
        }, default={"match": [d1], "block": db})
        assert interned_in_order([k1, b1, m1, k2, k3, s1, s2, db, d1], first_free)

    def test_large_maps_build(self):
        match_map = {f"large-map-{i}": {"match": f"large-map-t{i}", "max_dt": 1.0, "block": ["b"],
                                        "block_min_val": [1.0]} for i in range(20_000)}
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, match_map))


# ---------------------------------------------------------------------------------------------------- midstream


class TestMidstreamCollector:
    @pytest.mark.parametrize(
        "match_tokens",
        [["a", "b"], [["a", "b"]], [], ("a",), [("a", "b"), ["c"]], np.array(["a"]), np.array([["a", "b"]]),
         Seq([Seq(["a"]), ["b"]])],
        ids=["singles", "sequences", "empty", "tuple", "mixed-containers", "numpy", "numpy-2d", "sequence"],
    )
    def test_token_forms(self, match_tokens):
        p = Pattern()
        assert p.add_midstream_collector(match_tokens, [0], [1]) is None
        assert has_midstream(p) and n_elements(p) == 0

    @pytest.mark.parametrize("match_tokens", [["a", ["b"]], [["a"], "b"], "ab", 5, None, [[1]], [1], [[["a"]]], {"a"}])
    def test_neither_form(self, match_tokens):
        p = Pattern()
        refused(p, lambda: p.add_midstream_collector(match_tokens, [], []), TypeError,
                "match_tokens must be list[str] or list[list[str]]")

    def test_empty_sequence(self):
        p = Pattern()
        refused(p, lambda: p.add_midstream_collector([[fresh()], []], [], []), ValueError,
                "match_tokens sequences must not be empty")

    @pytest.mark.parametrize("name", ["none", "sum_times", "count", "collect_tokens", "collect_times", "collect_pairs"])
    def test_collector_names(self, name):
        p = Pattern()
        p.add_midstream_collector(["a"], [], [], name)
        assert has_midstream(p)

    @pytest.mark.parametrize("name", ["Count", "", "collect-tokens"])
    def test_unknown_collector_keeps_the_earlier_collector(self, name):
        p = Pattern()
        refused(p, lambda: p.add_midstream_collector(["a"], [], [], name), ValueError,
                UNKNOWN_COLLECTOR.format(name), interns=True)
        assert not has_midstream(p)
        p.add_midstream_collector(["a"], [], [])
        refused(p, lambda: p.add_midstream_collector(["a"], [], [], collector=name), ValueError,
                UNKNOWN_COLLECTOR.format(name), interns=True)
        assert has_midstream(p)

    def test_a_second_call_replaces(self):
        p = Pattern()
        p.add_midstream_collector(["a"], [0], [1])
        p.add_midstream_collector([["b", "c"]], [], [], "count")
        assert repr(p) == "Pattern(n_elements=0, ordered=true, collector=None, midstream=true)"

    @pytest.mark.parametrize(
        "indices", [[0, 0], [63, 64, 65], [2**64 - 1], (1, 2), np.array([1, 2], dtype=np.uint64), [np.int8(3)], []]
    )
    def test_element_indices(self, indices):
        p = Pattern()
        p.add_midstream_collector(["a"], indices, indices)
        assert has_midstream(p)

    @pytest.mark.parametrize("name", ["start_after", "stop_before"])
    @pytest.mark.parametrize("bad, exc", [([-1], OverflowError), ([2**64], OverflowError), ([1.0], TypeError),
                                          ("ab", TypeError), (None, TypeError), ([True, None], TypeError)])
    def test_bad_element_indices(self, name, bad, exc):
        p = Pattern()
        args = {"match_tokens": [fresh()], "start_after": [], "stop_before": [], name: bad}
        err = refused(p, lambda: p.add_midstream_collector(**args), exc)
        assert str(err).startswith(f"argument '{name}': ")

    @pytest.mark.parametrize(
        "kwargs, name",
        [
            ({"match_tokens": 5, "start_after": [-1], "stop_before": "x"}, "start_after"),
            ({"match_tokens": 5, "start_after": [], "stop_before": "x", "collector": 5}, "stop_before"),
            ({"match_tokens": 5, "start_after": [], "stop_before": [], "collector": 5}, "collector"),
        ],
    )
    def test_indices_and_collector_are_converted_before_the_tokens(self, kwargs, name):
        p = Pattern()
        with pytest.raises((TypeError, OverflowError), match=f"^argument '{name}': "):
            p.add_midstream_collector(**kwargs)

    def test_tokens_are_interned_in_order(self):
        a, b, c = fresh(), fresh(), fresh()
        first_free = next_id()
        Pattern().add_midstream_collector([[a, b], [c, a]], [], [])
        assert interned_in_order([a, b, c], first_free)


# ---------------------------------------------------------------------------------------------------- hostile


# One place per builder where a float (or, for the midstream collector, an index) is converted.
CONVERSION_SITES = {
    "add_event": lambda p, x: p.add_event("a", min_dt=x),
    "add_event_set": lambda p, x: p.add_event_set(["a"], min_vals=[x]),
    "add_event_seq": lambda p, x: p.add_event_seq([["a"]], max_vals=[[x]]),
    "add_time_event": lambda p, x: p.add_time_event(max_at=x),
    "add_dynamic_event": lambda p, x: p.add_dynamic_event(max_val=x),
    "add_dynamic_event_set": lambda p, x: p.add_dynamic_event_set(["a"], min_vals=[x]),
    "add_dynamic_time_event": lambda p, x: p.add_dynamic_time_event(rel_max_dt=x),
    "add_mapped_event": lambda p, x: p.add_mapped_event(0, {"k": {"match": "x", "max_dt": x}}),
    "add_midstream_collector": lambda p, x: p.add_midstream_collector(["a"], [x], []),
}

# One place per builder where a sequence is read.
SEQUENCE_SITES = {
    "add_event_set": lambda p, s: p.add_event_set(s),
    "add_event_seq": lambda p, s: p.add_event_seq([s]),
    "add_time_event": lambda p, s: p.add_time_event(block_tokens=s),
    "add_dynamic_event": lambda p, s: p.add_dynamic_event(s),
    "add_dynamic_event_set": lambda p, s: p.add_dynamic_event_set(None, s),
    "add_mapped_event": lambda p, s: p.add_mapped_event(0, {"k": {"match": "x", "block": s}}),
    "add_midstream_collector": lambda p, s: p.add_midstream_collector([s], [], []),
}


def state(p):
    return repr(p)


class TestHostileInputs:
    @pytest.mark.parametrize("site", CONVERSION_SITES)
    def test_the_site_converts(self, site):
        p = Pattern()
        CONVERSION_SITES[site](p, Callback(lambda: None))
        assert state(p) != state(Pattern())

    @pytest.mark.parametrize("site", CONVERSION_SITES)
    def test_callback_into_a_builder_of_the_same_pattern(self, site):
        p = Pattern()
        p.add_event("a")
        before = state(p)
        with pytest.raises(RuntimeError) as info:
            CONVERSION_SITES[site](p, Callback(lambda: p.add_time_event()))
        assert str(info.value) == "Already borrowed"
        assert state(p) == before

    @pytest.mark.parametrize("site", CONVERSION_SITES)
    def test_callback_into_repr_of_the_same_pattern(self, site):
        p = Pattern()
        before = state(p)
        with pytest.raises(RuntimeError) as info:
            CONVERSION_SITES[site](p, Callback(lambda: repr(p)))
        assert str(info.value) == "Already mutably borrowed"
        assert state(p) == before

    @pytest.mark.parametrize("site", CONVERSION_SITES)
    def test_conversion_raising_passes_through(self, site):
        p = Pattern()
        with pytest.raises(ZeroDivisionError) as info:
            CONVERSION_SITES[site](p, Callback(raise_(ZeroDivisionError("inside"))))
        assert str(info.value) == "inside"
        assert state(p) == state(Pattern())

    @pytest.mark.parametrize("site", SEQUENCE_SITES)
    def test_plain_sequence_objects_work(self, site):
        p = Pattern()
        SEQUENCE_SITES[site](p, Seq(["s1", "s2"]))
        assert state(p) != state(Pattern())

    @pytest.mark.parametrize("site", SEQUENCE_SITES)
    @pytest.mark.parametrize("hook", ["on_len", "on_item"])
    def test_sequence_hooks_raising_pass_through(self, site, hook):
        p = Pattern()
        with pytest.raises(KeyError):
            SEQUENCE_SITES[site](p, Seq(["s1", "s2"], **{hook: raise_(KeyError("hook"))}))
        assert state(p) == state(Pattern())

    @pytest.mark.parametrize("site", SEQUENCE_SITES)
    @pytest.mark.parametrize("hook", ["on_len", "on_item"])
    def test_sequence_hooks_calling_back(self, site, hook):
        p = Pattern()
        with pytest.raises(RuntimeError) as info:
            SEQUENCE_SITES[site](p, Seq(["s1"], **{hook: lambda *_: p.add_event("cb")}))
        assert str(info.value) == "Already borrowed"
        with pytest.raises(RuntimeError) as info:
            SEQUENCE_SITES[site](p, Seq(["s1"], **{hook: lambda *_: repr(p)}))
        assert str(info.value) == "Already mutably borrowed"
        assert state(p) == state(Pattern())

    @pytest.mark.parametrize("site", SEQUENCE_SITES)
    def test_sequence_shorter_than_its_len(self, site):
        p = Pattern()
        liar = Liar(["s1"])
        with pytest.raises(IndexError):
            SEQUENCE_SITES[site](p, liar)
        assert state(p) == state(Pattern())

    def test_len_raising_type_error_names_the_parameter(self):
        p = Pattern()
        err = refused(p, lambda: p.add_event_set(Seq(["a"], on_len=raise_(TypeError("no len")))), TypeError)
        assert str(err) == "argument 'match_tokens': no len"

    def test_list_emptied_while_it_is_read(self):
        p = Pattern()
        values = []
        values.extend([Callback(values.clear), 2.0])
        refused(p, lambda: p.add_event_set(["a", "b"], min_vals=values), IndexError)

    def test_list_grown_while_it_is_read(self):
        p = Pattern()
        values = []
        values.extend([Callback(lambda: values.append(9.0)), 2.0])
        accepted(p, lambda: p.add_event_set(["a", "b"], min_vals=values))

    def test_match_map_emptied_while_it_is_read(self):
        match_map = {}
        match_map["a"] = {"match": "x", "max_dt": Callback(match_map.clear)}
        match_map["b"] = {"match": "y"}
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, match_map))

    def test_spec_changed_while_it_is_read(self):
        spec = {"match": "x"}
        spec["max_dt"] = Callback(lambda: spec.pop("match"))
        p = Pattern()
        refused(p, lambda: p.add_mapped_event(0, {"k": spec}), ValueError,
                "mapped event spec must contain 'match' key", interns=True)

    def test_spec_value_dropped_while_it_is_read(self):
        spec = {"match": ["x", "y"]}
        spec["min_val"] = Seq([1.0, 2.0], on_item=lambda i: spec.pop("min_val", None))
        p = Pattern()
        accepted(p, lambda: p.add_mapped_event(0, {"k": spec}))

    def test_key_whose_item_access_calls_back(self):
        p = Pattern()
        key = Seq(["a"], on_item=lambda i: p.add_event("x"))
        with pytest.raises(RuntimeError) as info:
            p.add_mapped_event(0, {key: {"match": "x"}})
        assert str(info.value) == "Already borrowed"
        assert n_elements(p) == 0

    def test_match_form_raising_a_type_error_is_not_that_form(self):
        p = Pattern()
        match = Seq(["a"], on_item=raise_(TypeError("no items")))
        refused(p, lambda: p.add_mapped_event(0, {"k": {"match": match}}), ValueError,
                "'match' must be str, list[str], or list[list[str]]", interns=True)
        refused(p, lambda: p.add_midstream_collector(match, [], []), TypeError,
                "match_tokens must be list[str] or list[list[str]]")


class TestReferenceCounts:
    @pytest.mark.parametrize(
        "call",
        [
            lambda p, t, f, s: p.add_event(t, t, min_dt=f),
            lambda p, t, f, s: p.add_event(t, min_dt=s),
            lambda p, t, f, s: p.add_event_set([t, t], min_vals=[f, f], block_tokens=[t]),
            lambda p, t, f, s: p.add_event_set([t, t], min_vals=[f]),
            lambda p, t, f, s: p.add_event_seq([[t]], min_vals=[[f]]),
            lambda p, t, f, s: p.add_time_event(block_tokens=[t], block_min_vals=[f]),
            lambda p, t, f, s: p.add_time_event(block_token=t, block_tokens=[t]),
            lambda p, t, f, s: p.add_dynamic_event_set([t], [t], min_vals=[s]),
            lambda p, t, f, s: p.add_mapped_event(0, {t: {"match": [t], "max_dt": f, "block": t}}, {"match": t}),
            lambda p, t, f, s: p.add_mapped_event(0, {t: {"match": 5}}),
            lambda p, t, f, s: p.add_mapped_event(0, {(t, t): s}),
            lambda p, t, f, s: p.add_midstream_collector([[t]], [0], [1]),
            lambda p, t, f, s: p.add_midstream_collector([t, [t]], [], []),
            lambda p, t, f, s: p.add_midstream_collector([t], [], [], t),
        ],
    )
    def test_builders_keep_reference_counts(self, call):
        token = "tok-refcount-builder"
        floaty = Callback(lambda: None, 1.5)
        junk = object()
        watched = [token, floaty, junk]

        def run(n):
            p = Pattern()
            for _ in range(n):
                try:
                    call(p, token, floaty, junk)
                except (TypeError, ValueError):
                    pass

        run(20)
        before = [sys.getrefcount(o) for o in watched]
        run(1000)
        assert [sys.getrefcount(o) for o in watched] == before
