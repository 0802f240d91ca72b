"""The model search: every match of a plain pattern in a stream, and the result
dictionary that zuldcore.Zuldor.match_stream returns for it; match_batch, the
first match of each document of a corpus.

A depth-first search over partial matches on an explicit stack, following the
matching rules one by one. A partial match keeps only its path (the matched
elements, oldest first), where its next scan starts, and its midstream value;
everything else (matched set, reference time, last token, t_start, t_end,
m_start, m_end, the pattern collector) is read off the path when needed.
"""

import math
from dataclasses import dataclass

import numpy as np

from model.pattern import ANY, INF, NAN, compile_pattern, constraint, constraint_of, passes

# ---------------------------------------------------------------- streams and tries


@dataclass
class Stream:
    tokens: list
    times: list  # floats
    values: list  # floats, NaN = no value (all NaN when the stream has no values)

    def __len__(self):
        return len(self.tokens)


def make_stream(tokens, times, values=None):
    n = len(tokens)
    assert len(times) == n and (values is None or len(values) == n)
    return Stream(
        tokens=list(tokens),
        times=[float(t) for t in times],
        values=[math.nan] * n if values is None else [float(v) for v in values],
    )


def occurrence(trie, stream, start):
    """Length of the stored sequence of `trie` that occurs at `start`, all at the
    time of `start`; 0 when none does."""
    length = _walk(trie, stream, stream.times[start], start, start)
    return 0 if length is None else length


def _walk(node, stream, t, start, pos):
    if pos >= len(stream):
        return None
    if not stream.times[pos] == t:  # exact equality; a NaN time never equals
        return None
    for vc, child in node.children.get(stream.tokens[pos], []):
        if not passes(vc, stream.values[pos]):
            continue
        deeper = _walk(child, stream, t, start, pos + 1)
        if child.terminal:
            # A sequence ends here: the longer continuation if there is one, else
            # this one; later edges under the same token are not tried.
            return deeper if deeper is not None else pos + 1 - start
        if deeper is not None:
            return deeper
    return None


# ---------------------------------------------------------------- collectors

# A collector value: None ("none"), a float sum, an int count, or a tuple of
# tokens, times or (token, time) pairs.


def initial(strategy):
    return {
        "none": None,
        "sum_times": 0.0,
        "count": 0,
        "collect_tokens": (),
        "collect_times": (),
        "collect_pairs": (),
    }[strategy]


def update(strategy, value, token, time):
    if strategy == "none":
        return None
    if strategy == "sum_times":
        return value + time
    if strategy == "count":
        return value + 1
    if strategy == "collect_tokens":
        return value + (token,)
    if strategy == "collect_times":
        return value + (time,)
    return value + ((token, time),)


def collector_output(strategy, values):
    """The result-dictionary value of one collector, from its per-match values."""
    if strategy == "none":
        return None
    if strategy in ("sum_times", "count"):
        return np.array([float(v) for v in values], dtype=np.float64)
    if strategy == "collect_tokens":
        return [list(v) for v in values]
    if strategy == "collect_times":
        return [np.array(v, dtype=np.float64) for v in values]
    return [[(token, float(time)) for token, time in v] for v in values]


# ---------------------------------------------------------------- partial matches


@dataclass(frozen=True)
class Step:
    """One matched element on a path."""

    element: int
    pos: int  # stream position of its first token
    time: float  # time at pos
    tokens: tuple  # the matched tokens (several for a same-timestamp sequence)


@dataclass(frozen=True)
class Partial:
    path: tuple  # Steps, oldest first
    scan_pos: int  # first position at which the next element may start
    mid: object  # the midstream collector's value along this path

    def matched(self):
        return {step.element for step in self.path}

    def prev_time(self):
        """The reference time: the time of the most recently matched element."""
        return self.path[-1].time if self.path else None

    def last_token(self):
        """The most recently matched element's token (a sequence's first token)."""
        return self.path[-1].tokens[0] if self.path else None

    def t_start(self):
        return self.path[0].time

    def t_end(self):
        """The largest matched time; NaN times are ignored."""
        largest = -INF
        for step in self.path:
            if not math.isnan(step.time):
                largest = max(largest, step.time)
        return largest


def within(bounds, t, dt):
    """Timing bounds of an element or rule; inclusive, and NaN fails them."""
    return bounds.min_dt <= dt <= bounds.max_dt and bounds.min_at <= t <= bounds.max_at


def nan_ignoring(pick, a, b):
    """max() or min() of two floats where a NaN operand gives way to the other."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return pick(a, b)


def within_window(element, t, prev_time):
    """A dynamic time element: t in [max(min_at, r + rel_min_dt), min(max_at, r +
    rel_max_dt)] with r the reference time (-inf without one), and dt >= 0.

    max and min let a NaN operand give way to the other one: a NaN sum
    (-inf + inf) leaves that side at min_at or max_at, and likewise a NaN
    min_at or max_at leaves that side to the relative bound."""
    r = -INF if prev_time is None else prev_time
    dt = 0.0 if prev_time is None else t - prev_time
    lo = nan_ignoring(max, element.min_at, r + element.rel_min_dt)
    hi = nan_ignoring(min, element.max_at, r + element.rel_max_dt)
    return 0.0 <= dt and lo <= t <= hi


def rule_of(element, partial):
    """The rule a mapped element follows on this path, or None (not a candidate).

    The key is the tokens that the source element matched on this path. When the
    source element is not matched on the path, the key is absent: the default
    applies, or the element is not a candidate."""
    key = None
    for step in partial.path:
        if step.element == element.source_element:
            key = step.tokens
    if key is not None and key in element.rules:
        return element.rules[key]
    return element.default


def blocks(element, rule, stream, p, last_token):
    """Whether the event at p retires this candidate for the rest of the scan."""
    token, value = stream.tokens[p], stream.values[p]
    if element.kind == "mapped_event":
        return token in rule.block_tokens and passes(
            constraint_of(rule.block_tokens, rule.block_vcs, token), value)
    if token in element.block_tokens and passes(
            constraint_of(element.block_tokens, element.block_vcs, token), value):
        return True
    if (element.kind == "dynamic_event_set" and element.block_from_last
            and last_token is not None and token == last_token):
        return True  # the last token blocks unconstrained
    if element.kind == "event_seq" and element.block_trie is not None:
        return occurrence(element.block_trie, stream, p) >= 1
    return False


def token_matches(element, token, value, last_token):
    """The token test of event, event_set, dynamic_event and dynamic_event_set."""
    if element.kind in ("event", "event_set"):
        return token in element.tokens and passes(
            constraint_of(element.tokens, element.vcs, token), value)
    if element.kind == "dynamic_event":
        return last_token is not None and token == last_token and passes(element.vc, value)
    # dynamic_event_set: a static token keeps its own constraint even when it is
    # also the last token; the last token alone is unconstrained.
    if token in element.tokens:
        return passes(constraint_of(element.tokens, element.vcs, token), value)
    return element.match_from_last and last_token is not None and token == last_token


def matches_at(model, candidates, rules, stream, p, partial):
    """The (element, token count) pairs matching at p, in test order: sequence
    elements, time elements, mapped elements, then the token elements; each
    group in ascending element order."""
    token, t, value = stream.tokens[p], stream.times[p], stream.values[p]
    prev_time = partial.prev_time()
    dt = 0.0 if prev_time is None else t - prev_time
    last_token = partial.last_token()
    found = []
    for k in candidates:
        element = model.elements[k]
        if element.kind == "event_seq":
            length = occurrence(element.match_trie, stream, p)
            if length >= 1 and within(element, t, dt):
                found.append((k, length))
    for k in candidates:
        element = model.elements[k]
        if element.kind == "time_event" and within(element, t, dt):
            found.append((k, 1))
        if element.kind == "dynamic_time_event" and within_window(element, t, prev_time):
            found.append((k, 1))
    for k in candidates:
        if model.elements[k].kind != "mapped_event":
            continue
        rule = rules[k]
        if not within(rule, t, dt):
            continue
        if rule.seq_trie is not None:
            length = occurrence(rule.seq_trie, stream, p)
            if length >= 1:
                found.append((k, length))
        elif token in rule.tokens and passes(constraint_of(rule.tokens, rule.vcs, token), value):
            found.append((k, 1))
    for k in candidates:
        element = model.elements[k]
        if (element.kind in ("event", "event_set", "dynamic_event", "dynamic_event_set")
                and token_matches(element, token, value, last_token) and within(element, t, dt)):
            found.append((k, 1))
    return found


def midstream_active(model, partial):
    midstream = model.midstream
    matched = partial.matched()
    return midstream.start_after <= matched and not (midstream.stop_before & matched)


def scan(model, stream, partial):
    """Looks for the next element of `partial` from its scan position on.

    Returns (p, [(element, token count), ...], midstream value at p) for the first
    position p at which any candidate matches, or None when the scan ends first."""
    n = len(model.elements)
    unmatched = [k for k in range(n) if k not in partial.matched()]
    wanted = unmatched[:1] if model.ordered else unmatched
    rules = {}
    candidates = []
    for k in wanted:
        if model.elements[k].kind == "mapped_event":
            rule = rule_of(model.elements[k], partial)
            if rule is None:
                continue
            rules[k] = rule
        candidates.append(k)

    mid = partial.mid
    collecting = model.midstream is not None and midstream_active(model, partial)
    for p in range(partial.scan_pos, len(stream)):
        t = stream.times[p]
        if partial.path and t - partial.t_start() > model.max_dt:
            return None  # pruned: too late for the whole pattern
        if collecting and occurrence(model.midstream.trie, stream, p) >= 1:
            mid = update(model.midstream.collector, mid, stream.tokens[p], t)
        # Blocking comes before the match tests at p: a block at p wins. A retired
        # candidate takes no part in the rest of this scan. A retired mapped
        # element also stops every match test at p, whichever element it would
        # be for; retiring any other kind stops only its own
        # (test_model_selfcheck.py, TestBlocking pins this down).
        retired = [k for k in candidates
                   if blocks(model.elements[k], rules.get(k), stream, p, partial.last_token())]
        candidates = [k for k in candidates if k not in retired]
        if any(model.elements[k].kind == "mapped_event" for k in retired):
            continue
        found = matches_at(model, candidates, rules, stream, p, partial)
        if found:
            return p, found, mid
    return None


def complete_match_passes(model, partial):
    d = partial.t_end() - partial.t_start()
    return (model.min_dt <= d <= model.max_dt and partial.t_start() >= model.min_at
            and partial.t_end() <= model.max_at)


def search(model, stream, first_only=False):
    """The complete matches (as Partials) in the order the search emits them."""
    n = len(model.elements)
    if n == 0 or len(stream) == 0:
        return []
    mid_strategy = "none" if model.midstream is None else model.midstream.collector
    everything = set(range(n))
    emitted = []
    stack = [Partial(path=(), scan_pos=0, mid=initial(mid_strategy))]
    while stack:
        partial = stack.pop()
        if partial.matched() == everything:
            if complete_match_passes(model, partial):
                emitted.append(partial)
                if first_only:
                    break
            continue
        found = scan(model, stream, partial)
        if found is None:
            continue
        p, hits, mid = found
        # The continuation (the same partial match, looking past p) is explored
        # after every child; children in test order, the first hit first. The
        # continuation scans afresh: what this scan retired is a candidate again
        # (test_model_selfcheck.py, test_retirement_lasts_one_scan).
        if any(model.elements[k].backtrackable for k, _ in hits):
            stack.append(Partial(path=partial.path, scan_pos=p + 1, mid=mid))
        for k, length in reversed(hits):
            step = Step(element=k, pos=p, time=stream.times[p],
                        tokens=tuple(stream.tokens[p:p + length]))
            stack.append(Partial(path=partial.path + (step,), scan_pos=p + length, mid=mid))
    return emitted


# ---------------------------------------------------------------- the shortcut for plain patterns


def takes_shortcut(data):
    """Whether zuldcore may answer the plain pattern `data` without its general
    search: ordered, no midstream collector, default pattern bounds, and only
    add_event elements with no block token, no value or block-value constraint
    and default timing bounds."""
    if not data["ordered"] or data["midstream"] is not None:
        return False
    if (data["min_dt"], data["max_dt"], data["min_at"], data["max_at"]) != (0.0, INF, -INF, INF):
        return False
    for el in data["elements"]:
        if el["kind"] != "add_event" or el.get("block_token") is not None:
            return False
        vc = constraint(el.get("min_val", NAN), el.get("max_val", NAN),
                        el.get("require_nan_val", False))
        block_vc = constraint(el.get("block_min_val", NAN), el.get("block_max_val", NAN),
                              el.get("block_require_nan_val", False))
        timing = (el.get("min_dt", 0.0), el.get("max_dt", INF), el.get("min_at", -INF),
                  el.get("max_at", INF))
        if vc != ANY or block_vc != ANY or timing != (0.0, INF, -INF, INF):
            return False
    return True


def shortcut_matches(data, stream):
    """(m_start, m_end, t_start) of every match the shortcut finds for a pattern
    that takes it: each element at a later position of its token, tested for
    nothing else (no time at all); an element that is not backtrackable takes
    only the first such position. Depth first, the earlier element varying
    slowest. Where times never decrease and are never NaN these are exactly the
    search's matches; elsewhere the shortcut also keeps matches whose times
    decrease or are not finite."""
    elements = data["elements"]
    found = []

    def extend(chosen, after):
        if len(chosen) == len(elements):
            found.append((chosen[0], chosen[-1], stream.times[chosen[0]]))
            return
        element = elements[len(chosen)]
        later = [p for p in range(after + 1, len(stream))
                 if stream.tokens[p] == element["match_token"]]
        for p in later if element.get("backtrackable", True) else later[:1]:
            extend(chosen + [p], p)

    if elements:
        extend([], -1)
    return found


# ---------------------------------------------------------------- result dictionaries


def pattern_result(model, partial):
    value = initial(model.collector)
    for step in partial.path:
        value = update(model.collector, value, step.tokens[0], step.time)
    return value


def el_tokens_entry(tokens):
    if len(tokens) == 1:
        return tokens[0]
    return list(tokens)


def result_dict(model, emitted, include_tokens):
    n = len(model.elements)
    out = {
        "m_start": np.array([min(s.pos for s in m.path) for m in emitted], dtype=np.int64),
        "m_end": np.array([max(s.pos + len(s.tokens) - 1 for s in m.path) for m in emitted],
                          dtype=np.int64),
        "t_start": np.array([m.t_start() for m in emitted], dtype=np.float64),
        "t_end": np.array([m.t_end() for m in emitted], dtype=np.float64),
        "el_stream_idx": np.array([s.pos for m in emitted for s in m.path],
                                  dtype=np.int64).reshape(len(emitted), n),
        "el_times": np.array([s.time for m in emitted for s in m.path],
                             dtype=np.float64).reshape(len(emitted), n),
    }
    if include_tokens:
        out["el_tokens"] = [[el_tokens_entry(s.tokens) for s in m.path] for m in emitted]
    out["result"] = collector_output(model.collector, [pattern_result(model, m) for m in emitted])
    if model.midstream is None:
        out["mid_result"] = None
    else:
        out["mid_result"] = collector_output(model.midstream.collector, [m.mid for m in emitted])
    return out


def match(pattern_data, tokens, times, values=None, first_only=False, include_tokens=False):
    """What Zuldor(build(pattern_data)).match_stream(...) returns."""
    model = compile_pattern(pattern_data)
    stream = make_stream(tokens, times, values)
    return result_dict(model, search(model, stream, first_only), include_tokens)


def first_mid(strategy, mid_result):
    """The batch "mid" entry of a document from its first match's midstream output:
    the scalar, or the number of items collected; NaN for "none"."""
    if strategy in ("sum_times", "count"):
        return float(mid_result[0])
    if strategy in ("collect_tokens", "collect_times", "collect_pairs"):
        return float(len(mid_result[0]))
    return math.nan


def match_batch(pattern_data, token_ids, times, offsets, values=None, vocab=None):
    """What Zuldor(build(pattern_data)).match_batch(...) returns.

    `vocab` maps a token id to its string (pattern tokens are strings); an id it
    does not hold stays an int, equal to no pattern token. Without `vocab`,
    token_ids are compared with pattern tokens as they are."""
    model = compile_pattern(pattern_data)
    tokens = [t if vocab is None else vocab.get(int(t), int(t)) for t in token_ids]
    total = len(tokens)
    n_docs = len(offsets) - 1
    m_start = [-1] * n_docs
    m_end = [-1] * n_docs
    mid = [math.nan] * n_docs
    for k in range(n_docs):
        # Offsets are read as unsigned 64-bit numbers: a negative one is huge.
        s = int(offsets[k]) % 2**64
        e = int(offsets[k + 1]) % 2**64
        if not (s < e and e <= total):
            continue  # empty, inverted or out of range: skipped
        doc_values = None if values is None else values[s:e]
        stream = make_stream(tokens[s:e], times[s:e], doc_values)
        first = search(model, stream, first_only=True)
        if not first:
            continue
        doc = result_dict(model, first, include_tokens=False)
        m_start[k] = int(doc["m_start"][0])
        m_end[k] = int(doc["m_end"][0])
        if model.midstream is not None:
            mid[k] = first_mid(model.midstream.collector, doc["mid_result"])
    out = {
        "m_start": np.array(m_start, dtype=np.int64),
        "m_end": np.array(m_end, dtype=np.int64),
    }
    if model.midstream is not None:
        out["mid"] = np.array(mid, dtype=np.float64)
    return out


# ---------------------------------------------------------------- comparing results


def assert_same_result(actual, expected, where="result"):
    """Asserts that two result values are the same: dict keys in the same order,
    arrays of the same dtype, shape and values (NaN equal to NaN), lists and
    tuples of the same length and item types, floats equal or both NaN."""
    if isinstance(expected, np.ndarray):
        assert isinstance(actual, np.ndarray), f"{where}: {type(actual).__name__}, not an array"
        assert actual.dtype == expected.dtype, f"{where}: dtype {actual.dtype} != {expected.dtype}"
        assert actual.shape == expected.shape, f"{where}: shape {actual.shape} != {expected.shape}"
        equal_nan = expected.dtype.kind == "f"
        assert np.array_equal(actual, expected, equal_nan=equal_nan), (
            f"{where}:\n{actual!r}\n!=\n{expected!r}")
        return
    assert type(actual) is type(expected), (
        f"{where}: {type(actual).__name__} {actual!r} != {type(expected).__name__} {expected!r}")
    if isinstance(expected, dict):
        assert list(actual) == list(expected), f"{where}: keys {list(actual)} != {list(expected)}"
        for key in expected:
            assert_same_result(actual[key], expected[key], f"{where}[{key!r}]")
    elif isinstance(expected, (list, tuple)):
        assert len(actual) == len(expected), f"{where}: {actual!r} != {expected!r}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_same_result(a, e, f"{where}[{i}]")
    elif isinstance(expected, float):
        assert actual == expected or (math.isnan(actual) and math.isnan(expected)), (
            f"{where}: {actual!r} != {expected!r}")
    else:
        assert actual == expected, f"{where}: {actual!r} != {expected!r}"
