"""A bounded loopback run of `tessarin serve` under slow clients: many
sockets that send a request head a byte a second, and a well-behaved client
beside them; what the well-behaved client gets.

Usage (from the repository root, with the serve extra):

    python -m bench.slow_clients                  # 1,100 slow sockets, 1 worker, 40 s
    python -m bench.slow_clients --slow 0         # the well-behaved client alone
    python -m bench.slow_clients --pythonpath OTHER/python   # serve another checkout

The server serves the sample index (`tessarin serve` with its defaults, its
access log off) with --workers worker processes. First the well-behaved
client runs alone for --baseline seconds; then --slow sockets connect (in
batches of 100 every 0.1 s) and each sends `GET /search?q=... HTTP/1.1`, a
header field, and one more byte a second, never ending its head; a socket
that the server closes connects again at once, as a determined client
would. Meanwhile, for --seconds, the well-behaved client sends --rate
requests a second (the prefixes of a few words, as a search box does, and
/health every tenth), each on a new connection, and counts as failed any
answer other than 200 or none within --timeout seconds.

Printed, and written to bench/results/slow_clients/slow-<time>.json: the
well-behaved client's requests, success rate and latency percentiles (from
connecting to the end of the answer) alone and under the slow sockets; the
slow sockets' connections and what the server answered them (408, 503, a
close); the worker's resident memory and open files at the end. Figures,
no verdict: client and server share the machine's cores.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import datetime
import json
import multiprocessing
import os
import platform
import random
import resource
import statistics
import time

from bench.load import Server, memory

WORDS = ["restaurant", "weather", "football", "cats", "music video", "recipes"]


def raise_file_limit(need: int) -> int:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < need:
        soft = need if hard == resource.RLIM_INFINITY else min(need, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


async def fetch(host: str, port: int, target: str, timeout: float) -> tuple[int | None, float]:
    """(status or None, seconds) of GET target on a new connection."""
    started = time.perf_counter()

    async def exchange() -> bytes:
        reader, writer = await asyncio.open_connection(host, port)
        writer.write(f"GET {target} HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n".encode())
        try:
            return await reader.read()
        finally:
            writer.close()

    try:
        answer = await asyncio.wait_for(exchange(), timeout)
        status: int | None = int(answer[9:12])
    except (OSError, asyncio.TimeoutError, ValueError):
        status = None
    return status, time.perf_counter() - started


async def well_behaved(
    host: str, port: int, seconds: float, rate: float, timeout: float
) -> list[tuple[int | None, float]]:
    targets = [f"/search?q={w[:k].replace(' ', '+')}" for w in WORDS for k in range(2, len(w) + 1)]
    results: list[tuple[int | None, float]] = []
    tasks = []
    started = time.monotonic()
    for n in range(int(seconds * rate)):
        await asyncio.sleep(max(0.0, started + n / rate - time.monotonic()))
        target = "/health" if n % 10 == 9 else targets[n % len(targets)]
        task = asyncio.ensure_future(fetch(host, port, target, timeout))
        task.add_done_callback(lambda t: results.append(t.result()))
        tasks.append(task)
    await asyncio.gather(*tasks)
    return results


async def slow_socket(host: str, port: int, stop, stats: collections.Counter) -> None:
    await asyncio.sleep(random.random())  # spread the bytes over each second
    head = b"GET /search?q=slow HTTP/1.1\r\nHost: bench\r\nX-Slow: "
    while not stop.is_set():
        try:
            reader, writer = await asyncio.open_connection(host, port)
        except OSError:
            stats["connect failed"] += 1
            await asyncio.sleep(1)
            continue
        stats["connections"] += 1
        stats["open"] += 1
        answer = asyncio.ensure_future(reader.read(65536))
        try:
            writer.write(head)
            while not stop.is_set():
                await asyncio.wait([answer], timeout=1)
                if answer.done():
                    break
                writer.write(b"a")
        except OSError:
            pass
        finally:
            stats["open"] -= 1
            writer.close()
        if not answer.done():
            answer.cancel()
            break
        try:
            data = answer.result()
        except OSError:
            data = b""
        stats[f"answered {int(data[9:12])}" if data[:9] == b"HTTP/1.1 " else "closed"] += 1


def attack(host: str, port: int, sockets: int, ready, stop, out) -> None:
    """The slow sockets, in a process of their own (so that their work does
    not delay the well-behaved client's): `ready` once all are connected,
    until `stop`; their counts to `out`."""

    async def connect_all() -> collections.Counter:
        stats: collections.Counter = collections.Counter()
        slow = []
        for k in range(sockets):
            slow.append(asyncio.ensure_future(slow_socket(host, port, stop, stats)))
            if k % 100 == 99:
                await asyncio.sleep(0.1)
        await asyncio.sleep(2)  # every slow socket connected and sending
        out.put(stats["open"])
        ready.set()
        while not stop.is_set():
            await asyncio.sleep(0.1)
        open_at_end = stats["open"]
        await asyncio.gather(*slow)
        del stats["open"]
        stats["open at the end"] = open_at_end
        return stats

    out.put(dict(asyncio.run(connect_all())))


def percentiles(results: list[tuple[int | None, float]]) -> dict:
    ok = [seconds * 1000 for status, seconds in results if status == 200]
    statuses = collections.Counter(str(status) for status, _ in results)
    figures = {"requests": len(results), "ok": len(ok), "statuses": dict(statuses)}
    figures["success"] = len(ok) / len(results) if results else 0.0
    if len(ok) >= 2:
        cuts = statistics.quantiles(ok, n=100, method="inclusive")
        figures.update(p50_ms=cuts[49], p99_ms=cuts[98], max_ms=max(ok))
    return figures


async def run(args: argparse.Namespace, server: Server) -> dict:
    host, port = server.url.removeprefix("http://").split(":")
    report: dict = {"alone": None, "under_slow": None}
    if args.baseline > 0:
        report["alone"] = percentiles(
            await well_behaved(host, int(port), args.baseline, args.rate, args.timeout)
        )
        print("alone:", _row(report["alone"]), flush=True)
    ready, stop, out = multiprocessing.Event(), multiprocessing.Event(), multiprocessing.Queue()
    attacker = multiprocessing.Process(
        target=attack, args=(host, int(port), args.slow, ready, stop, out)
    )
    attacker.start()
    ready.wait()
    print(f"slow sockets open: {out.get():,}", flush=True)
    pids = server.workers()
    cpu = {pid: cpu_seconds(pid) for pid in pids}
    started = time.monotonic()
    results = await well_behaved(host, int(port), args.seconds, args.rate, args.timeout)
    elapsed = time.monotonic() - started
    report["workers"] = {
        str(pid): {
            "rss": memory(pid)["rss"],
            "open_files": open_files(pid),
            "cpu_share": (cpu_seconds(pid) - cpu[pid]) / elapsed,
        }
        for pid in pids
    }
    stop.set()
    report["slow"] = out.get()
    attacker.join()
    report["under_slow"] = percentiles(results)
    print("under slow sockets:", _row(report["under_slow"]), flush=True)
    return report


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _row(figures: dict) -> str:
    latency = (
        f"p50 {figures['p50_ms']:.1f} ms, p99 {figures['p99_ms']:.1f} ms"
        if "p50_ms" in figures
        else "no latency (too few answers)"
    )
    return (
        f"{figures['ok']:,} of {figures['requests']:,} answered 200 "
        f"({figures['success']:.1%}), {latency}; statuses {figures['statuses']}"
    )


def open_files(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--slow", type=int, default=1100, help="slow sockets")
    parser.add_argument("--seconds", type=float, default=40, help="of the run under slow sockets")
    parser.add_argument("--baseline", type=float, default=5, help="seconds of the client alone")
    parser.add_argument("--rate", type=float, default=20, help="well-behaved requests a second")
    parser.add_argument("--timeout", type=float, default=5, help="a request's, in seconds")
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--pythonpath", help="serve the package found here (another checkout)")
    parser.add_argument("--out", default=os.path.join("bench", "results", "slow_clients"))
    parser.add_argument("serve_args", nargs="*", help="more `tessarin serve` arguments (after --)")
    args = parser.parse_args(argv)
    files = raise_file_limit(args.slow + 256)
    env = None
    if args.pythonpath:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [args.pythonpath, *filter(None, [os.environ.get("PYTHONPATH")])]))  # fmt: skip
    server = Server(None, args.workers, 2, *args.serve_args, env=env)
    report: dict = {
        "when": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(),
                    "load_average_before": os.getloadavg(), "open_files_limit": files},
        "setup": {"slow": args.slow, "seconds": args.seconds, "baseline": args.baseline,
                  "rate": args.rate, "timeout": args.timeout, "workers": args.workers,
                  "pythonpath": args.pythonpath, "serve_args": args.serve_args},
    }  # fmt: skip
    try:
        report.update(asyncio.run(run(args, server)))
    finally:
        server.stop()
    report["machine"]["load_average_after"] = os.getloadavg()
    print(f"slow sockets: {report['slow']}")
    for pid, figures in report["workers"].items():
        print(
            f"worker {pid}, under slow sockets: {figures['cpu_share']:.0%} of a core; "
            f"at the end, RSS {figures['rss'] / 1e6:,.1f} MB, {figures['open_files']:,} open files"
        )
    os.makedirs(args.out, exist_ok=True)
    stamp = report["when"].replace("-", "").replace(":", "")
    out = os.path.join(args.out, f"slow-{stamp}.json")
    with open(out, "w") as f:
        json.dump(report, f, indent=1)
    print(f"written: {out}")
    return report


if __name__ == "__main__":
    main()
