"""A text file's bytes as DuckDB sees them: decompressed, its first lines
(for the dialect and the progress), and where its records are.

DuckDB numbers the records of a CSV file from 1 (the header and blank
lines included) in its errors and rejects; the rows it streams leave out
the header, blank lines and the rejected records. `locate` walks the file
once and turns both into file lines and their text. A record is one line,
or several while a quote is open (a quoted field holding line breaks):
with quotes escaped by doubling, a record ends at the first line break
after an even number of quotes.
"""

from __future__ import annotations

import gzip
import importlib
import zlib
from collections.abc import Iterable, Iterator
from typing import IO, Any, NamedTuple

from .source import Source

__all__ = ["Head", "Place", "head", "locate", "open_text"]

#: The first lines read for the dialect: as many as DuckDB's own sniffer
#: reads, within a few megabytes.
_HEAD_LINES = 20_480
_HEAD_BYTES = 8 << 20


def _zstd() -> Any:
    """A streaming zstd decompressor module, if one is installed."""
    for name in ("compression.zstd", "zstandard", "backports.zstd"):
        try:
            return importlib.import_module(name)
        except ImportError:
            continue
    return None


def open_text(source: Source) -> IO[bytes] | None:
    """The file's decompressed bytes; None for zstd without a decompressor."""
    if source.compression == "gzip":
        return gzip.open(source.path, "rb")  # type: ignore[return-value]
    if source.compression == "zstd":
        module = _zstd()
        if module is None:
            return None
        if hasattr(module, "ZstdDecompressor"):  # zstandard
            return module.ZstdDecompressor().stream_reader(open(source.path, "rb"), closefd=True)  # type: ignore[no-any-return]
        return module.open(source.path, "rb")  # type: ignore[no-any-return]
    return open(source.path, "rb")


class Head(NamedTuple):
    """The first lines of a file (each without its line break, a last
    partial one included), and about how many lines the whole file holds
    (None when unknown)."""

    lines: list[bytes]
    estimated_lines: int | None


def head(source: Source) -> Head | None:
    """The first lines; None when the file cannot be decompressed here."""
    if source.compression == "gzip":
        return _gzip_head(source)
    stream = open_text(source)
    if stream is None:
        return None
    with stream:
        data = stream.read(_HEAD_BYTES)
    lines = data.split(b"\n")[:_HEAD_LINES]
    complete = len(data) < _HEAD_BYTES
    estimate = None
    if source.compression is None and data:
        used = sum(map(len, lines)) + len(lines)
        estimate = len(lines) if complete else max(1, source.size * len(lines) // used)
    return Head(_trimmed(lines, complete), estimate)


def _gzip_head(source: Source) -> Head:
    """A gzip file's first lines, and its lines estimated from how many
    compressed bytes they took."""
    out = b""
    used = 0
    with open(source.path, "rb") as file:
        inflate = zlib.decompressobj(31)
        while len(out) < _HEAD_BYTES and out.count(b"\n") < _HEAD_LINES:
            chunk = file.read(1 << 16)
            if not chunk:
                break
            used += len(chunk)
            try:
                out += inflate.decompress(chunk, _HEAD_BYTES)
                while inflate.eof and inflate.unused_data:  # the next gzip member
                    rest = inflate.unused_data
                    inflate = zlib.decompressobj(31)
                    out += inflate.decompress(rest, _HEAD_BYTES)
            except zlib.error:
                break
        complete = not file.read(1)
    lines = out.split(b"\n")
    whole = complete and len(lines) <= _HEAD_LINES
    lines = lines[:_HEAD_LINES]
    estimate = len(lines) if whole else max(1, source.size * len(lines) // max(1, used))
    return Head(_trimmed(lines, whole), estimate)


def _trimmed(lines: list[bytes], complete: bool) -> list[bytes]:
    """Lines without "\\r"; the last one dropped when empty (the file's
    final line break) or cut short by the head's end."""
    if lines and (not complete or not lines[-1]):
        lines.pop()
    return [line[:-1] if line.endswith(b"\r") else line for line in lines]


class Place(NamedTuple):
    """Where a record is: its first file line (from 1) and its text."""

    line: int
    text: str


def _records(stream: IO[bytes], quote: bytes | None) -> Iterator[tuple[int, bytes]]:
    """(first line, bytes) of each record, line breaks between its lines kept."""
    start = 0
    pending: list[bytes] = []
    open_quote = False
    for number, raw in enumerate(stream, 1):
        if not pending:
            start = number
        pending.append(raw)
        if quote is not None and raw.count(quote) % 2:
            open_quote = not open_quote
        if not open_quote:
            yield start, b"".join(pending).rstrip(b"\r\n")
            pending = []
    if pending:
        yield start, b"".join(pending).rstrip(b"\r\n")


def locate(
    source: Source,
    quote: str | None,
    header: bool,
    records: Iterable[int] = (),
    rows: Iterable[int] = (),
    rejected: Iterable[int] = (),
) -> tuple[dict[int, Place], dict[int, Place]]:
    """The places of DuckDB's `records` (its numbers, from 1) and of the
    streamed `rows` (from 0, after the header, blank lines and the
    `rejected` records). Records past the end are left out; an empty
    result when the file cannot be decompressed here."""
    wanted_records = set(records)
    wanted_rows = set(rows)
    skipped = set(rejected)
    found_records: dict[int, Place] = {}
    found_rows: dict[int, Place] = {}
    stream = open_text(source)
    if stream is None or not (wanted_records or wanted_rows):
        return found_records, found_rows
    last_record = max(wanted_records, default=0)
    last_row = max(wanted_rows, default=-1)
    row = -1
    with stream:
        marker = None if quote is None else quote.encode()
        for number, (line, data) in enumerate(_records(stream, marker), 1):
            if number in wanted_records:
                found_records[number] = Place(line, data.decode("utf-8", "replace"))
            if not (header and number == 1) and data and number not in skipped:
                row += 1
                if row in wanted_rows:
                    found_rows[row] = Place(line, data.decode("utf-8", "replace"))
            if number >= last_record and row >= last_row:
                break
    return found_records, found_rows
