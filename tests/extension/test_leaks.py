"""Leak checks: every method and every error path, called many times after a
warm-up, must leave the references, the interpreter's allocated blocks and
the C++ heap where they were.

References are counted exactly on a debug interpreter (sys.gettotalrefcount,
e.g. Debian's python3-dbg, which .ci/hardening.sh runs this file under);
elsewhere the per-call growth of sys.getallocatedblocks() catches leaked new
objects and the reference counts of the arguments catch leaked references
to them. The C++ heap is read through glibc's mallinfo2(). The long runs
(more calls, thousands of build/load/free cycles of larger indexes) need
TESSARIN_SLOW_LEAKS=1."""

import contextlib
import gc
import os
import sys

import pytest
from hardening import (
    SANITIZED,
    WORDS,
    allocation_counters,
    build,
    index_of,
    load,
    traced_growth,
    trie_of,
)

from _tessarin import PrefixSearch
from tessarin_reference.heap import malloc_in_use
from tessarin_reference.hostile import Float, Hostile, Index, panic_type

SLOW = bool(os.environ.get("TESSARIN_SLOW_LEAKS"))
CALLS = 2000 if SLOW else 200
ROUNDS = 3

INDEX = index_of(WORDS)
SAVED = INDEX.to_bytes()
UUID_INDEX = build(
    [0, 1, 2],
    ["", "a", "b"],
    [None, (2, [0, 1], [1, 1]), (1, [1], [1])],
    [1, 2],
    [bytes(range(16)), bytes(range(1, 17))],
    5,
)
# Saved forms that load but break what the queries rely on.
BAD_CHILD = load(bytes.fromhex("0100 0161 0105 00 00 00 00 00"))
CYCLE = load(bytes.fromhex("020001 020061 0401010101 00 00 00 00 020001"))
# Node 1's payload lists two videos but one count.
SHORT_COUNTS = load(bytes.fromhex("020001 020061 0101 02 00 0101 020000 0101 00 0107 01 020001"))


shifts, labels, payloads, transitions, videos = trie_of(WORDS)
GOOD = (shifts, labels, payloads, transitions, videos, 3)


def replaced(position, value):
    args = list(GOOD)
    args[position] = value
    return tuple(args)


B = build
CASES = {
    # from_internal_data_v2: success, binding, conversion, checks, payloads, videos.
    "build": (B, GOOD, {}),
    "build_uuid_kw": (
        B,
        (),
        dict(
            node_shifts=[0, 1],
            child_labels=["", "a"],
            payloads=[None, (1, [0], [1])],
            child_transitions=[1],
            video_index=[bytes(16)],
            video_top_n=1,
        ),
    ),
    "build_too_many": (B, (*GOOD, 1), {}),
    "build_unknown_kw": (B, GOOD, {"nope": 1}),
    "build_twice": (B, GOOD, {"node_shifts": []}),
    "build_missing": (B, (), {}),
    "build_str_array": (B, replaced(0, "012"), {}),
    "build_not_sequence": (B, replaced(0, {1, 2}), {}),
    "build_item_type": (B, replaced(0, [0, None]), {}),
    "build_item_overflow": (B, replaced(0, [0, -1]), {}),
    "build_item_index_raises": (B, replaced(0, [0, Index(Hostile("no"))]), {}),
    "build_label_type": (B, replaced(1, ["", 5]), {}),
    "build_label_surrogate": (B, replaced(1, ["", "\ud800"]), {}),
    "build_payloads_type": (B, replaced(2, 7), {}),
    "build_transitions_type": (B, replaced(3, [1.5]), {}),
    "build_video_str": (B, replaced(4, ["abcd"]), {}),
    "build_video_byte_overflow": (B, replaced(4, [[1, 2, 3, 256]]), {}),
    "build_top_n_negative": (B, replaced(5, -1), {}),
    "build_top_n_type": (B, replaced(5, "3"), {}),
    "build_shifts_len": (B, ([0], ["", "a"], [None, None], [], [], 0), {}),
    "build_payloads_len": (B, ([0, 1], ["", "a"], [None], [], [], 0), {}),
    "build_transition_range": (B, ([0, 1], ["", "a"], [None, None], [2], [], 0), {}),
    "build_shift_beyond": (B, ([0, 9], ["", "a"], [None, None], [1], [], 0), {}),
    "build_payload_not_tuple": (B, ([0], [""], [[1, [], []]], [], [], 0), {}),
    "build_payload_two": (B, ([0], [""], [(1, [])], [], [], 0), {}),
    "build_payload_total": (B, ([0], [""], [(-1, [], [])], [], [], 0), {}),
    "build_payload_ids_str": (B, ([0], [""], [(1, "12", [])], [], [], 0), {}),
    "build_payload_counts_type": (B, ([0], [""], [(1, [1], [None])], [], [], 0), {}),
    "build_payload_mismatch": (B, ([0], [""], [(1, [1, 2], [1])], [], [], 0), {}),
    "build_video_lengths": (B, ([0], [""], [None], [], [bytes(16), bytes(4)], 0), {}),
    "no_constructor": (PrefixSearch, (1,), {}),
    # to_bytes and from_bytes.
    "to_bytes": (INDEX.to_bytes, (), {}),
    "to_bytes_uuid": (UUID_INDEX.to_bytes, (), {}),
    "to_bytes_argument": (INDEX.to_bytes, (1,), {}),
    "from_bytes": (load, (SAVED,), {}),
    "from_bytes_kw": (load, (), {"b": SAVED + b"tail"}),
    "from_bytes_missing": (load, (), {}),
    "from_bytes_bytearray": (load, (bytearray(SAVED),), {}),
    "from_bytes_empty": (load, (b"",), {}),
    "from_bytes_cut": (load, (SAVED[: len(SAVED) // 2],), {}),
    "from_bytes_u64_in_u32": (load, (b"\x01\xfd" + bytes(8),), {}),
    "from_bytes_u128": (load, (b"\xfe",), {}),
    "from_bytes_reserved": (load, (b"\x00\x01\xff",), {}),
    "from_bytes_char": (load, (b"\x00\x01\xed\xa0\x80",), {}),
    "from_bytes_option": (load, (b"\x00\x00\x00\x01\x02",), {}),
    "from_bytes_id_mode": (load, (b"\x00" * 6 + b"\x02\x00",), {}),
    "from_bytes_boolean": (load, (b"\x00" * 7 + b"\x01\x02",), {}),
    # fuzzy_match.
    "fuzzy_match": (INDEX.fuzzy_match, ("car", 2), {}),
    "fuzzy_match_limit": (INDEX.fuzzy_match, ("ca",), {"max_dist": 3, "limit": 2}),
    "fuzzy_match_long": (INDEX.fuzzy_match, ("x" * 300, 300), {}),
    "fuzzy_match_missing": (INDEX.fuzzy_match, (), {}),
    "fuzzy_match_term_type": (INDEX.fuzzy_match, (5,), {}),
    "fuzzy_match_term_surrogate": (INDEX.fuzzy_match, ("\udc00",), {}),
    "fuzzy_match_dist_none": (INDEX.fuzzy_match, ("a", None), {}),
    "fuzzy_match_dist_overflow": (INDEX.fuzzy_match, ("a", 2**32), {}),
    "fuzzy_match_dist_index": (INDEX.fuzzy_match, ("a", Index(2)), {}),
    "fuzzy_match_limit_negative": (INDEX.fuzzy_match, ("a", 1, -1), {}),
    "fuzzy_match_limit_raises": (INDEX.fuzzy_match, ("a", 1, Index(Hostile("no"))), {}),
    "fuzzy_match_corrupt": (BAD_CHILD.fuzzy_match, ("a",), {}),
    "fuzzy_match_cycle": (CYCLE.fuzzy_match, ("a" * 10, 10), {}),
    # fuzzy_match_video.
    "video": (INDEX.fuzzy_match_video, ("car", 2), {}),
    "video_uuid": (UUID_INDEX.fuzzy_match_video, ("a",), {"min_score": 0.0}),
    "video_all_args": (INDEX.fuzzy_match_video, ("ca", 1, 2, True, 0.0), {}),
    "video_term_type": (INDEX.fuzzy_match_video, (b"car",), {}),
    "video_dist_type": (INDEX.fuzzy_match_video, ("car", 1.0), {}),
    "video_limit_overflow": (INDEX.fuzzy_match_video, ("car", 1, 2**64), {}),
    "video_prefix_type": (INDEX.fuzzy_match_video, ("car", 1, None, 1), {}),
    "video_score_type": (INDEX.fuzzy_match_video, ("car", 1, None, None, "0.5"), {}),
    "video_score_raises": (
        INDEX.fuzzy_match_video,
        ("car", 1, None, None, Float(Hostile("no"))),
        {},
    ),
    "video_unknown_kw": (INDEX.fuzzy_match_video, ("car",), {"limits": 1}),
    "video_corrupt_counts": (SHORT_COUNTS.fuzzy_match_video, ("a", 0), {}),
    "video_cycle": (CYCLE.fuzzy_match_video, ("a" * 10, 10, None, True), {}),
}


def call_many(function, args, kwargs, times):
    for _ in range(times):
        with contextlib.suppress(BaseException):  # every outcome is what the case wants
            function(*args, **kwargs)


def growth_per_call(function, args, kwargs, calls=CALLS):
    """The least growth of (references, blocks) over ROUNDS rounds of
    `calls` calls, after a warm-up, divided by `calls`."""
    call_many(function, args, kwargs, 20)
    best = None
    for _ in range(ROUNDS):
        before = allocation_counters()
        call_many(function, args, kwargs, calls)
        after = allocation_counters()
        delta = tuple(a - b for a, b in zip(after, before, strict=True))
        best = delta if best is None else tuple(map(min, best, delta))
    return tuple(d / calls for d in best)


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak_per_call(name, capfd):
    function, args, kwargs = CASES[name]
    # Objects of the call's own (small ints, one-character strings and the
    # singletons are shared with the whole interpreter, so their counts move
    # with everything else).
    witnesses = [
        o
        for o in (getattr(function, "__self__", function), *args, *kwargs.values())
        if not isinstance(o, (int, float, type(None))) and not (isinstance(o, str) and len(o) < 2)
    ]
    calls = CALLS // 4 if name.endswith(("corrupt", "cycle", "counts")) else CALLS
    before = refcounts(witnesses)
    refs, blocks = growth_per_call(function, args, kwargs, calls)
    assert refcounts(witnesses) == before, "an argument's reference count changed"
    # Less than one reference or block per ten calls: a leak on a path gives
    # at least one per call.
    assert refs < 0.1, f"{refs:.3f} references per call"
    assert blocks < 0.1, f"{blocks:.3f} blocks per call"
    capfd.readouterr()  # internal failures describe themselves on stderr


def test_every_error_path_raises_what_it_should():
    # The table above is only worth something if each case takes its path.
    expected = {
        "build": None,
        "build_uuid_kw": None,
        "to_bytes": None,
        "to_bytes_uuid": None,
        "from_bytes": None,
        "from_bytes_kw": None,
        "fuzzy_match": None,
        "fuzzy_match_limit": None,
        "fuzzy_match_long": None,
        "fuzzy_match_dist_index": None,
        "video": None,
        "video_uuid": None,
        "video_all_args": None,
    }
    panics = {"fuzzy_match_corrupt", "fuzzy_match_cycle", "video_corrupt_counts", "video_cycle"}
    for name, (function, args, kwargs) in CASES.items():
        try:
            function(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001
            raised = type(exc)
        else:
            raised = None
        if name in expected:
            assert raised is None, name
        elif name in panics:
            assert raised is panic_type(), name
        else:
            assert raised in (TypeError, ValueError, OverflowError, UnicodeEncodeError, Hostile), (
                name,
                raised,
            )


# ---------------------------------------------------------------- the C++ heap


HEAP = not SANITIZED and malloc_in_use() is not None


def heap_in_use():
    gc.collect()
    return malloc_in_use()


def cycle(words, video_top_n):
    index = index_of(words, video_top_n)
    saved = index.to_bytes()
    again = load(saved + b"tail")
    again.fuzzy_match(words[0], 2)
    again.fuzzy_match_video(words[-1][:3], 1)
    with contextlib.suppress(ValueError):
        load(saved[:-1])


@pytest.mark.skipif(not HEAP, reason="needs glibc's mallinfo2 (and no ASan)")
def test_heap_stays_flat_across_build_load_free_cycles():
    small = WORDS
    large = [f"{w}{k}" for k in range(60 if SLOW else 8) for w in WORDS]
    cycles = 5000 if SLOW else 1000
    for words in (small, large):
        for _ in range(50):
            cycle(words, 3)
        before = heap_in_use()
        for _ in range(cycles):
            cycle(words, 3)
        grown = heap_in_use() - before
        # One leaked index of the small set alone is about a kilobyte; a
        # leak per cycle would show as megabytes.
        assert grown < 64 * 1024, f"{grown} bytes more in use after {cycles} cycles"


def test_type_mismatch_errors_take_no_memory():
    # Each of these looks up a type's name. With a fresh name string per
    # call, the host's type-attribute cache (keyed by the string's address)
    # kept one string per call; ASan, which does not reuse freed addresses,
    # showed it as growth of about 60 bytes per call.
    def calls():
        for call in (
            lambda: INDEX.fuzzy_match(5),
            lambda: INDEX.fuzzy_match_video("a", 1, None, 1),
            lambda: PrefixSearch(),
            lambda: load(bytearray(4)),
        ):
            with contextlib.suppress(TypeError):
                call()

    grown = traced_growth(calls, warmup=20, rounds=1000)
    assert grown < 20_000, f"{grown} bytes traced after 4000 failed conversions"
