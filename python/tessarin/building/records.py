"""Records to a native index: (search term, video identifier, count).

`RecordBuilder` (the base of `IndexBuilder`) hands records to the native
builder of `tessarin._native` (src/build/), which keeps each distinct term once, each distinct video
once, and the sum of each (term, video) pair in 12 bytes: memory grows with
the distinct terms and pairs, never with the number of records. Records
come from any Python iterable (`add`, `add_many`) or as Arrow data
(`add_arrow`: pyarrow, DuckDB, Polars, Spark), read in place through the
Arrow C data interface.

`native_index()`, `build()` and `arrays()` lay the terms out natively as the
flat arrays of `PrefixSearch.from_internal_data_v2`:

* nodes numbered breadth-first over the sorted terms, so every child has a
  greater index than its parent (propagation then sums whole subtrees) and
  the children of one node are consecutive: `child_transitions` is simply
  1, 2, ..., n - 1 and `node_shifts[i]` is the position of node i's first
  child in it;
* one label per node, the character on the edge into it ("" for the root);
* a payload for every node that ends a term: the term's total count and its
  videos, highest count first (ties by table position), so that the cut to
  `video_top_n` keeps the best videos also at nodes without children, which
  propagation does not re-sort;
* the video table sorted by identifier.

Terms are sorted and the video table is sorted, so the same records in any
order give the same index, byte for byte, and the bytes of the pure-Python
layout this module had before (kept as `tessarin_reference.builder`).

Counts are unsigned 32-bit in the index. Each record's count must lie in
0 ... 4294967295; sums above that (a term's total, or one video's count
under one term) saturate at 4294967295, as propagation's sums do; the order
of a term's videos is decided on the exact sums.
"""

from __future__ import annotations

import dataclasses
import operator
import uuid
from collections.abc import Callable, Iterable
from typing import Any, NamedTuple, SupportsIndex, cast

from _tessarin import PrefixSearch

from .. import _native, arguments
from ..errors import ArrowStreamError, RecordError
from ..normalization import normalizer, steps_of
from .exclusions import Exclusions
from .recency import Recency, duration, instant

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "U32_MAX",
    "ArrowReport",
    "RecordBuilder",
    "TrieArrays",
    "VideoId",
    "video_id",
]

U32_MAX = 2**32 - 1
DEFAULT_VIDEO_TOP_N = 10

#: A video identifier as the builder takes it.
VideoId = uuid.UUID | bytes | int
Payload = tuple[int, list[int], list[int]]
#: progress(step, done, total) while an index is built (step: "build"; done
#: reaches total at the end).
BuildProgress = Callable[[str, int, int], None]


class TrieArrays(NamedTuple):
    """The six arguments of `PrefixSearch.from_internal_data_v2`, in order."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Payload | None]
    child_transitions: list[int]
    video_index: list[bytes]
    video_top_n: int


class RefusedRow(NamedTuple):
    """A row that `add_arrow` refused: its number (from 1, over the rows of
    that call), the kind of fault and what was wrong."""

    row: int
    fault: str
    message: str


class ArrowReport(NamedTuple):
    """What `add_arrow` read: rows seen, rows added, rows refused (skipped),
    the refused rows by kind of fault, the first few of them, and rows
    taken but excluded (their terms kept out)."""

    rows: int
    added: int
    refused: int
    by_fault: dict[str, int]
    examples: list[RefusedRow]
    excluded: int = 0


def _describe(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


class RecordBuilder:
    """Collects (term, video, count) records and builds them natively: the
    index's arrays, a `PrefixSearch`, or the native index an `Index` wraps.
    `IndexBuilder` (the public builder) adds `index()`; see it for the
    records taken."""

    def __init__(
        self,
        *,
        normalization: str | None = None,
        half_life: object = None,
        as_of: object = None,
        exclude: Exclusions | Iterable[str] | None = None,
        min_count: int | None = None,
    ) -> None:
        self._normalization: str | None = None
        steps: tuple[str, ...] = ()
        if normalization is not None:
            steps = steps_of(normalization)
            self._normalization = "+".join(steps)
        normalize = normalizer(normalization) if normalization is not None else None
        self._recency: Recency | None = None
        if half_life is not None:
            when = None if as_of is None else instant(as_of, "as_of")
            self._recency = Recency(duration(half_life), when)
        elif as_of is not None:
            raise ValueError("as_of is the time that ages are measured from: give half_life too")
        self._exclusions: Exclusions | None = None
        terms: list[str] = []
        patterns: list[str] = []
        if exclude is not None:
            self._exclusions = (
                exclude if isinstance(exclude, Exclusions) else Exclusions.of(exclude)
            )
            try:
                terms, patterns = self._exclusions.split(normalize)
                for entry in (*terms, *patterns):
                    entry.encode("utf-8")
            except (UnicodeError, ValueError) as error:
                raise ValueError(f"exclude: an entry cannot be a term ({error})") from None
        self._min_count = None if min_count is None else arguments.integer("min_count", min_count)
        units = (self._min_count or 0) * (self._recency.scale if self._recency else 1)
        self._time_column: str | None = None
        self._native = _native.NativeBuilder(
            list(steps),
            normalize,
            exclude_terms=terms,
            exclude_patterns=patterns,
            min_count=min(units, 2**64 - 1),
        )

    @property
    def records(self) -> int:
        """How many records were added."""
        return self._native.records

    @property
    def pairs(self) -> int:
        """How many distinct (term, video) pairs the last build found (0
        before the first; kept after a build that released the builder)."""
        return self._native.pairs

    @property
    def terms(self) -> int:
        """How many distinct terms were added (once normalised)."""
        return self._native.terms

    @property
    def videos(self) -> int:
        """How many distinct videos were added."""
        return self._native.videos

    @property
    def id_mode(self) -> str | None:
        """The identifier kind, "uuid" or "int", once a video was added; else None."""
        return self._native.id_mode

    @property
    def normalization(self) -> str | None:
        """The normalisation applied to terms, if any."""
        return self._normalization

    @property
    def recency(self) -> Recency | None:
        """How records are weighed by their age, if they are."""
        return self._recency

    @property
    def excluded_records(self) -> int:
        """How many records were taken but kept out (their terms excluded)."""
        return self._native.excluded_records

    @property
    def excluded_terms(self) -> int:
        """How many distinct terms (once normalised) were kept out."""
        return self._native.excluded_terms

    @property
    def dropped_terms(self) -> int:
        """How many terms the last build dropped below `min_count`."""
        return self._native.dropped_terms

    def resolve_as_of(self, time: int) -> None:
        """Sets the time that ages are measured from (microseconds since
        the Unix epoch), left None when the builder was made: `read_records`
        sets the latest time of its input. Only before the first record."""
        if self._recency is None or self._recency.as_of is not None:
            raise ValueError("as_of is known already (or there is no half_life)")
        if self._native.records or self._native.excluded_records:
            raise ValueError("as_of must be known before the first record")
        self._recency = dataclasses.replace(self._recency, as_of=time)

    def note_time_column(self, name: str) -> None:
        """Records the column that the records' times came from (for the
        index's metadata; the reader calls it)."""
        self._time_column = name

    def build_options(self) -> dict[str, str | int] | None:
        """What the index's metadata records of the weighing and the
        selection of terms (None when there was neither)."""
        options: dict[str, str | int] = {}
        if self._recency is not None:
            options.update(self._recency.metadata())
            if self._time_column is not None:
                options["time_column"] = self._time_column
        if self._min_count is not None:
            options["min_count"] = self._min_count
        if self._exclusions is not None:
            options.update(self._exclusions.metadata())
        return options or None

    @property
    def memory_bytes(self) -> int:
        """Bytes of memory the builder holds."""
        return self._native.memory_bytes

    def add(self, term: str, video: VideoId, count: int = 1, time: object = None) -> None:
        """Add one record: `video` was reached `count` times through `term`
        (at `time`, which a builder with `half_life` needs)."""
        self.add_many(((term, video, count) if time is None else (term, video, count, time),))

    def add_many(self, records: Iterable[tuple[Any, ...]]) -> None:
        """Add (term, video, count) records from any iterable, streaming;
        (term, video, count, time) records to a builder with `half_life`."""
        recency = self._recency
        if recency is None:
            refused = self._native.add_records(records, _plain_record)
        elif recency.as_of is None:
            raise ValueError("records are weighed by their age from as_of: give as_of")
        else:
            refused = self._native.add_records(
                (
                    _weighed(self._native.records + self._native.excluded_records + k, r, recency)
                    for k, r in enumerate(records, 1)
                ),
                _plain_record,
            )
        if refused is not None:
            n, record, fault, value, problem = refused
            raise RecordError(
                f"record {n} {_describe(record)}: {problem}",
                fault=_native.FAULTS[fault],
                row=n,
                value=value,
                problem=problem,
            )

    def add_arrow(
        self,
        data: object,
        *,
        term: str = "term",
        video: str = "video",
        count: str | None = "count",
        skip_bad: bool = False,
        null_count_is_one: bool = False,
        on_batch: Callable[[int], None] | None = None,
        problem: str | None = None,
        weight: str | None = None,
    ) -> ArrowReport:
        """Add the rows of Arrow data: anything with `__arrow_c_stream__` or
        `__arrow_c_array__` (a pyarrow Table, RecordBatch or reader, a
        DuckDB relation, a Polars DataFrame), read batch by batch without a
        copy into Python objects and without the interpreter lock.

        `term`, `video` and `count` name the columns; `count=None` counts
        each row once (raw search events). Terms are text; videos integers,
        16-byte binary, or text (decimal or a UUID); counts integers or
        decimal text: ASCII digits, an optional sign, ASCII whitespace
        around (what Python's `int()` reads in ASCII, without "_"). A bad
        row raises `RecordError` (a `ValueError`) naming it ("row N", from 1
        over this call's rows; the rows before it are added), unless
        `skip_bad`, which skips it and counts it in the report. `on_batch`
        is called after each batch with the rows read so far; an exception
        it raises stops the reading and propagates. A stream whose producer
        fails raises `ArrowStreamError` (an `OSError`). `problem` names a
        text column saying what the source found wrong with a row (null
        when nothing): such rows are refused as "unreadable". `weight`
        names an integer column (0 ... 4294967295) multiplying each row's
        count (a row's recency in units, see `tessarin.building.recency`);
        a null weight refuses the row as a bad "time".
        """
        rows, added, excluded, refused, by_fault, examples, failure = self._native.add_arrow(
            data, term, video, count, skip_bad, null_count_is_one, on_batch, problem, weight
        )
        if failure is not None:
            raise ArrowStreamError(failure)
        names = _native.FAULTS
        if refused and not skip_bad:
            row, fault, value, problem = examples[0]
            raise RecordError(
                f"row {row + 1}: {problem}",
                fault=names[fault],
                row=row + 1,
                value=value,
                problem=problem,
            )
        return ArrowReport(
            rows,
            added,
            refused,
            {names[k]: n for k, n in enumerate(by_fault) if n},
            [RefusedRow(row + 1, names[fault], problem) for row, fault, _, problem in examples],
            excluded,
        )

    def arrays(self, video_top_n: int = DEFAULT_VIDEO_TOP_N) -> TrieArrays:
        """The six arguments of `from_internal_data_v2` for the records so far."""
        top_n = arguments.video_top_n(video_top_n, 0)
        shifts, labels, payloads, transitions, videos = self._native.arrays(top_n)
        return TrieArrays(shifts, labels, payloads, transitions, videos, top_n)

    def build(self, video_top_n: int = DEFAULT_VIDEO_TOP_N) -> PrefixSearch:
        """The index of the records so far; each node keeps `video_top_n` videos."""
        native = self._native.build(arguments.video_top_n(video_top_n, 0))
        return PrefixSearch.from_bytes(native.to_saved())

    def native_index(
        self,
        video_top_n: int = DEFAULT_VIDEO_TOP_N,
        *,
        progress: BuildProgress | None = None,
        release: bool = False,
    ) -> _native.NativeIndex:
        """The native index of the records so far, for `IndexBuilder.index`
        and `Index.build` (which see)."""
        top_n = arguments.video_top_n(video_top_n)  # an index keeping no videos finds none
        return self._native.build(top_n, progress, release)


# The Python types that the native builder does not take as they are: a
# str subclass, a uuid.UUID subclass, bytes-like objects, integers by
# __index__ (numpy's, IntEnum). Converting them is Python's business, since
# the core sees no Python object; every check of a value (empty term,
# ranges, 16 bytes, kinds, UTF-8) is the core's (src/build/record_checks.h).


def _plain_record(n: int, record: object) -> tuple[str, bytes | int, int]:
    """Record n as the native builder takes it, (str, int or bytes, int), or
    the TypeError that names it."""
    term: Any
    video: Any
    count: Any
    try:
        term, video, count = record  # type: ignore[misc]
    except (TypeError, ValueError):
        raise TypeError(
            f"record {n} {_describe(record)}: expected a (term, video, count) tuple"
        ) from None

    def wrong(problem: str) -> TypeError:
        return TypeError(f"record {n} {_describe(record)}: {problem}")

    key: bytes | int
    if isinstance(video, uuid.UUID):
        key = video.bytes
    elif isinstance(video, (bytes, bytearray, memoryview)):
        key = bytes(video)
    elif not isinstance(video, bool) and hasattr(type(video), "__index__"):
        key = operator.index(cast(SupportsIndex, video))  # checked just above
    else:
        raise wrong(
            f"a video identifier must be a uuid.UUID, 16 bytes or an int in 0..{U32_MAX}, "
            f"not {type(video).__name__}"
        )
    if isinstance(count, bool) or not hasattr(type(count), "__index__"):
        raise wrong(f"the count must be an int, not {type(count).__name__}")
    if not isinstance(term, str):
        raise wrong(f"the term must be a str, not {type(term).__name__}")
    return (str(term), key, operator.index(cast(SupportsIndex, count)))


def _weighed(n: int, record: object, recency: Recency) -> object:
    """Record n (term, video, count, time) as (term, video, count in
    units): see `tessarin.building.recency`."""
    term: Any
    video: Any
    count: Any
    time: Any
    try:
        term, video, count, time = record  # type: ignore[misc]
    except (TypeError, ValueError):
        raise TypeError(
            f"record {n} {_describe(record)}: expected a (term, video, count, time) tuple "
            "(the builder weighs records by their time)"
        ) from None
    if isinstance(count, bool) or not hasattr(type(count), "__index__"):
        return (term, video, count)  # refused by the checks, which name it
    try:
        units = recency.units(instant(time))
    except (TypeError, ValueError) as error:
        raise RecordError(
            f"record {n} {_describe(record)}: {error}",
            fault="time",
            row=n,
            value=repr(time),
            problem=str(error),
        ) from None
    n_searches = operator.index(count)
    if n_searches < 0 or n_searches > U32_MAX:
        return (term, video, count)  # refused by the checks, which name it
    return (term, video, min(n_searches * units, U32_MAX))


def video_id(text: str) -> uuid.UUID | int:
    """The identifier that `fuzzy_match_video` spelt as `text`.

    A UUID index reports hyphenated lowercase hex, an int index decimal.
    """
    if len(text) == 36 and text[8:9] == "-":
        return uuid.UUID(text)
    return int(text)
