"""Markdown summary of one or more runs of bench/run.py, with the performance goals.

    python -m bench.summary bench/results/RUN.json [MORE.json ...]

With several files (repeated runs of the same sizes), every figure is the
median over the runs. Prints the machine, a table per data set of this
module beside its peers, and the targets at the largest data set with
whether each is met.
"""

from __future__ import annotations

import json
import statistics
import sys


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def get(doc, *path):
    for key in path:
        if doc is None:
            return None
        doc = doc.get(key) if isinstance(doc, dict) else None
    return doc


def pick(reports, *path):
    return med([get(r, *path) for r in reports])


def fmt_us(us):
    if us is None:
        return "-"
    if us >= 1000:
        return f"{us / 1000:.1f} ms" if us < 100_000 else f"{us / 1000:.0f} ms"
    return f"{us:.1f} µs" if us < 100 else f"{us:.0f} µs"


def fmt_x(x):
    return "-" if x is None else (f"{x:.1f}x" if x < 100 else f"{x:,.0f}x")


def data_set_table(name, reports):
    first = reports[0]
    t = "tessarin"
    lines = [
        f"**{name}**: {first['terms']:,} terms, {first[t]['nodes']:,} nodes "
        f"({first['description']})",
        "",
    ]
    lines.append(
        "| query set, max_dist | tessarin fuzzy_match median / p99 | fuzzy_match_video "
        "median | symspellpy | keyvi | rapidfuzz | plain-Python trie |"
    )
    lines.append("|---|---|---|---|---|---|---|")
    for set_name in ("words", "typing"):
        for k in (0, 1, 2):
            key = f"fuzzy_match/{set_name}/{k}"
            cells = [
                f"{set_name}, {k}",
                f"{fmt_us(pick(reports, t, 'latency', key, 'median_us'))} / "
                f"{fmt_us(pick(reports, t, 'latency', key, 'p99_us'))}",
                fmt_us(
                    pick(reports, t, "latency", f"fuzzy_match_video/{set_name}/{k}", "median_us")
                ),
            ]
            for peer in ("symspellpy", "keyvi", "rapidfuzz", "plain-trie"):
                peer_med = pick(reports, "peers", peer, "latency", f"{set_name}/{k}", "median_us")
                ratio = pick(reports, "peers", peer, "latency", f"{set_name}/{k}", "ratio_median")
                cells.append("-" if peer_med is None else f"{fmt_us(peer_med)} ({fmt_x(ratio)})")
            lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    lines.append(
        "Peer cells: the peer's median latency (its ratio to tessarin's median on the "
        "same queries)."
    )
    return "\n".join(lines)


def targets(name, reports):
    t = "tessarin"
    rows = []

    def row(label, value, target, met):
        rows.append(
            f"| {label} | {value} | {target} | "
            f"{'-' if met is None else ('met' if met else '**missed**')} |"
        )

    for k in (1, 2):
        for set_name in ("words", "typing"):
            key = f"{set_name}/{k}"
            for peer, want in (("symspellpy", 10), ("rapidfuzz", 500), ("keyvi", 1)):
                r = pick(reports, "peers", peer, "latency", key, "ratio_median")
                row(
                    f"fuzzy_match vs {peer}, {set_name}, max_dist {k}",
                    fmt_x(r),
                    f"≥ {want}x" if want > 1 else "faster (> 1x)",
                    None if r is None else r >= want if want > 1 else r > 1,
                )
    for k in (0, 1, 2):
        for set_name in ("words", "typing"):
            walk = pick(reports, "walk", f"{set_name}/{k}", "auto_ns_per_visited_node")
            call = pick(reports, "visited", f"{set_name}/{k}", "ns_per_visited_node")
            row(
                f"ns per visited node, {set_name}, max_dist {k} (walk alone / whole call)",
                f"{walk:.1f} / {call:.1f}" if walk is not None and call is not None else "-",
                "< 10",
                None if walk is None else walk < 10,
            )
    lists = pick(reports, t, "build_lists_s_per_million_nodes")
    bufs = pick(reports, t, "build_buffers_s_per_million_nodes")
    row("build from lists, s per million nodes", f"{lists:.2f}", "< 1.5", lists < 1.5)
    row("build from integer buffers, s per million nodes", f"{bufs:.2f}", "< 0.3", bufs < 0.3)
    for what in ("to_bytes", "from_bytes"):
        v = pick(reports, t, f"{what}_mb_s")
        row(f"{what}, MB/s", f"{v:.0f}", "≥ 300", v >= 300)
    ratio = pick(reports, t, "loaded_over_saved")
    row("loaded index / saved size", f"{ratio:.2f}x", "≤ 2.5x", ratio <= 2.5)
    ours = pick(reports, t, "loaded_malloc_bytes")
    for k in (1, 2):
        sym = pick(reports, "peers", "symspellpy", "memory_by_distance", str(k))
        if sym is None:
            sym = pick(reports, "peers", "symspellpy", "memory_by_distance", k)
        r = None if sym is None else sym / ours
        row(
            f"symspellpy memory (max_dist {k}) / loaded index",
            fmt_x(r),
            "≥ 10x",
            None if r is None else r >= 10,
        )
    return "\n".join(
        [f"Targets at {name}:", "", "| figure | measured | target | |", "|---|---|---|---|", *rows]
    )


def main(paths):
    docs = []
    for p in paths:
        with open(p) as f:
            docs.append(json.load(f))
    machine = docs[0]["machine"]
    print(
        f"Measured {docs[0]['date'][:10]} on {machine['cpu']}, {machine['cores']} cores, "
        f"{(machine['memory_bytes'] or 0) / 2**30:.0f} GiB, {machine['python']}, "
        f"{machine['platform']}; {len(docs)} run(s), load average at start "
        + ", ".join(f"{d['load_average_start'][0]:.1f}" for d in docs)
        + "."
    )
    print()
    names = [r["data_set"] for r in docs[0]["data_sets"]]
    for name in names:
        reports = [
            r for d in docs for r in d["data_sets"] if r["data_set"] == name and "tessarin" in r
        ]
        if reports:
            print(data_set_table(name, reports))
            print()
    name = names[-1]
    reports = [r for d in docs for r in d["data_sets"] if r["data_set"] == name and "tessarin" in r]
    print(targets(name, reports))


if __name__ == "__main__":
    main(sys.argv[1:])
