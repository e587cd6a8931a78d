"""Reading (term, video, count) records from CSV, TSV and Parquet files.

A text file holds one record a line: the term, the video identifier and the
count, in that order, separated by commas (CSV, with the usual quoting) or
tabs (TSV, no quoting). A line of two fields counts 1. A first line whose
third field is not a number is a header; if it names the columns "term",
"video" and "count" (in any order, any case) they are taken by name.

Video identifiers are decimal integers (0 ... 4294967295) or UUIDs in any
form `uuid.UUID` reads (hyphenated, 32 hex digits, braces, "urn:uuid:").

The format comes from `fmt`, else from the file name (.csv, .tsv or .tab,
.parquet or .pq, each optionally followed by .gz), else from the content:
Parquet's magic number, gzip's, and otherwise a tab in the first line for
TSV. "-" reads standard input (text formats only).

Parquet needs pyarrow (`pip install 'tessarin[parquet]'`). Its columns are
taken by the names term, video and count when present, else the first two or
three columns in order; video may be integers, strings, or 16-byte binary.
"""

from __future__ import annotations

import contextlib
import csv
import gzip
import io
import os
import sys
import uuid
from collections.abc import Iterator
from typing import IO, Any

__all__ = ["Record", "RecordError", "RecordReader"]

FORMATS = ("csv", "tsv", "parquet")
VideoText = uuid.UUID | int | bytes
Record = tuple[str, VideoText, int]


class RecordError(ValueError):
    """A record that cannot be read; the message names its line or row."""


class _CountingReader(io.RawIOBase):
    """Passes reads through and counts the bytes, for the progress bar."""

    def __init__(self, raw: IO[bytes]) -> None:
        self._raw = raw
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        data = self._raw.read(len(buffer))
        n = len(data)
        buffer[:n] = data
        self.count += n
        return n


def _is_header(row: list[str]) -> bool:
    """Whether a first row is a header: it names the columns, or its count
    (or, in a row of two fields, its video) is no number."""
    if {"term", "video", "count"} <= {name.strip().lower() for name in row}:
        return True
    if len(row) == 3:
        return not row[2].strip().lstrip("+-").isdigit()
    if len(row) == 2:
        return not (row[1].strip().isdigit() or len(row[1].strip()) >= 32)
    return False


def _format_of_name(path: str) -> str | None:
    name = path.lower()
    if name.endswith(".gz"):
        name = name[:-3]
    for suffix, fmt in (
        (".csv", "csv"),
        (".tsv", "tsv"),
        (".tab", "tsv"),
        (".parquet", "parquet"),
        (".pq", "parquet"),
    ):
        if name.endswith(suffix):
            return fmt
    return None


class RecordReader:
    """An iterator of (term, video, count) over one input, with its position.

    `where()` names the line (or row) of the record last yielded;
    `progress()` gives (done, total) in bytes or rows, total None when
    unknown (standard input).
    """

    def __init__(self, source: str, fmt: str | None = None) -> None:
        if fmt is not None and fmt not in FORMATS:
            raise ValueError(f"unknown format {fmt!r}: use one of {', '.join(FORMATS)}")
        self.source = source
        self.name = "standard input" if source == "-" else source
        self._total: int | None = None
        self._counter: _CountingReader | None = None
        self._rows = 0
        self._line = 0
        self._close: list[IO[Any]] = []
        if source == "-":
            if sys.stdin is None:
                raise ValueError("there is no standard input to read")
            raw: IO[bytes] = sys.stdin.buffer
        else:
            raw = open(source, "rb")  # noqa: SIM115 (closed by close())
            self._close.append(raw)
            self._total = os.fstat(raw.fileno()).st_size
        head = raw.peek(4)[:4] if hasattr(raw, "peek") else b""
        if fmt is None and source != "-":
            fmt = _format_of_name(source)
        if fmt == "parquet" or (fmt is None and head == b"PAR1"):
            if source == "-":
                raise ValueError("Parquet cannot be read from standard input: give a file")
            self.format = "parquet"
            self._iter = self._parquet(source)
            return
        counter = _CountingReader(raw)
        self._counter = counter
        binary: io.BufferedReader | gzip.GzipFile = io.BufferedReader(counter, 1 << 16)
        if head[:2] == b"\x1f\x8b":
            binary = gzip.GzipFile(fileobj=binary, mode="rb")
        text = io.TextIOWrapper(binary, encoding="utf-8", newline="")
        self._close.append(text)
        if fmt is None:
            first = text.buffer.peek(1 << 16) if hasattr(text.buffer, "peek") else b""
            fmt = "tsv" if b"\t" in first.split(b"\n", 1)[0] else "csv"
        self.format = fmt
        self._iter = self._text(text, fmt)

    def __iter__(self) -> Iterator[Record]:
        return self._iter

    def where(self) -> str:
        if self.format == "parquet":
            return f"{self.name}, row {self._rows}"
        return f"{self.name}, line {self._line}"

    def progress(self) -> tuple[int, int | None]:
        if self.format == "parquet":
            return self._rows, self._total
        return (self._counter.count if self._counter else 0), self._total

    def close(self) -> None:
        for f in reversed(self._close):
            with contextlib.suppress(Exception):  # may follow an error: never raise over it
                f.close()

    def __enter__(self) -> RecordReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _fail(self, problem: str) -> RecordError:
        return RecordError(f"{self.where()}: {problem}")

    def _text(self, text: IO[str], fmt: str) -> Iterator[Record]:
        if fmt == "tsv":
            rows = csv.reader(text, delimiter="\t", quoting=csv.QUOTE_NONE)
        else:
            rows = csv.reader(text)
        named: tuple[int, int, int] | None = None
        videos: dict[str, VideoText] = {}
        parse_video = self._video
        first = True
        try:
            for row in rows:
                self._line = rows.line_num
                if not row:
                    continue
                if first:
                    first = False
                    if _is_header(row):
                        named = self._named_columns(row)
                        continue
                if named is not None:
                    t, v, c = named
                    if len(row) <= max(named):
                        raise self._fail(f"expected {max(named) + 1} fields, got {len(row)}")
                    term, video_text, count_text = row[t], row[v], row[c]
                elif len(row) == 3:
                    term, video_text, count_text = row
                elif len(row) == 2:
                    term, video_text, count_text = row[0], row[1], "1"
                else:
                    raise self._fail(
                        f"expected 3 fields (term, video, count) or 2 (term, video), got {len(row)}"
                    )
                video = videos.get(video_text)
                if video is None:
                    video = videos[video_text] = parse_video(video_text)
                try:
                    count = int(count_text)
                except ValueError:
                    raise self._fail(f"the count {count_text!r} is not an integer") from None
                yield term, video, count
        except csv.Error as error:
            raise self._fail(f"malformed {fmt.upper()}: {error}") from None
        except UnicodeDecodeError as error:
            raise RecordError(f"{self.name}: not UTF-8 text ({error.reason})") from None
        except (EOFError, OSError) as error:
            raise RecordError(f"{self.name}: {error}") from None

    def _named_columns(self, row: list[str]) -> tuple[int, int, int] | None:
        """The positions of term, video and count if the header names them all."""
        names = [name.strip().lower() for name in row]
        if {"term", "video", "count"} <= set(names):
            return names.index("term"), names.index("video"), names.index("count")
        return None

    def _video(self, text: str) -> VideoText:
        try:
            if len(text) >= 32:
                return uuid.UUID(text)
            return int(text)
        except ValueError:
            raise self._fail(
                f"the video identifier {text!r} is neither an integer nor a UUID"
            ) from None

    def _parquet(self, path: str) -> Iterator[Record]:
        try:
            # pyarrow has no type information (or is not installed at all).
            import pyarrow.parquet as pq  # type: ignore[import,unused-ignore]
        except ImportError:
            raise ValueError(
                "reading Parquet needs pyarrow: pip install 'tessarin[parquet]'"
            ) from None
        try:
            parquet = pq.ParquetFile(path)
        except Exception as error:  # noqa: BLE001 - pyarrow raises several kinds
            raise RecordError(f"{self.name}: not a readable Parquet file ({error})") from None
        names = [name.lower() for name in parquet.schema_arrow.names]
        if {"term", "video"} <= set(names):
            wanted = [
                parquet.schema_arrow.names[names.index(n)]
                for n in ("term", "video", "count")
                if n in names
            ]
        else:
            wanted = parquet.schema_arrow.names[:3]
        if len(wanted) < 2:
            raise RecordError(f"{self.name}: expected columns term, video and count")
        self._total = parquet.metadata.num_rows
        videos: dict[object, VideoText] = {}
        for batch in parquet.iter_batches(columns=wanted, batch_size=65536):
            columns = [column.to_pylist() for column in batch.columns]
            counts = columns[2] if len(columns) == 3 else [1] * batch.num_rows
            for term, video, count in zip(columns[0], columns[1], counts, strict=True):
                self._rows += 1
                if isinstance(video, str):
                    parsed = videos.get(video)
                    if parsed is None:
                        parsed = videos[video] = self._video(video)
                    video = parsed
                elif video is None or count is None or term is None:
                    raise self._fail("missing value")
                yield term, video, count
