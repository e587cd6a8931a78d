"""Fuzzy prefix completion as a search box asks for it, beside its peers.

    pip install '.[bench]' && python -m bench.complete     # the suite's 1m terms
    python -m bench.complete --size 100k --terms 40 --budget 5

(from the repository root.) The workload: --terms terms drawn from the data
set (bench/data.py; the more searched more likely), each typed keystroke by
keystroke (every prefix from 1 character), once as it is and once with one
typo (bench.data.add_typo); the distinct texts of each set, limit 10, at
max_dist 0, 1, 2 and "auto", with exact_prefix 0 (the default) and 2 (keyvi's
default).

Engines, all in this process on the same terms and counts (each term's
count as the index reports it: a term whose total, its own searches and
those of every longer term, saturates 32 bits reports 2**32 - 1, see
tessarin_reference.completion.reported_counts):

* tessarin: `Index.complete` on `Index.build` of the suite's records, as it
  is (Levenshtein) and with transpositions=True (the distance keyvi uses).
  Skipped with a note while `Index` has no `complete`. If `Index` has
  `complete_stats(text, max_dist, limit, exact_prefix=, transpositions=)`
  returning a mapping, its "nodes" (and whatever else it holds) are reported
  per call: the hook for the nodes the engine touched.
* keyvi: `PrefixCompletion.complete_fuzzy(text, k, exact_prefix)` on a
  completion dictionary of the terms weighted by their counts; every match
  it yields is read, and the top 10 drawn by tessarin's order (distance,
  then count descending, then term). It has no "auto": it gets the bound
  "auto" gives (tessarin_reference.completion.auto_distance).
* marisa-trie (max_dist 0 only): `Trie.items(text)` (every key with that
  prefix and its id), then the top 10 by count (a list indexed by id).
* model: tessarin_reference.completion by brute force, in both distances,
  as many texts as --budget allows (at least --model-queries), the first of
  each length class first; it is given only the terms that begin with the
  text's first exact_prefix characters, the only ones it could offer.

Timing, per call, in microseconds: "cold" runs each text once, in a shuffled
order (so a text does not find the caches its shorter prefix left); "warm"
repeats each text --rounds times in a row and takes the median. Slow
engines run texts in the shuffled order until --budget seconds are spent
(at least --min-queries), and their ratio to tessarin is taken over the same
texts. Figures are printed, never asserted; the issue's targets are printed
beside tessarin's p99.

Answers: tessarin is checked against the model (same lists, in order);
keyvi and marisa-trie against tessarin of the same distance where it runs,
else marisa-trie (max_dist 0) or the model; every difference is classified
and explained. What keyvi's complete_fuzzy does, found by running it:

* its distance is the least optimal string alignment distance (a swap of
  neighbours is one edit) between the text and a prefix of the term, over
  code points: tessarin's transpositions=True;
* minimum_exact_prefix=N asks the first N characters exactly, all of the
  text when it is shorter (as exact_prefix); left out, N is 2;
* it never offers a term of N characters or fewer for a text longer than N
  (the term ends inside the exact prefix), and now and then offers a term
  at max_dist + 1, with that distance as its score: both are named as such;
* it yields matches in its own traversal order, neither by distance nor by
  weight, and has no top-k: every match is read and sorted, so its cost
  grows with the matches (all terms for a short text at exact_prefix 0);
* for the empty text it yields every term with a meaningless score.

Figures go to bench/results/complete/complete-<time>.json.
"""

from __future__ import annotations

import argparse
import bisect
import datetime
import gc
import heapq
import importlib.metadata
import importlib.util
import json
import os
import random
import statistics
import sys
import tempfile
import time

from bench import data
from bench.run import fmt_us, machine_description, pct, table
from tessarin_reference import completion as model

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_DISTS = [0, 1, 2, "auto"]
#: The issue's targets for tessarin's p99 at one million terms, limit 10.
TARGET_P99_US = {0: 50, 1: 500, 2: 5000, "auto": 300}
KEYVI_SHORT = "the peer never offers a term that ends inside the exact prefix"
KEYVI_LOOSE = "the peer admits a term at max_dist + 1 (its score says so)"


# --- workload ---------------------------------------------------------------


def typing_sets(terms, n_terms: int, seed: int):
    """{"clean": [...], "typo": [...]}: the distinct prefixes, from 1
    character, of n_terms drawn terms, as typed and with one typo."""
    rng = random.Random(seed)
    letters, weights = data.letters_of(terms)
    population = [t for t, _ in terms]
    drawn = rng.choices(population, [max(c, 1) ** 0.3 for _, c in terms], k=n_terms)
    sets: dict[str, list[str]] = {"clean": [], "typo": []}
    for term in drawn:
        slipped = data.add_typo(term, rng, letters, weights)
        for name, word in (("clean", term), ("typo", slipped)):
            sets[name].extend(word[:i] for i in range(1, len(word) + 1))
    return {name: list(dict.fromkeys(texts)) for name, texts in sets.items()}


LENGTHS = (("1", 1, 1), ("2", 2, 2), ("3-5", 3, 5), ("6+", 6, 10**9))


def stratified(texts, order):
    """`order` with the first text of each length class moved to the front
    (the model's order: it runs few texts, and short texts are where
    completion explodes)."""
    firsts = []
    for _, lo, hi in LENGTHS:
        firsts += [i for i in order if lo <= len(texts[i]) <= hi][:1]
    return firsts + [i for i in order if i not in set(firsts)]


def bound_of(text: str, k) -> int:
    return model.bound(text, k)


# --- engines ----------------------------------------------------------------
# Each engine is a callable (text, k, exact_prefix) -> [(term, distance,
# count)], the top `limit` in tessarin's order.


class Tessarin:
    def __init__(self, terms, limit: int, transpositions: bool):
        from tessarin import Index

        self.name = "tessarin" + (" (transpositions)" if transpositions else "")
        self.osa, self.limit, self.transpositions = transpositions, limit, transpositions
        start = time.perf_counter()
        self.index = Index.build(data.video_records(terms))
        self.build_s = time.perf_counter() - start
        self.stats = getattr(self.index, "complete_stats", None)

    def supports(self, k) -> bool:
        return True

    def __call__(self, text, k, exact_prefix):
        return self.index.complete(
            text, k, self.limit, exact_prefix=exact_prefix, transpositions=self.transpositions
        )

    def nodes(self, text, k, exact_prefix):
        if self.stats is None:
            return None
        found = self.stats(
            text, k, self.limit, exact_prefix=exact_prefix, transpositions=self.transpositions
        )
        return dict(found)


class Keyvi:
    name, osa = "keyvi", True

    def __init__(self, terms, limit: int, tmp: str):
        import keyvi.compiler
        import keyvi.completion
        import keyvi.dictionary

        self.limit = limit
        path = os.path.join(tmp, "completion.kv")
        start = time.perf_counter()
        compiler = keyvi.compiler.CompletionDictionaryCompiler({"memory_limit_mb": "1000"})
        for term, count in terms:
            compiler.add(term, count)
        compiler.compile()
        compiler.write_to_file(path)
        self.build_s = time.perf_counter() - start
        self.file_bytes = os.path.getsize(path)
        self.dictionary = keyvi.dictionary.Dictionary(path)
        self.completer = keyvi.completion.PrefixCompletion(self.dictionary)

    def supports(self, k) -> bool:
        return True

    def __call__(self, text, k, exact_prefix):
        matches = self.completer.complete_fuzzy(text, bound_of(text, k), exact_prefix)
        best = heapq.nsmallest(
            self.limit, ((int(m.score), -m.weight, m.matched_string) for m in matches)
        )
        return [(term, d, -w) for d, w, term in best]


class Marisa:
    name, osa = "marisa-trie", False

    def __init__(self, terms, limit: int):
        import marisa_trie

        self.limit = limit
        start = time.perf_counter()
        self.trie = marisa_trie.Trie(t for t, _ in terms)
        self.counts = [0] * len(self.trie)
        for term, count in terms:
            self.counts[self.trie[term]] = count
        self.build_s = time.perf_counter() - start

    def supports(self, k) -> bool:
        return k == 0

    def __call__(self, text, k, exact_prefix):
        counts = self.counts
        best = heapq.nsmallest(self.limit, ((-counts[i], key) for key, i in self.trie.items(text)))
        return [(term, 0, -c) for c, term in best]


class Model:
    def __init__(self, terms, limit: int, transpositions: bool):
        self.name = "model" + (" (transpositions)" if transpositions else "")
        self.osa, self.limit, self.transpositions = transpositions, limit, transpositions
        self.terms = terms  # sorted by term
        self.keys = [t for t, _ in terms]
        self.build_s = 0.0

    def supports(self, k) -> bool:
        return True

    def __call__(self, text, k, exact_prefix):
        head = text[:exact_prefix]
        lo = bisect.bisect_left(self.keys, head)
        hi = bisect.bisect_left(self.keys, head + "\U0010ffff") if head else len(self.keys)
        return model.complete(
            self.terms[lo:hi],
            text,
            k,
            self.limit,
            exact_prefix=exact_prefix,
            transpositions=self.transpositions,
        )


# --- timing -----------------------------------------------------------------


def timed_runs(engine, texts, order, k, exact_prefix, rounds, budget, min_queries):
    """{"cold": {i: s}, "warm": {i: s}, "answers": {i: list}} over texts[i]
    for i in `order`, within the budget (see the module doc)."""
    clock = time.perf_counter_ns
    cold, answers = {}, {}
    start = time.perf_counter()
    for i in order:
        if len(cold) >= min_queries and time.perf_counter() - start > budget:
            break
        t0 = clock()
        answers[i] = engine(texts[i], k, exact_prefix)
        cold[i] = (clock() - t0) / 1e9
    warm = {}
    start = time.perf_counter()
    for i in cold:
        if rounds <= 1 or (
            len(warm) >= min(min_queries, 3) and time.perf_counter() - start > budget
        ):
            break
        times = []
        for _ in range(rounds):
            t0 = clock()
            engine(texts[i], k, exact_prefix)
            times.append((clock() - t0) / 1e9)
        warm[i] = statistics.median(times)
    return {"cold": cold, "warm": warm, "answers": answers}


def summary(times: dict, texts=None):
    values = list(times.values())
    if not values:
        return None
    out = {
        "queries": len(values),
        "median_us": statistics.median(values) * 1e6,
        "p99_us": pct(values, 99) * 1e6,
    }
    if texts is not None:
        by_length = {}
        for label, lo, hi in LENGTHS:
            part = [s for i, s in times.items() if lo <= len(texts[i]) <= hi]
            if part:
                by_length[label] = {"queries": len(part), "p99_us": pct(part, 99) * 1e6}
        out["p99_by_length"] = by_length
    return out


# --- agreement --------------------------------------------------------------


def explain(text, k, exact_prefix, ours, theirs, limit, keyvi_quirks):
    """[(kind, example)]: why a peer's top list differs from ours."""
    found = []
    if keyvi_quirks:
        loose = [c for c in theirs if c[1] > k]
        if loose:
            found.append((KEYVI_LOOSE, {"query": text, "max_dist": k, "terms": loose[:3]}))
        theirs = [c for c in theirs if c[1] <= k]
        inside = [c for c in ours if 0 < exact_prefix < len(text) and len(c[0]) <= exact_prefix]
        if inside:
            found.append((KEYVI_SHORT, {"query": text, "terms": inside[:3]}))
        ours = [c for c in ours if c not in inside]
        common = min(len(ours), len(theirs))
        if ours[:common] == theirs[:common]:
            return found
    a = {t: (d, c) for t, d, c in ours}
    b = {t: (d, c) for t, d, c in theirs}
    last = (ours[-1][1], -ours[-1][2], ours[-1][0]) if len(ours) >= limit else None

    def distances(term):
        return {
            "levenshtein": model.prefix_distance(text, term, exact_prefix=exact_prefix),
            "osa": model.prefix_distance(
                text, term, exact_prefix=exact_prefix, transpositions=True
            ),
        }

    for term in a.keys() - b.keys():
        found.append(("missed by the peer", {"query": text, "term": term, **distances(term)}))
    for term in b.keys() - a.keys():
        d, c = b[term]
        if last is not None and (d, -c, term) > last:
            kind = "extra in the peer, past our cut (a term above it is missing)"
        else:
            kind = "extra in the peer"
        found.append((kind, {"query": text, "term": term, "peer": d, **distances(term)}))
    for term in a.keys() & b.keys():
        if a[term] != b[term]:
            example = {"query": text, "term": term, "ours": a[term], "peer": b[term]}
            found.append(("distance or count differs", {**example, **distances(term)}))
    if not found:
        found.append(("same terms, another order", {"query": text}))
    return found


def agreement(peer, reference, texts, k, exact_prefix, limit, keyvi_quirks=False):
    kinds: dict[str, int] = {}
    examples: dict[str, list] = {}
    compared = differing = 0
    for i, theirs in peer.items():
        if i not in reference:
            continue
        compared += 1
        ours = [tuple(c) for c in reference[i]]
        theirs = [tuple(c) for c in theirs]
        if theirs == ours:
            continue
        text = texts[i]
        found = explain(text, bound_of(text, k), exact_prefix, ours, theirs, limit, keyvi_quirks)
        if any(kind not in (KEYVI_LOOSE, KEYVI_SHORT) for kind, _ in found):
            differing += 1
        for kind, example in found:
            kinds[kind] = kinds.get(kind, 0) + 1
            if len(examples.setdefault(kind, [])) < 3:
                examples[kind].append(example)
    return {
        "compared": compared,
        "unexplained": differing,
        "kinds": kinds,
        "examples": examples,
    }


# --- the run ----------------------------------------------------------------


def key_of(k):
    return str(k)


def run(args, log):
    name, desc, terms = data.load_terms(args.size)
    # The peers and the model get each term's count as the index reports it.
    counted = model.reported_counts(terms)
    sets = typing_sets(terms, args.terms, args.seed)
    log(f"{name}: {len(terms):,} terms; " + ", ".join(f"{len(v)} {k}" for k, v in sets.items()))
    wanted = args.engines.split(",")
    engines: list = []
    notes: list[str] = []
    tmp = tempfile.mkdtemp(prefix="complete-bench-")
    if "tessarin" in wanted:
        import tessarin

        if hasattr(tessarin.Index, "complete"):
            for swaps in (False, True):
                engines.append(Tessarin(terms, args.limit, swaps))
        else:
            notes.append("tessarin skipped: Index.complete does not exist yet")
    for label, module, make in (
        ("keyvi", "keyvi", lambda: Keyvi(counted, args.limit, tmp)),
        ("marisa-trie", "marisa_trie", lambda: Marisa(counted, args.limit)),
    ):
        if label in wanted:
            if importlib.util.find_spec(module) is None:
                notes.append(f"{label} skipped: not installed (pip install '.[bench]')")
            else:
                engines.append(make())
    if "model" in wanted:
        engines += [Model(counted, args.limit, False), Model(counted, args.limit, True)]
    for note in notes:
        log(note)
    for engine in engines:
        log(f"  {engine.name}: built in {engine.build_s:.1f} s")

    max_dists = [int(k) if k != "auto" else k for k in args.max_dists.split(",")]
    prefixes = [int(n) for n in args.exact_prefixes.split(",")]
    rng = random.Random(args.seed)
    orders = {s: rng.sample(range(len(t)), len(t)) for s, t in sets.items()}
    # The model's order: the first text of each length class first.
    model_order = {s: stratified(sets[s], order) for s, order in orders.items()}
    results: dict = {}
    gc.collect()
    gc.freeze()
    for exact_prefix in prefixes:
        for set_name, texts in sets.items():
            for k in max_dists:
                for engine in engines:
                    if not engine.supports(k):
                        continue
                    fast = engine.name.startswith("tessarin")
                    is_model = engine.name.startswith("model")
                    order = model_order[set_name] if is_model else orders[set_name]
                    gc.disable()
                    runs = timed_runs(
                        engine,
                        texts,
                        order,
                        k,
                        exact_prefix,
                        1 if is_model else args.rounds if fast else min(args.rounds, 3),
                        float("inf") if fast else args.budget,
                        args.model_queries if is_model else args.min_queries,
                    )
                    gc.enable()
                    if fast and engine.stats is not None:
                        runs["stats"] = {i: engine.nodes(texts[i], k, exact_prefix) for i in order}
                    results[(engine.name, exact_prefix, set_name, key_of(k))] = runs
                log(f"  exact_prefix {exact_prefix}, {set_name}, max_dist {k}: done")
    gc.unfreeze()
    report = analyse(name, desc, terms, sets, engines, results, max_dists, prefixes, args)
    report["notes"] = notes
    return report


def analyse(name, desc, terms, sets, engines, results, max_dists, prefixes, args):
    names = [e.name for e in engines]
    osa_of = {e.name: e.osa for e in engines}
    report: dict = {
        "data_set": name,
        "description": desc,
        "terms": len(terms),
        "queries": {s: len(t) for s, t in sets.items()},
        "limit": args.limit,
        "engines": {
            e.name: {
                "build_s": e.build_s,
                **({"file_bytes": e.file_bytes} if e.name == "keyvi" else {}),
            }
            for e in engines
        },
        "rows": [],
    }
    for exact_prefix in prefixes:
        for set_name, texts in sets.items():
            for k in max_dists:
                key = (exact_prefix, set_name, key_of(k))
                for engine in names:
                    runs = results.get((engine, *key))
                    if runs is None:
                        continue
                    row = {
                        "engine": engine,
                        "exact_prefix": exact_prefix,
                        "queries": set_name,
                        "max_dist": key_of(k),
                        "cold": summary(runs["cold"], texts),
                        "warm": summary(runs["warm"]),
                    }
                    if "stats" in runs:
                        nodes = [s.get("nodes") for s in runs["stats"].values() if s]
                        nodes = [n for n in nodes if n is not None]
                        if nodes:
                            row["nodes"] = {
                                "median": statistics.median(nodes),
                                "p99": pct(nodes, 99),
                            }
                    ours_name = "tessarin" + (" (transpositions)" if osa_of[engine] else "")
                    ours = results.get((ours_name, *key))
                    if ours is not None and not engine.startswith("tessarin"):
                        same = [i for i in runs["cold"] if i in ours["cold"]]
                        if same:
                            row["ratio_cold"] = ratio(runs["cold"], ours["cold"], same)
                        same = [i for i in runs["warm"] if i in ours["warm"]]
                        if same:
                            row["ratio_warm"] = ratio(runs["warm"], ours["warm"], same)
                    row["agreement"] = check(engine, runs, results, key, texts, k, args)
                    if engine.startswith("tessarin"):
                        row["target_p99_us"] = TARGET_P99_US.get(k)
                    report["rows"].append(row)
    return report


def ratio(peer, ours, same):
    """Peer over tessarin, median and p99, over the same texts."""
    a, b = [peer[i] for i in same], [ours[i] for i in same]
    return {
        "queries": len(same),
        "median": statistics.median(a) / statistics.median(b),
        "p99": pct(a, 99) / pct(b, 99),
    }


def check(engine, runs, results, key, texts, k, args):
    """The engine's answers against the first of: tessarin of the same
    distance, marisa-trie (max_dist 0, where the jobs are the same), the
    model; tessarin itself against the model."""
    if engine.startswith("model"):
        return None
    osa = engine == "keyvi" or engine.endswith("(transpositions)")
    model_name = "model" + (" (transpositions)" if osa else "")
    candidates = [model_name]
    if not engine.startswith("tessarin"):
        exact = ["marisa-trie"] if k == 0 and engine != "marisa-trie" else []
        candidates = [ours_name_of(osa), *exact, model_name]
    for against in candidates:
        reference = results.get((against, *key))
        if reference is not None:
            break
    else:
        return None
    found = agreement(
        runs["answers"], reference["answers"], texts, k, key[0], args.limit, engine == "keyvi"
    )
    found["against"] = against
    return found


def ours_name_of(osa: bool) -> str:
    return "tessarin" + (" (transpositions)" if osa else "")


# --- printing ---------------------------------------------------------------


def by_length(cold) -> str:
    if not cold:
        return "-"
    found = cold["p99_by_length"]
    return " / ".join(
        fmt_us(found[b]["p99_us"]) if b in found else "-" for b in ("1", "2", "3-5", "6+")
    )


def render(report) -> str:
    out = [
        f"### {report['data_set']}: {report['terms']:,} terms ({report['description']}); "
        + ", ".join(f"{n} {s} texts" for s, n in report["queries"].items())
        + f"; limit {report['limit']}"
    ]
    for note in report.get("notes", []):
        out.append(f"note: {note}")
    builds = ", ".join(f"{e} {v['build_s']:.1f} s" for e, v in report["engines"].items())
    out.append(f"built: {builds}")
    for exact_prefix in sorted({r["exact_prefix"] for r in report["rows"]}):
        out.append("")
        out.append(f"exact_prefix={exact_prefix}")
        rows = []
        for r in report["rows"]:
            if r["exact_prefix"] != exact_prefix:
                continue
            cold, warm = r["cold"], r["warm"]
            agr = r["agreement"]
            rows.append(
                [
                    r["engine"],
                    r["queries"],
                    r["max_dist"],
                    cold["queries"] if cold else 0,
                    f"{fmt_us(cold['median_us'])} / {fmt_us(cold['p99_us'])}" if cold else "-",
                    f"{fmt_us(warm['median_us'])} / {fmt_us(warm['p99_us'])}" if warm else "-",
                    by_length(cold),
                    f"{r['nodes']['median']:,.0f} / {r['nodes']['p99']:,.0f}"
                    if "nodes" in r
                    else "-",
                    f"{r['ratio_cold']['median']:.1f}x / {r['ratio_cold']['p99']:.1f}x"
                    if "ratio_cold" in r
                    else "-",
                    "-"
                    if agr is None
                    else f"{agr['unexplained']} of {agr['compared']} vs {agr['against']}",
                    "-" if r.get("target_p99_us") is None else fmt_us(r["target_p99_us"]),
                ]
            )
        out.append(
            table(
                rows,
                [
                    "engine",
                    "texts",
                    "max_dist",
                    "n",
                    "cold median / p99",
                    "warm median / p99",
                    "cold p99 by length 1/2/3-5/6+",
                    "nodes median / p99",
                    "vs tessarin (cold)",
                    "unexplained differences",
                    "target p99",
                ],
            )
        )
    kinds_seen = []
    for r in report["rows"]:
        agr = r["agreement"]
        if not agr or not agr["kinds"]:
            continue
        head = (
            f"{r['engine']} vs {agr['against']}, exact_prefix {r['exact_prefix']}, "
            f"{r['queries']}, max_dist {r['max_dist']}: {agr['compared']} texts compared"
        )
        kinds_seen.append(head)
        for kind, count in agr["kinds"].items():
            kinds_seen.append(f"  {count:5d}  {kind}; e.g. {agr['examples'][kind][:1]}")
    if kinds_seen:
        out.append("")
        out.append("Differences (keyvi's known ones named as such):")
        out.extend(kinds_seen)
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--size", default="1m", help="data set: 10k, 83k, 243k, 1m or a number")
    ap.add_argument("--terms", type=int, default=100, help="terms typed, per set")
    ap.add_argument("--engines", default="tessarin,keyvi,marisa-trie,model")
    ap.add_argument("--max-dists", default="0,1,2,auto")
    ap.add_argument("--exact-prefixes", default="0,2")
    ap.add_argument("--limit", type=int, default=10)
    ap.add_argument(
        "--rounds", type=int, default=5, help="warm calls per text, median (peers: at most 3)"
    )
    ap.add_argument(
        "--budget", type=float, default=5.0, help="seconds per slow engine, set, bound and phase"
    )
    ap.add_argument("--min-queries", type=int, default=10)
    ap.add_argument(
        "--model-queries", type=int, default=1, help="texts the model runs at least, per budget"
    )
    ap.add_argument("--seed", type=int, default=18)
    ap.add_argument(
        "--out",
        default=os.path.join(HERE, "results", "complete"),
        help="directory for the JSON figures ('' for none)",
    )
    args = ap.parse_args(argv)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    started = datetime.datetime.now(datetime.timezone.utc)
    machine = machine_description()
    for name in ("marisa-trie",):
        try:
            machine["packages"][name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            machine["packages"][name] = None
    doc = {
        "date": started.isoformat(timespec="seconds"),
        "machine": machine,
        "load_average_start": os.getloadavg(),
        "settings": vars(args),
    }
    report = run(args, log)
    doc["report"] = report
    doc["load_average_end"] = os.getloadavg()
    doc["seconds"] = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds()
    print(render(report), flush=True)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        path = os.path.join(args.out, f"complete-{started.strftime('%Y%m%dT%H%M%SZ')}.json")
        with open(path, "w") as f:
            json.dump(doc, f, indent=1, ensure_ascii=False, default=str)
        log(f"figures written to {path}")
    return doc


if __name__ == "__main__":
    main()
