"""Hostile arguments: each call returns or raises a clean exception, within
bounded memory (peak measured in a fresh interpreter) and time (a hang
fails the subprocess's timeout, which is generous: this is no benchmark)."""

import array
import struct
import sys

import pytest
from hardening import SANITIZED, WORDS, build, index_of, isolated, load, trie_of

from tessarin_reference.hostile import (
    U32_MAX,
    U64_MAX,
    Index,
    LyingBytes,
    LyingInt,
    LyingStr,
    LyingTuple,
    panic_type,
)

# Memory budgets catch blow-ups (a length prefix taken at its word, a row
# table sized by max_dist), not slow growth; ASan inflates resident sizes.
SCALE = 4 if SANITIZED else 1
SETUP = f"from hardening import *\nindex = index_of({WORDS!r})\n"


# ---------------------------------------------------------------- bounds


def test_max_dist_u32_max_reports_every_term():
    index = index_of(WORDS)
    every = index.fuzzy_match("", U32_MAX)
    assert sorted(t for t, _, _ in every) == sorted(set(WORDS))
    assert all(d == len(t) for t, _, d in every)
    assert index.fuzzy_match("cat", U32_MAX, U64_MAX) == index.fuzzy_match("cat", U32_MAX)
    assert index.fuzzy_match_video("ca", U32_MAX, U64_MAX, True, -1.0)


@pytest.mark.parametrize("limit", [U64_MAX, U64_MAX - 1, 2**63])
def test_huge_limits_mean_no_limit(limit):
    index = index_of(WORDS)
    assert index.fuzzy_match("car", 2, limit) == index.fuzzy_match("car", 2)
    assert index.fuzzy_match_video("car", 2, limit) == index.fuzzy_match_video("car", 2)


@pytest.mark.parametrize("max_dist", [1, 2, 40, U32_MAX])
@pytest.mark.parametrize("char", ["x", "é", "𝄞"])
def test_term_of_a_million_characters(max_dist, char):
    term = char * 1_000_000
    run = isolated(
        SETUP,
        f"""
        result = [len(index.fuzzy_match({term[:1]!r} * 1_000_000, {max_dist})),
                  len(index.fuzzy_match_video({term[:1]!r} * 1_000_000, {max_dist}))]
        """,
    )
    assert run["outcome"] == "returned"
    matched = len(set(WORDS)) if max_dist == U32_MAX else 0
    assert run["result"][0] == matched
    assert run["result"][1] <= 4  # the index holds four videos
    # The query itself takes 4 MB as code points; rows are banded to
    # 2 * max_dist + 1 cells, or the whole query for one row per depth.
    assert run["peak_mb"] < 150 * SCALE, run


def test_million_character_term_on_a_deep_path_with_a_small_bound():
    run = isolated(
        "from hardening import *\nindex = chain(5000)\n",
        """
        result = index.fuzzy_match("a" * 1_000_000, 3)
        """,
    )
    assert run == {"outcome": "returned", "peak_mb": run["peak_mb"], "result": []}
    assert run["peak_mb"] < 100 * SCALE, run


# ---------------------------------------------------------------- corrupt indexes

CYCLES = {
    # node 0 -> 1 -> 0
    "two_node_cycle": bytes.fromhex("020001 020061 020100 00 00 00 00 020001"),
    # node 0 lists itself
    "root_lists_itself": bytes.fromhex("0100 0161 0100 00 00 00 00 0101"),
    # node 1 lists itself three times
    "fan_out_cycle": bytes.fromhex("020001 020061 0401010101 00 00 00 00 020001"),
}


@pytest.mark.parametrize("name", sorted(CYCLES))
@pytest.mark.parametrize("max_dist", [0, 1, 60, U32_MAX])
def test_cyclic_child_lists_end_cleanly(name, max_dist):
    index = load(CYCLES[name])
    for call in (
        lambda: index.fuzzy_match("a" * 50, max_dist),
        lambda: index.fuzzy_match_video("a" * 50, max_dist, None, True),
        lambda: index.fuzzy_match("", max_dist, U64_MAX),
    ):
        try:
            result = call()
        except panic_type() as exc:
            assert str(exc).startswith("corrupt index: ")
        else:
            assert isinstance(result, list)


def test_cyclic_child_lists_take_bounded_memory():
    run = isolated(
        f"from hardening import *\nindex = load({CYCLES['fan_out_cycle']!r})\n",
        """
        try:
            index.fuzzy_match("a" * 100_000, 4294967295)
        except panic_type():
            result = "panic"
        """,
    )
    assert run["result"] == "panic"
    assert run["peak_mb"] < 64 * SCALE, run


def _claims():
    """(name, saved form) pairs whose sequence at one place claims a huge
    element count and then ends, or holds a few elements and ends."""
    empty_before = {
        "node_shifts": 0,
        "child_labels": 1,
        "child_transitions": 2,
        "payloads": 3,
        "video_uuids": 4,
        "video_int_ids": 5,
        "is_terminal": 7,
    }
    element = {
        "node_shifts": b"\x07",
        "child_labels": "é".encode(),
        "child_transitions": b"\x01",
        "payloads": b"\x01\x02\x00\x00",
        "video_uuids": bytes(16),
        "video_int_ids": b"\xfc\xff\xff\xff\xff",
        "is_terminal": b"\x01",
    }
    lengths = {
        "2**63": b"\xfd" + struct.pack("<Q", 2**63),
        "2**64-1": b"\xfd" + struct.pack("<Q", U64_MAX),
        "2**32-1": b"\xfc" + struct.pack("<I", U32_MAX),
        "65535": b"\xfb\xff\xff",
    }
    for field, before in empty_before.items():
        for label, length in lengths.items():
            for present in (0, 3):
                yield (
                    f"{field}-{label}-{present}",
                    b"\x00" * before + length + element[field] * present,
                )
    # The lists inside a payload: one node, one present payload.
    for label, length in lengths.items():
        yield f"video_ids-{label}", b"\x00\x00\x00\x01\x01\x05" + length + b"\x03" * 3
        yield f"video_counts-{label}", b"\x00\x00\x00\x01\x01\x05\x00" + length + b"\x03" * 3


CLAIMS = dict(_claims())


@pytest.mark.parametrize("name", sorted(CLAIMS))
def test_length_claims_end_early(name):
    with pytest.raises(ValueError, match=r"^decode error: UnexpectedEnd \{ additional: \d+ \}$"):
        load(CLAIMS[name])


def test_length_claims_take_no_memory():
    run = isolated(
        "from hardening import *\nfrom test_hostile import CLAIMS\n",
        """
        result = []
        for name, data in CLAIMS.items():
            try:
                load(data)
            except ValueError as exc:
                result.append(str(exc)[:26])
        """,
    )
    assert run["outcome"] == "returned"
    assert run["result"] == ["decode error: UnexpectedEn"] * len(CLAIMS)
    assert run["peak_mb"] < 32 * SCALE, run


# ---------------------------------------------------------------- buffers

np = None


def numpy():
    global np
    if np is None:
        np = pytest.importorskip("numpy")
    return np


ARRAYS = {
    "list": list,
    "tuple": tuple,
    "array_I": lambda v: array.array("I", v),
    "array_q": lambda v: array.array("q", v),
    "array_B": lambda v: array.array("B", v) if max(v, default=0) < 256 else array.array("H", v),
    "numpy_int64": lambda v: numpy().array(v, dtype=numpy().int64),
    "numpy_uint32": lambda v: numpy().array(v, dtype=numpy().uint32),
    "numpy_big_endian": lambda v: numpy().array(v, dtype=">u4"),
    "numpy_strided": lambda v: numpy().repeat(numpy().array(v, dtype=numpy().int32), 2)[::2],
    "numpy_uint8_memoryview": lambda v: memoryview(numpy().array(v, dtype=numpy().uint16)),
}


@pytest.mark.parametrize("kind", sorted(ARRAYS))
def test_integer_buffers_build_what_lists_build(kind):
    shifts, labels, payloads, transitions, videos = trie_of(WORDS)
    convert = ARRAYS[kind]
    payloads = [None if p is None else (p[0], convert(p[1]), convert(p[2])) for p in payloads]
    got = build(
        convert(shifts),
        labels,
        payloads,
        convert(transitions),
        [convert(list(v)) for v in videos],
        10,
    )
    assert got.to_bytes() == index_of(WORDS).to_bytes()


@pytest.mark.parametrize("value", [-1, 2**32, 2**63 - 1])
@pytest.mark.parametrize("kind", ["array_q", "numpy_int64", "list"])
def test_integer_buffers_out_of_range(kind, value):
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        build(ARRAYS[kind]([0, value]), ["", "a"], [None, None], [], [], 0)


@pytest.mark.parametrize(
    "make",
    [
        lambda: numpy().array([0.0, 1.0]),
        lambda: numpy().zeros((2, 1), dtype=numpy().int64),
        lambda: numpy().array(["a", "b"]),
        lambda: array.array("d", [0.0, 1.0]),
        lambda: array.array("w" if sys.version_info >= (3, 13) else "u", "ab"),
        lambda: numpy().array([0, 1], dtype=object),
    ],
    ids=["float", "2d", "str", "array_d", "array_u", "object"],
)
def test_buffers_that_hold_no_integers(make):
    with pytest.raises((TypeError, OverflowError, ValueError)):
        build(make(), ["", "a"], [None, None], [], [], 0)


def test_numpy_scalars_as_arguments():
    npy = numpy()
    index = index_of(WORDS)
    expected = index.fuzzy_match("car", 2, 3)
    assert index.fuzzy_match("car", npy.int64(2), npy.uint64(3)) == expected
    assert index.fuzzy_match("car", npy.uint8(2), npy.int32(3)) == expected
    assert index.fuzzy_match_video(
        "car", npy.int16(1), npy.uint64(U64_MAX), npy.bool_(True), npy.float32(0.0)
    ) == index.fuzzy_match_video("car", 1, None, True, 0.0)
    with pytest.raises(TypeError, match=r"^argument 'max_dist': "):
        index.fuzzy_match("car", npy.float64(2.0))
    with pytest.raises(OverflowError):
        index.fuzzy_match("car", npy.int64(-1))
    with pytest.raises(TypeError, match=r"^argument 'b': .*'PyBytes'"):
        load(npy.frombuffer(index.to_bytes(), dtype=npy.uint8))
    assert load(npy.bytes_(index.to_bytes())).to_bytes() == index.to_bytes()


def test_buffer_released_while_converting_is_refused():
    view = memoryview(bytes(range(4)))
    view.release()
    with pytest.raises(ValueError):
        build([0, 1], ["", "a"], [None, None], [], [view], 0)


# ---------------------------------------------------------------- odd subclasses
#
# Their refusals, and the values that int subclasses and __index__ stand
# for, are in the shared converter tables (test_surface.py).


def test_index_returning_an_int_subclass_is_accepted():
    index = index_of(WORDS)
    with pytest.warns(DeprecationWarning):
        assert index.fuzzy_match("cat", Index(LyingInt(2))) == index.fuzzy_match("cat", 2)


def test_str_subclass_is_read_as_its_characters():
    index = index_of(WORDS)
    assert index.fuzzy_match(LyingStr("cat"), 0) == [("cat", 1, 0)]


def test_tuple_subclass_payload_is_read_as_a_tuple_and_arrays_by_iteration():
    built = build([0, 1], ["", "a"], [None, LyingTuple((5, [0], [2]))], [1], [bytes(4)], 3)
    assert (
        built.to_bytes()
        == build([0, 1], ["", "a"], [None, (5, [0], [2])], [1], [bytes(4)], 3).to_bytes()
    )
    # As an array, a tuple subclass is iterated: its lying length is no
    # allocation size.
    index = build(LyingTuple(), ["", "a", "b", "c"], [None] * 4, LyingTuple(), [], 0)
    assert index.to_bytes()[:5] == bytes([4, 0, 1, 2, 3])


def test_bytes_subclass_is_read_in_place_but_iterated_as_a_video():
    index = index_of(WORDS)
    assert load(LyingBytes(index.to_bytes())).to_bytes() == index.to_bytes()
    with pytest.raises(OverflowError):
        build([0], [""], [None], [], [LyingBytes(bytes(4))], 0)


def test_items_mutating_their_list_while_it_is_converted():
    victim = [0, 1, 2, 3]

    class Clearing:
        def __index__(self):
            victim.clear()
            return 0

    victim[0] = Clearing()
    with pytest.raises(ValueError, match=r"^node_shifts len 1 != child_labels len 2$"):
        build(victim, ["", "a"], [None, None], [1], [], 0)

    ids = [0, 0, 0]

    class Growing:
        def __index__(self):
            ids.extend([0] * 999)
            return 0

    ids[0] = Growing()
    built = build([0, 1], ["", "a"], [None, (1, ids, [1] * 1002)], [1], [bytes(4)], 5)
    # All 1002 ids were read; the leaf keeps its first five, unmerged.
    assert built.fuzzy_match_video("a", 0, None, None, 0.0) == [("0", 5.0)]


# ---------------------------------------------------------------- failed allocations

needs_rlimit = pytest.mark.skipif(
    SANITIZED,
    reason="ASan reserves more address space than any RLIMIT_AS that could catch an allocation",
)


@needs_rlimit
@pytest.mark.parametrize(
    "call",
    [
        # Building: arrays far larger than the cap.
        "build(range(300_000_000), [], [], [], [], 0)",
        "build([], [], [], [], [bytes(16)] * 50_000_000, 0)",
        # Saving an index larger than the cap.
        "kept = [big.to_bytes() for _ in range(10)]",
        # Rows of a million-character query, one for each node of a deep path.
        "comb(2000).fuzzy_match('a' * 1_000_000, 4294967295)",
    ],
    ids=["node_shifts", "video_index", "to_bytes", "rows"],
)
def test_failed_allocations_raise_memory_error(call):
    setup = "from hardening import *\nbig = chain(3_000_000)\n"
    run = isolated(setup, call, limit_as_mb=150)
    assert run["outcome"] == "MemoryError", run
