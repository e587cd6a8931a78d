"""The index file: a saved form in a checked container.

A saved form (what `PrefixSearch.to_bytes` writes) has no header and no
checksum, so a damaged one may still load and answer. An index file wraps it
in a small container that says what it is, which format version wrote it and
whether any byte changed since. All integers are little-endian:

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

The file ends right after the saved form. The checksum covers everything but
the first 16 bytes, and those are checked field by field, so a flipped bit
anywhere in the file is noticed: CRC-32 detects every error of up to 32
consecutive bits. The first byte is not ASCII and the magic holds a CR LF
pair and a ^Z, so a file mangled by a text-mode transfer is refused, as PNG
does.
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
from typing import IO, Any

from ..errors import CorruptIndexError, IndexFormatError, NotAnIndexError

__all__ = [
    "FORMAT_VERSION",
    "MAGIC",
    "Metadata",
    "container_header",
    "is_container",
    "parse",
    "read_metadata",
    "verify_stream",
]

MAGIC = b"\x89TSR\r\n\x1a\n"
FORMAT_VERSION = 1
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


def is_container(data: Buffer) -> bool:
    """Whether `data` starts with the index file's magic bytes."""
    return bytes(data[: len(MAGIC)]) == MAGIC


def container_header(metadata: Metadata, payload: Buffer) -> bytes:
    """The bytes that go before `payload` in an index file."""
    meta = metadata.to_json()
    tail = meta + _PAYLOAD_LENGTH.pack(len(payload))
    checksum = zlib.crc32(payload, zlib.crc32(struct.pack("<I", len(meta)) + tail))
    return _FIXED.pack(MAGIC, FORMAT_VERSION, 0, checksum, len(meta)) + tail


def _fixed_fields(data: Buffer) -> tuple[int, int]:
    """Checks the first 20 bytes; returns (checksum, metadata length)."""
    if len(data) < HEADER_SIZE or not is_container(data):
        raise NotAnIndexError("not a tessarin index file (no index file header)")
    _, version, flags, checksum, meta_length = _FIXED.unpack_from(data)
    if version != FORMAT_VERSION:
        raise IndexFormatError(
            f"index file format version {version}: this release reads version {FORMAT_VERSION}"
            + (" (the file comes from a later release)" if version > FORMAT_VERSION else "")
        )
    if flags:
        raise IndexFormatError(f"index file flags {flags:#06x}: this release knows none")
    if meta_length > MAX_METADATA:
        raise CorruptIndexError(
            f"the index file's metadata is implausibly long ({meta_length:,} bytes)"
        )
    return checksum, meta_length


def parse(data: Buffer, verify: bool = True) -> tuple[Metadata, memoryview]:
    """Splits an index file into its metadata and saved form.

    The saved form is a view into `data`, not a copy (the caller releases
    it); on an error, no view of `data` is left. With `verify`, the
    checksum is compared first; without, only the structure is checked.
    """
    with memoryview(data) as whole, whole.cast("B") as view:
        checksum, meta_length = _fixed_fields(view)
        payload_start = HEADER_SIZE + meta_length + _PAYLOAD_LENGTH.size
        if len(view) < payload_start:
            raise CorruptIndexError("the index file is truncated (in its header)")
        (payload_length,) = _PAYLOAD_LENGTH.unpack_from(view, payload_start - _PAYLOAD_LENGTH.size)
        end = payload_start + payload_length
        check_length(len(view), end)
        if verify and zlib.crc32(view[16:]) != checksum:
            raise CorruptIndexError("the index file is damaged: its checksum does not match")
        metadata = Metadata.from_json(bytes(view[HEADER_SIZE : HEADER_SIZE + meta_length]))
        return metadata, view[payload_start:end]


def _read_head(file: IO[bytes]) -> tuple[int, bytes, int]:
    """Reads an index file's header: (checksum, the bytes from offset 16 up
    to the saved form, the file's announced length)."""
    head = file.read(HEADER_SIZE)
    checksum, meta_length = _fixed_fields(head)
    rest = file.read(meta_length + _PAYLOAD_LENGTH.size)
    if len(rest) < meta_length + _PAYLOAD_LENGTH.size:
        raise CorruptIndexError("the index file is truncated (in its header)")
    (payload_length,) = _PAYLOAD_LENGTH.unpack_from(rest, meta_length)
    return checksum, head[16:] + rest, HEADER_SIZE + len(rest) + payload_length


def check_length(size: int, end: int) -> None:
    """Refuses a file of `size` bytes whose header announces `end`."""
    if size != end:
        what = "truncated" if size < end else "followed by bytes that are not part of it"
        raise CorruptIndexError(f"the index file is {what}")


def read_metadata(file: IO[bytes]) -> tuple[Metadata, int]:
    """The metadata of an index file, reading only its header, and the
    length of the whole file as the header announces it. Checks no
    checksum."""
    _, covered, end = _read_head(file)
    return Metadata.from_json(covered[4 : -_PAYLOAD_LENGTH.size]), end


def verify_stream(file: IO[bytes], chunk: int = 1 << 20) -> Metadata:
    """Checks an index file's length and checksum, reading it in chunks;
    returns its metadata."""
    checksum, covered, end = _read_head(file)
    crc = zlib.crc32(covered)
    size = HEADER_SIZE - 4 + len(covered)
    while block := file.read(chunk):
        crc = zlib.crc32(block, crc)
        size += len(block)
    check_length(size, end)
    if crc != checksum:
        raise CorruptIndexError("the index file is damaged: its checksum does not match")
    return Metadata.from_json(covered[4 : -_PAYLOAD_LENGTH.size])
