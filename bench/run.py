"""The benchmark suite: this module beside its peers, on the same data.

    pip install '.[bench]' && python -m bench.run            # full run
    python -m bench.run --quick                              # smoke run, ~1 min
    python -m bench.run --sizes 10k,83k --rounds 5 --budget 20

(from the repository root: the scripts of bench/ run as modules.)

For each data set (see data.py) it draws the queries, then runs every engine
(see engines.py) in a process of its own on the same terms and queries:
this module, a plain-Python trie walk, rapidfuzz's brute force, symspellpy's
lookup and keyvi's fuzzy lookup. It prints a table per data set and writes
all figures, the machine description and the date to bench/results/*.json.

It checks that the terms every peer finds agree with fuzzy_match (no limit)
where the jobs are the same, and lists and explains every disagreement.
Figures are printed, never asserted: timing depends on the machine and its
load. Latencies are per-query medians over --rounds rounds; the figures of a
query set are the median and 99th percentile over its queries. Slow peers
run the queries in order until --budget seconds are spent (at least
--min-queries of them), and their ratios to this module are taken over the
same queries.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import importlib.util
import json
import os
import pickle
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench import data

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PEER_MODULES = {
    "plain-trie": None,
    "rapidfuzz": "rapidfuzz",
    "symspellpy": "symspellpy",
    "keyvi": "keyvi",
}
ALL_ENGINES = ["tessarin", "plain-trie", "rapidfuzz", "symspellpy", "keyvi"]


# --- machine ----------------------------------------------------------------


def machine_description():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = None
    try:
        with open("/proc/meminfo") as f:
            mem = int(f.readline().split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    versions = {}
    for name in ("tessarin", "rapidfuzz", "symspellpy", "editdistpy", "keyvi", "wordfreq", "numpy"):
        try:
            versions[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            versions[name] = None
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_bytes": mem,
        "platform": platform.platform(),
        "python": platform.python_implementation() + " " + platform.python_version(),
        "packages": versions,
    }


# --- distances for explaining disagreements ---------------------------------


def levenshtein(a: str, b: str) -> int:
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


def osa(a: str, b: str) -> int:
    """Optimal string alignment: Levenshtein plus swaps of neighbours."""
    rows = [list(range(len(b) + 1))]
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            v = min(rows[-1][j - 1] + (ca != cb), rows[-1][j] + 1, cur[j - 1] + 1)
            if i > 1 and j > 1 and ca == b[j - 2] and a[i - 2] == cb:
                v = min(v, rows[-2][j - 2] + 1)
            cur.append(v)
        rows.append(cur)
    return rows[-1][-1]


def compare(engine, ours, peer, queries, k, ordered=False):
    """Disagreements between two engines' results, classified.

    ours, peer: per query, a list of (term, distance). Returns a summary with
    counts per kind and a few examples of each kind.
    """
    kinds: dict[str, int] = {}
    examples: dict[str, list] = {}

    def note(kind, example):
        kinds[kind] = kinds.get(kind, 0) + 1
        if len(examples.setdefault(kind, [])) < 5:
            examples[kind].append(example)

    for q, mine, theirs in zip(queries, ours, peer, strict=True):
        if ordered and mine == theirs:
            continue
        a, b = dict(mine), {}
        for term, d in theirs:
            if term in b:
                note(
                    "the peer lists a term twice, with different distances"
                    if b[term] != d
                    else "the peer lists a term twice",
                    {"query": q, "term": term, "distances": [b[term], d]},
                )
                d = min(d, b[term])
            b[term] = d
        if ordered and a == b and len(mine) == len(theirs):
            note("same terms, different order", {"query": q})
            continue
        for term in a.keys() - b.keys():
            lev = levenshtein(q, term)
            if lev != a[term]:
                kind = "ours reports a wrong distance"
            elif not q:
                kind = "missed by the peer: it answers nothing for the empty query"
            else:
                kind = "missed by the peer"
            note(kind, {"query": q, "term": term, "levenshtein": lev})
        for term in b.keys() - a.keys():
            lev, o = levenshtein(q, term), osa(q, term)
            if lev <= k:
                kind = "missed by ours"
            elif o <= k:
                kind = "extra in the peer: a swap of neighbours counted as one edit"
            else:
                kind = "extra in the peer, not within the distance"
            note(
                kind,
                {"query": q, "term": term, "peer_distance": b[term], "levenshtein": lev, "osa": o},
            )
        for term in a.keys() & b.keys():
            if a[term] != b[term]:
                o = osa(q, term)
                kind = (
                    "distance differs: the peer counts a swap as one edit"
                    if b[term] == o and o < a[term]
                    else "distance differs"
                )
                note(kind, {"query": q, "term": term, "ours": a[term], "peer": b[term]})
    return {
        "queries": len(peer),
        "disagreements": sum(kinds.values()),
        "kinds": kinds,
        "examples": examples,
    }


# --- statistics -------------------------------------------------------------


def pct(values, p):
    if not values:
        return None
    s = sorted(values)
    return s[min(len(s) - 1, max(0, round(p / 100 * (len(s) - 1))))]


def slope(xs, ys):
    n = len(xs)
    if n < 2:
        return None
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    if sxx == 0:
        return None
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys, strict=True)) / sxx


# --- running ----------------------------------------------------------------


def find_walk_bench(arg, log):
    """Path of the walk_bench binary: given, found, or built; None to skip."""
    if arg in ("", "none"):
        return None
    if arg != "auto":
        return os.path.abspath(arg)
    root = ROOT
    build = os.path.join(root, "build", "walk-bench")
    binary = os.path.join(build, "walk_bench")
    if not os.path.exists(os.path.join(root, "CMakeLists.txt")):
        return None
    try:
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(
            [
                "cmake",
                "-S",
                root,
                "-B",
                build,
                *generator,
                "-DTESSARIN_BENCH=ON",
                "-DTESSARIN_PYTHON=OFF",
                "-DCMAKE_BUILD_TYPE=Release",
            ],
            check=True,
            capture_output=True,
        )
        subprocess.run(
            ["cmake", "--build", build, "--target", "walk_bench"], check=True, capture_output=True
        )
    except (OSError, subprocess.CalledProcessError) as e:
        log(f"walk_bench not built ({e}); the walk's own cost per node is left out")
        return None
    return binary


def run_engine(engine, job_path, tmp, log):
    result_path = os.path.join(tmp, engine.replace(":", "-") + ".pickle")
    start = time.perf_counter()
    proc = subprocess.run(
        [sys.executable, "-m", "bench.engines", engine, job_path, result_path],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    elapsed = time.perf_counter() - start
    if proc.returncode != 0 or not os.path.exists(result_path):
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-5:]
        log(f"  {engine}: FAILED ({elapsed:.0f} s): " + " | ".join(tail))
        return {"error": "\n".join(tail)}
    log(f"  {engine}: done in {elapsed:.0f} s")
    with open(result_path, "rb") as f:
        return pickle.load(f)


def analyse(size_name, desc, terms, queries, results, max_dists):
    ours = results.get("tessarin", {})
    report: dict = {
        "data_set": size_name,
        "description": desc,
        "terms": len(terms),
        "queries": {k: len(v) for k, v in queries.items()},
    }
    if "error" in ours or not ours:
        report["error"] = ours.get("error", "tessarin did not run")
        return report
    nodes = ours["nodes"]
    mem = ours["loaded_malloc_bytes"] or ours["loaded_rss_bytes"]
    report["tessarin"] = {
        "nodes": nodes,
        "layout": ours["layout"],
        "layout_python_s": ours["layout_s"],
        "build_lists_s": ours["build_lists_s"],
        "build_lists_s_per_million_nodes": ours["build_lists_s"] / nodes * 1e6,
        "build_buffers_s": ours["build_buffers_s"],
        "build_buffers_s_per_million_nodes": ours["build_buffers_s"] / nodes * 1e6,
        "build_no_payloads_s": ours["build_no_payloads_s"],
        "build_totals_only_s": ours.get("build_totals_only_s"),
        "build_flat_buffers_s": ours["build_flat_buffers_s"],
        "no_payloads_malloc_bytes": ours["no_payloads_malloc_bytes"],
        "no_payloads_saved_bytes": ours["no_payloads_saved_bytes"],
        "build_flat_buffers_s_per_million_nodes": ours["build_flat_buffers_s"] / nodes * 1e6,
        "saved_bytes": ours["saved_bytes"],
        "loaded_malloc_bytes": ours["loaded_malloc_bytes"],
        "loaded_rss_bytes": ours["loaded_rss_bytes"],
        "built_malloc_bytes": ours["built_malloc_bytes"],
        "loaded_over_saved": mem / ours["saved_bytes"],
        "bytes_per_node": mem / nodes,
        "bytes_per_term": mem / len(terms),
        "to_bytes_s": ours["to_bytes_s"],
        "to_bytes_mb_s": ours["saved_bytes"] / ours["to_bytes_s"] / 1e6,
        "from_bytes_s": ours["from_bytes_s"],
        "from_bytes_mb_s": ours["saved_bytes"] / ours["from_bytes_s"] / 1e6,
        "rounds": ours["rounds_run"],
    }
    if "roundtrip_error" in ours:
        report["tessarin"]["roundtrip_error"] = ours["roundtrip_error"]
    lat = {}
    for (method, set_name, k), values in ours["latency"].items():
        lat[f"{method}/{set_name}/{k}"] = {
            "queries": len(values),
            "median_us": statistics.median(values) * 1e6,
            "p99_us": pct(values, 99) * 1e6,
            "mean_us": sum(values) / len(values) * 1e6,
        }
    report["tessarin"]["latency"] = lat

    # Visited nodes, from the plain walk, which visits the same nodes.
    plain = results.get("plain-trie", {})
    if "visited" in plain:
        per_node = {}
        for (set_name, k), visited in plain["visited"].items():
            ours_lat = ours["latency"][("fuzzy_match", set_name, k)][: len(visited)]
            total_nodes = sum(visited)
            per_node[f"{set_name}/{k}"] = {
                "queries": len(visited),
                "visited_median": statistics.median(visited),
                "visited_p99": pct(visited, 99),
                "visited_mean": total_nodes / len(visited),
                "ns_per_visited_node": (sum(ours_lat) / total_nodes * 1e9) if total_nodes else None,
                "ns_per_visited_node_slope": (lambda s: None if s is None else s * 1e9)(
                    slope(visited, ours_lat)
                ),
            }
        report["visited"] = per_node

    if "walk" in ours:
        walk = {}
        for (set_name, k, engine), rows in ours["walk"].items():
            visited = [v for v, _, _ in rows]
            ns = [t for _, _, t in rows]
            entry = walk.setdefault(
                f"{set_name}/{k}",
                {
                    "queries": len(rows),
                    "visited_total": sum(visited),
                    "matches_total": sum(m for _, m, _ in rows),
                },
            )
            entry[f"{engine}_ns_per_visited_node"] = sum(ns) / max(1, sum(visited))
            entry[f"{engine}_median_us"] = statistics.median(ns) / 1e3
            if "visited" in plain:
                counted = plain["visited"][(set_name, k)]
                entry["same_nodes_as_plain_walk"] = visited[: len(counted)] == counted
        report["walk"] = walk

    peers = {}
    for engine, res in results.items():
        if engine == "tessarin":
            continue
        entry: dict = {}
        peers[engine] = entry
        if "error" in res:
            entry["error"] = res["error"]
            continue
        entry["build_s"] = res["build_s"]
        entry["memory_bytes"] = res["memory_bytes"]
        for key in ("build_by_distance", "memory_by_distance"):
            if key in res:
                entry[key] = res[key]
        if "file_bytes" in res:
            entry["file_bytes"] = res["file_bytes"]
        entry["latency"] = {}
        entry["agreement"] = {}
        for (method, set_name, k), values in res["latency"].items():
            n = len(values)
            if n == 0:
                continue
            ours_values = ours["latency"][(method, set_name, k)][:n]
            peer_med, ours_med = statistics.median(values), statistics.median(ours_values)
            entry["latency"][f"{set_name}/{k}"] = {
                "queries": n,
                "median_us": peer_med * 1e6,
                "p99_us": pct(values, 99) * 1e6,
                "ours_median_us": ours_med * 1e6,
                "ours_p99_us": pct(ours_values, 99) * 1e6,
                "ratio_median": peer_med / ours_med,
                "ratio_p99": pct(values, 99) / pct(ours_values, 99),
            }
            entry["agreement"][f"{set_name}/{k}"] = compare(
                engine,
                ours["found"][(set_name, k)][:n],
                res["found"][(set_name, k)],
                queries[set_name][:n],
                k,
                ordered=(engine == "plain-trie"),
            )
    report["peers"] = peers
    return report


def merge_symspell(results):
    """One "symspellpy" entry out of the per-distance runs."""
    merged: dict = {}
    parts = {e: r for e, r in results.items() if e.startswith("symspellpy:")}
    if not parts:
        return results
    out = {e: r for e, r in results.items() if not e.startswith("symspellpy:")}
    for engine, res in sorted(parts.items()):
        k = int(engine.split(":")[1])
        if "error" in res:
            out[engine] = res
            continue
        merged.setdefault("latency", {}).update(res["latency"])
        merged.setdefault("found", {}).update(res["found"])
        merged.setdefault("build_by_distance", {})[k] = res["build_s"]
        merged.setdefault("memory_by_distance", {})[k] = res["memory_bytes"]
    if merged:
        top = max(merged["build_by_distance"])
        merged["build_s"] = merged["build_by_distance"][top]
        merged["memory_bytes"] = merged["memory_by_distance"][top]
        out["symspellpy"] = merged
    return out


# --- printing ---------------------------------------------------------------


def fmt_bytes(n):
    if n is None:
        return "-"
    for unit in ("B", "KB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000


def fmt_us(us):
    if us is None:
        return "-"
    if us >= 100_000:
        return f"{us / 1000:.0f} ms"
    if us >= 1000:
        return f"{us / 1000:.1f} ms"
    return f"{us:.1f} us" if us < 100 else f"{us:.0f} us"


def table(rows, headers):
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows, strict=True)]

    def line(r):
        return "| " + " | ".join(str(x).ljust(w) for x, w in zip(r, widths, strict=True)) + " |"

    return "\n".join(
        [line(headers), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
        + [line(r) for r in rows]
    )


def render(report, full_results=None):
    out = []
    name = report["data_set"]
    out.append(f"### {name}: {report['terms']:,} terms ({report['description']})")
    if "error" in report:
        out.append(f"tessarin failed: {report['error']}")
        return "\n".join(out)
    t = report["tessarin"]
    out.append("")
    out.append(
        table(
            [
                [
                    f"{t['nodes']:,}",
                    f"{t['build_lists_s']:.3f} s "
                    f"({t['build_lists_s_per_million_nodes']:.2f} s/M nodes)",
                    f"{t['build_buffers_s']:.3f} s "
                    f"({t['build_buffers_s_per_million_nodes']:.2f} s/M)",
                    fmt_bytes(t["saved_bytes"]),
                    f"{fmt_bytes(t['loaded_malloc_bytes'])} ({t['loaded_over_saved']:.2f}x)",
                    f"{t['bytes_per_node']:.1f} / {t['bytes_per_term']:.1f}",
                    f"{t['to_bytes_mb_s']:.0f} / {t['from_bytes_mb_s']:.0f}",
                ]
            ],
            [
                "nodes",
                "build from lists",
                "build from buffers",
                "saved",
                "loaded (x saved)",
                "B/node / B/term",
                "to/from_bytes MB/s",
            ],
        )
    )
    out.append("")
    rows = []
    for key, v in t["latency"].items():
        method, set_name, k = key.split("/")
        vis = report.get("visited", {}).get(f"{set_name}/{k}") if method == "fuzzy_match" else None
        rows.append(
            [
                method,
                set_name,
                k,
                v["queries"],
                fmt_us(v["median_us"]),
                fmt_us(v["p99_us"]),
                "-" if vis is None else f"{vis['visited_median']:,.0f}",
                "-"
                if vis is None or vis["ns_per_visited_node"] is None
                else f"{vis['ns_per_visited_node']:.1f}",
            ]
        )
    out.append(
        table(
            rows,
            [
                "method",
                "queries",
                "max_dist",
                "n",
                "median",
                "p99",
                "visited (median)",
                "ns/visited node",
            ],
        )
    )
    if report.get("walk"):
        out.append("")
        rows = [
            [
                key.split("/")[0],
                key.split("/")[1],
                w["queries"],
                f"{w['visited_total']:,}",
                f"{w['matches_total']:,}",
                fmt_us(w.get("auto_median_us")),
                f"{w.get('auto_ns_per_visited_node', 0):.1f}",
                f"{w.get('banded_ns_per_visited_node', 0):.1f}",
                f"{w.get('path_ns_per_visited_node', 0):.1f}",
                {True: "yes", False: "NO", None: "-"}[w.get("same_nodes_as_plain_walk")],
            ]
            for key, w in report["walk"].items()
        ]
        out.append(
            table(
                rows,
                [
                    "walk alone (C++)",
                    "max_dist",
                    "n",
                    "visited (total)",
                    "matches",
                    "median",
                    "ns/node (auto)",
                    "ns/node (banded)",
                    "ns/node (auto+path)",
                    "same nodes as plain walk",
                ],
            )
        )
    out.append("")
    rows = []
    ours_build = t["layout_python_s"] + t["build_lists_s"]
    for engine, p in report["peers"].items():
        if "error" in p:
            rows.append([engine, "failed", "", "", "", "", "", ""])
            continue
        for key, v in p["latency"].items():
            set_name, k = key.split("/")
            agr = p["agreement"][key]
            rows.append(
                [
                    engine,
                    set_name,
                    k,
                    v["queries"],
                    f"{fmt_us(v['median_us'])} / {fmt_us(v['p99_us'])}",
                    f"{fmt_us(v['ours_median_us'])} / {fmt_us(v['ours_p99_us'])}",
                    f"{v['ratio_median']:.1f}x / {v['ratio_p99']:.1f}x",
                    agr["disagreements"],
                ]
            )
    out.append(
        table(
            rows,
            [
                "peer",
                "queries",
                "max_dist",
                "n",
                "peer median / p99",
                "ours median / p99",
                "ratio",
                "disagreements",
            ],
        )
    )
    out.append("")
    rows = []
    ours_mem = t["loaded_malloc_bytes"] or t["loaded_rss_bytes"]
    for engine, p in report["peers"].items():
        if "error" in p:
            continue
        if "memory_by_distance" in p:
            for k, mem in sorted(p["memory_by_distance"].items()):
                build = p["build_by_distance"][k]
                rows.append(
                    [
                        f"{engine} (max_dist {k})",
                        f"{build:.2f} s",
                        f"{build / ours_build:.2f}x",
                        fmt_bytes(mem),
                        f"{mem / ours_mem:.1f}x",
                    ]
                )
            continue
        rows.append(
            [
                engine,
                f"{p['build_s']:.2f} s",
                f"{p['build_s'] / ours_build:.2f}x",
                fmt_bytes(p["memory_bytes"]),
                f"{p['memory_bytes'] / ours_mem:.1f}x",
            ]
        )
    rows.append(
        [
            "tessarin (layout in Python + build)",
            f"{ours_build:.2f} s",
            "1.0x",
            fmt_bytes(ours_mem),
            "1.0x",
        ]
    )
    out.append(table(rows, ["engine", "build from terms", "vs ours", "memory", "vs ours"]))
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument(
        "--sizes",
        default="10k,83k,243k,1m",
        help="data sets: 10k, 83k, 243k, 1m or a number of mixed terms",
    )
    ap.add_argument("--engines", default=",".join(ALL_ENGINES))
    ap.add_argument("--max-dists", default="0,1,2")
    ap.add_argument("--words", type=int, default=300, help="typo'd word queries per data set")
    ap.add_argument("--phrases", type=int, default=30, help="phrases typed prefix by prefix")
    ap.add_argument("--rounds", type=int, default=3, help="rounds per query (median taken)")
    ap.add_argument(
        "--budget", type=float, default=10.0, help="seconds per slow peer, query set and distance"
    )
    ap.add_argument("--min-queries", type=int, default=20)
    ap.add_argument(
        "--out",
        default=os.path.join(HERE, "results"),
        help="directory for the JSON figures ('' for none)",
    )
    ap.add_argument(
        "--walk-bench",
        default="auto",
        help="walk_bench binary ('auto': build it with cmake; 'none': skip)",
    )
    ap.add_argument(
        "--quick", action="store_true", help="smoke run: 3000 mixed terms, few queries, one round"
    )
    args = ap.parse_args(argv)
    if args.quick:
        args.sizes, args.words, args.phrases = "3000", 30, 3
        args.rounds, args.budget, args.min_queries = 1, 1.0, 5

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    engines = []
    for e in args.engines.split(","):
        module = PEER_MODULES.get(e)
        if module and importlib.util.find_spec(module) is None:
            log(f"skipping {e}: not installed (pip install '.[bench]')")
            continue
        engines.append(e)
    max_dists = [int(x) for x in args.max_dists.split(",")]
    walk_bench = find_walk_bench(args.walk_bench, log) if "tessarin" in engines else None
    started = datetime.datetime.now(datetime.timezone.utc)
    doc = {
        "date": started.isoformat(timespec="seconds"),
        "machine": machine_description(),
        "load_average_start": os.getloadavg(),
        "settings": vars(args),
        "data_sets": [],
    }
    texts = []
    with tempfile.TemporaryDirectory(prefix="tessarin-bench-") as tmp:
        for size in args.sizes.split(","):
            name, desc, terms = data.load_terms(size)
            queries = data.make_queries(terms, args.words, args.phrases)
            log(
                f"{name}: {len(terms):,} terms, "
                + ", ".join(f"{len(v)} {k} queries" for k, v in queries.items())
            )
            job = {
                "terms": terms,
                "queries": queries,
                "max_dists": max_dists,
                "rounds": args.rounds,
                "budget": args.budget,
                "min_queries": args.min_queries,
                "walk_bench": walk_bench,
            }
            job_path = os.path.join(tmp, "job.pickle")
            with open(job_path, "wb") as f:
                pickle.dump(job, f, protocol=pickle.HIGHEST_PROTOCOL)
            results = {}
            for engine in engines:
                if engine == "symspellpy":
                    for k in max_dists:
                        sub = dict(job, max_dists=[k])
                        sub_path = os.path.join(tmp, f"job-{k}.pickle")
                        with open(sub_path, "wb") as f:
                            pickle.dump(sub, f, protocol=pickle.HIGHEST_PROTOCOL)
                        results[f"symspellpy:{k}"] = run_engine(
                            f"symspellpy:{k}", sub_path, tmp, log
                        )
                else:
                    results[engine] = run_engine(engine, job_path, tmp, log)
            results = merge_symspell(results)
            report = analyse(name, desc, terms, queries, results, max_dists)
            doc["data_sets"].append(report)
            text = render(report)
            texts.append(text)
            print(text + "\n", flush=True)
            print_disagreements(report)
    doc["load_average_end"] = os.getloadavg()
    doc["seconds"] = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds()
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        stamp = started.strftime("%Y%m%dT%H%M%SZ")
        path = os.path.join(args.out, f"{stamp}{'-quick' if args.quick else ''}.json")
        with open(path, "w") as f:
            json.dump(doc, f, indent=1, ensure_ascii=False, default=str)
        log(f"figures written to {path}")
    return doc


def print_disagreements(report):
    for engine, p in report.get("peers", {}).items():
        for key, agr in p.get("agreement", {}).items():
            if not agr["disagreements"]:
                continue
            print(
                f"{engine} {key}: {agr['disagreements']} disagreements over "
                f"{agr['queries']} queries"
            )
            for kind, count in agr["kinds"].items():
                print(f"  {count:6d}  {kind}; e.g. {agr['examples'][kind][:2]}")
    print()


if __name__ == "__main__":
    main()
