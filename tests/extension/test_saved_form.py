"""to_bytes and from_bytes: the saved form byte for byte, and every way of
reading it wrongly, compared with the plain-Python model."""

import random
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _tessarin import PrefixSearch
from tessarin_reference.model import ModelTrie, build_model
from tessarin_reference.saved_form import ModelDecodeError, decode, encode
from tessarin_reference.strategies import build_args

build = PrefixSearch.from_internal_data_v2
load = PrefixSearch.from_bytes
UUID = bytes(range(16))

# The two-node index of a root and "a", in both video modes.
WORKED_UUID = bytes.fromhex(
    "020001 020061 0101 02 010101000101 010101000101 "
    "01000102030405060708090a0b0c0d0e0f 00 00 020001"
)
WORKED_INT32 = bytes.fromhex("020001 020061 0101 02 010101000101 010101000101 00 0107 01 020001")


def worked(video):
    return build([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [video], 10)


def decode_error(message):
    return pytest.raises(ValueError, match="^decode error: " + re.escape(message) + "$")


def outcome(data):
    """What from_bytes makes of data: ("ok", resaved bytes) or ("error", text)."""
    try:
        return "ok", load(data).to_bytes()
    except ValueError as e:
        assert str(e).startswith("decode error: ")
        return "error", str(e)[len("decode error: ") :]


def model_outcome(data):
    try:
        trie, _ = decode(data)
    except ModelDecodeError as e:
        return "error", e.text
    return "ok", encode(trie)


# ------------------------------------------------------------ strategies

U32 = st.one_of(
    st.sampled_from([0, 1, 250, 251, 65535, 65536, 2**32 - 1]),
    st.integers(0, 2**32 - 1),
)
SCALARS = st.characters(exclude_categories=("Cs",)).map(ord)


@st.composite
def unchecked_tries(draw):
    """Any content a saved form can carry, consistent or not: lists of any
    lengths, child indices and video positions anywhere, absent payloads,
    payload lists of different lengths."""
    payload = st.tuples(U32, st.lists(U32, max_size=4), st.lists(U32, max_size=4))
    mode = draw(st.integers(0, 1))
    return ModelTrie(
        node_shifts=draw(st.lists(U32, max_size=6)),
        child_labels=draw(st.lists(SCALARS, max_size=6)),
        child_transitions=draw(st.lists(U32, max_size=6)),
        payloads=draw(st.lists(st.none() | payload, max_size=5)),
        video_uuids=draw(st.lists(st.binary(min_size=16, max_size=16), max_size=3)),
        video_int_ids=draw(st.lists(U32, max_size=3)),
        id_mode=mode,
        is_terminal=draw(st.lists(st.integers(0, 1), max_size=6)),
    )


@st.composite
def mutated(draw, data):
    """data with one byte replaced, inserted or removed, or cut short."""
    position = draw(st.integers(0, len(data)))
    kind = draw(st.sampled_from(["replace", "insert", "remove", "cut"]))
    value = draw(
        st.sampled_from([0, 1, 2, 0x80, 0xC3, 0xED, 0xF4, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF])
        | st.integers(0, 255)
    )
    if kind == "replace" and position < len(data):
        return data[:position] + bytes([value]) + data[position + 1 :]
    if kind == "insert":
        return data[:position] + bytes([value]) + data[position:]
    if kind == "remove" and position < len(data):
        return data[:position] + data[position + 1 :]
    return data[:position]


# ------------------------------------------------------------ saving


@pytest.mark.parametrize(
    "video, expected",
    [(UUID, WORKED_UUID), ((7).to_bytes(4, "little"), WORKED_INT32)],
    ids=["uuid", "int32"],
)
def test_worked_example_bytes(video, expected):
    assert worked(video).to_bytes() == expected
    assert len(expected) == (43 if len(video) == 16 else 28)


@settings(max_examples=200, deadline=None)
@given(args=build_args(big_counts=True) | build_args(tree=False))
def test_saved_form_of_a_built_index_matches_model(args):
    saved = build(*args).to_bytes()
    assert type(saved) is bytes
    assert saved == encode(build_model(*args))


def test_empty_index_is_eight_zero_bytes():
    assert build([], [], [], [], [], 0).to_bytes() == bytes(8)
    assert load(bytes(8)).to_bytes() == bytes(8)


def test_saving_twice_gives_equal_bytes():
    index = worked(UUID)
    assert index.to_bytes() == index.to_bytes()


# ------------------------------------------------------------ loading


@settings(max_examples=200, deadline=None)
@given(trie=unchecked_tries(), seed=st.integers(0, 2**32), tail=st.binary(max_size=8))
def test_loading_any_content_gives_it_back_in_shortest_form(trie, seed, tail):
    # Longer integer forms are read; bytes after the saved form are ignored.
    wide = encode(trie, random.Random(seed))
    assert load(wide + tail).to_bytes() == encode(trie)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_damaged_saved_forms_fail_or_load_like_the_model(data):
    trie = data.draw(unchecked_tries())
    damaged = data.draw(mutated(encode(trie)))
    assert outcome(damaged) == model_outcome(damaged)


@settings(max_examples=300, deadline=None)
@given(raw=st.binary(max_size=40))
def test_arbitrary_bytes_fail_or_load_like_the_model(raw):
    assert outcome(raw) == model_outcome(raw)


@settings(max_examples=30, deadline=None)
@given(args=build_args(max_nodes=6))
def test_every_proper_prefix_ends_unexpectedly(args):
    saved = build(*args).to_bytes()
    for cut in range(len(saved)):
        kind, text = outcome(saved[:cut])
        assert kind == "error" and text.startswith("UnexpectedEnd { additional: ")
        assert (kind, text) == model_outcome(saved[:cut])


# Saved forms that start with node_shifts: its length, then its entries.
@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "UnexpectedEnd { additional: 1 }"),
        (b"\xfb", "UnexpectedEnd { additional: 2 }"),
        (b"\xfb\x01", "UnexpectedEnd { additional: 1 }"),
        (b"\xfc\x01\x00", "UnexpectedEnd { additional: 2 }"),
        (b"\xfd" + bytes(7), "UnexpectedEnd { additional: 1 }"),
        (b"\xfe", "InvalidIntegerType { expected: U64, found: U128 }"),
        (b"\xfe" + bytes(16), "InvalidIntegerType { expected: U64, found: U128 }"),
        (b"\xff", "InvalidIntegerType { expected: U64, found: Reserved }"),
        # An entry of node_shifts is a 32-bit integer: no 8-byte form.
        (b"\x01\xfd" + bytes(8), "InvalidIntegerType { expected: U32, found: U64 }"),
        (b"\x01\xfe", "InvalidIntegerType { expected: U32, found: U128 }"),
        (b"\x01\xff", "InvalidIntegerType { expected: U32, found: Reserved }"),
        # A length far beyond the input fails when the bytes run out, without
        # reserving room for it first.
        (b"\xfd" + (2**64 - 1).to_bytes(8, "little") + b"\x05", "UnexpectedEnd { additional: 1 }"),
        (b"\xfd" + (2**62).to_bytes(8, "little"), "UnexpectedEnd { additional: 1 }"),
    ],
)
def test_integer_errors(data, message):
    with decode_error(message):
        load(data)


# Saved forms whose child_labels hold one character: 00 01 <bytes> ...
@pytest.mark.parametrize(
    "encoded, message",
    [
        (b"\xc3", "UnexpectedEnd { additional: 1 }"),
        (b"\xf0\x9f", "UnexpectedEnd { additional: 2 }"),
        (b"\x80", "InvalidCharEncoding([128, 0, 0, 0])"),
        (b"\xc0\x80", "InvalidCharEncoding([192, 0, 0, 0])"),
        (b"\xf5\x80\x80\x80", "InvalidCharEncoding([245, 0, 0, 0])"),
        (b"\xc3\x41", "InvalidCharEncoding([195, 65, 0, 0])"),
        (b"\xe0\x80\x80", "InvalidCharEncoding([224, 128, 128, 0])"),
        (b"\xed\xa0\x80", "InvalidCharEncoding([237, 160, 128, 0])"),
        (b"\xf4\x90\x80\x80", "InvalidCharEncoding([244, 144, 128, 128])"),
        (b"\xf0\x8f\xbf\xbf", "InvalidCharEncoding([240, 143, 191, 191])"),
    ],
)
def test_character_errors(encoded, message):
    # A cut-short character must end the input; the others are followed by
    # the rest of a saved form.
    rest = b"" if message.startswith("UnexpectedEnd") else bytes(8)
    with decode_error(message):
        load(b"\x00\x01" + encoded + rest)


@pytest.mark.parametrize(
    "label",
    [
        "\x00",
        "\x7f",
        "\x80",
        "\u07ff",
        "\u0800",
        "\ud7ff",
        "\ue000",
        "\uffff",
        "\U00010000",
        "\U0010ffff",
    ],
)
def test_characters_at_the_width_boundaries_load(label):
    data = b"\x00\x01" + label.encode("utf-8") + bytes(6)
    assert load(data).to_bytes() == data


def _worked_with(position, value):
    data = bytearray(WORKED_UUID)
    data[position] = value
    return bytes(data)


@pytest.mark.parametrize(
    "data, message",
    [
        # The id_mode byte, third from the end.
        (
            _worked_with(-4, 2),
            'UnexpectedVariant { type_name: "IdMode", '
            "allowed: Range { min: 0, max: 1 }, found: 2 }",
        ),
        (
            WORKED_UUID[:-4] + b"\xfb\x00\x01" + WORKED_UUID[-3:],
            'UnexpectedVariant { type_name: "IdMode", '
            "allowed: Range { min: 0, max: 1 }, found: 256 }",
        ),
        (WORKED_UUID[:-4] + b"\xfd", "InvalidIntegerType { expected: U32, found: U64 }"),
        (_worked_with(-1, 2), "InvalidBooleanValue(2)"),
        (_worked_with(-2, 0xFF), "InvalidBooleanValue(255)"),
        # The tag of the first payload.
        (
            _worked_with(9, 2),
            "UnexpectedVariant { type_name: "
            '"core::option::Option<tessarin::payload::Payload>", '
            "allowed: Range { min: 0, max: 1 }, found: 2 }",
        ),
        # The one 16-byte identifier, cut short.
        (WORKED_UUID[:30], "UnexpectedEnd { additional: 8 }"),
        (WORKED_UUID[:24], "UnexpectedEnd { additional: 14 }"),
    ],
)
def test_errors_in_the_worked_example(data, message):
    with decode_error(message):
        load(data)


@pytest.mark.parametrize(
    "changed, field, value",
    [
        (WORKED_UUID[:-4] + b"\xfb\x01\x00" + WORKED_UUID[-3:], "id_mode", 1),
        (b"\xfb\x02\x00" + WORKED_UUID[1:], "node_shifts", [0, 1]),
        (b"\xfc\x02\x00\x00\x00" + WORKED_UUID[1:], "node_shifts", [0, 1]),
        (b"\xfd\x02" + bytes(7) + WORKED_UUID[1:], "node_shifts", [0, 1]),
    ],
)
def test_longer_integer_forms_are_read_and_saved_shortest(changed, field, value):
    assert getattr(decode(changed)[0], field) == value
    assert load(changed).to_bytes() == encode(decode(changed)[0])
    assert len(load(changed).to_bytes()) < len(changed)


def test_inconsistent_saved_form_loads():
    # Three node_shifts for one label, a child that does not exist, no
    # payload at all, a video position beyond an empty table.
    trie = ModelTrie(
        node_shifts=[0, 5, 9],
        child_labels=[ord("x")],
        child_transitions=[7, 0],
        payloads=[None, (3, [99], [])],
        video_uuids=[],
        video_int_ids=[],
        id_mode=1,
        is_terminal=[1, 0, 1, 1],
    )
    saved = encode(trie)
    assert load(saved).to_bytes() == saved


@pytest.mark.skipif(not hasattr(PrefixSearch, "fuzzy_match"), reason="no fuzzy_match yet")
@settings(max_examples=200, deadline=None)
@given(trie=unchecked_tries(), term=st.sampled_from(["", "a", "ab", "x"]))
def test_queries_on_an_inconsistent_index_fail_cleanly(trie, term):
    index = load(encode(trie))
    for query in ("fuzzy_match", "fuzzy_match_video"):
        if not hasattr(index, query):
            continue
        try:
            result = getattr(index, query)(term, 2)
        except BaseException as e:  # noqa: BLE001 - the only allowed failure is checked below
            assert type(e).__name__ == "PanicException", repr(e)
        else:
            assert isinstance(result, list)


# ------------------------------------------------------------ surface


@pytest.mark.parametrize(
    "argument, kind",
    [
        (bytearray(b"\x00" * 8), "bytearray"),
        (memoryview(bytes(8)), "memoryview"),
        ("\x00" * 8, "str"),
        (None, "NoneType"),
        ([0] * 8, "list"),
    ],
)
def test_from_bytes_takes_only_bytes(argument, kind):
    with pytest.raises(
        TypeError,
        match=rf"^argument 'b': '{kind}' object cannot be converted "
        r"to 'PyBytes'$",
    ):
        load(argument)


def test_from_bytes_accepts_a_bytes_subclass_and_a_keyword():
    class Saved(bytes):
        pass

    assert load(Saved(WORKED_UUID)).to_bytes() == WORKED_UUID
    assert load(b=WORKED_UUID).to_bytes() == WORKED_UUID


@pytest.mark.parametrize(
    "call",
    [
        lambda: load(),
        lambda: load(b"", b""),
        lambda: load(WORKED_UUID, c=1),
        lambda: load(WORKED_UUID, b=WORKED_UUID),
        lambda: worked(UUID).to_bytes(1),
        lambda: worked(UUID).to_bytes(b=1),
    ],
)
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_text_signatures():
    assert PrefixSearch.to_bytes.__text_signature__ == "($self)"
    assert PrefixSearch.from_bytes.__text_signature__ == "(b)"
    assert PrefixSearch.from_bytes.__doc__ is None


def test_loaded_index_is_independent_of_its_bytes():
    data = bytes(WORKED_UUID)
    before = sys.getrefcount(data)
    index = load(data)
    for _ in range(3):
        with pytest.raises(ValueError):
            load(data[:-1])
    assert sys.getrefcount(data) == before
    del data
    assert index.to_bytes() == WORKED_UUID


def test_decode_errors_are_plain_value_errors():
    with pytest.raises(ValueError) as caught:
        load(b"")
    assert type(caught.value) is ValueError
