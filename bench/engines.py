"""The engines of the suite, each measured in a process of its own.

    python -m bench.engines ENGINE JOB.pickle RESULT.pickle   (from the repository root)

JOB holds the terms, the query sets, the distances, the number of rounds and
the time budget; RESULT receives build time, memory, per-query latencies and
the terms each query found. A fresh process per engine keeps the memory
figures of one engine free of the garbage of another.

Engines:
    tessarin     this module: build (lists, integer buffers), to_bytes,
                 from_bytes, memory, fuzzy_match, fuzzy_match_video
    plain-trie   the plain-Python trie walk of plain_trie.py (also counts
                 the nodes each query visits)
    rapidfuzz    rapidfuzz.process.extract, Levenshtein distance with
                 score_cutoff, over the term list (brute force)
    symspellpy:K symspellpy's lookup, Verbosity.ALL, plain Levenshtein,
                 built with max_dictionary_edit_distance K, queried at K
    keyvi        keyvi's compiled dictionary, match_fuzzy(q, K, 0)
"""

from __future__ import annotations

import array
import gc
import os
import pickle
import statistics
import sys
import tempfile
import time

from tessarin_reference.heap import malloc_in_use

# --- memory -----------------------------------------------------------------


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(fn):
    """(result, seconds, malloc delta, rss delta) of one call."""
    gc.collect()
    m0, r0 = malloc_in_use(), rss_bytes()
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    gc.collect()
    m1, r1 = malloc_in_use(), rss_bytes()
    return result, seconds, (None if m0 is None else m1 - m0), r1 - r0


def median_time(fn, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


# --- query timing -----------------------------------------------------------


def time_queries(run, queries, rounds: int, budget: float, min_queries: int):
    """Per-query median latencies (s) and the first round's results.

    The first round runs queries in order until `budget` seconds are spent
    (at least `min_queries`, at most all); later rounds repeat that prefix
    while the total stays within twice the budget.
    """
    clock = time.perf_counter_ns
    for q in queries[:3]:  # warm caches and lazily built state
        run(q)
    found = []
    times: list[list[int]] = []
    start = time.perf_counter()
    for q in queries:
        if len(found) >= min_queries and time.perf_counter() - start > budget:
            break
        t0 = clock()
        r = run(q)
        times.append([clock() - t0])
        found.append(r)
    spent = per_round = time.perf_counter() - start
    for _ in range(rounds - 1):
        if spent + per_round > 2 * budget:
            break
        t = time.perf_counter()
        for i, q in enumerate(queries[: len(found)]):
            t0 = clock()
            run(q)
            times[i].append(clock() - t0)
        spent += time.perf_counter() - t
    return [statistics.median(t) / 1e9 for t in times], found, len(times[0]) if times else 0


# --- engines ----------------------------------------------------------------


def layout(terms):
    from bench.data import layout_terms

    return layout_terms(terms)


def run_tessarin(job):
    from _tessarin import PrefixSearch

    rounds = job["rounds"]
    out: dict = {"terms": len(job["terms"])}
    (how, arrays), layout_s, _, _ = measure(lambda: layout(job["terms"]))
    out["layout_s"], out["layout"] = layout_s, how
    nodes = len(arrays[1])
    out["nodes"] = nodes

    index, _, mem_built, rss_built = measure(lambda: PrefixSearch.from_internal_data_v2(*arrays))
    out["built_malloc_bytes"], out["built_rss_bytes"] = mem_built, rss_built
    out["build_lists_s"] = median_time(lambda: PrefixSearch.from_internal_data_v2(*arrays), rounds)

    import numpy as np

    node_shifts, labels, payloads, transitions, videos, top_n = arrays
    buffers = (
        np.asarray(node_shifts, dtype=np.uint32),
        labels,
        [
            None if p is None else (p[0], array.array("I", p[1]), array.array("I", p[2]))
            for p in payloads
        ],
        np.asarray(transitions, dtype=np.uint32),
        videos,
        top_n,
    )
    out["build_buffers_s"] = median_time(
        lambda: PrefixSearch.from_internal_data_v2(*buffers), rounds
    )
    # Only the two big integer arrays as buffers, payload lists as lists.
    mixed = (buffers[0], labels, payloads, buffers[3], videos, top_n)
    out["build_flat_buffers_s"] = median_time(
        lambda: PrefixSearch.from_internal_data_v2(*mixed), rounds
    )
    # Released by rebinding to None (the lambdas above close over these
    # names, which a del would leave undefined for them).
    buffers = mixed = None
    # The same trie without payloads: how much of a build is the payloads'
    # conversion and propagation.
    bare = (node_shifts, labels, [None] * len(payloads), transitions, videos, top_n)
    out["build_no_payloads_s"] = median_time(
        lambda: PrefixSearch.from_internal_data_v2(*bare), rounds
    )
    # Payload tuples without videos: their conversion, and no video merges.
    totals = (
        node_shifts,
        labels,
        [None if p is None else (p[0], [], []) for p in payloads],
        transitions,
        videos,
        top_n,
    )
    out["build_totals_only_s"] = median_time(
        lambda: PrefixSearch.from_internal_data_v2(*totals), rounds
    )
    totals = None
    bare_index, _, out["no_payloads_malloc_bytes"], _ = measure(
        lambda: PrefixSearch.from_internal_data_v2(*bare)
    )
    out["no_payloads_saved_bytes"] = len(bare_index.to_bytes())
    bare = bare_index = None

    saved = index.to_bytes()
    out["saved_bytes"] = len(saved)
    out["to_bytes_s"] = median_time(index.to_bytes, rounds)
    del index
    arrays = None  # not del: closed over by the lambdas above
    gc.collect()
    loaded, _, mem_loaded, rss_loaded = measure(lambda: PrefixSearch.from_bytes(saved))
    out["loaded_malloc_bytes"], out["loaded_rss_bytes"] = mem_loaded, rss_loaded
    out["from_bytes_s"] = median_time(lambda: PrefixSearch.from_bytes(saved), rounds)
    if loaded.to_bytes() != saved:
        out["roundtrip_error"] = "to_bytes(from_bytes(b)) != b"

    if job.get("walk_bench"):
        out["walk"] = run_walk_bench(job, saved)

    latency: dict = {}
    found: dict = {}
    for set_name, queries in job["queries"].items():
        for k in job["max_dists"]:
            lat, res, n_rounds = time_queries(
                lambda q, k=k: loaded.fuzzy_match(q, k), queries, rounds, float("inf"), 0
            )
            latency[("fuzzy_match", set_name, k)] = lat
            found[(set_name, k)] = [[(t, d) for t, _, d in r] for r in res]
            lat, res, _ = time_queries(
                lambda q, k=k: loaded.fuzzy_match_video(q, k), queries, rounds, float("inf"), 0
            )
            latency[("fuzzy_match_video", set_name, k)] = lat
            out.setdefault("video_results", {})[(set_name, k)] = [len(r) for r in res]
    out["latency"], out["found"], out["rounds_run"] = latency, found, n_rounds
    return out


def run_walk_bench(job, saved: bytes):
    """{(set, max_dist, engine): [(visited, matches, ns)]} from walk_bench."""
    import subprocess

    walk: dict = {}
    with tempfile.TemporaryDirectory(prefix="walk-bench-") as tmp:
        index_path = os.path.join(tmp, "index.bin")
        with open(index_path, "wb") as f:
            f.write(saved)
        for set_name, queries in job["queries"].items():
            query_path = os.path.join(tmp, set_name + ".txt")
            with open(query_path, "w", encoding="utf-8") as f:
                f.write("".join(q + "\n" for q in queries))
            proc = subprocess.run(
                [
                    job["walk_bench"],
                    index_path,
                    query_path,
                    *map(str, job["max_dists"]),
                    "--rounds",
                    str(max(job["rounds"], 3)),
                ],
                capture_output=True,
                text=True,
                check=True,
            )
            for line in proc.stdout.splitlines():
                k, engine, _, visited, matches, ns, _path = line.split("\t")
                walk.setdefault((set_name, int(k), engine), []).append(
                    (int(visited), int(matches), int(ns))
                )
    return walk


def run_plain(job):
    from bench import plain_trie

    out: dict = {"terms": len(job["terms"])}
    root, build_s, _, rss = measure(lambda: plain_trie.build(job["terms"]))
    out["build_s"], out["memory_bytes"] = build_s, rss
    out["nodes"] = plain_trie.node_count(root)
    latency, found, visited = {}, {}, {}
    for set_name, queries in job["queries"].items():
        for k in job["max_dists"]:
            lat, res, _ = time_queries(
                lambda q, k=k: plain_trie.fuzzy_match(root, q, k),
                queries,
                job["rounds"],
                job["budget"],
                job["min_queries"],
            )
            latency[("fuzzy_match", set_name, k)] = lat
            found[(set_name, k)] = [[(t, d) for t, _, d in r] for r, _ in res]
            visited[(set_name, k)] = [v for _, v in res]
    out["latency"], out["found"], out["visited"] = latency, found, visited
    return out


def run_rapidfuzz(job):
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    out: dict = {"terms": len(job["terms"])}
    terms, build_s, _, _ = measure(lambda: [t for t, _ in job["terms"]])
    # The term list is all rapidfuzz keeps: its strings and the list itself.
    out["build_s"] = build_s
    out["memory_bytes"] = sys.getsizeof(terms) + sum(sys.getsizeof(t) for t in terms)
    latency, found = {}, {}
    for set_name, queries in job["queries"].items():
        for k in job["max_dists"]:

            def run(q, k=k):
                return process.extract(
                    q, terms, scorer=Levenshtein.distance, score_cutoff=k, limit=None
                )

            lat, res, _ = time_queries(
                run, queries, job["rounds"], job["budget"], job["min_queries"]
            )
            latency[("fuzzy_match", set_name, k)] = lat
            found[(set_name, k)] = [[(t, int(d)) for t, d, _ in r] for r in res]
    out["latency"], out["found"] = latency, found
    return out


def run_symspell(job, k: int):
    from symspellpy import SymSpell, Verbosity
    from symspellpy.editdistance import DistanceAlgorithm, EditDistance

    out: dict = {"terms": len(job["terms"]), "max_dictionary_edit_distance": k}

    def build():
        sym = SymSpell(
            max_dictionary_edit_distance=k,
            prefix_length=7,
            count_threshold=1,
            distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST),
        )
        for term, count in job["terms"]:
            sym.create_dictionary_entry(term, max(count, 1))
        return sym

    sym, build_s, _, rss = measure(build)
    out["build_s"], out["memory_bytes"] = build_s, rss
    latency, found = {}, {}
    for set_name, queries in job["queries"].items():
        lat, res, _ = time_queries(
            lambda q: sym.lookup(q, Verbosity.ALL, max_edit_distance=k),
            queries,
            job["rounds"],
            job["budget"],
            job["min_queries"],
        )
        latency[("fuzzy_match", set_name, k)] = lat
        found[(set_name, k)] = [[(s.term, s.distance) for s in r] for r in res]
    out["latency"], out["found"] = latency, found
    return out


def run_keyvi(job):
    import keyvi.compiler
    import keyvi.dictionary

    out: dict = {"terms": len(job["terms"])}
    tmp = tempfile.mkdtemp(prefix="keyvi-bench-")
    path = os.path.join(tmp, "terms.kv")

    def build():
        compiler = keyvi.compiler.IntDictionaryCompiler({"memory_limit_mb": "1000"})
        for term, count in job["terms"]:
            compiler.add(term, count)
        compiler.compile()
        compiler.write_to_file(path)

    _, build_s, _, _ = measure(build)
    out["build_s"] = build_s
    out["file_bytes"] = os.path.getsize(path)
    dictionary, _, _, _ = measure(lambda: keyvi.dictionary.Dictionary(path))
    latency, found = {}, {}
    for set_name, queries in job["queries"].items():
        for k in job["max_dists"]:

            def run(q, k=k):
                return [(m.matched_string, int(m.score)) for m in dictionary.match_fuzzy(q, k, 0)]

            lat, res, _ = time_queries(
                run, queries, job["rounds"], job["budget"], job["min_queries"]
            )
            latency[("fuzzy_match", set_name, k)] = lat
            found[(set_name, k)] = res
    # keyvi maps its file; what the process holds after the queries is the
    # touched part of that mapping plus keyvi's own state.
    gc.collect()
    out["memory_bytes"] = out["file_bytes"]
    out["rss_after_queries_bytes"] = rss_bytes()
    dictionary = None  # not del: closed over by run() above
    os.remove(path)
    os.rmdir(tmp)
    out["latency"], out["found"] = latency, found
    return out


def main(argv):
    engine, job_path, result_path = argv[1:4]
    with open(job_path, "rb") as f:
        job = pickle.load(f)
    if engine == "tessarin":
        out = run_tessarin(job)
    elif engine == "plain-trie":
        out = run_plain(job)
    elif engine == "rapidfuzz":
        out = run_rapidfuzz(job)
    elif engine.startswith("symspellpy:"):
        out = run_symspell(job, int(engine.split(":")[1]))
    elif engine == "keyvi":
        out = run_keyvi(job)
    else:
        raise SystemExit(f"unknown engine {engine!r}")
    out["peak_rss_bytes"] = peak_rss()
    with open(result_path, "wb") as f:
        pickle.dump(out, f, protocol=pickle.HIGHEST_PROTOCOL)


def peak_rss() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


if __name__ == "__main__":
    main(sys.argv)
