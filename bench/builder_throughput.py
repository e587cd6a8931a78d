"""Figures of the index builder: records per second and peak memory.

    python -m bench.builder_throughput [--records N]   (from the repository root)

Draws N records (term, video, count) over a Zipf-like vocabulary of
synthetic terms and videos, feeds them to IndexBuilder.add_many, lays the
arrays out and builds the index, and prints the time of each step and the
builder's peak traced memory (tracemalloc, Python allocations only).
"""

from __future__ import annotations

import argparse
import random
import time
import tracemalloc
import uuid

from bench.synthetic import random_terms
from tessarin import IndexBuilder


def records(n: int, terms: int, videos: int, kind: str, seed: int = 1):
    rng = random.Random(seed)
    vocabulary = [t for t, _ in random_terms(terms, seed)]
    if kind == "uuid":
        table = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(videos)]
    else:
        table = list(range(1_000_000, 1_000_000 + videos))
    # Zipf-like: index k drawn with probability ~ 1/(k+1).
    term_picks = [int(terms ** rng.random()) - 1 for _ in range(n)]
    video_picks = [int(videos ** rng.random()) - 1 for _ in range(n)]
    counts = [1 + int(50 ** rng.random()) for _ in range(n)]
    return [
        (vocabulary[t], table[v], c)
        for t, v, c in zip(term_picks, video_picks, counts, strict=True)
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--terms", type=int, default=100_000)
    parser.add_argument("--videos", type=int, default=50_000)
    parser.add_argument("--kind", choices=["int", "uuid"], default="int")
    parser.add_argument("--top-n", type=int, default=10)
    parser.add_argument("--memory", action="store_true", help="also trace memory (slower)")
    parser.add_argument(
        "--repeat", type=int, default=1, help="feed the same records this many times (memory stays)"
    )
    args = parser.parse_args()

    data = records(args.records, args.terms, args.videos, args.kind)
    builder = IndexBuilder()
    if args.memory:
        tracemalloc.start()
    start = time.perf_counter()
    for _ in range(args.repeat):
        builder.add_many(data)
    added = time.perf_counter()
    arrays = builder.arrays(args.top_n)
    laid = time.perf_counter()
    index = builder.build(args.top_n) if not args.memory else None
    if index is None:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    built = time.perf_counter()
    fed = args.records * args.repeat
    print(f"records            {fed:>12,}  ({args.kind} identifiers)")
    print(f"distinct terms     {builder.terms:>12,}")
    print(f"distinct videos    {builder.videos:>12,}")
    print(f"trie nodes         {len(arrays.child_labels):>12,}")
    print(f"add_many           {added - start:>12.2f} s  ({fed / (added - start):,.0f} records/s)")
    print(f"arrays()           {laid - added:>12.2f} s")
    if index is not None:
        print(f"build() (arrays + from_internal_data_v2) {built - laid:.2f} s")
        print(f"saved size         {len(index.to_bytes()):>12,} bytes")
    else:
        print(f"peak traced memory {peak / 2**20:>12.1f} MiB")


if __name__ == "__main__":
    main()
