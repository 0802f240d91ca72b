# Type stubs of the submodule zuldcore.corpus, installed beside the package's
# stubs as zuldcore-stubs/corpus.pyi (see CMakeLists.txt) and checked by
# tests/test_typing.py with mypy's stubtest. The docstrings here are what
# editors show on hover.

"""Many documents in one call: a `Corpus` of patients, stays or tickets, and its jobs.

A corpus is one stream cut into documents by offsets (or by a case column of a frame). Every job runs
each document on its own, exactly as the single-stream call would on that document alone, so no match,
window, epoch or span reaches from one document into the next; positions in results are rows of the
corpus, so they index the caller's frame directly.
"""

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
    """What `Corpus.match` returns: the keys of `Zuldor.match_stream`, then ``doc``, the document of each match."""

    doc: npt.NDArray[np.int64]

@type_check_only
class CorpusStateSpansResult(StateSpansResult):
    """What `Corpus.state_spans` returns: the columns of `state_spans`, then ``doc``, the document of each row."""

    doc: npt.NDArray[np.int64]

# Offsets: any one-dimensional integers (a list, a NumPy array of any integer dtype, an Arrow array).
_Offsets: TypeAlias = Sequence[SupportsIndex] | npt.ArrayLike | _ArrowExportable
_TimeUnit: TypeAlias = Literal["us", "ms", "s", "m", "h", "d"]

@final
class Corpus:
    """Many documents laid end to end, interned once and reused by every job.

    A corpus never changes: `copy.copy` and `copy.deepcopy` give the same object, and pickling is
    refused (its token ids belong to this process; build the corpus where it is used).
    """

    def __new__(
        cls,
        tokens: _StreamTokens,
        times: _StreamFloats,
        offsets: _Offsets,
        values: _StreamFloats | None = None,
    ) -> Self:
        """Create a corpus from its columns.

        Args:
            tokens: one str per row, in any form a stream takes, or zuldcore ids as a uint32 NumPy
                or Arrow array (from `vocab_ids`).
            times: one number per row; never NaN and never decreasing within a document (they may
                go back from one document to the next).
            offsets: document k is rows ``offsets[k]`` up to ``offsets[k + 1]``: integers starting
                at 0, never decreasing, ending at the number of rows. Empty documents are allowed.
            values: None (no row has a value) or one number per row; NaN means no value.

        Raises:
            ValueError: "offsets[i] is ..." naming the first bad offset; "times[i] is NaN (document
                k)" or "times[i] is t, below times[i - 1] = s in document k"; "tokens[i] is n, an id
                that was never handed out"; the length messages of the stream calls.
            TypeError: an argument of the wrong type, named in the message.
        """
    @classmethod
    def from_frame(
        cls,
        frame: _ArrowExportable,
        case: str,
        token: str,
        time: str,
        value: str | None = None,
        time_unit: _TimeUnit | None = None,
    ) -> Self:
        """Create a corpus from the rows of a frame, one document per case, in row order.

        Args:
            frame: a Polars or pandas DataFrame, a pyarrow Table or RecordBatchReader, a DuckDB
                relation: anything that exports an Arrow C stream.
            case: the column of case keys, integers or strings; each case's rows must be contiguous.
                The keys are kept in `cases`.
            token: the column of tokens: strings, or uint32 zuldcore ids.
            time: the column of times: numbers, or dates, timestamps or durations with ``time_unit``.
                Never decreasing within a case.
            value: the column of values, or None (no row has a value); a null value is NaN.
            time_unit: for a temporal ``time`` column, the unit its times are counted in since the
                epoch: "us", "ms", "s", "m" (minutes), "h" or "d"; each time is the correctly rounded
                float of the exact count, so microseconds within about 285 years of 1970 are exact.

        Raises:
            ValueError: a missing column, a null case, token or time ("time[i] is null"), "case k
                comes back at row i after other cases ...", decreasing times, an unknown time_unit.
            TypeError: a frame that exports no Arrow stream, a column of the wrong type, a temporal
                time column without ``time_unit`` or ``time_unit`` with a column of numbers.
        """
    @property
    def n_docs(self) -> int:
        """The number of documents."""
    @property
    def offsets(self) -> npt.NDArray[np.int64]:
        """int64 (n_docs + 1,), read-only: document k is rows ``offsets[k]`` up to ``offsets[k + 1]``."""
    @property
    def cases(self) -> npt.NDArray[np.int64] | npt.NDArray[np.uint64] | list[str] | None:
        """The case key of each document of a corpus made by `from_frame` (a read-only int64 or, for a
        uint64 column, uint64 array; a list of str for string keys); None otherwise."""
    def __len__(self) -> int:
        """The number of rows."""
    def match(
        self, zuldor: Zuldor, include_tokens: _Bool = False, first_only: _Bool = False, threads: int | None = None
    ) -> CorpusMatchResult:
        """Find every match of the Zuldor's pattern in each document, never across two.

        Args:
            zuldor: the `Zuldor` whose pattern to match.
            include_tokens: True: add ``el_tokens`` with the matched token strings.
            first_only: True: the first match of each document only.
            threads: None (default) uses every CPU the process may run on, 1 the calling thread only;
                the result is the same for any number.

        Returns:
            The keys of `Zuldor.match_stream`, with rows of the corpus as positions, and ``doc``.

        Raises:
            ValueError: "Pattern has n elements; maximum is 64", even for a corpus without documents;
                "threads must be at least 1 (got n)".
        """
    def state_spans(
        self, machine: StateMachine, include_invalid: _Bool = True, threads: int | None = None
    ) -> CorpusStateSpansResult:
        """Run a state machine over each document on its own; an instance open at the end of its
        document closes there with end_of_stream.

        Args:
            machine: the `StateMachine` to run (its state when the call starts).
            include_invalid: False: only the valid instances.
            threads: as for `match`.

        Returns:
            The ten columns of `state_spans`, with rows of the corpus as positions, and ``doc``.
        """
    def annotate(self, specs: Sequence[AnnotationSpec], threads: int | None = None) -> dict[str, _Column]:
        """The columns of `annotate_stream`, one entry per row, each document evaluated on its own
        ("not available" is judged against the document's own first and last times).

        Args:
            specs: the `AnnotationSpec` of each column; a later spec of the same name replaces the column.
            threads: as for `match`.
        """
    def __copy__(self) -> Self:
        """The corpus itself."""
    def __deepcopy__(self, memo: object, /) -> Self:
        """The corpus itself; ``memo`` is not used."""
