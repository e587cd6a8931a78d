"""The pure-Python builder, as tessarin.IndexBuilder was before its layout
moved into the core: the plain model that the native builder must match
array for array (and so, built, byte for byte), with its own checks of a
record and its own reading of integers written as text. It imports
nothing of the package: build its arrays with
`PrefixSearch.from_internal_data_v2(*builder.arrays(n))`.

Build an index from records: (search term, video identifier, count).

The builder aggregates records as they stream in, one dictionary entry per
distinct term holding the term's total count and its videos with their
summed counts, and one entry per distinct video. Memory therefore grows with
the trie and its payloads, never with the number of records: a billion
clicks over a hundred thousand terms cost the same as one click per term.

`IndexBuilder.arrays()` lays the terms out as the six flat arrays of
`PrefixSearch.from_internal_data_v2`:

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
order give the same index, byte for byte.

Counts are unsigned 32-bit in the index. Each record's count must lie in
0 ... 4294967295; sums above that (a term's total, or one video's count
under one term) saturate at 4294967295, as propagation's sums do.
"""

from __future__ import annotations

import collections
import itertools
import operator
import uuid
from collections.abc import Iterable
from typing import Any, NamedTuple, SupportsIndex, cast

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "U32_MAX",
    "IndexBuilder",
    "TrieArrays",
    "VideoId",
    "integer_text",
    "video_id",
]

U32_MAX = 2**32 - 1
DEFAULT_VIDEO_TOP_N = 10

#: A video identifier as the builder takes it.
VideoId = uuid.UUID | bytes | int
Payload = tuple[int, list[int], list[int]]

_UUID_KIND = "uuid"
_INT_KIND = "int"


class TrieArrays(NamedTuple):
    """The six arguments of `PrefixSearch.from_internal_data_v2`, in order."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Payload | None]
    child_transitions: list[int]
    video_index: list[bytes]
    video_top_n: int


def _describe(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


class IndexBuilder:
    """Collects (term, video, count) records and lays out their index.

    >>> builder = IndexBuilder()
    >>> builder.add("cat", 7, 3)
    >>> builder.add_many([("cat", 9, 1), ("car", 7, 2)])
    >>> builder.arrays(video_top_n=10).child_labels
    ['', 'c', 'a', 'r', 't']

    Terms are stored exactly as given: no case folding, no trimming, no
    normalisation. Video identifiers are `uuid.UUID` or 16-byte `bytes`
    (stored as their 16 bytes), or integers 0 ... 4294967295 (stored as 4
    little-endian bytes); one index holds one kind. A bad record raises
    `ValueError` or `TypeError` naming it by its number (counting from 1 over
    all records this builder was given) and leaves the builder as it was
    before that record.
    """

    def __init__(self) -> None:
        # term -> [sum of counts, {provisional video position: sum of counts}]
        self._terms: dict[str, list[Any]] = {}
        # identifier key (16 bytes or int) -> provisional position
        self._videos: dict[bytes | int, int] = {}
        self._kind: str | None = None
        self._records = 0

    @property
    def records(self) -> int:
        """How many records were added."""
        return self._records

    @property
    def terms(self) -> int:
        """How many distinct terms were added."""
        return len(self._terms)

    @property
    def videos(self) -> int:
        """How many distinct videos were added."""
        return len(self._videos)

    @property
    def id_mode(self) -> str | None:
        """The identifier kind, "uuid" or "int", once a video was added; else None."""
        return self._kind

    def add(self, term: str, video: VideoId, count: int = 1) -> None:
        """Add one record: `video` was reached `count` times through `term`."""
        self.add_many(((term, video, count),))

    def add_many(self, records: Iterable[tuple[str, VideoId, int]]) -> None:
        """Add (term, video, count) records from any iterable, streaming."""
        # The loop is the builder's hot path: locals only, exact-type fast
        # paths, and the checks of a term or a video made only the first time
        # it is seen. Every check runs before anything is stored.
        terms = self._terms
        videos = self._videos
        terms_get = terms.get
        videos_get = videos.get
        uuid_type = uuid.UUID
        n = self._records  # records fully added
        term: Any
        video: Any
        count: Any
        key: bytes | int
        try:
            for record in records:
                try:
                    term, video, count = record
                except (TypeError, ValueError):
                    raise TypeError(
                        f"record {n + 1} {_describe(record)}: expected a (term, video, count) tuple"
                    ) from None
                t = type(video)
                if t is int or t is bytes:
                    key = video
                elif t is uuid_type:
                    key = video.bytes
                else:
                    key = _video_key(n + 1, record, video)
                if type(count) is not int or count < 0 or count > U32_MAX:
                    count = _count(n + 1, record, count)
                if type(term) is not str:
                    term = _term_type(n + 1, record, term)
                position = videos_get(key)
                if position is None:
                    kind = _video_kind(n + 1, record, key, self._kind)
                entry = terms_get(term)
                if entry is None:
                    _check_term(n + 1, record, term)
                    entry = terms[term] = [0, {}]
                if position is None:
                    self._kind = kind
                    position = videos[key] = len(videos)
                entry[0] += count
                counts = entry[1]
                counts[position] = counts.get(position, 0) + count
                n += 1
        finally:
            self._records = n

    def arrays(self, video_top_n: int = DEFAULT_VIDEO_TOP_N) -> TrieArrays:
        """The six arguments of `from_internal_data_v2` for the records so far."""
        if isinstance(video_top_n, bool) or not isinstance(video_top_n, int):
            raise TypeError(f"video_top_n must be an int, not {type(video_top_n).__name__}")
        if video_top_n < 0:
            raise ValueError(f"video_top_n must not be negative, got {video_top_n}")

        # The video table, sorted, and each provisional position's final one.
        keys = sorted(self._videos)
        final = [0] * len(keys)
        videos = self._videos
        for new, key in enumerate(keys):
            final[videos[key]] = new
        if self._kind == _INT_KIND:
            video_index = [int(key).to_bytes(4, "little") for key in keys]
        else:
            video_index = [bytes(key) for key in keys]

        # Breadth-first numbering, one depth at a time. The nodes at depth d
        # are the distinct d-character prefixes of the terms; breadth-first
        # order over children sorted by label lists them in lexicographic
        # order, which is the order of their first appearance in the sorted
        # terms. A node is terminal when its prefix is itself a term. Since
        # the children of a node are consecutive, node_shifts is the running
        # sum of the children counts.
        aggregates = self._terms
        labels: list[str] = [""]
        payloads: list[Payload | None] = [None]  # the root: no term is empty
        children: list[int] = []
        level = [""]
        active = sorted(aggregates)
        depth = 0
        while active:
            depth += 1
            prefixes = [term[:depth] for term in active]
            nodes = list(dict.fromkeys(prefixes))
            per_parent = collections.Counter([node[:-1] for node in nodes])
            children += [per_parent.get(node, 0) for node in level]
            labels += [node[-1] for node in nodes]
            payloads += [
                _payload(aggregates[node], final) if node in aggregates else None for node in nodes
            ]
            level = nodes
            active = [term for term in active if len(term) > depth]
        children += [0] * len(level)
        node_shifts = list(itertools.accumulate(children[:-1], initial=0))
        child_transitions = list(range(1, len(labels)))
        return TrieArrays(
            node_shifts, labels, payloads, child_transitions, video_index, video_top_n
        )


# Slow paths of add_many: conversions and checks, each naming the record.


def _fail(error: type[Exception], n: int, record: object, problem: str) -> Exception:
    return error(f"record {n} {_describe(record)}: {problem}")


def _video_key(n: int, record: object, video: object) -> bytes | int:
    if isinstance(video, uuid.UUID):
        return video.bytes
    if isinstance(video, (bytes, bytearray, memoryview)):
        return bytes(video)
    if not isinstance(video, bool) and hasattr(type(video), "__index__"):
        return operator.index(cast(SupportsIndex, video))  # checked just above
    raise _fail(
        TypeError,
        n,
        record,
        f"a video identifier must be a uuid.UUID, 16 bytes or an int in 0..{U32_MAX}, "
        f"not {type(video).__name__}",
    )


def _count(n: int, record: object, count: object) -> int:
    if isinstance(count, bool) or not hasattr(type(count), "__index__"):
        raise _fail(TypeError, n, record, f"the count must be an int, not {type(count).__name__}")
    value = operator.index(cast(SupportsIndex, count))  # checked just above
    if not 0 <= value <= U32_MAX:
        raise _fail(ValueError, n, record, f"the count {value} is outside 0..{U32_MAX}")
    return value


def _term_type(n: int, record: object, term: object) -> str:
    if isinstance(term, str):
        return str(term)
    raise _fail(TypeError, n, record, f"the term must be a str, not {type(term).__name__}")


def _check_term(n: int, record: object, term: str) -> None:
    if not term:
        raise _fail(ValueError, n, record, "the term is empty")
    if "\x00" in term:
        # Label 0 marks a node without a label, which the matchers skip.
        raise _fail(ValueError, n, record, "the term holds the character U+0000")
    if not term.isascii():
        try:
            term.encode("utf-8")
        except UnicodeEncodeError:
            raise _fail(
                ValueError, n, record, "the term holds a lone surrogate, which is not a character"
            ) from None


def _video_kind(n: int, record: object, key: bytes | int, have: str | None) -> str:
    """The kind of a new video's identifier, checked against the index's kind."""
    if isinstance(key, bytes):
        kind = _UUID_KIND
        if len(key) != 16:
            raise _fail(
                ValueError,
                n,
                record,
                f"a bytes video identifier must be 16 bytes long, not {len(key)}",
            )
    else:
        kind = _INT_KIND
        if not 0 <= key <= U32_MAX:
            raise _fail(
                ValueError, n, record, f"the video identifier {key} is outside 0..{U32_MAX}"
            )
    if have is not None and have != kind:
        held = "UUIDs" if have == _UUID_KIND else "integers"
        raise _fail(
            ValueError,
            n,
            record,
            f"mixed video identifier kinds: this index holds {held}; "
            "one index holds UUIDs (or 16 bytes) or integers, not both",
        )
    return kind


def _payload(entry: list[Any], final: list[int]) -> Payload:
    """A term's payload: its videos by count, highest first, ties by position."""
    total, counts = entry
    if len(counts) == 1:
        ((position, count),) = counts.items()
        return (min(total, U32_MAX), [final[position]], [min(count, U32_MAX)])
    # One integer per video, count above position, sorted once: descending
    # counts, and for equal counts ascending positions.
    keys = [(count << 32) | (U32_MAX - final[position]) for position, count in counts.items()]
    keys.sort(reverse=True)
    ids = [U32_MAX - (key & U32_MAX) for key in keys]
    sums = [key >> 32 for key in keys]
    if sums[0] > U32_MAX:
        sums = [min(count, U32_MAX) for count in sums]
    return (min(total, U32_MAX), ids, sums)


def integer_text(text: str) -> int | None:
    """An integer written as text, as the builder reads counts and video
    identifiers: what Python's int() reads in ASCII text without "_" (ASCII
    whitespace around, a sign, ASCII digits); None for anything else."""
    if not text.isascii() or "_" in text:
        return None
    try:
        return int(text)
    except ValueError:
        return None


def video_id(text: str) -> uuid.UUID | int:
    """The identifier that `fuzzy_match_video` spelt as `text`.

    A UUID index reports hyphenated lowercase hex, an int index decimal.
    """
    if len(text) == 36 and text[8:9] == "-":
        return uuid.UUID(text)
    return int(text)
