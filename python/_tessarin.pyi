"""Typing stubs for the extension module _tessarin."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["PrefixSearch"]

# (total_count, video_ids, video_counts): positions in the video table and
# their counts, two sequences of the same length.
_Payload = tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]
# A video identifier: 16 bytes (UUID) or 4 bytes (unsigned little-endian).
_VideoEntry = bytes | bytearray | Sequence[SupportsIndex]

@final
class PrefixSearch:
    """An immutable typo-tolerant prefix index; no constructor."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[_Payload | None],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[_VideoEntry],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch: ...
    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]: ...
    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: SupportsFloat | None = None,
    ) -> list[tuple[str, float]]: ...
