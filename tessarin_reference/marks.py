"""Where a matched term differs from what was typed: the marks that the
server's answers carry, worked out in the plainest way.

`segments(typed, term, bound)` and `completion_segments(typed, term, bound,
transpositions)` take `typed` as anything with ``raw`` (the text typed),
``text`` (as normalised) and ``spans`` (for each character of ``text``, the
slice of ``raw`` it comes from), and give each run as a `Segment`: a
Levenshtein table (Wagner and Fischer) over the middle left once a common
prefix and suffix are cut off, filled whole, traced back preferring the
diagonal, then gathered into runs.
The server's code must give the same runs for every input.
"""

from __future__ import annotations

from typing import Any, NamedTuple


class Segment(NamedTuple):
    text: str
    op: str
    typed: str = ""
    span: tuple[int, int] = (0, 0)

    def to_json(self) -> dict[str, str]:
        out = {"text": self.text, "op": self.op}
        if self.op == "replace":
            out["typed"] = self.typed
        return out


class Plain(NamedTuple):
    """A text typed as it is, normalised by nothing."""

    raw: str
    text: str
    spans: list[tuple[int, int]]


def plain(text: str) -> Plain:
    return Plain(text, text, [(i, i + 1) for i in range(len(text))])


def _span(typed: Any, start: int, end: int) -> tuple[int, int]:
    """The slice of typed.raw behind typed.text[start:end]."""
    if start < end:
        return typed.spans[start][0], typed.spans[end - 1][1]
    if start < len(typed.spans):
        at = typed.spans[start][0]
    else:
        at = typed.spans[-1][1] if typed.spans else len(typed.raw)
    return at, at


def segments(typed: Any, term: str, bound: int | None = None) -> list[Segment]:
    """`term` as runs kept from `typed` and runs that correct it.

    `typed` is the raw text, or the text as the index normalised it
    (`typed_text`): the alignment is of the normalised text, and the typed
    characters a run replaces or deletes are the raw ones behind it.
    `bound`, which the server's code uses to narrow its table, changes
    nothing here.
    """
    typed = plain(typed) if isinstance(typed, str) else typed
    text = typed.text
    if text == term:  # an exact match: no alignment needed
        return [Segment(term, "keep", span=_span(typed, 0, len(text)))] if term else []
    start = _common_prefix(text, term)
    end = 0
    shortest = min(len(text), len(term))
    while end < shortest - start and text[-1 - end] == term[-1 - end]:
        end += 1
    a = text[start : len(text) - end]
    b = term[start : len(term) - end]
    ops, _ = _align(a, b)
    return _runs(typed, term, start, ops, end)


def completion_segments(
    typed: Any, term: str, bound: int, transpositions: bool = False
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
    typed = plain(typed) if isinstance(typed, str) else typed
    text = typed.text
    if term.startswith(text):  # typed as it is: most completions
        runs = [Segment(text, "keep", span=_span(typed, 0, len(text)))] if text else []
        used = len(text)
    else:
        start = _common_prefix(text, term)
        ops, length = _align(text[start:], term[start:], prefix=True)
        runs = _runs(typed, term, start, ops, 0)
        used = start + length
    if used < len(term):
        at = _span(typed, len(text), len(text))
        runs.append(Segment(term[used:], "complete", span=at))
    return runs


def _common_prefix(a: str, b: str) -> int:
    start = 0
    shortest = min(len(a), len(b))
    while start < shortest and a[start] == b[start]:
        start += 1
    return start


def _runs(typed: Any, term: str, head: int, ops: list[str], tail: int) -> list[Segment]:
    """The runs of `ops`, which turn typed.text[head:len - tail] into a
    prefix of term[head:len - tail], between a `head` and a `tail` kept as
    they are."""
    # Each run as (op, its start and end in typed.text, its start and end
    # in term), then as a segment.
    steps: list[tuple[str, int, int, int, int]] = [("keep", 0, head, 0, head)] if head else []
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
        steps.append(("keep", i, len(typed.text), j, len(term)))
    runs = []
    for op, i0, i1, j0, j1 in steps:
        span = _span(typed, i0, i1)
        behind = typed.raw[span[0] : span[1]]
        if op == "delete":
            runs.append(Segment(behind, op, span=span))
        else:
            runs.append(Segment(term[j0:j1], op, behind if op == "replace" else "", span))
    return runs


def _align(a: str, b: str, prefix: bool = False) -> tuple[list[str], int]:
    """The edits turning `a` into `b`, one per step, in order, and the
    length of `b` they reach: all of it, or with `prefix`, the length of
    its prefix nearest to `a` (as `completion_segments` chooses it)."""
    n, m = len(a), len(b)
    # cost[i][j]: edits turning a[:i] into b[:j], the whole table.
    cost = [[i + j if not i or not j else 0 for j in range(m + 1)] for i in range(n + 1)]
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            cost[i][j] = min(
                cost[i - 1][j - 1] + (a[i - 1] != b[j - 1]),
                cost[i - 1][j] + 1,
                cost[i][j - 1] + 1,
            )
    if prefix:
        m = min(range(m + 1), key=lambda j: (cost[n][j], abs(j - n), -j))
    # Trace back from the end, preferring the diagonal (kept or replaced
    # characters read better than an insertion next to a deletion).
    ops: list[str] = []
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
