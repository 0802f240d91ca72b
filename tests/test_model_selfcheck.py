"""The reference model on hand-worked cases: every expected value here was worked
out by hand from the matching rules, not by running the model. These tests need
no zuldcore at all; they pin the model down before it is used to judge zuldcore
(test_match_model.py)."""

import math

import numpy as np
import pytest

from model import assert_same_result, match, match_batch
from model.pattern import (
    ANY,
    REQUIRE_NAN,
    compile_element,
    compile_entry,
    constraint,
    dynamic_event,
    dynamic_event_set,
    dynamic_time_event,
    event,
    event_seq,
    event_set,
    mapped_event,
    midstream,
    pattern,
    time_event,
)

INF = math.inf
NAN = math.nan

A_B = pattern(event("a"), event("b"))


def positions(result):
    return result["el_stream_idx"].tolist()


def expected(m_start, m_end, t_start, t_end, el_stream_idx, el_times, n_elements, result=None,
             mid_result=None, el_tokens=None):
    out = {
        "m_start": np.array(m_start, dtype=np.int64),
        "m_end": np.array(m_end, dtype=np.int64),
        "t_start": np.array(t_start, dtype=np.float64),
        "t_end": np.array(t_end, dtype=np.float64),
        "el_stream_idx": np.array(el_stream_idx, dtype=np.int64).reshape(len(m_start), n_elements),
        "el_times": np.array(el_times, dtype=np.float64).reshape(len(m_start), n_elements),
    }
    if el_tokens is not None:
        out["el_tokens"] = el_tokens
    out["result"] = result
    out["mid_result"] = mid_result
    return out


class TestSearchOrder:
    def test_every_match_earliest_first(self):
        got = match(A_B, ["a", "a", "b"], [0, 1, 2])
        assert_same_result(got, expected([0, 1], [2, 2], [0.0, 1.0], [2.0, 2.0],
                                         [[0, 2], [1, 2]], [[0.0, 2.0], [1.0, 2.0]], 2))

    def test_first_only_is_the_first_match(self):
        got = match(A_B, ["a", "a", "b"], [0, 1, 2], first_only=True, include_tokens=True)
        assert_same_result(got, expected([0], [2], [0.0], [2.0], [[0, 2]], [[0.0, 2.0]], 2,
                                         el_tokens=[["a", "b"]]))

    def test_not_backtrackable_keeps_the_first_position(self):
        p = pattern(event("a", backtrackable=False), event("b"))
        assert positions(match(p, ["a", "a", "b"], [0, 1, 2])) == [[0, 2]]

    def test_unordered_slots_follow_the_order_of_matching(self):
        p = pattern(event("a"), event("b"), ordered=False)
        got = match(p, ["b", "a"], [0, 1], include_tokens=True)
        assert_same_result(got, expected([0], [1], [0.0], [1.0], [[0, 1]], [[0.0, 1.0]], 2,
                                         el_tokens=[["b", "a"]]))

    def test_same_position_children_in_test_order(self):
        # At position 0 the time element (tested before the token elements) and a
        # both match; the time element's child is explored first.
        p = pattern(event("a"), time_event(), ordered=False)
        got = match(p, ["a", "b", "a"], [0, 1, 2])
        assert positions(got) == [[0, 2], [0, 1], [0, 2], [1, 2]]

    def test_positions_strictly_increase(self):
        p = pattern(event("a"), event("a"))
        assert positions(match(p, ["a", "a", "a"], [0, 0, 0])) == [[0, 1], [0, 2], [1, 2]]


class TestTiming:
    def test_first_element_with_positive_min_dt_never_matches(self):
        p = pattern(event("a", min_dt=1.0), event("b"))
        assert positions(match(p, ["a", "a", "b"], [0, 1, 2])) == []

    def test_element_bounds_are_inclusive(self):
        p = pattern(event("a"), event("b", min_dt=1, max_dt=2))
        got = match(p, ["a", "b", "b", "b", "b"], [0, 0.5, 1, 2, 2.5])
        assert positions(got) == [[0, 2], [0, 3]]

    def test_min_at_max_at(self):
        p = pattern(event("a", min_at=1, max_at=2))
        assert positions(match(p, ["a"] * 4, [0, 1, 2, 3])) == [[1], [2]]

    def test_nan_bound_never_passes(self):
        p = pattern(event("a", max_at=NAN))
        assert positions(match(p, ["a"], [0])) == []

    def test_pattern_max_dt(self):
        p = pattern(event("a"), event("b"), max_dt=5.0)
        assert positions(match(p, ["a", "b"], [0, 6])) == []
        assert positions(match(p, ["a", "b"], [0, 5])) == [[0, 1]]

    def test_pattern_max_dt_ends_the_scan_at_the_first_later_event(self):
        # The scan for b stops at c (t = 6), so b at t = 1 behind it is never seen.
        p = pattern(event("a"), event("b"), max_dt=5.0)
        assert positions(match(p, ["a", "c", "b"], [0, 6, 1])) == []

    def test_pattern_bounds_on_complete_matches(self):
        p = pattern(event("a"), event("b"), min_dt=1, min_at=0, max_at=3)
        got = match(p, ["a", "a", "b", "b"], [0, 1, 1, 4])
        # (0, 2): d = 1. (1, 2): d = 0 < min_dt. (0, 3), (1, 3): t_end 4 > max_at.
        assert positions(got) == [[0, 2]]

    def test_decreasing_time_fails_the_default_min_dt(self):
        # Plain-event patterns follow the same rules as every other pattern.
        assert positions(match(A_B, ["a", "b"], [5, 1])) == []
        p = pattern(event("a"), event("b", max_dt=100))
        assert positions(match(p, ["a", "b"], [5, 1])) == []

    def test_t_end_is_the_largest_time(self):
        # A negative min_dt lets b come earlier in time than a: t_start is a's
        # time, t_end the largest matched time (a's again), so d = 0.
        p = pattern(event("a"), event("b", min_dt=-5))
        got = match(p, ["a", "b"], [3, 1])
        assert_same_result(got, expected([0], [1], [3.0], [3.0], [[0, 1]], [[3.0, 1.0]], 2))
        assert positions(match(dict(p, max_at=2), ["a", "b"], [3, 1])) == []

    def test_nan_time_never_matches(self):
        assert positions(match(pattern(time_event()), ["a", "b"], [NAN, 1])) == [[1]]

    def test_dynamic_time_window_relative_to_the_previous_element(self):
        p = pattern(event("a"), dynamic_time_event(rel_min_dt=1, rel_max_dt=2))
        got = match(p, ["a", "b", "c", "d"], [0, 1, 2, 3])
        assert positions(got) == [[0, 1], [0, 2]]

    def test_nan_bound_of_a_dynamic_window_gives_way(self):
        # max and min of the window let a NaN operand give way to the other
        # side: a NaN max_at or min_at leaves the relative bound; without a
        # reference time the relative side is NaN too and nothing passes.
        p = pattern(event("a"), dynamic_time_event(max_at=NAN))
        assert positions(match(p, ["a", "b"], [0, 1])) == [[0, 1]]
        p = pattern(event("a"), dynamic_time_event(min_at=NAN, rel_min_dt=2))
        assert positions(match(p, ["a", "b", "c"], [0, 1, 2])) == [[0, 2]]
        assert positions(match(pattern(dynamic_time_event(max_at=NAN)), ["a"], [0])) == []

    def test_dynamic_time_window_without_reference_time(self):
        # Without a previous element r is -inf: a finite rel_max_dt gives an empty
        # window; rel_max_dt inf gives -inf + inf = NaN, which leaves max_at.
        assert positions(match(pattern(dynamic_time_event(rel_max_dt=5)), ["a"], [0])) == []
        p = pattern(dynamic_time_event(min_at=1))
        assert positions(match(p, ["a", "b"], [0, 1])) == [[1]]


class TestValues:
    def test_range_is_inclusive_and_fails_nan(self):
        p = pattern(event("a", min_val=1.0, max_val=2.0))
        got = match(p, ["a"] * 4, [0, 1, 2, 3], [0.0, 1.0, 2.0, NAN])
        assert positions(got) == [[1], [2]]

    def test_require_nan(self):
        p = pattern(event("a", require_nan_val=True, min_val=5.0))
        assert positions(match(p, ["a", "a"], [0, 1], [1.0, NAN])) == [[1]]
        assert positions(match(p, ["a", "a"], [0, 1])) == [[0], [1]]

    def test_event_set_uses_the_first_equal_token(self):
        p = pattern(event_set(["a", "a"], min_vals=[5.0, 0.0]))
        assert positions(match(p, ["a", "a"], [0, 1], [1.0, 6.0])) == [[1]]


class TestSequences:
    def test_longer_sequence_wins(self):
        p = pattern(event_seq([["a", "b"], ["a", "b", "c"]]))
        got = match(p, ["a", "b", "c"], [5.0, 5.0, 5.0], include_tokens=True)
        assert_same_result(got, expected([0], [2], [5.0], [5.0], [[0]], [[5.0]], 1,
                                         el_tokens=[[["a", "b", "c"]]]))
        got = match(p, ["a", "b", "c"], [5.0, 5.0, 5.5], include_tokens=True)
        assert got["el_tokens"] == [[["a", "b"]]]
        assert got["m_end"].tolist() == [1]

    def test_times_must_be_exactly_equal(self):
        p = pattern(event_seq([["a", "b"]]))
        assert positions(match(p, ["a", "b"], [1.0, 1.0 + 1e-12])) == []

    def test_sequence_cut_by_the_end_of_the_stream(self):
        assert positions(match(pattern(event_seq([["a", "b"]])), ["a"], [0])) == []

    def test_constraint_on_the_second_token(self):
        p = pattern(event_seq([["a", "b"]], min_vals=[[NAN, 0.0]], max_vals=[[NAN, 10.0]]))
        for value, n in [(10.0, 1), (10.5, 0), (NAN, 0)]:
            assert len(match(p, ["a", "b"], [0, 0], [1.0, value])["m_start"]) == n
        p = pattern(event_seq([["a", "b"]], require_nan_vals=[[False, True]]))
        assert len(match(p, ["a", "b"], [0, 0], [1.0, 1.0])["m_start"]) == 0
        assert len(match(p, ["a", "b"], [0, 0], [1.0, NAN])["m_start"]) == 1
        assert len(match(p, ["a", "b"], [0, 0])["m_start"]) == 1

    def test_a_dead_end_edge_gives_way_to_the_next(self):
        # a carries Range [0, 1] towards b, and Any on its own; a = 0.5 alone
        # explores the Range edge, finds no b, and takes the Any edge.
        p = pattern(event_seq([["a", "b"], ["a"]], min_vals=[[0.0], [NAN]], max_vals=[[1.0], [NAN]]))
        assert match(p, ["a"], [0], [0.5])["m_end"].tolist() == [0]

    def test_a_terminal_edge_ends_the_walk(self):
        # The first edge under a (Range [0, 1]) ends a sequence: the walk stops
        # there and never tries the Any edge that leads on to b.
        p = pattern(event_seq([["a"], ["a", "b"]], min_vals=[[0.0], [NAN]], max_vals=[[1.0], [NAN]]))
        assert match(p, ["a", "b"], [0, 0], [0.5, NAN])["m_end"].tolist() == [0]
        assert match(p, ["a", "b"], [0, 0], [5.0, NAN])["m_end"].tolist() == [1]

    def test_sequence_slot_lists_its_tokens(self):
        p = pattern(event_seq([["a", "b", "c"]]), event("d"))
        got = match(p, ["a", "b", "c", "d"], [0, 0, 0, 1], include_tokens=True)
        assert_same_result(got, expected([0], [3], [0.0], [1.0], [[0, 3]], [[0.0, 1.0]], 2,
                                         el_tokens=[[["a", "b", "c"], "d"]]))

    def test_sequence_last_token_is_m_end(self):
        p = pattern(event("d"), event_seq([["a", "b"]]))
        got = match(p, ["d", "a", "b"], [0, 1, 1])
        assert got["m_end"].tolist() == [2]
        assert positions(got) == [[0, 1]]

    def test_empty_sequence_never_matches(self):
        assert positions(match(pattern(event_seq([[]])), ["a"], [0])) == []


class TestBlocking:
    def test_block_between_elements(self):
        p = pattern(event("a"), event("b", block_token="x"))
        assert positions(match(p, ["a", "x", "b"], [0, 1, 2])) == []
        # The continuation that looks past the first b meets x and retires b.
        assert positions(match(p, ["a", "b", "x", "b"], [0, 1, 2, 3])) == [[0, 1]]

    def test_block_at_the_match_position_wins(self):
        p = pattern(event("a"), event_set(["b"], block_tokens=["b"], block_min_vals=[1.0]))
        assert positions(match(p, ["a", "b", "b"], [0, 1, 2], [NAN, 1.0, 0.0])) == []
        assert positions(match(p, ["a", "b", "b"], [0, 1, 2], [NAN, 0.0, 1.0])) == [[0, 1]]

    def test_previous_element_token_does_not_block(self):
        p = pattern(event("x"), dynamic_event_set(static_match_tokens=["b"], block_from_last=True))
        assert positions(match(p, ["x", "b"], [0, 1])) == [[0, 1]]
        # The second x retires the element on the path from the first x; the
        # path that starts at the second x then finds b.
        assert positions(match(p, ["x", "x", "b"], [0, 1, 2])) == [[1, 2]]

    def test_retirement_lasts_one_scan(self):
        # Unordered: x retires a in the first scan, which then matches b at 1. The
        # continuation past b scans afresh from 2, where a is a candidate again.
        p = pattern(event("a", block_token="x"), event("b"), ordered=False)
        assert positions(match(p, ["x", "b", "a", "b"], [0, 1, 2, 3])) == [[1, 2], [2, 3]]
        ordered = pattern(event("a", block_token="x"), event("b"))
        assert positions(match(ordered, ["x", "b", "a", "b"], [0, 1, 2, 3])) == []

    def test_retired_mapped_element_stops_every_match_test_there(self):
        # After a, b retires the mapped element at 1. Ordered, b is the only
        # candidate there and matches; the next scan finds c. Unordered, the
        # retired mapped element stops b's test at 1 too, and no b follows.
        rules = {"a": {"match": "c", "block": "b"}}
        p = pattern(event("a"), event("b"), mapped_event(0, rules))
        assert positions(match(p, ["a", "b", "c"], [0, 1, 2])) == [[0, 1, 2]]
        p = pattern(event("a"), event("b"), mapped_event(0, rules), ordered=False)
        assert positions(match(p, ["a", "b", "c"], [0, 1, 2])) == []
        assert positions(match(p, ["a", "c", "b"], [0, 1, 2])) == [[0, 1, 2]]

    def test_block_sequence(self):
        p = pattern(event("a"), event_seq([["c"]], block_seqs=[["x", "y"]]))
        assert positions(match(p, ["a", "x", "y", "c"], [0, 1, 1, 2])) == []
        assert positions(match(p, ["a", "x", "y", "c"], [0, 1, 2, 2])) == [[0, 3]]


class TestDynamicAndMapped:
    def test_dynamic_event_matches_the_last_token(self):
        p = pattern(event_set(["x", "y"]), dynamic_event())
        got = match(p, ["x", "a", "y", "x"], [0, 1, 2, 3], include_tokens=True)
        assert positions(got) == [[0, 3]]
        assert got["el_tokens"] == [["x", "x"]]

    def test_dynamic_event_cannot_start_a_match(self):
        assert positions(match(pattern(dynamic_event()), ["a"], [0])) == []

    def test_dynamic_event_set_static_or_last(self):
        p = pattern(event("x"), dynamic_event_set(static_match_tokens=["a"], match_from_last=True))
        assert positions(match(p, ["x", "a", "x"], [0, 1, 2])) == [[0, 1], [0, 2]]

    def test_mapped_event_follows_its_source(self):
        rules = {"a": {"match": "c"}, ("b",): {"match": ["d", "e"], "max_dt": 2.0}}
        p = pattern(event_set(["a", "b"]), mapped_event(0, rules))
        assert positions(match(p, ["a", "d", "c"], [0, 1, 2])) == [[0, 2]]
        assert positions(match(p, ["b", "c", "e", "d"], [0, 1, 2, 3])) == [[0, 2]]

    def test_missing_key_without_default_kills_the_path(self):
        p = pattern(event_set(["a", "b"]), mapped_event(0, {"a": {"match": "c"}}))
        assert positions(match(p, ["b", "c"], [0, 1])) == []
        assert positions(match(p, ["a", "c"], [0, 1])) == [[0, 1]]

    def test_default_rule(self):
        rules = {"a": {"match": "c"}}
        p = pattern(event_set(["a", "b"]), mapped_event(0, rules, default={"match": "d"}))
        assert positions(match(p, ["b", "c", "d"], [0, 1, 2])) == [[0, 2]]

    def test_source_not_matched_on_the_path_uses_the_default(self):
        # Unordered: the mapped element can come first, before its source; its key
        # is then absent and the default applies.
        rules = {"a": {"match": "b"}}
        p = pattern(event("a"), mapped_event(0, rules, default={"match": "c"}), ordered=False)
        got = match(p, ["c", "a"], [0, 1], include_tokens=True)
        assert positions(got) == [[0, 1]]
        assert got["el_tokens"] == [["c", "a"]]
        p = pattern(event("a"), mapped_event(0, rules), ordered=False)
        assert positions(match(p, ["c", "a"], [0, 1])) == []

    def test_sequence_source_gives_a_tuple_key(self):
        p = pattern(event_seq([["a", "b"]]), mapped_event(0, {("a", "b"): {"match": "c"}}))
        assert positions(match(p, ["a", "b", "c"], [0, 0, 1])) == [[0, 2]]

    def test_mapped_sequence_rule(self):
        p = pattern(event("a"), mapped_event(0, {"a": {"match": [["b", "c"]]}}))
        got = match(p, ["a", "b", "c"], [0, 1, 1], include_tokens=True)
        assert got["el_tokens"] == [["a", ["b", "c"]]]


class TestCollectors:
    def test_count(self):
        p = pattern(event("a"), event("b"), event("c"), collector="count")
        assert_same_result(match(p, ["a", "b", "c"], [0, 1, 2])["result"], np.array([3.0]))

    def test_sum_times(self):
        p = pattern(event("a"), event("b"), collector="sum_times")
        assert_same_result(match(p, ["a", "b"], [1.0, 2.5])["result"], np.array([3.5]))

    def test_collecting_strategies(self):
        stream = (["a", "b"], [1.0, 2.5])
        tokens = pattern(event("a"), event("b"), collector="collect_tokens")
        assert_same_result(match(tokens, *stream)["result"], [["a", "b"]])
        times = pattern(event("a"), event("b"), collector="collect_times")
        assert_same_result(match(times, *stream)["result"], [np.array([1.0, 2.5])])
        pairs = pattern(event("a"), event("b"), collector="collect_pairs")
        assert_same_result(match(pairs, *stream)["result"], [[("a", 1.0), ("b", 2.5)]])

    def test_sequence_collects_its_first_token(self):
        p = pattern(event_seq([["a", "b"]]), collector="collect_tokens")
        assert match(p, ["a", "b"], [0, 0])["result"] == [["a"]]

    def test_none(self):
        got = match(A_B, ["a", "a", "b"], [0, 1, 2])
        assert got["result"] is None and got["mid_result"] is None

    def test_midstream_between_start_and_stop(self):
        # Collecting starts once a (element 0) is matched and stops once c
        # (element 2) is; the m before a and the m after c are not counted.
        p = pattern(event("a"), event("b"), event("c"),
                    midstream=midstream(["m"], [0], [2], collector="count"))
        got = match(p, list("mambmcm"), [0, 1, 2, 3, 4, 5, 6])
        assert_same_result(got["mid_result"], np.array([2.0]))

    def test_midstream_collects_only_along_the_final_path(self):
        p = pattern(event("a"), event("b"), midstream=midstream(["m"], [], []))
        got = match(p, ["a", "m", "a", "m", "b"], [0, 1, 2, 3, 4])
        # (0, 4): the scan for b from a at 0 passes m at 1 and m at 3. (2, 4): the
        # continuation that looks for a past 0 passes m at 1, then the scan for b
        # from a at 2 passes m at 3.
        assert positions(got) == [[0, 4], [2, 4]]
        assert got["mid_result"] == [["m", "m"], ["m", "m"]]

    def test_midstream_sequence_and_stop(self):
        p = pattern(event("a"), time_event(), ordered=True,
                    midstream=midstream([["m", "n"]], [0], [1], collector="collect_pairs"))
        got = match(p, ["a", "m", "n"], [0, 1, 1])
        # After a, the time element matches m at 1; the midstream collector sees
        # the sequence m-n at 1 first (it is active until element 1 matches).
        assert positions(got) == [[0, 1], [0, 2]]
        assert got["mid_result"] == [[("m", 1.0)], [("m", 1.0)]]

    def test_midstream_that_never_matches(self):
        for collector, empty in [("count", np.array([0.0, 0.0])), ("collect_tokens", [[], []]),
                                 ("collect_times", [np.array([]), np.array([])])]:
            p = pattern(event("a"), event("b"),
                        midstream=midstream(["z"], [], [], collector=collector))
            assert_same_result(match(p, ["a", "a", "b"], [0, 1, 2])["mid_result"], empty)

    def test_start_after_index_64_names_element_0(self):
        p = pattern(event("a"), event("b"), midstream=midstream(["m"], [64], [], collector="count"))
        got = match(p, ["m", "a", "m", "b"], [0, 1, 2, 3])
        assert_same_result(got["mid_result"], np.array([1.0]))

    def test_start_after_past_the_last_element_never_collects(self):
        p = pattern(event("a"), event("b"), midstream=midstream(["m"], [5], [], collector="count"))
        assert_same_result(match(p, ["a", "m", "b"], [0, 1, 2])["mid_result"], np.array([0.0]))


class TestResultDictionary:
    def test_no_matches(self):
        p = pattern(event("a"), event("b"), collector="sum_times",
                    midstream=midstream(["a"], [], [], collector="collect_times"))
        got = match(p, ["c"], [0], include_tokens=True)
        assert_same_result(got, expected([], [], [], [], [], [], 2, result=np.array([]),
                                         mid_result=[], el_tokens=[]))
        assert got["el_stream_idx"].shape == (0, 2)

    def test_keys_in_order(self):
        assert list(match(A_B, [], [])) == [
            "m_start", "m_end", "t_start", "t_end", "el_stream_idx", "el_times", "result",
            "mid_result"]
        assert list(match(A_B, [], [], include_tokens=True)) == [
            "m_start", "m_end", "t_start", "t_end", "el_stream_idx", "el_times", "el_tokens",
            "result", "mid_result"]

    def test_empty_pattern(self):
        got = match(pattern(), ["a"], [0], include_tokens=True)
        assert_same_result(got, expected([], [], [], [], [], [], 0, el_tokens=[]))

    def test_dtypes(self):
        got = match(A_B, ["a", "b"], [0, 1])
        assert [got[k].dtype for k in ("m_start", "m_end", "t_start", "t_end", "el_stream_idx",
                                       "el_times")] == [np.int64] * 2 + [np.float64] * 2 + [
            np.int64, np.float64]


class TestBatch:
    P = pattern(event("a"), event("b"))

    def test_no_documents(self):
        assert_same_result(match_batch(self.P, [], [], [0]), {
            "m_start": np.array([], dtype=np.int64), "m_end": np.array([], dtype=np.int64)})

    def test_first_match_per_document_relative_to_its_start(self):
        tokens = ["a", "b", "b", "a", "a", "b"]
        got = match_batch(self.P, tokens, [0, 1, 2, 0, 1, 2], [0, 3, 3, 6])
        assert_same_result(got, {"m_start": np.array([0, -1, 0]), "m_end": np.array([1, -1, 2])})

    def test_out_of_range_inverted_and_negative_offsets_skip(self):
        tokens = ["a", "b"]
        got = match_batch(self.P, tokens, [0, 1], [0, 2, 3, 0, 2, -1, 2])
        assert got["m_start"].tolist() == [0, -1, -1, 0, -1, -1]

    def test_mid(self):
        p = pattern(event("a"), event("b"), midstream=midstream(["m"], [], []))
        got = match_batch(p, ["a", "m", "m", "b", "a", "b"], [0, 1, 2, 3, 4, 5], [0, 4, 6, 6])
        assert_same_result(got, {"m_start": np.array([0, 0, -1]), "m_end": np.array([3, 1, -1]),
                                 "mid": np.array([2.0, 0.0, NAN])})

    def test_midstream_collector_none_gives_nan(self):
        p = pattern(event("a"), midstream=midstream(["a"], [], [], collector="none"))
        assert_same_result(match_batch(p, ["a"], [0], [0, 1])["mid"], np.array([NAN]))

    def test_ids_through_a_vocabulary(self):
        got = match_batch(self.P, [7, 9, 8], [0, 1, 2], [0, 3], vocab={7: "a", 8: "b"})
        assert got["m_start"].tolist() == [0]
        assert got["m_end"].tolist() == [2]


class TestCompile:
    def test_value_constraint_rule(self):
        assert constraint(5.0) == ("range", 5.0, INF)
        assert constraint(NAN, 5.0) == ("range", -INF, 5.0)
        assert constraint(5.0, NAN, True) == REQUIRE_NAN
        assert constraint() == ANY

    def test_event_defaults(self):
        el = compile_element(event("a"))
        assert (el.tokens, el.vcs, el.block_tokens, el.backtrackable) == (["a"], [ANY], [], True)
        assert (el.min_dt, el.max_dt, el.min_at, el.max_at) == (0.0, INF, -INF, INF)

    def test_event_set_plural_rule(self):
        assert compile_element(event_set(["a", "b"], min_vals=[1.0, NAN])).vcs == [
            ("range", 1.0, INF), ANY]
        el = compile_element(event_set(["a", "b"], block_min_vals=[1.0]))
        assert (el.vcs, el.block_tokens, el.block_vcs) == ([], [], [])

    def test_event_seq_constraints_ride_on_the_trie(self):
        trie = compile_element(event_seq([["a", "b"], ["c"]], min_vals=[[1.0], [2.0]])).match_trie
        [(a_vc, a_node)] = trie.children["a"]
        [(b_vc, b_node)] = a_node.children["b"]
        [(c_vc, c_node)] = trie.children["c"]
        assert (a_vc, b_vc, c_vc) == (("range", 1.0, INF), ANY, ("range", 2.0, INF))
        assert b_node.terminal and c_node.terminal and not a_node.terminal

    def test_time_event_block_rule(self):
        with pytest.raises(ValueError, match="use either block_token or block_tokens, not both"):
            compile_element(time_event(block_token="a", block_tokens=["b"]))
        with pytest.raises(ValueError, match="plural block value constraints require block_tokens"):
            compile_element(time_event(block_token="a", block_min_vals=[1.0]))
        with pytest.raises(ValueError, match="apply to block_token"):
            compile_element(time_event(block_tokens=["a"], block_min_val=0.0))
        with pytest.raises(ValueError, match=r"block_max_vals must have length 2 to match "
                                             r"block_tokens \(got 1\)"):
            compile_element(time_event(block_tokens=["a", "b"], block_max_vals=[1.0]))
        el = compile_element(time_event(block_tokens=["a"], block_min_val=NAN))
        assert el.block_tokens == ["a"]

    def test_match_map_entry_rule(self):
        assert compile_entry({"match": "x", "min_val": [1.0, 2.0]}).vcs == [("range", 1.0, INF)]
        assert compile_entry({"match": "x", "min_val": []}).vcs == [ANY]
        rule = compile_entry({"match": ["x", "y"], "min_val": [1.0, 2.0]})
        assert rule.vcs == [("range", 1.0, INF), ("range", 2.0, INF)]
        rule = compile_entry({"match": [["x", "y"]], "min_val": [[1.0]]})
        [(x_vc, x_node)] = rule.seq_trie.children["x"]
        [(y_vc, _)] = x_node.children["y"]
        assert (rule.tokens, x_vc, y_vc) == ([], ("range", 1.0, INF), ANY)
        assert compile_entry({"match": "x", "block_min_val": [1.0]}).block_tokens == []

    def test_equal_keys_last_wins(self):
        el = compile_element(mapped_event(0, {"a": {"match": "b"}, ("a",): {"match": "c"}}))
        assert list(el.rules) == [("a",)]
        assert el.rules[("a",)].tokens == ["c"]

    def test_dynamic_event_defaults(self):
        el = compile_element(dynamic_event())
        assert (el.vc, el.block_tokens) == (ANY, [])
