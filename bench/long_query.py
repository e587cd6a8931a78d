"""Long queries at a bound at least their length: time and peak memory.

    python -m bench.long_query                    # 1,000,000 characters, 1,000 deep
    python -m bench.long_query --length 200000 --depth 500

A chain of DEPTH nodes, every one a term, is queried with a random query of
LENGTH lowercase letters at max_dist 2**32 - 1 (so every row is a full row
and every term matches), through _tessarin's fuzzy_match in a fresh
interpreter. Prints the time of the call and the process's peak resident
memory less its peak before the call, with the number of matches and a
checksum of their distances (which must not change between engines).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap

_CHILD = textwrap.dedent(
    """
    import json, random, resource, time, zlib
    from _tessarin import PrefixSearch

    length, depth = {length}, {depth}
    rng = random.Random(7)
    labels = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(depth))
    index = PrefixSearch.from_internal_data_v2(
        list(range(depth + 1)),
        [""] + list(labels),
        [None] + [(1, [0], [1])] * depth,
        list(range(1, depth + 1)),
        [bytes(4)],
        10,
    )
    query = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(length))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    matches = index.fuzzy_match(query, 2**32 - 1)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    checksum = zlib.crc32(json.dumps([d for _, _, d in matches]).encode())
    print(json.dumps([seconds, (peak - before) / 1024, len(matches), checksum]))
    """
)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--length", type=int, default=1_000_000)
    ap.add_argument("--depth", type=int, default=1_000)
    args = ap.parse_args(argv)
    code = _CHILD.format(length=args.length, depth=args.depth)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(out.stderr)
    seconds, megabytes, count, checksum = json.loads(out.stdout)
    print(
        f"query of {args.length:,} characters, chain {args.depth:,} deep: "
        f"{seconds:.3f} s, peak memory +{megabytes:,.1f} MB, "
        f"{count:,} matches (distances crc {checksum:08x})"
    )


if __name__ == "__main__":
    main()
