"""Writes the seed corpus of fuzz_mapped_form: small indexes in the mapped
form, each behind the harness's three bytes (control 1: checksums set
right, then no query bytes but two).

    python -m fuzz.mapped_seeds [fuzz/corpus/mapped_form]
"""

from __future__ import annotations

import hashlib
import os
import sys
import uuid

from tessarin import Index

SETS = [
    [("cat", 600, 6), ("cat", 300, 4), ("car", 300, 20), ("cart", 700, 3)],
    [("a", 1, 1)],
    [("é", 1, 2), ("中文", 2, 3), ("😀", 3, 1), ("ab", 4, 5)],
    [("do", 1, 1), ("dog", 2, 2), ("doge", 3, 3), ("zebra", 4, 4), ("zebras", 4, 1)],
    [(w, uuid.UUID(int=k + 1), k + 1) for k, w in enumerate(["one", "two", "three", "tea"])],
    [(f"w{k:03}", k % 7, k) for k in range(60)],
]


def main(folder: str = "fuzz/corpus/mapped_form") -> None:
    os.makedirs(folder, exist_ok=True)
    for k, records in enumerate(SETS):
        form = Index.build(records, video_top_n=2 + k % 3)._native.to_mapped()
        seed = bytes([1, 2, 0x41, 0x02]) + form
        name = hashlib.sha1(seed).hexdigest()
        with open(os.path.join(folder, name), "wb") as out:
            out.write(seed)


if __name__ == "__main__":
    main(*sys.argv[1:])
