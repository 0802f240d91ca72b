"""No leaked or stolen references, on success and on every error path."""


import numpy as np
import pytest

import zuldcore

from helpers import Floaty, refcounts


@pytest.mark.parametrize(
    "call",
    [
        lambda t, x: zuldcore.vocab_ids(t),
        lambda t, x: zuldcore.vocab_ids(np.array(t)),
        lambda t, x: zuldcore.vocab_ids([t[0], 5]),
        lambda t, x: zuldcore.annotate_stream(t, x, []),
        lambda t, x: zuldcore.annotate_stream(t, x[:1], []),
        lambda t, x: zuldcore.annotate_stream(t, [x[0], "bad"], []),
        lambda t, x: zuldcore.annotate_stream(t, x, [], x),
        lambda t, x: zuldcore.vocab_ids(tokens=t, bogus=x),
    ],
)
def test_calls_keep_reference_counts(call):
    token = "tok-refcount"
    tokens = [token, "other-refcount"]
    times = [Floaty(), 2.0]
    watched = [token, tokens, times, times[0], times[1]]
    for _ in range(20):  # warm caches (UTF-8 forms, interned ints)
        try:
            call(tokens, times)
        except (TypeError, ValueError):
            pass
    before = refcounts(watched)
    for _ in range(1000):
        try:
            call(tokens, times)
        except (TypeError, ValueError):
            pass
    assert refcounts(watched) == before


def test_result_ints_are_owned_by_the_list():
    ids = zuldcore.vocab_ids(["refcount-shared"] * 1000)
    assert len(set(map(id, ids))) == 1
    del ids  # freeing must not underflow the shared int's count
    ids = zuldcore.vocab_ids(["refcount-shared"] * 10)
    assert len(ids) == 10


def _zuldor():
    p = zuldcore.Pattern(collector="collect_pairs")
    p.add_event("tok-refcount")
    p.add_event("other-refcount")
    return zuldcore.Zuldor(p)


ZULDOR = _zuldor()
IDS = np.array(zuldcore.vocab_ids(["tok-refcount", "other-refcount"]), dtype=np.uint32)


@pytest.mark.parametrize(
    "call",
    [
        lambda t, x: ZULDOR.match_stream(t, x, include_tokens=True),
        lambda t, x: ZULDOR.match_stream(t, x, first_only=1),
        lambda t, x: ZULDOR.match_stream(t, x[:1]),
        lambda t, x: ZULDOR.match_preprocessed(ZULDOR.preprocess(t, x), include_tokens=True),
        lambda t, x: ZULDOR.match_batch(IDS, np.array([0.0, 2.0]), np.array([0, 2])),
        lambda t, x: ZULDOR.match_batch(IDS, x, np.array([0, 2])),
        lambda t, x: zuldcore.Zuldor(t),
    ],
)
def test_matching_keeps_reference_counts(call):
    token = "tok-refcount"
    tokens = [token, "other-refcount"]
    times = [Floaty(), 2.0]
    watched = [token, tokens, times, times[0], times[1], ZULDOR, IDS]
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
