"""Query throughput of tessarin.Index on one thread and on several.

Usage: python -m bench.threads [terms] [seconds] [threads]   (from the repository root)
       (defaults: 1000000 terms, 3 seconds per figure, 2 threads)

An index of synthetic terms (bench/synthetic.py) is queried at max_dist 2
with the queries of bench/query_latency.py (a typo, a prefix as typed, a
word that is not indexed). Each figure is queries per second:

* Index.suggest and Index.search in a loop, on one thread, then on N
  threading.Thread at once, each looping over the queries from its own
  offset for the same time (queries release the interpreter lock while they
  walk, so the threads run on separate cores);
* Index.suggest_many and Index.search_many over the whole list, with
  threads=1 and threads=N.

The ratio N threads / one thread is printed beside each pair; on a machine
with N free cores it should come close to N. Beside it, "cores busy" (the
process's CPU time over the wall time) and the queries per CPU second: on a
machine busy with other work the threads get fewer cores, which lowers the
ratio and the cores busy, but the queries per CPU second stay those of one
thread unless the threads hold each other up. Figures only, no verdict.
"""

from __future__ import annotations

import os
import sys
import threading
import time

from _tessarin import PrefixSearch
from bench.query_latency import make_queries
from bench.synthetic import random_terms, trie_arrays
from tessarin.index import Index

MAX_DIST = 2
LIMIT = 10


def loop_rate(call, queries, seconds: float, threads: int) -> tuple[float, float]:
    """(queries per second, cores busy) of `threads` threads calling call(q)
    for `seconds`; cores busy is the process's CPU time over the wall time."""
    counts = [0] * threads
    barrier = threading.Barrier(threads + 1)
    stop = threading.Event()

    def run(slot: int) -> None:
        k = slot * len(queries) // threads
        done = 0
        barrier.wait()
        while not stop.is_set():
            for _ in range(16):
                call(queries[k])
                k = k + 1 if k + 1 < len(queries) else 0
            done += 16
        counts[slot] = done

    workers = [threading.Thread(target=run, args=(slot,)) for slot in range(threads)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start, cpu = time.perf_counter(), time.process_time()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    wall = time.perf_counter() - start
    return sum(counts) / wall, (time.process_time() - cpu) / wall


def batch_rate(call, queries, seconds: float) -> tuple[float, float]:
    """(queries per second, cores busy) of call(queries), repeated for about
    `seconds`."""
    done = 0
    start, cpu = time.perf_counter(), time.process_time()
    while time.perf_counter() - start < seconds:
        call(queries)
        done += len(queries)
    wall = time.perf_counter() - start
    return done / wall, (time.process_time() - cpu) / wall


def main() -> None:
    n_terms = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3.0
    n_threads = int(sys.argv[3]) if len(sys.argv) > 3 else 2

    started = time.perf_counter()
    terms = random_terms(n_terms, seed=1)
    index = Index.from_prefix_search(PrefixSearch.from_internal_data_v2(*trie_arrays(terms)))
    print(f"index: {index!r}, built in {time.perf_counter() - started:.1f} s")
    queries = make_queries(terms, 3000)
    print(
        f"queries: {len(queries)}, max_dist {MAX_DIST}, limit {LIMIT}; "
        f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start"
    )

    def suggest(q):
        return index.suggest(q, MAX_DIST, LIMIT)

    def search(q):
        return index.search(q, MAX_DIST, LIMIT)

    print(
        f"{'':36} {'1 thread':>12} {f'{n_threads} threads':>12} {'ratio':>7}"
        f"  {'cores busy':>11}  per CPU second"
    )

    def show(name, one, many):
        print(
            f"{name:36} {one[0]:10,.0f}/s {many[0]:10,.0f}/s {many[0] / one[0]:6.2f}x"
            f"  {one[1]:4.2f} / {many[1]:4.2f}  {one[0] / one[1]:,.0f} / {many[0] / many[1]:,.0f}"
        )

    for name, call in (("Index.suggest", suggest), ("Index.search", search)):
        one = loop_rate(call, queries, seconds, 1)
        many = loop_rate(call, queries, seconds, n_threads)
        show(name + " (threading.Thread)", one, many)
    for name, method in (
        ("Index.suggest_many", index.suggest_many),
        ("Index.search_many", index.search_many),
    ):
        one = batch_rate(lambda qs, m=method: m(qs, MAX_DIST, LIMIT, threads=1), queries, seconds)
        many = batch_rate(
            lambda qs, m=method: m(qs, MAX_DIST, LIMIT, threads=n_threads), queries, seconds
        )
        show(name + " (threads=)", one, many)
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
