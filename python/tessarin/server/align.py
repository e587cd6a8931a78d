"""Where a matched term differs from what was typed.

`segments(typed, term)` splits `term` into runs that the user typed as they
are and runs that correct the typed text, from a Levenshtein alignment of
the two: the page marks the corrections, and any client of the JSON API can.
`marks(typed, term)` gives the same runs as the JSON API encodes them.
`completion_segments(typed, term)` does the same for a term that completes
the typed text: the typed text is aligned with the term's prefix closest to
it, and the rest of the term is one "complete" run.

All align the typed text as the index normalised it (`typed_text`), so a
difference that normalisation removes (case, spaces, compatibility forms)
is never marked, and each run names the slice of the raw typed text behind
it (`Segment.span`): a replaced or deleted run shows the characters as they
were typed.

The alignment is the classic dynamic programme (Wagner and Fischer, 1974)
with its usual traceback. Three things keep it cheap for a search box,
where the server marks every term it answers with:

* a common prefix and a common suffix are always part of some optimal
  alignment, so they are cut off first and only the middle is aligned (for
  a typo, a few characters);
* a middle with nothing on one side, or one character on each, has one
  alignment (the characters inserted, deleted, or one replaced: the two
  differ, or the prefix would be longer), which is written down without
  the programme: every term within one edit;
* cells further than `bound` from the diagonal cannot lie on an alignment of
  cost at most `bound` (each step off the diagonal costs one edit), so only
  the band |i - j| <= bound is filled (Ukkonen, 1985). Callers pass the
  distance the index reported.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Literal, NamedTuple

from .typed import Span, Typed, plain

__all__ = ["Segment", "completion_segments", "marks", "segments"]

#: keep: typed as in the term; replace: the term's characters in place of
#: typed ones (given in `typed`); insert: the term's characters, not typed;
#: delete: typed characters that the term does not have (in `text`);
#: complete: the rest of a term that completes the typed text.
Op = Literal["keep", "replace", "insert", "delete", "complete"]

#: A run: its op, its start and end in the typed text (normalised), its
#: start and end in the term.
_Step = tuple[Op, int, int, int, int]


class Segment(NamedTuple):
    text: str
    op: Op
    #: For "replace": the typed characters that `text` replaces.
    typed: str = ""
    #: The slice of the raw typed text behind the run (empty for "insert"
    #: and "complete": where the term's characters go).
    span: tuple[int, int] = (0, 0)

    def to_json(self) -> dict[str, str]:
        out = {"text": self.text, "op": self.op}
        if self.op == "replace":
            out["typed"] = self.typed
        return out


def segments(typed: str | Typed, term: str, bound: int | None = None) -> list[Segment]:
    """`term` as runs kept from `typed` and runs that correct it.

    `typed` is the raw text, or the text as the index normalised it
    (`typed_text`): the alignment is of the normalised text, and the typed
    characters a run replaces or deletes are the raw ones behind it.
    `bound`, if given, must be at least the edit distance between the two
    (the band is widened to their difference in length if that is larger).
    """
    typed = typed if isinstance(typed, Typed) else plain(typed)
    return _segments(typed, term, _steps(typed.text, term, bound))


def marks(typed: Typed, term: str, bound: int | None = None) -> list[dict[str, str]]:
    """`[s.to_json() for s in segments(typed, term, bound)]`, without the
    segments in between: what an answer of the JSON API carries."""
    # It runs for every term the server answers with: a typo's runs (a
    # middle with one alignment, as in `_steps`) are written down here.
    raw, text, spans = typed
    if text == term:
        return [{"text": term, "op": "keep"}] if term else []
    n, m = len(text), len(term)
    shortest = n if n < m else m
    start = 0
    while start < shortest and text[start] == term[start]:
        start += 1
    end = 0
    shortest -= start
    while end < shortest and text[n - 1 - end] == term[m - 1 - end]:
        end += 1
    i1, j1 = n - end, m - end
    if start == i1:
        out = [{"text": term[:start], "op": "keep"}] if start else []
        out.append({"text": term[start:j1], "op": "insert"})
    elif start == j1:
        out = [{"text": term[:start], "op": "keep"}] if start else []
        out.append({"text": raw[spans[start][0] : spans[i1 - 1][1]], "op": "delete"})
    elif i1 - start == 1 and j1 - start == 1:
        out = [{"text": term[:start], "op": "keep"}] if start else []
        behind = raw[spans[start][0] : spans[start][1]]
        out.append({"text": term[start], "op": "replace", "typed": behind})
    else:
        return _marks(raw, spans, term, _steps(text, term, bound))
    if end:
        out.append({"text": term[j1:], "op": "keep"})
    return out


def _marks(raw: str, spans: Sequence[Span], term: str, steps: list[_Step]) -> list[dict[str, str]]:
    out = []
    for op, i0, i1, j0, j1 in steps:
        if op == "keep" or op == "insert":
            out.append({"text": term[j0:j1], "op": op})
        else:  # i0 < i1: the raw characters behind text[i0:i1]
            behind = raw[spans[i0][0] : spans[i1 - 1][1]]
            if op == "delete":
                out.append({"text": behind, "op": op})
            else:
                out.append({"text": term[j0:j1], "op": op, "typed": behind})
    return out


def completion_segments(
    typed: str | Typed, term: str, bound: int, transpositions: bool = False
) -> list[Segment]:
    """`term` as runs kept from `typed` (raw or normalised, as for
    `segments`), runs that correct it and, last, the run that completes it.
    The typed text is aligned with the prefix of the term nearest to it; of
    prefixes equally near, the one whose length is nearest to the typed
    text's, then the longest ("cax" is "cak" of "cake" with a letter
    replaced, not "ca" with one added).

    `bound` must be at least the least distance between `typed` and a
    prefix of `term` (the distance a completion reports; with
    `transpositions`, a swap counts one edit there and two here, and the
    band is widened for it)."""
    typed = typed if isinstance(typed, Typed) else plain(typed)
    text = typed.text
    if term.startswith(text):  # typed as it is: most completions
        runs = [Segment(text, "keep", span=typed.span(0, len(text)))] if text else []
        used = len(text)
    else:
        band = 2 * bound if transpositions else bound
        start = _common_prefix(text, term)
        ops, length = _align(text[start:], term[start:], band, prefix=True)
        runs = _segments(typed, term, _gather(ops, start, 0, len(text), len(term)))
        used = start + length
    if used < len(term):
        at = typed.span(len(text), len(text))
        runs.append(Segment(term[used:], "complete", span=at))
    return runs


def _common_prefix(a: str, b: str) -> int:
    start = 0
    shortest = min(len(a), len(b))
    while start < shortest and a[start] == b[start]:
        start += 1
    return start


def _steps(text: str, term: str, bound: int | None) -> list[_Step]:
    """The runs turning `text` into `term`."""
    n, m = len(text), len(term)
    if text == term:  # an exact match: no alignment needed
        return [("keep", 0, n, 0, m)] if m else []
    start = _common_prefix(text, term)
    end = 0
    shortest = min(n, m) - start
    while end < shortest and text[n - 1 - end] == term[m - 1 - end]:
        end += 1
    i1, j1 = n - end, m - end  # the middle: text[start:i1], term[start:j1]
    if start in (i1, j1) or (i1 - start == 1 and j1 - start == 1):
        op: Op = "replace" if start < i1 and start < j1 else "delete" if start < i1 else "insert"
        steps: list[_Step] = [("keep", 0, start, 0, start)] if start else []
        steps.append((op, start, i1, start, j1))
        if end:
            steps.append(("keep", i1, n, j1, m))
        return steps
    ops, _ = _align(text[start:i1], term[start:j1], bound)
    return _gather(ops, start, end, n, m)


def _gather(ops: list[Op], head: int, tail: int, n: int, m: int) -> list[_Step]:
    """The runs of `ops`, which turn text[head:n - tail] into a prefix of
    term[head:m - tail] (of a text of `n` characters and a term of `m`),
    between a `head` and a `tail` kept as they are."""
    steps: list[_Step] = [("keep", 0, head, 0, head)] if head else []
    i = j = head
    for op in ops:
        di, dj = int(op != "insert"), int(op != "delete")
        if steps and steps[-1][0] == op:
            _, i0, _, j0, _ = steps[-1]
            steps[-1] = (op, i0, i + di, j0, j + dj)
        else:
            steps.append((op, i, i + di, j, j + dj))
        i, j = i + di, j + dj
    if tail:
        if steps and steps[-1][0] == "keep":
            _, i, _, j, _ = steps.pop()
        steps.append(("keep", i, n, j, m))
    return steps


def _segments(typed: Typed, term: str, steps: list[_Step]) -> list[Segment]:
    runs = []
    for op, i0, i1, j0, j1 in steps:
        span = typed.span(i0, i1)
        behind = typed.raw[span[0] : span[1]]
        if op == "delete":
            runs.append(Segment(behind, op, span=span))
        else:
            runs.append(Segment(term[j0:j1], op, behind if op == "replace" else "", span))
    return runs


def _align(a: str, b: str, bound: int | None, prefix: bool = False) -> tuple[list[Op], int]:
    """The edits turning `a` into `b`, one per step, in order, and the
    length of `b` they reach: all of it, or with `prefix`, the length of
    its prefix nearest to `a` (as `completion_segments` chooses it)."""
    n, m = len(a), len(b)
    if not n or not m:
        deletions: list[Op] = ["delete"] * n
        insertions: list[Op] = [] if prefix else ["insert"] * m
        return deletions + insertions, len(insertions)
    # No prefix of a shorter b lies within n - m of a: the band holds that.
    band = max(n, m) if bound is None else max(bound, n - m if prefix else abs(n - m))
    far = n + m + 1  # more than any alignment costs
    # cost[i][j]: edits turning a[:i] into b[:j]; cells outside the band stay far.
    cost = [[far] * (m + 1) for _ in range(n + 1)]
    for j in range(min(m, band) + 1):
        cost[0][j] = j
    for i in range(1, n + 1):
        row, above = cost[i], cost[i - 1]
        if i <= band:
            row[0] = i
        typed = a[i - 1]
        for j in range(max(1, i - band), min(m, i + band) + 1):
            best = above[j - 1] + (typed != b[j - 1])
            other = above[j] + 1
            if other < best:
                best = other
            other = row[j - 1] + 1
            if other < best:
                best = other
            row[j] = best
    last = cost[n]
    if prefix:
        m = min(
            range(max(0, n - band), min(m, n + band) + 1), key=lambda j: (last[j], abs(j - n), -j)
        )
    if last[m] > band:  # the bound was too small: align in full
        return _align(a, b, None, prefix)
    # Trace back from the end, preferring the diagonal (kept or replaced
    # characters read better than an insertion next to a deletion).
    ops: list[Op] = []
    i, j = n, m
    while i or j:
        here = cost[i][j]
        if i and j and here == cost[i - 1][j - 1] + (a[i - 1] != b[j - 1]):
            ops.append("keep" if a[i - 1] == b[j - 1] else "replace")
            i, j = i - 1, j - 1
        elif i and here == cost[i - 1][j] + 1:
            ops.append("delete")
            i -= 1
        else:
            ops.append("insert")
            j -= 1
    ops.reverse()
    return ops, m
