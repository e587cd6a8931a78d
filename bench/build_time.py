"""Time from_internal_data_v2 on synthetic tries built from Python lists.

Usage: python -m bench.build_time [terms]   (default 170000 terms, ~1M nodes;
       from the repository root)
"""

import sys
import time

from _tessarin import PrefixSearch
from bench.synthetic import random_terms, trie_arrays


def main():
    n_terms = int(sys.argv[1]) if len(sys.argv) > 1 else 170_000
    arrays = trie_arrays(random_terms(n_terms, seed=1))
    nodes = len(arrays[0])
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        PrefixSearch.from_internal_data_v2(*arrays)
        best = min(best, time.perf_counter() - start)
    print(
        f"{n_terms} terms, {nodes} nodes: build {best:.3f} s "
        f"({best / nodes * 1e9:.0f} ns per node, best of 3)"
    )


if __name__ == "__main__":
    main()
