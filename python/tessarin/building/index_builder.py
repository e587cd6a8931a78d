"""`IndexBuilder`: records to a `tessarin.Index`.

The records, their checks and the native build are `RecordBuilder`'s (see
`tessarin.building.records`); this class adds the step to an `Index`.
"""

from __future__ import annotations

from collections.abc import Iterable

from _tessarin import PrefixSearch

from .. import arguments
from ..index import Index
from .records import DEFAULT_VIDEO_TOP_N, BuildProgress, RecordBuilder, VideoId

__all__ = ["IndexBuilder", "build_index"]


class IndexBuilder(RecordBuilder):
    """Collects (term, video, count) records and builds an index.

    >>> builder = IndexBuilder()
    >>> builder.add("cat", 7, 3)
    >>> builder.add_many([("cat", 9, 1), ("car", 7, 2)])
    >>> index = builder.build(video_top_n=10)
    >>> index.fuzzy_match_video("cat")[0][0]
    '7'

    Terms are stored exactly as given (no case folding, no trimming), unless
    `normalization` names steps to apply to every term (see
    `tessarin.normalization`: "casefold", "nfkc", "spaces", or several
    joined by "+"); the index records it and applies it to its queries.
    Video identifiers are `uuid.UUID` or 16-byte `bytes` (stored as their 16
    bytes), or integers 0 ... 4294967295 (stored as 4 little-endian bytes);
    one index holds one kind. A bad record raises `RecordError` (a
    `ValueError`, with the refusal's kind, number and value) or, for a value
    of the wrong type, `TypeError`, naming it by its number (counting from 1
    over all records this builder was given) and leaving the builder as it
    was before that record.
    """

    def index(
        self,
        video_top_n: int = DEFAULT_VIDEO_TOP_N,
        *,
        progress: BuildProgress | None = None,
        release: bool = False,
    ) -> Index:
        """The records so far as a `tessarin.Index`; each node keeps
        `video_top_n` videos (1 or more). `progress(step, done, total)` is
        called as the build goes; `release` frees the builder's memory
        before the index is made (the builder is then empty)."""
        top_n = arguments.video_top_n(video_top_n)
        native = self.native_index(top_n, progress=progress, release=release)
        return Index._from_native(
            native,
            video_top_n=top_n,
            normalization=self.normalization,
            build_options=self.build_options(),
        )


def build_index(
    records: Iterable[tuple[str, VideoId, int]], video_top_n: int = DEFAULT_VIDEO_TOP_N
) -> PrefixSearch:
    """The index of (term, video, count) records: see `IndexBuilder`."""
    builder = IndexBuilder()
    builder.add_many(records)
    return builder.build(video_top_n=video_top_n)
