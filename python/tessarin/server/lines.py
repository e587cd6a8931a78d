"""What /complete offers for a line being typed into a search box.

`complete_line` tries the whole line first, as the index's terms may hold
several words ("chocolate cake"). When nothing completes it and the line
holds more than one word, it completes the last word alone (the one being
typed) and offers each completion as the whole line: the words before it
as typed (normalised as the index normalises terms), then the completed
word. A line that ends in a space has no word being typed: only the whole
line is tried.

"auto" is resolved here, on the text being completed (after normalisation,
as `Index.complete` measures it), so that a server whose `max_dist` bound
lies below auto's never walks further than it allows.
"""

from __future__ import annotations

import re
from typing import NamedTuple

from .. import defaults
from ..index import Index
from .align import Segment, completion_segments
from .typed import Typed, typed_text

__all__ = ["Line", "complete_line"]

#: The words before the last (with the spaces after them), and the last.
_LAST_WORD = re.compile(r"(.*\s)(\S+)", re.DOTALL)


class Line(NamedTuple):
    """A completion of a line: the line it offers (`text`), the indexed
    term that completes it, the term's distance from what it completes and
    its searches, and the line as runs kept, corrected and completed."""

    text: str
    term: str
    distance: int
    #: Searches of the term. (Shadows tuple.count, as in tessarin.Suggestion.)
    count: int  # type: ignore[assignment]
    segments: list[Segment]


def complete_line(
    index: Index,
    query: str,
    max_dist: int | str,
    limit: int,
    *,
    exact_prefix: int = 0,
    transpositions: bool = False,
    cap: int = defaults.MAX_DIST_CAP,
) -> tuple[str, list[Line]]:
    """(what was completed: the normalised line or its last word, the lines
    offered), at most `limit`, in the index's order: closest first, then
    the most searched. `max_dist` is an int or "auto", at most `cap`."""
    typed = typed_text(query, index.metadata.normalization)
    if not typed.text.strip():
        return typed.text, []

    def complete(text: str, matched: str) -> list[tuple[str, int, int]]:
        # `matched`: `text` as the index matches it.
        bound = min(defaults.auto_max_dist(matched), cap) if max_dist == defaults.AUTO else max_dist
        return [
            (c.term, c.distance, c.count)
            for c in index.complete(
                text, bound, limit, exact_prefix=exact_prefix, transpositions=transpositions
            )
        ]

    found = complete(query, typed.text)
    head, word = "", typed
    if not found and (last := _LAST_WORD.fullmatch(typed.text)):
        head, word = last[1], typed.tail(len(last[1]))
        found = complete(word.text, word.text)
    return word.text, [
        Line(
            head + term,
            term,
            d,
            count,
            _after(head, typed, completion_segments(word, term, d, transpositions)),
        )
        for term, d, count in found
    ]


def _after(head: str, typed: Typed, runs: list[Segment]) -> list[Segment]:
    """`runs` after the words kept before them (typed.text's first
    characters)."""
    if not head:
        return runs
    span = typed.span(0, len(head))
    if runs and runs[0].op == "keep":
        return [Segment(head + runs[0].text, "keep", span=(span[0], runs[0].span[1])), *runs[1:]]
    return [Segment(head, "keep", span=span), *runs]
