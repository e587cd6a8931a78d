"""The index file container: every damaged byte is noticed."""

from __future__ import annotations

import io

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessarin.errors import CorruptIndexError, IndexFormatError, NotAnIndexError, TessarinError
from tessarin.storage import container
from tessarin.storage.container import Metadata

META = Metadata(nodes=3, terms=2, videos=1, id_mode="int", video_top_n=5, builder="t", created="x")
PAYLOAD = bytes(range(40))
FILE = container.container_header(META, PAYLOAD) + PAYLOAD


def test_round_trip_keeps_metadata_and_payload():
    metadata, payload = container.parse(FILE)
    assert metadata == META
    assert bytes(payload) == PAYLOAD
    assert container.read_metadata(io.BytesIO(FILE)) == (META, len(FILE))
    assert container.verify_stream(io.BytesIO(FILE), chunk=7) == META


@given(st.integers(0, len(FILE) * 8 - 1))
def test_any_flipped_bit_is_an_error(bit):
    damaged = bytearray(FILE)
    damaged[bit // 8] ^= 1 << (bit % 8)
    with pytest.raises(TessarinError) as parsed:
        container.parse(damaged)
    with pytest.raises(TessarinError) as streamed:
        container.verify_stream(io.BytesIO(damaged), chunk=5)
    expected = NotAnIndexError if bit < 64 else IndexFormatError if bit < 96 else CorruptIndexError
    assert isinstance(parsed.value, expected)
    assert type(streamed.value) is type(parsed.value)


@pytest.mark.parametrize(
    ("data", "error"),
    [
        (FILE[:-1], "truncated"),
        (FILE + b"\0", "followed by bytes"),
        (FILE[:25], "checksum|truncated"),
        (b"", "no index file header"),
        (b"\x89TSR\r\n\x1a\n\x02\x00", "no index file header"),
    ],
    ids=["truncated", "extended", "header only", "empty", "magic only"],
)
def test_truncated_or_extended_files(data, error):
    with pytest.raises(TessarinError, match=error):
        container.parse(data)


def test_a_later_format_version_is_named():
    later = bytearray(FILE)
    later[8] = 2
    with pytest.raises(IndexFormatError, match="later release"):
        container.parse(later, verify=False)


@pytest.mark.parametrize(
    "fields",
    [
        {"nodes": 1},
        {"nodes": -1, "terms": 0, "videos": 0, "id_mode": "int"},
        {"nodes": True, "terms": 0, "videos": 0, "id_mode": "int"},
        {"nodes": 1, "terms": 0, "videos": 0, "id_mode": 3},
    ],
)
def test_bad_metadata_is_corrupt(fields):
    with pytest.raises(CorruptIndexError, match="metadata"):
        Metadata.from_mapping(fields)


def test_unknown_metadata_fields_are_ignored():
    fields = {"nodes": 1, "terms": 0, "videos": 0, "id_mode": "int", "from_the_future": 1}
    assert Metadata.from_mapping(fields).nodes == 1
