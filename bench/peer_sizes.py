"""Bytes per term of an index file beside marisa-trie's and keyvi's for the
same terms.

    python -m bench.peer_sizes [--sizes 83k,english,1m] [--ten-million V1,V2]
                               [--json OUT] [--folder /tmp]

For each data set of bench/data.py (``english`` is symspellpy's English words
and two-word phrases together, 325,176 terms), over the same distinct terms:

- marisa-trie: ``marisa_trie.Trie(terms)``, saved (the terms alone);
- keyvi: a plain dictionary of the terms (``KeyOnlyDictionaryCompiler``, the
  terms alone), a dictionary of the terms with their counts
  (``IntDictionaryCompiler``, what the suite's fuzzy benchmark queries) and a
  completion dictionary weighted by the counts
  (``CompletionDictionaryCompiler``, what bench.complete queries);
- ours: the index of the data set's records (``bench.data.video_records``, one
  to three videos a term, ten videos per node, as ``bench.file_sections
  --sizes`` builds it; written afresh to FOLDER/tessarin-peers-SIZE-v{1,2}.idx
  by the tree that runs this), as a version 1 file (the saved
  form) and a version 2 file (the mapped form with its stored aids), and of
  the version 2 file the trie alone: its node arrays (``node_shifts``,
  ``child_labels``, ``child_transitions``, ``is_terminal``), then those with
  the search aids (per-child entries, preorder ranks, label order, reversed
  trie, completion bound), the payloads and videos being the rest.

``10m`` (``--sizes ...,10m``) is bench.build_scale's ten million terms; ours
are then the two files named by --ten-million (default
/tmp/tessarin-10m-v1.idx,/tmp/tessarin-10m-v2.idx, made by build_scale's
records, whose videos differ from video_records': see docs/benchmarks.md).
Sizes are bytes on disk (exact); nothing is timed or asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import tempfile
from collections.abc import Callable

# Section kinds (src/format/mapped_form.h, bench.file_sections.KINDS).
# node_shifts (4 bytes, or grouped), child_labels (4 or 2 bytes),
# child_transitions (where stored), is_terminal (bytes or bits)
NODE_ARRAYS = {2, 27, 3, 26, 4, 5, 25}
AIDS = {13, 14, 15, 16, 17, 19, 20, 0x80000001}


def marisa_bytes(terms: list[str], folder: str) -> int:
    import marisa_trie

    path = os.path.join(folder, "terms.marisa")
    marisa_trie.Trie(terms).save(path)
    return os.path.getsize(path)


def keyvi_bytes(compiler_name: str, pairs: list[tuple[str, int]], folder: str) -> int:
    import keyvi.compiler

    path = os.path.join(folder, f"{compiler_name}.kv")
    compiler = getattr(keyvi.compiler, compiler_name)({"memory_limit_mb": "1000"})
    if compiler_name == "KeyOnlyDictionaryCompiler":
        for term, _ in pairs:
            compiler.add(term)
    else:
        for term, count in pairs:
            compiler.add(term, count)
    compiler.compile()
    compiler.write_to_file(path)
    size = os.path.getsize(path)
    os.unlink(path)
    return size


def ours(v1: str, v2: str) -> dict[str, int]:
    from bench.file_sections import read_table

    _, metadata, sections = read_table(v2)
    return {
        "v1": os.path.getsize(v1),
        "v2": os.path.getsize(v2),
        "trie": sum(size for kind, size in sections if kind in NODE_ARRAYS),
        "trie_aids": sum(size for kind, size in sections if kind in NODE_ARRAYS | AIDS),
        "nodes": metadata["nodes"],
        "index_terms": metadata["terms"],
    }


def terms_of(size: str) -> list[tuple[str, int]]:
    if size == "10m":
        from bench.build_scale import vocabulary

        return [(t, 1) for t in sorted(set(vocabulary(10_000_000)))]
    from bench.data import load_terms

    return load_terms(size)[2]


def build(size: str, pairs: list[tuple[str, int]], folder: str) -> tuple[str, str]:
    """The data set's index written afresh by this tree, as both versions
    (as bench.file_sections --sizes builds it)."""
    from bench.data import video_records
    from tessarin import IndexBuilder

    builder = IndexBuilder()
    builder.add_many(video_records(pairs))
    index = builder.index(video_top_n=10)
    v1, v2 = (os.path.join(folder, f"tessarin-peers-{size}-v{v}.idx") for v in (1, 2))
    index.save(v1, version=1)
    index.save(v2, version=2)
    return v1, v2


def measure(size: str, ten_million: tuple[str, str], folder: str) -> dict[str, object]:
    pairs = terms_of(size)
    terms = [t for t, _ in pairs]
    files = ten_million if size == "10m" else build(size, pairs, folder)
    row: dict[str, object] = {"size": size, "terms": len(terms)}
    row["ours"] = ours(*files)
    with tempfile.TemporaryDirectory(prefix="tessarin-peers-") as folder:
        peers: dict[str, Callable[[], int]] = {
            "marisa-trie": lambda: marisa_bytes(terms, folder),
            "keyvi keys": lambda: keyvi_bytes("KeyOnlyDictionaryCompiler", pairs, folder),
            "keyvi counts": lambda: keyvi_bytes("IntDictionaryCompiler", pairs, folder),
            "keyvi completion": lambda: keyvi_bytes("CompletionDictionaryCompiler", pairs, folder),
        }
        if size == "10m":  # build_scale's counts are drawn per record: no weights here
            del peers["keyvi counts"], peers["keyvi completion"]
        row["peers"] = {name: make() for name, make in peers.items()}
    return row


COLUMNS = [
    ("marisa-trie", lambda r: r["peers"].get("marisa-trie")),
    ("keyvi keys", lambda r: r["peers"].get("keyvi keys")),
    ("keyvi counts", lambda r: r["peers"].get("keyvi counts")),
    ("keyvi compl.", lambda r: r["peers"].get("keyvi completion")),
    ("ours v1", lambda r: r["ours"]["v1"]),
    ("ours v2", lambda r: r["ours"]["v2"]),
    ("v2 trie", lambda r: r["ours"]["trie"]),
    ("trie+aids", lambda r: r["ours"]["trie_aids"]),
]


def table(rows: list[dict]) -> str:
    head = f"{'data set':<9} {'terms':>10}  " + "  ".join(f"{name:>14}" for name, _ in COLUMNS)
    lines = [head, "(MB; bytes per term below)"]
    for row in rows:
        cells = [get(row) for _, get in COLUMNS]
        terms = row["terms"]
        lines.append(
            f"{row['size']:<9} {row['terms']:>10,}  "
            + "  ".join(f"{'-' if c is None else f'{c / 1e6:,.2f}':>14}" for c in cells)
        )
        lines.append(
            f"{'':<9} {'':>10}  "
            + "  ".join(f"{'-' if c is None else f'{c / terms:,.1f}':>14}" for c in cells)
        )
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="83k,english,1m")
    parser.add_argument(
        "--ten-million", default="/tmp/tessarin-10m-v1.idx,/tmp/tessarin-10m-v2.idx"
    )
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--folder", default=tempfile.gettempdir(), help="where ours are written")
    args = parser.parse_args(argv)
    v1, v2 = args.ten_million.split(",")
    rows = []
    for size in filter(None, args.sizes.split(",")):
        rows.append(measure(size, (v1, v2), args.folder))
        print(f"{size}: {json.dumps(rows[-1])}", flush=True)
    print(table(rows))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)


if __name__ == "__main__":
    main()
