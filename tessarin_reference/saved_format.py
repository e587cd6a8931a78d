"""A plain-Python reader of the saved index layout, for the tests.

`PrefixSearch.to_bytes()` writes the index's eight fields in order, with no
header, version or checksum; the layout itself is the contract:

1. node_shifts        sequence of u32
2. child_labels       sequence of characters (UTF-8, 1 to 4 bytes each)
3. child_transitions  sequence of u32
4. payloads           sequence of optional payloads: tag byte 0 (absent) or
                      1, then total_count (u32), video_ids and video_counts
                      (sequences of u32)
5. video_uuids        sequence of 16-byte arrays
6. video_int_ids      sequence of u32
7. id_mode            enumeration tag: 0 UUID, 1 int
8. is_terminal        sequence of booleans, one byte each

A sequence starts with its element count; counts and u32 values are
variable-length integers: a first byte 0..250 is the value, 251 announces 2
more bytes, 252 four, 253 eight (counts only), all little-endian.

`PrefixSearch.from_bytes` is the authority on whether bytes are a valid
saved index; this reader lets the tests look inside saved forms (the
fields, or a summary of them), and raises ValueError on anything it cannot
read. `saved_form` models the same layout with every refusal of
`from_bytes`.
"""

from __future__ import annotations

import dataclasses
import functools
import re

__all__ = ["IndexSummary", "SavedIndex", "read_saved", "summarize"]

Payload = tuple[int, list[int], list[int]]

_ONE_BYTE_VALUES = bytes(range(251))


@functools.lru_cache(maxsize=64)
def _varints(count: int) -> re.Pattern[bytes]:
    """A pattern matching `count` u32 variable-length integers."""
    return re.compile(rb"(?:[\x00-\xfa]|\xfb[\x00-\xff]{2}|\xfc[\x00-\xff]{4}){%d}" % count)


@dataclasses.dataclass
class SavedIndex:
    """The eight fields of a saved index; labels as code points (0: none)."""

    node_shifts: list[int]
    child_labels: list[int]
    child_transitions: list[int]
    payloads: list[Payload | None]
    video_uuids: list[bytes]
    video_int_ids: list[int]
    id_mode: int
    is_terminal: list[int]
    size: int  # bytes read; anything after them is ignored by from_bytes


@dataclasses.dataclass
class IndexSummary:
    nodes: int
    terms: int
    videos: int
    id_mode: str  # "uuid" or "int"
    size: int  # bytes of the saved form


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def fail(self, what: str) -> ValueError:
        return ValueError(f"saved index cut short or corrupt at byte {self.pos} ({what})")

    def varint(self, wide: bool = False) -> int:
        data, pos = self.data, self.pos
        if pos >= len(data):
            raise self.fail("integer")
        first = data[pos]
        if first <= 250:
            self.pos = pos + 1
            return first
        width = {251: 2, 252: 4, 253: 8 if wide else 0}.get(first, 0)
        if width == 0 or pos + 1 + width > len(data):
            raise self.fail("integer")
        self.pos = pos + 1 + width
        return int.from_bytes(data[pos + 1 : pos + 1 + width], "little")

    def length(self, smallest: int) -> int:
        count = self.varint(wide=True)
        if count * smallest > len(self.data) - self.pos:
            raise self.fail("sequence longer than the input")
        return count

    def u32s(self) -> list[int]:
        count = self.length(1)
        data, pos = self.data, self.pos
        # Fast path: a run of one-byte values is a plain slice.
        if not data[pos : pos + count].translate(None, _ONE_BYTE_VALUES):
            self.pos = pos + count
            return list(data[pos : pos + count])
        return [self.varint() for _ in range(count)]

    def chars(self) -> list[int]:
        return self.chars_after_length(self.length(1))

    def chars_after_length(self, count: int) -> list[int]:
        data, pos = self.data, self.pos
        if data[pos : pos + count].isascii():
            self.pos = pos + count
            return list(data[pos : pos + count])
        out = []
        for _ in range(count):
            if self.pos >= len(data):
                raise self.fail("character")
            first = data[self.pos]
            width = 1 if first < 0x80 else 2 if first < 0xE0 else 3 if first < 0xF0 else 4
            try:
                text = data[self.pos : self.pos + width].decode("utf-8")
            except UnicodeDecodeError:
                raise self.fail("character") from None
            if len(text) != 1:
                raise self.fail("character")
            out.append(ord(text))
            self.pos += width
        return out

    def skip_varint(self) -> None:
        first = self.data[self.pos]
        if first > 252:
            raise self.fail("integer")
        self.pos += 1 if first <= 250 else 3 if first == 251 else 5

    def skip_varints(self, count: int) -> None:
        data, pos = self.data, self.pos
        if data[pos : pos + count].translate(None, _ONE_BYTE_VALUES):
            match = _varints(count).match(data, pos)
            if match is None:
                raise self.fail("integer")
            self.pos = match.end()
        else:
            self.pos = pos + count

    def skip_u32s(self) -> None:
        self.skip_varints(self.length(1))

    def skip_chars(self, count: int) -> None:
        data, pos = self.data, self.pos
        if data[pos : pos + count].isascii():
            self.pos = pos + count
        else:
            self.chars_after_length(count)

    def byte(self, what: str, allowed: int = 1) -> int:
        if self.pos >= len(self.data):
            raise self.fail(what)
        value = self.data[self.pos]
        if value > allowed:
            raise self.fail(what)
        self.pos += 1
        return value

    def payloads(self) -> list[Payload | None]:
        out: list[Payload | None] = []
        for _ in range(self.length(1)):
            if self.byte("payload tag"):
                out.append((self.varint(), self.u32s(), self.u32s()))
            else:
                out.append(None)
        return out

    def uuids(self) -> list[bytes]:
        count = self.length(16)
        pos = self.pos
        self.pos = pos + 16 * count
        return [self.data[p : p + 16] for p in range(pos, pos + 16 * count, 16)]

    def booleans(self) -> list[int]:
        count = self.length(1)
        values = self.data[self.pos : self.pos + count]
        if values.translate(None, b"\x00\x01"):
            raise self.fail("boolean")
        self.pos += count
        return list(values)


def read_saved(data: bytes) -> SavedIndex:
    """The fields of the saved index at the start of `data`."""
    reader = _Reader(bytes(data))
    node_shifts = reader.u32s()
    child_labels = reader.chars()
    child_transitions = reader.u32s()
    payloads = reader.payloads()
    video_uuids = reader.uuids()
    video_int_ids = reader.u32s()
    id_mode = reader.varint()
    if id_mode > 1:
        raise reader.fail("identifier mode")
    is_terminal = reader.booleans()
    return SavedIndex(
        node_shifts,
        child_labels,
        child_transitions,
        payloads,
        video_uuids,
        video_int_ids,
        id_mode,
        is_terminal,
        reader.pos,
    )


def summarize(data: bytes) -> IndexSummary:
    """Nodes, terms, videos, identifier mode and size of a saved index.

    Reads like `read_saved` but skips over the arrays it does not count,
    payloads included, without decoding them.
    """
    reader = _Reader(bytes(data))
    try:
        reader.skip_u32s()
        nodes = reader.length(1)
        reader.skip_chars(nodes)
        reader.skip_u32s()
        for _ in range(reader.length(1)):
            if reader.byte("payload tag"):
                reader.skip_varint()
                reader.skip_u32s()
                reader.skip_u32s()
        uuids = reader.length(16)
        reader.pos += 16 * uuids
        ints = reader.length(1)
        reader.skip_varints(ints)
        int_mode = reader.varint()
        if int_mode > 1:
            raise reader.fail("identifier mode")
        terms = sum(reader.booleans())
    except IndexError:
        raise reader.fail("cut short") from None
    return IndexSummary(
        nodes=nodes,
        terms=terms,
        videos=ints if int_mode else uuids,
        id_mode="int" if int_mode else "uuid",
        size=reader.pos,
    )
