"""The index file's format (a container: header, metadata, checksum, the
saved form): every damaged byte is noticed, any metadata is read or
refused in plain words."""

from __future__ import annotations

import contextlib
import io
import json
import mmap
import re
import struct
import zlib

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from samples import SMALL_INDEX, index_file

from tessarin import Index, cli
from tessarin.errors import CorruptIndexError, IndexFormatError, NotAnIndexError, TessarinError
from tessarin.storage import container
from tessarin.storage.container import Metadata

META = Metadata(nodes=3, terms=2, videos=1, id_mode="int", video_top_n=5, builder="t", created="x")
PAYLOAD = bytes(range(40))
FILE = index_file(META, PAYLOAD)


def test_round_trip_keeps_metadata_and_payload():
    metadata, payload = container.parse(FILE)
    assert metadata == META
    assert bytes(payload) == PAYLOAD
    assert container.read_metadata(io.BytesIO(FILE)) == (META, len(FILE))
    assert container.verify_stream(io.BytesIO(FILE), chunk=7) == META


@given(st.integers(0, len(FILE) * 8 - 1))
def test_a_flipped_bit_is_the_error_of_its_region_parsed_or_streamed(bit):
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
def test_truncated_or_extended_files_are_refused(data, error):
    with pytest.raises(TessarinError, match=error):
        container.parse(data)


def test_a_later_format_version_is_named():
    later = bytearray(FILE)
    later[8] = 3
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
def test_metadata_lacking_or_mistyped_fields_is_corrupt(fields):
    with pytest.raises(CorruptIndexError, match="metadata"):
        Metadata.from_mapping(fields)


def test_unknown_metadata_fields_are_ignored():
    fields = {"nodes": 1, "terms": 0, "videos": 0, "id_mode": "int", "from_the_future": 1}
    assert Metadata.from_mapping(fields).nodes == 1


# ----------------------------------------------- metadata from a hostile file

REAL_PAYLOAD = SMALL_INDEX.to_prefix_search().to_bytes()
VALID = json.loads(SMALL_INDEX.metadata.to_json())


def with_metadata(meta: bytes) -> bytes:
    """A valid index file around `meta`, its checksum right."""
    tail = meta + struct.pack("<Q", len(REAL_PAYLOAD))
    checksum = zlib.crc32(REAL_PAYLOAD, zlib.crc32(struct.pack("<I", len(meta)) + tail))
    return struct.pack("<8sHHII", container.MAGIC, 1, 0, checksum, len(meta)) + tail + REAL_PAYLOAD


JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(), inner, max_size=3),
    max_leaves=8,
)
METADATA = st.one_of(
    st.binary(max_size=64),
    JSON.map(lambda value: json.dumps(value).encode()),
    st.builds(
        lambda name, value: json.dumps({**VALID, name: value}).encode(),
        st.sampled_from(sorted(VALID)),
        JSON,
    ),
    st.integers(0, 3000).map(lambda n: b"[" * n + b"]" * n),
)


@settings(max_examples=150, deadline=None)
@example(b"[" * 200_000 + b"]" * 200_000)
@example(json.dumps({**VALID, "builder": "\ud800"}).encode())
@example(json.dumps({**VALID, "builder": "\x1b[2J\u202e caf\u00e9"}).encode())
@given(METADATA)
def test_any_metadata_loads_or_is_refused_and_info_prints_it_safely(tmp_path_factory, meta):
    data = with_metadata(meta)
    with contextlib.suppress(CorruptIndexError, IndexFormatError):
        Index.load(data)  # and nothing else
    path = tmp_path_factory.mktemp("meta") / "index.idx"
    path.write_bytes(data)
    # `tessarin info` on a strict ASCII terminal: a whole table, or one line
    # about the file; never a Python error, never a control character.
    out = io.TextIOWrapper(io.BytesIO(), encoding="ascii", errors="strict")
    err = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(["info", str(path)])
    out.seek(0)
    printed = out.read()
    if status == 0:
        assert printed.count("\n") >= 8 and printed.isascii()
        assert all(c.isprintable() for c in printed.replace("\n", "")), printed
    else:
        assert (status, printed) == (1, "")
        assert re.match(r"tessarin: \S+: the index file's metadata", err.getvalue()), err


def test_a_failed_load_lets_go_of_the_callers_buffer(tmp_path):
    path = tmp_path / "deep.idx"
    path.write_bytes(with_metadata(b"[" * 200_000 + b"]" * 200_000))
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        with pytest.raises(CorruptIndexError, match="metadata") as raised:
            Index.load(mapped)
        mapped.close()  # while the error, its traceback and its frames live
    assert raised.value.__traceback__ is not None
