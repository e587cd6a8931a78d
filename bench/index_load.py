"""`Index.load` of a file: wall time and the memory it takes.

    python -m bench.index_load [--terms 1000000] [--index PATH] [--repeat 7]

The index is the one `bench.load` serves (the mixed data set of bench/data.py,
each term leading to one to three videos, ten videos per node), built once
and kept at /tmp/tessarin-load-mixed-N.idx (or --index). The file is read
once before timing, so the page cache holds it: the figures are those of a
warm cache, what a server reloading a file it was just given sees.

Each load runs in a fresh process, timed around `Index.load(path)` alone;
printed: the best and median of --repeat loads, and the process's resident
memory (Linux's VmHWM and VmRSS) at its peak during the load and after it,
above what it was before (ru_maxrss would not do: Linux keeps the parent's
across exec).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = """
import json, sys, time
from tessarin import Index
def kb(field):
    with open("/proc/self/status") as status:
        return int(next(l for l in status if l.startswith(field)).split()[1])
before = kb("VmRSS")
started = time.perf_counter()
index = Index.load(sys.argv[1])
seconds = time.perf_counter() - started
print(json.dumps({"seconds": seconds, "peak_kb": kb("VmHWM") - before,
                  "kept_kb": kb("VmRSS") - before, "terms": index.term_count}))
"""


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", type=int, default=1_000_000)
    parser.add_argument("--index", help="index file (built if missing)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args(argv)
    path = args.index or os.path.join(
        tempfile.gettempdir(), f"tessarin-load-mixed-{args.terms}.idx"
    )
    if not os.path.exists(path):
        from bench.load import build_index, load_terms

        build_index(path, load_terms("mixed", args.terms))
    with open(path, "rb") as file:  # into the page cache
        while file.read(1 << 24):
            pass
    runs = []
    for _ in range(args.repeat):
        done = subprocess.run(
            [sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True
        )
        runs.append(json.loads(done.stdout))
    seconds = [r["seconds"] for r in runs]
    size = os.path.getsize(path)
    print(f"{path}: {size / 1e6:,.1f} MB, {runs[0]['terms']:,} terms")
    print(
        f"Index.load: best {min(seconds) * 1000:,.0f} ms, median "
        f"{statistics.median(seconds) * 1000:,.0f} ms over {len(runs)} fresh processes; "
        f"resident memory +{statistics.median(r['peak_kb'] for r in runs) / 1000:,.0f} MB "
        f"at the peak, +{statistics.median(r['kept_kb'] for r in runs) / 1000:,.0f} MB after"
    )


if __name__ == "__main__":
    main()
