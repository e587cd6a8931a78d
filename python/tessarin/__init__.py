"""Typo-tolerant search-as-you-type over search terms.

`Index` is the place to start: build one from (term, video, count) records,
save it, load it in every serving process and ask it to `complete` what is
being typed, for `suggest`ions and for `search` results. `PrefixSearch` is
the extension type underneath, with the behaviour and saved form that
existing callers rely on.
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable

from _tessarin import PrefixSearch

from ._version import __version__
from .building.index_builder import IndexBuilder, build_index
from .building.records import DEFAULT_VIDEO_TOP_N, TrieArrays, video_id
from .catalog import Catalog, CatalogError, Filter
from .errors import (
    ArrowStreamError,
    CorruptIndexError,
    IndexFormatError,
    NotAnIndexError,
    RecordError,
    TessarinError,
)
from .explain import Contribution, ExplainedMatch
from .index import (
    Completion,
    Index,
    NodeMatch,
    PooledNode,
    Suggestion,
    UncheckedIndexWarning,
    VideoMatch,
)
from .storage.container import Metadata

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "ArrowStreamError",
    "Catalog",
    "CatalogError",
    "Completion",
    "Contribution",
    "CorruptIndexError",
    "ExplainedMatch",
    "Filter",
    "Index",
    "IndexBuilder",
    "IndexFormatError",
    "Metadata",
    "NodeMatch",
    "NotAnIndexError",
    "PooledNode",
    "PrefixSearch",
    "RecordError",
    "Suggestion",
    "TessarinError",
    "TrieArrays",
    "UncheckedIndexWarning",
    "VideoMatch",
    "__version__",
    "build_index",
    "video_id",
]


def _restore_prefix_search(data: bytes) -> PrefixSearch:
    """Unpickles a PrefixSearch from its saved form."""
    return PrefixSearch.from_bytes(data)


def _reduce_prefix_search(
    index: PrefixSearch,
) -> tuple[Callable[[bytes], PrefixSearch], tuple[bytes]]:
    return (_restore_prefix_search, (index.to_bytes(),))


# PrefixSearch pickles, copies and travels to multiprocessing workers by its
# saved form once the package is imported; the extension type stays as it is.
copyreg.pickle(PrefixSearch, _reduce_prefix_search)
