"""Zuldor, PreprocessedStream and match_batch: the matcher's Python face, the
result dictionary's format, and every refused input."""

import numpy as np
import pytest

import zuldcore
from zuldcore import Pattern, Zuldor

KEYS = ["m_start", "m_end", "t_start", "t_end", "el_stream_idx", "el_times", "result", "mid_result"]
KEYS_WITH_TOKENS = KEYS[:6] + ["el_tokens"] + KEYS[6:]


def pattern(*tokens, **kwargs):
    p = Pattern(**kwargs)
    for t in tokens:
        p.add_event(t)
    return p


def a_then_b():
    return Zuldor(pattern("a", "b"))


class TestResultDictionary:
    def test_keys_dtypes_and_shapes(self):
        d = a_then_b().match_stream(["a", "b", "a", "b"], [0.0, 1.0, 2.0, 3.0])
        assert list(d) == KEYS
        for key, dtype in [("m_start", np.int64), ("m_end", np.int64), ("t_start", np.float64),
                           ("t_end", np.float64), ("el_stream_idx", np.int64), ("el_times", np.float64)]:
            assert d[key].dtype == dtype, key
        assert d["m_start"].tolist() == [0, 0, 2]
        assert d["m_end"].tolist() == [1, 3, 3]
        assert d["el_stream_idx"].tolist() == [[0, 1], [0, 3], [2, 3]]
        assert d["el_times"].tolist() == [[0.0, 1.0], [0.0, 3.0], [2.0, 3.0]]
        assert d["result"] is None and d["mid_result"] is None

    def test_two_dimensional_columns_are_views_that_own_their_data(self):
        d = a_then_b().match_stream(["a", "b"], [0.0, 1.0])
        idx = d["el_stream_idx"]
        assert idx.shape == (1, 2) and idx.flags.c_contiguous
        assert idx.base is not None and idx.base.ndim == 1
        flat = idx.base
        del d, idx
        assert flat.tolist() == [0, 1]  # the view's base keeps the engine's storage alive

    def test_no_matches(self):
        d = Zuldor(pattern("a", "b", "c")).match_stream(["a"], [0.0], include_tokens=True)
        assert list(d) == KEYS_WITH_TOKENS
        assert d["m_start"].shape == (0,) and d["el_stream_idx"].shape == (0, 3)
        assert d["el_times"].shape == (0, 3) and d["el_tokens"] == []

    def test_empty_stream(self):
        d = a_then_b().match_stream([], [])
        assert all(d[k].size == 0 for k in KEYS[:6])

    def test_el_tokens_mix_str_and_lists(self):
        p = Pattern()
        p.add_event("a")
        p.add_event_seq([["x", "y", "z"]])
        d = Zuldor(p).match_stream(["a", "x", "y", "z"], [0.0, 1.0, 1.0, 1.0], include_tokens=True)
        assert d["el_tokens"] == [["a", ["x", "y", "z"]]]
        assert d["m_end"].tolist() == [3]

    def test_without_tokens_the_key_is_absent(self):
        d = a_then_b().match_stream(["a", "b"], [0.0, 1.0], include_tokens=False)
        assert "el_tokens" not in d

    @pytest.mark.parametrize(
        "collector, expected",
        [
            ("count", [2.0]),
            ("sum_times", [3.5]),
            ("collect_tokens", [["a", "b"]]),
            ("collect_pairs", [[("a", 1.0), ("b", 2.5)]]),
        ],
    )
    def test_collectors(self, collector, expected):
        d = Zuldor(pattern("a", "b", collector=collector)).match_stream(["a", "b"], [1.0, 2.5])
        result = d["result"]
        if isinstance(result, np.ndarray):
            assert result.dtype == np.float64
            result = result.tolist()
        assert result == expected

    def test_collect_times_gives_one_array_per_match(self):
        d = Zuldor(pattern("a", "b", collector="collect_times")).match_stream(["a", "b"], [1.0, 2.5])
        [times] = d["result"]
        assert times.dtype == np.float64 and times.tolist() == [1.0, 2.5]


class TestZuldor:
    def test_pattern_is_copied_at_construction(self):
        p = pattern("a")
        z = Zuldor(p)
        p.add_event("b")
        assert z.match_stream(["a"], [0.0])["m_start"].tolist() == [0]

    @pytest.mark.parametrize("bad", [None, 1, "a", [Pattern()]])
    def test_constructor_needs_a_pattern(self, bad):
        with pytest.raises(TypeError, match="argument 'pattern'"):
            Zuldor(bad)

    @pytest.mark.parametrize("flag", [0, 1, None, "yes", 1.0])
    @pytest.mark.parametrize("name", ["first_only", "include_tokens"])
    def test_flags_accept_only_bools(self, name, flag):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            a_then_b().match_stream(["a"], [0.0], **{name: flag})

    def test_numpy_bool_is_a_bool(self):
        d = a_then_b().match_stream(["a", "b", "b"], [0.0, 1.0, 2.0], first_only=np.bool_(True))
        assert d["m_start"].tolist() == [0]

    def test_size_limit_checked_when_matching(self):
        names = [f"e{i}" for i in range(65)]
        z = Zuldor(pattern(*names))
        stream = z.preprocess(["a"], [0.0])
        for call in (lambda: z.match_stream(["a"], [0.0]), lambda: z.match_preprocessed(stream)):
            with pytest.raises(ValueError, match="^Pattern has 65 elements; maximum is 64$"):
                call()
        d = Zuldor(pattern(*names[:64])).match_stream(names[:64], [0.0] * 64)
        assert d["el_stream_idx"].tolist() == [list(range(64))]

    def test_length_errors(self):
        with pytest.raises(ValueError, match="^times has length 1 but tokens has length 2$"):
            a_then_b().match_stream(["a", "b"], [0.0])
        with pytest.raises(ValueError, match="^values has length 1 but tokens has length 2$"):
            a_then_b().preprocess(["a", "b"], [0.0, 1.0], [1.0])


class TestPreprocessedStream:
    def test_len_and_repr(self):
        s = a_then_b().preprocess(["a", "b"], [0.0, 1.0])
        assert len(s) == 2 and repr(s) == "PreprocessedStream(len=2)"

    def test_no_constructor(self):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            zuldcore.PreprocessedStream()

    def test_matches_like_match_stream_from_any_zuldor(self):
        tokens, times, values = ["a", "b", "a", "b"], [0.0, 1.0, 1.0, 2.0], [1.0, np.nan, 2.0, 3.0]
        s = Zuldor(Pattern()).preprocess(tokens, times, values)
        z = Zuldor(pattern("a", "b", collector="collect_pairs"))
        for kw in ({}, {"include_tokens": True}, {"first_only": True}):
            a = z.match_preprocessed(s, **kw)
            b = z.match_stream(tokens, times, values, **kw)
            assert list(a) == list(b)
            assert repr(a) == repr(b)

    def test_stream_argument_type(self):
        with pytest.raises(TypeError, match="^argument 'stream': "):
            a_then_b().match_preprocessed(["a"])


def batch(ids, times, offsets, values=None):
    return dict(
        token_ids=np.asarray(ids, dtype=np.uint32),
        times=np.asarray(times, dtype=np.float64),
        offsets=np.asarray(offsets, dtype=np.int64),
        values=None if values is None else np.asarray(values, dtype=np.float64),
    )


class TestMatchBatch:
    def ids(self, *tokens):
        return zuldcore.vocab_ids(list(tokens))

    def test_first_match_per_document_relative_positions(self):
        a, b, c = self.ids("a", "b", "c")
        ids = [a, b, c, c, a, c, b, a, b]
        times = list(range(9))
        d = a_then_b().match_batch(**batch(ids, times, [0, 2, 4, 7, 9]))
        assert list(d) == ["m_start", "m_end"]
        assert d["m_start"].dtype == np.int64
        assert d["m_start"].tolist() == [0, -1, 0, 0]
        assert d["m_end"].tolist() == [1, -1, 2, 1]

    @pytest.mark.parametrize(
        "offsets, expected",
        [
            ([0], []),
            ([0, 3, 3, 5], [0, -1, 0]),
            ([0, 99], [-1]),
            ([3, 0], [-1]),
            ([-1, 2], [-1]),
            ([0, 2, 5], [0, 0]),
        ],
    )
    def test_documents_skipped_not_refused(self, offsets, expected):
        a, b = self.ids("a", "b")
        d = a_then_b().match_batch(**batch([a, b, a, a, b], range(5), offsets))
        assert d["m_start"].tolist() == expected

    def test_mid_column_only_with_a_midstream_collector(self):
        a, b, x = self.ids("a", "b", "x")
        p = pattern("a", "b")
        p.add_midstream_collector(["x"], [0], [1], "count")
        d = Zuldor(p).match_batch(**batch([a, x, x, b, b], range(5), [0, 4, 5]))
        assert list(d) == ["m_start", "m_end", "mid"]
        assert d["mid"].tolist()[0] == 2.0 and np.isnan(d["mid"][1])

    def test_agrees_with_first_match_of_match_stream(self):
        rng = np.random.default_rng(3)
        vocab = ["a", "b", "c"]
        codes = rng.integers(0, 3, 300)
        times = np.cumsum(rng.integers(0, 3, 300)).astype(np.float64)
        offsets = np.array([0, 10, 10, 37, 100, 180, 300], dtype=np.int64)
        ids = np.array(zuldcore.vocab_ids(vocab), dtype=np.uint32)[codes]
        z = Zuldor(pattern("a", "b", "c", max_dt=5.0))
        d = z.match_batch(ids, times, offsets)
        for k in range(len(offsets) - 1):
            s, e = offsets[k], offsets[k + 1]
            m = z.match_stream([vocab[c] for c in codes[s:e]], times[s:e], first_only=True)
            assert d["m_start"][k] == (m["m_start"][0] if len(m["m_start"]) else -1)
            assert d["m_end"][k] == (m["m_end"][0] if len(m["m_end"]) else -1)

    def test_ids_outside_the_vocabulary_are_just_tokens(self):
        d = a_then_b().match_batch(**batch([2**32 - 1, 2**32 - 2], [0.0, 1.0], [0, 2]))
        assert d["m_start"].tolist() == [-1]

    @pytest.mark.parametrize(
        "name, value",
        [
            ("token_ids", np.array([0, 1], dtype=np.int64)),
            ("token_ids", [0, 1]),
            ("token_ids", np.zeros((2, 1), dtype=np.uint32)),
            ("times", np.array([0.0, 1.0], dtype=np.float32)),
            ("times", [0.0, 1.0]),
            ("offsets", np.array([0, 2], dtype=np.uint64)),
            ("offsets", np.array([0, 2], dtype=np.int32)),
            ("values", np.array([0.0, 1.0], dtype=np.float32)),
            ("values", [0.0, 1.0]),
        ],
    )
    def test_wrong_array_types(self, name, value):
        args = batch([0, 1], [0.0, 1.0], [0, 2])
        args[name] = value
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            a_then_b().match_batch(**args)

    @pytest.mark.parametrize("name", ["token_ids", "times", "offsets", "values"])
    def test_non_contiguous(self, name):
        args = batch([0, 1, 0, 1], [0.0, 1.0, 2.0, 3.0], [0, 2, 0, 4], [0.0] * 4)
        args[name] = args[name][::2]
        if name != "offsets":
            for other in ("token_ids", "times", "values"):
                if other != name:
                    args[other] = args[other][:2]
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            a_then_b().match_batch(**args)

    def test_value_errors(self):
        z = a_then_b()
        with pytest.raises(ValueError, match=r"^offsets must have length n_docs \+ 1$"):
            z.match_batch(**batch([0], [0.0], []))
        with pytest.raises(ValueError, match="^times has length 2 but token_ids has length 1$"):
            z.match_batch(**batch([0], [0.0, 1.0], [0, 1]))
        with pytest.raises(ValueError, match="^values has length 2 but token_ids has length 1$"):
            z.match_batch(**batch([0], [0.0], [0, 1], [0.0, 1.0]))
        with pytest.raises(ValueError, match="^Pattern has 65 elements; maximum is 64$"):
            Zuldor(pattern(*[f"e{i}" for i in range(65)])).match_batch(**batch([0], [0.0], [0, 1]))
