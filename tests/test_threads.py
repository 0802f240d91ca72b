"""Calls that give up the interpreter lock: threads sharing one Zuldor, or
splitting one corpus, get exactly the serial results."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np

import zuldcore


def corpus(n_docs=3000, seed=5):
    rng = np.random.default_rng(seed)
    lengths = rng.poisson(12, n_docs)
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    vocab = ["a", "b", "c", "d"]
    ids = np.array(zuldcore.vocab_ids(vocab), dtype=np.uint32)[rng.integers(0, 4, offsets[-1])]
    times = np.cumsum(rng.random(offsets[-1]))
    values = rng.random(offsets[-1])
    return ids, times, values, offsets


def patterns():
    fast = zuldcore.Pattern()
    fast.add_event("a")
    fast.add_event("b")
    general = zuldcore.Pattern()
    general.add_event("a", max_val=0.7)
    general.add_event("b", max_dt=2.0, block_token="d")
    general.add_midstream_collector(["c"], [0], [1], "count")
    return [fast, general]


def test_match_batch_over_slices_of_one_corpus():
    ids, times, values, offsets = corpus()
    for p in patterns():
        z = zuldcore.Zuldor(p)
        serial = z.match_batch(ids, times, offsets, values)
        cuts = np.linspace(0, len(offsets) - 1, 9).astype(int)
        with ThreadPoolExecutor(4) as pool:
            parts = list(pool.map(lambda k: z.match_batch(ids, times, offsets[cuts[k]:cuts[k + 1] + 1], values),
                                  range(8)))
        for key in serial:
            assert np.array_equal(np.concatenate([d[key] for d in parts]), serial[key], equal_nan=True)


def test_one_zuldor_in_many_threads():
    ids, times, values, offsets = corpus(300)
    vocab = ["a", "b", "c", "d"]
    tokens = [vocab[zuldcore.vocab_ids(vocab).index(i)] for i in ids.tolist()]
    for p in patterns():
        z = zuldcore.Zuldor(p)
        want = z.match_stream(tokens, times, values)
        with ThreadPoolExecutor(4) as pool:
            got = list(pool.map(lambda _: z.match_stream(tokens, times, values), range(12)))
        for d in got:
            assert np.array_equal(d["el_stream_idx"], want["el_stream_idx"])
            assert np.array_equal(d["t_end"], want["t_end"])
