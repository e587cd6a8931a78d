"""Typing stubs for tessarin._native, the package's own extension.

`tessarin.Index` is the public face; this module is its engine. Queries
release the interpreter lock while they walk the index; the `*_many`
methods spread a batch over `threads` threads inside the engine.

`transpositions=True` measures distances as optimal string alignment: a
swap of two neighbouring characters is one edit, like an insertion,
deletion or substitution (no substring is edited twice).
"""

from collections.abc import Sequence
from typing import final

from typing_extensions import Buffer

__version__: str

def set_corrupt_index_error(cls: type[Exception]) -> None:
    """Sets the exception raised for a damaged index (at load, or when a query
    meets arrays that contradict each other); ValueError until it is set."""

@final
class NativeIndex:
    """An immutable index, shared by every thread that queries it."""

    @staticmethod
    def from_saved(data: Buffer) -> NativeIndex:
        """Decodes a saved form (any contiguous buffer, read in place, without
        the interpreter lock); raises the corrupt-index error if it does not
        decode, has bytes after its end, or does not hold together: arrays of
        one entry per node, child entries that name nodes and form a tree
        below the root, payloads with as many counts as videos. A loaded
        index therefore never fails a query."""
    def to_saved(self) -> bytes:
        """The saved form, byte for byte what PrefixSearch.to_bytes writes."""
    @property
    def node_count(self) -> int: ...
    @property
    def term_count(self) -> int: ...
    @property
    def video_count(self) -> int: ...
    @property
    def id_mode(self) -> str:
        """ "uuid" or "int"."""
    @property
    def memory_bytes(self) -> int:
        """Bytes of memory that the index's arrays take."""
    def suggest(
        self, term: str, max_dist: int, limit: int | None, transpositions: bool
    ) -> list[tuple[str, int, int]]:
        """(term, distance, count) of the indexed terms within max_dist,
        closest first, then most searched, then by term (code points); cut
        to limit. count is the term's own count: its node's total less its
        children's totals (at least 0), or the total itself when that is
        saturated at 4294967295."""
    def search(
        self,
        term: str,
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        min_score: float | None,
        transpositions: bool,
    ) -> list[tuple[str, float]]:
        """(video, score), best first: the scores of fuzzy_match_video."""
    def match_nodes(
        self, term: str, max_dist: int, terminal_only: bool, transpositions: bool
    ) -> list[tuple[int, str, int, bool, int]]:
        """(node, term, distance, is_terminal, total_count) of every node
        within max_dist, in trie preorder."""
    def node_videos(self, node: int) -> list[tuple[str, int]]:
        """A node's top videos with their counts, highest first (equal counts
        in stored order), named as search names them; positions outside the
        video table are left out. ValueError for a node out of range."""
    def suggest_many(
        self,
        terms: Sequence[str],
        max_dist: int,
        limit: int | None,
        transpositions: bool,
        threads: int,
    ) -> list[list[tuple[str, int, int]]]: ...
    def search_many(
        self,
        terms: Sequence[str],
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        min_score: float | None,
        transpositions: bool,
        threads: int,
    ) -> list[list[tuple[str, float]]]: ...
