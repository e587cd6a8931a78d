"""from_internal_data_v2: its checks, in their order, and what it accepts."""

import collections

import pytest
from hypothesis import given, settings

from _tessarin import PrefixSearch
from tessarin_reference.strategies import build_args

build = PrefixSearch.from_internal_data_v2
UUID = bytes(range(16))


def args(**changes):
    base = dict(
        node_shifts=[0, 2, 2],
        child_labels=["", "a", "b"],
        payloads=[None, (3, [0, 1], [1, 2]), (5, [1], [4])],
        child_transitions=[1, 2],
        video_index=[b"\x01\x00\x00\x00", b"\xff\xff\xff\xff"],
        video_top_n=10,
    )
    base.update(changes)
    return base


def test_worked_example_builds():
    assert isinstance(build(**args()), PrefixSearch)


def test_everything_empty_builds():
    assert isinstance(build([], [], [], [], [], 0), PrefixSearch)


@pytest.mark.parametrize(
    "changes, error, message",
    [
        # Step 1 decides even when payloads are wrong too.
        (
            dict(node_shifts=[0, 2], payloads=[1]),
            ValueError,
            r"^node_shifts len 2 != child_labels len 3$",
        ),
        (dict(payloads=[None]), ValueError, r"^payloads len 1 != child_labels len 3$"),
        (
            dict(child_transitions=[1, 3, 9]),
            ValueError,
            r"^child_transitions\[1\] = 3 out of range \[0\.\.3\)$",
        ),
        # Shape checks come before any payload is looked at.
        (
            dict(child_transitions=[3], payloads=[1, 2, 3]),
            ValueError,
            r"^child_transitions\[0\] = 3 out of range",
        ),
        (
            dict(node_shifts=[0, 2, 3]),
            ValueError,
            r"^node_shifts\[2\] = 3 out of range \[0\.\.2\]: beyond the end of child_transitions$",
        ),
        (
            dict(payloads=[None, [3, [0], [1]], None]),
            TypeError,
            r"^'list' object cannot be converted to 'PyTuple'$",
        ),
        (
            dict(payloads=[None, (3, [0]), None]),
            ValueError,
            r"^Payload tuple must have 3 elements$",
        ),
        (
            dict(payloads=[None, (3, [0], [1], 4), None]),
            ValueError,
            r"^Payload tuple must have 3 elements$",
        ),
        # (The converters' refusals inside a payload: test_surface.py.)
        (
            dict(payloads=[None, (1, [0, 1], [1]), None]),
            ValueError,
            r"^video_ids and video_counts length mismatch$",
        ),
        # The video table is checked last: a bad payload reports first.
        (
            dict(payloads=[None, (1, [0, 1], [1]), None], video_index=[b"abc"]),
            ValueError,
            r"^video_ids and video_counts length mismatch$",
        ),
        (
            dict(video_index=[UUID, b"\x00" * 4]),
            ValueError,
            r"^video_index entries must be all 16 bytes \(UUID\) or all 4 bytes \(int32\)$",
        ),
        (dict(video_index=[b"\x00" * 8]), ValueError, r"^video_index entries must be all 16"),
        # A str entry fails already while converting the argument.
        (
            dict(video_index=["abcd"], payloads=[1]),
            TypeError,
            r"^argument 'video_index': Can't extract `str` to `Vec`$",
        ),
        (
            dict(video_index=[[256, 0, 0, 0]]),
            OverflowError,
            r"^out of range integral type conversion attempted$",
        ),
    ],
)
def test_checks_and_their_order(changes, error, message):
    with pytest.raises(error, match=message) as info:
        build(**args(**changes))
    assert type(info.value) is error


def test_transition_equal_to_n_minus_one_passes():
    build(**args(child_transitions=[2, 2]))


def test_falling_node_shifts_pass():
    build(**args(node_shifts=[2, 0, 0]))


@pytest.mark.parametrize(
    "video_index",
    [
        [UUID, bytes(16)],
        [bytearray(UUID)],
        [list(UUID)],
        [b"\x01\x00\x00\x00"],
        [bytearray(b"\x01\x00\x00\x00"), (1, 2, 3, 4)],
        [],
    ],
)
def test_video_index_entry_kinds(video_index):
    build(**args(video_index=video_index))


def test_named_tuple_payload_is_accepted():
    Payload = collections.namedtuple("Payload", "total ids counts")
    build(**args(payloads=[None, Payload(3, [0], [1]), Payload(1, (), ())]))


def test_multi_character_label_uses_its_first():
    build(**args(child_labels=["xyz", "😀bc", ""]))


@settings(max_examples=200, deadline=None)
@given(build_args(tree=False, big_counts=True))
def test_any_valid_layout_builds(build_args):
    assert isinstance(build(*build_args), PrefixSearch)


def _integer_buffers():
    import array

    kinds = [lambda xs, t=t: array.array(t, xs) for t in "bBhHiIlLqQ"]
    try:
        import numpy as np
    except ImportError:
        return kinds
    kinds += [
        lambda xs, t=t: np.array(xs, dtype=t)
        for t in (np.int8, np.uint8, np.int32, np.uint32, np.int64, np.uint64)
    ]
    kinds.append(lambda xs: np.array(xs + xs, dtype=np.int64)[::2])  # strided
    return kinds


@pytest.mark.parametrize("make", _integer_buffers())
def test_integer_buffers_convert_like_lists(make):
    built = build(
        make([0, 2, 2]),
        ["", "a", "b"],
        [None, (3, make([0, 1]), make([1, 2])), (5, make([1]), make([4]))],
        make([1, 2]),
        [make([1, 0, 0, 0])],
        10,
    )
    assert isinstance(built, PrefixSearch)


def _out_of_range_buffers():
    import array

    cases = [array.array("i", [0, -1]), array.array("q", [0, 2**32]), array.array("Q", [0, 2**32])]
    try:
        import numpy as np
    except ImportError:
        return cases
    return [*cases, np.array([0, -1], dtype=np.int8), np.array([0, 2**32], dtype=np.uint64)]


@pytest.mark.parametrize("values", _out_of_range_buffers(), ids=repr)
def test_integer_buffers_refuse_like_lists(values):
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        build(values, ["a"] * 2, [None] * 2, [], [], 0)


def test_uint64_beyond_signed_range_gets_the_host_error():
    np = pytest.importorskip("numpy")
    with pytest.raises(OverflowError, match=r"too large to convert to C long"):
        build(np.array([2**63], dtype=np.uint64), ["a"], [None], [], [], 0)


def test_byte_entries_from_buffers_and_range():
    import array

    build(**args(video_index=[array.array("B", [1, 0, 0, 0]), memoryview(b"\x02\x00\x00\x00")]))
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        build(**args(video_index=[array.array("h", [1, 0, 0, 300])]))
