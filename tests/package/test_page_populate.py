"""The walk's pages mapped before the first query (`warm`): a trusted
mapping (a worker's view of the supervisor's sealed copy) is resident where
the walk reads once `populate_walked` ran, and answers as before; any other
index takes it without harm."""

from __future__ import annotations

import itertools
import os
import sys

import pytest

from tessarin import Index
from tessarin.server.warm import warm

RECORDS = [
    ("".join(letters), k, 1 + k % 7)
    for k, letters in enumerate(
        itertools.product("abcdefghijkl", "mnopqrstuvwx", "yzàéîõ", "abcd", "efghi")
    )
]


def mapped_kb(path: str) -> int:
    """Resident kB of this process's mappings of `path`."""
    total, inside = 0, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            if line[:1].isdigit() or line[:1] in "abcdef":  # a mapping's first line
                inside = line.rstrip().endswith(path)
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1])
    return total


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/smaps")
def test_a_trusted_mapping_is_resident_after_populate_and_answers_alike(tmp_path):
    built = Index.build(RECORDS, video_top_n=3)
    path = str(tmp_path / "v2.idx")
    built.save(path, version=2)
    index = Index._load_path(path, verify=False, in_place=True, trusted=True)
    covered, way = index._native.populate_walked()
    assert way in ("populate", "read")
    # What queries read, the node arrays, aids and payloads (all but the
    # header), is mapped whole (each page counted once), whatever the load
    # mapped before.
    assert covered % 4096 == 0 and covered >= os.path.getsize(path) - 8192
    assert mapped_kb(path) >= covered // 1024
    queries = ["amyae", "lxõdi", "bmvbf", "jtõcg", "a"]
    expected = [(built.search(q, 1), built.suggest(q, 2), built.complete(q, 1)) for q in queries]
    assert [(index.search(q, 1), index.suggest(q, 2), index.complete(q, 1)) for q in queries] == (
        expected
    )


@pytest.mark.parametrize("version", [None, 1, 2])
def test_populate_is_harmless_on_any_index(tmp_path, version):
    index = Index.build(RECORDS[:300])
    if version is not None:
        index.save(tmp_path / "x.idx", version=version)
        index = Index.load(tmp_path / "x.idx")
    expected = index.search("amya", 1)
    covered, way = index._native.populate_walked()
    assert covered > 0 and way in ("populate", "read")
    assert warm(index) is index and index.search("amya", 1) == expected
