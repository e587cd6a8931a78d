"""Random damage to an index file and to a bare saved form: how often does
`Index.load` notice, and does anything escape as other than TessarinError?

    python -m bench.corruption [--trials 20000] [--seed 7]

Each trial overwrites one to three random bytes of the sample index (as an
index file, then as the bare saved form that `PrefixSearch.to_bytes`
writes), loads it and, if it loads, queries it.
"""

from __future__ import annotations

import argparse
import random
import time
import warnings

from tessarin import Index, TessarinError, UncheckedIndexWarning
from tessarin.storage.sample import sample_bytes


def damaged(data: bytes, rng: random.Random) -> bytes:
    out = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        out[rng.randrange(len(out))] = rng.randrange(256)
    return bytes(out)


def trial(data: bytes) -> str:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UncheckedIndexWarning)
            index = Index.load(data)
            index.suggest("resturant", 2)
            index.search("resta", 2)
    except TessarinError:
        return "refused"
    except BaseException as error:  # noqa: BLE001 - counted: what must never happen
        print(f"escaped: {type(error).__name__}: {error}")
        return "escaped"
    return "answered"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trials", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    raw = sample_bytes()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UncheckedIndexWarning)
        container = Index.load(raw).to_bytes()
    for name, data in [("index file", container), ("bare saved form", raw)]:
        counts = {"answered": 0, "refused": 0, "escaped": 0, "unchanged": 0}
        start = time.perf_counter()
        for _ in range(args.trials):
            bad = damaged(data, rng)
            counts["unchanged" if bad == data else trial(bad)] += 1
        seconds = time.perf_counter() - start
        print(
            f"{name} ({len(data):,} bytes): {counts['answered']} answered, "
            f"{counts['refused']} refused, {counts['escaped']} escaped, "
            f"{counts['unchanged']} left unchanged by the draw ({seconds:.1f} s)"
        )


if __name__ == "__main__":
    main()
