"""Rows filled per query by each search engine and path, without Python.

    python -m bench.walk_paths                       # one million terms
    python -m bench.walk_paths --size 83k --rounds 5

Builds the data set and its queries as bench.run does (data.py), saves the
index, and runs walk_bench (built with cmake -DTESSARIN_BENCH=ON; --walk-bench
names the binary) over the queries at max_dist 0, 1 and 2. Prints, per query
set and max_dist, the median rows filled (the primary figure: it does not
depend on the machine's load) and the median time of each engine: the plain
walk, the walk with the child filter, the search as the module runs it (and
how many queries took each path: filtered walk or forward-backward passes),
and the node search of fuzzy_match_video's automatic mode, plain and fast,
over all queries and over those that fall back to prefix nodes; and the walk
under transpositions (suggest's transpositions=True). Then what
the fast search derived from the index: its size beside the saved size and
the loaded index, and the time it took.
"""

from __future__ import annotations

import argparse
import collections
import os
import statistics
import subprocess
import sys
import tempfile

from bench import data

ENGINES = "plain,filter,auto,video,video-plain,osa"


def med(values):
    return statistics.median(values) if values else float("nan")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="1m")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--max-dists", default="0,1,2")
    ap.add_argument("--walk-bench", default=os.path.join("build", "walk-bench", "walk_bench"))
    args = ap.parse_args(argv)

    from _tessarin import PrefixSearch

    _, desc, terms = data.load_terms(args.size)
    queries = data.make_queries(terms)
    _, arrays = data.layout_terms(terms)
    saved = PrefixSearch.from_internal_data_v2(*arrays).to_bytes()
    print(f"{args.size}: {len(terms):,} terms ({desc}), {len(arrays[1]):,} nodes")

    with tempfile.TemporaryDirectory(prefix="walk-paths-") as tmp:
        index_path = os.path.join(tmp, "index.bin")
        with open(index_path, "wb") as f:
            f.write(saved)
        derived = None
        for set_name, qs in queries.items():
            query_path = os.path.join(tmp, set_name + ".txt")
            with open(query_path, "w", encoding="utf-8") as f:
                f.write("".join(q + "\n" for q in qs))
            command = [args.walk_bench, index_path, query_path, *args.max_dists.split(",")]
            command += ["--rounds", str(args.rounds), "--engines", ENGINES]
            proc = subprocess.run(
                command,
                capture_output=True,
                text=True,
                check=True,
            )
            for line in proc.stderr.splitlines():
                if line.startswith("derived\t"):
                    derived = [float(x) for x in line.split("\t")[1:]]
            rows = collections.defaultdict(dict)  # (k, engine) -> query -> (rows, ns, path)
            for line in proc.stdout.splitlines():
                k, engine, qi, visited, _matches, ns, path = line.split("\t")
                rows[(int(k), engine)][int(qi)] = (int(visited), int(ns), path)
            for k in sorted({k for k, _ in rows}):
                print(f"\n{set_name}, max_dist {k} ({len(qs)} queries): median rows / time")
                for engine in ENGINES.split(","):
                    got = rows[(k, engine)]
                    paths = collections.Counter(p for _, _, p in got.values())
                    print(
                        f"  {engine:12} {med([v for v, _, _ in got.values()]):>10,.0f}"
                        f" {med([t for _, t, _ in got.values()]) / 1e3:>10.1f} us   "
                        + ", ".join(f"{p}: {n}" for p, n in sorted(paths.items()))
                    )
                # Queries whose terminal-only search found nothing: the
                # fall-back to prefix nodes (the plain walk's second search).
                fast, plain = rows[(k, "video")], rows[(k, "video-plain")]
                terminal = rows[(k, "plain")]
                fell = [q for q in plain if plain[q][0] > terminal[q][0]]
                if fell:
                    a = med([fast[q][0] for q in fell])
                    b = med([plain[q][0] for q in fell])
                    print(
                        f"  falling back to prefix nodes: {len(fell)} queries, median rows"
                        f" {b:,.0f} (plain) -> {a:,.0f} ({b / max(a, 1):.1f}x fewer)"
                    )
        if derived:
            seconds, derived_bytes, index_bytes, saved_bytes = derived
            print(
                f"\nderived: {derived_bytes / 1e6:.1f} MB in {seconds:.2f} s; loaded index"
                f" {index_bytes / 1e6:.1f} MB; saved {saved_bytes / 1e6:.1f} MB; all told"
                f" {(derived_bytes + index_bytes) / saved_bytes:.2f}x the saved size"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
