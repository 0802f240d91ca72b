# Type stubs of the submodule zuldcore.corpus, installed beside the package's
# stubs as zuldcore-stubs/corpus.pyi (see CMakeLists.txt) and checked by
# tests/test_typing.py with mypy's stubtest.

from collections.abc import Sequence
from typing import Literal, SupportsIndex, TypeAlias, final, type_check_only

import numpy as np
import numpy.typing as npt
from typing_extensions import Self

from zuldcore import (
    AnnotationSpec,
    MatchResult,
    StateMachine,
    StateSpansResult,
    Zuldor,
    _ArrowExportable,
    _Bool,
    _Column,
    _StreamFloats,
    _StreamTokens,
)

__all__ = ["Corpus"]

@type_check_only
class CorpusMatchResult(MatchResult):
    """What Corpus.match returns: the keys of Zuldor.match_stream, then the document of each match."""

    doc: npt.NDArray[np.int64]

@type_check_only
class CorpusStateSpansResult(StateSpansResult):
    """What Corpus.state_spans returns: the columns of state_spans, then the document of each instance."""

    doc: npt.NDArray[np.int64]

_Offsets: TypeAlias = Sequence[SupportsIndex] | npt.ArrayLike | _ArrowExportable
_TimeUnit: TypeAlias = Literal["us", "ms", "s", "m", "h", "d"]

@final
class Corpus:
    def __new__(
        cls,
        tokens: _StreamTokens,
        times: _StreamFloats,
        offsets: _Offsets,
        values: _StreamFloats | None = None,
    ) -> Self: ...
    @classmethod
    def from_frame(
        cls,
        frame: _ArrowExportable,
        case: str,
        token: str,
        time: str,
        value: str | None = None,
        time_unit: _TimeUnit | None = None,
    ) -> Self: ...
    @property
    def n_docs(self) -> int: ...
    @property
    def offsets(self) -> npt.NDArray[np.int64]: ...
    @property
    def cases(self) -> npt.NDArray[np.int64] | npt.NDArray[np.uint64] | list[str] | None: ...
    def __len__(self) -> int: ...
    def match(
        self, zuldor: Zuldor, include_tokens: _Bool = False, first_only: _Bool = False, threads: int | None = None
    ) -> CorpusMatchResult: ...
    def state_spans(
        self, machine: StateMachine, include_invalid: _Bool = True, threads: int | None = None
    ) -> CorpusStateSpansResult: ...
    def annotate(self, specs: Sequence[AnnotationSpec], threads: int | None = None) -> dict[str, _Column]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object, /) -> Self: ...
