"""A bounded load run of `tessarin serve` on loopback: requests per second,
latency percentiles and memory per worker.

Usage (from the repository root; needs wrk, `apt-get install wrk`, the serve
extra and, for the default data, the bench extra):

    python -m bench.load                      # 1,000,000 terms, 2 workers, 10 s a run
    python -m bench.load --data synthetic     # the same on random pseudo-words
    python -m bench.load --terms 100000 --seconds 3     # a quick look
    python -m bench.load --endpoints complete           # /complete alone
    python -m bench.load --against main --max-dist 1    # this tree beside main's

An index of a million terms is built once and kept at --index (default
under /tmp): with --data mixed (the default), the mixed data set of
bench/data.py (English words and two-word phrases, then words of six
languages; needs the bench extra), as search terms are; with --data
synthetic, pseudo-words of random letters (bench/synthetic.py), a worst
case for the walk (every short prefix exists, so a short query within two
edits reaches a large part of the trie). Each term leads to one to three
videos (bench.data.video_records).

The server runs as `tessarin serve INDEX --workers 2` on 127.0.0.1 with its
access log off; wrk, on the same machine, keeps --connections connections
busy for --seconds per run, cycling through queries as a search box sends
them: for each of 400 indexed terms given one typo, every prefix from 3
characters on, keystroke by keystroke. One run per endpoint (/search with
limit 10, /suggest with limit 8) and max_dist (1, 2), after a warm-up, in
--rounds interleaved rounds; the summary shows each one's best round.
/complete (limit 10, max_dist auto, the page's request) gets what a box
sends while a word is being completed: the same 400 terms, as they are and
with one typo, every prefix from 1 character on.

With --against REF, the same load runs against two servers side by side:
this tree's and one serving the Python package of the git commit REF (its
`python/` folder, taken by `git archive`, with this tree's native
extensions), both started before the first run and loaded alike. Each run
goes to one, then the other (in turns: ABBA), so that whatever else the
machine does weighs on both alike; the summary puts the two next to each
other, with their ratio. --max-dist gives the distances run (for every
endpoint; default: 1 and 2, /complete at auto).

Printed, and written to bench/results/load/load-<time>.json: requests/s, latency
percentiles (wrk's, client side, so they include the loopback HTTP round
trip), responses other than 200 and socket errors (a clean run has none),
the workers' CPU time per request (what a busy machine changes least),
and each worker's resident (RSS) and proportional (PSS) memory after
loading and after the runs. Figures only, no verdict: wrk and the workers
share the machine's cores, and whatever else runs on it shows.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

from bench.data import video_records
from bench.query_latency import one_typo
from bench.synthetic import random_terms
from tessarin import Index, IndexBuilder

UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def load_terms(data: str, n_terms: int) -> list[tuple[str, int]]:
    if data == "synthetic":
        return random_terms(n_terms)
    from bench.data import load_terms

    return load_terms(str(n_terms))[2]


def build_index(path: str, terms: list[tuple[str, int]]) -> None:
    started = time.perf_counter()
    builder = IndexBuilder()
    builder.add_many(video_records(terms))
    builder.index(video_top_n=10).save(path)
    print(f"built {path}: {len(terms):,} terms in {time.perf_counter() - started:.0f} s")


def typing_queries(terms: list[str], words: int = 400, seed: int = 11) -> list[str]:
    """Every prefix (3 characters on) of `words` indexed terms with one typo."""
    rng = random.Random(seed)
    queries = []
    for word in rng.sample(terms, words):
        word = one_typo(word, rng)
        queries += [word[:k] for k in range(3, len(word) + 1)]
    return queries


def completing_queries(terms: list[str], words: int = 400, seed: int = 11) -> list[str]:
    """Every prefix (1 character on) of `words` indexed terms (the same as
    typing_queries'), as they are and with one typo, each prefix once."""
    rng = random.Random(seed)
    queries: dict[str, None] = {}
    for word in rng.sample(terms, words):
        for typed in (word, one_typo(word, rng)):
            queries.update((typed[:k], None) for k in range(1, len(typed) + 1))
    return list(queries)


def checkout_of(ref: str, into: str) -> str:
    """A PYTHONPATH entry holding the package as it is at the git commit
    `ref`, with this tree's native extensions (the server's code is what
    differs; the native parts must be ones that commit can use)."""
    archive = subprocess.run(["git", "archive", ref, "python"], capture_output=True, check=True)
    subprocess.run(["tar", "-x", "-C", into], input=archive.stdout, check=True)
    import tessarin

    here = os.path.dirname(tessarin.__file__)
    there = os.path.join(into, "python", "tessarin")
    for name in os.listdir(here):
        if name.startswith("_native") and name.endswith((".so", ".pyd")):
            os.symlink(os.path.realpath(os.path.join(here, name)), os.path.join(there, name))
    return os.path.join(into, "python")


def revision(ref: str = "HEAD") -> str:
    found = subprocess.run(["git", "rev-parse", "--short", ref], capture_output=True, text=True)
    dirty = ref == "HEAD" and subprocess.run(["git", "diff", "--quiet", "HEAD"]).returncode
    return (found.stdout.strip() or ref) + ("+changes" if dirty else "")


class Server:
    """`tessarin serve INDEX` (None: the sample) on a loopback port, with
    its access log off, `extra` arguments and, if given, `env`. `--admin`
    (for the connection counts in /info) is passed to a release that has it."""

    def __init__(
        self, index: str | None, workers: int, threads: int, *extra: str, env=None, admin=True
    ) -> None:
        self.log = tempfile.TemporaryFile()  # noqa: SIM115 - closed with the server
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tessarin", "serve", *([index] if index else []),
             "--port", "0", "--workers", str(workers), "--threads", str(threads),
             "--no-access-log", "--reload-interval", "0", *(["--admin"] if admin else []), *extra],
            stdout=subprocess.DEVNULL, stderr=self.log, env=env,
        )  # fmt: skip
        self.url = self._address()
        deadline = time.monotonic() + 120
        while not self._ready(workers):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise SystemExit(f"the server did not start:\n{self.logs()}")
            time.sleep(0.2)

    def logs(self) -> str:
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def _address(self) -> str:
        for _ in range(600):
            found = re.search(r"at (http://[\d.]+:\d+)/", self.logs())
            if found:
                return found[1]
            time.sleep(0.1)
        raise SystemExit(f"no address from the server:\n{self.logs()}")

    def _ready(self, workers: int) -> bool:
        return self.logs().count("Application startup complete") >= workers

    def get(self, target: str) -> dict:
        with urllib.request.urlopen(self.url + target, timeout=30) as response:
            return json.load(response)

    def workers(self) -> list[int]:
        """The worker processes (uvicorn's children, or the children of the
        fork server that forks them; not multiprocessing's resource tracker)."""
        pids = []
        for pid in _children(self.process.pid):
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read()
            if b"multiprocessing.forkserver" in command:  # it forks the workers
                pids += _children(pid)
            elif b"resource_tracker" not in command:
                pids.append(pid)
        return pids or [self.process.pid]

    def cpu_seconds(self) -> float:
        """CPU time the worker processes have used (user and system, all
        their threads)."""
        return sum(cpu_seconds(pid) for pid in self.workers())

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()


def _children(pid: int) -> list[int]:
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            found += [int(p) for p in f.read().split()]
    return found


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(pid: int) -> dict[str, int]:
    """Resident and proportional set size, bytes (smaps_rollup)."""
    out = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Rss", "Pss"):
                out[key.lower()] = int(rest.split()[0]) * 1024
    return out


WRK_SCRIPT = """
local paths = {%s}
local i = 0
request = function()
  i = i %% #paths + 1
  return wrk.format("GET", paths[i])
end
"""


def run_wrk(url, paths, seconds, connections, threads, script_dir) -> dict:
    script = os.path.join(script_dir, "paths.lua")
    with open(script, "w") as f:
        f.write(WRK_SCRIPT % ",".join(json.dumps(p) for p in paths))
    command = ["wrk", "--latency", f"-t{threads}", f"-c{connections}", f"-d{seconds}s",
               "--timeout", "10s", "-s", script, url]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 60)
    if done.returncode:
        raise SystemExit(f"wrk failed:\n{done.stdout}{done.stderr}")
    return parse_wrk(done.stdout)


def _ms(text: str) -> float:
    number, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return float(number) * UNITS[unit]


def parse_wrk(out: str) -> dict:
    figures = {
        "requests_per_s": float(re.search(r"Requests/sec:\s+([\d.]+)", out)[1]),
        "requests": int(re.search(r"(\d+) requests in", out)[1]),
        "latency_ms": {
            p: _ms(re.search(rf"^\s+{p}%\s+(\S+)", out, re.M)[1]) for p in ("50", "90", "99")
        },
        "max_latency_ms": _ms(re.search(r"Latency\s+\S+\s+\S+\s+(\S+)", out)[1]),
        "non_200": 0,
        "socket_errors": 0,
    }
    non_2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if non_2xx:
        figures["non_200"] = int(non_2xx[1])
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if errors:
        figures["socket_errors"] = sum(int(g) for g in errors.groups())
    return figures


def main(argv=None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", type=int, default=1_000_000)
    parser.add_argument("--data", choices=("mixed", "synthetic"), default="mixed")
    parser.add_argument("--index", help="index file (built if missing)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=2, help="query threads per worker")
    parser.add_argument("--seconds", type=int, default=10, help="per run")
    parser.add_argument(
        "--rounds", type=int, default=3, help="runs of each kind, interleaved; the best is shown"
    )
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--wrk-threads", type=int, default=1)
    parser.add_argument(
        "--endpoints",
        default="search,suggest,complete",
        help="which to run, comma-separated (default search,suggest,complete)",
    )
    parser.add_argument(
        "--max-dist",
        help="distances to run, comma-separated, for every endpoint "
        "(default: 1,2 for /search and /suggest, auto for /complete)",
    )
    parser.add_argument(
        "--against", metavar="REF", help="also serve the package of this git commit"
    )
    parser.add_argument("--out", default=os.path.join("bench", "results", "load"))
    args = parser.parse_args(argv)
    if not shutil.which("wrk"):
        raise SystemExit("wrk not found: apt-get install wrk")

    path = args.index or os.path.join(
        tempfile.gettempdir(), f"tessarin-load-{args.data}-{args.terms}.idx"
    )
    terms = load_terms(args.data, args.terms)
    if not os.path.exists(path):
        build_index(path, terms)
    endpoints = args.endpoints.split(",")
    if "complete" in endpoints and not hasattr(Index, "complete"):
        print("(no /complete run: this checkout's Index has no complete)")
        endpoints.remove("complete")
    queries = typing_queries([t for t, _ in terms])
    completing = completing_queries([t for t, _ in terms])
    del terms
    index = Index.load(path)
    print(f"{index!r}; {len(queries):,} queries as typed, {len(completing):,} to complete")
    del index

    scratch_dir = tempfile.TemporaryDirectory()
    servers = {revision(): Server(path, args.workers, args.threads)}
    if args.against:
        baseline = checkout_of(args.against, scratch_dir.name)
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [baseline, env.get("PYTHONPATH")]))
        # An editable install's import hook wins over PYTHONPATH: both servers
        # would then run this tree's package.
        imported = subprocess.run(
            [sys.executable, "-c", "import tessarin; print(tessarin.__file__)"],
            env=env,
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        if not imported.startswith(baseline + os.sep):
            sys.exit(
                f"--against: the package imports from {imported}, not from {baseline} "
                "(an editable install? install the package with `pip install .`)"
            )
        with open(os.path.join(baseline, "tessarin", "cli", "serve.py"), encoding="utf-8") as cli:
            admin = "--admin" in cli.read()
        servers[revision(args.against)] = Server(
            path, args.workers, args.threads, env=env, admin=admin
        )
    report: dict = {
        "when": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(),
                    "load_average_before": os.getloadavg()},
        "setup": {"terms": args.terms, "data": args.data, "workers": args.workers,
                  "threads": args.threads, "seconds": args.seconds, "rounds": args.rounds,
                  "connections": args.connections,
                  "wrk_threads": args.wrk_threads, "queries": len(queries),
                  "completing_queries": len(completing), "servers": list(servers)},
        "runs": [],
    }  # fmt: skip
    server = next(iter(servers.values()))
    try:
        info = server.get("/info")
        report["index_memory_bytes"] = info["index"]["memory_bytes"]
        pids = server.workers()
        report["memory_after_load"] = {str(p): memory(p) for p in pids}
        configs = [
            (e, limit, d)
            for e, limit, dists in (("search", 10, "1,2"), ("suggest", 8, "1,2"),
                                    ("complete", 10, "auto"))
            for d in (args.max_dist or dists).split(",")
            if e in endpoints
        ]  # fmt: skip
        scratch = scratch_dir.name
        turn = 0
        for round_ in range(args.rounds):
            for endpoint, limit, max_dist in configs:
                paths = [
                    f"/{endpoint}?q={urllib.parse.quote(q)}&max_dist={max_dist}&limit={limit}"
                    for q in (completing if endpoint == "complete" else queries)
                ]
                order = list(servers.items())
                if turn % 2:
                    order.reverse()
                turn += 1
                for name, each in order:
                    if round_ == 0:
                        # What the first queries derive (seconds on a busy
                        # machine) is done before any load, on every worker.
                        for path_ in paths[: 4 * args.workers]:
                            each.get(path_)
                        run_wrk(each.url, paths, min(3, args.seconds), args.connections,
                                args.wrk_threads, scratch)  # warm-up  # fmt: skip
                    cpu = each.cpu_seconds()
                    figures = run_wrk(each.url, paths, args.seconds, args.connections,
                                      args.wrk_threads, scratch)  # fmt: skip
                    cpu = each.cpu_seconds() - cpu
                    figures.update(cpu_ms_per_request=cpu * 1e3 / max(1, figures["requests"]))
                    figures.update(endpoint=endpoint, max_dist=_distance(max_dist),
                                   round=round_ + 1, server=name,
                                   load_average=os.getloadavg()[0])  # fmt: skip
                    report["runs"].append(figures)
                    print(_row(figures), f"round {round_ + 1}", flush=True)
        report["memory_after_runs"] = {str(p): memory(p) for p in pids}
        report["master_memory"] = memory(server.process.pid)
    finally:
        for each in servers.values():
            each.stop()
        scratch_dir.cleanup()
    report["machine"]["load_average_after"] = os.getloadavg()
    print()
    print(summary(report))
    os.makedirs(args.out, exist_ok=True)
    stamp = report["when"].replace("-", "").replace(":", "")
    out = os.path.join(args.out, f"load-{stamp}.json")
    with open(out, "w") as f:
        json.dump(report, f, indent=1)
    print(f"\nwritten: {out}")
    return report


def _distance(text: str) -> int | str:
    return int(text) if text.isdigit() else text


def _row(r: dict) -> str:
    lat = r["latency_ms"]
    server = f" {r['server']} |" if "server" in r else ""
    return (
        f"|{server} /{r['endpoint']} | {r['max_dist']} | {r['requests_per_s']:,.0f} | "
        f"{lat['50']:.2f} | {lat['90']:.2f} | {lat['99']:.2f} | "
        f"{r['non_200'] + r['socket_errors']} |"
        + (f" {r['cpu_ms_per_request']:.3f} |" if "cpu_ms_per_request" in r else "")
    )


def best_runs(runs: list[dict]) -> list[dict]:
    """Of each endpoint and distance, the round with the most requests/s:
    the one least disturbed by whatever else the machine was doing."""
    best: dict[tuple[str, str, int | str], dict] = {}
    for run in runs:
        key = (run["endpoint"], run["max_dist"], run.get("server", ""))
        if key not in best or run["requests_per_s"] > best[key]["requests_per_s"]:
            best[key] = run
    return list(best.values())


def _table(report: dict) -> list[str]:
    servers = report["setup"].get("servers", [])
    side = len(servers) > 1
    best = best_runs(report["runs"])
    lines = [
        f"|{' server |' if side else ''} endpoint | max_dist | requests/s | p50 ms | p90 ms | "
        "p99 ms | errors | CPU ms/request |",
        f"|{'---|' if side else ''}---|---|---|---|---|---|---|---|",
        *(_row(r) for r in best),
    ]
    if side:  # this tree's figures against the other's, per endpoint and distance
        lines += ["", f"| endpoint | max_dist | requests/s ratio | p99 ratio | CPU/request "
                  f"ratio ({servers[0]} / {servers[1]}) |", "|---|---|---|---|---|"]  # fmt: skip
        pairs: dict[tuple[str, int | str], dict[str, dict]] = {}
        for r in best:
            pairs.setdefault((r["endpoint"], r["max_dist"]), {})[r["server"]] = r
        for (endpoint, max_dist), of in pairs.items():
            a, b = of[servers[0]], of[servers[1]]
            lines.append(
                f"| /{endpoint} | {max_dist} | {a['requests_per_s'] / b['requests_per_s']:.2f} | "
                f"{a['latency_ms']['99'] / b['latency_ms']['99']:.2f} | "
                f"{_median_cpu(report, a) / _median_cpu(report, b):.2f} |"
            )
    return lines


def _median_cpu(report: dict, like: dict) -> float:
    """The median CPU time a request took over the rounds of `like`'s server,
    endpoint and distance: what the machine's load changes least."""
    return statistics.median(
        r["cpu_ms_per_request"]
        for r in report["runs"]
        if (r["endpoint"], r["max_dist"], r["server"])
        == (like["endpoint"], like["max_dist"], like["server"])
    )


def summary(report: dict) -> str:
    setup = report["setup"]
    errors = sum(r["non_200"] + r["socket_errors"] for r in report["runs"])
    lines = [
        f"{setup['terms']:,} terms ({setup['data']}), "
        f"{setup['workers']} workers x {setup['threads']} threads, "
        f"wrk {setup['connections']} connections, {setup['seconds']} s a run",
        "",
        *_table(report),
        "",
        f"the best of {setup['rounds']} rounds by requests/s; errors (responses other than 200, "
        f"socket errors) over all rounds: {errors}; CPU ms/request: the workers' CPU time "
        "(user and system) over the requests of the run (the ratio: of the median round)",
        "",
        f"index in memory: {report['index_memory_bytes'] / 1e6:,.1f} MB",
    ]
    for when in ("memory_after_load", "memory_after_runs"):
        for pid, m in report[when].items():
            lines.append(
                f"worker {pid} {when.replace('_', ' ')}: RSS {m['rss'] / 1e6:,.1f} MB, "
                f"PSS {m['pss'] / 1e6:,.1f} MB"
            )
    m = report["master_memory"]
    lines.append(f"supervisor: RSS {m['rss'] / 1e6:,.1f} MB, PSS {m['pss'] / 1e6:,.1f} MB")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
