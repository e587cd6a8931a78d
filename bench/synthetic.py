"""Synthetic and real term lists laid out as the flat arrays of a trie.

trie_arrays() lays terms out the way an indexing pipeline does: nodes
numbered breadth-first so that every child has a greater index than its
parent, one label per node, a payload for every node that ends a term.
"""

from __future__ import annotations

import random
import string


def random_terms(n: int, seed: int = 0, alphabet: str = string.ascii_lowercase):
    """n distinct pseudo-words with Zipf-like counts, deterministic per seed."""
    rng = random.Random(seed)
    terms: dict[str, int] = {}
    while len(terms) < n:
        length = max(2, min(16, int(rng.gauss(8, 3))))
        word = "".join(rng.choice(alphabet) for _ in range(length))
        terms.setdefault(word, int(1_000_000 / (len(terms) + 1)) + 1)
    return list(terms.items())


def trie_arrays(terms_with_counts, video_top_n: int = 10, videos_per_term: int = 3, seed: int = 0):
    """The six arguments of PrefixSearch.from_internal_data_v2 for the terms.

    Each term gets up to `videos_per_term` videos, drawn deterministically
    from a table of int32 identifiers, with counts that share its count.
    """
    rng = random.Random(seed)
    root: dict = {}
    # Insert; the key None holds the count of the term ending at a node.
    for term, count in terms_with_counts:
        node = root
        for ch in term:
            node = node.setdefault(ch, {})
        node[None] = count
    # Breadth-first numbering.
    labels = [""]
    order = [root]
    i = 0
    while i < len(order):
        node = order[i]
        for ch, child in node.items():
            if ch is None:
                continue
            labels.append(ch)
            order.append(child)
        i += 1
    index_of = {id(node): k for k, node in enumerate(order)}
    node_shifts, transitions, payloads = [], [], []
    n_videos = max(1, len(terms_with_counts) // 4)
    for node in order:
        node_shifts.append(len(transitions))
        for ch, child in node.items():
            if ch is not None:
                transitions.append(index_of[id(child)])
        if None in node:
            count = node[None]
            k = rng.randint(1, videos_per_term)
            ids = [rng.randrange(n_videos) for _ in range(k)]
            share = [max(1, count // (j + 2)) for j in range(k)]
            payloads.append((count, ids, share))
        else:
            payloads.append(None)
    video_index = [v.to_bytes(4, "little") for v in range(n_videos)]
    return node_shifts, labels, payloads, transitions, video_index, video_top_n
