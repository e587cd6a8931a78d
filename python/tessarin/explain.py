"""Why a video scored what it did: the share each pooled term or prefix
lent it.

A search pools the videos of the trie nodes that match the query, each with
a weight (1 for the exact term, less with each edit, less again for a
prefix), and scores a video by its weighted share of the pooled counts:

    score(v) = sum over pooled nodes of  weight * count of v in the node
               ---------------------------------------------------------
               sum over pooled nodes of  weight * the node's total count

so the score is a sum of one term per node, and `explain` gives those terms:
re-scoring the pooled nodes (`Index.pooled_nodes`, with their weights) with
the videos each keeps (`Index.node_videos`) and their totals
(`Index.match_nodes`), in the order the engine adds them, so the shares add
up to the engine's score (to the last bits of a float's rounding).

Cost: two walks and the payloads of every pooled node, much more than a
search: an option for a person asking why, not for every request.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from ._native import NativeIndex

__all__ = ["Contribution", "ExplainedMatch", "explain"]


class Contribution(NamedTuple):
    """What one pooled term or prefix lent a video's score."""

    #: The node's term: the characters from the root down to it.
    term: str
    distance: int
    #: Whether a searched term ends here (else a prefix of longer ones).
    is_terminal: bool
    #: The node's weight in the scores.
    weight: float
    #: The video's count in the node (for a prefix, in the terms below it).
    #: (Shadows tuple.count.)
    count: int  # type: ignore[assignment]
    #: This node's part of the score: weight * count / the pool's total.
    share: float


class ExplainedMatch(NamedTuple):
    """A video, its score, and the shares that make it up, largest first."""

    video: str
    score: float
    contributions: list[Contribution]


def explain(
    native: NativeIndex,
    query: str,
    max_dist: int,
    prefix: bool | None,
    transpositions: bool,
    found: Sequence[tuple[str, float]],
) -> list[ExplainedMatch]:
    """`found` (videos and scores a search gave for these arguments, the
    query normalised) with the contributions of the nodes it pooled."""
    if not found:
        return []
    pooled = {p[0]: p for p in native.pooled_nodes(query, max_dist, None, prefix, transpositions)}
    contributions: dict[str, list[Contribution]] = {video: [] for video, _ in found}
    grand_total = 0.0
    lent: list[tuple[tuple[int, str, int, bool, int, float], list[tuple[str, int]]]] = []
    # The nodes in the walk's order, as the engine adds them up.
    for node, _, _, _, total_count in native.match_nodes(query, max_dist, False, transpositions):
        entry = pooled.get(node)
        if entry is None:
            continue
        weight = entry[5]
        grand_total = total_count * weight + grand_total
        lent.append((entry, native.node_videos(node)))
    if grand_total <= 0.0:
        return [ExplainedMatch(video, score, []) for video, score in found]
    for entry, videos in lent:
        _, term, distance, terminal, _, weight = entry
        for video, count in videos:
            shares = contributions.get(video)
            if shares is not None:
                shares.append(
                    Contribution(
                        term, distance, terminal, weight, count, count * weight / grand_total
                    )
                )
    return [
        ExplainedMatch(video, score, sorted(contributions[video], key=lambda c: -c.share))
        for video, score in found
    ]
