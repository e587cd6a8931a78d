"""Time fuzzy_match and fuzzy_match_video per query, and count the nodes the
walk visits, on a synthetic index.

Usage: python -m bench.query_latency [terms] [queries]   (from the repository root)
       (defaults: 200000 terms, 300 queries)

Queries are what a search box sees: indexed terms with one typo, prefixes of
3 to 6 characters as typed, and words that are not indexed. "visited" is the
number of nodes whose distance row the walk fills, counted by the plain
Python walk of tessarin_reference/matching.py over the same arrays (on a
subset of the queries: it is slow).
"""

from __future__ import annotations

import random
import statistics
import sys
import time

from _tessarin import PrefixSearch
from bench.synthetic import random_terms, trie_arrays
from tessarin_reference.matching import walk
from tessarin_reference.model import ModelTrie

LETTERS = "abcdefghijklmnopqrstuvwxyz"


def one_typo(word, rng):
    """`word` with one random substitution, insertion or deletion."""
    at = rng.randrange(len(word))
    op = rng.choice("sid")
    if op == "s":
        return word[:at] + rng.choice(LETTERS) + word[at + 1 :]
    if op == "i":
        return word[:at] + rng.choice(LETTERS) + word[at:]
    return word[:at] + word[at + 1 :]


def make_queries(terms, count, seed=7):
    rng = random.Random(seed)
    words = [t for t, _ in terms]
    queries = []
    for k in range(count):
        word = rng.choice(words)
        kind = k % 3
        if kind == 0:  # one typo
            word = one_typo(word, rng)
        elif kind == 1:  # a prefix, as typed
            word = word[: rng.randint(3, 6)]
        else:  # not indexed, most likely
            word = "".join(rng.choice(LETTERS) for _ in range(rng.randint(4, 10)))
        queries.append(word)
    return queries


def timed(call, queries, passes=3):
    """Per-query seconds: each pass runs every query once, in order, so a
    query finds the caches as the previous ones left them (as in service);
    a query's time is its median over the passes."""
    runs = []
    for _ in range(passes):
        one = []
        for q in queries:
            start = time.perf_counter()
            call(q)
            one.append(time.perf_counter() - start)
        runs.append(one)
    return [statistics.median(t) for t in zip(*runs, strict=True)]


def describe(times):
    times = sorted(times)
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    return (
        f"mean {statistics.fmean(times) * 1e6:8.1f} us  "
        f"median {statistics.median(times) * 1e6:8.1f} us  "
        f"p99 {p99 * 1e6:8.1f} us"
    )


def main():
    n_terms = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    n_queries = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    terms = random_terms(n_terms, seed=1)
    arrays = trie_arrays(terms)
    node_shifts, labels, payloads, transitions, _, _ = arrays
    index = PrefixSearch.from_internal_data_v2(*arrays)
    model = ModelTrie(
        node_shifts,
        [ord(c) if c else 0 for c in labels],
        transitions,
        [],
        [],
        [],
        0,
        [0 if p is None else 1 for p in payloads],
    )
    queries = make_queries(terms, n_queries)
    print(
        f"{n_terms} terms, {len(labels)} nodes, {n_queries} queries "
        f"(mean length {statistics.fmean(map(len, queries)):.1f})"
    )
    for max_dist in (0, 1, 2):
        visits = [walk(model, q, max_dist)[1] for q in queries[:60]]
        found = [len(index.fuzzy_match(q, max_dist)) for q in queries]
        print(
            f"max_dist {max_dist}: visited nodes per query mean {statistics.fmean(visits):.0f}, "
            f"max {max(visits)}; terms found mean {statistics.fmean(found):.1f}"
        )
        print(
            f"  fuzzy_match        "
            f"{describe(timed(lambda q, k=max_dist: index.fuzzy_match(q, k), queries))}"
        )
        print(
            f"  fuzzy_match_video  "
            f"{describe(timed(lambda q, k=max_dist: index.fuzzy_match_video(q, k, 10), queries))}"
        )


if __name__ == "__main__":
    main()
