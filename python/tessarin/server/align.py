"""Where a matched term differs from what was typed.

`segments(typed, term)` splits `term` into runs that the user typed as they
are and runs that correct the typed text, from a Levenshtein alignment of
the two: the page marks the corrections, and any client of the JSON API can.
`completion_segments(typed, term)` does the same for a term that completes
the typed text: the typed text is aligned with the term's prefix closest to
it, and the rest of the term is one "complete" run.

The alignment is the classic dynamic programme (Wagner and Fischer, 1974)
with its usual traceback. Two things keep it cheap for a search box:

* a common prefix and a common suffix are always part of some optimal
  alignment, so they are cut off first and only the middle is aligned (for
  a typo, a few characters);
* cells further than `bound` from the diagonal cannot lie on an alignment of
  cost at most `bound` (each step off the diagonal costs one edit), so only
  the band |i - j| <= bound is filled (Ukkonen, 1985). Callers pass the
  distance the index reported.
"""

from __future__ import annotations

from typing import Literal, NamedTuple

__all__ = ["Segment", "completion_segments", "segments"]

#: keep: typed as in the term; replace: the term's characters in place of
#: typed ones (given in `typed`); insert: the term's characters, not typed;
#: delete: typed characters that the term does not have (in `text`);
#: complete: the rest of a term that completes the typed text.
Op = Literal["keep", "replace", "insert", "delete", "complete"]


class Segment(NamedTuple):
    text: str
    op: Op
    #: For "replace": the typed characters that `text` replaces.
    typed: str = ""

    def to_json(self) -> dict[str, str]:
        out = {"text": self.text, "op": self.op}
        if self.op == "replace":
            out["typed"] = self.typed
        return out


def segments(typed: str, term: str, bound: int | None = None) -> list[Segment]:
    """`term` as runs kept from `typed` and runs that correct it.

    `bound`, if given, must be at least the edit distance between the two
    (the band is widened to their difference in length if that is larger).
    """
    if typed == term:  # an exact match: no alignment needed
        return [Segment(term, "keep")] if term else []
    start = _common_prefix(typed, term)
    end = 0
    shortest = min(len(typed), len(term))
    while end < shortest - start and typed[-1 - end] == term[-1 - end]:
        end += 1
    a = typed[start : len(typed) - end]
    b = term[start : len(term) - end]
    ops, _ = _align(a, b, bound)
    return _runs(term[:start], a, b, ops, term[len(term) - end :])


def completion_segments(
    typed: str, term: str, bound: int, transpositions: bool = False
) -> list[Segment]:
    """`term` as runs kept from `typed`, runs that correct it and, last, the
    run that completes it. The typed text is aligned with the prefix of the
    term nearest to it; of prefixes equally near, the one whose length is
    nearest to the typed text's, then the longest ("cax" is "cak" of "cake"
    with a letter replaced, not "ca" with one added).

    `bound` must be at least the least distance between `typed` and a
    prefix of `term` (the distance a completion reports; with
    `transpositions`, a swap counts one edit there and two here, and the
    band is widened for it)."""
    if term.startswith(typed):  # typed as it is: most completions
        runs = [Segment(typed, "keep")] if typed else []
        used = len(typed)
    else:
        band = 2 * bound if transpositions else bound
        start = _common_prefix(typed, term)
        a, b = typed[start:], term[start:]
        ops, length = _align(a, b, band, prefix=True)
        runs = _runs(term[:start], a, b, ops, "")
        used = start + length
    if used < len(term):
        runs.append(Segment(term[used:], "complete"))
    return runs


def _common_prefix(a: str, b: str) -> int:
    start = 0
    shortest = min(len(a), len(b))
    while start < shortest and a[start] == b[start]:
        start += 1
    return start


def _runs(head: str, a: str, b: str, ops: list[Op], tail: str) -> list[Segment]:
    """The runs of `ops` (turning `a` into a prefix of `b`), between a
    `head` and a `tail` that were typed as they are."""
    runs: list[Segment] = []
    if head:
        runs.append(Segment(head, "keep"))
    i = j = 0
    for op in ops:
        if op == "keep":
            piece, typed_piece = b[j], ""
            i, j = i + 1, j + 1
        elif op == "replace":
            piece, typed_piece = b[j], a[i]
            i, j = i + 1, j + 1
        elif op == "insert":
            piece, typed_piece = b[j], ""
            j += 1
        else:
            piece, typed_piece = a[i], ""
            i += 1
        if runs and runs[-1].op == op:
            last = runs[-1]
            runs[-1] = Segment(last.text + piece, op, last.typed + typed_piece)
        else:
            runs.append(Segment(piece, op, typed_piece))
    if tail:
        if runs and runs[-1].op == "keep":
            runs[-1] = Segment(runs[-1].text + tail, "keep")
        else:
            runs.append(Segment(tail, "keep"))
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
