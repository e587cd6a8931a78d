"""The first query of a freshly loaded index, cold and warmed, beside a
warm one: what a worker's first request after its start or a reload costs.

    python -m bench.warm_start [--terms 400000] [--repeat 3]

An index of --terms pseudo-words (bench/synthetic.py, one to three videos
each) is saved as an index file of version 1 and of version 2; for each,
and for the version 2 file as a worker of `tessarin serve` with several
workers loads it ("worker": the supervisor's sealed copy, announced and
mapped with no check again, `tessarin.server.sharing`; Linux only),
in a fresh process per round: the load, then either the first query at
once (cold: it derives the search aids on its way) or `warm` first (what a
server's worker runs before it reports ready) and then the first query;
then the same queries 20 times more (warm). `warm` maps the pages of the
walk's arrays first; the rows "no-pop" warm without it (the queries
alone), for comparison. The rounds of a kind's rows are taken in turns.
The queries are ten indexed terms with a letter replaced, each asked as
/search, /suggest and /complete (its first four letters). Printed: medians
over --repeat rounds, in milliseconds, the first query's multiple of a
warm one, and the process's PSS and RSS after the queries (MB, from
/proc/self/smaps_rollup: pages of the sealed copy count shared with the
bench's own process, which maps it too).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import string
import subprocess
import sys
import tempfile

from bench.data import video_records
from bench.synthetic import random_terms

CHILD = r"""
import json, statistics, sys, time
from tessarin import Index
from tessarin.server.warm import warm
path, mode, texts = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
from tessarin.server.sharing import load_announced
started = time.perf_counter()
if path.startswith("announced:"):
    index = load_announced(path.removeprefix("announced:"))[0]
else:
    index = Index.load(path)
loaded = time.perf_counter() - started
started = time.perf_counter()
if mode != "no":
    warm(index, populate=mode == "yes")
warming = time.perf_counter() - started
queries = [
    query
    for text in texts
    for query in (
        lambda: index.search(text, 1, 10),
        lambda: index.suggest(text, 1, 8),
        lambda: index.complete(text[:4], "auto", 10),
    )
]
first = []
for query in queries:
    started = time.perf_counter()
    query()
    first.append(time.perf_counter() - started)
again = []
for _ in range(20):
    started = time.perf_counter()
    for query in queries:
        query()
    again.append(time.perf_counter() - started)
memory = {}
with open("/proc/self/smaps_rollup") as rollup:
    for line in rollup:
        parts = line.split()
        if len(parts) == 3 and parts[2] == "kB":
            memory[parts[0].rstrip(":")] = int(parts[1]) / 1000
print(json.dumps({"load": loaded, "warm": warming, "first": sum(first),
                  "again": statistics.median(again), "pss": memory.get("Pss", 0),
                  "rss": memory.get("Rss", 0)}))
"""


def run(path: str, mode: str, texts: list[str]) -> dict[str, float]:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, path, mode, json.dumps(texts)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", type=int, default=400_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    from tessarin import Index
    from tessarin.server import sharing

    terms = random_terms(args.terms)
    index = Index.build(video_records(terms))
    rng = random.Random(7)
    texts = []
    for term, _ in rng.sample(terms, 10):  # each with one letter replaced
        k = rng.randrange(len(term))
        texts.append(term[:k] + rng.choice(string.ascii_lowercase) + term[k + 1 :])
    with tempfile.TemporaryDirectory() as folder:
        print(f"{args.terms:,} terms; medians of {args.repeat} rounds, in ms")
        head = ("file", "warmed", "load", "warm", "first", "again")
        print("{:<6} {:<6} {:>8} {:>8} {:>8} {:>8}  first/again    PSS    RSS".format(*head))
        kinds = []
        for version in (1, 2):
            path = os.path.join(folder, f"v{version}.idx")
            index.save(path, version=version)
            kinds.append((f"v{version}", path))
        publisher = None
        if sharing.supported():
            publisher = sharing.Publisher(kinds[-1][1])
            publisher.publish("starting")
            kinds.append(("worker", "announced:" + publisher.announcement))
        try:
            modes = ("no", "no-pop", "yes")
            for kind, path in kinds:
                rounds: dict[str, list[dict[str, float]]] = {mode: [] for mode in modes}
                for _ in range(args.repeat):
                    for mode in modes:
                        rounds[mode].append(run(path, mode, texts))
                for mode in modes:
                    med = {
                        k: statistics.median(r[k] for r in rounds[mode]) for k in rounds[mode][0]
                    }
                    ms = {k: v * 1000 for k, v in med.items()}
                    print(
                        f"{kind:<6} {mode:<6} {ms['load']:8.1f} "
                        f"{ms['warm']:8.1f} {ms['first']:8.2f} {ms['again']:8.2f}  "
                        f"{ms['first'] / ms['again']:10.1f}x {med['pss']:6.0f} {med['rss']:6.0f}"
                    )
        finally:
            if publisher is not None:
                publisher.close()


if __name__ == "__main__":
    main()
