"""`Index.load` of a file: wall time, the first query, and the memory it
takes, alone and with several processes loading one file.

    python -m bench.index_load [--terms 1000000] [--index PATH] [--repeat 5]
                               [--processes 1,4] [--kinds v1,v2,v2-in-place,v2-sealed,worker]
                               [--serve 1,2,4] [--checks 5]

The index is the one `bench.load` serves (the mixed data set of bench/data.py,
each term leading to one to three videos, ten videos per node), built once
and kept at /tmp/tessarin-load-mixed-N.idx (or --index); from it this writes
PATH-v1.idx (format version 1, the saved form, decoded when loaded) and
PATH-v2.idx (version 2, the mapped form, used in place). The files are read
once before timing, so the page cache holds them: the figures are those of a
warm cache, what a server reloading a file it was just given sees.

Kinds: `v1`, `Index.load` of the version 1 file; `v2`, of the version 2
file (read into private memory once, then used in place); `v2-in-place`,
`Index.load(path, in_place=True)` (mapped); `v2-sealed`, a sealed memory
copy made once by this process (`tessarin.storage.files.sealed_copy`, as a
server's supervisor would) that each process maps through /proc/PID/fd/N;
`worker`, the same as a worker of `tessarin serve` loads it, with
`verify=False` (the supervisor checked the copy's checksums once).

`v2-no-verify` and `v2-in-place-no-verify` are `v2` and `v2-in-place`
with `verify=False` (the structure checked, not the checksums).

Each load runs in a fresh process: `Index.load` timed alone, then the first
query (a search at max_dist 1) and the same query again, warm (the median of
20). Memory is read from /proc/self/smaps_rollup after the first query,
above what it was before the load: resident (Rss), proportional (Pss, each
shared page divided by the processes that map it), private and shared. With
--processes N, N processes load and query at once and report while all are
alive; their Pss is added up (what N workers take together). Printed per
kind: the medians over --repeat rounds. The first query after a load is
also timed for completion (`complete`, prefix "choc" at max_dist 1), whose
bound an index file stores.

With --checks R: where a version 2 load's time goes, in this process, on
the file's bytes already in memory (no reading, no mapping): the form read
with and without its checksums (`NativeIndex.from_mapped`, R rounds taken
in turns, the median of each), the difference being the checksums alone,
and the time without them the structural checks (the arrays' bounds, the
tree, the stored aids against the arrays).

With --serve K,...: `tessarin serve` of the version 2 file with K workers
(one sealed copy mapped by all, for K > 1), for each K: once every worker
has started and answered a few queries, the PSS of the supervisor, of each
worker, of the helper processes (multiprocessing's fork server and resource
tracker) and of all together (from /proc/PID/smaps_rollup), each worker's
private memory (Private_Clean + Private_Dirty), the seconds from the
supervisor's copy (or, for one worker, from the command's start) to each
worker's start of serving (its interpreter, imports and index load), and
each worker's milliseconds from the start of its index load to its index
ready (loaded and warmed), all read from the log.
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
def memory():
    fields = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1])
    private = fields["Private_Clean"] + fields["Private_Dirty"]
    shared = fields["Shared_Clean"] + fields["Shared_Dirty"]
    return {"rss": fields["Rss"], "pss": fields["Pss"], "private": private, "shared": shared}
before = memory()
started = time.perf_counter()
index = Index.load(sys.argv[1], in_place=sys.argv[2] == "1", verify=sys.argv[3] == "1")
loaded = time.perf_counter()
index.search("chocolat cake", 1)
first = time.perf_counter()
index.complete("choc", 1)
first_complete = time.perf_counter() - first
def warm(query):
    times = []
    for _ in range(20):
        t = time.perf_counter()
        query()
        times.append(time.perf_counter() - t)
    return sorted(times)[10]
after = memory()
print(json.dumps({"load": loaded - started, "first": first - loaded,
                  "warm": warm(lambda: index.search("chocolat cake", 1)),
                  "first_complete": first_complete,
                  "warm_complete": warm(lambda: index.complete("choc", 1)),
                  **{k: after[k] - before[k] for k in after}}), flush=True)
sys.stdin.read()  # stay alive, mapped, until the others have reported too
"""


def run_round(path: str, in_place: bool, verify: bool, processes: int) -> list[dict[str, float]]:
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD, path, "1" if in_place else "0", "1" if verify else "0"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        for _ in range(processes)
    ]
    reports = [json.loads(child.stdout.readline()) for child in children]  # type: ignore[union-attr]
    for child in children:
        child.communicate("")
    return reports


def warm_cache(path: str) -> None:
    with open(path, "rb") as file:
        while file.read(1 << 24):
            pass


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", type=int, default=1_000_000)
    parser.add_argument("--index", help="index file (built if missing)")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--processes", default="1,4")
    parser.add_argument("--kinds", default="v1,v2,v2-in-place,v2-sealed,worker")
    parser.add_argument("--serve", default="", help="worker counts to serve with, e.g. 1,2,4")
    parser.add_argument("--checks", type=int, default=0, help="rounds of the in-memory checks")
    args = parser.parse_args(argv)
    path = args.index or os.path.join(
        tempfile.gettempdir(), f"tessarin-load-mixed-{args.terms}.idx"
    )
    from bench.file_sections import read_table
    from tessarin import Index
    from tessarin.storage.files import sealed_copy

    stem = path.removesuffix(".idx")
    files = {1: f"{stem}-v1.idx", 2: f"{stem}-v2.idx"}
    if not all(os.path.exists(f) for f in files.values()):
        if not os.path.exists(path):
            from bench.load import build_index, load_terms

            build_index(path, load_terms("mixed", args.terms))
        index = Index.load(path)
        for version, name in files.items():
            index.save(name, version=version)
        del index
    for name in files.values():
        warm_cache(name)
        terms = read_table(name)[1]["terms"]
        size = os.path.getsize(name)
        print(
            f"{name}: {size / 1e6:,.1f} MB, {terms:,} terms, "
            f"{size / max(1, terms):,.1f} bytes a term"
        )
    if args.checks:
        checks(files[2], args.checks)
    kinds = list(filter(None, args.kinds.split(",")))
    # The sealed copy takes the file's size in memory: made only when used.
    sealed = sealed_copy(files[2]) if {"v2-sealed", "worker"} & set(kinds) else None
    copy = f"/proc/{os.getpid()}/fd/{sealed}"
    sources = {
        "v1": (files[1], False, True),
        "v2": (files[2], False, True),
        "v2-in-place": (files[2], True, True),
        "v2-no-verify": (files[2], False, False),
        "v2-in-place-no-verify": (files[2], True, False),
        "v2-sealed": (copy, False, True),
        "worker": (copy, False, False),
    }
    for kind in kinds:
        source, in_place, verify = sources[kind]
        for processes in map(int, args.processes.split(",")):
            rounds = [run_round(source, in_place, verify, processes) for _ in range(args.repeat)]
            every = [r for one in rounds for r in one]

            def med(key: str, reports: list[dict[str, float]] = every) -> float:
                return statistics.median(r[key] for r in reports)

            together = statistics.median(sum(r["pss"] for r in one) for one in rounds)
            print(
                f"{kind:12} x{processes}: load {med('load') * 1000:7,.1f} ms, first query "
                f"{med('first') * 1000:6,.1f} ms (warm {med('warm') * 1e6:,.0f} µs); per process "
                f"RSS {med('rss') / 1000:5,.0f} MB, private {med('private') / 1000:5,.0f} MB, "
                f"shared {med('shared') / 1000:5,.0f} MB, PSS {med('pss') / 1000:5,.0f} MB; "
                f"PSS of all {together / 1000:5,.0f} MB; complete first "
                f"{med('first_complete') * 1000:6,.2f} ms, "
                f"warm {med('warm_complete') * 1000:6,.2f} ms"
            )
    if sealed is not None:
        os.close(sealed)
    totals = {w: serve_round(files[2], w) for w in map(int, filter(None, args.serve.split(",")))}
    if 1 in totals and len(totals) > 1:
        print(
            "serve: PSS of all against one worker's: "
            + ", ".join(f"x{w} {t / totals[1]:.2f}" for w, t in totals.items() if w > 1)
        )


def checks(path: str, rounds: int) -> None:
    """The checksums and the structural checks of a version 2 file, timed
    apart on its bytes in memory."""
    import time

    from tessarin._native import NativeIndex
    from tessarin.storage import container

    with open(path, "rb") as file:
        data = file.read()
    contents = container.parse_file(data)
    offset, length = contents.offset, len(contents.form)
    contents.form.release()
    times: dict[bool, list[float]] = {True: [], False: []}
    for _ in range(rounds):
        for verify in (True, False):
            start = time.perf_counter()
            native = NativeIndex.from_mapped(data, offset, length, True, verify)
            times[verify].append(time.perf_counter() - start)
            del native
    with_sums, without = (statistics.median(times[v]) for v in (True, False))
    print(
        f"checks of the form ({length / 1e6:,.1f} MB in memory), medians of {rounds}: "
        f"all {with_sums * 1000:,.1f} ms, structure alone (verify=False) "
        f"{without * 1000:,.1f} ms, checksums alone {(with_sums - without) * 1000:,.1f} ms "
        f"({length / max(with_sums - without, 1e-9) / 1e9:,.1f} GB/s)"
    )


def smaps(pid: int) -> dict[str, int]:
    """The fields of a process's smaps_rollup, in kB."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1])
    return fields


def smaps_pss(pid: int) -> int:
    """The PSS of a process in kB, but for its mappings of the sealed copy
    of the index (see `SEALED`)."""
    pss = smaps(pid).get("Pss", 0)
    with open(f"/proc/{pid}/smaps") as maps:
        sealed = False
        for line in maps:
            if line[:1].isdigit() or line[:1] in "abcdef":  # a mapping's first line
                sealed = SEALED in line
            elif sealed and line.startswith("Pss:"):
                pss -= int(line.split()[1])
    return pss


#: The name of the supervisor's sealed copy of the index: its pages are in
#: no process's PSS but where mapped (a worker maps only the pages it
#: reads), so they are counted once, whole, apart from the processes'.
SEALED = "/memfd:tessarin-index"


def private_kb(pid: int) -> int:
    fields = smaps(pid)
    return fields.get("Private_Clean", 0) + fields.get("Private_Dirty", 0)


def children_of(pid: int) -> list[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(p) for p in file.read().split()]


def processes_of(supervisor: int) -> dict[int, str]:
    """The processes below `supervisor` by role: "worker", "fork server" (a
    child of the supervisor, whose children are the workers it forked) or
    "tracker" (multiprocessing's resource tracker)."""
    found = {}
    for child in children_of(supervisor):
        with open(f"/proc/{child}/cmdline") as file:
            line = file.read()
        if "resource_tracker" in line:
            found[child] = "tracker"
        elif "forkserver" in line:
            found[child] = "fork server"
            found.update(dict.fromkeys(children_of(child), "worker"))
        else:
            found[child] = "worker"
    return found


def log_time(line: str) -> float:
    import datetime

    stamp = " ".join(line.split()[:2])
    return datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S,%f").timestamp()


def serve_round(path: str, workers: int) -> int:
    """Serves `path` with `workers` workers, prints what it takes; returns
    the PSS of all in kB."""
    import re
    import time
    import urllib.request

    with tempfile.TemporaryFile() as err:
        launched = time.time()
        server = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "tessarin",
                "serve",
                path,
                "--workers",
                str(workers),
                "--threads",
                "1",
                "--port",
                "0",
                "--reload-interval",
                "0",
            ],
            stdout=subprocess.DEVNULL,
            stderr=err,
        )
        try:

            def logs() -> str:
                # Read apart from the server's offset, which the file shares.
                return os.pread(err.fileno(), os.fstat(err.fileno()).st_size, 0).decode()

            deadline = time.monotonic() + 300
            while logs().count("Application startup complete") < workers:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit(f"tessarin serve did not start:\n{logs()}")
                time.sleep(0.05)
            url = re.search(r"at (http://[^/]+)/", logs())[1]  # type: ignore[index]
            for k in range(40):  # fresh connections: spread over the workers
                for query in (f"/search?q=chocolat+cake{k}", f"/complete?q=choc{k % 5}"):
                    urllib.request.urlopen(url + query, timeout=60).read()
            text = logs().splitlines()
            copied = [log_time(line) for line in text if "copied and checked once" in line]
            ready = [log_time(line) for line in text if "tessarin.server: worker " in line]
            loads = [line.split("index ready in ")[1].split(" ms")[0] + " ms (" +
                     line.split("(loaded in ")[1].split(" ms")[0] + " + " +
                     line.split("warmed in ")[1].split(" ms")[0] + ")"
                     for line in text if "index ready in " in line]  # fmt: skip
            begin = copied[0] if copied else launched
            roles = processes_of(server.pid) if workers > 1 else {}
            workers_of = [p for p, r in roles.items() if r == "worker"]
            helpers = [p for p, r in roles.items() if r != "worker"]
            own = smaps_pss(server.pid)
            each = [smaps_pss(p) for p in workers_of]
            aside = sum(smaps_pss(p) for p in helpers)
            private = [private_kb(p) for p in workers_of] or [private_kb(server.pid)]
            copy = os.path.getsize(path) // 1000 if workers > 1 else 0
            total = own + sum(each) + aside + copy
            label = "supervisor" if workers > 1 else "the one process"
            print(
                f"serve x{workers}: PSS of all {total / 1000:5,.0f} MB ({label} {own / 1000:,.0f}"
                + "".join(f", worker {w / 1000:,.0f}" for w in each)
                + (", " + " and ".join(roles[p] for p in helpers) if helpers else "")
                + (f" {aside / 1000:,.0f}" if helpers else "")
                + (f", the sealed copy {copy / 1000:,.0f}" if copy else "")
                + " MB); private per worker "
                + ", ".join(f"{p / 1000:,.0f}" for p in private)
                + " MB; ready after "
                + ", ".join(f"{r - begin:.2f}" for r in ready)
                + " s; index load to ready (load + warm) "
                + ", ".join(loads)
            )
        finally:
            server.terminate()
            server.wait(60)
    return total


if __name__ == "__main__":
    main()
