"""Typing stubs for tessarin._native, the package's own extension.

`tessarin.Index` is the public face; this module is its engine. Queries
release the interpreter lock while they walk the index.
"""

from collections.abc import Sequence
from typing import final

from typing_extensions import Buffer

__version__: str

def set_corrupt_index_error(cls: type[Exception]) -> None:
    """Sets the exception raised for a damaged index (at load, or when a query
    meets arrays that contradict each other)."""

@final
class NativeIndex:
    """An immutable index, shared by every thread that queries it."""

    @staticmethod
    def from_saved(data: Buffer) -> NativeIndex:
        """Decodes a saved form (any contiguous buffer), checking every array
        bound; raises the corrupt-index error if it does not decode or does
        not hold together."""
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
        closest first, then most searched, then by term; cut to limit."""
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
        """A node's top videos with their counts, highest first."""
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
