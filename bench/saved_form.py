"""Time to_bytes and from_bytes, and measure the saved form, on synthetic tries.

Usage: python -m bench.saved_form [terms]   (default 170000 terms, ~1M nodes;
       from the repository root)

Also loads damaged copies (cut short, one byte changed) to show that
refusing a bad saved form costs no more than reading the good part, and
repeats failing loads to show that memory stays flat.
"""

import resource
import sys
import time

from _tessarin import PrefixSearch
from bench.synthetic import random_terms, trie_arrays


def best_of(repeats, f):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = f()
        best = min(best, time.perf_counter() - start)
    return best, result


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    n_terms = int(sys.argv[1]) if len(sys.argv) > 1 else 170_000
    arrays = trie_arrays(random_terms(n_terms, seed=1))
    nodes = len(arrays[0])
    build_time, index = best_of(1, lambda: PrefixSearch.from_internal_data_v2(*arrays))
    save_time, saved = best_of(5, index.to_bytes)
    load_time, loaded = best_of(5, lambda: PrefixSearch.from_bytes(saved))
    assert loaded.to_bytes() == saved
    mib = len(saved) / 2**20
    print(f"{n_terms} terms, {nodes} nodes, build {build_time:.3f} s")
    print(
        f"saved form: {len(saved)} bytes ({mib:.1f} MiB, {len(saved) / nodes:.1f} bytes per node)"
    )
    print(f"to_bytes:   {save_time * 1e3:.1f} ms ({mib / save_time:.0f} MiB/s, best of 5)")
    print(f"from_bytes: {load_time * 1e3:.1f} ms ({mib / load_time:.0f} MiB/s, best of 5)")

    cut = saved[: len(saved) * 3 // 4]
    damaged = bytearray(saved)
    damaged[-1] = 2  # the last is_terminal flag
    for name, data in (("cut to 3/4", cut), ("last byte 02", bytes(damaged))):
        t, _ = best_of(5, lambda data=data: _fails(data))
        print(f"refusing {name}: {t * 1e3:.1f} ms")

    before = rss_mib()
    small = saved[:1000]
    for _ in range(20_000):
        _fails(small)
    print(f"20000 failing loads: max RSS {before:.0f} -> {rss_mib():.0f} MiB")


def _fails(data):
    try:
        PrefixSearch.from_bytes(data)
    except ValueError:
        return
    raise AssertionError("loaded a damaged saved form")


if __name__ == "__main__":
    main()
