"""Records to a saved index at scale: `tessarin build` against the
pure-Python builder it replaced, wall time and peak memory.

    python -m bench.build_scale [--scale 3m|30m] [--baseline] [--keep DIR]

Scales (records over distinct terms, about 400,000 int videos, counts 1-50):

* ``3m``: 3 million records over 1 million terms, as Parquet and as CSV;
* ``30m``: 30 million records over 10 million terms, as Parquet.

Terms are the benchmark suite's "1m" data set (bench.data: two-word
phrases, English words, wordfreq's lists in six languages) when the bench
extra is installed, else pseudo-words; 10 million terms add two-word
phrases made of those terms. Every term has at least one record; the rest
are drawn with a fixed seed by DuckDB, which writes the files.

Each build runs in a fresh process (`python -m tessarin build`), timed from
start to the index file written (wall and CPU time, DuckDB's threads
included), with the process's peak resident memory (ru_maxrss).
`--baseline` also runs today's path for comparison: the records read by
Python (pyarrow for Parquet, the csv module for CSV) into
tessarin_reference.builder (the pure-Python layout), then saved.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

SCALES = {"3m": (3_000_000, 1_000_000), "30m": (30_000_000, 10_000_000)}
VIDEOS = 400_000


def vocabulary(n: int) -> list[str]:
    """n distinct terms: the suite's real ones, then phrases of two."""
    try:
        from bench.data import load_terms

        base = [t for t, _ in load_terms("1m")[2]]
    except ImportError:
        import random

        rng = random.Random(7)
        syllables = [a + b for a in "bcdfghklmnprstvz" for b in "aeiou"]
        found: dict[str, None] = {}
        while len(found) < min(n, 1_000_000):
            found["".join(rng.choice(syllables) for _ in range(rng.randint(1, 5)))] = None
        base = list(found)
    terms = base[:n]
    k = 0
    width = min(len(base), 100_000)  # phrases of the most frequent terms
    while len(terms) < n:
        a, b = divmod(k, width)
        k += 1
        if a >= b:
            continue
        terms.append(f"{base[a]} {base[b]}")
    return terms


def write_inputs(folder: str, records: int, terms: int, formats: list[str]) -> dict[str, str]:
    import duckdb
    import pyarrow as pa
    import pyarrow.parquet as pq

    words = vocabulary(terms)
    vocab = os.path.join(folder, "vocabulary.parquet")
    pq.write_table(pa.table({"t": pa.array(range(len(words)), pa.int64()), "term": words}), vocab)
    del words
    con = duckdb.connect()
    query = f"""
        SELECT v.term, r.video, r.count FROM (
            SELECT (CASE WHEN range < {terms} THEN range
                         ELSE hash(range) % {terms} END)::BIGINT AS t,
                   (hash(range * 7 + 1) % {VIDEOS})::UINTEGER AS video,
                   (1 + hash(range * 13 + 5) % 50)::UINTEGER AS count,
                   range AS i
            FROM range({records})) r
        JOIN read_parquet('{vocab}') v USING (t)
        ORDER BY hash(i)"""
    out = {}
    for fmt in formats:
        path = os.path.join(folder, f"records.{fmt}")
        con.sql(f"COPY ({query}) TO '{path}' (FORMAT {fmt})")
        out[fmt] = path
    os.unlink(vocab)
    return out


BASELINE = textwrap.dedent(
    """
    import csv, sys
    from _tessarin import PrefixSearch
    from tessarin import Index
    from tessarin_reference.builder import IndexBuilder
    path, out = sys.argv[1:3]
    builder = IndexBuilder()
    if path.endswith(".parquet"):
        import pyarrow.parquet as pq
        for batch in pq.ParquetFile(path).iter_batches(batch_size=65536):
            columns = [c.to_pylist() for c in batch.columns]
            builder.add_many(zip(*columns))
    else:
        with open(path, newline="") as f:
            rows = csv.reader(f)
            next(rows)
            builder.add_many((t, int(v), int(c)) for t, v, c in rows)
    arrays = builder.arrays()
    Index.from_prefix_search(PrefixSearch.from_internal_data_v2(*arrays), video_top_n=10).save(out)
    """
)


def run(argv: list[str]) -> tuple[float, float, float]:
    """(seconds, CPU seconds, peak resident MB) of a child process."""
    start = time.perf_counter()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # for tessarin_reference
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=root)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    error = child.stderr.read().decode() if child.stderr else ""
    if status != 0:
        raise SystemExit(f"{' '.join(argv)} failed:\n{error}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", choices=SCALES, default="3m")
    parser.add_argument("--baseline", action="store_true", help="also time the old path")
    parser.add_argument("--keep", help="keep the generated files in this folder")
    args = parser.parse_args()
    records, terms = SCALES[args.scale]
    formats = ["parquet", "csv"] if args.scale == "3m" else ["parquet"]
    folder = args.keep or tempfile.mkdtemp(prefix="tessarin-bench-")
    os.makedirs(folder, exist_ok=True)
    print(f"{records:,} records over {terms:,} terms, {VIDEOS:,} videos; files in {folder}")
    start = time.perf_counter()
    inputs = {
        fmt: os.path.join(folder, f"records.{fmt}")
        for fmt in formats
        if os.path.exists(os.path.join(folder, f"records.{fmt}"))
    }
    missing = [fmt for fmt in formats if fmt not in inputs]
    if missing:
        inputs.update(write_inputs(folder, records, terms, missing))
        print(f"  generated {', '.join(missing)} in {time.perf_counter() - start:.1f} s")
    for fmt in formats:
        path = inputs[fmt]
        out = os.path.join(folder, f"index-{fmt}.idx")
        seconds, cpu, peak = run([sys.executable, "-m", "tessarin", "build", path, out, "-q"])
        size = os.path.getsize(out)
        print(
            f"  {fmt:8} tessarin build   {seconds:7.2f} s  (CPU {cpu:6.2f} s)  "
            f"peak {peak:7,.0f} MB  "
            f"index {size / 1e6:,.1f} MB  peak/index {peak * 2**20 / size:.2f}x  "
            f"input {os.path.getsize(path) / 1e6:,.0f} MB"
        )
        if args.baseline:
            old = os.path.join(folder, f"baseline-{fmt}.idx")
            base_s, base_cpu, base_peak = run([sys.executable, "-c", BASELINE, path, old])
            same = _saved_form(old) == _saved_form(out)
            print(
                f"  {fmt:8} pure Python      {base_s:7.2f} s  (CPU {base_cpu:6.2f} s)  "
                f"peak {base_peak:7,.0f} MB  "
                f"speed-up {base_s / seconds:.1f}x  same index: {same}"
            )
    if not args.keep:
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)


def _saved_form(path: str) -> bytes:
    from tessarin import Index

    return Index.load(path)._native.to_saved()


if __name__ == "__main__":
    main()
