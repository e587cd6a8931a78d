"""Warming an index before it serves: what queries derive on first use,
derived before the first query.

An index loaded from a file of version 1 (or of version 2 without them)
derives its search aids on the first query that needs each: the tree check
and per-child entries, the reversed trie of the forward-backward search,
the subtree bounds of completion (0.6 to 1 s at a million terms, see
docs/search.md). `warm` asks one small query of each kind that needs them,
so that a worker reports ready (`/ready`), and a reload swaps in a new
index, only once they are there; on a file that stores them the same
queries only touch the pages they read. Each index is warmed once.

An index read in place from a mapping (a worker's view of the supervisor's
sealed copy) is ready at once, but each page of it faults the first time a
query reads it: a first query 3 to 4 times a warm one. `warm` first maps
the pages of the arrays queries read into the process's page tables (in
native code, the lock released: `NativeIndex.populate_walked`; 4 to 5 ms
at 400,000 terms on a quiet machine), so that the first query costs 1.6 to
1.7 times a warm one (bench/warm_start.py). The pages are the shared copy's: the workers
together take no more memory, though each worker's PSS counts its share
of them from the start rather than as its queries reach them.
"""

from __future__ import annotations

import logging
import time
import weakref
from collections.abc import Callable
from typing import TypeVar

from ..index import Index

__all__ = ["is_warm", "warm", "warm_seconds", "warming"]

log = logging.getLogger("tessarin.server")

T = TypeVar("T")

#: Indexes warmed (an index never changes, so once is enough), with the
#: seconds it took.
_warmed: weakref.WeakKeyDictionary[Index, float] = weakref.WeakKeyDictionary()

#: Longer than twice the distance, so that the search takes its
#: forward-backward path, which needs the reversed trie as well.
_QUERY = "warm up"


def warm(index: T, *, populate: bool = True) -> T:
    """Derives what the queries of `index` need, once, after mapping the
    pages its walk reads (unless not `populate`); returns `index` (anything
    but an `Index` as it is)."""
    if not isinstance(index, Index) or index in _warmed:
        return index
    started = time.perf_counter()
    if populate:
        covered, way = index._native.populate_walked()
        log.debug("%.1f MB of the walk's arrays mapped (%s)", covered / 1e6, way)
    index.complete(_QUERY[:1], 1, 1)  # the tree's aids and the subtree bounds
    index.suggest(_QUERY, 1, 1)  # the reversed trie
    index.search(_QUERY, 1, 1)
    _warmed[index] = time.perf_counter() - started
    log.debug("index warmed in %.1f ms", _warmed[index] * 1000)
    return index


def is_warm(index: object) -> bool:
    """Whether `warm` has run on `index`."""
    try:
        return index in _warmed
    except TypeError:  # not an index at all
        return False


def warm_seconds(index: object) -> float:
    """The seconds `warm` took on `index` (0 if it did not run)."""
    return _warmed.get(index, 0.0) if isinstance(index, Index) else 0.0


def warming(load: Callable[[str], Index]) -> Callable[[str], Index]:
    """`load`, then `warm` what it loaded."""

    def load_warm(path: str) -> Index:
        return warm(load(path))

    return load_warm
