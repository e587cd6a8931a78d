"""Synthetic term lists, and terms laid out as the flat arrays of a trie.

trie_arrays() lays terms out with the package's own tessarin.IndexBuilder,
as an indexing pipeline does: nodes numbered breadth-first so that every
child has a greater index than its parent, one label per node, a payload
for every node that ends a term.
"""

from __future__ import annotations

import random
import string

from bench.data import video_records
from tessarin import IndexBuilder


def random_terms(n: int, seed: int = 0, alphabet: str = string.ascii_lowercase):
    """n distinct pseudo-words with Zipf-like counts, deterministic per seed."""
    rng = random.Random(seed)
    terms: dict[str, int] = {}
    while len(terms) < n:
        length = max(2, min(16, int(rng.gauss(8, 3))))
        word = "".join(rng.choice(alphabet) for _ in range(length))
        terms.setdefault(word, int(1_000_000 / (len(terms) + 1)) + 1)
    return list(terms.items())


def trie_arrays(terms_with_counts, video_top_n: int = 10, seed: int = 0):
    """The six arguments of PrefixSearch.from_internal_data_v2 for the terms.

    Each term gets one to three videos that share its count, drawn
    deterministically per seed (bench.data.video_records), and
    IndexBuilder lays out the records.
    """
    builder = IndexBuilder()
    builder.add_many(video_records(terms_with_counts, seed))
    return tuple(builder.arrays(video_top_n))
