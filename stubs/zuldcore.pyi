# Type stubs of the zuldcore extension module, installed as the stub package
# zuldcore-stubs (see CMakeLists.txt). tests/test_typing.py checks them against
# the built module with mypy's stubtest: names, argument names, kinds and
# defaults must match the module's own text signatures. The docstrings here are
# what editors show on hover; docs/guide.md says the same at length.

"""Temporal questions about streams of timestamped tokens.

A stream is three parallel columns, one row per event: ``tokens`` (str), ``times`` (float, in a unit
of your choosing, never decreasing) and optional ``values`` (float; NaN means the event has no value).
Rows that share a timestamp are read in row order.

- Pattern matching: build a `Pattern`, then ``Zuldor(pattern).match_stream(tokens, times, values)``
  (or `Zuldor.match_batch` over a corpus coded with `vocab_ids`).
- State machines: build a `StateMachine`, then `state_spans` for its occupancy intervals.
- Annotation: `annotate_stream` with a list of `AnnotationSpec` gives one column per spec.

Every duration and window is in the unit of ``times``; every bound is inclusive; a default written
``...`` means "no bound".
"""

from collections.abc import Sequence
from typing import Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final, overload, type_check_only

import numpy as np
import numpy.typing as npt
from typing_extensions import NotRequired, Required, Self, TypedDict

__all__ = [
    "Pattern",
    "Zuldor",
    "PreprocessedStream",
    "AnnotationSpec",
    "StateMachine",
    "StateSpan",
    "annotate_stream",
    "state_spans",
    "vocab_ids",
    "CLOSE_REASONS",
    "REJECT_REASONS",
]

# ---- argument forms

# A number read through the float protocol (float, int, NumPy scalars, ...).
_Float: TypeAlias = SupportsFloat | SupportsIndex
# True, False or a NumPy bool; the integers 0 and 1 are refused.
_Bool: TypeAlias = bool | np.bool_

# An Arrow array or stream (pyarrow, Polars, ...), exported through the Arrow
# PyCapsule interface.
class _ArrowArrayExportable(Protocol):
    """An object that exports one Arrow array (``__arrow_c_array__``): a pyarrow Array, a Polars Series."""

    def __arrow_c_array__(self, requested_schema: object | None = None, /) -> tuple[object, object]:
        """Export the data as an Arrow (schema, array) capsule pair, in requested_schema if given."""

class _ArrowStreamExportable(Protocol):
    """An object that exports an Arrow stream (``__arrow_c_stream__``): a ChunkedArray, a DuckDB result."""

    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object:
        """Export the data as an Arrow stream capsule, in requested_schema if given."""
_ArrowExportable: TypeAlias = _ArrowArrayExportable | _ArrowStreamExportable

# Lists of items: any sequence but a bare str (a list, a tuple, a NumPy array,
# a pandas Series, ...).
_Strs: TypeAlias = Sequence[str] | npt.ArrayLike
_StrSeqs: TypeAlias = Sequence[Sequence[str]] | npt.ArrayLike  # same-timestamp sequences
_Floats: TypeAlias = Sequence[_Float] | npt.ArrayLike
_FloatSeqs: TypeAlias = Sequence[Sequence[_Float]] | npt.ArrayLike
_Bools: TypeAlias = Sequence[_Bool] | npt.ArrayLike
_BoolSeqs: TypeAlias = Sequence[Sequence[_Bool]] | npt.ArrayLike
_Indices: TypeAlias = Sequence[SupportsIndex] | npt.ArrayLike

# The columns of a stream: tokens (str), times and values (float, NaN = no value).
_StreamTokens: TypeAlias = Sequence[str] | npt.ArrayLike | _ArrowExportable
_StreamFloats: TypeAlias = Sequence[_Float] | npt.ArrayLike | _ArrowExportable

# What to look for: a token, a token set, same-timestamp sequences or a Pattern.
_TokenRef: TypeAlias = str | Sequence[str] | Sequence[Sequence[str]] | Pattern
# Spans: each match of a Pattern, each (start token, first end token after it)
# pair, or each instance of a machine's state.
_SpanRef: TypeAlias = Pattern | tuple[str, str] | StateSpan

_Collector: TypeAlias = Literal["none", "sum_times", "count", "collect_tokens", "collect_times", "collect_pairs"]
_Agg: TypeAlias = Literal["min", "max", "mean", "count"]
_Anchor: TypeAlias = Literal["start", "end"]

# ---- results

# A collector's output per match, by collector: None ("none"), float64 per
# match ("sum_times", "count"), tokens ("collect_tokens"), times
# ("collect_times") or (token, time) pairs ("collect_pairs").
_CollectorResult: TypeAlias = (
    npt.NDArray[np.float64] | list[list[str]] | list[npt.NDArray[np.float64]] | list[list[tuple[str, float]]] | None
)

@type_check_only
class MatchResult(TypedDict):
    """What `Zuldor.match_stream` and `Zuldor.match_preprocessed` return: one row per match.

    Keys, in this order:

    - ``m_start``: int64 ``(n_matches,)``, the match's first (smallest) row.
    - ``m_end``: int64 ``(n_matches,)``, its last (largest) row; for a sequence element, its last row.
    - ``t_start``: float64 ``(n_matches,)``, the time of its first event.
    - ``t_end``: float64 ``(n_matches,)``, the latest time in it.
    - ``el_stream_idx``: int64 ``(n_matches, n_elements)``, the row of each element (of a sequence
      element, its first row). Column e is element e; for an unordered pattern the columns follow the
      order in which the elements matched.
    - ``el_times``: float64 ``(n_matches, n_elements)``, the time of each element, laid out alike.
    - ``el_tokens``: only with ``include_tokens=True``: per match, per element, the token (str), or
      the list of tokens of a same-timestamp sequence.
    - ``result``: the pattern's collector per match: None ("none"), a float64 array ("sum_times",
      "count"), a list of token lists ("collect_tokens"), a list of float64 arrays ("collect_times")
      or a list of lists of (token, time) tuples ("collect_pairs").
    - ``mid_result``: the midstream collector per match, in the same forms; None without one.

    Matches appear in the search's order: depth first, earliest rows first.
    """

    m_start: npt.NDArray[np.int64]  # (n_matches,)
    m_end: npt.NDArray[np.int64]
    t_start: npt.NDArray[np.float64]
    t_end: npt.NDArray[np.float64]
    el_stream_idx: npt.NDArray[np.int64]  # (n_matches, n_elements)
    el_times: npt.NDArray[np.float64]
    # Only with include_tokens=True: per match and element, the token, or the
    # tokens of a same-timestamp sequence.
    el_tokens: NotRequired[list[list[str | list[str]]]]
    result: _CollectorResult
    mid_result: _CollectorResult

@type_check_only
class BatchResult(TypedDict):
    """What `Zuldor.match_batch` returns: the first match of each document.

    Keys, in this order:

    - ``m_start``: int64 ``(n_docs,)``, the first row of the document's first match, counted from the
      document's own first row (0 = ``offsets[k]``); -1 when the document has no match or was skipped
      (empty, inverted or out of range). ``m_start >= 0`` is the per-document boolean.
    - ``m_end``: int64 ``(n_docs,)``, the last row of that match, likewise; -1 likewise.
    - ``mid``: float64 ``(n_docs,)``, present only when the pattern has a midstream collector: its
      count or sum, or the number of items it collected, for the first match; NaN when there is none.
    """

    m_start: npt.NDArray[np.int64]  # (n_docs,)
    m_end: npt.NDArray[np.int64]
    mid: NotRequired[npt.NDArray[np.float64]]  # only with a midstream collector

@type_check_only
class StateSpansResult(TypedDict):
    """What `state_spans` returns: one row per state instance, ordered by first row.

    Keys, in this order, each a one-dimensional array:

    - ``state``: int32, the state's id (1, 2, ... in declaration order; ``machine.state_names[id]``).
    - ``start_pos``, ``end_pos``: int64, the instance's first and last row, both included (an instance
      entered by timeout may own no row: ``end_pos == start_pos - 1``).
    - ``t_start``, ``t_end``: float64, when it began and ended (a timeout ends at its deadline).
    - ``n_events``: int64, the entries, refreshes and sustain events it counted.
    - ``close_reason``: int8, an index into `CLOSE_REASONS`.
    - ``reject_reason``: int8, an index into `REJECT_REASONS` (0, "none", while valid).
    - ``valid``: int8, 1 valid, 0 rejected by a validity rule of `StateMachine.add_state`.
    - ``timeout_entered``: int8, 1 when a timeout opened it rather than an entry rule.
    """

    state: npt.NDArray[np.int32]
    start_pos: npt.NDArray[np.int64]
    end_pos: npt.NDArray[np.int64]
    t_start: npt.NDArray[np.float64]
    t_end: npt.NDArray[np.float64]
    n_events: npt.NDArray[np.int64]
    close_reason: npt.NDArray[np.int8]  # index into CLOSE_REASONS
    reject_reason: npt.NDArray[np.int8]  # index into REJECT_REASONS
    valid: npt.NDArray[np.int8]
    timeout_entered: npt.NDArray[np.int8]

# An annotation column: int8 labels, float64 aggregates or int32 state ids.
_Column: TypeAlias = npt.NDArray[np.int8] | npt.NDArray[np.float64] | npt.NDArray[np.int32]

@type_check_only
class MappedSpec(TypedDict, total=False):
    """One rule of `Pattern.add_mapped_event`'s ``match_map`` (or its ``default``).

    Keys (unknown keys are ignored):

    - ``match`` (required): a str (one token), a list of str (a token set) or a list of lists of str
      (same-timestamp sequences).
    - ``block``: a str or a list of str: blocking tokens, as ``block_token``/``block_tokens`` of the
      static elements.
    - ``min_dt``, ``max_dt``: bounds on the time since the previous matched element (0.0 and no bound).
    - ``min_at``, ``max_at``: bounds on the event's own time (no bounds).
    - ``min_val``, ``max_val``, ``require_nan_val``: value constraints as lists, one entry per token
      (lists of lists for sequences), even for a single token (``[90.0]``, not ``90.0``).
    - ``block_min_val``, ``block_max_val``, ``block_require_nan_val``: value constraints of the
      blocking tokens, one entry per token; read only with ``block``.
    """

    match: Required[str | _Strs | _StrSeqs]
    block: str | _Strs
    min_dt: _Float
    max_dt: _Float
    min_at: _Float
    max_at: _Float
    min_val: _Floats | _FloatSeqs  # one per token; per sequence and token for sequences
    max_val: _Floats | _FloatSeqs
    require_nan_val: _Bools | _BoolSeqs
    block_min_val: _Floats  # one per block token
    block_max_val: _Floats
    block_require_nan_val: _Bools

# ---- patterns and matching

@final
class Pattern:
    """A temporal pattern: up to 64 elements, each matching one event (or one same-timestamp run).

    Built empty with its pattern-wide settings; each ``add_*`` call appends one element (its index is
    its position) or sets the midstream collector. A builder checks every argument before it changes
    anything. `Zuldor` and every other user take a copy, so later builder calls do not change them.

    A match is a choice of one row per element (a run of rows for a sequence element), at increasing
    rows (for an ordered pattern, in declaration order), that satisfies every element's token, value, timing and blocking rules and the
    pattern-wide bounds. Every such choice is a match, overlapping ones included, unless
    ``backtrackable=False`` cuts the search.

    Timing bounds, all inclusive (a NaN bound fails every comparison; ``...`` means no bound):

    - pattern ``min_dt``/``max_dt``: on the match's duration, ``t_end - t_start``;
    - pattern ``min_at``/``max_at``: absolute: ``t_start >= min_at`` and ``t_end <= max_at``;
    - element ``min_dt``/``max_dt``: on dt, the time since the element matched just before it in the
      same match (0 for the first element matched);
    - element ``min_at``/``max_at``: absolute, on the event's own time.
    """

    def __new__(
        cls,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        ordered: _Bool = True,
        collector: _Collector = "none",
    ) -> Self:
        """Create an empty pattern.

        Args:
            min_dt: least duration of a complete match, ``t_end - t_start`` (from its first event to
                its latest). Default 0.0.
            max_dt: greatest duration of a complete match; it also ends the search of a partial
                match as soon as an event lies further than this from its first event. Default
                ``...``: no bound (+inf).
            min_at: earliest allowed ``t_start``, an absolute time on the stream's axis. Default
                ``...``: no bound (-inf).
            max_at: latest allowed ``t_end``, an absolute time. Default ``...``: no bound (+inf).
            ordered: True (default): elements match in declaration order. False: in any order (still
                at increasing rows); result columns then follow the order of matching.
            collector: what ``result`` holds per match: "none" (None), "sum_times" (the sum of the
                elements' times), "count" (the number of elements), "collect_tokens" (each element's
                first token), "collect_times" (each element's time) or "collect_pairs" ((token, time)
                tuples). Names are case-sensitive.

        Raises:
            ValueError: "Unknown collector '...'. Choose: none, sum_times, count, collect_tokens,
                collect_times, collect_pairs".
            TypeError: a bound that is not a number (``...`` itself included), a non-bool ``ordered``.
        """
    def add_event(
        self,
        match_token: str,
        block_token: str | None = None,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        min_val: _Float = ...,
        max_val: _Float = ...,
        require_nan_val: _Bool = False,
        block_min_val: _Float = ...,
        block_max_val: _Float = ...,
        block_require_nan_val: _Bool = False,
    ) -> None:
        """Append an element that matches one event with the token ``match_token``.

        Args:
            match_token: the token to match.
            block_token: a token that retires this element for the partial match when it occurs
                after the previous element's row and up to (including) the row where this element
                would match: "no X in between". On the first element the rows examined start at the
                beginning of the stream. Default None: nothing blocks.
            min_dt: least dt, the time since the element matched just before this one in the same
                match (dt is 0 for the first element matched, so a first element with min_dt > 0
                never matches). Default 0.0.
            max_dt: greatest dt. Default ``...``: no bound.
            min_at: earliest time of the event itself, absolute on the stream's axis. Default
                ``...``: no bound.
            max_at: latest time of the event itself, absolute. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too, so every
                combination is found. False: only its earliest possible row on each partial match
                is used ("the first B after each A"; on a first element, only the first occurrence
                in the stream starts matches).
            min_val: least value of the event, inclusive. ``...`` or NaN: no bound. A bound never
                passes an event without a value (NaN, or a stream without values).
            max_val: greatest value of the event, inclusive. ``...`` or NaN: no bound.
            require_nan_val: True: match only an event without a value (NaN); overrides the bounds.
            block_min_val: least value a ``block_token`` event needs to block. ``...``: no bound.
            block_max_val: greatest value a ``block_token`` event may have to block.
            block_require_nan_val: True: only a ``block_token`` event without a value blocks.
        """
    def add_event_set(
        self,
        match_tokens: _Strs,
        block_tokens: _Strs | None = None,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        min_vals: _Floats | None = None,
        max_vals: _Floats | None = None,
        require_nan_vals: _Bools | None = None,
        block_min_vals: _Floats | None = None,
        block_max_vals: _Floats | None = None,
        block_require_nan_vals: _Bools | None = None,
    ) -> None:
        """Append an element that matches one event whose token is any of ``match_tokens``.

        The per-token lists run parallel to their tokens: entry i constrains token i. A NaN entry is
        no bound on that side; a given list must have an entry for every token (ValueError
        "... must have length n to match ... (got m)" otherwise); None gives no constraint.

        Args:
            match_tokens: the tokens, a list of str (a bare str is refused).
            block_tokens: tokens that retire this element for the partial match when one occurs
                after the previous element's row and up to (including) the row where this element
                would match. On the first element the rows examined start at the beginning of the
                stream. Default None: nothing blocks.
            min_dt: least dt, the time since the element matched just before this one (0 for the
                first element matched). Default 0.0.
            max_dt: greatest dt. Default ``...``: no bound.
            min_at: earliest time of the event itself, absolute. Default ``...``: no bound.
            max_at: latest time of the event itself, absolute. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.
            min_vals: per token, the least value (inclusive); never passes an event without a value.
            max_vals: per token, the greatest value (inclusive).
            require_nan_vals: per token, True to match only an event without a value.
            block_min_vals: per blocking token, the least value it needs to block.
            block_max_vals: per blocking token, the greatest value it may have to block.
            block_require_nan_vals: per blocking token, True: only an event without a value blocks.
        """
    def add_event_seq(
        self,
        match_seqs: _StrSeqs,
        block_seqs: _StrSeqs | None = None,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        min_vals: _FloatSeqs | None = None,
        max_vals: _FloatSeqs | None = None,
        require_nan_vals: _BoolSeqs | None = None,
        block_min_vals: _FloatSeqs | None = None,
        block_max_vals: _FloatSeqs | None = None,
        block_require_nan_vals: _BoolSeqs | None = None,
    ) -> None:
        """Append an element that matches a same-timestamp sequence: consecutive rows at exactly one time.

        The element matches the rows ``p, p + 1, ...`` when they share one timestamp and spell one of
        ``match_seqs``; of several sequences the longest that the stream continues is taken. Its row is
        its first row; ``m_end`` counts its last. The value lists are lists of lists: per sequence,
        per position (a position past the end of its inner list is unconstrained; a given outer list
        needs an entry for every sequence).

        Args:
            match_seqs: the sequences, a list of lists of str (``[["A", "B"], ["C"]]``).
            block_seqs: sequences that, occurring after the previous element's row and up to the row
                where this element would match, retire it for the partial match. Default None.
            min_dt: least dt, the time since the element matched just before this one (0 for the
                first element matched). Default 0.0.
            max_dt: greatest dt. Default ``...``: no bound.
            min_at: earliest time of the sequence, absolute. Default ``...``: no bound.
            max_at: latest time of the sequence, absolute. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.
            min_vals: per sequence and position, the least value (inclusive).
            max_vals: per sequence and position, the greatest value (inclusive).
            require_nan_vals: per sequence and position, True to require an event without a value.
            block_min_vals: per blocking sequence and position, the least value to block.
            block_max_vals: per blocking sequence and position, the greatest value to block.
            block_require_nan_vals: per blocking sequence and position, True: only without a value.
        """
    def add_time_event(
        self,
        block_token: str | None = None,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        block_min_val: _Float = ...,
        block_max_val: _Float = ...,
        block_require_nan_val: _Bool = False,
        block_tokens: _Strs | None = None,
        block_min_vals: _Floats | None = None,
        block_max_vals: _Floats | None = None,
        block_require_nan_vals: _Bools | None = None,
    ) -> None:
        """Append an element that matches any one event, whatever its token, inside its timing bounds.

        Block with one token (``block_token`` and the scalar ``block_*_val``) or with several
        (``block_tokens`` and the plural lists), not both.

        Args:
            block_token: a token that retires this element for the partial match when it occurs
                after the previous element's row and up to the row where this element would match.
            min_dt: least dt, the time since the element matched just before this one (0 for the
                first element matched). Default 0.0.
            max_dt: greatest dt. Default ``...``: no bound.
            min_at: earliest time of the event, absolute. Default ``...``: no bound.
            max_at: latest time of the event, absolute. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.
            block_min_val: least value a ``block_token`` event needs to block.
            block_max_val: greatest value a ``block_token`` event may have to block.
            block_require_nan_val: True: only a ``block_token`` event without a value blocks.
            block_tokens: several blocking tokens, instead of ``block_token``.
            block_min_vals: per ``block_tokens`` entry, the least value to block (exactly one each).
            block_max_vals: per ``block_tokens`` entry, the greatest value to block.
            block_require_nan_vals: per ``block_tokens`` entry, True: only without a value.

        Raises:
            ValueError: "use either block_token or block_tokens, not both"; "plural block value
                constraints require block_tokens"; "block_min_val/block_max_val/block_require_nan_val
                apply to block_token; ..."; "... must have length n to match block_tokens (got m)".
        """
    # Keys are str, or tuples of str for same-timestamp sequences. Three forms, so that a dict literal
    # takes its type from the argument and a dict of either key type is accepted as it is.
    @overload
    def add_mapped_event(
        self,
        source_element: SupportsIndex,
        match_map: dict[str, MappedSpec],
        default: MappedSpec | None = None,
        backtrackable: _Bool = True,
    ) -> None:
        """Append an element whose rule is chosen by the token(s) that an earlier element matched.

        When the search reaches this element, the token that element ``source_element`` matched on
        the partial match (a tuple of tokens for a sequence element) is looked up in ``match_map``,
        and the rule found there is this element's: what it matches, its timing bounds, value
        constraints and blocking tokens (see `MappedSpec`). A token missing from the map uses
        ``default``; without a default the partial match is abandoned. A source element that has not
        matched yet on the partial match (in an unordered pattern) counts as a missing token.

        Args:
            source_element: the index of the earlier element whose token is the key; below 64.
            match_map: token (str, or tuple of str for a sequence; ``"a"`` and ``("a",)`` are the
                same key) to rule. A rule is a dict with the required key "match" (str, list[str] or
                list[list[str]]) and the optional keys "block", "min_dt", "max_dt" (measured from the
                previous matched element), "min_at", "max_at" (absolute), "min_val", "max_val",
                "require_nan_val" (lists, one entry per token) and "block_min_val",
                "block_max_val", "block_require_nan_val" (one entry per block token).
            default: the rule for tokens missing from ``match_map``; None (default): none.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.

        Raises:
            ValueError: "source_element must be less than 64 (got n)", "match_map keys must not be
                empty", "mapped event spec must contain 'match' key", "'match' must be str,
                list[str], or list[list[str]]".
            TypeError: "match_map keys must be str or a sequence of str"; a rule value of the wrong
                form (for instance a bare float for "min_val").

        Example::

            p = Pattern()
            p.add_event_set(["SEPSIS", "MI", "PE"])                       # element 0
            p.add_mapped_event(0, {
                "SEPSIS": {"match": "ANTIBIOTIC", "max_dt": 1.0},
                "MI": {"match": "ASPIRIN"},
                "PE": {"match": ["HEPARIN", "ENOXAPARIN"], "max_dt": 2.0},
            })
        """
    @overload
    def add_mapped_event(
        self,
        source_element: SupportsIndex,
        match_map: dict[tuple[str, ...], MappedSpec],
        default: MappedSpec | None = None,
        backtrackable: _Bool = True,
    ) -> None:
        """Append a mapped element keyed by same-timestamp sequences (tuples of str).

        As the str-keyed form: ``source_element`` is the index of the earlier element whose matched
        tokens form the key, ``match_map`` maps keys to rules (`MappedSpec`), ``default`` is the rule
        for a missing key (None: the partial match is abandoned) and ``backtrackable`` False uses
        only the element's earliest possible row.
        """
    @overload
    def add_mapped_event(
        self,
        source_element: SupportsIndex,
        match_map: dict[str | tuple[str, ...], MappedSpec],
        default: MappedSpec | None = None,
        backtrackable: _Bool = True,
    ) -> None:
        """Append a mapped element keyed by tokens and sequences alike.

        As the str-keyed form: ``source_element`` is the index of the earlier element whose matched
        token(s) form the key, ``match_map`` maps keys to rules (`MappedSpec`), ``default`` is the
        rule for a missing key (None: the partial match is abandoned) and ``backtrackable`` False
        uses only the element's earliest possible row.
        """
    def add_dynamic_event(
        self,
        static_block_tokens: _Strs | None = None,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        min_val: _Float = ...,
        max_val: _Float = ...,
        require_nan_val: _Bool = False,
        block_min_vals: _Floats | None = None,
        block_max_vals: _Floats | None = None,
        block_require_nan_vals: _Bools | None = None,
    ) -> None:
        """Append an element that matches the last matched token again.

        The last matched token is the token of the element matched just before this one on the
        partial match (the first token of a sequence element): "the same lab, repeated within 2 h".
        As a first element it has nothing to repeat and never matches.

        Args:
            static_block_tokens: tokens that retire this element for the partial match when one
                occurs after the previous element's row and up to the row where it would match.
            min_dt: least dt, the time since the element matched just before this one. Default 0.0.
            max_dt: greatest dt. Default ``...``: no bound.
            min_at: earliest time of the event, absolute. Default ``...``: no bound.
            max_at: latest time of the event, absolute. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.
            min_val: least value of the event, inclusive (never passes an event without a value).
            max_val: greatest value of the event, inclusive.
            require_nan_val: True: match only an event without a value.
            block_min_vals: per ``static_block_tokens`` entry, the least value to block.
            block_max_vals: per ``static_block_tokens`` entry, the greatest value to block.
            block_require_nan_vals: per ``static_block_tokens`` entry, True: only without a value.
        """
    def add_dynamic_event_set(
        self,
        static_match_tokens: _Strs | None = None,
        static_block_tokens: _Strs | None = None,
        match_from_last: _Bool = False,
        block_from_last: _Bool = False,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        min_vals: _Floats | None = None,
        max_vals: _Floats | None = None,
        require_nan_vals: _Bools | None = None,
        block_min_vals: _Floats | None = None,
        block_max_vals: _Floats | None = None,
        block_require_nan_vals: _Bools | None = None,
    ) -> None:
        """Append an element that matches one of fixed tokens, or the last matched token.

        The last matched token is the token of the element matched just before this one on the
        partial match (the first token of a sequence element); it takes part without a value
        constraint. With no static tokens and ``match_from_last`` False the element never matches.

        Args:
            static_match_tokens: fixed tokens to match. Default None: none.
            static_block_tokens: fixed tokens that retire this element for the partial match when
                one occurs after the previous element's row and up to the row where it would match.
            match_from_last: True: the last matched token matches too.
            block_from_last: True: the last matched token blocks ("not the same one again first").
            min_dt: least dt, the time since the element matched just before this one. Default 0.0.
            max_dt: greatest dt. Default ``...``: no bound.
            min_at: earliest time of the event, absolute. Default ``...``: no bound.
            max_at: latest time of the event, absolute. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.
            min_vals: per ``static_match_tokens`` entry, the least value (inclusive).
            max_vals: per ``static_match_tokens`` entry, the greatest value (inclusive).
            require_nan_vals: per ``static_match_tokens`` entry, True to require no value.
            block_min_vals: per ``static_block_tokens`` entry, the least value to block.
            block_max_vals: per ``static_block_tokens`` entry, the greatest value to block.
            block_require_nan_vals: per ``static_block_tokens`` entry, True: only without a value.
        """
    def add_dynamic_time_event(
        self,
        block_token: str | None = None,
        rel_min_dt: _Float = 0.0,
        rel_max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        backtrackable: _Bool = True,
        block_min_val: _Float = ...,
        block_max_val: _Float = ...,
        block_require_nan_val: _Bool = False,
        block_tokens: _Strs | None = None,
        block_min_vals: _Floats | None = None,
        block_max_vals: _Floats | None = None,
        block_require_nan_vals: _Bools | None = None,
    ) -> None:
        """Append an element that matches any event in a window placed after the previous element.

        With r the time of the element matched just before this one, the event's time must lie in
        ``[max(min_at, r + rel_min_dt), min(max_at, r + rel_max_dt)]``, both ends included. As a first
        element there is no r, and it can match only when ``rel_max_dt`` is unbounded. Blocking
        arguments follow `add_time_event`.

        Args:
            block_token: a token that retires this element for the partial match when it occurs
                after the previous element's row and up to the row where this element would match.
            rel_min_dt: the window's start, measured from the previous element's time. Default 0.0.
            rel_max_dt: the window's end, measured from the previous element's time. Default
                ``...``: no bound.
            min_at: an absolute earliest time that clips the window. Default ``...``: no bound.
            max_at: an absolute latest time that clips the window. Default ``...``: no bound.
            backtrackable: True (default): later rows are tried for this element too. False: only
                its earliest possible row on each partial match is used.
            block_min_val: least value a ``block_token`` event needs to block.
            block_max_val: greatest value a ``block_token`` event may have to block.
            block_require_nan_val: True: only a ``block_token`` event without a value blocks.
            block_tokens: several blocking tokens, instead of ``block_token``.
            block_min_vals: per ``block_tokens`` entry, the least value to block (exactly one each).
            block_max_vals: per ``block_tokens`` entry, the greatest value to block.
            block_require_nan_vals: per ``block_tokens`` entry, True: only without a value.
        """
    def add_midstream_collector(
        self,
        match_tokens: _Strs | _StrSeqs,
        start_after: _Indices,
        stop_before: _Indices,
        collector: _Collector = "collect_tokens",
    ) -> None:
        """Collect, per match, the other events met between its elements; reported as ``mid_result``.

        While a partial match is being extended, every row the search steps over (the row where the
        next element matches included) whose token, or same-timestamp sequence, is in
        ``match_tokens`` is folded into the collector, while the collector is active: once every
        element of ``start_after`` has matched and until any element of ``stop_before`` has. Only the
        rows along the final match count. A second call replaces the first collector.

        Args:
            match_tokens: the tokens (list[str]) or same-timestamp sequences (list[list[str]]) to
                collect; a sequence is collected as its first token.
            start_after: element indices that must all have matched before collecting starts; empty:
                from the start.
            stop_before: element indices of which any one, once matched, stops collecting; empty:
                never stops.
            collector: "collect_tokens" (default), "collect_times", "collect_pairs", "count",
                "sum_times" or "none", as for the pattern's collector.
        """

@final
class Zuldor:
    """A matcher: finds the matches of one `Pattern` in streams.

    ``Zuldor(pattern)`` copies the pattern; later builder calls on it do not change the matcher, which
    never changes. One matcher may be shared by threads.
    """

    def __new__(cls, pattern: Pattern) -> Self:
        """Create a matcher for a copy of ``pattern``.

        Args:
            pattern: the `Pattern` to match. Its element count (at most 64) is checked when matching.
        """
    def match_stream(
        self,
        tokens: _StreamTokens,
        times: _StreamFloats,
        values: _StreamFloats | None = None,
        first_only: _Bool = False,
        include_tokens: _Bool = False,
    ) -> MatchResult:
        """Find every match of the pattern in one stream.

        Args:
            tokens: one str per row (a list, a NumPy or Arrow string column, ...; not a bare str).
            times: one number per row, never decreasing, in the unit of every duration of the
                pattern. Rows with equal times are matched in row order.
            values: None (default: no row has a value) or one number per row; NaN means no value.
            first_only: True: stop at the first match (earliest rows first).
            include_tokens: True: add ``el_tokens`` with the matched token strings. Default False,
                which skips turning ids back into strings.

        Returns:
            A `MatchResult`: ``m_start``, ``m_end``, ``t_start``, ``t_end`` (per match),
            ``el_stream_idx`` and ``el_times`` (per match and element), ``el_tokens`` (only with
            ``include_tokens``), ``result`` and ``mid_result`` (the collectors; None without one).

        Raises:
            ValueError: "times has length n but tokens has length m" (likewise values); "Pattern has
                n elements; maximum is 64".
            TypeError: an argument of the wrong type, named in the message.
        """
    def preprocess(
        self, tokens: _StreamTokens, times: _StreamFloats, values: _StreamFloats | None = None
    ) -> PreprocessedStream:
        """Convert a stream once, for `match_preprocessed` by this or any other `Zuldor`.

        Args:
            tokens: one str per row.
            times: one number per row, never decreasing.
            values: None or one number per row; NaN means no value.

        Returns:
            A `PreprocessedStream` holding the converted columns.
        """
    def match_preprocessed(
        self, stream: PreprocessedStream, first_only: _Bool = False, include_tokens: _Bool = False
    ) -> MatchResult:
        """Find every match of the pattern in a stream made by `preprocess`; as `match_stream`.

        Args:
            stream: a `PreprocessedStream` from any `Zuldor`; it is not changed.
            first_only: True: stop at the first match.
            include_tokens: True: add ``el_tokens`` with the matched token strings.

        Returns:
            A `MatchResult`, the same as `match_stream` on the original columns.
        """
    # One-dimensional, contiguous arrays of exactly these dtypes, read in place.
    def match_batch(
        self,
        token_ids: npt.NDArray[np.uint32],
        times: npt.NDArray[np.float64],
        offsets: npt.NDArray[np.int64],
        values: npt.NDArray[np.float64] | None = None,
    ) -> BatchResult:
        """Find the first match in each document of a corpus coded as token ids, in one call.

        The arrays must be one-dimensional, contiguous and aligned NumPy arrays of exactly these
        dtypes (no conversion is made); they are read in place, so do not write to them while the
        call runs.

        Args:
            token_ids: uint32, one token id per row, in this process's coding (`vocab_ids`).
            times: float64, one time per row, never decreasing within a document.
            offsets: int64, ``n_docs + 1`` entries: document k is rows ``offsets[k]`` up to but not
                including ``offsets[k + 1]``. An empty, inverted or out-of-range document is skipped
                (it reports -1), not an error.
            values: None or float64, one value per row; NaN means no value.

        Returns:
            A `BatchResult`: ``m_start`` and ``m_end`` per document, relative to the document's
            first row, -1 where it has no match; ``mid`` (NaN for none) with a midstream collector.

        Raises:
            TypeError: an array of another type, dtype or dimension, named in the message; "The given
                array is not contiguous".
            ValueError: "offsets must have length n_docs + 1" (empty offsets); "times has length n
                but token_ids has length m" (likewise values); "Pattern has n elements; maximum is
                64".
        """

@final
class PreprocessedStream:  # made by Zuldor.preprocess only
    """A stream converted once by `Zuldor.preprocess`, for `Zuldor.match_preprocessed`.

    It cannot be created directly (TypeError "No constructor defined") and never changes; any
    `Zuldor` can match it, any number of times.
    """

    def __len__(self) -> int:
        """The number of rows."""

# ---- state machines

@final
class StateMachine:
    """Named states entered and left by trigger events; `state_spans` reports its intervals.

    The machine is in exactly one state at every row: a declared state (ids 1, 2, ... in declaration
    order) or the base state (id 0, named ``out_name``), which means none of them. At each row it
    checks, in order: expiry, entry rules, the state's clock, exit rules. The builder may be changed
    at any time; every use (`state_spans`, `span`, `AnnotationSpec.state_label`) validates it and
    takes a snapshot, which later builder calls do not change.

    Triggers are token references: a str (one token), a list of str (a token set), a list of lists
    of str (same-timestamp sequences) or a `Pattern` (each match).
    """

    def __new__(cls, out_name: str = "out") -> Self:
        """Create a machine with only its base state.

        Args:
            out_name: the name of the base state (id 0), the state of rows outside every declared
                state. Default "out".
        """
    def add_state(
        self,
        name: str,
        max_gap: _Float = ...,
        gap_anchor: Literal["sustain", "any_event", "entry"] = "sustain",
        sustain: _TokenRef | None = None,
        self_transition: Literal["refresh", "restart", "ignore"] = "refresh",
        min_duration: _Float = 0.0,
        min_events: SupportsIndex = 1,
        require: Sequence[_TokenRef] | None = None,
        drop_unclosed: _Bool = True,
        timeout_to: str | None = None,
    ) -> None:
        """Declare a state; its id is the number of states declared before it, plus one.

        An instance of the state opens on an entry rule (`add_entry`) or a timeout into it, and
        closes on an exit rule, a timeout, an entry into another state, or the end of the stream.

        Args:
            name: the state's name, unique (the base state's name included).
            max_gap: the instance expires when its clock is not re-anchored within this much time
                (close reason "timeout"; it ends at the last row at or before the deadline, with
                ``t_end`` the deadline). Default ``...``: never expires.
            gap_anchor: what re-anchors the clock: "sustain" (default) the sustain triggers,
                "any_event" every row, "entry" only an entry into the state.
            sustain: a trigger (token reference) that re-anchors the clock and counts as an event.
                Default None: the state's own entry triggers.
            self_transition: what an entry into the already open state does: "refresh" (default)
                re-anchors the clock and counts an event, "restart" closes the instance and opens a
                new one, "ignore" leaves it (a sustain trigger still counts and re-anchors).
            min_duration: validity rule: an instance shorter than this (``t_end - t_start``) is
                rejected as "too_short". Default 0.0.
            min_events: validity rule: an instance that counted fewer events is rejected as
                "too_few_events" (instances entered by timeout are exempt). Default 1.
            require: validity rule: a list of triggers, each of which must fire inside the instance
                (from its first row to its last), else "missing_required". Default None.
            drop_unclosed: validity rule: True (default) rejects an instance still open at the end
                of the stream as "unclosed".
            timeout_to: the state to enter when this one expires, instead of the base state; it may
                be declared later and needs a finite ``max_gap``. The new instance opens at the
                deadline, counts no events and is flagged ``timeout_entered``.

        Rejected instances stay in `state_spans` output with ``valid`` 0; rejection does not undo
        what followed them.

        Raises:
            ValueError: "Duplicate state name '...'", an unknown ``gap_anchor`` or
                ``self_transition``, a ``timeout_to`` without a finite ``max_gap`` or into itself.
            TypeError, ValueError: a malformed trigger (see `AnnotationSpec` for the forms).
        """
    def add_entry(
        self, state: str, trigger: _TokenRef, from_states: _Strs | None = None, anchor: _Anchor = "end"
    ) -> None:
        """Enter ``state`` when ``trigger`` fires, optionally only from ``from_states``.

        Entry rules are tried in declaration order; the first that fires wins. Entering a state while
        another is open closes the open one ("transition") on the row before the trigger's first row.
        The entered instance starts at the trigger's first row.

        Args:
            state: a declared state's name (not the base state).
            trigger: a str, a list of str, a list of lists of str or a `Pattern`.
            from_states: names of the states (the base state's name allowed) from which the rule
                applies. Default None or empty: from any state.
            anchor: for a trigger of several rows, "end" (default) fires on its last row, "start" on
                its first.

        Raises:
            ValueError: "Unknown state '...'. Declared: [...]", "Cannot add an entry rule for the base
                state '...'", "Unknown anchor '...'. Choose: end, start".
            TypeError, ValueError: a malformed trigger.
        """
    def add_exit(self, state: str, trigger: _TokenRef, inclusive: _Bool = True, anchor: _Anchor = "end") -> None:
        """Leave ``state`` for the base state when ``trigger`` fires (close reason "exit_event").

        Args:
            state: a declared state's name (not the base state).
            trigger: a str, a list of str, a list of lists of str or a `Pattern`.
            inclusive: True (default): the trigger's rows belong to the closing instance. False: it
                ends on the row before the trigger.
            anchor: for a trigger of several rows, "end" (default) fires on its last row, "start" on
                its first.

        Raises:
            ValueError: an unknown state, the base state, an unknown anchor.
            TypeError, ValueError: a malformed trigger.
        """
    def state_id(self, name: str) -> int:
        """The id of the state ``name``: 0 for the base state, 1, 2, ... in declaration order.

        Args:
            name: a state's name.

        Raises:
            ValueError: "Unknown state '...'. Declared: [...]".
        """
    def span(self, state: str, valid_only: _Bool = True) -> StateSpan:
        """A span reference to this machine's instances of ``state``, for annotation specs.

        The machine is validated and snapshotted here, so later builder calls do not change the span.

        Args:
            state: a declared state's name (not the base state).
            valid_only: True (default): only valid instances are spans; False: every instance.

        Raises:
            ValueError: an unknown state, "'...' is the base state and has no spans", or the machine's
                validation errors (an undeclared ``timeout_to``, a cycle of timeouts).
        """
    @property
    def state_names(self) -> list[str]:
        """State names indexed by id; ``state_names[0]`` is the base state."""

@final
class StateSpan:  # made by StateMachine.span only
    """A snapshot of one state's occupancy, used as a span source.

    Made by `StateMachine.span` only (calling the class raises TypeError); accepted wherever an
    annotation spec takes a ``span``: each instance of the state (valid ones only, unless made with
    ``valid_only=False``) is one span, from its first row to its last.
    """

def state_spans(
    tokens: _StreamTokens,
    times: _StreamFloats,
    machine: StateMachine,
    values: _StreamFloats | None = None,
    include_invalid: _Bool = True,
) -> StateSpansResult:
    """Run a state machine over one stream; one row per state instance.

    Args:
        tokens: one str per row.
        times: one number per row, never decreasing, in the unit of the machine's ``max_gap`` and
            ``min_duration``.
        machine: the `StateMachine`; it is validated and snapshotted for this call.
        values: None or one number per row (NaN: no value); used by triggers with value constraints.
        include_invalid: True (default): report rejected instances too (``valid`` 0). False: only
            valid ones.

    Returns:
        A `StateSpansResult`: ``state``, ``start_pos``, ``end_pos``, ``t_start``, ``t_end``,
        ``n_events``, ``close_reason``, ``reject_reason``, ``valid``, ``timeout_entered``.

    Raises:
        ValueError: stream lengths that differ; the machine's validation errors; "Too many distinct
            triggers: n (maximum 64)"; "Pattern has n elements; maximum is 64".
    """

# ---- annotation

@final
class AnnotationSpec:  # made by its static methods only
    """One output column of `annotate_stream`: a name and a question asked at every row.

    Made by the static methods only (calling the class raises TypeError). A spec never changes and
    may be used on any number of streams.

    ``x``, ``y`` and ``k`` are token references: a str, a list of str (a token set), a list of lists
    of str (same-timestamp sequences) or a `Pattern` (each match); an occurrence is at the row, time
    and value of its first event. ``span`` is a `Pattern` (each match, from its first to its last
    row), a ``(start_token, end_token)`` tuple (each start token to the first end token after it) or
    a `StateSpan`. Windows are measured from each row's own time, in the unit of ``times``, and
    include both ends.
    """

    @staticmethod
    def future_occurrence(name: str, x: _TokenRef, window_t: _Float, partial_window: _Bool = False) -> AnnotationSpec:
        """For each row i, label whether X occurs within ``[time[i], time[i] + window_t]``.

        Column int8: 1 yes, 0 no, -1 not available (the window reaches past the stream's last time
        and ``partial_window`` is False).

        Args:
            name: the column's key in the result.
            x: what to look for (token reference).
            window_t: the window's length, in the unit of ``times``.
            partial_window: True: answer 0 or 1 also where the window reaches past the stream.
        """
    @staticmethod
    def past_occurrence(name: str, x: _TokenRef, window_t: _Float, partial_window: _Bool = False) -> AnnotationSpec:
        """For each row i, label whether X occurred within ``[time[i] - window_t, time[i]]``.

        Column int8: 1 yes, 0 no, -1 not available (the window reaches before the stream's first
        time and ``partial_window`` is False).

        Args:
            name: the column's key in the result.
            x: what to look for (token reference).
            window_t: the window's length, in the unit of ``times``.
            partial_window: True: answer 0 or 1 also where the window reaches before the stream.
        """
    @staticmethod
    def before_event(name: str, x: _TokenRef, y: _TokenRef, reset: _Bool = True) -> AnnotationSpec:
        """Label each Y-delimited epoch by whether X occurs anywhere inside it.

        Column int8, constant over an epoch: 1 X occurs in it, 0 it does not, -1 not known yet (the
        trailing epoch after the last Y, without an X so far).

        Args:
            name: the column's key in the result.
            x: what to look for (token reference).
            y: what closes an epoch (token reference).
            reset: True (default): every Y closes an epoch running from the row after the previous Y
                (or the stream's start) to the Y itself. False: the whole stream is one epoch,
                labelled 1 when X occurs and Y does not occur first, 0 when Y occurs first or only Y
                occurs, -1 when neither occurs.
        """
    @staticmethod
    def in_span(name: str, x: _TokenRef, span: _SpanRef) -> AnnotationSpec:
        """For each row i, label whether it is in a span that also contains X.

        Column int8: 1 inside a span that contains an X (any of them, where spans overlap), 0 inside
        spans without X, -1 outside every span.

        Args:
            name: the column's key in the result.
            x: what to look for (token reference); it is inside a span when its first row is.
            span: a `Pattern`, a ``(start_token, end_token)`` tuple or a `StateSpan`.
        """
    @staticmethod
    def future_span_occurrence(
        name: str, span: _SpanRef, window_t: _Float, partial_window: _Bool = False
    ) -> AnnotationSpec:
        """For each row i, label whether a span starts within ``[time[i], time[i] + window_t]``.

        Column int8: 2 the row is inside a span (whatever the window), 1 a span starts in the
        window, 0 none does, -1 not available (the window reaches past the stream and
        ``partial_window`` is False).

        Args:
            name: the column's key in the result.
            span: a `Pattern`, a ``(start_token, end_token)`` tuple or a `StateSpan`.
            window_t: the window's length, in the unit of ``times``.
            partial_window: True: answer also where the window reaches past the stream.
        """
    @staticmethod
    def past_span_occurrence(
        name: str, span: _SpanRef, window_t: _Float, partial_window: _Bool = False
    ) -> AnnotationSpec:
        """For each row i, label whether a span started within ``[time[i] - window_t, time[i]]``.

        Column int8: 2 the row is inside a span (whatever the window), 1 a span started in the
        window, 0 none did, -1 not available (the window reaches before the stream and
        ``partial_window`` is False).

        Args:
            name: the column's key in the result.
            span: a `Pattern`, a ``(start_token, end_token)`` tuple or a `StateSpan`.
            window_t: the window's length, in the unit of ``times``.
            partial_window: True: answer also where the window reaches before the stream.
        """
    @staticmethod
    def window_aggregate(
        name: str,
        k: _TokenRef,
        window_t: _Float,
        agg: _Agg = "mean",
        forward: _Bool = True,
        partial_window: _Bool = False,
    ) -> AnnotationSpec:
        """For each row i, compute ``agg`` over the values of K in a time window.

        Column float64: "count" counts the occurrences in the window (with or without a value);
        "min", "max" and "mean" skip NaN values (NaN when all are NaN; the mean is exact). NaN when
        the window holds no occurrence (count too) and where it is not available (it reaches beyond
        the stream and ``partial_window`` is False).

        Args:
            name: the column's key in the result.
            k: whose values to aggregate (token reference); an occurrence carries its first row's
                value.
            window_t: the window's length, in the unit of ``times``.
            agg: "min", "max", "mean" (default) or "count".
            forward: True (default): the window is ``[time[i], time[i] + window_t]``; False:
                ``[time[i] - window_t, time[i]]``.
            partial_window: True: aggregate also where the window reaches beyond the stream.
        """
    @staticmethod
    def span_aggregate(name: str, k: _TokenRef, span: _SpanRef, agg: _Agg = "mean") -> AnnotationSpec:
        """For each span, aggregate the values of K inside it and write that scalar to every row of the span.

        Column float64: "count" counts the occurrences in the span (0 for a span without K); "min",
        "max" and "mean" skip NaN values (NaN for a span without values). NaN outside every span.
        Where spans overlap, the span that starts later (or, starting together, ends later) wins.

        Args:
            name: the column's key in the result.
            k: whose values to aggregate (token reference); an occurrence is inside a span when its
                first row is.
            span: a `Pattern`, a ``(start_token, end_token)`` tuple or a `StateSpan`.
            agg: "min", "max", "mean" (default) or "count".
        """
    @staticmethod
    def state_label(
        name: str, machine: StateMachine, default_state: SupportsIndex = 0, invalid_label: SupportsIndex = ...
    ) -> AnnotationSpec:
        """Label every row with the state a `StateMachine` was in at that row.

        Column int32: the state's id where a valid instance covers the row, ``invalid_label`` where
        only rejected instances do, ``default_state`` elsewhere. The machine is validated and
        snapshotted here.

        Args:
            name: the column's key in the result.
            machine: the `StateMachine`.
            default_state: the label of rows in no instance. Default 0 (the base state's id).
            invalid_label: the label of rows covered only by rejected instances. Default ``...``:
                -1. Beware: -1 used as an index picks the last state name.
        """

def annotate_stream(
    tokens: _StreamTokens,
    times: _StreamFloats,
    specs: Sequence[AnnotationSpec],
    values: _StreamFloats | None = None,
) -> dict[str, _Column]:
    """Evaluate annotation specs on one stream: one column per spec, one entry per row.

    Args:
        tokens: one str per row.
        times: one number per row, never decreasing, in the unit of the specs' windows.
        specs: the `AnnotationSpec` objects, evaluated in order; a later spec with the same name
            replaces the earlier column.
        values: None or one number per row (NaN: no value), for aggregates and value constraints.

    Returns:
        A dict from each spec's name to its NumPy column: int8 labels (occurrences, epochs, spans),
        float64 aggregates (NaN: no value) or int32 state ids.

    Raises:
        ValueError: stream lengths that differ; a spec's reference failing on this stream ("Pattern
            has n elements; maximum is 64", "Too many distinct triggers: ...").
    """

# ---- vocabulary and codes

def vocab_ids(tokens: _StreamTokens) -> list[int]:
    """Return this library's internal token ids for a vocabulary, in order.

    Ids are dense, in order of first sight in this process, and never change within it; they are not
    the same in another process. Use them to remap an externally coded corpus for
    `Zuldor.match_batch`: ``remap = np.array(vocab_ids(VOCAB), dtype=np.uint32)``, then
    ``remap[codes]``.

    Args:
        tokens: the strings (a list, not a bare str); each new one is added to the vocabulary.
    """

__version__: str
"""The installed package's version."""

CLOSE_REASONS: list[str]  # close_reason code -> name
"""Names of `state_spans` close_reason codes: "exit_event", "timeout", "transition", "end_of_stream"."""

REJECT_REASONS: list[str]  # reject_reason code -> name
"""Names of `state_spans` reject_reason codes: "none", "unclosed", "too_short", "too_few_events",
"missing_required"."""
