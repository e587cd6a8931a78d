"""Raw search events to a saved index: `tessarin build --events`, clean
and damaged, with and without `--skip-bad`, wall time and peak memory.

    python -m bench.build_events [--events 3000000] [--package DIR] [--keep DIR]

The events are (term, video) rows as gzipped CSV, written by DuckDB with a
fixed seed: terms drawn from 300,000 ("term" and a number, the low numbers
far more often), videos from 50,000. The damaged copy has one line in
10,000 cut short or given a byte that is not UTF-8. Each build runs in a
fresh process, timed from start to the index file written (wall and CPU
time, DuckDB's threads included), with its peak resident memory.
`--package DIR` runs the builds with another copy of the package first on
the path (an earlier release, to compare); `--keep DIR` keeps the inputs,
and a later run with the same DIR reads them again.
"""

from __future__ import annotations

import argparse
import gzip
import os
import subprocess
import sys
import tempfile
import textwrap


def write_events(folder: str, events: int) -> tuple[str, str]:
    import duckdb

    clean = os.path.join(folder, "events.csv.gz")
    damaged = os.path.join(folder, "damaged.csv.gz")
    if os.path.exists(clean) and os.path.exists(damaged):  # kept from an earlier run
        return clean, damaged
    con = duckdb.connect(config={"threads": 1})  # one thread: the same events every time
    con.sql("SELECT setseed(0.5)")
    con.sql(
        "COPY (SELECT 'term' || floor(pow(random(), 3) * 300000)::INT AS term, "
        f"floor(random() * 50000)::INT AS video FROM range({events})) "
        f"TO '{clean}' (HEADER, COMPRESSION gzip)"
    )
    with gzip.open(clean, "rb") as src, gzip.open(damaged, "wb", compresslevel=6) as out:
        for k, line in enumerate(src):
            if k and k % 10_000 == 0:
                line = line[:3] if k % 20_000 else line[:1] + b"\xff" + line[1:]
                line = line.rstrip(b"\n") + b"\n"
            out.write(line)
    return clean, damaged


_TIMED = textwrap.dedent(
    """
    import resource, subprocess, sys, time
    start = time.perf_counter()
    done = subprocess.run(sys.argv[1:], capture_output=True, text=True)
    wall = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(done.returncode, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024)
    print(done.stderr, file=sys.stderr)
    """
)


def run(
    args: list[str], package: str | None, command: str = "build"
) -> tuple[float, float, float, str]:
    env = dict(os.environ)
    if package is not None:
        env["PYTHONPATH"] = os.pathsep.join([package, env.get("PYTHONPATH", "")])
    done = subprocess.run(
        [sys.executable, "-c", _TIMED, sys.executable, "-m", "tessarin", command, *args],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    status, wall, cpu, peak = done.stdout.split()
    summary = done.stderr.strip().splitlines()
    if status != "0":
        raise SystemExit(f"{command} failed: {done.stderr}")
    return float(wall), float(cpu), float(peak), summary[-1] if summary else ""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=3_000_000)
    parser.add_argument("--package", help="a copy of the package to run instead")
    parser.add_argument("--keep", help="write the inputs here and keep them")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = options.keep or scratch
        os.makedirs(folder, exist_ok=True)
        clean, damaged = write_events(folder, options.events)
        out = os.path.join(scratch, "out.idx")
        cases = [
            ("clean", [clean, out, "--events"]),
            ("clean, --skip-bad", [clean, out, "--events", "--skip-bad"]),
            ("damaged, --skip-bad", [damaged, out, "--events", "--skip-bad"]),
        ]
        print(f"{options.events:,} events, gzipped CSV ({os.path.getsize(clean) / 1e6:.1f} MB)")
        print("| input | wall | CPU | peak memory | summary |\n|---|---|---|---|---|")
        for name, args in cases:
            try:
                wall, cpu, peak, summary = run(args, options.package)
            except SystemExit as failed:
                print(f"| {name} | failed | | | {str(failed).splitlines()[0][:80]} |")
                continue
            print(f"| {name} | {wall:.2f} s | {cpu:.2f} s | {peak / 1e6:.0f} MB | {summary} |")


if __name__ == "__main__":
    main()
