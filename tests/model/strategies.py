"""Hypothesis strategies that draw plain data: patterns as builder-call dicts
(model/pattern.py) and streams as {"tokens", "times", "values"} dicts.

Every drawn pattern is valid: the builders accept it. An optional argument is
either left out (the builder's default) or drawn, so shrinking leaves it out.
"""

from hypothesis import strategies as st

from model.pattern import COLLECTORS, INF, NAN

# Bounds: the default first (shrinking goes there), NaN in about one draw in 16.
MIN_DT = st.sampled_from([0.0, 0.0, 1.0, 2, -1.0] * 3 + [NAN])
MAX_DT = st.sampled_from([INF, 0.0, 1, 2.0, 4.0] * 3 + [NAN])
MIN_AT = st.sampled_from([-INF, 0.0, 1, 2.0, 3.0] * 3 + [NAN])
MAX_AT = st.sampled_from([INF, 2, 4.0, 8.0, 0.0] * 3 + [NAN])
# Value bounds: NaN means "not given".
VALUE_BOUND = st.sampled_from([NAN, 0.0, 1.0, 2])
STREAM_VALUE = st.sampled_from([NAN, 0.0, 1.0, 2.0])


def _sometimes(draw):
    """True in about one draw in six: most arguments keep their defaults, so
    that most drawn patterns can match something."""
    return draw(st.integers(0, 5)) == 5


def _optional(draw, args, name, strategy):
    if _sometimes(draw):
        args[name] = draw(strategy)


def _tokens(alphabet, min_size=0, max_size=3):
    return st.lists(st.sampled_from(alphabet), min_size=min_size, max_size=max_size)


def _timing(draw, args):
    _optional(draw, args, "min_dt", MIN_DT)
    _optional(draw, args, "max_dt", MAX_DT)
    _optional(draw, args, "min_at", MIN_AT)
    _optional(draw, args, "max_at", MAX_AT)
    _optional(draw, args, "backtrackable", st.booleans())


def _scalar_values(draw, args, prefix=""):
    _optional(draw, args, prefix + "min_val", VALUE_BOUND)
    _optional(draw, args, prefix + "max_val", VALUE_BOUND)
    _optional(draw, args, prefix + "require_nan_val", st.booleans())


def _plural_values(draw, args, n, names):
    """Each of the three lists left out or drawn with exactly n entries."""
    min_name, max_name, nan_name = names
    _optional(draw, args, min_name, st.lists(VALUE_BOUND, min_size=n, max_size=n))
    _optional(draw, args, max_name, st.lists(VALUE_BOUND, min_size=n, max_size=n))
    _optional(draw, args, nan_name, st.lists(st.booleans(), min_size=n, max_size=n))


def _sequence_values(draw, args, sequences, names):
    """The list-of-lists form: inner list i has m_i entries in every given list,
    m_i drawn from 0 to one past the sequence's length."""
    sizes = [draw(st.integers(0, len(sequence) + 1)) for sequence in sequences]
    for name, item in zip(names, (VALUE_BOUND, VALUE_BOUND, st.booleans())):
        if _sometimes(draw):
            args[name] = [draw(st.lists(item, min_size=m, max_size=m)) for m in sizes]


PLAIN = ("min_vals", "max_vals", "require_nan_vals")
BLOCK = ("block_min_vals", "block_max_vals", "block_require_nan_vals")


@st.composite
def event_data(draw, alphabet="abc"):
    args = {"kind": "add_event", "match_token": draw(st.sampled_from(alphabet))}
    _optional(draw, args, "block_token", st.sampled_from(alphabet))
    _timing(draw, args)
    _scalar_values(draw, args)
    _scalar_values(draw, args, "block_")
    return args


@st.composite
def event_set_data(draw, alphabet="abc"):
    tokens = draw(_tokens(alphabet, min_size=1))
    args = {"kind": "add_event_set", "match_tokens": tokens}
    _timing(draw, args)
    _plural_values(draw, args, len(tokens), PLAIN)
    if _sometimes(draw):
        args["block_tokens"] = draw(_tokens(alphabet, max_size=2))
        _plural_values(draw, args, len(args["block_tokens"]), BLOCK)
    return args


@st.composite
def event_seq_data(draw, alphabet="abc"):
    seqs = draw(st.lists(_tokens(alphabet, min_size=1), min_size=1, max_size=2))
    args = {"kind": "add_event_seq", "match_seqs": seqs}
    _timing(draw, args)
    _sequence_values(draw, args, seqs, PLAIN)
    if _sometimes(draw):
        block_seqs = draw(st.lists(_tokens(alphabet, min_size=1, max_size=2), max_size=2))
        args["block_seqs"] = block_seqs
        _sequence_values(draw, args, block_seqs, BLOCK)
    return args


def _time_blocks(draw, args, alphabet):
    """The block arguments of the time elements: none, one token with scalar
    constraints, or a token list with plural constraints of its exact length."""
    form = draw(st.sampled_from(["none", "none", "token", "tokens"]))
    if form == "token":
        args["block_token"] = draw(st.sampled_from(alphabet))
        _scalar_values(draw, args, "block_")
    elif form == "tokens":
        args["block_tokens"] = draw(_tokens(alphabet, max_size=2))
        _plural_values(draw, args, len(args["block_tokens"]), BLOCK)


@st.composite
def time_event_data(draw, alphabet="abc"):
    args = {"kind": "add_time_event"}
    _timing(draw, args)
    _time_blocks(draw, args, alphabet)
    return args


@st.composite
def dynamic_time_event_data(draw, alphabet="abc"):
    args = {"kind": "add_dynamic_time_event"}
    _optional(draw, args, "rel_min_dt", MIN_DT)
    _optional(draw, args, "rel_max_dt", MAX_DT)
    _optional(draw, args, "min_at", MIN_AT)
    _optional(draw, args, "max_at", MAX_AT)
    _optional(draw, args, "backtrackable", st.booleans())
    _time_blocks(draw, args, alphabet)
    return args


@st.composite
def dynamic_event_data(draw, alphabet="abc"):
    args = {"kind": "add_dynamic_event"}
    _timing(draw, args)
    _scalar_values(draw, args)
    if _sometimes(draw):
        args["static_block_tokens"] = draw(_tokens(alphabet, max_size=2))
        _plural_values(draw, args, len(args["static_block_tokens"]), BLOCK)
    return args


@st.composite
def dynamic_event_set_data(draw, alphabet="abc"):
    args = {"kind": "add_dynamic_event_set"}
    if draw(st.booleans()):
        args["static_match_tokens"] = draw(_tokens(alphabet, max_size=2))
        _plural_values(draw, args, len(args["static_match_tokens"]), PLAIN)
    if draw(st.booleans()):
        args["static_block_tokens"] = draw(_tokens(alphabet, max_size=2))
        _plural_values(draw, args, len(args["static_block_tokens"]), BLOCK)
    _optional(draw, args, "match_from_last", st.booleans())
    _optional(draw, args, "block_from_last", st.booleans())
    _timing(draw, args)
    return args


@st.composite
def entry_data(draw, alphabet="abc"):
    """One match-map entry: "match" as a token, a token list or a list of
    sequences, value lists in the shape that form takes, optional block tokens
    and timing keys."""
    entry = {}
    form = draw(st.sampled_from(["token", "set", "seqs"]))
    if form == "token":
        entry["match"] = draw(st.sampled_from(alphabet))
        # One token reads only the first entry of each list; 0 to 2 entries drawn.
        _optional(draw, entry, "min_val", st.lists(VALUE_BOUND, max_size=2))
        _optional(draw, entry, "max_val", st.lists(VALUE_BOUND, max_size=2))
        _optional(draw, entry, "require_nan_val", st.lists(st.booleans(), max_size=2))
    elif form == "set":
        entry["match"] = draw(_tokens(alphabet, min_size=1))
        _plural_values(draw, entry, len(entry["match"]), ("min_val", "max_val", "require_nan_val"))
    else:
        entry["match"] = draw(st.lists(_tokens(alphabet, min_size=1, max_size=2), min_size=1,
                                      max_size=2))
        _sequence_values(draw, entry, entry["match"], ("min_val", "max_val", "require_nan_val"))
    if _sometimes(draw):
        block = draw(st.one_of(st.sampled_from(alphabet), _tokens(alphabet, max_size=2)))
        entry["block"] = block
        n_block = 1 if isinstance(block, str) else len(block)
        _plural_values(draw, entry, n_block,
                       ("block_min_val", "block_max_val", "block_require_nan_val"))
    _optional(draw, entry, "min_dt", MIN_DT)
    _optional(draw, entry, "max_dt", MAX_DT)
    _optional(draw, entry, "min_at", MIN_AT)
    _optional(draw, entry, "max_at", MAX_AT)
    return entry


@st.composite
def mapped_event_data(draw, alphabet="abc", max_elements=3):
    # A source element may be any index below max_elements + 1: an earlier
    # element, this one, a later one or none at all.
    key = st.one_of(
        st.sampled_from(alphabet),
        st.tuples(st.sampled_from(alphabet)),
        st.tuples(st.sampled_from(alphabet), st.sampled_from(alphabet)),
    )
    args = {
        "kind": "add_mapped_event",
        "source_element": draw(st.integers(0, max_elements)),
        "match_map": draw(st.dictionaries(key, entry_data(alphabet), max_size=3)),
    }
    if draw(st.booleans()):
        args["default"] = draw(st.one_of(st.none(), entry_data(alphabet)))
    _optional(draw, args, "backtrackable", st.booleans())
    return args


def element_data(alphabet="abc", max_elements=3):
    return st.one_of(
        event_data(alphabet),
        event_set_data(alphabet),
        event_seq_data(alphabet),
        time_event_data(alphabet),
        dynamic_time_event_data(alphabet),
        dynamic_event_data(alphabet),
        dynamic_event_set_data(alphabet),
        mapped_event_data(alphabet, max_elements),
    )


@st.composite
def midstream_data(draw, alphabet="abc", max_elements=3):
    if draw(st.booleans()):
        match_tokens = draw(_tokens(alphabet))
    else:
        match_tokens = draw(st.lists(_tokens(alphabet, min_size=1, max_size=2), min_size=1,
                                     max_size=2))
    # Indices past the last element, and 64 + i (which names element i), included.
    index = st.one_of(st.integers(0, max_elements), st.integers(64, 65))
    args = {
        "match_tokens": match_tokens,
        "start_after": draw(st.lists(index, max_size=2)),
        "stop_before": draw(st.lists(index, max_size=2)),
    }
    _optional(draw, args, "collector", st.sampled_from(COLLECTORS))
    return args


@st.composite
def pattern_data(draw, max_elements=3, alphabet="abc"):
    """A plain pattern of 1 to max_elements elements of every kind."""
    # Pattern-wide bounds apply to every match, so they are drawn more rarely.
    return {
        "min_dt": draw(MIN_DT) if _sometimes(draw) and _sometimes(draw) else 0.0,
        "max_dt": draw(MAX_DT) if _sometimes(draw) else INF,
        "min_at": draw(MIN_AT) if _sometimes(draw) else -INF,
        "max_at": draw(MAX_AT) if _sometimes(draw) else INF,
        "ordered": draw(st.booleans()),
        "collector": draw(st.sampled_from(COLLECTORS)),
        "elements": draw(st.lists(element_data(alphabet, max_elements), min_size=1,
                                  max_size=max_elements)),
        "midstream": draw(st.one_of(st.none(), midstream_data(alphabet, max_elements))),
    }


@st.composite
def plain_event_pattern_data(draw, max_elements=3, alphabet="abc"):
    """Ordered patterns of add_event elements with nothing but a token, maybe
    backtrackable=False, and default pattern bounds: the simplest patterns."""
    elements = []
    for token in draw(_tokens(alphabet, min_size=1, max_size=max_elements)):
        element = {"kind": "add_event", "match_token": token}
        _optional(draw, element, "backtrackable", st.booleans())
        elements.append(element)
    return {
        "min_dt": 0.0,
        "max_dt": INF,
        "min_at": -INF,
        "max_at": INF,
        "ordered": True,
        "collector": draw(st.sampled_from(COLLECTORS)),
        "elements": elements,
        "midstream": None,
    }


@st.composite
def event_chain_pattern_data(draw, max_elements=3, alphabet="abc"):
    """Ordered patterns of add_event elements with any of their options (block
    tokens, bounds, value tests, backtrackable) and maybe pattern-wide bounds,
    without a midstream collector."""
    return {
        "min_dt": draw(MIN_DT) if _sometimes(draw) else 0.0,
        "max_dt": draw(MAX_DT) if _sometimes(draw) else INF,
        "min_at": draw(MIN_AT) if _sometimes(draw) else -INF,
        "max_at": draw(MAX_AT) if _sometimes(draw) else INF,
        "ordered": True,
        "collector": draw(st.sampled_from(COLLECTORS)),
        "elements": draw(st.lists(event_data(alphabet), min_size=1, max_size=max_elements)),
        "midstream": None,
    }


@st.composite
def stream_data(draw, alphabet="abc", max_len=8):
    """A stream whose times never decrease (steps of 0, 1 or 2, so equal times are
    common), with no values or values that are often NaN."""
    n = draw(st.sampled_from(range(max_len + 1)))
    tokens = draw(st.lists(st.sampled_from(alphabet), min_size=n, max_size=n))
    time = float(draw(st.sampled_from([0, 1])))
    times = []
    for _ in tokens:
        times.append(time)
        time += draw(st.sampled_from([0, 1, 2]))
    values = draw(st.one_of(st.none(), st.lists(STREAM_VALUE, min_size=len(tokens),
                                                  max_size=len(tokens))))
    return {"tokens": tokens, "times": times, "values": values}


@st.composite
def unsorted_stream_data(draw, alphabet="abc", max_len=8):
    """A stream whose times may step back, or be NaN or infinite."""
    n = draw(st.sampled_from(range(max_len + 1)))
    tokens = draw(st.lists(st.sampled_from(alphabet), min_size=n, max_size=n))
    time = 0.0
    times = []
    for _ in tokens:
        odd = draw(st.sampled_from([None] * 6 + [NAN, INF, -INF]))
        times.append(time if odd is None else odd)
        time += draw(st.sampled_from([0, 1, 2, -1, -2]))
    values = draw(st.one_of(st.none(), st.lists(st.sampled_from([NAN, 0.0, 1.0, 2.0, INF]),
                                                  min_size=len(tokens), max_size=len(tokens))))
    return {"tokens": tokens, "times": times, "values": values}


@st.composite
def corpus_data(draw, alphabet="abc", max_docs=4, max_len=6):
    """Documents concatenated into one stream, and offsets: either the documents'
    own boundaries or arbitrary numbers (gaps, overlaps, inverted, out of range
    and negative offsets)."""
    docs = draw(st.lists(stream_data(alphabet, max_len), max_size=max_docs))
    with_values = draw(st.booleans())
    tokens, times, values, offsets = [], [], [], [0]
    for doc in docs:
        tokens += doc["tokens"]
        # Each document's times restart: times only never decrease within one.
        times += doc["times"]
        values += doc["values"] if doc["values"] is not None else [NAN] * len(doc["tokens"])
        offsets.append(len(tokens))
    if draw(st.booleans()):
        offsets = draw(st.lists(st.integers(-1, len(tokens) + 2), min_size=1, max_size=max_docs + 1))
    return {
        "tokens": tokens,
        "times": times,
        "values": values if with_values else None,
        "offsets": offsets,
    }
