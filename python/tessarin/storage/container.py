"""The index file: an index in a checked container.

An index file holds an index in one of two forms, after a header that says
what it is, which format version wrote it and whether any byte changed
since. All integers are little-endian.

Version 1 holds the saved form (what `PrefixSearch.to_bytes` writes), which
has no header and no checksum of its own, and which is decoded when loaded:

    offset  size  field
    0       8     magic: 89 54 53 52 0D 0A 1A 0A  ("\\x89TSR\\r\\n\\x1a\\n")
    8       2     format version, 1
    10      2     flags, 0 (no flag is defined; a reader refuses others)
    12      4     CRC-32 of every byte from offset 16 to the end of the file
                  (the polynomial of zlib, PNG and gzip: zlib.crc32)
    16      4     M, the length of the metadata
    20      M     metadata: a JSON object in UTF-8 (see `Metadata`)
    20+M    8     P, the length of the saved form
    28+M    P     the saved form, exactly as `to_bytes` writes it

Version 2 (what `Index.save` writes) holds the mapped form, the layout the
engine walks, used in place once loaded: fixed-width arrays in sections,
each with its CRC-32C, and a table of sections with its own
(src/format/mapped_form.h, docs/formats.md). Its header ends at H, the first
multiple of 64 at or past 28+M, so that the form and its sections are
aligned in the file as in memory:

    0       8     magic, as above
    8       2     format version, 2
    10      2     flags, 0
    12      4     CRC-32 of bytes 16 to H (the form checks itself)
    16      4     M, the length of the metadata
    20      M     metadata, as above
    20+M          zero bytes up to H-8
    H-8     8     P, the length of the mapped form
    H       P     the mapped form

The file ends right after its form. The checksums cover everything but the
first 16 bytes, and those are checked field by field, so a flipped bit
anywhere in the file is noticed: CRC-32 and CRC-32C detect every error of
up to 32 consecutive bits. The first byte is not ASCII and the magic holds
a CR LF pair and a ^Z, so a file mangled by a text-mode transfer is
refused, as PNG does.
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import os
import re
import struct
import zlib
from collections.abc import Mapping
from typing import IO, Any, NamedTuple

from ..errors import CorruptIndexError, IndexFormatError, NotAnIndexError

__all__ = [
    "FORMAT_VERSION",
    "MAGIC",
    "MAPPED_VERSION",
    "SAVED_VERSION",
    "Contents",
    "Metadata",
    "container_header",
    "is_container",
    "mapped_header",
    "parse",
    "parse_file",
    "read_metadata",
    "read_version",
    "verify_stream",
    "version_of",
]

MAGIC = b"\x89TSR\r\n\x1a\n"
#: The version that holds the saved form (every release reads it).
SAVED_VERSION = 1
#: The version that holds the mapped form.
MAPPED_VERSION = 2
#: The version `Index.save` writes; readers take both.
FORMAT_VERSION = MAPPED_VERSION
#: Where a version 2 header ends: a multiple of this, for the form's alignment.
FORM_ALIGNMENT = 64
_FIXED = struct.Struct("<8sHHII")  # magic, version, flags, checksum, M
_PAYLOAD_LENGTH = struct.Struct("<Q")
HEADER_SIZE = _FIXED.size  # 20: where the metadata starts
#: The largest metadata block a reader accepts; real ones are ~300 bytes.
MAX_METADATA = 1 << 20
#: The deepest nesting of the metadata's JSON a reader accepts; real ones have 1.
MAX_DEPTH = 16
# A JSON string, up to its closing quote or the end of the text. The loop
# stops only before a quote or at the end, where the match succeeds, so it
# never backtracks: any text is scanned once. (No possessive quantifier:
# Python 3.10 has none.)
_JSON_STRING = re.compile(r'"(?:[^"\\]+|\\.|\\\Z)*(?:"|\Z)', re.DOTALL)
_NOT_BRACKET = re.compile(r"[^\[\]{}]+")
_EMPTY_PAIR = re.compile(r"\[\]|\{\}")

Buffer = bytes | bytearray | memoryview


@dataclasses.dataclass(frozen=True)
class Metadata:
    """What an index file says about the index it holds."""

    nodes: int
    terms: int
    videos: int
    #: "uuid" or "int": the kind of video identifier.
    id_mode: str
    #: How many videos each node keeps (None if the writer did not know).
    video_top_n: int | None = None
    #: The normalisation applied to terms when building, if any.
    normalization: str | None = None
    #: The release that wrote the file, as "tessarin X.Y.Z".
    builder: str = ""
    #: When the file was written, ISO 8601 in UTC.
    created: str = ""
    #: How the counts were made and which terms were kept out, when either
    #: applied (`IndexBuilder.build_options`): names to text or integers.
    build_options: dict[str, str | int] | None = None

    def to_json(self) -> bytes:
        return json.dumps(dataclasses.asdict(self), sort_keys=True).encode()

    @classmethod
    def from_json(cls, data: bytes) -> Metadata:
        """From the metadata block of a file: JSON of at most `MAX_DEPTH`
        levels, whose fields have the types above. Raises CorruptIndexError."""
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CorruptIndexError(f"the index file's metadata is not UTF-8: {error}") from None
        if _depth_exceeds(text, MAX_DEPTH):
            raise CorruptIndexError(
                f"the index file's metadata is not JSON of at most {MAX_DEPTH} levels"
            )
        try:
            fields = json.loads(text)
        except (ValueError, RecursionError) as error:
            raise CorruptIndexError(f"the index file's metadata is not JSON: {error}") from None
        if not isinstance(fields, Mapping):
            raise CorruptIndexError("the index file's metadata is not a JSON object")
        return cls.from_mapping(fields)

    @classmethod
    def from_mapping(cls, fields: Mapping[str, Any]) -> Metadata:
        """From a mapping, keeping the fields this release knows (later
        releases may add others)."""
        known = {f.name: f for f in dataclasses.fields(cls)}
        values = {k: v for k, v in fields.items() if k in known}
        for name in ("nodes", "terms", "videos", "id_mode"):
            if name not in values:
                raise CorruptIndexError(f"the index file's metadata lacks {name!r}")
        for name in ("nodes", "terms", "videos", "video_top_n"):
            value = values.get(name)
            if value is not None and (type(value) is not int or value < 0):
                raise CorruptIndexError(
                    f"the index file's metadata has a bad {name!r}: {_shown(value)}"
                )
        for name in ("id_mode", "normalization", "builder", "created"):
            value = values.get(name)
            if value is not None and not (isinstance(value, str) and _is_unicode(value)):
                raise CorruptIndexError(
                    f"the index file's metadata has a bad {name!r}: {_shown(value)}"
                )
        options = values.get("build_options")
        if options is not None and not (
            isinstance(options, Mapping)
            and all(
                (isinstance(v, str) and _is_unicode(v)) or type(v) is int for v in options.values()
            )
            and all(_is_unicode(k) for k in options)
        ):
            raise CorruptIndexError(
                f"the index file's metadata has a bad 'build_options': {_shown(options)}"
            )
        if options is not None:
            values["build_options"] = dict(options)
        return cls(**values)


def _depth_exceeds(text: str, limit: int) -> bool:
    """Whether JSON text nests arrays and objects deeper than `limit` (or
    does not pair its brackets): the strings taken out, each pass removes
    the innermost pairs, so `limit` passes empty what is nested no deeper.
    Linear in the text for each pass, whatever it holds."""
    brackets = _NOT_BRACKET.sub("", _JSON_STRING.sub("", text))
    for _ in range(limit):
        if not brackets:
            return False
        brackets = _EMPTY_PAIR.sub("", brackets)
    return bool(brackets)


def _is_unicode(text: str) -> bool:
    """Whether a str is text (JSON's escapes can make lone surrogates)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _shown(value: object) -> str:
    """A value from a file, short, in printable ASCII."""
    text = ascii(value)
    return text if len(text) <= 60 else text[:57] + "..."


def now() -> str:
    """The current time as the metadata records it; SOURCE_DATE_EPOCH, when
    set, takes its place, so that the same records give the same file."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    when = (
        datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
        if epoch is not None and epoch.isdigit()
        else datetime.datetime.now(datetime.timezone.utc)
    )
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


def version_of(data: Buffer) -> int | None:
    """The format version an index file's first bytes announce, or None
    when they are not an index file's."""
    if len(data) < 10 or not is_container(data):
        return None
    return int.from_bytes(bytes(data[8:10]), "little")


def is_container(data: Buffer) -> bool:
    """Whether `data` starts with the index file's magic bytes."""
    return bytes(data[: len(MAGIC)]) == MAGIC


def container_header(metadata: Metadata, payload: Buffer) -> bytes:
    """The bytes that go before a saved form, `payload`, in a version 1
    index file."""
    meta = metadata.to_json()
    tail = meta + _PAYLOAD_LENGTH.pack(len(payload))
    checksum = zlib.crc32(payload, zlib.crc32(struct.pack("<I", len(meta)) + tail))
    return _FIXED.pack(MAGIC, SAVED_VERSION, 0, checksum, len(meta)) + tail


def _mapped_end(meta_length: int) -> int:
    """H: where a version 2 header with metadata of this length ends."""
    end = HEADER_SIZE + meta_length + _PAYLOAD_LENGTH.size
    return -(-end // FORM_ALIGNMENT) * FORM_ALIGNMENT


def mapped_header(metadata: Metadata, form_length: int) -> bytes:
    """The bytes that go before a mapped form of `form_length` bytes in a
    version 2 index file."""
    meta = metadata.to_json()
    padding = _mapped_end(len(meta)) - HEADER_SIZE - len(meta) - _PAYLOAD_LENGTH.size
    tail = meta + bytes(padding) + _PAYLOAD_LENGTH.pack(form_length)
    checksum = zlib.crc32(struct.pack("<I", len(meta)) + tail)
    return _FIXED.pack(MAGIC, MAPPED_VERSION, 0, checksum, len(meta)) + tail


def _fixed_fields(data: Buffer) -> tuple[int, int, int]:
    """Checks the first 20 bytes; returns (version, checksum, metadata length)."""
    if len(data) < HEADER_SIZE or not is_container(data):
        raise NotAnIndexError("not a tessarin index file (no index file header)")
    _, version, flags, checksum, meta_length = _FIXED.unpack_from(data)
    if version not in (SAVED_VERSION, MAPPED_VERSION):
        raise IndexFormatError(
            f"index file format version {version}: this release reads versions "
            f"{SAVED_VERSION} and {MAPPED_VERSION}"
            + (" (the file comes from a later release)" if version > MAPPED_VERSION else "")
        )
    if flags:
        raise IndexFormatError(f"index file flags {flags:#06x}: this release knows none")
    if meta_length > MAX_METADATA:
        raise CorruptIndexError(
            f"the index file's metadata is implausibly long ({meta_length:,} bytes)"
        )
    return version, checksum, meta_length


def _form_start(version: int, meta_length: int) -> int:
    """Where the saved or mapped form starts."""
    if version == SAVED_VERSION:
        return HEADER_SIZE + meta_length + _PAYLOAD_LENGTH.size
    return _mapped_end(meta_length)


class Contents(NamedTuple):
    """An index file split into its parts."""

    metadata: Metadata
    #: A view of the form (the caller releases it).
    form: memoryview
    #: SAVED_VERSION (the form is a saved form) or MAPPED_VERSION.
    version: int
    #: Where the form starts in the file.
    offset: int


def parse_file(data: Buffer, verify: bool = True) -> Contents:
    """Splits an index file into its metadata and form.

    The form is a view into `data`, not a copy (the caller releases it); on
    an error, no view of `data` is left. With `verify`, a version 1 file's
    checksum is compared first; without, only the structure is checked. A
    version 2 header's checksum is always compared (its form checks its
    own, when it is loaded)."""
    with memoryview(data) as whole, whole.cast("B") as view:
        version, checksum, meta_length = _fixed_fields(view)
        start = _form_start(version, meta_length)
        if len(view) < start:
            raise CorruptIndexError("the index file is truncated (in its header)")
        (length,) = _PAYLOAD_LENGTH.unpack_from(view, start - _PAYLOAD_LENGTH.size)
        check_length(len(view), start + length)
        if verify or version == MAPPED_VERSION:
            with view[16:] if version == SAVED_VERSION else view[16:start] as covered:
                matches = zlib.crc32(covered) == checksum
            if not matches:
                raise CorruptIndexError("the index file is damaged: its checksum does not match")
        metadata = Metadata.from_json(bytes(view[HEADER_SIZE : HEADER_SIZE + meta_length]))
        return Contents(metadata, view[start : start + length], version, start)


def parse(data: Buffer, verify: bool = True) -> tuple[Metadata, memoryview]:
    """`parse_file`'s metadata and form."""
    contents = parse_file(data, verify)
    return contents.metadata, contents.form


def _read_head(file: IO[bytes]) -> tuple[int, int, bytes, int]:
    """Reads an index file's header: (version, checksum, the bytes from
    offset 16 up to the form, the file's announced length)."""
    head = file.read(HEADER_SIZE)
    version, checksum, meta_length = _fixed_fields(head)
    want = _form_start(version, meta_length) - HEADER_SIZE
    rest = file.read(want)
    if len(rest) < want:
        raise CorruptIndexError("the index file is truncated (in its header)")
    (length,) = _PAYLOAD_LENGTH.unpack_from(rest, want - _PAYLOAD_LENGTH.size)
    return version, checksum, head[16:] + rest, HEADER_SIZE + want + length


def check_length(size: int, end: int) -> None:
    """Refuses a file of `size` bytes whose header announces `end`."""
    if size != end:
        what = "truncated" if size < end else "followed by bytes that are not part of it"
        raise CorruptIndexError(f"the index file is {what}")


def _metadata_of(covered: bytes) -> Metadata:
    (meta_length,) = struct.unpack_from("<I", covered)
    return Metadata.from_json(covered[4 : 4 + meta_length])


def read_metadata(file: IO[bytes]) -> tuple[Metadata, int]:
    """The metadata of an index file, reading only its header, and the
    length of the whole file as the header announces it. Checks no
    checksum."""
    _, _, covered, end = _read_head(file)
    return _metadata_of(covered), end


def read_version(file: IO[bytes]) -> int:
    """The format version of an index file, from its first bytes."""
    return _fixed_fields(file.read(HEADER_SIZE))[0]


def verify_stream(file: IO[bytes], chunk: int = 1 << 20) -> Metadata:
    """Checks a version 1 index file's length and checksum, reading it in
    chunks; returns its metadata. (A version 2 file is checked by loading
    it: its sections have checksums of their own.)"""
    version, checksum, covered, end = _read_head(file)
    if version != SAVED_VERSION:
        raise ValueError("verify_stream reads version 1 index files")
    crc = zlib.crc32(covered)
    size = HEADER_SIZE - 4 + len(covered)
    while block := file.read(chunk):
        crc = zlib.crc32(block, crc)
        size += len(block)
    check_length(size, end)
    if crc != checksum:
        raise CorruptIndexError("the index file is damaged: its checksum does not match")
    return _metadata_of(covered)
