"""Typo-tolerant search-as-you-type over search terms."""

from _tessarin import PrefixSearch

from .builder import DEFAULT_VIDEO_TOP_N, IndexBuilder, TrieArrays, build_index, video_id

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "IndexBuilder",
    "PrefixSearch",
    "TrieArrays",
    "build_index",
    "video_id",
]
