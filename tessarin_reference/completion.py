"""A brute-force model of fuzzy prefix completion (`Index.complete`).

Slow and obvious on purpose: the tests and the benchmarks compare the engine
against it. The rules it defines:

* A term T *completes* a text q within k when some prefix P of T (the empty
  prefix and T itself included) lies within k edits of q; the term's
  distance is the least such. Edits are Levenshtein's over Unicode
  characters (insert, delete, substitute one character) or, with
  ``transpositions=True``, optimal string alignment (a swap of two
  neighbours is one edit too, no substring edited twice).
* ``exact_prefix=N``: P must begin with the first N characters of q exactly.
  When q has N characters or fewer, that is all of q: only terms that begin
  with q complete it, all at distance 0 (keyvi's ``minimum_exact_prefix``
  behaves the same way). ``exact_prefix=0`` asks nothing.
* ``max_dist="auto"``: 0 for texts of up to 2 characters, 1 for 3 to 5,
  2 from 6 on (`auto_distance`), counted on the text as it is matched, that
  is after the index's normalisation.
* Order: distance ascending, then count descending, then term ascending by
  code points; ``limit`` (None: all) cuts after that order.
* What is matched: the visible terms (`visible_terms`). A trie node with
  label 0 hides its subtree; a term that two nodes spell (siblings with the
  same label) is two entries, each with its own count, as with
  ``Index.suggest``.

Only prefixes of up to len(q) + k characters can lie within k edits of q,
so a term's distance is decided by its first len(q) + k characters (its
*head*): terms with the same head share one table of distances.

Nothing here imports ``tessarin`` or ``_tessarin``.
"""

from __future__ import annotations

import bisect
import itertools
import unicodedata
from collections.abc import Callable, Iterable, Sequence

from tessarin_reference.matching import preorder
from tessarin_reference.model import ModelTrie

U32_MAX = 2**32 - 1
AUTO = "auto"

#: The steps of an index's normalisation, as Python defines them.
NORMALIZATION_STEPS: dict[str, Callable[[str], str]] = {
    "nfkc": lambda text: unicodedata.normalize("NFKC", text),
    "casefold": str.casefold,
    "spaces": lambda text: " ".join(text.split()),
}

Entry = tuple[str, int]  # (term, its own count)
Completion = tuple[str, int, int]  # (term, distance, count)


def auto_distance(text: str) -> int:
    """The bound of max_dist="auto" for a text (already normalised)."""
    n = len(text)
    return 0 if n <= 2 else 1 if n <= 5 else 2


def bound(text: str, max_dist: int | str) -> int:
    return auto_distance(text) if max_dist == AUTO else int(max_dist)


def prefix_distances(
    text: str, term: str, transpositions: bool = False, stop: int | None = None
) -> list[int]:
    """d(text, term[:i]) for i = 0 ... len(term): the last column of one
    edit-distance table, rows along the term, columns along the text.

    With `stop`, the list ends early once every later prefix is sure to lie
    beyond `stop` edits: a cell is never less than the least cell of the row
    above (of the two rows above, with transpositions).
    """
    m = len(text)
    before, row = None, list(range(m + 1))
    out = [row[m]]
    for i, t in enumerate(term, 1):
        cur = [i]
        for j, q in enumerate(text, 1):
            d = min(row[j - 1] + (t != q), row[j] + 1, cur[j - 1] + 1)
            swap = before is not None and j > 1 and t == text[j - 2] and term[i - 2] == q
            if transpositions and swap:
                d = min(d, before[j - 2] + 1)
            cur.append(d)
        if stop is not None and min(cur) > stop and not (transpositions and min(row) <= stop):
            out.append(cur[m])
            break
        before, row = row, cur
        out.append(row[m])
    return out


def prefix_distance(
    text: str,
    term: str,
    *,
    exact_prefix: int = 0,
    transpositions: bool = False,
    stop: int | None = None,
) -> int | None:
    """The least distance between `text` and a prefix of `term` that begins
    with text[:exact_prefix]; None when the term does not begin with it.
    With `stop`, a result above `stop` says only that (see
    `prefix_distances`)."""
    head = text[:exact_prefix]
    if not term.startswith(head):
        return None
    return min(prefix_distances(text, term, transpositions, stop)[len(head) :])


def complete(
    entries: Iterable[Entry],
    text: str,
    max_dist: int | str = 1,
    limit: int | None = 10,
    *,
    exact_prefix: int = 0,
    transpositions: bool = False,
) -> list[Completion]:
    """(term, distance, count) of every entry that completes `text` within
    `max_dist` (an int or "auto"), in the order of the module doc, at most
    `limit`. `text` is matched as given: normalise it first (`normalize`)."""
    k = bound(text, max_dist)
    reach = len(text) + k
    distances: dict[str, int | None] = {}
    found = []
    for term, count in entries:
        head = term[:reach]
        if head not in distances:
            distances[head] = prefix_distance(
                text, head, exact_prefix=exact_prefix, transpositions=transpositions, stop=k
            )
        d = distances[head]
        if d is not None and d <= k:
            found.append((term, d, count))
    found.sort(key=lambda c: (c[1], -c[2], c[0]))
    return found if limit is None else found[:limit]


def complete_many(
    entries: Sequence[Entry], texts: Iterable[str], *args, **kwargs
) -> list[list[Completion]]:
    return [complete(entries, text, *args, **kwargs) for text in texts]


# Building the entries from what the package builds from.


def normalize(text: str, normalization: str | None) -> str:
    """A text under a normalisation named as the index names it
    ("nfkc+casefold"): its steps in the order written."""
    if normalization is not None:
        for step in normalization.split("+"):
            text = NORMALIZATION_STEPS[step.strip()](text)
    return text


def entries_of_records(
    records: Iterable[tuple[str, object, int]], normalization: str | None = None
) -> list[Entry]:
    """The entries of an index built from (term, video, count) records: each
    distinct term after normalisation, its counts summed (saturating at
    2**32 - 1, as the index stores them)."""
    counts: dict[str, int] = {}
    for term, _video, count in records:
        key = normalize(term, normalization)
        counts[key] = counts.get(key, 0) + count
    return reported_counts([(term, min(count, U32_MAX)) for term, count in counts.items()])


def reported_counts(entries: Iterable[Entry]) -> list[Entry]:
    """Distinct terms with their counts as an index reports them, sorted by
    term. An index keeps each node's total (its term's searches and those of
    every longer term below it), saturating at 2**32 - 1: a term whose total
    saturates reports that total, its own count being lost."""
    entries = sorted(entries)
    terms = [term for term, _ in entries]
    sums = list(itertools.accumulate((count for _, count in entries), initial=0))
    out = []
    for i, (term, count) in enumerate(entries):
        # The terms that begin with `term` follow it (no term holds U+10FFFF).
        end = bisect.bisect_left(terms, term + "\U0010ffff", i)
        out.append((term, U32_MAX if sums[end] - sums[i] >= U32_MAX else count))
    return out


def visible_terms(trie: ModelTrie, own_counts: Sequence[int]) -> list[Entry]:
    """The entries of a model trie: every terminal node below the root that
    no label 0 hides, with its own count (own_counts[node]), in preorder."""
    return [(term, own_counts[node]) for node, term in preorder(trie) if trie.is_terminal[node]]
