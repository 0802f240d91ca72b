# Type stubs of the zuldcore extension module, installed as the stub package
# zuldcore-stubs (see CMakeLists.txt). tests/test_typing.py checks them against
# the built module with mypy's stubtest: names, argument names, kinds and
# defaults must match the module's own text signatures.

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
    def __arrow_c_array__(self, requested_schema: object | None = None, /) -> tuple[object, object]: ...

class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...

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
    """What Zuldor.match_stream and Zuldor.match_preprocessed return."""

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
    """What Zuldor.match_batch returns: the first match of each document, -1 for none."""

    m_start: npt.NDArray[np.int64]  # (n_docs,)
    m_end: npt.NDArray[np.int64]
    mid: NotRequired[npt.NDArray[np.float64]]  # only with a midstream collector

@type_check_only
class StateSpansResult(TypedDict):
    """What state_spans returns: one row per state instance."""

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
    """One rule of Pattern.add_mapped_event's match_map (or its default)."""

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
    def __new__(
        cls,
        min_dt: _Float = 0.0,
        max_dt: _Float = ...,
        min_at: _Float = ...,
        max_at: _Float = ...,
        ordered: _Bool = True,
        collector: _Collector = "none",
    ) -> Self: ...
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
    ) -> None: ...
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
    ) -> None: ...
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
    ) -> None: ...
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
    ) -> None: ...
    # Keys are str, or tuples of str for same-timestamp sequences. Three forms, so that a dict literal
    # takes its type from the argument and a dict of either key type is accepted as it is.
    @overload
    def add_mapped_event(
        self,
        source_element: SupportsIndex,
        match_map: dict[str, MappedSpec],
        default: MappedSpec | None = None,
        backtrackable: _Bool = True,
    ) -> None: ...
    @overload
    def add_mapped_event(
        self,
        source_element: SupportsIndex,
        match_map: dict[tuple[str, ...], MappedSpec],
        default: MappedSpec | None = None,
        backtrackable: _Bool = True,
    ) -> None: ...
    @overload
    def add_mapped_event(
        self,
        source_element: SupportsIndex,
        match_map: dict[str | tuple[str, ...], MappedSpec],
        default: MappedSpec | None = None,
        backtrackable: _Bool = True,
    ) -> None: ...
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
    ) -> None: ...
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
    ) -> None: ...
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
    ) -> None: ...
    def add_midstream_collector(
        self,
        match_tokens: _Strs | _StrSeqs,
        start_after: _Indices,
        stop_before: _Indices,
        collector: _Collector = "collect_tokens",
    ) -> None: ...

@final
class Zuldor:
    def __new__(cls, pattern: Pattern) -> Self: ...
    def match_stream(
        self,
        tokens: _StreamTokens,
        times: _StreamFloats,
        values: _StreamFloats | None = None,
        first_only: _Bool = False,
        include_tokens: _Bool = False,
    ) -> MatchResult: ...
    def preprocess(
        self, tokens: _StreamTokens, times: _StreamFloats, values: _StreamFloats | None = None
    ) -> PreprocessedStream: ...
    def match_preprocessed(
        self, stream: PreprocessedStream, first_only: _Bool = False, include_tokens: _Bool = False
    ) -> MatchResult: ...
    # One-dimensional, contiguous arrays of exactly these dtypes, read in place.
    def match_batch(
        self,
        token_ids: npt.NDArray[np.uint32],
        times: npt.NDArray[np.float64],
        offsets: npt.NDArray[np.int64],
        values: npt.NDArray[np.float64] | None = None,
    ) -> BatchResult: ...

@final
class PreprocessedStream:  # made by Zuldor.preprocess only
    def __len__(self) -> int: ...

# ---- state machines

@final
class StateMachine:
    def __new__(cls, out_name: str = "out") -> Self: ...
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
    ) -> None: ...
    def add_entry(
        self, state: str, trigger: _TokenRef, from_states: _Strs | None = None, anchor: _Anchor = "end"
    ) -> None: ...
    def add_exit(self, state: str, trigger: _TokenRef, inclusive: _Bool = True, anchor: _Anchor = "end") -> None: ...
    def state_id(self, name: str) -> int: ...
    def span(self, state: str, valid_only: _Bool = True) -> StateSpan: ...
    @property
    def state_names(self) -> list[str]: ...

@final
class StateSpan:  # made by StateMachine.span only
    ...

def state_spans(
    tokens: _StreamTokens,
    times: _StreamFloats,
    machine: StateMachine,
    values: _StreamFloats | None = None,
    include_invalid: _Bool = True,
) -> StateSpansResult: ...

# ---- annotation

@final
class AnnotationSpec:  # made by its static methods only
    @staticmethod
    def future_occurrence(name: str, x: _TokenRef, window_t: _Float, partial_window: _Bool = False) -> AnnotationSpec: ...
    @staticmethod
    def past_occurrence(name: str, x: _TokenRef, window_t: _Float, partial_window: _Bool = False) -> AnnotationSpec: ...
    @staticmethod
    def before_event(name: str, x: _TokenRef, y: _TokenRef, reset: _Bool = True) -> AnnotationSpec: ...
    @staticmethod
    def in_span(name: str, x: _TokenRef, span: _SpanRef) -> AnnotationSpec: ...
    @staticmethod
    def future_span_occurrence(
        name: str, span: _SpanRef, window_t: _Float, partial_window: _Bool = False
    ) -> AnnotationSpec: ...
    @staticmethod
    def past_span_occurrence(
        name: str, span: _SpanRef, window_t: _Float, partial_window: _Bool = False
    ) -> AnnotationSpec: ...
    @staticmethod
    def window_aggregate(
        name: str,
        k: _TokenRef,
        window_t: _Float,
        agg: _Agg = "mean",
        forward: _Bool = True,
        partial_window: _Bool = False,
    ) -> AnnotationSpec: ...
    @staticmethod
    def span_aggregate(name: str, k: _TokenRef, span: _SpanRef, agg: _Agg = "mean") -> AnnotationSpec: ...
    @staticmethod
    def state_label(
        name: str, machine: StateMachine, default_state: SupportsIndex = 0, invalid_label: SupportsIndex = ...
    ) -> AnnotationSpec: ...

def annotate_stream(
    tokens: _StreamTokens,
    times: _StreamFloats,
    specs: Sequence[AnnotationSpec],
    values: _StreamFloats | None = None,
) -> dict[str, _Column]: ...

# ---- vocabulary and codes

def vocab_ids(tokens: _StreamTokens) -> list[int]: ...

__version__: str

CLOSE_REASONS: list[str]  # close_reason code -> name
REJECT_REASONS: list[str]  # reject_reason code -> name
