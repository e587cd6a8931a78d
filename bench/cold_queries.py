"""Fuzzy matching with cold caches: each query once, in a shuffled order.

    python -m bench.cold_queries [--size 1m] [--max-dist 1,2] [--queries 3000]
                                 [--peers symspellpy] [--index PATH]

A service answers each query once, so its walks meet memory the previous
query did not bring into the caches; the suite's other benchmarks repeat a
query and take the median (warm). Here the queries (bench/data.py's "words":
real terms with 0, 1 or 2 typos, deduplicated) run once each in a shuffled
order ("cold"), then each five times in a row ("warm", the median). Engines,
each on the same terms:

- `Index`: `match_nodes(q, k, terminal_only=True)` on the index file of the
  data set (version 2, built as `bench.file_sections --sizes` builds it, or
  --index), loaded as `Index.load` does by default;
- `_tessarin`: `PrefixSearch.fuzzy_match(q, k)` on the same index's saved form;
- `symspellpy` (--peers): `lookup(q, Verbosity.ALL, max_edit_distance=k)`,
  built on the same terms and counts (prefix length 7).

Every engine runs the same queries in the same order under the same timer
(one call of a one-argument function between two clock reads), with the
collector off. The timer's own cost (the same loop over a function that
does nothing, its median) is printed and taken off every median and p99.
Prints median and p99 in microseconds and the ratio of each engine's
median to `Index`'s. Nothing is asserted.
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import time


def timed(run, queries):
    """Per query: once each in the given order (cold), then five times
    in a row (warm, the median), in nanoseconds, with the collector off."""
    gc.collect()
    gc.disable()
    try:
        return _timed(run, queries)
    finally:
        gc.enable()


def _timed(run, queries):
    clock = time.perf_counter_ns
    cold = []
    for q in queries:
        t0 = clock()
        run(q)
        cold.append(clock() - t0)
    warm = []
    for q in queries:
        runs = []
        for _ in range(5):
            t0 = clock()
            run(q)
            runs.append(clock() - t0)
        warm.append(statistics.median(runs))
    return cold, warm


def quantiles(values, overhead=0.0):
    """Median and p99 in microseconds, less the timer's overhead (ns)."""
    values = sorted(values)
    median = values[len(values) // 2]
    p99 = values[min(len(values) - 1, len(values) * 99 // 100)]
    return (median - overhead) / 1e3, (p99 - overhead) / 1e3


def main(argv: list[str] | None = None) -> None:
    from bench.data import load_terms, make_queries
    from bench.file_sections import build
    from tessarin import Index

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="1m")
    parser.add_argument("--index", help="a version 2 index file of the data set's terms")
    parser.add_argument("--max-dist", default="1,2")
    parser.add_argument("--queries", type=int, default=3000)
    parser.add_argument("--peers", default="", help="symspellpy")
    args = parser.parse_args(argv)

    terms = load_terms(args.size)[2]
    queries = list(dict.fromkeys(make_queries(terms, n_words=args.queries)["words"]))
    random.Random(3).shuffle(queries)
    path = args.index or build(args.size)[1]
    started = time.perf_counter()
    index = Index.load(path)
    print(f"{path}: Index.load {time.perf_counter() - started:.3f} s; {len(queries)} queries")
    prefix = index.to_prefix_search()
    engines = {
        "Index": lambda k: lambda q: index.match_nodes(q, k, terminal_only=True),
        "_tessarin": lambda k: lambda q: prefix.fuzzy_match(q, k),
    }
    peers = set(filter(None, args.peers.split(",")))
    null_cold, null_warm = timed(lambda q: None, queries)
    overhead = statistics.median(null_cold), statistics.median(null_warm)
    print(f"timer overhead taken off: {overhead[0]:.0f} ns cold, {overhead[1]:.0f} ns warm")
    rows = []
    for k in (int(x) for x in args.max_dist.split(",")):
        runs = {name: make(k) for name, make in engines.items()}
        if "symspellpy" in peers:
            from symspellpy import SymSpell, Verbosity

            sym = SymSpell(max_dictionary_edit_distance=k, prefix_length=7, count_threshold=1)
            for term, count in terms:
                sym.create_dictionary_entry(term, max(count, 1))
            runs["symspellpy"] = lambda q, sym=sym, k=k: sym.lookup(
                q, Verbosity.ALL, max_edit_distance=k
            )
        medians = {}
        for name, run in runs.items():
            cold, warm = timed(run, queries)
            (cm, cp), (wm, wp) = quantiles(cold, overhead[0]), quantiles(warm, overhead[1])
            medians[name] = cm
            rows.append((k, name, cm, cp, wm, wp, cm / medians["Index"]))
        del runs
    print(
        f"{'k':>2} {'engine':<11} {'cold median':>12} {'cold p99':>10} {'warm median':>12} "
        f"{'warm p99':>10} {'cold vs Index':>14}"
    )
    for k, name, cm, cp, wm, wp, ratio in rows:
        print(
            f"{k:>2} {name:<11} {cm:>10.2f}us {cp:>8.1f}us {wm:>10.2f}us {wp:>8.1f}us "
            f"{ratio:>13.1f}x"
        )


if __name__ == "__main__":
    main()
