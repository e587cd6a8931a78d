"""The daily pipeline: aggregate one day's search events, rebuild the index
from every day's aggregate with recency, against a full rebuild from the
events; wall time and peak memory of each step.

    python -m bench.daily [--days 10] [--events 300000] [--pairs 1000000 --aggregates 30]
                          [--keep DIR]

Events are (term, video, time) rows as gzipped CSV, one file a day, written
by DuckDB with a fixed seed: terms drawn from 300,000 ("term" and a number,
the low numbers far more often), videos from 50,000, times spread over the
day. `--pairs N --aggregates D` adds the rebuild from D daily aggregates of
N distinct (term, video) pairs each, written directly (no events), each
day sharing 90 % of its pairs with the day before. Each
step runs in a fresh process (`bench.build_events` times them).
`--keep DIR` keeps the inputs for a later run.
"""

from __future__ import annotations

import argparse
import datetime
import glob
import os
import tempfile

from .build_events import run

_START = "2026-03-01"


def write_events(folder: str, days: int, events: int) -> list[str]:
    import duckdb

    paths = []
    con = duckdb.connect(config={"threads": 1})  # one thread: the same events every time
    con.sql("SELECT setseed(0.25)")
    for day in range(days):
        path = os.path.join(folder, f"events-{day:02d}.csv.gz")
        paths.append(path)
        if os.path.exists(path):
            continue
        con.sql(
            "COPY (SELECT 'term' || floor(pow(random(), 3) * 300000)::INT AS term, "
            "floor(random() * 50000)::INT AS video, "
            f"DATE '{_START}' + INTERVAL {day} DAY + to_seconds(floor(random() * 86400)::INT) "
            f"AS time FROM range({events})) TO '{path}' (HEADER, COMPRESSION gzip)"
        )
    return paths


def write_aggregates(folder: str, days: int, pairs: int) -> str:
    """`days` aggregates of `pairs` distinct pairs each, as `tessarin
    aggregate` writes them."""
    import duckdb

    out = os.path.join(folder, "aggregates-synthetic")
    os.makedirs(out, exist_ok=True)
    con = duckdb.connect(config={"threads": 1})
    con.sql("SELECT setseed(0.75)")
    for day in range(days):
        path = os.path.join(out, f"{day:02d}.parquet")
        if os.path.exists(path):
            continue
        # Pair p is (term p mod 300,000, video p // 300,000 * 1,000 + p mod
        # 997): day d holds pairs d * pairs / 10 ... that plus `pairs`, so
        # that each day shares 90 % of its pairs with the day before.
        con.sql(
            f"COPY (SELECT 'term' || (p % 300000) AS term, "
            "CAST(p // 300000 * 1000 + p % 997 AS VARCHAR) AS video, "
            "CAST(1 + floor(pow(random(), 8) * 50) AS BIGINT) AS count, "
            f"DATE '{_START}' + INTERVAL {day} DAY AS day "
            f"FROM (SELECT k + {day * (pairs // 10)} AS p FROM range({pairs}) AS r(k)) "
            f"ORDER BY term, video) TO '{path}' (FORMAT parquet, COMPRESSION zstd)"
        )
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--days", type=int, default=10)
    parser.add_argument("--events", type=int, default=300_000, help="events a day")
    parser.add_argument("--pairs", type=int, help="distinct pairs of each synthetic aggregate")
    parser.add_argument("--aggregates", type=int, default=30)
    parser.add_argument("--keep", help="write the inputs here and keep them")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = options.keep or scratch
        os.makedirs(folder, exist_ok=True)
        events = write_events(folder, options.days, options.events)
        aggregates = os.path.join(scratch, "aggregates")
        os.makedirs(aggregates)
        out = os.path.join(scratch, "out.idx")
        size = sum(map(os.path.getsize, events)) / 1e6
        total = options.days * options.events
        print(
            f"{options.days} days of {options.events:,} events ({total:,}, {size:.1f} MB gzipped)"
        )
        print("| step | wall | CPU | peak memory | summary |\n|---|---|---|---|---|")

        def step(name: str, command: str, args: list[str]) -> None:
            wall, cpu, peak, summary = run(args, None, command)
            print(f"| {name} | {wall:.2f} s | {cpu:.2f} s | {peak / 1e6:.0f} MB | {summary} |")

        for day, path in enumerate(events):
            target = os.path.join(aggregates, f"{day:02d}.parquet")
            if day < len(events) - 1:
                run([path, target], None, "aggregate")
            else:
                step("aggregate the last day's events", "aggregate", [path, target])
        step(
            f"build from {options.days} daily aggregates, --half-life 7d",
            "build",
            [aggregates, out, "--half-life", "7d"],
        )
        every = os.path.join(folder, "events-*.csv.gz")
        last = datetime.date.fromisoformat(_START) + datetime.timedelta(days=options.days)
        step(
            f"full rebuild from {options.days} days of events, --half-life 7d",
            "build",
            [every, out, "--events", "--half-life", "7d"],
        )
        step(
            "the same with --as-of (one pass over the events)",
            "build",
            [every, out, "--events", "--half-life", "7d", "--as-of", last.isoformat()],
        )
        step("full rebuild from the events, no recency", "build", [every, out, "--events"])
        if options.pairs:
            synthetic = write_aggregates(folder, options.aggregates, options.pairs)
            rows = len(glob.glob(os.path.join(synthetic, "*.parquet"))) * options.pairs
            step(
                f"build from {options.aggregates} aggregates of {options.pairs:,} pairs "
                f"({rows:,} rows), --half-life 7d",
                "build",
                [synthetic, out, "--half-life", "7d"],
            )


if __name__ == "__main__":
    main()
