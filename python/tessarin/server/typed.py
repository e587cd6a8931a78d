"""What the user typed, normalised as the index normalises queries, with
each normalised character traced back to the characters it came from.

The index matches `normalize(raw)`, not `raw`: "  MÚSICA " may be an exact
match of "música". So the marks of a correction (`tessarin.server.align`)
are worked out on the normalised text, and each mark then names the typed
characters behind it: `Typed.spans[k]` is the slice of `raw` that the k-th
normalised character comes from. Characters that normalisation drops
(spaces around the text, the extra spaces of a run) belong to no span and
are never marked.

Each step of a normalisation (`tessarin.normalization.STEPS`) maps pieces
of text, and the spans follow the pieces:

* ``casefold`` folds each character on its own (Python's full case folding
  has no context): "ß" gives "ss", both characters with the span of "ß";
* ``spaces`` drops white space at both ends and makes each run one space,
  whose span is the run;
* any other step (``nfkc``: composition joins a letter and the accents after
  it) is applied to the shortest groups it maps independently, found by
  trying each boundary: a boundary at j of a text t (from b) holds when
  f(t[b:j]) + f(t[j:]) == f(t[b:]), so the groups' images joined are f(t)
  by induction; each character of a group's image gets the group's span.
  That costs O(n^2) for a text of n characters (queries are short), and
  nothing when the text is already normalised by that step.

An ASCII text that normalisation leaves as long as it was (most queries)
is not traced piece by piece: each of its characters comes from the one
typed in its place.
"""

from __future__ import annotations

import functools
import unicodedata
from collections.abc import Callable, Sequence
from typing import NamedTuple

from ..normalization import STEPS, normalizer, steps_of

__all__ = ["Typed", "typed_text"]

Span = tuple[int, int]
#: Characters, each with the span of the typed text it comes from.
_Pieces = list[tuple[str, Span]]


class Typed(NamedTuple):
    """`text` (normalised) and, for each of its characters, the span of
    `raw` it comes from; spans never go backwards."""

    raw: str
    text: str
    spans: Sequence[Span]

    def span(self, start: int, end: int) -> Span:
        """The span of `raw` behind text[start:end] (empty, at the place it
        would be, when start == end)."""
        if start < end:  # spans never go backwards: the last one ends last
            return self.spans[start][0], self.spans[end - 1][1]
        if start < len(self.spans):
            at = self.spans[start][0]
        else:
            at = self.spans[-1][1] if self.spans else len(self.raw)
        return at, at

    def tail(self, start: int) -> Typed:
        """text[start:] with its spans (still in `raw`)."""
        return Typed(self.raw, self.text[start:], self.spans[start:])


def plain(text: str) -> Typed:
    """`text` as typed, normalised by nothing."""
    return Typed(text, text, [(i, i + 1) for i in range(len(text))])


def typed_text(raw: str, normalization: str | None) -> Typed:
    """`raw` normalised by `normalization` (a name as an index's metadata
    holds it; None for none), with the spans of its characters."""
    if not normalization:
        return plain(raw)
    if raw.isascii():
        # Each step maps an ASCII character to one character, but for the
        # white space that `spaces` drops: when nothing was dropped, each
        # character comes from the one typed in its place.
        text = _normalizer(normalization)(raw)
        if len(text) == len(raw):
            return Typed(raw, text, [(i, i + 1) for i in range(len(raw))])
    return _traced(raw, normalization)


def _traced(raw: str, normalization: str) -> Typed:
    """`typed_text(raw, normalization)`, piece by piece."""
    pieces: _Pieces = [(c, (i, i + 1)) for i, c in enumerate(raw)]
    for step in steps_of(normalization):
        pieces = _MAPPED.get(step, _grouped(STEPS[step]))(pieces)
    return Typed(raw, "".join(c for c, _ in pieces), [s for _, s in pieces])


def _casefold(pieces: _Pieces) -> _Pieces:
    return [(folded, span) for c, span in pieces for folded in c.casefold()]


def _spaces(pieces: _Pieces) -> _Pieces:
    out: _Pieces = []
    run: Span | None = None  # the run of white space after the last word
    for c, span in pieces:
        if c.isspace():
            run = span if run is None else (run[0], max(run[1], span[1]))
            continue
        if run is not None and out:
            out.append((" ", run))
        run = None
        out.append((c, span))
    return out


def _nfkc(pieces: _Pieces) -> _Pieces:
    text = "".join(c for c, _ in pieces)
    if unicodedata.is_normalized("NFKC", text):
        return pieces
    return _grouped(STEPS["nfkc"])(pieces)


def _grouped(step: Callable[[str], str]) -> Callable[[_Pieces], _Pieces]:
    def apply(pieces: _Pieces) -> _Pieces:
        text = "".join(c for c, _ in pieces)
        out: _Pieces = []
        begin = 0
        rest = step(text)  # the image of text[begin:]
        for j in range(1, len(text) + 1):
            head = step(text[begin:j])
            after = step(text[j:])
            if head + after != rest:
                continue
            first, last = pieces[begin][1][0], max(s[1] for _, s in pieces[begin:j])
            out.extend((c, (first, last)) for c in head)
            begin, rest = j, after
        return out

    return apply


#: The function of each normalisation's name (an index has one).
_normalizer = functools.lru_cache(maxsize=16)(normalizer)

#: The steps traced character by character (any other is `_grouped`).
_MAPPED: dict[str, Callable[[_Pieces], _Pieces]] = {
    "casefold": _casefold,
    "spaces": _spaces,
    "nfkc": _nfkc,
}
