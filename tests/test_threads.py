"""Calls that give up the interpreter lock: threads sharing one Zuldor, or
splitting one corpus, get exactly the serial results."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np

import zuldcore
from model import assert_same_result


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


# ---------------------------------------------------------------- the interrupt poll


def long_calls():
    """state_spans, annotate_stream and match_preprocessed over one stream of
    200,000 events: each runs thousands of interrupt polls without the lock."""
    n = 200_000
    vocab = ["a", "b", "c", "d"]
    tokens = [vocab[i] for i in np.random.default_rng(3).integers(0, 4, n)]
    times = np.arange(n, dtype=np.float64)
    machine = zuldcore.StateMachine()
    machine.add_state("s", max_gap=3.0)
    machine.add_entry("s", "a")
    machine.add_exit("s", "d")
    specs = [zuldcore.AnnotationSpec.window_aggregate("w", "b", 10.0, "count"),
             zuldcore.AnnotationSpec.past_occurrence("p", "c", 5.0)]
    p = zuldcore.Pattern()
    p.add_event("a")
    p.add_event("b", max_dt=4.0)
    z = zuldcore.Zuldor(p)
    stream = z.preprocess(tokens, times)
    return [
        lambda: zuldcore.state_spans(tokens, times, machine),
        lambda: zuldcore.annotate_stream(tokens, times, specs),
        lambda: z.match_preprocessed(stream),
    ]


def test_calls_in_a_worker_thread_never_take_the_lock_to_poll():
    # Only the main thread sees signals: a worker's poll must not wait for the
    # interpreter lock, which the busy loop below holds most of the time.
    import sys
    import threading

    internal = sys.modules["zuldcore._internal"]
    for call in long_calls():
        want = call()
        done = threading.Event()
        got = []

        def work():
            got.append(call())
            done.set()

        before = internal.locked_polls()
        worker = threading.Thread(target=work)
        worker.start()
        spins = 0
        while not done.is_set():  # a Python loop that wants the lock all the time
            spins += 1
        worker.join()
        assert internal.locked_polls() == before
        assert_same_result(got[0], want)


def test_a_long_call_answers_ctrl_c_while_another_thread_runs_python():
    import textwrap

    from helpers import interrupt_child

    code = textwrap.dedent(
        """
        import threading, time, numpy as np, zuldcore
        A = zuldcore.AnnotationSpec
        n = 200_000
        tokens = ["k", "a"] * (n // 2)
        times = np.arange(n, dtype=np.float64)
        specs = [A.window_aggregate(f"w{i}", "k", float(i), "mean") for i in range(20_000)]
        stop = False
        def spin():
            while not stop:
                pass
        threading.Thread(target=spin, daemon=True).start()
        try:
            t0 = time.perf_counter()
            print("ready", flush=True)
            zuldcore.annotate_stream(tokens, times, specs, times)
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        stop = True
        """
    )
    line, waited = interrupt_child(code)
    assert line == "interrupted"
    assert waited < 10
