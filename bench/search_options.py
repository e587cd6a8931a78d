"""What a filter, a page and an explanation cost a search, on a synthetic
index with a catalogue of every video.

Usage: python -m bench.search_options [terms] [queries]   (from the repository root)
       (defaults: 200000 terms, 300 queries)

Per query, the median and 99th percentile of `Index.search` at max_dist 1,
limit 10: plain; on page 3 (offset 20); filtered on a column that one video
in two has ("wide") and one in fifty ("narrow"), which asks the engine for
every candidate; with `explain=True`. "found" is the mean number of videos
returned, which a narrow filter cuts (see `Index.search` on the per-node
top N). The catalogue's reading is timed too.
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import tempfile
import time

from bench.query_latency import make_queries
from bench.synthetic import random_terms
from tessarin import Catalog, Index, IndexBuilder


def main() -> None:
    n_terms = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    n_queries = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    terms = random_terms(n_terms)
    builder = IndexBuilder()
    builder.add_many((t, k % 50_000, c) for k, (t, c) in enumerate(terms))
    index: Index = builder.index()
    queries = make_queries(terms, n_queries)

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "videos.jsonl")
        with open(path, "w") as out:
            for v in range(min(50_000, n_terms)):
                row = {"video": v, "title": f"Video {v}", "half": v % 2, "rare": v % 50}
                out.write(json.dumps(row) + "\n")
        started = time.perf_counter()
        catalog = Catalog.read(path)
        read = time.perf_counter() - started
        size = os.path.getsize(path)
    print(
        f"catalogue: {len(catalog):,} rows, {size / 1e6:.1f} MB of JSON lines read in "
        f"{read * 1000:.0f} ms"
    )

    cases = {
        "plain": {},
        "offset 20": {"offset": 20},
        "filter wide": {"filter": {"half": 1}, "catalog": catalog},
        "filter narrow": {"filter": {"rare": 7}, "catalog": catalog},
        "explain": {"explain": True},
    }
    print(f"{len(terms):,} terms, {len(queries)} queries, max_dist 1, limit 10")
    print(f"{'case':<14} {'median ms':>10} {'p99 ms':>8} {'found':>6}")
    for name, options in cases.items():
        times, found = [], 0
        for query in queries:
            started = time.perf_counter()
            result = index.search(query, 1, 10, **options)  # type: ignore[call-overload]
            times.append(time.perf_counter() - started)
            found += len(result)
        times.sort()
        p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
        print(
            f"{name:<14} {statistics.median(times) * 1000:>10.3f} {p99 * 1000:>8.3f} "
            f"{found / len(queries):>6.1f}"
        )


if __name__ == "__main__":
    main()
