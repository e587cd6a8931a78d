"""Replays the saved-form fuzzer's inputs (its regressions and its seed
corpus) through the Python module: every one loads or raises ValueError;
what loads saves to its shortest form and back; queries drawn from the
bytes after the saved form return lists or raise the internal-failure
exception."""

import functools
import pathlib

import pytest
from hardening import load

from tessarin_reference.hostile import panic_type

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
INPUTS = sorted(
    p
    for d in (FUZZ / "regressions" / "saved_form", FUZZ / "corpus" / "saved_form")
    if d.is_dir()
    for p in d.iterdir()
    if p.is_file()
)


def queries(tail, labels):
    """A few (term, max_dist, limit, include_prefix_nodes, min_score)
    tuples drawn from the bytes after the saved form, as the harness does."""
    tail = tail or b"\x00"
    out = []
    for k in range(3):
        chunk = tail[k * 8 : (k + 1) * 8] or tail
        term = "".join(labels[b % len(labels)] if labels else chr(0x61 + b % 26) for b in chunk)
        max_dist = (0, 1, 2, 4294967295)[chunk[0] % 4]
        limit = (None, 0, 1, 2**64 - 1)[chunk[-1] % 4]
        prefix = (None, True, False)[len(chunk) % 3]
        out.append((term, max_dist, limit, prefix, (None, 0.0, float("nan"))[k]))
    return out


def test_there_are_inputs():
    assert len(INPUTS) >= 4


@pytest.mark.parametrize("path", INPUTS, ids=lambda p: f"{p.parent.parent.name}/{p.name}")
def test_replay(path):
    data = path.read_bytes()
    try:
        index = load(data)
    except ValueError as exc:
        assert str(exc).startswith("decode error: ")
        return
    saved = index.to_bytes()
    assert len(saved) <= len(data)
    assert load(saved).to_bytes() == saved
    # The bytes past the shortest form's length drive the queries.
    labels = sorted({c for c in data.decode("utf-8", "ignore") if c.isalpha()})[:16]
    for term, max_dist, limit, prefix, min_score in queries(data[len(saved) :], labels):
        for call in (
            functools.partial(index.fuzzy_match, term, max_dist, limit),
            functools.partial(index.fuzzy_match_video, term, max_dist, limit, prefix, min_score),
        ):
            try:
                assert isinstance(call(), list)
            except panic_type() as exc:
                assert str(exc).startswith("corrupt index: ")
