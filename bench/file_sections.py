"""What each section of an index file weighs, against the saved form.

    python -m bench.file_sections FILE [FILE ...]
    python -m bench.file_sections --sizes 83k,1m      # builds them first

For each file of version 2, the table of sections of its mapped form (read
from the file's header and table alone, in plain Python: nothing is loaded)
with each section's kind, name, bytes, share of the file and bytes per term;
for a version 1 file its size. With --sizes, builds the suite's data sets
(bench/data.py, the records of `video_records`, ten videos per node, as
`bench.load` does) into /tmp/tessarin-sections-SIZE-v{1,2}.idx and prints
both. Nothing is asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import struct

# Section kinds and their names (src/format/mapped_form.h).
KINDS = {
    1: "scalars",
    2: "node_shifts",
    3: "child_labels",
    4: "child_transitions",
    5: "is_terminal",
    6: "payload_slots",
    7: "payload_totals",
    8: "payload_offsets",
    9: "video_ids",
    10: "video_counts",
    11: "video_uuids",
    12: "video_int_ids",
    13: "positions",
    14: "preorder",
    15: "by_label",
    16: "reversed_entries12",
    17: "reversed_nodes",
    18: "payload_offsets_u32",
    19: "reversed_entries",
    20: "reversed_ranks",
    21: "payload_lengths",
    22: "payload_blocks",
    23: "payload_marks",
    24: "video_ids24",
    25: "terminal_bits",
    26: "child_labels16",
    27: "shift_groups",
    0x80000001: "completion_bound",
}

MAGIC = b"\x89TSR\r\n\x1a\n"


def read_table(path: str) -> tuple[int, dict, list[tuple[int, int]]]:
    """(version, metadata, [(kind, size)]) of an index file, from its head."""
    with open(path, "rb") as file:
        head = file.read(20)
        if head[:8] != MAGIC:
            raise SystemExit(f"{path}: not an index file")
        version, _, _, meta_length = struct.unpack_from("<HHII", head, 8)
        metadata = json.loads(file.read(meta_length))
        if version == 1:
            return version, metadata, []
        start = -(-(28 + meta_length) // 64) * 64
        file.seek(start)
        tag = file.read(16)
        (count,) = struct.unpack_from("<I", tag, 8)
        table = file.read(32 * count)
    sections = []
    for k in range(count):
        kind, _, _, size, _ = struct.unpack_from("<IIQQQ", table, 32 * k)
        sections.append((kind, size))
    return version, metadata, sections


def describe(path: str) -> str:
    version, metadata, sections = read_table(path)
    size = os.path.getsize(path)
    terms = max(1, metadata["terms"])
    lines = [
        f"{path}: version {version}, {size:,} bytes, {metadata['terms']:,} terms, "
        f"{metadata['nodes']:,} nodes, {size / terms:.1f} bytes a term"
    ]
    if sections:
        lines.append(f"  {'kind':>10}  {'section':<20} {'bytes':>13} {'share':>6} {'per term':>9}")
        for kind, bytes_ in sorted(sections, key=lambda s: -s[1]):
            lines.append(
                f"  {kind:>10}  {KINDS.get(kind, '?'):<20} {bytes_:>13,} "
                f"{bytes_ / size:>6.1%} {bytes_ / terms:>9.1f}"
            )
        rest = size - sum(s for _, s in sections)
        lines.append(f"  {'':>10}  {'header, table, gaps':<20} {rest:>13,} {rest / size:>6.1%}")
    return "\n".join(lines)


def build(size: str) -> list[str]:
    from bench.data import load_terms, video_records
    from tessarin import IndexBuilder

    paths = [f"/tmp/tessarin-sections-{size}-v{v}.idx" for v in (1, 2)]
    if not all(os.path.exists(p) for p in paths):
        builder = IndexBuilder()
        builder.add_many(video_records(load_terms(size)[2]))
        index = builder.index(video_top_n=10)
        for version, path in zip((1, 2), paths, strict=True):
            index.save(path, version=version)
    return paths


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--sizes", default="", help="data sets to build, e.g. 83k,1m")
    args = parser.parse_args(argv)
    files = list(args.files)
    for size in filter(None, args.sizes.split(",")):
        files += build(size)
    for path in files:
        print(describe(path))


if __name__ == "__main__":
    main()
