"""What loading an index file costs, the structure checks included.

    python -m bench.load_checks [--terms 1m] [--index PATH] [--rounds 7]

The index: the suite's data set of --terms terms (bench.data.load_terms;
needs the bench extra), one to three videos a term (bench.data.video_records),
built with `Index.build` and saved once at --index (default under /tmp, kept
for later runs). Each round loads it with `Index.load(path)` (checksum,
decoding and the structure checks) and with `verify=False` (no checksum),
and `Index.load` of the file's bytes already in memory; printed: the best
and the median of --rounds rounds, with the file's size. Run it against two
builds of the module to see what a change to the checks costs.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time

from tessarin import Index


def timed(load) -> float:
    start = time.perf_counter()
    load()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", default="1m")
    parser.add_argument("--index", default=None)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    path = args.index or os.path.join(tempfile.gettempdir(), f"tessarin-checks-{args.terms}.idx")
    if not os.path.exists(path):
        from bench.data import load_terms, video_records

        terms = load_terms(args.terms)[2]
        start = time.perf_counter()
        Index.build(video_records(terms)).save(path)
        print(f"built {path} in {time.perf_counter() - start:.1f} s")
    with open(path, "rb") as file:
        data = file.read()
    index = Index.load(data)
    print(
        f"{path}: {len(data) / 1e6:.1f} MB, {index.term_count:,} terms, "
        f"{index.node_count:,} nodes, {index.video_count:,} videos"
    )
    del index
    ways = {
        "Index.load(path)": lambda: Index.load(path),
        "Index.load(path, verify=False)": lambda: Index.load(path, verify=False),
        "Index.load(bytes)": lambda: Index.load(data),
    }
    times: dict[str, list[float]] = {name: [] for name in ways}
    for _ in range(args.rounds):  # interleaved, so drifting load hits each alike
        for name, load in ways.items():
            times[name].append(timed(load))
    for name, seconds in times.items():
        print(
            f"{name:32} best {min(seconds) * 1e3:7.1f} ms, "
            f"median {statistics.median(seconds) * 1e3:7.1f} ms ({args.rounds} rounds)"
        )


if __name__ == "__main__":
    main()
